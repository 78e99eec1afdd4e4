#include "split/inputs.hpp"

#include "base/stop.hpp"

namespace kestrel {

PlainInput::PlainInput(File file)
    : file_(std::move(file)), buffer_(std::make_unique_for_overwrite<uint8_t[]>(kBufferSize)) {}

std::span<const uint8_t> PlainInput::fill_buffer() {
    if (position_ >= filled_) {
        auto got = read_some(file_.fd(), {buffer_.get(), kBufferSize});
        if (auto* error = std::get_if<IoError>(&got)) stop_with("An error occurred reading the file.", *error);
        filled_ = std::get<size_t>(got);
        position_ = 0;
    }
    return {buffer_.get() + position_, filled_ - position_};
}

namespace {

constexpr const char* kCompressedReadFailure = "An error occurred reading the compressed file.";

bgzf::BgzfReader open_or_stop(File file) {
    auto opened = bgzf::BgzfReader::open(std::move(file));
    if (auto* error = std::get_if<bgzf::BgzfError>(&opened)) stop_with(kCompressedReadFailure, *error);
    return std::move(std::get<bgzf::BgzfReader>(opened));
}

}  // namespace

BgzfInput::BgzfInput(File file) : reader_(open_or_stop(std::move(file))) {}

std::span<const uint8_t> BgzfInput::fill_buffer() {
    auto filled = reader_.fill_buffer();
    if (auto* error = std::get_if<bgzf::BgzfError>(&filled)) stop_with(kCompressedReadFailure, *error);
    return std::get<std::span<const uint8_t>>(filled);
}

}  // namespace kestrel
