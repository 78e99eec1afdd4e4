// I/O errors with a kind name, in four shapes: a system error code, a bare kind,
// a kind with a fixed message, or a kind wrapping another error.
//
// Contract: plain values, copyable, no failure of their own; safe to use from any
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel {

enum class ErrorKind : uint8_t {
    Uncategorized, Other, OutOfMemory, UnexpectedEof, Interrupted, ArgumentListTooLong,
    InvalidFilename, TooManyLinks, CrossesDevices, Deadlock, ExecutableFileBusy, ResourceBusy,
    FileTooLarge, FilesystemQuotaExceeded, NotSeekable, StorageFull, WriteZero, TimedOut,
    InvalidData, InvalidInput, StaleNetworkFileHandle, FilesystemLoop, ReadOnlyFilesystem,
    DirectoryNotEmpty, IsADirectory, NotADirectory, WouldBlock, AlreadyExists, BrokenPipe,
    NetworkDown, AddrNotAvailable, AddrInUse, NotConnected, ConnectionAborted,
    NetworkUnreachable, HostUnreachable, ConnectionReset, ConnectionRefused, PermissionDenied,
    NotFound, Unsupported,
};

std::string_view kind_name(ErrorKind kind);
std::string_view kind_description(ErrorKind kind);
ErrorKind kind_from_errno(int code);

// An error that an I/O error can carry (the `Custom` shape).
class WrappedError {
public:
    virtual ~WrappedError() = default;
    virtual std::string display() const = 0;
    virtual std::string debug() const = 0;
};

class IoError {
public:
    static IoError os(int code);
    static IoError simple(ErrorKind kind);
    static IoError with_message(ErrorKind kind, std::string message);
    static IoError custom(ErrorKind kind, std::shared_ptr<const WrappedError> error);

    ErrorKind kind() const;
    int os_code() const { return shape_ == Shape::Os ? code_ : 0; }
    const WrappedError* wrapped() const { return wrapped_.get(); }

    // "No such file or directory (os error 2)", "failed to fill whole buffer", ...
    std::string display() const;
    // Os { code: 2, kind: NotFound, message: "No such file or directory" }, ...
    std::string debug() const;

private:
    enum class Shape : uint8_t { Os, Simple, SimpleMessage, Custom };
    IoError(Shape shape, ErrorKind kind) : shape_(shape), kind_(kind) {}

    Shape shape_;
    ErrorKind kind_;
    int code_ = 0;
    std::string message_;
    std::shared_ptr<const WrappedError> wrapped_;
};

// The system's description of an errno value, trailing white space removed.
std::string system_message(int code);

// The exact-size read failed because the file ended first.
IoError unexpected_eof();
// A write accepted no bytes.
IoError write_zero();

}  // namespace kestrel
