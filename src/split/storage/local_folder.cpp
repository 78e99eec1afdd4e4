#include "split/storage/local_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/stop.hpp"
#include "split/storage/local_files.hpp"

namespace kestrel {
namespace {

class LocalFile final : public OutputFile {
public:
    explicit LocalFile(BatchFile file) : file_(std::move(file)) {}

    std::optional<IoError> write(std::span<const uint8_t> bytes) override { return write_all(file_.fd(), bytes); }
    std::optional<IoError> write_at(std::span<iovec> pieces, uint64_t offset) noexcept override {
        return pwrite_all(file_.fd(), pieces, static_cast<off_t>(offset));
    }
    IoResult<uint64_t> size() override {
        struct stat status {};
        if (::fstat(file_.fd(), &status) != 0) return IoError::os(errno);
        return static_cast<uint64_t>(status.st_size);
    }
    IoResult<std::unique_ptr<ByteSource>> read_back() override {
        auto opened = file_.read_back();
        if (auto* error = std::get_if<IoError>(&opened)) return *error;
        return std::unique_ptr<ByteSource>(std::make_unique<FileSource>(std::move(std::get<File>(opened))));
    }
    std::optional<IoError> restart() override {
        if (::ftruncate(file_.fd(), 0) != 0 || ::lseek(file_.fd(), 0, SEEK_SET) < 0) return IoError::os(errno);
        return std::nullopt;
    }
    std::optional<IoError> commit(Durability durability) override {
        if (durability == Durability::Flush && file_.fd() >= 0 && ::fsync(file_.fd()) != 0) {
            const IoError error = IoError::os(errno);
            file_.abandon();
            return error;
        }
        return file_.commit(durability == Durability::StartWriteback);
    }
    std::optional<IoError> close(Durability durability) override {
        if (durability == Durability::Flush && ::fsync(file_.fd()) != 0) {
            const IoError error = IoError::os(errno);
            file_.abandon();
            return error;
        }
        return file_.close(durability == Durability::StartWriteback);
    }
    std::string path() const override { return file_.path(); }

private:
    BatchFile file_;
};

[[noreturn]] void stop_flushing(const IoError& error, const std::string& path) {
    stop("cannot flush " + path + ": " + error.display(), StopDetail::io(error.os_code(), path, error.display()));
}

// Removes the temporaries that attempts of the run `tag` left (a task cut off, or run
// twice): ".NAME.TAG-<unique>.tmp".
void remove_temporaries(const Directory& directory, const std::string& tag) noexcept {
    try {
        auto names = directory.list();
        if (!std::holds_alternative<std::vector<std::string>>(names)) return;
        const std::string mark = "." + tag + "-";
        for (const std::string& name : std::get<std::vector<std::string>>(names)) {
            if (name.starts_with('.') && name.ends_with(".tmp") && name.find(mark) != std::string::npos) {
                (void)directory.remove(name);
            }
        }
    } catch (...) {
        // Out of memory while listing: what is left is a temporary or two, never a chunk.
    }
}

// The run's token, and its end: however the run ends, tasks still running (the
// scheduler lost, a Ctrl-C) can no longer make or rename files, and what attempts left goes.
class TokenMark final : public Folder::Mark {
public:
    TokenMark(RunToken token, const Directory& directory, std::string tag)
        : token_(std::move(token)), directory_(directory), tag_(std::move(tag)) {}
    ~TokenMark() override {
        token_.end();
        remove_temporaries(directory_, tag_);
    }

private:
    RunToken token_;
    const Directory& directory_;
    std::string tag_;
};

class HoldMark final : public Folder::Mark {
public:
    explicit HoldMark(RunHold hold) : hold_(std::move(hold)) {}

private:
    RunHold hold_;
};

class LocalFileSystem final : public FileSystem {
public:
    std::shared_ptr<ByteSource> open_input(const std::string& path, const std::string&, const std::string&) override {
        if (path == "-") {
            // A descriptor of our own for standard input, where it stands.
            const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) stop_io("cannot open", IoError::os(errno), "<stdin>");
            return std::make_shared<FileSource>(File(fd));
        }
        auto opened = open_file_source(path);
        if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open", *error, path);
        return std::move(std::get<std::unique_ptr<FileSource>>(opened));
    }

