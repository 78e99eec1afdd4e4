#include "bgzf/block_header_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "bgzf/header.hpp"
#include "base/file.hpp"

namespace kestrel::bgzf {
namespace {

constexpr size_t kFixedSize = 10;
constexpr size_t kXlenSize = 2;
constexpr size_t kSubfieldHeadSize = 4;
constexpr size_t kMarkerExtraSize = 6;
constexpr uint8_t kFirstUnsupportedFlag = 32;  // FLG bits 5-7 are reserved

uint16_t little_endian_16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

bool equals_marker_at(size_t offset, std::span<const uint8_t> bytes) {
    return offset + bytes.size() <= kEofMarker.size() &&
           std::equal(bytes.begin(), bytes.end(), kEofMarker.begin() + static_cast<ptrdiff_t>(offset));
}

// The header's bytes: some read ahead into `storage` (never past what a valid header
// holds), the rest straight from the file.
class HeaderInput {
public:
    HeaderInput(int fd, bool seekable, std::span<uint8_t> storage, std::span<const uint8_t> already_read)
        : fd_(fd), seekable_(seekable), storage_(storage), already_read_(already_read) {}

    // Reads up to `n` bytes ahead, fewer when the file ends first, starting with the
    // bytes the caller read before. Only called once everything read ahead before
    // has been taken.
    IoResult<size_t> prefetch(size_t n) {
        size_t got = std::min(n, already_read_.size());
        std::memcpy(storage_.data(), already_read_.data(), got);
        already_read_ = already_read_.subspan(got);
        while (got < n) {
            auto read = read_some(fd_, storage_.subspan(got, n - got));
            if (auto* error = std::get_if<IoError>(&read)) return *error;
            const size_t count = std::get<size_t>(read);
            if (count == 0) break;
            got += count;
        }
        begin_ = 0;
        end_ = got;
        return got;
    }

    std::span<const uint8_t> buffered() const { return storage_.subspan(begin_, end_ - begin_); }

    // Exactly out.size() bytes, or UnexpectedEof.
    std::optional<IoError> take(std::span<uint8_t> out) {
        const size_t from_buffer = std::min(out.size(), end_ - begin_);
        std::memcpy(out.data(), storage_.data() + begin_, from_buffer);
        begin_ += from_buffer;
        return read_exact(fd_, out.subspan(from_buffer));
    }

    std::optional<IoError> skip(size_t n) {
        const size_t from_buffer = std::min(n, end_ - begin_);
        begin_ += from_buffer;
        n -= from_buffer;
        std::array<uint8_t, 4096> discard;
        while (n > 0) {
            const size_t now = std::min(n, discard.size());
            if (auto error = read_exact(fd_, std::span(discard).first(now))) return error;
            n -= now;
        }
        return std::nullopt;
    }

    // Consumes a zero-terminated field, or the rest of the file when no zero byte
    // comes. Returns its length as the header counts it: the stored bytes, plus one
    // when the field lacks its zero byte.
    IoResult<uint64_t> zero_terminated_field_length() {
        uint64_t length = 0;
        while (begin_ < end_) {
            ++length;
            if (storage_[begin_++] == 0) return length;
        }
        return seekable_ ? rest_of_field_in_chunks(length) : rest_of_field_by_bytes(length);
    }

private:
    IoResult<uint64_t> rest_of_field_by_bytes(uint64_t length) {
        uint8_t byte = 0;
        for (;;) {
            auto read = read_some(fd_, {&byte, 1});
            if (auto* error = std::get_if<IoError>(&read)) return *error;
            if (std::get<size_t>(read) == 0) return length + 1;
            ++length;
            if (byte == 0) return length;
        }
    }

    // Reads past the field's end and seeks back, so the block still consumes only its
    // own bytes.
    IoResult<uint64_t> rest_of_field_in_chunks(uint64_t length) {
        std::array<uint8_t, 512> chunk;
        for (;;) {
            auto read = read_some(fd_, chunk);
            if (auto* error = std::get_if<IoError>(&read)) return *error;
            const size_t count = std::get<size_t>(read);
            if (count == 0) return length + 1;
            const auto* zero = static_cast<const uint8_t*>(std::memchr(chunk.data(), 0, count));
            if (zero == nullptr) {
                length += count;
                continue;
            }
            const size_t used = static_cast<size_t>(zero - chunk.data()) + 1;
            length += used;
            if (used < count && ::lseek(fd_, -static_cast<off_t>(count - used), SEEK_CUR) < 0) {
                return IoError::os(errno);
            }
            return length;
        }
    }

