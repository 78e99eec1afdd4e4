#include "python/kestrel_scatter/storage.hpp"

#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/stop.hpp"
#include "python/py_error.hpp"
#include "python/py_lock.hpp"
#include "python/py_ref.hpp"
#include "split/storage/file_system.hpp"
#include "split/storage/local_files.hpp"

namespace kestrel::py {
namespace {

// Errors the engine tells apart by their number (a store that is missing, denies,
// or cannot be reached); any other failure of a store is its own text.
bool meaningful(int code) {
    switch (code) {
    case ENOENT: case EACCES: case EPERM: case EEXIST: case EISDIR: case ENOTDIR: case EBUSY:
    case ECONNREFUSED: case ECONNRESET: case ECONNABORTED: case ETIMEDOUT: case EHOSTUNREACH: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// The pending exception as an IoError that names `url`, cleared. Any other exception
// than an OSError (KeyboardInterrupt on Ctrl-C, a package the store needs and that is
// missing) ends the call: Interrupted, carrying it to reach the caller as it is.
IoError take_error(const std::string& url) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_python_error("a store");
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref held_type = Ref::steal(type), held_value = Ref::steal(value), held_traceback = Ref::steal(traceback);
    int code = 0;
    std::string text = "failed";
    if (value != nullptr) {
        Ref number = Ref::steal(PyObject_GetAttrString(value, "errno"));
        if (number && PyLong_Check(number.get())) code = static_cast<int>(PyLong_AsLong(number.get()));
        Ref reason = Ref::steal(PyObject_GetAttrString(value, "strerror"));
        if (!reason || reason.get() == Py_None) reason = Ref::steal(PyObject_Str(value));
        if (reason && PyUnicode_Check(reason.get())) {
            if (const char* utf8 = PyUnicode_AsUTF8(reason.get())) text = utf8;
        }
    }
    PyErr_Clear();
    if (meaningful(code)) return IoError::os(code);
    return IoError::with_message(ErrorKind::Other, url + ": " + text);
}

Ref module() {
    Ref imported = Ref::steal(PyImport_ImportModule("kestrel_storage"));
    if (!imported) throw_python_error("importing kestrel_storage");  // passes as it is
    return imported;
}

Ref text(const std::string& value) {
    Ref made = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    if (!made) throw_python_error("a text");
    return made;
}

// kestrel_storage.<class>(url, options[, version]) — a failure to open stops naming the URL.
Ref open_object(const char* kind, const std::string& url, const std::string& options,
                const std::optional<std::string>& version = std::nullopt) {
    Ref storage = module();
    Ref parsed = Ref::steal(PyObject_CallMethod(storage.get(), "options_from_json", "O", text(options).get()));
    if (!parsed) throw_python_error("the storage options");
    Ref object = version ? Ref::steal(PyObject_CallMethod(storage.get(), kind, "OOO", text(url).get(), parsed.get(),
                                                          text(*version).get()))
                         : Ref::steal(PyObject_CallMethod(storage.get(), kind, "OO", text(url).get(), parsed.get()));
    if (!object) stop_io("cannot open", take_error(url), url);
    return object;
}

// object.method() called for its effect alone (a clean-up as something ends), with the
// exception pending meanwhile set aside and put back: that one stays the caller's.
void clean_up(PyObject* object, const char* method) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref done = Ref::steal(PyObject_CallMethod(object, method, nullptr));
    if (!done) clear_keeping_interruptions();
    PyErr_Restore(type, value, traceback);
}

// The bytes of a part a store gave (bytes, or a bytearray filled in place); none for
// anything else.
std::optional<std::span<const uint8_t>> bytes_of(PyObject* object) {
    if (PyBytes_Check(object)) {
        return std::span(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(object)),
                         static_cast<size_t>(PyBytes_GET_SIZE(object)));
    }
    if (PyByteArray_Check(object)) {
        return std::span(reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(object)),
                         static_cast<size_t>(PyByteArray_GET_SIZE(object)));
    }
    return std::nullopt;
}

uint64_t number_of(PyObject* object, const char* attribute, uint64_t otherwise) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
    if (!value || value.get() == Py_None || !PyLong_Check(value.get())) {
        clear_keeping_interruptions();
        return otherwise;
    }
    return PyLong_AsUnsignedLongLong(value.get());
}

