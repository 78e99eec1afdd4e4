#include "bgzf/header.hpp"

#include "base/stop.hpp"

namespace kestrel::bgzf {
namespace {

template <class Subfields>
auto* find_block_size(Subfields& subfields) {
    for (auto& subfield : subfields) {
        if (is_block_size_subfield(subfield.si1, subfield.si2, subfield.data.size())) return &subfield;
    }
    return static_cast<decltype(&subfields.front())>(nullptr);
}

uint64_t field_length(const std::optional<std::vector<uint8_t>>& field) {
    if (!field) return 0;
    return field->size() + (field->empty() || field->back() != 0 ? 1 : 0);
}

// Writes into a fixed destination, remembering whether anything did not fit.
class FixedWriter {
public:
    explicit FixedWriter(std::span<uint8_t> destination) : destination_(destination) {}
    void put(uint8_t byte) {
        if (position_ < destination_.size()) {
            destination_[position_++] = byte;
        } else {
            overflow_ = true;
        }
    }
    void put16(uint16_t value) {
        put(static_cast<uint8_t>(value));
        put(static_cast<uint8_t>(value >> 8));
    }
    void put32(uint32_t value) {
        put16(static_cast<uint16_t>(value));
        put16(static_cast<uint16_t>(value >> 16));
    }
    void put_field(const std::vector<uint8_t>& field) {
        for (uint8_t byte : field) put(byte);
        if (field.empty() || field.back() != 0) put(0);
    }
    bool overflowed() const { return overflow_; }

private:
    std::span<uint8_t> destination_;
    size_t position_ = 0;
    bool overflow_ = false;
};

}  // namespace

BgzfHeader BgzfHeader::for_data_block() {
    BgzfHeader header;
    header.compression_method = 8;
    header.flags = kFlagExtra;
    header.modification_time = 0;
    header.extra_flags = 2;
    header.operating_system = 255;
    header.extra_field_length = 6;
    header.extra_subfields.push_back({kBlockSizeId1, kBlockSizeId2, {0, 0}});
    return header;
}

std::variant<uint16_t, BgzfError> BgzfHeader::block_size() const {
    const ExtraSubfield* subfield = find_block_size(extra_subfields);
    if (subfield == nullptr) return BgzfError::not_bgzf();
    const uint16_t stored = static_cast<uint16_t>(subfield->data[0] | subfield->data[1] << 8);
    return static_cast<uint16_t>(stored + 1);
}

std::optional<BgzfError> BgzfHeader::set_block_size(uint16_t size) {
    ExtraSubfield* subfield = find_block_size(extra_subfields);
    if (subfield == nullptr) return BgzfError::not_bgzf();
    const uint16_t stored = static_cast<uint16_t>(size - 1);
    subfield->data[0] = static_cast<uint8_t>(stored);
    subfield->data[1] = static_cast<uint8_t>(stored >> 8);
    return std::nullopt;
}

uint64_t BgzfHeader::encoded_length() const {
    uint64_t length = 10;
    if (extra_field_length) length += static_cast<uint16_t>(*extra_field_length + 2);
    length += field_length(file_name) + field_length(comment);
    if (header_crc) length += 2;
    return length;
}

std::optional<IoError> BgzfHeader::serialize(std::span<uint8_t> destination) const {
    uint8_t expected = flags & kFlagText;
    if (header_crc) expected |= kFlagHeaderCrc;
    if (extra_field_length) expected |= kFlagExtra;
    if (file_name) expected |= kFlagName;
    if (comment) expected |= kFlagComment;
    if (expected != flags) return IoError::with_message(ErrorKind::Other, "Invalid bgzip flag");

    FixedWriter out(destination);
    out.put(0x1f);
    out.put(0x8b);
    out.put(compression_method);
    out.put(flags);
    out.put32(modification_time);
    out.put(extra_flags);
    out.put(operating_system);
    if (extra_field_length) {
        uint32_t total = 0;
        for (const auto& subfield : extra_subfields) {
            if (subfield.data.size() > 0xFFFF) stop_unwrap(TryFromIntError{});
            total += 4 + static_cast<uint32_t>(subfield.data.size());
        }
        if (total != *extra_field_length) {
            return IoError::with_message(ErrorKind::Other, "Invalid bgzip extra field length");
        }
        out.put16(*extra_field_length);
        for (const auto& subfield : extra_subfields) {
            out.put(subfield.si1);
            out.put(subfield.si2);
            out.put16(static_cast<uint16_t>(subfield.data.size()));
            for (uint8_t byte : subfield.data) out.put(byte);
        }
    }
    if (file_name) out.put_field(*file_name);
    if (comment) out.put_field(*comment);
    if (header_crc) out.put16(*header_crc);
    if (out.overflowed()) return write_zero();
    return std::nullopt;
}

}  // namespace kestrel::bgzf