    int fd_;
    bool seekable_;
    std::span<uint8_t> storage_;
    std::span<const uint8_t> already_read_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

struct ExtraField {
    std::optional<uint16_t> block_size;
    bool is_marker_extra = false;
};

// Walks the subfields with a 16-bit count of the bytes left: a subfield longer than
// the count makes it wrap, and reading goes on, as the count says.
std::variant<ExtraField, BgzfError> read_extra_field(HeaderInput& input, uint16_t xlen) {
    ExtraField extra;
    uint16_t remaining = xlen;
    if (remaining > kSubfieldHeadSize) {
        auto got = input.prefetch(xlen);
        if (auto* error = std::get_if<IoError>(&got)) return BgzfError::io(*error);
        const auto ahead = input.buffered();
        extra.is_marker_extra = xlen == kMarkerExtraSize && ahead.size() == kMarkerExtraSize &&
                                equals_marker_at(kFixedSize + kXlenSize, ahead);
    }
    while (remaining > kSubfieldHeadSize) {
        std::array<uint8_t, kSubfieldHeadSize> head;
        if (auto error = input.take(head)) return BgzfError::io(*error);
        const uint16_t data_length = little_endian_16(&head[2]);
        if (!extra.block_size && is_block_size_subfield(head[0], head[1], data_length)) {
            std::array<uint8_t, 2> value;
            if (auto error = input.take(value)) return BgzfError::io(*error);
            extra.block_size = static_cast<uint16_t>(little_endian_16(value.data()) + 1);
        } else if (auto error = input.skip(data_length)) {
            return BgzfError::io(*error);
        }
        remaining = static_cast<uint16_t>(remaining - kSubfieldHeadSize - data_length);
    }
    if (remaining != 0) return BgzfError::other("Invalid extra field");
    return extra;
}

}  // namespace

HeaderResult read_block_header(int fd, bool seekable, std::span<uint8_t> scratch,
                               std::span<const uint8_t> already_read) {
    HeaderInput input(fd, seekable, scratch, already_read);
    // Every valid header has the extra field, so its length is read with the fixed
    // part; for other headers the two bytes stay ahead for the fields that follow.
    auto got = input.prefetch(kFixedSize + kXlenSize);
    if (auto* error = std::get_if<IoError>(&got)) return BgzfError::io(*error);
    if (std::get<size_t>(got) == 0) return CleanEnd{};

    std::array<uint8_t, kFixedSize> fixed;
    if (auto error = input.take(fixed)) return BgzfError::io(*error);
    if (fixed[0] != 0x1f || fixed[1] != 0x8b) return BgzfError::not_gzip();
    if (fixed[2] != 8) return BgzfError::other("Unsupported compression method");
    const uint8_t flags = fixed[3];
    if (flags >= kFirstUnsupportedFlag) return BgzfError::other("Unsupported flag");

    BlockHeader header;
    header.header_length = kFixedSize;
    std::optional<uint16_t> block_size;
    if (flags & kFlagExtra) {
        std::array<uint8_t, kXlenSize> xlen_bytes;
        if (auto error = input.take(xlen_bytes)) return BgzfError::io(*error);
        const uint16_t xlen = little_endian_16(xlen_bytes.data());
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
        auto length = input.zero_terminated_field_length();
        if (auto* error = std::get_if<IoError>(&length)) return BgzfError::io(*error);
        header.header_length += std::get<uint64_t>(length);
    }
    if (flags & kFlagHeaderCrc) {
        std::array<uint8_t, 2> header_crc;  // not verified
        if (auto error = input.take(header_crc)) return BgzfError::io(*error);
        header.header_length += header_crc.size();
    }

    if (!block_size) return BgzfError::not_bgzf();
    header.block_size = *block_size;
    return header;
}

}  // namespace kestrel::bgzf
