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

// Bytes are read forward in steps of at least this many, each byte once per search:
// a search over an object in storage fetches little more than the blocks it checks.
constexpr size_t kReadStep = 16 * 1024;
// Bytes this far behind the search are let go.
constexpr uint64_t kKeptBehind = 256 * 1024;
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

// The bytes of a source of `size` bytes that a search looks at, kept from the first
// one it asked for (less what lies far behind it), read forward as it asks for more.
class ScanBytes {
public:
    ScanBytes(const ByteSource& source, uint64_t size) : source_(source), size_(size) {}

    // The bytes [offset, offset + length), fewer at the end of the source.
    IoResult<std::span<const uint8_t>> at(uint64_t offset, size_t length) {
        if (offset < first_ || offset > first_ + bytes_.size()) {
            bytes_.clear();
            first_ = offset;
        } else if (offset - first_ > 2 * kKeptBehind) {
            const uint64_t dropped = offset - first_ - kKeptBehind;
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(dropped));
            first_ += dropped;
        }
        const uint64_t kept_end = first_ + bytes_.size();
        const uint64_t wanted = std::min(size_, offset + length);
        if (wanted > kept_end) {
            const size_t more = static_cast<size_t>(std::min(size_ - kept_end, std::max<uint64_t>(wanted - kept_end, kReadStep)));
            const size_t had = bytes_.size();
            bytes_.resize(had + more);
            auto got = read_fully_at(source_, kept_end, std::span(bytes_).subspan(had));
            if (auto* error = std::get_if<IoError>(&got)) {
                bytes_.resize(had);
                return *error;
            }
            bytes_.resize(had + std::get<size_t>(got));
        }
        const size_t start = static_cast<size_t>(std::min<uint64_t>(offset - first_, bytes_.size()));
        return std::span<const uint8_t>(bytes_).subspan(start, std::min(length, bytes_.size() - start));
    }

private:
    const ByteSource& source_;
    uint64_t size_;
    uint64_t first_ = 0;
    std::vector<uint8_t> bytes_;
};

// The size of the block at `offset` when it passes every check of its own (header and
// data), else 0.
IoResult<uint64_t> valid_block_at(ScanBytes& bytes, uint64_t offset, uint64_t size, std::vector<uint8_t>& output,
                                  Decompressor& decompressor) {
    if (offset >= size || size - offset < kSmallestBlock) return uint64_t{0};
    auto head = bytes.at(offset, kHeaderWindow);
    if (auto* error = std::get_if<IoError>(&head)) return *error;
    const auto header = header_in(std::get<std::span<const uint8_t>>(head));
    if (!header || header->block_size < kSmallestBlock || header->header_length + 8 > header->block_size ||
        header->block_size > size - offset) {
        return uint64_t{0};
    }
    auto whole = bytes.at(offset, header->block_size);
    if (auto* error = std::get_if<IoError>(&whole)) return *error;
    const auto here = std::get<std::span<const uint8_t>>(whole);
    if (header->block_size > here.size()) return uint64_t{0};
    // Its data inflates to exactly ISIZE bytes with the CRC it names.
    const auto payload = here.subspan(header->header_length, header->block_size - header->header_length);
    if (decode_block(decompressor, payload, output) != BlockOutcome::Ok) return uint64_t{0};
    return uint64_t{header->block_size};
}

// The chain: blocks that each check out follow `offset` to the end of the file or past
// a whole block's length, so that it crosses the end of any block it might lie in (a
// look-alike inside stored data cannot).
IoResult<bool> chain_from(ScanBytes& bytes, uint64_t offset, uint64_t size) {
    std::vector<uint8_t> output(kMaxBlockOutput);
    Decompressor decompressor;
    for (uint64_t at = offset; at < size && at <= offset + kMaxBlockSize + 1;) {
        auto block = valid_block_at(bytes, at, size, output, decompressor);
        if (auto* error = std::get_if<IoError>(&block)) return *error;
        if (std::get<uint64_t>(block) == 0) return false;
        at += std::get<uint64_t>(block);
    }
    return offset < size;
}

}  // namespace

IoResult<bool> block_starts_at(const ByteSource& source, uint64_t offset, uint64_t size) {
    ScanBytes bytes(source, size);
    return chain_from(bytes, offset, size);
}

IoResult<uint64_t> next_block_start(const ByteSource& source, uint64_t from, uint64_t size) {
    ScanBytes bytes(source, size);
    for (uint64_t at = from; at < size;) {
        auto got = bytes.at(at, kReadStep);
        if (auto* error = std::get_if<IoError>(&got)) return *error;
        // A copy: checking a candidate reads on, which may move what `bytes` holds.
        const auto seen = std::get<std::span<const uint8_t>>(got);
        const std::vector<uint8_t> window(seen.begin(), seen.end());
        const size_t length = window.size();
        if (length < 4) break;
        // Candidates start with the magic, CM 8 and FEXTRA; the window's last three
        // bytes are looked at again from the next window.
        for (size_t i = 0; i + 4 <= length; ++i) {
            const auto* found = static_cast<const uint8_t*>(std::memchr(window.data() + i, 0x1f, length - 3 - i));
            if (found == nullptr) break;
            i = static_cast<size_t>(found - window.data());
            if (found[1] != 0x8b || found[2] != 8 || (found[3] & kFlagExtra) == 0) continue;
            auto starts = chain_from(bytes, at + i, size);
            if (auto* error = std::get_if<IoError>(&starts)) return *error;
            if (std::get<bool>(starts)) return at + i;
        }
        at += length - 3;
        if (length < kReadStep) break;
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
