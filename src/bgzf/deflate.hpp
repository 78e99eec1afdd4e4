// The block codec: one-shot raw DEFLATE per block (libdeflate), CRC-32, the block
// encoder and the decoder that checks a block's payload.
//
// Contract: failures of the data are returned as error values; broken invariants
// (a block over 65535 bytes, a payload too short for its trailer) stop the call,
// except in decode_block, which only reports them and is safe on pool workers.
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
    // Levels 0 (stored) to 12; any other is a usage stop (StopDetail::usage). Throws
    // std::bad_alloc when libdeflate's state cannot be allocated.
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

// A whole BGZF stream on this thread: `data` cut into blocks every 65280 bytes, then
// the end-of-file marker. A block that cannot be encoded stops the call.
std::vector<uint8_t> encode_stream(std::span<const uint8_t> data, Compressor& compressor);

// The most uncompressed data a block may hold.
constexpr size_t kMaxBlockOutput = 65536;

// How a block's payload decoded, named by the first check that failed, in the order
// inflate_block makes them.
enum class BlockOutcome : uint8_t {
    Ok,
    TrailerCutBeforeIsize,  // payload shorter than 4 bytes
    IsizeTooLarge,          // over 65536, or over the output given
    InsufficientSpace,      // the stream does not finish within ISIZE bytes
    Refused,                // libdeflate refused the stream; finish_block asks zlib why
    TrailerCutBeforeCrc,    // payload shorter than 8 bytes
    CrcMismatch,
};

// Decodes `payload` with libdeflate into the first ISIZE bytes of `output` (zeroing
// what the stream leaves unfilled) and checks the trailer. Never allocates, throws or
// stops: safe on pool workers.
BlockOutcome decode_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                          std::span<uint8_t> output) noexcept;

// The result of a decoded block as the reader reports it: ISIZE, or the error. A
// trailer cut short stops the call. For Refused, zlib decodes `payload` again into
// `output` (it allocates: calling thread only) to tell a truncated stream from corrupt
// data, and a stream zlib does accept goes on through the remaining checks.
std::variant<size_t, BgzfError> finish_block(BlockOutcome outcome, std::span<const uint8_t> payload,
                                             std::span<uint8_t> output);

// decode_block, then finish_block: a block decoded on the calling thread. `output` is
// kMaxBlockOutput bytes long.
std::variant<size_t, BgzfError> inflate_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                                              std::span<uint8_t> output);

}  // namespace kestrel::bgzf
