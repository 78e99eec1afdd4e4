// Where a run's files go, and one file on its way there: the output-place seam. A
// local directory held open (LocalTarget: each file written under a temporary name
// and renamed into place, batch_file.hpp) or, behind the Python boundary, a prefix in
// object storage (each file uploaded whole). Nothing outside the target is written, and
// a file appears under its name only complete.
//
// Contract: failures are returned as IoError values; nothing here stops the call but
// `holding`'s body and `flush` (which has no one to return a failure to file by file),
// and any call may end it with Interrupted where the target calls into its embedding
// program (object storage, behind Python). An OutputFile is written by one thread at a time; write_at() may
// run on a pool worker only where the target is local(). A target and its files are
// used by the thread that runs the split.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_source.hpp"
#include "base/file.hpp"
#include "split/write/batch_file.hpp"

namespace kestrel {

// How a file is made durable when it is put in place.
enum class Durability : uint8_t {
    None,
    StartWriteback,  // its writing to stable storage starts now; the caller flushes all later
    Flush,           // flushed before it is put in place (no caller can flush it later)
};

class OutputFile {
public:
    virtual ~OutputFile() = default;  // a file not committed is abandoned: nothing of it stays

    // Appends bytes.
    virtual std::optional<IoError> write(std::span<const uint8_t> bytes) = 0;
    // Writes `pieces` at `offset`; writes come in order, each where the last ended.
    // Allocates nothing (it may run on a pool worker of a local target); `pieces` is
    // used up on the way.
    virtual std::optional<IoError> write_at(std::span<iovec> pieces, uint64_t offset) noexcept = 0;
    // The bytes written so far.
    virtual IoResult<uint64_t> size() = 0;
    // The bytes written so far, read back (to write the file again from its start: a
    // header line that came after some records), and then emptying it.
    virtual IoResult<std::unique_ptr<ByteSource>> read_back() = 0;
    virtual std::optional<IoError> restart() = 0;
    // Puts the file in place under its name.
    virtual std::optional<IoError> commit(Durability durability) = 0;
    // The file is complete and made durable as `durability` says, but stays out of place
    // until commit() (which then only puts it there). Where the target cannot hold a
    // complete file apart (object storage uploads at commit), this does nothing.
    virtual std::optional<IoError> close(Durability /*durability*/) { return std::nullopt; }
    // Where it will be, for messages.
    virtual std::string path() const = 0;
};

class OutputTarget {
public:
    virtual ~OutputTarget() = default;

    // `name` in the target, for messages and for the paths given to the caller.
    virtual std::string path_of(std::string_view name) const = 0;
    // A local directory: plain writes may run on the worker pool.
    virtual bool local() const = 0;
    // A new file that takes the place of `name` when committed.
    virtual IoResult<std::unique_ptr<OutputFile>> create(const std::string& name) = 0;
    // Removes `name`; one that is not there is no error; one that is the input is.
    virtual std::optional<IoError> remove(std::string_view name) = 0;
    // The size of `name`; nullopt where it is not there.
    virtual std::optional<uint64_t> size_of(std::string_view name) const = 0;
    // The bytes of `name`, where it is a regular file (an object) of at most `most`
    // bytes; nullopt where it is not there, is something else, or is larger. Never
    // waits on a FIFO.
    virtual IoResult<std::optional<std::string>> read_small(std::string_view name, size_t most) const = 0;
    // Whether files put in place still land where the caller looks (a local directory
    // that was removed, renamed or replaced does not).
    virtual bool still_there() const = 0;
    // Runs `body` while the run this target belongs to lasts and holds that state
    // meanwhile (a run on a cluster that ended puts nothing in place any more);
    // ECANCELED without running it once the run has ended.
    virtual std::optional<IoError> holding(const std::function<std::optional<IoError>()>& body) = 0;
    // Every file of `names` on stable storage, and the entries naming them; stops with
    // "cannot flush PATH: error".
    virtual void flush(const std::vector<std::string>& names) = 0;
    // A file without a name, for scratch data; gone when closed.
    virtual IoResult<File> scratch() = 0;
};

// The output place of a whole scatter run, taken (locked) for it: its target, and
// what the run keeps of it. Dropped, it lets go of the lock.
class RunOutput {
public:
    virtual ~RunOutput() = default;
    virtual OutputTarget& target() = 0;
    // A file of the run is in it: it stays (a local directory made for the run is kept).
    virtual void used() = 0;
    // The local directory, where it is one: what a run on a cluster needs of it.
    virtual const Directory* directory() const { return nullptr; }

    // The chunk files and indexes the earlier run's manifest named, read as the run
    // took the output: those this run does not write are removed before its manifest.
    const std::vector<std::string>& earlier_files() const { return earlier_files_; }
    void set_earlier_files(std::vector<std::string> names) { earlier_files_ = std::move(names); }

private:
    std::vector<std::string> earlier_files_;
};

// The largest manifest whose names are read; a larger one is passed over (a manifest
// of a million chunks is a hundred megabytes).
inline constexpr size_t kMaxManifestBytes = size_t{256} << 20;

// The chunk files and indexes the manifest in `target` names (files_in_manifest);
// none where there is no manifest or it cannot be read, is not a regular file, or is
// larger than kMaxManifestBytes.
std::vector<std::string> files_named_by_manifest(const OutputTarget& target);

// A local directory as a target, held open by the caller (who may hold its lock).
// `input`: no file of the run may be it. `tag`, for a task of a run on a cluster:
// temporary names carry it, and files are made and put in place only while the run's
// RunToken is there.
class LocalTarget final : public OutputTarget {
public:
    LocalTarget(const Directory& directory, std::optional<FileIdentity> input, std::string tag = {})
        : directory_(directory), input_(input), tag_(std::move(tag)) {}

    const Directory& directory() const { return directory_; }

    std::string path_of(std::string_view name) const override { return directory_.path_of(name); }
    bool local() const override { return true; }
    IoResult<std::unique_ptr<OutputFile>> create(const std::string& name) override;
    std::optional<IoError> remove(std::string_view name) override;
    std::optional<uint64_t> size_of(std::string_view name) const override { return directory_.size_of(name); }
    IoResult<std::optional<std::string>> read_small(std::string_view name, size_t most) const override;
    bool still_there() const override { return directory_.still_there(); }
    std::optional<IoError> holding(const std::function<std::optional<IoError>()>& body) override;
    void flush(const std::vector<std::string>& names) override;
    IoResult<File> scratch() override { return directory_.anonymous_file(); }

private:
    const Directory& directory_;
    std::optional<FileIdentity> input_;
    std::string tag_;
};

}  // namespace kestrel
