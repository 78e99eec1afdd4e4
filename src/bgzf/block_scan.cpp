#include "bgzf/block_scan.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/bytes.hpp"
#include "bgzf/block_header_reader.hpp"
#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "bgzf/read_ahead.hpp"

namespace kestrel::bgzf {
namespace {

constexpr size_t kScanWindow = 128 * 1024;
constexpr uint64_t kSmallestBlock = kEofMarker.size();
// Enough for any header this system reads without a file name or comment beyond it.
constexpr size_t kHeaderWindow = 1024;

// The header at the start of `bytes`, parsed as the reader parses it; nullopt when it
// is not a BGZF block header that fits in them.
std::optional<BlockHeader> header_in(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4 || !starts_like_gzip(bytes) || bytes[2] != 8 || (bytes[3] & kFlagExtra) == 0) {
        return std::nullopt;
    }
    const auto head = bytes.first(std::min(bytes.size(), kHeaderWindow));
    ReadAhead window(memory_source({head.begin(), head.end()}), head.size());
    auto parsed = read_block_header(window);
    if (auto* header = std::get_if<BlockHeader>(&parsed)) return *header;
    return std::nullopt;
}

}  // namespace

// The size of the block at `offset` when it passes every check of its own (header and
// data), else 0.
IoResult<uint64_t> valid_block_at(const ByteSource& source, uint64_t offset, uint64_t size, std::vector<uint8_t>& bytes,
                                  std::vector<uint8_t>& output, Decompressor& decompressor) {
    if (offset >= size || size - offset < kSmallestBlock) return uint64_t{0};
    auto got = read_fully_at(source, offset, bytes);
    if (auto* error = std::get_if<IoError>(&got)) return *error;
    const std::span<const uint8_t> here(bytes.data(), std::get<size_t>(got));
    const auto header = header_in(here);
    if (!header || header->block_size < kSmallestBlock || header->header_length + 8 > header->block_size ||
        header->block_size > size - offset || header->block_size > here.size()) {
        return uint64_t{0};
    }
    // Its data inflates to exactly ISIZE bytes with the CRC it names.
    const auto payload = here.subspan(header->header_length, header->block_size - header->header_length);
    if (decode_block(decompressor, payload, output) != BlockOutcome::Ok) return uint64_t{0};
    return uint64_t{header->block_size};
}

IoResult<bool> block_starts_at(const ByteSource& source, uint64_t offset, uint64_t size) {
    std::vector<uint8_t> bytes(kMaxBlockSize + 1 + kHeaderWindow);
    std::vector<uint8_t> output(kMaxBlockOutput);
    Decompressor decompressor;
    // The chain: blocks that each check out follow it to the end of the file or past a
    // whole block's length, so that it crosses the end of any block it might lie in
    // (a look-alike inside stored data cannot).
    for (uint64_t at = offset; at < size && at <= offset + kMaxBlockSize + 1;) {
        auto block = valid_block_at(source, at, size, bytes, output, decompressor);
        if (auto* error = std::get_if<IoError>(&block)) return *error;
        if (std::get<uint64_t>(block) == 0) return false;
        at += std::get<uint64_t>(block);
    }
    return offset < size;
}

IoResult<uint64_t> next_block_start(const ByteSource& source, uint64_t from, uint64_t size) {
    std::vector<uint8_t> window(kScanWindow);
    for (uint64_t at = from; at < size;) {
        auto got = read_fully_at(source, at, window);
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        const size_t length = std::get<size_t>(got);
        if (length < 4) break;
        // Candidates start with the magic, CM 8 and FEXTRA; the window's last three
        // bytes are looked at again from the next window.
        for (size_t i = 0; i + 4 <= length; ++i) {
            const auto* found = static_cast<const uint8_t*>(std::memchr(window.data() + i, 0x1f, length - 3 - i));
            if (found == nullptr) break;
            i = static_cast<size_t>(found - window.data());
            if (found[1] != 0x8b || found[2] != 8 || (found[3] & kFlagExtra) == 0) continue;
            auto starts = block_starts_at(source, at + i, size);
            if (auto* error = std::get_if<IoError>(&starts)) return *error;
            if (std::get<bool>(starts)) return at + i;
        }
        at += length - 3;
        if (length < window.size()) break;
    }
    return size;
}

std::optional<GziIndex> GziIndex::open(std::unique_ptr<ByteSource> index) {
    uint8_t count[8];
    auto got = read_fully_at(*index, 0, count);
    if (!std::holds_alternative<size_t>(got) || std::get<size_t>(got) != sizeof count) return std::nullopt;
    GziIndex gzi;
    gzi.entries_ = load_le64(count);
    // A count too large for any file (8 + 16 * count would wrap) is no index either.
    const std::optional<uint64_t> size = index->size();
    if (!size || gzi.entries_ > (*size - 8) / 16 || *size != 8 + 16 * gzi.entries_) return std::nullopt;
    gzi.source_ = std::move(index);
    return gzi;
}

IoResult<std::optional<uint64_t>> GziIndex::block_start_from(uint64_t from) const {
    if (from == 0) return std::optional<uint64_t>(0);
    const auto entry = [&](uint64_t i) -> IoResult<uint64_t> {
        uint8_t bytes[8];
        auto got = read_fully_at(*source_, 8 + 16 * i, bytes);
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        if (std::get<size_t>(got) != sizeof bytes) return unexpected_eof();
        return load_le64(bytes);
    };
    uint64_t low = 0, high = entries_;  // the first entry at or after `from` is in [low, high]
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        auto value = entry(middle);
        if (auto* error = std::get_if<IoError>(&value)) return *error;
        if (std::get<uint64_t>(value) < from) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == entries_) return std::optional<uint64_t>();
    auto value = entry(low);
    if (auto* error = std::get_if<IoError>(&value)) return *error;
    return std::optional<uint64_t>(std::get<uint64_t>(value));
}

}  // namespace kestrel::bgzf
