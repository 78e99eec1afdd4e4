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
    explicit BgzfInput(File file) : reader_(std::move(file)) {}

    InputResult next() override {
        auto next = reader_.next();
        if (auto* error = std::get_if<bgzf::BgzfError>(&next)) return ReadFailure{kCompressedReadFailure, error->debug()};
        return std::get<runtime::Piece>(std::move(next));
    }

private:
    bgzf::ParallelBgzfReader reader_;
};

}  // namespace

std::unique_ptr<Input> open_input(File file, bool compressed, size_t read_size) {
    if (compressed) return std::make_unique<BgzfInput>(std::move(file));
    return std::make_unique<PlainInput>(std::move(file), read_size);
}

}  // namespace kestrel
