// The block codec: one-shot raw DEFLATE per block (libdeflate), CRC-32, the block
// encoder and the decoder that checks a block's payload.
//
// Contract: failures of the data are returned as error values; broken invariants
// (a block over 65535 bytes, a payload too short for its trailer) stop the call.
// Compressor and Decompressor own their libdeflate state and may be moved between
// threads but not shared; the free functions are thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "bgzf/error.hpp"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace kestrel::bgzf {

// Raw DEFLATE compressor at a fixed level; every call starts from a fresh state.
class Compressor {
public:
    explicit Compressor(uint32_t level);
    Compressor(Compressor&& other) noexcept;
    Compressor& operator=(Compressor&& other) noexcept;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor();

    uint32_t level() const { return level_; }
    libdeflate_compressor* get() const { return state_; }

private:
    uint32_t level_;
    libdeflate_compressor* state_;
};

class Decompressor {
public:
    Decompressor();
    Decompressor(Decompressor&& other) noexcept;
    Decompressor& operator=(Decompressor&& other) noexcept;
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    ~Decompressor();

    libdeflate_decompressor* get() const { return state_; }

private:
    libdeflate_decompressor* state_;
};

uint32_t crc32(std::span<const uint8_t> data);

// Compresses all of `data` into `output`; InsufficientSpace when it does not fit.
std::variant<size_t, BlockCompressError> compress_raw(Compressor& compressor, std::span<const uint8_t> data,
                                                      std::span<uint8_t> output);

// Decodes the DEFLATE stream at the start of `payload` (bytes after its final block
// are ignored) into `output`; returns the bytes produced. InsufficientSpace when the
// stream does not finish within the output or the payload, Other("Unknown Error")
// for corrupt data.
std::variant<size_t, BlockDecompressError> decompress_raw(Decompressor& decompressor,
                                                          std::span<const uint8_t> payload,
                                                          std::span<uint8_t> output);

// Appends one BGZF block holding `data` (at most 65280 bytes) to `out`; returns the
// block's total size.
std::variant<size_t, BlockCompressError> encode_block(std::vector<uint8_t>& out, std::span<const uint8_t> data,
                                                      Compressor& compressor);

// The most uncompressed data a block may hold.
constexpr size_t kMaxBlockOutput = 65536;

// Decodes `payload` into the first ISIZE bytes of `output` (kMaxBlockOutput bytes
// long) and returns ISIZE. Bytes of that region the stream does not fill are zero.
// A payload too short for its trailer stops the call.
std::variant<size_t, BgzfError> inflate_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                                              std::span<uint8_t> output);

}  // namespace kestrel::bgzf
