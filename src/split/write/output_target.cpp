#include "split/write/output_target.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/stop.hpp"

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

}  // namespace

IoResult<std::unique_ptr<OutputFile>> LocalTarget::create(const std::string& name) {
    auto opened = BatchFile::open(directory_, name, input_, tag_);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    return std::unique_ptr<OutputFile>(std::make_unique<LocalFile>(std::move(std::get<BatchFile>(opened))));
}

std::optional<IoError> LocalTarget::remove(std::string_view name) {
    if (input_ && directory_.names(name, *input_)) return output_is_input(directory_.path_of(name));
    return directory_.remove(name);
}

IoResult<std::optional<std::string>> LocalTarget::read_small(std::string_view name, size_t most) const {
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

std::vector<std::string> files_named_by_manifest(const OutputTarget& target) {
    auto read = target.read_small(kManifestName, kMaxManifestBytes);
    if (auto* text = std::get_if<std::optional<std::string>>(&read); text && *text) return files_in_manifest(**text);
    return {};
}

std::optional<IoError> LocalTarget::holding(const std::function<std::optional<IoError>()>& body) {
    if (tag_.empty()) return body();
    auto hold = RunHold::take(directory_, tag_);
    if (auto* error = std::get_if<IoError>(&hold)) return *error;
    return body();
}

// One syncfs(2) of the output's file system does it for every file at once; an
// fsync(2) per file costs a journal commit each, thirty times as long for 10,000 chunks
// (bench/README.md). Writeback errors since the directory was opened are reported by
// either.
void LocalTarget::flush(const std::vector<std::string>& names) {
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

}  // namespace kestrel
