#include "bgzf/reader.hpp"

#include <unistd.h>

#include <algorithm>

#include "bgzf/block_header_reader.hpp"
#include "bgzf/header.hpp"
#include "bgzf/deflate.hpp"
#include "base/stop.hpp"

namespace kestrel::bgzf {
namespace {

// A payload is at most a 16-bit block size less a header; the extra field that is
// parsed into the same buffer is at most 65535 bytes.
constexpr size_t kPayloadCapacity = 65536;

bool is_eof_marker_payload(std::span<const uint8_t> payload) {
    constexpr size_t header = kEofMarker.size() - 10;
    return payload.size() == kEofMarker.size() - header &&
           std::equal(payload.begin(), payload.end(), kEofMarker.begin() + header);
}

}  // namespace

BgzfReader::BgzfReader(File file)
    : file_(std::move(file)),
      seekable_(::lseek(file_.fd(), 0, SEEK_CUR) >= 0),
      payload_(std::make_unique_for_overwrite<uint8_t[]>(kPayloadCapacity)),
      data_(std::make_unique_for_overwrite<uint8_t[]>(kMaxBlockOutput)) {}

std::variant<BgzfReader, BgzfError> BgzfReader::open(File file) {
    BgzfReader reader(std::move(file));
    auto block = reader.read_next_block(/*first=*/true);
    if (auto* error = std::get_if<BgzfError>(&block)) return *error;
    if (std::get<Block>(block) == Block::EndOfInput) reader.at_end_ = true;
    return reader;
}

std::variant<std::span<const uint8_t>, BgzfError> BgzfReader::fill_buffer() {
    while (position_ == data_length_ && !at_end_) {
        auto block = read_next_block(/*first=*/false);
        if (auto* error = std::get_if<BgzfError>(&block)) return *error;
        if (std::get<Block>(block) == Block::EndOfInput) at_end_ = true;
    }
    return std::span<const uint8_t>(data_.get() + position_, data_length_ - position_);
}

void BgzfReader::consume(size_t n) {
    if (n > data_length_ - position_) stop("internal error: entered unreachable code");
    position_ += n;
}

std::variant<BgzfReader::Block, BgzfError> BgzfReader::read_next_block(bool first) {
    data_length_ = 0;
    position_ = 0;
    auto header_result = read_block_header(file_.fd(), seekable_, {payload_.get(), kPayloadCapacity},
                                           std::span<const uint8_t>(next_magic_.data(), next_magic_length_));
    next_magic_length_ = 0;
    if (auto* error = std::get_if<BgzfError>(&header_result)) return *error;
    if (std::holds_alternative<CleanEnd>(header_result)) {
        // Many writers leave out the marker; only a file without any block is damaged.
        if (first) return BgzfError::io(unexpected_eof());
        return Block::EndOfInput;
    }
    const auto& header = std::get<BlockHeader>(header_result);
    // Checked explicitly so that a 64-bit build stops like the 32-bit one, where the
    // difference does not fit the size type.
    if (header.header_length > header.block_size) stop_unwrap(TryFromIntError{});
    const std::span<uint8_t> payload(payload_.get(), header.block_size - header.header_length);
    if (auto error = read_exact(file_.fd(), payload)) return BgzfError::io(*error);
    if (header.is_eof_marker_header && is_eof_marker_payload(payload)) {
        return another_member_follows() ? Block::Data : Block::EndOfInput;
    }

    auto inflated = inflate_block(decompressor_, payload, {data_.get(), kMaxBlockOutput});
    if (auto* error = std::get_if<BgzfError>(&inflated)) return *error;
    data_length_ = std::get<size_t>(inflated);
    return Block::Data;
}

// BGZF files are concatenated by design (an empty one is just the marker), so a
// marker ends the input only when no gzip member follows; other bytes after it are
// padding and are ignored. The two bytes read here start the next header.
bool BgzfReader::another_member_follows() {
    size_t got = 0;
    while (got < next_magic_.size()) {
        auto read = read_some(file_.fd(), std::span(next_magic_).subspan(got));
        if (std::holds_alternative<IoError>(read) || std::get<size_t>(read) == 0) return false;
        got += std::get<size_t>(read);
    }
    if (next_magic_[0] != 0x1f || next_magic_[1] != 0x8b) return false;
    next_magic_length_ = got;
    return true;
}

}  // namespace kestrel::bgzf