// An object (or HTTP resource) read through kestrel_storage.Input: in ranges, and in
// order through a stream that reads ahead as far as the reader expects to read and
// past that only what each read() asks for; one whose server answers no ranges only in
// order, once.
class PythonSource final : public ByteSource {
public:
    PythonSource(std::shared_ptr<Ref> input, std::string url, uint64_t start, uint64_t end, uint64_t expected)
        : input_(std::move(input)), url_(std::move(url)), start_(start), end_(end), expected_(expected) {
        const LockFromAnyThread lock;
        size_ = number_of(input_->get(), "size", UINT64_MAX);
        Ref seekable = Ref::steal(PyObject_GetAttrString(input_->get(), "seekable"));
        seekable_ = seekable && PyObject_IsTrue(seekable.get()) == 1;
        Ref version = Ref::steal(PyObject_GetAttrString(input_->get(), "version"));
        if (version && PyUnicode_Check(version.get())) {
            if (const char* utf8 = PyUnicode_AsUTF8(version.get())) version_ = utf8;
        }
        PyErr_Clear();
        const uint64_t modified = number_of(input_->get(), "modified_ns", 0);
        if (modified != 0) modified_ns_ = static_cast<int64_t>(modified);
    }
    ~PythonSource() override {
        const LockFromAnyThread lock;
        // The parts asked for ahead, or the body of a stream, let go now rather than when
        // the collector finds them.
        if (stream_) clean_up(stream_.get(), "close");
        part_ = Ref();
        stream_ = Ref();
        input_.reset();
    }

    IoResult<size_t> read(std::span<uint8_t> into) override {
        const LockFromAnyThread lock;
        while (taken_ == held_.size()) {
            if (!stream_) {
                const auto number = [](uint64_t value) {
                    return value == UINT64_MAX ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromUnsignedLongLong(value));
                };
                Ref end = number(end_), expected = number(expected_);
                if (end && expected) {
                    stream_ = Ref::steal(
                        PyObject_CallMethod(input_->get(), "stream", "KOO", start_, end.get(), expected.get()));
                }
                if (!stream_) return take_error(url_);
            }
            part_ = Ref::steal(PyObject_CallMethod(stream_.get(), "next", "n", static_cast<Py_ssize_t>(into.size())));
            held_ = {};
            taken_ = 0;
            if (!part_) return take_error(url_);
            const auto bytes = bytes_of(part_.get());
            if (!bytes) {
                part_ = Ref();
                return IoError::with_message(ErrorKind::InvalidData, url_ + ": the store gave no bytes");
            }
            held_ = *bytes;  // the part is not resized while it is held here
            if (held_.empty()) return size_t{0};
        }
        const size_t length = std::min(into.size(), held_.size() - taken_);
        std::memcpy(into.data(), held_.data() + taken_, length);
        taken_ += length;
        return length;
    }

    IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override {
        if (!seekable_) return IoError::os(ESPIPE);
        const uint64_t at = start_ + offset;
        const uint64_t end = std::min(end_, std::min(size_, at + into.size()));
        if (at >= end) return size_t{0};
        const LockFromAnyThread lock;
        Ref part = Ref::steal(PyObject_CallMethod(input_->get(), "read", "KK", at, end));
        if (!part) return take_error(url_);
        const auto bytes = bytes_of(part.get());
        if (!bytes) return IoError::with_message(ErrorKind::InvalidData, url_ + ": no bytes");
        const size_t length = std::min(into.size(), bytes->size());
        std::memcpy(into.data(), bytes->data(), length);
        return length;
    }

    bool seekable() const override { return seekable_; }
    std::optional<uint64_t> size() const override {
        if (size_ == UINT64_MAX) return std::nullopt;
        return std::min(size_, end_) - std::min(std::min(size_, end_), start_);
    }
    std::optional<int64_t> modified_ns() const override { return modified_ns_; }
    std::string version() const override { return version_; }
    std::unique_ptr<ByteSource> read_from(uint64_t offset, uint64_t end, uint64_t expected) const override {
        if (!seekable_) return nullptr;
        const auto from_start = [&](uint64_t value) {
            return value == UINT64_MAX ? end_ : std::min(end_, start_ + value);
        };
        return std::make_unique<PythonSource>(input_, url_, start_ + offset, from_start(end), from_start(expected));
    }

