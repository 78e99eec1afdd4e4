// Where bytes are stored: files only, one backend per scheme. A path without a scheme
// is a local file (local_folder.hpp, built in); a URL (s3://, gs://, az://, https://)
// goes to the backend registered for its scheme, which the embedding program
// installs (the Python boundary registers one over fsspec). Without one, a URL is
// refused. What a run does with its files (its lock, its tag, the token of a run on a
// cluster, the order of its manifest) is the run's, above this (split/write/
// output_target.hpp); here are only the means it is built from.
//
// Contract: failures are returned as IoError values, except where a call says it
// stops; any call into an embedding program may end the call with Interrupted.
// register_file_system is for a program's start (its modules' initialisation) and is
// not synchronised with runs under way. A Folder and its files are used by the thread
// that runs the split; OutputFile::write_at() may run on a pool worker only where the
// folder is local().
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_source.hpp"
#include "base/file.hpp"

namespace kestrel {

// How a file is made durable when it is put in place.
enum class Durability : uint8_t {
    None,
    StartWriteback,  // its writing to stable storage starts now; the caller flushes all later
    Flush,           // flushed before it is put in place (no caller can flush it later)
};

// One file on its way into a folder: it appears under its name only complete.
class OutputFile {
public:
    virtual ~OutputFile() = default;  // a file not committed is abandoned: nothing of it stays

    // Appends bytes.
    virtual std::optional<IoError> write(std::span<const uint8_t> bytes) = 0;
    // Writes `pieces` at `offset`; writes come in order, each where the last ended.
    // Allocates nothing (it may run on a pool worker of a local folder); `pieces` is
    // used up on the way.
    virtual std::optional<IoError> write_at(std::span<iovec> pieces, uint64_t offset) noexcept = 0;
    // The bytes written so far.
    virtual IoResult<uint64_t> size() = 0;
    // The bytes written so far, read back (to write the file again from its start: a
    // header line that came after some records), and then emptying it. Where the store
    // cannot (an upload under way), Unsupported.
    virtual IoResult<std::unique_ptr<ByteSource>> read_back() = 0;
    virtual std::optional<IoError> restart() = 0;
    // Puts the file in place under its name.
    virtual std::optional<IoError> commit(Durability durability) = 0;
    // The file is complete and made durable as `durability` says, but stays out of place
    // until commit() (which then only puts it there). Where the store cannot hold a
    // complete file apart (object storage uploads at commit), this does nothing.
    virtual std::optional<IoError> close(Durability /*durability*/) { return std::nullopt; }
    // Where it will be, for messages.
    virtual std::string path() const = 0;
};

// What a run reads, which no file it writes or removes may be: a local file (by its
// identity, whatever name leads to it) or a URL.
struct InputName {
    std::optional<FileIdentity> identity;
    std::string url;
};

// A directory or an object prefix: its files, by name. It never writes or removes the
// input it was opened with: that is a failure naming the file (output_is_input).
class Folder {
public:
    virtual ~Folder() = default;

    // `name` in the folder, for messages and for the paths given to the caller.
    virtual std::string path_of(std::string_view name) const = 0;
    // A local directory: plain writes may run on the worker pool.
    virtual bool local() const = 0;
    // The local directory, where it is one.
    virtual const Directory* directory() const { return nullptr; }
    // A new file that takes the place of `name` when committed; `tag`, where not
    // empty, marks what the file leaves while unfinished (a temporary's name).
    virtual IoResult<std::unique_ptr<OutputFile>> create(const std::string& name, std::string_view tag) = 0;
    // Removes `name`; one that is not there is no error.
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
    // Every file of `names` on stable storage, and the entries naming them; stops with
    // "cannot flush PATH: error".
    virtual void flush(const std::vector<std::string>& names) = 0;
    // A file without a name, for scratch data; gone when closed.
    virtual IoResult<File> scratch() = 0;

    // The means of a run's hold on the folder. lock(): takes it for the run `tag`
    // while the folder is open, false where another run has it; where the store has no
    // way to lock, true (nothing is taken). Stops when the lock cannot be tried.
    virtual bool lock(const std::string& tag) = 0;
    // mark(): the mark that the run `tag` goes on while its tasks write here, taken
    // away (once no task holds it) when the returned Mark is dropped; nullptr where the
    // lock already is that mark. hold(): a task's hold on that mark, ECANCELED once
    // the run has ended.
    class Mark {
    public:
        virtual ~Mark() = default;
    };
    virtual IoResult<std::unique_ptr<Mark>> mark(const std::string& tag) = 0;
    virtual IoResult<std::unique_ptr<Mark>> hold(const std::string& tag) = 0;
    // Removes what killed runs of this program left (hidden temporaries and marks whose
    // names `ours` recognises as made for one of its files), and nothing else.
    virtual void remove_leftovers(bool (*ours)(std::string_view file_name)) = 0;
    // A file of the run is in it: it stays (a local directory made for the run is kept).
    virtual void keep() {}
};

// The backend of one or more schemes.
class FileSystem {
public:
    // The input at `url` (a path, for the local one), with the store's options (JSON
    // text, "" for none); stops naming it when it cannot be opened. Every read checks
    // what the store answers: the bytes asked for, all of them, of the version first
    // seen, else it fails naming the URL (a change: "the input changed while it was
    // read"). A server that answers no ranges gives a source that is not seekable,
    // read once from its start. With a `version` (another source's version()), an
    // object that is not that version fails as a change.
    virtual std::shared_ptr<ByteSource> open_input(const std::string& url, const std::string& options,
                                                   const std::string& version) = 0;
    // The folder at `url`, which never writes or removes `input`; with `make`, a local
    // directory that is missing is made (with its parents; removed again when dropped
    // unless kept). Stops naming it when it cannot be opened.
    virtual std::unique_ptr<Folder> open_folder(const std::string& url, const std::string& options,
                                                const InputName& input, bool make) = 0;

protected:
    ~FileSystem() = default;
};

// Stops with "WHAT PATH: error".
[[noreturn]] void stop_io(const std::string& what, const IoError& error, const std::string& path);

// Whether `path` is a URL ("scheme://..."), not a local path.
bool is_url(std::string_view path);

// The backend of local paths (local_folder.hpp; "-" is standard input, as an input).
FileSystem& local_file_system();
// Registers `backend` for the URLs of `scheme` (lower case), or with "*" for every
// scheme that has no backend of its own.
void register_file_system(const std::string& scheme, FileSystem* backend);
// The backend of `path`: the local one for a path, else the one registered for its
// URL's scheme; stops naming `path` when there is none.
FileSystem& file_system_for(const std::string& path);
// The input at `path` (the local "-" is standard input), through its backend.
std::shared_ptr<ByteSource> open_input(const std::string& path, const std::string& options,
                                       const std::string& version = {});

}  // namespace kestrel
