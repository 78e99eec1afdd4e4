#include "split/inputs.hpp"

#include <algorithm>
#include <cstring>

#include "base/stop.hpp"

namespace kestrel {
namespace {

// Enough buffers that reading goes on while earlier pieces are still being written.
constexpr size_t kBuffersInFlight = 8;

class PlainInput final : public Input {
public:
    PlainInput(File file, size_t read_size, std::span<const uint8_t> already_read)
        : file_(std::move(file)),
          buffers_(std::max(read_size, already_read.size()), kBuffersInFlight),
          already_read_(already_read.begin(), already_read.end()) {}

    InputResult next() override {
        if (at_end_) return runtime::Piece{};
        runtime::BufferRef buffer = buffers_.acquire();
        size_t length = already_read_.size();
        if (length > 0) {
            std::memcpy(buffer->writable().data(), already_read_.data(), length);
            already_read_.clear();
        } else {
            auto got = read_some(file_.fd(), buffer->writable());
            if (auto* error = std::get_if<IoError>(&got)) {
// Contract text (docs/errors.md): callers match on it to the letter.
                return ReadFailure{"An error occurred reading the file.", error->debug(),
                                   StopDetail::io(error->os_code(), {}, error->display())};
            }
            length = std::get<size_t>(got);
        }
        if (length == 0) {
            at_end_ = true;
            return runtime::Piece{};
        }
        bytes_read_ += length;
        const uint8_t* data = buffer->data();
        return runtime::Piece{std::move(buffer), {data, length}};
    }

    uint64_t bytes_read() const override { return bytes_read_; }

private:
    File file_;
    runtime::BufferPool buffers_;
    std::vector<uint8_t> already_read_;
    uint64_t bytes_read_ = 0;
    bool at_end_ = false;
};

// Contract text (docs/errors.md): callers match on it to the letter.
constexpr const char* kCompressedReadFailure = "An error occurred reading the compressed file.";

// What is wrong with a BGZF input, in plain words.
std::string bgzf_failure_text(const bgzf::BgzfError& error) {
    switch (error.kind()) {
    case bgzf::BgzfError::Kind::NotBGZF:
        return "not BGZF: a gzip member without BGZF's block size (compressed with gzip rather than bgzip?)";
    case bgzf::BgzfError::Kind::NotGzip: return "damaged BGZF input: a block does not start like a gzip member";
    case bgzf::BgzfError::Kind::IoError:
        if (error.io_error()->kind() == ErrorKind::UnexpectedEof) {
            return "damaged BGZF input: the file ends inside a block (cut short?)";
        }
        break;
    default: break;
    }
    return "damaged BGZF input: " + error.display();
}

class BgzfInput final : public Input {
public:
    BgzfInput(File file, std::span<const uint8_t> already_read, runtime::JobRunner* runner,
              const bgzf::ParallelReaderSettings& settings)
        : reader_(std::move(file), runner != nullptr ? *runner : runtime::WorkerPool::global(), settings,
                  already_read) {}

    InputResult next() override {
        auto next = reader_.next();
        if (auto* error = std::get_if<bgzf::BgzfError>(&next)) {
            // A failed read of the file is the system's; anything else is damaged input.
            const IoError* io = error->io_error();
            StopDetail detail = io != nullptr && io->os_code() != 0
                                    ? StopDetail::io(io->os_code(), {}, io->display())
                                    : StopDetail::input({}, 0, bgzf_failure_text(*error));
            return ReadFailure{kCompressedReadFailure, error->debug(), std::move(detail)};
        }
        return std::get<runtime::Piece>(std::move(next));
    }

    uint64_t bytes_read() const override { return reader_.bytes_read(); }
    bool stream_ended() const override { return reader_.stream_ended(); }

private:
    bgzf::ParallelBgzfReader reader_;
};

}  // namespace

std::unique_ptr<Input> open_input(File file, bool compressed, size_t read_size,
                                  std::span<const uint8_t> already_read, runtime::JobRunner* runner,
                                  const bgzf::ParallelReaderSettings& bgzf_settings) {
    if (compressed) return std::make_unique<BgzfInput>(std::move(file), already_read, runner, bgzf_settings);
    return std::make_unique<PlainInput>(std::move(file), read_size, already_read);
}

IoResult<Sniffed> sniff_format(const File& file) {
    Sniffed sniffed;
    uint8_t magic[2];
    size_t got = 0;
    while (got < sizeof magic) {
        auto read = read_some(file.fd(), std::span(magic).subspan(got));
        if (auto* error = std::get_if<IoError>(&read)) return *error;
        if (std::get<size_t>(read) == 0) break;
        got += std::get<size_t>(read);
    }
    sniffed.bytes.assign(magic, magic + got);
    sniffed.compressed = got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    return sniffed;
}

}  // namespace kestrel
