#include "bgzf/block_header_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "base/bytes.hpp"
#include "bgzf/header.hpp"

namespace kestrel::bgzf {
namespace {

constexpr size_t kFixedSize = 10;
constexpr size_t kXlenSize = 2;
constexpr size_t kSubfieldHeadSize = 4;
constexpr size_t kMarkerExtraSize = 6;
constexpr uint8_t kFirstUnsupportedFlag = 32;  // FLG bits 5-7 are reserved


bool equals_marker_at(size_t offset, std::span<const uint8_t> bytes) {
    return offset + bytes.size() <= kEofMarker.size() &&
           std::equal(bytes.begin(), bytes.end(), kEofMarker.begin() + static_cast<ptrdiff_t>(offset));
}

// Exactly n bytes (n <= ReadAhead::kMaxWindow), or UnexpectedEof.
std::variant<std::span<const uint8_t>, BgzfError> take(ReadAhead& input, size_t n) {
    auto ahead = input.ensure(n);
    if (auto* error = std::get_if<IoError>(&ahead)) return BgzfError::io(*error);
    const auto bytes = std::get<std::span<const uint8_t>>(ahead);
    if (bytes.size() < n) return BgzfError::io(unexpected_eof());
    input.advance(n);
    return bytes.first(n);
}

template <size_t N>
std::optional<BgzfError> take_into(ReadAhead& input, std::array<uint8_t, N>& out) {
    auto taken = take(input, N);
    if (auto* error = std::get_if<BgzfError>(&taken)) return *error;
    std::memcpy(out.data(), std::get<std::span<const uint8_t>>(taken).data(), N);
    return std::nullopt;
}

// Passes over a zero-terminated field, or the rest of the input when no zero byte
// comes. Returns its length as the header counts it: the stored bytes, plus one when
// the field lacks its zero byte.
std::variant<uint64_t, BgzfError> pass_zero_terminated_field(ReadAhead& input) {
    uint64_t length = 0;
    for (;;) {
        auto ahead = input.ensure(1);
        if (auto* error = std::get_if<IoError>(&ahead)) return BgzfError::io(*error);
        const auto bytes = std::get<std::span<const uint8_t>>(ahead);
        if (bytes.empty()) return length + 1;
        const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0, bytes.size()));
        const size_t used = zero == nullptr ? bytes.size() : static_cast<size_t>(zero - bytes.data()) + 1;
        length += used;
        input.advance(used);
        if (zero != nullptr) return length;
    }
}

struct ExtraField {
    std::optional<uint16_t> block_size;
    bool is_marker_extra = false;
};

// Walks the subfields with a 16-bit count of the bytes left: a subfield longer than
// the count makes it wrap, and reading goes on, as the count says.
std::variant<ExtraField, BgzfError> read_extra_field(ReadAhead& input, uint16_t xlen) {
    ExtraField extra;
    uint16_t remaining = xlen;
    if (remaining > kSubfieldHeadSize) {
        auto ahead = input.ensure(xlen);
        if (auto* error = std::get_if<IoError>(&ahead)) return BgzfError::io(*error);
        const auto bytes = std::get<std::span<const uint8_t>>(ahead);
        extra.is_marker_extra = xlen == kMarkerExtraSize && bytes.size() >= kMarkerExtraSize &&
                                equals_marker_at(kFixedSize + kXlenSize, bytes.first(kMarkerExtraSize));
    }
    while (remaining > kSubfieldHeadSize) {
        std::array<uint8_t, kSubfieldHeadSize> head;
        if (auto error = take_into(input, head)) return *error;
        const uint16_t data_length = load_le16(&head[2]);
        if (!extra.block_size && is_block_size_subfield(head[0], head[1], data_length)) {
            std::array<uint8_t, 2> value;
            if (auto error = take_into(input, value)) return *error;
            extra.block_size = static_cast<uint16_t>(load_le16(value.data()) + 1);
        } else {
            auto skipped = take(input, data_length);
            if (auto* error = std::get_if<BgzfError>(&skipped)) return *error;
        }
        remaining = static_cast<uint16_t>(remaining - kSubfieldHeadSize - data_length);
    }
// Contract text (docs/errors.md): callers match on it to the letter.
    if (remaining != 0) return BgzfError::other("Invalid extra field");
    return extra;
}

}  // namespace

HeaderResult read_block_header(ReadAhead& input) {
    // Every valid header has the extra field, so its length is read with the fixed part.
    auto ahead = input.ensure(kFixedSize + kXlenSize);
    if (auto* error = std::get_if<IoError>(&ahead)) return BgzfError::io(*error);
    if (std::get<std::span<const uint8_t>>(ahead).empty()) return CleanEnd{};

    std::array<uint8_t, kFixedSize> fixed;
    if (auto error = take_into(input, fixed)) return *error;
    if (!starts_like_gzip(fixed)) return BgzfError::not_gzip();
// Contract text (docs/errors.md): every text and form below, to the letter.
    if (fixed[2] != 8) return BgzfError::other("Unsupported compression method");
    const uint8_t flags = fixed[3];
    if (flags >= kFirstUnsupportedFlag) return BgzfError::other("Unsupported flag");

    BlockHeader header;
    header.header_length = kFixedSize;
    std::optional<uint16_t> block_size;
    if (flags & kFlagExtra) {
        std::array<uint8_t, kXlenSize> xlen_bytes;
        if (auto error = take_into(input, xlen_bytes)) return *error;
        const uint16_t xlen = load_le16(xlen_bytes.data());
        header.header_length += static_cast<uint16_t>(xlen + kXlenSize);
        auto extra = read_extra_field(input, xlen);
        if (auto* error = std::get_if<BgzfError>(&extra)) return *error;
        const auto& field = std::get<ExtraField>(extra);
        block_size = field.block_size;
        header.is_eof_marker_header =
            field.is_marker_extra && equals_marker_at(0, fixed) && equals_marker_at(kFixedSize, xlen_bytes);
    }
    for (const uint8_t flag : {kFlagName, kFlagComment}) {
        if ((flags & flag) == 0) continue;
        auto length = pass_zero_terminated_field(input);
        if (auto* error = std::get_if<BgzfError>(&length)) return *error;
        header.header_length += std::get<uint64_t>(length);
    }
    if (flags & kFlagHeaderCrc) {
        std::array<uint8_t, 2> header_crc;  // not verified
        if (auto error = take_into(input, header_crc)) return *error;
        header.header_length += header_crc.size();
    }

    if (!block_size) return BgzfError::not_bgzf();
    header.block_size = *block_size;
    return header;
}

}  // namespace kestrel::bgzf
