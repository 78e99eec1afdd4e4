#include "base/byte_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/stop.hpp"

namespace kestrel {

IoResult<size_t> read_fully_at(const ByteSource& source, uint64_t offset, std::span<uint8_t> into) {
    size_t got = 0;
    while (got < into.size()) {
        auto read = source.read_at(offset + got, into.subspan(got));
        if (auto* error = std::get_if<IoError>(&read)) return *error;
        if (std::get<size_t>(read) == 0) break;
        got += std::get<size_t>(read);
    }
    return got;
}

std::optional<IoError> read_all(ByteSource& source,
                                const std::function<std::optional<IoError>(std::span<const uint8_t>)>& take) {
    std::vector<uint8_t> buffer(size_t{1} << 20);
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        auto got = source.read(buffer);
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        const size_t length = std::get<size_t>(got);
        if (length == 0) return std::nullopt;
        if (auto error = take(std::span(buffer).first(length))) return error;
    }
}

FileSource::FileSource(File file) : file_(std::move(file)) {
    struct stat status {};
    if (::fstat(file_.fd(), &status) != 0) return;
    identity_ = FileIdentity{status.st_dev, status.st_ino};
    modified_ns_ = int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
    if (!S_ISREG(status.st_mode)) return;
    const off_t at = ::lseek(file_.fd(), 0, SEEK_CUR);
    if (at < 0) return;
    seekable_ = true;
    start_ = static_cast<uint64_t>(at);
    if (status.st_size > 0) size_ = static_cast<uint64_t>(std::max<off_t>(status.st_size - at, 0));
}

IoResult<size_t> FileSource::read(std::span<uint8_t> into) { return read_some(file_.fd(), into); }

IoResult<size_t> FileSource::read_at(uint64_t offset, std::span<uint8_t> into) const {
    if (!seekable_) return IoError::os(ESPIPE);
    for (;;) {
        const ssize_t got = ::pread(file_.fd(), into.data(), into.size(), static_cast<off_t>(start_ + offset));
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return IoError::os(errno);
    }
}

IoResult<std::unique_ptr<FileSource>> open_file_source(const std::string& path) {
    auto opened = open_for_reading(path);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    return std::make_unique<FileSource>(std::move(std::get<File>(opened)));
}

namespace {

class ReadFrom final : public ByteSource {
public:
    ReadFrom(std::shared_ptr<const ByteSource> source, uint64_t offset, uint64_t end)
        : source_(std::move(source)), offset_(offset), end_(std::max(offset, end)), at_(offset) {}

    IoResult<size_t> read(std::span<uint8_t> into) override {
        auto got = source_->read_at(at_, into.first(std::min<uint64_t>(into.size(), end_ - at_)));
        if (const auto* length = std::get_if<size_t>(&got)) at_ += *length;
        return got;
    }
    IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override {
        const uint64_t at = offset_ + std::min(offset, end_ - offset_);
        return source_->read_at(at, into.first(std::min<uint64_t>(into.size(), end_ - at)));
    }
    bool seekable() const override { return source_->seekable(); }
    std::optional<uint64_t> size() const override {
        const auto whole = source_->size();
        if (!whole) return std::nullopt;
        return std::min(*whole, end_) - std::min(*whole, offset_);
    }
    std::optional<FileIdentity> identity() const override { return source_->identity(); }
    std::optional<int64_t> modified_ns() const override { return source_->modified_ns(); }

private:
    std::shared_ptr<const ByteSource> source_;
    uint64_t offset_;
    uint64_t end_;
    uint64_t at_;
};

// The shared source's own read(), for one pass over a source that allows only one.
class Forward final : public ByteSource {
public:
    explicit Forward(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {}

    IoResult<size_t> read(std::span<uint8_t> into) override { return source_->read(into); }
    IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override {
        return source_->read_at(offset, into);
    }
    bool seekable() const override { return source_->seekable(); }
    std::optional<uint64_t> size() const override { return source_->size(); }
    std::optional<FileIdentity> identity() const override { return source_->identity(); }
    std::optional<int64_t> modified_ns() const override { return source_->modified_ns(); }

private:
    std::shared_ptr<ByteSource> source_;
};

class WithPrefix final : public ByteSource {
public:
    WithPrefix(std::vector<uint8_t> first, std::unique_ptr<ByteSource> rest)
        : first_(std::move(first)), rest_(std::move(rest)) {}

    IoResult<size_t> read(std::span<uint8_t> into) override {
        if (handed_out_ == first_.size()) return rest_->read(into);
        const size_t length = std::min(into.size(), first_.size() - handed_out_);
        std::memcpy(into.data(), first_.data() + handed_out_, length);
        handed_out_ += length;
        return length;
    }
    IoResult<size_t> read_at(uint64_t, std::span<uint8_t>) const override { return IoError::os(ESPIPE); }
    bool seekable() const override { return false; }
    std::optional<uint64_t> size() const override { return rest_->size(); }
    std::optional<FileIdentity> identity() const override { return rest_->identity(); }
    std::optional<int64_t> modified_ns() const override { return rest_->modified_ns(); }

private:
    std::vector<uint8_t> first_;
    size_t handed_out_ = 0;
    std::unique_ptr<ByteSource> rest_;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    IoResult<size_t> read(std::span<uint8_t> into) override {
        auto got = read_at(at_, into);
        at_ += std::get<size_t>(got);
        return got;
    }
    IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override {
        if (offset >= bytes_.size()) return size_t{0};
        const size_t length = std::min<uint64_t>(into.size(), bytes_.size() - offset);
        std::memcpy(into.data(), bytes_.data() + offset, length);
        return length;
    }
    bool seekable() const override { return true; }
    std::optional<uint64_t> size() const override { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
    uint64_t at_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> memory_source(std::vector<uint8_t> bytes) {
    return std::make_unique<MemorySource>(std::move(bytes));
}

std::unique_ptr<ByteSource> read_from(std::shared_ptr<const ByteSource> source, uint64_t offset, uint64_t end,
                                      uint64_t expected) {
    if (auto own = source->read_from(offset, end, std::min(end, expected))) return own;
    return std::make_unique<ReadFrom>(std::move(source), offset, end);
}

std::unique_ptr<ByteSource> pass_over(std::shared_ptr<ByteSource> source) {
    if (source->seekable()) return read_from(std::move(source), 0);
    return std::make_unique<Forward>(std::move(source));
}

std::unique_ptr<ByteSource> with_prefix(std::vector<uint8_t> first, std::unique_ptr<ByteSource> rest) {
    return std::make_unique<WithPrefix>(std::move(first), std::move(rest));
}

}  // namespace kestrel
