// Files as the batch extraction needs them: an owned descriptor that is closed on
// every path, reads that retry interruptions, complete writes, and directory trees.
//
// Contract: operations return their failure as an IoError (nothing here stops the
// call); a system call that a signal interrupts runs the interruption check
// (base/stop.hpp), which may end the call with Interrupted, and is then retried.
// A File owns its descriptor and closes it on every path. Safe from any thread for
// distinct files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <sys/types.h>
#include <sys/uio.h>

#include "base/io_error.hpp"

namespace kestrel {

class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), lock_ours_(std::exchange(other.lock_ours_, false)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    int release() noexcept;
    void close() noexcept;
    // Closes and reports what close(2) says: on NFS and quota file systems that is
    // where a failed write shows up.
    std::optional<IoError> close_checked() noexcept;
    // The descriptor carries a flock(2) lock that this process alone is to hold: as
    // a forked child starts, its copy of the descriptor is pointed at /dev/null, so a
    // child that outlives the run does not keep the lock (the number stays valid).
    // Until the file is closed or released.
    void keep_lock_from_forks();

private:
    int fd_ = -1;
    bool lock_ours_ = false;
};

// Either the value or the I/O error that prevented it.
template <class T>
using IoResult = std::variant<T, IoError>;

// An existing regular file (or anything but a directory), read access only.
IoResult<File> open_for_reading(const std::string& path);
// An existing regular file, read access only, opened without waiting: a FIFO or a
// device of that name is refused (EINVAL), never waited on. For files the run only
// consults when they are there (an index beside the input).
IoResult<File> open_regular_for_reading(const std::string& path);

// One read(2) that retries EINTR; 0 bytes means end of file.
IoResult<size_t> read_some(int fd, std::span<uint8_t> into);
// Writes every byte, continuing partial writes and retrying interruptions.
std::optional<IoError> write_all(int fd, std::span<const uint8_t> bytes);
// Writes every byte of the pieces at `offset`, as write_all does; `pieces` is used
// up on the way. Allocates nothing, so it may run on any thread.
std::optional<IoError> pwrite_all(int fd, std::span<iovec> pieces, off_t offset) noexcept;

// Device and inode of what `fd` names, to tell whether two names are one file.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identity_of(int fd);

// A directory held open, so that the files made, renamed and removed in it land in
// that directory whatever happens to its path meanwhile (a directory removed under
// us makes creating fail instead of going elsewhere). Names are single components.
// Nothing here follows a symbolic link in the directory: a link in the way is
// replaced by rename or refused, never written through. A forked child does not share
// the descriptor (File::keep_lock_from_forks): neither its lock nor writes through it.
class Directory {
public:
    Directory() = default;
    // Opens an existing directory. `path` is kept for still_there(), and for messages
    // unless `shown` (the name the user gave, where `path` is another name for it).
    static IoResult<Directory> open(const std::string& path, const std::string& shown = {});

    int fd() const { return file_.fd(); }
    const std::string& path() const { return shown_; }
    // `path` joined with `name`, for messages.
    std::string path_of(std::string_view name) const;

    // A new file that did not exist (O_EXCL, never through a link), for writing;
    // mode 0666 less umask.
    IoResult<File> create_new(std::string_view name) const;
    // An existing regular file, opened for writing in place and emptied; ELOOP for a
    // symbolic link, EMLINK for a file with other names (hard links, which may lie
    // outside the directory), EISDIR-like refusals for anything but a regular file.
    IoResult<File> rewrite_existing(std::string_view name) const;
    // An existing file, for reading back what was written; never through a link.
    IoResult<File> open_for_reading(std::string_view name) const;
    // An existing regular file, for reading; never through a link, and without waiting:
    // anything else of that name (a FIFO, a device) is refused with EINVAL.
    IoResult<File> open_regular(std::string_view name) const;
    std::optional<IoError> rename(std::string_view from, std::string_view to) const;
    // Removes a file; a file that is gone already is no error.
    std::optional<IoError> remove(std::string_view name) const;
    // Whether `name` is the file `identity`, as a name (a hard link) or through a
    // symbolic link.
    bool names(std::string_view name, const FileIdentity& identity) const;
    // The size of `name` (itself, not what a link leads to); nullopt where it is not there.
    std::optional<uint64_t> size_of(std::string_view name) const;
    // The names of its entries but "." and "..".
    IoResult<std::vector<std::string>> list() const;
    // A file without a name in this directory (O_TMPFILE, or a named one unlinked at
    // once where the file system has none), for scratch data. Gone when closed.
    IoResult<File> anonymous_file() const;
    // Flushes the directory's entries to stable storage.
    std::optional<IoError> sync() const;
    // Takes an advisory lock on the directory for as long as this Directory is open
    // (it dies with the process, and a forked child does not share it); false when
    // another holder has it.
    IoResult<bool> try_lock() const;
    // Whether `path` still leads to this directory (not removed, renamed or replaced).
    bool still_there() const;

private:
    File file_;
    std::string path_;
    std::string shown_;
};

// `path` as a directory with every missing ancestor; an existing directory and the
// empty path are success. The directories made are appended to `created`, parents
// first, when it is given.
std::optional<IoError> create_dir_all(std::string_view path, std::vector<std::string>* created = nullptr);

// The directories a run made for its output: removed again when it is dropped, last
// first and as long as they are empty, unless the run kept them (it saved a file).
class MadeDirectories {
public:
    MadeDirectories() = default;
    MadeDirectories(const MadeDirectories&) = delete;
    MadeDirectories& operator=(const MadeDirectories&) = delete;
    ~MadeDirectories();

    // create_dir_all(path), remembering what it made.
    std::optional<IoError> make(std::string_view path) { return create_dir_all(path, &made_); }
    void keep() { kept_ = true; }

private:
    std::vector<std::string> made_;
    bool kept_ = false;
};

// `directory` joined with a relative file name.
std::string join_path(std::string_view directory, std::string_view name);

inline std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace kestrel
