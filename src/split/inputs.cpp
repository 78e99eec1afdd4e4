#include "split/inputs.hpp"

#include <algorithm>
#include <cstring>

#include "base/stop.hpp"
#include "bgzf/header.hpp"

namespace kestrel {
namespace {

// Enough buffers that reading goes on while earlier pieces are still being written.
constexpr size_t kBuffersInFlight = 8;

class PlainInput final : public Input {
public:
    PlainInput(std::unique_ptr<ByteSource> source, size_t read_size)
        : source_(std::move(source)), buffers_(std::max<size_t>(read_size, 1), kBuffersInFlight) {}

    InputResult next() override {
        if (at_end_) return runtime::Piece{};
        runtime::BufferRef buffer = buffers_.acquire();
        auto got = source_->read(buffer->writable());
        if (auto* error = std::get_if<IoError>(&got)) {
// Contract text (docs/errors.md): callers match on it to the letter.
            return ReadFailure{"An error occurred reading the file.", error->debug(),
                               StopDetail::io(error->os_code(), {}, error->display()), *error};
        }
        const size_t length = std::get<size_t>(got);
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
    std::unique_ptr<ByteSource> source_;
    runtime::BufferPool buffers_;
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
    BgzfInput(std::unique_ptr<ByteSource> source, runtime::JobRunner* runner,
              const bgzf::ParallelReaderSettings& settings)
        : reader_(std::move(source), runner != nullptr ? *runner : runtime::WorkerPool::global(), settings) {}

    InputResult next() override {
        auto next = reader_.next();
        if (auto* error = std::get_if<bgzf::BgzfError>(&next)) {
            // A failed read of the file is the system's; anything else is damaged input.
            const IoError* io = error->io_error();
            StopDetail detail = io != nullptr && io->os_code() != 0
                                    ? StopDetail::io(io->os_code(), {}, io->display())
                                    : StopDetail::input({}, 0, bgzf_failure_text(*error));
            return ReadFailure{kCompressedReadFailure, error->debug(), std::move(detail),
                               IoError::custom(ErrorKind::Other, std::make_shared<bgzf::BgzfError>(*error))};
        }
        return std::get<runtime::Piece>(std::move(next));
    }

    uint64_t bytes_read() const override { return reader_.bytes_read(); }
    bool stream_ended() const override { return reader_.stream_ended(); }

private:
    bgzf::ParallelBgzfReader reader_;
};

}  // namespace

std::unique_ptr<Input> open_input(std::unique_ptr<ByteSource> source, bool compressed, size_t read_size,
                                  runtime::JobRunner* runner, const bgzf::ParallelReaderSettings& bgzf_settings) {
    if (compressed) return std::make_unique<BgzfInput>(std::move(source), runner, bgzf_settings);
    return std::make_unique<PlainInput>(std::move(source), read_size);
}

IoResult<bool> sniff_format(std::unique_ptr<ByteSource>& source) {
    uint8_t magic[2];
    size_t got = 0;
    if (source->seekable()) {
        auto read = read_fully_at(*source, 0, magic);
        if (auto* error = std::get_if<IoError>(&read)) return *error;
        got = std::get<size_t>(read);
    } else {
        while (got < sizeof magic) {
            auto read = source->read(std::span(magic).subspan(got));
            if (auto* error = std::get_if<IoError>(&read)) return *error;
            if (std::get<size_t>(read) == 0) break;
            got += std::get<size_t>(read);
        }
        source = with_prefix({magic, magic + got}, std::move(source));
    }
    return bgzf::starts_like_gzip({magic, got});
}

}  // namespace kestrel
