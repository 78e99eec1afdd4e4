// Decodes the payload of one BGZF block (DEFLATE data, CRC32, ISIZE) and checks it.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "bgzf/deflate.hpp"
#include "bgzf/error.hpp"

namespace kestrel::bgzf {

// The most uncompressed data a block may hold.
constexpr size_t kMaxBlockOutput = 65536;

// Decodes `payload` into the first ISIZE bytes of `output` (kMaxBlockOutput bytes
// long) and returns ISIZE. Bytes of that region the stream does not fill are zero.
// A payload too short for its trailer stops the call.
std::variant<size_t, BgzfError> inflate_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                                              std::span<uint8_t> output);

}  // namespace kestrel::bgzf
