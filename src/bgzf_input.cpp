#include "bgzf_input.hpp"

#include "interface/stop.hpp"

namespace kestrel {
namespace {

constexpr const char* kReadFailure = "An error occurred reading the compressed file.";

bgzf::BgzfReader open_or_stop(File file) {
    auto opened = bgzf::BgzfReader::open(std::move(file));
    if (auto* error = std::get_if<bgzf::BgzfError>(&opened)) stop_with(kReadFailure, *error);
    return std::move(std::get<bgzf::BgzfReader>(opened));
}

}  // namespace

BgzfInput::BgzfInput(File file) : reader_(open_or_stop(std::move(file))) {}

std::span<const uint8_t> BgzfInput::fill_buffer() {
    auto filled = reader_.fill_buffer();
    if (auto* error = std::get_if<bgzf::BgzfError>(&filled)) stop_with(kReadFailure, *error);
    return std::get<std::span<const uint8_t>>(filled);
}

}  // namespace kestrel
