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
    PlainInput(File file, size_t read_size) : file_(std::move(file)), buffers_(read_size, kBuffersInFlight) {}

    InputResult next() override {
        if (at_end_) return runtime::Piece{};
        runtime::BufferRef buffer = buffers_.acquire();
        auto got = read_some(file_.fd(), buffer->writable());
        if (auto* error = std::get_if<IoError>(&got)) return ReadFailure{"An error occurred reading the file.", error->debug()};
        const size_t length = std::get<size_t>(got);
        if (length == 0) {
            at_end_ = true;
            return runtime::Piece{};
        }
        const uint8_t* data = buffer->data();
        return runtime::Piece{std::move(buffer), {data, length}};
    }

private:
    File file_;
    runtime::BufferPool buffers_;
    bool at_end_ = false;
};

constexpr const char* kCompressedReadFailure = "An error occurred reading the compressed file.";

class BgzfInput final : public Input {
public:
    BgzfInput(File file, size_t read_size) : file_(std::move(file)), buffers_(read_size, kBuffersInFlight) {}

    InputResult next() override {
        if (!reader_) {
            auto opened = bgzf::BgzfReader::open(std::move(file_));
            if (auto* error = std::get_if<bgzf::BgzfError>(&opened)) return ReadFailure{kCompressedReadFailure, error->debug()};
            reader_.emplace(std::move(std::get<bgzf::BgzfReader>(opened)));
        }
        auto filled = reader_->fill_buffer();
        if (auto* error = std::get_if<bgzf::BgzfError>(&filled)) return ReadFailure{kCompressedReadFailure, error->debug()};
        const auto bytes = std::get<std::span<const uint8_t>>(filled);
        if (bytes.empty()) return runtime::Piece{};
        // One block per piece: a damaged block that stops the call does so only once
        // the blocks before it were handed on.
        runtime::BufferRef buffer = buffers_.acquire();
        const size_t length = std::min(bytes.size(), buffer->capacity());
        std::memcpy(buffer->data(), bytes.data(), length);
        reader_->consume(length);
        const uint8_t* data = buffer->data();
        return runtime::Piece{std::move(buffer), {data, length}};
    }

private:
    File file_;
    std::optional<bgzf::BgzfReader> reader_;
    runtime::BufferPool buffers_;
};

}  // namespace

std::unique_ptr<Input> open_input(File file, bool compressed, size_t read_size) {
    if (compressed) return std::make_unique<BgzfInput>(std::move(file), read_size);
    return std::make_unique<PlainInput>(std::move(file), read_size);
}

}  // namespace kestrel