private:
    std::shared_ptr<Ref> input_;  // kestrel_storage.Input, shared by the passes over it
    std::string url_;
    uint64_t start_;
    uint64_t end_;
    uint64_t expected_;
    uint64_t size_ = UINT64_MAX;
    bool seekable_ = false;
    std::string version_;
    std::optional<int64_t> modified_ns_;
    Ref stream_;  // made at the first read
    Ref part_;    // the bytes being handed out
    std::span<const uint8_t> held_;  // what part_ holds
    size_t taken_ = 0;
};

// A file uploaded whole through a kestrel_storage upload: written only on the thread
// that runs the split.
class RemoteFile final : public OutputFile {
public:
    RemoteFile(Ref upload, std::string url) : upload_(std::move(upload)), url_(std::move(url)) {}
    ~RemoteFile() override {
        const LockFromAnyThread lock;
        if (!committed_) clean_up(upload_.get(), "abort");  // whatever else is pending
        upload_ = Ref();
    }

    // Writes come from the thread that runs the split, within the compressor's or the
    // plain writes' own calls: an interruption is a failed write here (EINTR), its
    // exception kept to end the call (python/exceptions.hpp run_released).
    std::optional<IoError> write(std::span<const uint8_t> bytes) override {
        const LockFromAnyThread lock;
        Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(bytes.data())),
                                                      static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
        Ref written = view ? Ref::steal(PyObject_CallMethod(upload_.get(), "write", "O", view.get())) : Ref();
        if (!written) {
            try {
                return take_error(url_);
            } catch (Interrupted& interrupted) {
                keep_interruption(std::move(interrupted));  // the call's exception once it ends
                return IoError::os(EINTR);
            }
        }
        size_ += bytes.size();
        return std::nullopt;
    }
    std::optional<IoError> write_at(std::span<iovec> pieces, uint64_t) noexcept override {
        try {
            for (const iovec& piece : pieces) {
                if (auto error = write({static_cast<const uint8_t*>(piece.iov_base), piece.iov_len})) return error;
            }
            return std::nullopt;
        } catch (...) {
            return IoError::os(ENOMEM);  // the memoryview could not be made
        }
    }
    IoResult<uint64_t> size() override { return size_; }
    IoResult<std::unique_ptr<ByteSource>> read_back() override { return not_again(); }
    std::optional<IoError> restart() override { return not_again(); }
    std::optional<IoError> commit(Durability) override {
        const LockFromAnyThread lock;
        Ref done = Ref::steal(PyObject_CallMethod(upload_.get(), "commit", nullptr));
        if (!done) return take_error(url_);
        committed_ = true;
        return std::nullopt;
    }
    std::string path() const override { return url_; }

private:
    IoError not_again() const {
        return IoError::with_message(ErrorKind::Unsupported,
                                     "a header line after the first record: a chunk in object storage cannot be "
                                     "written again (split such an input into a local directory)");
    }

    Ref upload_;
    std::string url_;
    uint64_t size_ = 0;
    bool committed_ = false;
};

// A prefix in object storage, through kestrel_storage.Output: its files, and the
// store's means of a run's hold on it (a lock object written only where none is,
// which carries the run's tag and is the mark of a run on a cluster).
class RemoteFolder final : public Folder {
public:
    RemoteFolder(Ref output, std::string url, std::string input)
        : output_(std::move(output)), url_(std::move(url)), input_(std::move(input)) {
        while (url_.ends_with('/')) url_.pop_back();
    }
    ~RemoteFolder() override {
        const LockFromAnyThread lock;
        if (locked_) clean_up(output_.get(), "unlock");
        output_ = Ref();
    }

