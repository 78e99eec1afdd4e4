// A record's place as the rules that cut by place read it: CHROM, and POS where it is
// a number. Read from the start of a record's line, in parts of any size, and only as
// far as the key goes, so that the rules cost a few bytes per record.
//
// Contract: pure parsing, no failure of its own (a CHROM too long to keep is
// reported, the caller refuses it). A line's last byte, when it is a CR, belongs to
// neither field, as in record_columns.hpp. Used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::vcf {

class KeyReader {
public:
    // A new line starts.
    void reset();
    // The next bytes of the line, its line feed excluded; returns complete().
    bool feed(std::span<const uint8_t> part);
    // No more bytes will come (the line ended): the key is what was read.
    void end() { ended_ = true; }
    // Whether more bytes of the line could still change the key.
    bool complete() const { return ended_ || field_ >= 2 || chrom_overflow_ || (field_ == 1 && !pos_digits_); }

    // CHROM: the text before the first tab, kept up to vcf::kMaxChromLength bytes.
    std::string_view chrom() const { return chrom_; }
    bool chrom_too_long() const { return chrom_overflow_; }
    // POS when it is a decimal number of 1 to 19 digits.
    std::optional<uint64_t> pos() const {
        if (field_ < 1 || !pos_digits_ || pos_length_ == 0) return std::nullopt;
        return pos_value_;
    }

private:
    void take(const uint8_t* at, const uint8_t* end);

    std::string chrom_;
    bool chrom_overflow_ = false;
    uint8_t field_ = 0;  // 0 CHROM, 1 POS, 2 past POS
    bool held_cr_ = false;
    bool ended_ = false;
    bool pos_digits_ = true;
    uint8_t pos_length_ = 0;
    uint64_t pos_value_ = 0;
};

// Whether two records stand at one position: the same CHROM and the same POS, a
// number. A record whose POS is not a number shares its position with no other.
inline bool same_position(std::string_view chrom_a, std::optional<uint64_t> pos_a, std::string_view chrom_b,
                          std::optional<uint64_t> pos_b) {
    return pos_a && pos_b && *pos_a == *pos_b && chrom_a == chrom_b;
}

}  // namespace kestrel::vcf
