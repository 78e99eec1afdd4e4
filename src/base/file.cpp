#include "base/file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

#include "base/stop.hpp"

namespace kestrel {

namespace {

// The descriptors whose locks a forked child must not share (File::keep_lock_from_forks).
std::mutex locks_ours_mutex;
std::vector<int>* const locks_ours = new std::vector<int>;  // never deleted: used up to exit

void lock_registry() { locks_ours_mutex.lock(); }
void unlock_registry() { locks_ours_mutex.unlock(); }
// Only what is safe in a child of a threaded process: open, dup3, close.
void drop_locks_in_child() {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        for (const int fd : *locks_ours) ::dup3(null, fd, O_CLOEXEC);
        ::close(null);
    }
    locks_ours->clear();  // frees nothing
    unlock_registry();
}

void forget_lock(int fd) noexcept {
    std::lock_guard lock(locks_ours_mutex);
    std::erase(*locks_ours, fd);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        lock_ours_ = std::exchange(other.lock_ours_, false);
    }
    return *this;
}

int File::release() noexcept {
    if (lock_ours_) forget_lock(fd_);
    lock_ours_ = false;
    return std::exchange(fd_, -1);
}

void File::close() noexcept {
    if (fd_ >= 0) {
        ::close(release());  // a failed close changes nothing for a caller that is done with the file
    }
}

void File::keep_lock_from_forks() {
    static const bool handled = pthread_atfork(lock_registry, unlock_registry, drop_locks_in_child) == 0;
    (void)handled;
    if (lock_ours_ || fd_ < 0) return;
    std::lock_guard lock(locks_ours_mutex);
    locks_ours->push_back(fd_);
    lock_ours_ = true;
}

std::optional<IoError> File::close_checked() noexcept {
    if (fd_ < 0) return std::nullopt;
    const int fd = release();
    // Linux releases the descriptor even when close fails; retrying could close another.
    if (::close(fd) != 0 && errno != EINTR) return IoError::os(errno);
    return std::nullopt;
}

namespace {

// The system would stop at the first NUL and use another path than the caller's.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// Contract text (docs/errors.md): callers match on it to the letter.
IoError nul_in_path() {
    return IoError::with_message(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
}

}  // namespace

IoResult<File> open_for_reading(const std::string& path) {
    if (has_nul(path)) return nul_in_path();
    int fd;
    // Opening a FIFO waits for a writer: an interruption may end the call meanwhile.
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) check_interrupt();
    if (fd < 0) return IoError::os(errno);
    File file(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0) return IoError::os(errno);
    // Linux opens directories for reading; they are no input.
    if (S_ISDIR(info.st_mode)) return IoError::os(EISDIR);
    return file;
}

