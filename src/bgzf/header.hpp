// What every part of the codec knows of the BGZF format: the block limits, the fields
// of a block's gzip header that matter, and the end-of-file marker.
//
// Contract: constants and pure functions, safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::bgzf {

constexpr size_t kBlockHeaderSize = 18;      // header of every block this system writes
constexpr size_t kBlockFooterSize = 8;       // CRC32 and ISIZE
constexpr size_t kMaxBlockData = 65280;      // uncompressed bytes per written block
constexpr size_t kMaxBlockSize = 65535;      // a block's total size must fit 16 bits
constexpr size_t kMaxDeflateOverhead = 208;  // DEFLATE output may exceed the data by this much

// The "BC" subfield that carries BSIZE: identifier 66, 67 and exactly two data bytes.
constexpr uint8_t kBlockSizeId1 = 66, kBlockSizeId2 = 67;
constexpr bool is_block_size_subfield(uint8_t si1, uint8_t si2, size_t data_length) {
    return si1 == kBlockSizeId1 && si2 == kBlockSizeId2 && data_length == 2;
}

// FLG bits.
constexpr uint8_t kFlagHeaderCrc = 2, kFlagExtra = 4, kFlagName = 8, kFlagComment = 16;

// Whether `bytes` start with the gzip magic: a gzip member, which BGZF blocks are.
constexpr bool starts_like_gzip(std::span<const uint8_t> bytes) {
    return bytes.size() >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
}

// The empty block that ends every stream.
inline constexpr std::array<uint8_t, 28> kEofMarker = {
    0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0x06, 0x00, 0x42, 0x43,
    0x02, 0x00, 0x1b, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// A block as written: the input it holds and its size in the file.
struct BlockSize {
    uint32_t uncompressed_length;
    uint32_t block_size;
    bool operator==(const BlockSize&) const = default;
};

}  // namespace kestrel::bgzf