    std::unique_ptr<Folder> open_folder(const std::string& path, const std::string&, const InputName& input,
                                        bool make) override {
        auto made = std::make_unique<MadeDirectories>();
        if (make) {
            if (struct stat status {}; ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
                stop(path + " is not a directory", StopDetail::io_reason(ENOTDIR, path, "is not a directory"));
            }
            if (auto error = made->make(path)) stop_io("An error occurred creating the directory", *error, path);
        }
        auto opened = Directory::open(path);
        if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open the directory", *error, path);
        return std::make_unique<LocalFolder>(std::move(std::get<Directory>(opened)), input.identity, std::move(made));
    }
};

}  // namespace

IoResult<std::unique_ptr<OutputFile>> LocalFolder::create(const std::string& name, std::string_view tag) {
    auto opened = BatchFile::open(directory_, name, input_, tag);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    return std::unique_ptr<OutputFile>(std::make_unique<LocalFile>(std::move(std::get<BatchFile>(opened))));
}

std::optional<IoError> LocalFolder::remove(std::string_view name) {
    if (input_ && directory_.names(name, *input_)) return output_is_input(directory_.path_of(name));
    return directory_.remove(name);
}

IoResult<std::optional<std::string>> LocalFolder::read_small(std::string_view name, size_t most) const {
    auto opened = directory_.open_regular(name);
    if (auto* error = std::get_if<IoError>(&opened)) {
        if (error->os_code() == ENOENT || error->os_code() == EINVAL || error->os_code() == ELOOP) return std::nullopt;
        return *error;
    }
    FileSource file(std::move(std::get<File>(opened)));
    std::string bytes;
    bool larger = false;
    auto error = read_all(file, [&](std::span<const uint8_t> piece) -> std::optional<IoError> {
        larger = piece.size() > most - bytes.size();
        if (larger) return IoError::os(EFBIG);
        bytes.append(reinterpret_cast<const char*>(piece.data()), piece.size());
        return std::nullopt;
    });
    if (larger) return std::nullopt;
    if (error) return *error;
    return bytes;
}

// One syncfs(2) of the output's file system does it for every file at once; an
// fsync(2) per file costs a journal commit each, thirty times as long for 10,000 chunks
// (bench/README.md). Writeback errors since the directory was opened are reported by
// either.
void LocalFolder::flush(const std::vector<std::string>& names) {
    if (::syncfs(directory_.fd()) == 0) return;
    if (errno != ENOSYS) stop_flushing(IoError::os(errno), directory_.path());
    InterruptPoll interrupt_poll;
    for (const std::string& name : names) {
        interrupt_poll();
        auto opened = directory_.open_for_reading(name);
        if (auto* error = std::get_if<IoError>(&opened)) stop_flushing(*error, directory_.path_of(name));
        if (::fsync(std::get<File>(opened).fd()) != 0) stop_flushing(IoError::os(errno), directory_.path_of(name));
    }
    if (auto error = directory_.sync()) stop_flushing(*error, directory_.path());
}

bool LocalFolder::lock(const std::string&) {
    auto locked = directory_.try_lock();
    if (auto* error = std::get_if<IoError>(&locked)) {
        stop("cannot lock the directory " + directory_.path() + ": " + error->display(),
             StopDetail::io(error->os_code(), directory_.path(), error->display()));
    }
    return std::get<bool>(locked);
}

IoResult<std::unique_ptr<Folder::Mark>> LocalFolder::mark(const std::string& tag) {
    auto token = RunToken::create(directory_, tag);
    if (auto* error = std::get_if<IoError>(&token)) return *error;
    return std::unique_ptr<Mark>(std::make_unique<TokenMark>(std::move(std::get<RunToken>(token)), directory_, tag));
}

IoResult<std::unique_ptr<Folder::Mark>> LocalFolder::hold(const std::string& tag) {
    auto hold = RunHold::take(directory_, tag);
    if (auto* error = std::get_if<IoError>(&hold)) return *error;
    return std::unique_ptr<Mark>(std::make_unique<HoldMark>(std::move(std::get<RunHold>(hold))));
}

void LocalFolder::remove_leftovers(bool (*ours)(std::string_view file_name)) {
    remove_stale_temporaries(directory_, input_, ours);
}

FileSystem& local_file_system() {
    static LocalFileSystem local;
    return local;
}

}  // namespace kestrel