namespace {

// `file`, opened with O_NONBLOCK, when it is a regular file: then back to blocking reads.
IoResult<File> regular_only(File file) {
    struct stat info;
    if (::fstat(file.fd(), &info) != 0) return IoError::os(errno);
    if (!S_ISREG(info.st_mode)) return IoError::os(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    ::fcntl(file.fd(), F_SETFL, ::fcntl(file.fd(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

}  // namespace

IoResult<File> open_regular_for_reading(const std::string& path) {
    if (has_nul(path)) return nul_in_path();
    // O_NONBLOCK: a FIFO's open returns at once instead of waiting for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return IoError::os(errno);
    return regular_only(File(fd));
}

namespace {

IoResult<File> open_at(int directory, std::string_view name, int flags) {
    if (has_nul(name)) return nul_in_path();
    const std::string text(name);
    int fd;
    // A FIFO in the way waits for a reader: an interruption may end the call meanwhile.
    while ((fd = ::openat(directory, text.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666)) < 0 && errno == EINTR) {
        check_interrupt();
    }
    if (fd < 0) return IoError::os(errno);
    return File(fd);
}

std::optional<FileIdentity> identity_at(int directory, std::string_view name, int flags) {
    struct stat info;
    if (has_nul(name) || ::fstatat(directory, std::string(name).c_str(), &info, flags) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

}  // namespace

IoResult<Directory> Directory::open(const std::string& path, const std::string& shown) {
    if (has_nul(path)) return nul_in_path();
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return IoError::os(errno);
    Directory directory;
    directory.file_ = File(fd);
    directory.file_.keep_lock_from_forks();  // the lock try_lock takes, and the writes a child must not make
    directory.path_ = path;
    directory.shown_ = shown.empty() ? path : shown;
    return directory;
}

std::string Directory::path_of(std::string_view name) const { return join_path(shown_, name); }

IoResult<File> Directory::create_new(std::string_view name) const {
    return open_at(fd(), name, O_WRONLY | O_CREAT | O_EXCL);
}

IoResult<File> Directory::rewrite_existing(std::string_view name) const {
    auto opened = open_at(fd(), name, O_WRONLY | O_NONBLOCK);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    File& file = std::get<File>(opened);
    struct stat info;
    if (::fstat(file.fd(), &info) != 0) return IoError::os(errno);
    if (!S_ISREG(info.st_mode)) return IoError::os(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    // Another name of the file may lie outside the directory: writing would reach it there.
    if (info.st_nlink > 1) return IoError::os(EMLINK);
    if (::ftruncate(file.fd(), 0) != 0) return IoError::os(errno);
    // Back to blocking writes (O_NONBLOCK only kept a FIFO from holding the open).
    ::fcntl(file.fd(), F_SETFL, ::fcntl(file.fd(), F_GETFL) & ~O_NONBLOCK);
    return std::move(file);
}

IoResult<File> Directory::open_for_reading(std::string_view name) const { return open_at(fd(), name, O_RDONLY); }

IoResult<File> Directory::open_regular(std::string_view name) const {
    auto opened = open_at(fd(), name, O_RDONLY | O_NONBLOCK);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    return regular_only(std::move(std::get<File>(opened)));
}

std::optional<IoError> Directory::rename(std::string_view from, std::string_view to) const {
    if (has_nul(from) || has_nul(to)) return nul_in_path();
    if (::renameat(fd(), std::string(from).c_str(), fd(), std::string(to).c_str()) != 0) return IoError::os(errno);
    return std::nullopt;
}

std::optional<IoError> Directory::remove(std::string_view name) const {
    if (has_nul(name)) return nul_in_path();
    if (::unlinkat(fd(), std::string(name).c_str(), 0) != 0 && errno != ENOENT) return IoError::os(errno);
    return std::nullopt;
}

bool Directory::names(std::string_view name, const FileIdentity& identity) const {
    return identity_at(fd(), name, AT_SYMLINK_NOFOLLOW) == identity || identity_at(fd(), name, 0) == identity;
}

std::optional<uint64_t> Directory::size_of(std::string_view name) const {
    struct stat info;
    if (has_nul(name) || ::fstatat(fd(), std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_size);
}

IoResult<std::vector<std::string>> Directory::list() const {
    const int fd = ::openat(this->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return IoError::os(errno);
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const int code = errno;
        ::close(fd);
        return IoError::os(code);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closing(listing, ::closedir);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return IoError::os(errno);
    return names;
}

IoResult<File> Directory::anonymous_file() const {
    const int fd = ::openat(this->fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return File(fd);
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return IoError::os(errno);
    // A file system without unnamed files: a named one, unlinked at once.
    for (int attempt = 0;; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".kestrel-%d-%d.tmp", static_cast<int>(::getpid()), attempt);
        auto made = open_at(this->fd(), name, O_RDWR | O_CREAT | O_EXCL);
        if (auto* file = std::get_if<File>(&made)) {
            ::unlinkat(this->fd(), name, 0);
            return std::move(*file);
        }
        if (std::get<IoError>(made).os_code() != EEXIST || attempt == 100) return std::get<IoError>(made);
    }
}

std::optional<IoError> Directory::sync() const {
    if (::fsync(fd()) != 0 && errno != EINVAL) return IoError::os(errno);
    return std::nullopt;
}

IoResult<bool> Directory::try_lock() const {
    while (::flock(fd(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) return IoError::os(errno);
    }
    return true;
}

bool Directory::still_there() const {
    struct stat there;
    if (::stat(path_.empty() ? "." : path_.c_str(), &there) != 0) return false;
    return identity_of(fd()) == FileIdentity{there.st_dev, there.st_ino};
}

MadeDirectories::~MadeDirectories() {
    if (kept_) return;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::rmdir(it->c_str());
}

std::optional<FileIdentity> identity_of(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

IoResult<size_t> read_some(int fd, std::span<uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return IoError::os(errno);
        check_interrupt();  // a pipe that stays empty must not keep the call from ending
    }
}

std::optional<IoError> write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno != EINTR) return IoError::os(errno);
            check_interrupt();  // a full pipe must not keep the call from ending
            continue;
        }
        if (written == 0) return write_zero();
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
    return std::nullopt;
}

std::optional<IoError> pwrite_all(int fd, std::span<iovec> pieces, off_t offset) noexcept {
    while (!pieces.empty()) {
        const int count = static_cast<int>(std::min<size_t>(pieces.size(), IOV_MAX));
        const ssize_t written = ::pwritev(fd, pieces.data(), count, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return IoError::os(errno);
        }
        if (written == 0) return write_zero();
        offset += written;
        auto left = static_cast<size_t>(written);
        while (!pieces.empty() && left >= pieces.front().iov_len) {
            left -= pieces.front().iov_len;
            pieces = pieces.subspan(1);
        }
        if (left > 0) {
            pieces.front().iov_base = static_cast<uint8_t*>(pieces.front().iov_base) + left;
            pieces.front().iov_len -= left;
        }
    }
    return std::nullopt;
}

namespace {

bool is_directory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<IoError> create_dir_all_of(const std::string& path, std::vector<std::string>* created) {
    const auto made = [&] {
        if (created != nullptr) created->push_back(path);
        return std::nullopt;
    };
    if (path.empty() || is_directory(path)) return std::nullopt;
    if (::mkdir(path.c_str(), 0777) == 0) return made();
    const int first = errno;
    if (first == ENOENT) {
        // Create the parent first; "a/b//" has the parent "a".
        size_t end = path.size();
        while (end > 0 && path[end - 1] == '/') --end;
        const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
        // A relative path without a parent lives in the working directory, which is
        // there unless it was deleted: the system's own error says so.
        if (slash == std::string::npos) return IoError::os(first);
        size_t parent_end = slash;
        while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
        if (parent_end == 0) {
            // Only a missing root ends here.
// Contract text (docs/errors.md): callers match on it to the letter.
            return IoError::with_message(ErrorKind::Uncategorized, "failed to create whole tree");
        }
        if (auto error = create_dir_all_of(path.substr(0, parent_end), created)) return error;
        if (::mkdir(path.c_str(), 0777) == 0) return made();
    }
    const int code = errno;
    // Someone else may have made it meanwhile.
    if (is_directory(path)) return std::nullopt;
    return IoError::os(code);
}

}  // namespace

std::optional<IoError> create_dir_all(std::string_view path, std::vector<std::string>* created) {
    if (has_nul(path)) return nul_in_path();
    return create_dir_all_of(std::string(path), created);
}

std::string join_path(std::string_view directory, std::string_view name) {
    std::string joined;
    joined.reserve(directory.size() + 1 + name.size());
    joined += directory;
    if (!directory.empty() && directory.back() != '/') joined += '/';
    joined += name;
    return joined;
}

}  // namespace kestrel
