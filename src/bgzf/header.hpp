// The gzip member header of a BGZF block, the end-of-file marker and the limits.
//
// Contract: serialization returns an IoError when the header is inconsistent or
// does not fit; plain values, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "bgzf/error.hpp"
#include "base/io_error.hpp"

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
constexpr uint8_t kFlagText = 1, kFlagHeaderCrc = 2, kFlagExtra = 4, kFlagName = 8, kFlagComment = 16;

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
};

struct ExtraSubfield {
    uint8_t si1 = 0;
    uint8_t si2 = 0;
    std::vector<uint8_t> data;
};

struct BgzfHeader {
    uint8_t compression_method = 8;
    uint8_t flags = 0;
    uint32_t modification_time = 0;
    uint8_t extra_flags = 0;
    uint8_t operating_system = 255;
    std::optional<uint16_t> extra_field_length;
    std::vector<ExtraSubfield> extra_subfields;
    std::optional<std::vector<uint8_t>> file_name;
    std::optional<std::vector<uint8_t>> comment;
    std::optional<uint16_t> header_crc;

    // CM 8, FLG FEXTRA, MTIME 0, XFL 2, OS 255 and one "BC" subfield for BSIZE.
    static BgzfHeader for_data_block();

    // BSIZE + 1 (16-bit arithmetic) of the first "BC" subfield with two data bytes.
    std::variant<uint16_t, BgzfError> block_size() const;
    // Stores size - 1 as BSIZE; NotBGZF without a "BC" subfield.
    std::optional<BgzfError> set_block_size(uint16_t size);

    // Bytes the header takes when written (the extra field's 2 + XLEN in 16 bits).
    uint64_t encoded_length() const;

    // Writes the header at the start of `destination`; writes what fits and fails with
    // "failed to write whole buffer" when the destination is shorter.
    std::optional<IoError> serialize(std::span<uint8_t> destination) const;
};

}  // namespace kestrel::bgzf
