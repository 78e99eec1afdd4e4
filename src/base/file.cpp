#include "base/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/stop.hpp"

namespace kestrel {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

void File::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);  // a failed close changes nothing for a caller that is done with the file
        fd_ = -1;
    }
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

IoResult<File> open_for_writing(const std::string& path, int flags) {
    if (has_nul(path)) return nul_in_path();
    int fd;
    // A FIFO in the way waits for a reader: an interruption may end the call meanwhile.
    while ((fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666)) < 0 && errno == EINTR) {
        check_interrupt();
    }
    if (fd < 0) return IoError::os(errno);
    return File(fd);
}

}  // namespace

IoResult<File> create_or_truncate(const std::string& path) { return open_for_writing(path, O_TRUNC); }

IoResult<File> create_new(const std::string& path) { return open_for_writing(path, O_EXCL); }

std::optional<IoError> rename_file(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return IoError::os(errno);
    return std::nullopt;
}

void remove_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

IoResult<File> anonymous_file(const std::string& directory) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::optional<IoError> first;
    for (const std::string& place : {directory.empty() ? std::string(".") : directory,
                                     std::string(tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp")}) {
        if (has_nul(place)) continue;
        const int fd = ::open(place.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return File(fd);
        if (!first) first = IoError::os(errno);
    }
    // File systems without unnamed files: a named one, unlinked at once.
    std::string pattern = std::string(tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp") + "/kestrel-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return first.value_or(IoError::os(errno));
    ::unlink(pattern.c_str());
    return File(fd);
}

void remove_empty_directories(const std::vector<std::string>& directories) noexcept {
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) ::rmdir(it->c_str());
}

std::optional<FileIdentity> identity_of(const std::string& path) {
    struct stat info;
    if (has_nul(path) || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
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
