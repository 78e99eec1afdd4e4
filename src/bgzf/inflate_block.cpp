#include "bgzf/inflate_block.hpp"

#include <cstring>
#include <string>

#include "interface/stop.hpp"

namespace kestrel::bgzf {
namespace {

uint32_t little_endian_32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The trailer is addressed from the end of the payload; a shorter payload would
// index before its start.
void require_trailer_bytes(size_t payload_length, size_t needed) {
    if (payload_length >= needed) return;
    stop("index out of bounds: the len is " + std::to_string(payload_length) + " but the index is " +
         std::to_string(static_cast<uint32_t>(payload_length - needed)));
}

}  // namespace

std::variant<size_t, BgzfError> inflate_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                                              std::span<uint8_t> output) {
    const size_t length = payload.size();
    require_trailer_bytes(length, 4);
    const uint32_t isize = little_endian_32(&payload[length - 4]);
    // A damaged ISIZE must not size the output region.
    if (isize > kMaxBlockOutput || isize > output.size()) {
        return BgzfError::other("uncompressed block size exceeds 65536 bytes");
    }
    const std::span<uint8_t> region = output.first(isize);
    auto decoded = decompress_raw(decompressor, payload, region);
    if (auto* error = std::get_if<BlockDecompressError>(&decoded)) return BgzfError::decompression(*error);
    const size_t produced = std::get<size_t>(decoded);
    // The region is reused from block to block; what the stream left unfilled reads as zero.
    std::memset(region.data() + produced, 0, isize - produced);

    require_trailer_bytes(length, 8);
    if (crc32(region) != little_endian_32(&payload[length - 8])) {
        return BgzfError::other("unmatched CRC32 of decompressed data");
    }
    return static_cast<size_t>(isize);
}

}  // namespace kestrel::bgzf