    std::string path_of(std::string_view name) const override { return url_ + "/" + std::string(name); }
    bool local() const override { return false; }
    IoResult<std::unique_ptr<OutputFile>> create(const std::string& name, std::string_view) override {
        if (path_of(name) == input_) return output_is_input(path_of(name));
        const LockFromAnyThread lock;
        Ref upload = Ref::steal(PyObject_CallMethod(output_.get(), "upload", "O", text(name).get()));
        if (!upload) return take_error(path_of(name));
        return std::unique_ptr<OutputFile>(std::make_unique<RemoteFile>(std::move(upload), path_of(name)));
    }
    std::optional<IoError> remove(std::string_view name) override {
        if (path_of(name) == input_) return output_is_input(path_of(name));
        const LockFromAnyThread lock;
        Ref removed = Ref::steal(PyObject_CallMethod(output_.get(), "remove", "O", text(std::string(name)).get()));
        if (!removed) return take_error(path_of(name));
        return std::nullopt;
    }
    std::optional<uint64_t> size_of(std::string_view name) const override {
        const LockFromAnyThread lock;
        Ref size = Ref::steal(PyObject_CallMethod(output_.get(), "size_of", "O", text(std::string(name)).get()));
        if (!size || !PyLong_Check(size.get())) {
            clear_keeping_interruptions();
            return std::nullopt;
        }
        return PyLong_AsUnsignedLongLong(size.get());
    }
    IoResult<std::optional<std::string>> read_small(std::string_view name, size_t most) const override {
        const LockFromAnyThread lock;
        Ref bytes = Ref::steal(PyObject_CallMethod(output_.get(), "read", "OK", text(std::string(name)).get(),
                                                   static_cast<unsigned long long>(most)));
        if (!bytes) return take_error(path_of(name));
        if (!PyBytes_Check(bytes.get()) || static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) > most) {
            return std::nullopt;  // None: not there
        }
        return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
    bool still_there() const override { return true; }
    void flush(const std::vector<std::string>&) override {}  // an object is durable once it is there
    IoResult<File> scratch() override {
        return IoError::with_message(ErrorKind::Unsupported, "no scratch space in object storage");
    }

    bool lock(const std::string& tag) override {
        const LockFromAnyThread lock;
        Ref locked = Ref::steal(PyObject_CallMethod(output_.get(), "lock", "O", text(tag).get()));
        if (!locked) {
            const IoError error = take_error(url_);
            if (error.os_code() == EBUSY) return false;
            stop_io("cannot lock", error, url_);
        }
        locked_ = true;
        return true;
    }
    // The lock object is the run's mark: nothing more to make, and it goes with the lock.
    IoResult<std::unique_ptr<Mark>> mark(const std::string&) override { return std::unique_ptr<Mark>(); }
    IoResult<std::unique_ptr<Mark>> hold(const std::string& tag) override {
        const LockFromAnyThread lock;
        Ref holds = Ref::steal(PyObject_CallMethod(output_.get(), "holds", "O", text(tag).get()));
        const bool held = holds && PyObject_IsTrue(holds.get()) == 1;
        if (!holds) clear_keeping_interruptions();
        if (!held) return IoError::os(ECANCELED);
        return std::unique_ptr<Mark>();
    }
    // Nothing is left behind: an upload that does not complete leaves no object.
    void remove_leftovers(bool (*)(std::string_view)) override {}

private:
    Ref output_;
    std::string url_;
    std::string input_;
    bool locked_ = false;
};

// URLs through fsspec, which has a backend of its own per scheme (s3fs, gcsfs, adlfs,
// aiohttp for http): registered for the schemes of those, and for any other scheme
// that fsspec may know.
class PythonFileSystem final : public FileSystem {
public:
    std::shared_ptr<ByteSource> open_input(const std::string& url, const std::string& options,
                                           const std::string& version) override {
        const LockFromAnyThread lock;
        auto input = std::make_shared<Ref>(
            open_object("Input", url, options, version.empty() ? std::nullopt : std::optional(version)));
        return std::make_shared<PythonSource>(std::move(input), url, 0, UINT64_MAX, UINT64_MAX);
    }
    std::unique_ptr<Folder> open_folder(const std::string& url, const std::string& options, const InputName& input,
                                        bool) override {
        const LockFromAnyThread lock;
        return std::make_unique<RemoteFolder>(open_object("Output", url, options), url, input.url);
    }
};

PythonFileSystem python_file_system;

}  // namespace

void install_python_storage() {
    for (const char* scheme : {"s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "http", "https", "*"}) {
        register_file_system(scheme, &python_file_system);
    }
}

}  // namespace kestrel::py
