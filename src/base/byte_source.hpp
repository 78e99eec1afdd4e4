// Where input bytes come from: the seam every reader of the engine reads through. A
// local file, a pipe or a terminal here (FileSource); object storage behind the Python
// boundary. Readers see a run of bytes from offset 0: read() hands them out in order,
// read_at() reads anywhere without moving that position, where the source allows it.
//
// Contract: failures are returned as IoError values (nothing here stops the call); a
// read that a signal interrupts runs the interruption check (base/stop.hpp), which may
// end the call with Interrupted. read() is for one thread at a time; read_at() and the
// accessors may be called from any threads at once. A source owns what it reads from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/file.hpp"

namespace kestrel {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The next bytes, at most into.size(); 0 at the end.
    virtual IoResult<size_t> read(std::span<uint8_t> into) = 0;
    // Bytes from `offset`, at most into.size(), fewer only at the end; ESPIPE where the
    // source can be read only once, in order (a pipe).
    virtual IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const = 0;
    // Whether read_at works: the source can be read again, and in parts.
    virtual bool seekable() const = 0;
    // Its length, where known: nullopt for a pipe, and for a file whose size reads as 0
    // (files of /proc), which is read to its end.
    virtual std::optional<uint64_t> size() const = 0;
    // The local file it is, by device and inode: what no output may be. Nullopt for
    // what is no local file.
    virtual std::optional<FileIdentity> identity() const { return std::nullopt; }
    // When it was last changed, in nanoseconds since the epoch, where known: an index
    // beside it older than that is not trusted.
    virtual std::optional<int64_t> modified_ns() const { return std::nullopt; }
    // The version of what it reads, as its store tells versions apart (an object's tag
    // and size), for a later open that must find the same one; empty where there is none.
    virtual std::string version() const { return {}; }
    // A pass of its own from `offset` up to `end`, where the source reads such a pass
    // better than by read_at: ahead, in large parts, as far as `expected` (where the
    // reader means to stop, as far as it knows), and past that only what each read()
    // asks for. Null for read_from's own.
    virtual std::unique_ptr<ByteSource> read_from(uint64_t /*offset*/, uint64_t /*end*/, uint64_t /*expected*/) const {
        return nullptr;
    }
};

// read_at until `into` is full or the source ends; the bytes read.
IoResult<size_t> read_fully_at(const ByteSource& source, uint64_t offset, std::span<uint8_t> into);

// Hands every piece of `source` read from its position on, in order, to `take`, which
// may return an error to end the copy with; read failures end it too. Runs the
// interruption check between pieces.
std::optional<IoError> read_all(ByteSource& source,
                                const std::function<std::optional<IoError>(std::span<const uint8_t>)>& take);

// A file held open: regular files are seekable, pipes and terminals are not. The
// source starts where the descriptor stands when it is made (standard input may have
// been read from before).
class FileSource final : public ByteSource {
public:
    explicit FileSource(File file);

    IoResult<size_t> read(std::span<uint8_t> into) override;
    IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override;
    bool seekable() const override { return seekable_; }
    std::optional<uint64_t> size() const override { return size_; }
    std::optional<FileIdentity> identity() const override { return identity_; }
    std::optional<int64_t> modified_ns() const override { return modified_ns_; }

private:
    File file_;
    uint64_t start_ = 0;
    bool seekable_ = false;
    std::optional<uint64_t> size_;
    std::optional<FileIdentity> identity_;
    std::optional<int64_t> modified_ns_;
};

// The file at `path` as a source (open_for_reading's checks and failures).
IoResult<std::unique_ptr<FileSource>> open_file_source(const std::string& path);

// Bytes in memory as a source: seekable, for data that is already at hand.
std::unique_ptr<ByteSource> memory_source(std::vector<uint8_t> bytes);

// `source` read in order from `offset` up to `end` (or its end), through read_at: a
// pass of its own over a seekable source, independent of any other. Its size is what
// is left from there. A source in object storage reads ahead only as far as
// `expected` (by default `end`): a reader that knows where it stops says so, and one
// that may go on a little past that point (a line that ends in the next block) reads
// that little on demand.
std::unique_ptr<ByteSource> read_from(std::shared_ptr<const ByteSource> source, uint64_t offset,
                                      uint64_t end = UINT64_MAX, uint64_t expected = UINT64_MAX);

// A pass over `source` from its start: read_from() where it is seekable, else its own
// read() (a pipe, read once).
std::unique_ptr<ByteSource> pass_over(std::shared_ptr<ByteSource> source);

// `first` (bytes taken from `rest` before, to look at them) followed by what `rest`
// has left. Not seekable.
std::unique_ptr<ByteSource> with_prefix(std::vector<uint8_t> first, std::unique_ptr<ByteSource> rest);

}  // namespace kestrel
