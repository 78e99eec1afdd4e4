#include "bgzf/deflate.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/bytes.hpp"
#include "bgzf/header.hpp"
#include "base/stop.hpp"

namespace kestrel::bgzf {

namespace {

// libdeflate's range; it refuses any other level as it refuses an allocation that fails.
constexpr uint32_t kMaxLevel = 12;

libdeflate_compressor* compressor_at(uint32_t level) {
    if (level > kMaxLevel) {
        std::string text = "compression level " + std::to_string(level) + " is out of range: libdeflate accepts 0 to " +
                           std::to_string(kMaxLevel);
        stop(text, StopDetail::usage(text));
    }
    libdeflate_compressor* state = libdeflate_alloc_compressor(static_cast<int>(level));
    if (state == nullptr) throw std::bad_alloc();
    return state;
}

}  // namespace

Compressor::Compressor(uint32_t level) : level_(level), state_(compressor_at(level)) {}

Compressor::Compressor(Compressor&& other) noexcept
    : level_(other.level_), state_(std::exchange(other.state_, nullptr)) {}

Compressor& Compressor::operator=(Compressor&& other) noexcept {
    if (this != &other) {
        if (state_ != nullptr) libdeflate_free_compressor(state_);
        level_ = other.level_;
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

Compressor::~Compressor() {
    if (state_ != nullptr) libdeflate_free_compressor(state_);
}

Decompressor::Decompressor() : state_(libdeflate_alloc_decompressor()) {
    if (state_ == nullptr) throw std::bad_alloc();
}

Decompressor::Decompressor(Decompressor&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}

Decompressor& Decompressor::operator=(Decompressor&& other) noexcept {
    if (this != &other) {
        if (state_ != nullptr) libdeflate_free_decompressor(state_);
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

Decompressor::~Decompressor() {
    if (state_ != nullptr) libdeflate_free_decompressor(state_);
}

uint32_t crc32(std::span<const uint8_t> data) { return libdeflate_crc32(0, data.data(), data.size()); }

std::variant<size_t, BlockCompressError> compress_raw(Compressor& compressor, std::span<const uint8_t> data,
                                                      std::span<uint8_t> output) {
    const size_t produced =
        libdeflate_deflate_compress(compressor.get(), data.data(), data.size(), output.data(), output.size());
    if (produced == 0) return BlockCompressError::insufficient_space();
    return produced;
}

namespace {

// libdeflate reports a truncated stream and corrupt data alike; zlib tells them
// apart. Only failed blocks come here, so the fast path stays libdeflate's.
std::variant<size_t, BlockDecompressError> classify_with_zlib(std::span<const uint8_t> payload,
                                                              std::span<uint8_t> output) {
    z_stream stream{};
// Contract text (docs/errors.md): callers match on it to the letter.
    if (inflateInit2(&stream, -15) != Z_OK) return BlockDecompressError::other("Unknown Error");
    size_t produced = 0;
    int status = Z_OK;
    // zlib counts in 32 bits; payloads and regions of a block are far smaller.
    stream.next_in = const_cast<Bytef*>(payload.data());
    stream.avail_in = static_cast<uInt>(payload.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    status = inflate(&stream, Z_FINISH);
    produced = stream.total_out;
    inflateEnd(&stream);
    if (status == Z_STREAM_END) return produced;
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR) {
        return BlockDecompressError::other("Unknown Error");
    }
    return BlockDecompressError::insufficient_space();
}

enum class RawResult : uint8_t { Done, InsufficientSpace, Refused };

// libdeflate alone: no allocation, so workers may call it.
RawResult inflate_raw(Decompressor& decompressor, std::span<const uint8_t> payload, std::span<uint8_t> output,
                      size_t& produced) noexcept {
    size_t consumed = 0;
    produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress_ex(
        decompressor.get(), payload.data(), payload.size(), output.data(), output.size(), &consumed, &produced);
    switch (result) {
    case LIBDEFLATE_SUCCESS: return RawResult::Done;
    case LIBDEFLATE_INSUFFICIENT_SPACE: return RawResult::InsufficientSpace;
    default: return RawResult::Refused;
    }
}

}  // namespace

std::variant<size_t, BlockDecompressError> decompress_raw(Decompressor& decompressor,
                                                          std::span<const uint8_t> payload,
                                                          std::span<uint8_t> output) {
    size_t produced = 0;
    switch (inflate_raw(decompressor, payload, output, produced)) {
    case RawResult::Done: return produced;
    case RawResult::InsufficientSpace: return BlockDecompressError::insufficient_space();
    case RawResult::Refused: break;
    }
    return classify_with_zlib(payload, output);
}

std::variant<size_t, BlockCompressError> encode_block(std::vector<uint8_t>& out, std::span<const uint8_t> data,
                                                      Compressor& compressor) {
    const size_t start = out.size();
    const size_t len = data.size();
    out.resize(start + len + kBlockHeaderSize + kMaxDeflateOverhead + kBlockFooterSize);
    auto compressed = compress_raw(compressor, data,
                                   std::span<uint8_t>(out.data() + start + kBlockHeaderSize, len + kMaxDeflateOverhead));
    if (auto* error = std::get_if<BlockCompressError>(&compressed)) {
        out.resize(start);
        return *error;
    }
    out.resize(start + kBlockHeaderSize + std::get<size_t>(compressed));
    const uint32_t crc = crc32(data);
    const uint32_t isize = static_cast<uint32_t>(len);
    append_le(out, crc);
    append_le(out, isize);

    const size_t size = out.size() - start;
    if (size > kMaxBlockSize) stop_unwrap(TryFromIntError{});
    // The header of every data block: CM 8, FEXTRA, MTIME 0, XFL 2, OS 255, and the one
    // "BC" subfield holding BSIZE, the block's size less one.
    const uint8_t header[kBlockHeaderSize - 2] = {0x1f, 0x8b, 8, kFlagExtra, 0, 0, 0, 0, 2, 255, 6, 0,
                                                  kBlockSizeId1, kBlockSizeId2, 2, 0};
    std::memcpy(out.data() + start, header, sizeof header);
    store_le(out.data() + start + sizeof header, static_cast<uint16_t>(size - 1));
    return size;
}

namespace {


// The trailer is addressed from the end of the payload; a shorter payload would
// index before its start.
void require_trailer_bytes(size_t payload_length, size_t needed) {
    if (payload_length >= needed) return;
// Contract text (docs/errors.md): callers match on it to the letter.
    stop("index out of bounds: the len is " + std::to_string(payload_length) + " but the index is " +
         std::to_string(static_cast<uint32_t>(payload_length - needed)));
}

// What follows a stream that decoded into `region`: zeros where it left the region
// unfilled (regions are reused from block to block), then the CRC from the trailer.
BlockOutcome check_decoded(std::span<const uint8_t> payload, std::span<uint8_t> region, size_t produced) noexcept {
    std::memset(region.data() + produced, 0, region.size() - produced);
    if (payload.size() < 8) return BlockOutcome::TrailerCutBeforeCrc;
    if (crc32(region) != load_le32(&payload[payload.size() - 8])) return BlockOutcome::CrcMismatch;
    return BlockOutcome::Ok;
}

}  // namespace

BlockOutcome decode_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                          std::span<uint8_t> output) noexcept {
    if (payload.size() < 4) return BlockOutcome::TrailerCutBeforeIsize;
    const uint32_t isize = load_le32(&payload[payload.size() - 4]);
    // A damaged ISIZE must not size the output region.
    if (isize > kMaxBlockOutput || isize > output.size()) return BlockOutcome::IsizeTooLarge;
    const std::span<uint8_t> region = output.first(isize);
    size_t produced = 0;
    switch (inflate_raw(decompressor, payload, region, produced)) {
    case RawResult::Done: return check_decoded(payload, region, produced);
    case RawResult::InsufficientSpace: return BlockOutcome::InsufficientSpace;
    case RawResult::Refused: return BlockOutcome::Refused;
    }
    return BlockOutcome::Refused;
}

std::variant<size_t, BgzfError> finish_block(BlockOutcome outcome, std::span<const uint8_t> payload,
                                             std::span<uint8_t> output) {
    const size_t length = payload.size();
    if (outcome == BlockOutcome::Refused) {
        const std::span<uint8_t> region = output.first(load_le32(&payload[length - 4]));
        auto decoded = classify_with_zlib(payload, region);
        if (auto* error = std::get_if<BlockDecompressError>(&decoded)) return BgzfError::decompression(*error);
        outcome = check_decoded(payload, region, std::get<size_t>(decoded));
    }
    switch (outcome) {
    case BlockOutcome::Ok: return static_cast<size_t>(load_le32(&payload[length - 4]));
    case BlockOutcome::TrailerCutBeforeIsize: require_trailer_bytes(length, 4); break;
    case BlockOutcome::IsizeTooLarge: return BgzfError::other("uncompressed block size exceeds 65536 bytes");
    case BlockOutcome::InsufficientSpace:
        return BgzfError::decompression(BlockDecompressError::insufficient_space());
    case BlockOutcome::Refused: break;
    case BlockOutcome::TrailerCutBeforeCrc: require_trailer_bytes(length, 8); break;
// Contract text (docs/errors.md): callers match on it to the letter.
    case BlockOutcome::CrcMismatch: return BgzfError::other("unmatched CRC32 of decompressed data");
    }
    stop("internal error: entered unreachable code");
}

std::variant<size_t, BgzfError> inflate_block(Decompressor& decompressor, std::span<const uint8_t> payload,
                                              std::span<uint8_t> output) {
    return finish_block(decode_block(decompressor, payload, output), payload, output);
}

std::vector<uint8_t> encode_stream(std::span<const uint8_t> data, Compressor& compressor) {
    std::vector<uint8_t> out;
    for (size_t from = 0; from < data.size(); from += kMaxBlockData) {
        const auto piece = data.subspan(from, std::min(kMaxBlockData, data.size() - from));
        const auto written = encode_block(out, piece, compressor);
        if (const auto* error = std::get_if<BlockCompressError>(&written)) stop_with("Failed to write block", *error);
    }
    out.insert(out.end(), kEofMarker.begin(), kEofMarker.end());
    return out;
}

}  // namespace kestrel::bgzf
