#include "base/io_error.hpp"

#include <cerrno>
#include <cstring>

#include "base/debug_text.hpp"

namespace kestrel {
namespace {

struct KindText {
    std::string_view name;
    std::string_view description;
};

// Contract text (docs/errors.md): every text and form below, to the letter.
// In the order of ErrorKind.
constexpr KindText kKindTexts[] = {
    {"Uncategorized", "uncategorized error"},
    {"Other", "other error"},
    {"OutOfMemory", "out of memory"},
    {"UnexpectedEof", "unexpected end of file"},
    {"Interrupted", "operation interrupted"},
    {"ArgumentListTooLong", "argument list too long"},
    {"InvalidFilename", "invalid filename"},
    {"TooManyLinks", "too many links"},
    {"CrossesDevices", "cross-device link or rename"},
    {"Deadlock", "deadlock"},
    {"ExecutableFileBusy", "executable file busy"},
    {"ResourceBusy", "resource busy"},
    {"FileTooLarge", "file too large"},
    {"FilesystemQuotaExceeded", "filesystem quota exceeded"},
    {"NotSeekable", "seek on unseekable file"},
    {"StorageFull", "no storage space"},
    {"WriteZero", "write zero"},
    {"TimedOut", "timed out"},
    {"InvalidData", "invalid data"},
    {"InvalidInput", "invalid input parameter"},
    {"StaleNetworkFileHandle", "stale network file handle"},
    {"FilesystemLoop", "filesystem loop or indirection limit (e.g. symlink loop)"},
    {"ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {"DirectoryNotEmpty", "directory not empty"},
    {"IsADirectory", "is a directory"},
    {"NotADirectory", "not a directory"},
    {"WouldBlock", "operation would block"},
    {"AlreadyExists", "entity already exists"},
    {"BrokenPipe", "broken pipe"},
    {"NetworkDown", "network down"},
    {"AddrNotAvailable", "address not available"},
    {"AddrInUse", "address in use"},
    {"NotConnected", "not connected"},
    {"ConnectionAborted", "connection aborted"},
    {"NetworkUnreachable", "network unreachable"},
    {"HostUnreachable", "host unreachable"},
    {"ConnectionReset", "connection reset"},
    {"ConnectionRefused", "connection refused"},
    {"PermissionDenied", "permission denied"},
    {"NotFound", "entity not found"},
    {"Unsupported", "unsupported"},
};
static_assert(std::size(kKindTexts) == static_cast<size_t>(ErrorKind::Unsupported) + 1);

}  // namespace

std::string_view kind_name(ErrorKind kind) { return kKindTexts[static_cast<size_t>(kind)].name; }

std::string_view kind_description(ErrorKind kind) {
    return kKindTexts[static_cast<size_t>(kind)].description;
}

ErrorKind kind_from_errno(int code) {
    switch (code) {
    case ENOENT: return ErrorKind::NotFound;
    case EPERM: case EACCES: return ErrorKind::PermissionDenied;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EISDIR: return ErrorKind::IsADirectory;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ENOSPC: return ErrorKind::StorageFull;
    case EDQUOT: return ErrorKind::FilesystemQuotaExceeded;
    case EFBIG: return ErrorKind::FileTooLarge;
    case EINTR: return ErrorKind::Interrupted;
    case EINVAL: return ErrorKind::InvalidInput;
    case ENAMETOOLONG: return ErrorKind::InvalidFilename;
    case ELOOP: return ErrorKind::FilesystemLoop;
    case EMLINK: return ErrorKind::TooManyLinks;
    case EXDEV: return ErrorKind::CrossesDevices;
    case EBUSY: return ErrorKind::ResourceBusy;
    case ETXTBSY: return ErrorKind::ExecutableFileBusy;
    case EDEADLK: return ErrorKind::Deadlock;
    case ESPIPE: return ErrorKind::NotSeekable;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case EPIPE: return ErrorKind::BrokenPipe;
    case EAGAIN: return ErrorKind::WouldBlock;
    case E2BIG: return ErrorKind::ArgumentListTooLong;
    case ESTALE: return ErrorKind::StaleNetworkFileHandle;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case ENOSYS: case EOPNOTSUPP: return ErrorKind::Unsupported;
    case ECONNREFUSED: return ErrorKind::ConnectionRefused;
    case ECONNRESET: return ErrorKind::ConnectionReset;
    case ECONNABORTED: return ErrorKind::ConnectionAborted;
    case ENOTCONN: return ErrorKind::NotConnected;
    case EADDRINUSE: return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
    case ENETDOWN: return ErrorKind::NetworkDown;
    case ENETUNREACH: return ErrorKind::NetworkUnreachable;
    case EHOSTUNREACH: return ErrorKind::HostUnreachable;
    default: return ErrorKind::Uncategorized;
    }
}

std::string system_message(int code) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    std::string text = strerror_r(code, buffer, sizeof buffer);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == '\t')) {
        text.pop_back();
    }
    return text;
}

IoError IoError::os(int code) {
    IoError error(Shape::Os, kind_from_errno(code));
    error.code_ = code;
    return error;
}

IoError IoError::simple(ErrorKind kind) { return IoError(Shape::Simple, kind); }

IoError IoError::with_message(ErrorKind kind, std::string message) {
    IoError error(Shape::SimpleMessage, kind);
    error.message_ = std::move(message);
    return error;
}

IoError IoError::custom(ErrorKind kind, std::shared_ptr<const WrappedError> wrapped) {
    IoError error(Shape::Custom, kind);
    error.wrapped_ = std::move(wrapped);
    return error;
}

ErrorKind IoError::kind() const { return kind_; }

std::string IoError::display() const {
    switch (shape_) {
    case Shape::Os: return system_message(code_) + " (os error " + std::to_string(code_) + ")";
    case Shape::Simple: return std::string(kind_description(kind_));
    case Shape::SimpleMessage: return message_;
    case Shape::Custom: return wrapped_->display();
    }
    return {};
}

// Contract text (docs/errors.md): every text and form below, to the letter.
std::string IoError::debug() const {
    const std::string kind(kind_name(kind_));
    switch (shape_) {
    case Shape::Os:
        return "Os { code: " + std::to_string(code_) + ", kind: " + kind +
               ", message: " + debug_quoted(system_message(code_)) + " }";
    case Shape::Simple: return "Kind(" + kind + ")";
    case Shape::SimpleMessage:
        return "Error { kind: " + kind + ", message: " + debug_quoted(message_) + " }";
    case Shape::Custom: return "Custom { kind: " + kind + ", error: " + wrapped_->debug() + " }";
    }
    return {};
}

// Contract text (docs/errors.md): callers match on it to the letter.
IoError unexpected_eof() {
    return IoError::with_message(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

// Contract text (docs/errors.md): callers match on it to the letter.
IoError write_zero() {
    return IoError::with_message(ErrorKind::WriteZero, "failed to write whole buffer");
}

}  // namespace kestrel
