#include "plain_reader.hpp"

#include "interface/stop.hpp"

namespace kestrel {

PlainReader::PlainReader(File file)
    : file_(std::move(file)), buffer_(std::make_unique_for_overwrite<uint8_t[]>(kBufferSize)) {}

std::span<const uint8_t> PlainReader::fill_buffer() {
    if (position_ >= filled_) {
        auto got = read_some(file_.fd(), {buffer_.get(), kBufferSize});
        if (auto* error = std::get_if<IoError>(&got)) {
            // Skipping a failed read would pass a damaged input off as complete.
            stop_with("An error occurred reading the file.", *error);
        }
        filled_ = std::get<size_t>(got);
        position_ = 0;
    }
    return {buffer_.get() + position_, filled_ - position_};
}

}  // namespace kestrel
