// The columns of a VCF record line that summaries and indexes need, read as the
// line's bytes arrive, in parts of any size: CHROM (kept, up to a limit), POS,
// the length of REF and the value of INFO's first END=. Nothing else of the line is
// kept, so a record of any length costs the same few bytes.
//
// Contract: pure parsing, no failure of its own: what cannot be read is reported by
// the accessors. A line's last byte, when it is a CR, belongs to no column (CR LF
// endings, and a last line without LF that ends in CR). Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "index/binning_index.hpp"

namespace kestrel::vcf {

// The longest CHROM a record may have to be summarised or indexed. Real contig names
// are far shorter; the limit keeps what is held per record small.
constexpr size_t kMaxChromLength = 1024;

// Passes a non-empty part of a line (its line feed excluded) on to `take(begin, end)`,
// but a CR at the part's end only once more of the line follows it: at the line's end
// a CR belongs to no column. `held_cr` carries that CR from one part to the next.
template <class Take>
void take_holding_cr(std::span<const uint8_t> part, bool& held_cr, Take&& take) {
    static constexpr uint8_t kCarriageReturn = '\r';
    if (held_cr) {
        held_cr = false;
        take(&kCarriageReturn, &kCarriageReturn + 1);
    }
    const uint8_t* end = part.data() + part.size();
    if (end[-1] == '\r') {
        held_cr = true;
        --end;
    }
    take(part.data(), end);
}

class RecordColumns {
public:
    // A new line starts.
    void reset();
    // The next bytes of the line, its line feed excluded.
    void feed(std::span<const uint8_t> part);

    // CHROM has grown past kMaxChromLength: the line cannot be summarised or indexed.
    // Known as soon as it happens, before the line ends.
    bool chrom_too_long() const { return chrom_overflow_ || chrom_.size() > kMaxChromLength; }
    // The refusal for such a line.
    static std::string chrom_too_long_text();

    // Once the whole line was fed:
    // CHROM, the text before the first tab.
    std::string_view chrom() const { return chrom_; }
    // POS when it is a decimal number of 1 to 19 digits.
    std::optional<uint64_t> pos() const;
    // The reference span as an index takes it: [POS-1, end) where end is the larger
    // of POS-1+len(REF) and INFO's first END= (read like strtol: blanks, a sign, then
    // digits up to any other byte), and at least POS; POS 0 counts as 1. The span's
    // CHROM views this object. Errors say what is wrong, quoting at most a short
    // prefix of a field: no, an empty or too long CHROM, a header line, POS missing or
    // not a decimal number, no REF column.
    std::variant<index::RecordSpan, std::string> span() const;

private:
    void take(const uint8_t* at, const uint8_t* end);
    void take_info(const uint8_t* at, const uint8_t* end);

    std::string chrom_;
    bool chrom_overflow_ = false;
    size_t field_ = 0;  // the column being read (0 CHROM, 1 POS, 3 REF, 7 INFO)
    bool held_cr_ = false;
    // POS: its value (saturating), whether every byte is a digit, its length and the
    // start of its text for messages.
    uint64_t pos_value_ = 0;
    bool pos_digits_ = true;
    size_t pos_length_ = 0;
    std::string pos_text_;
    uint64_t ref_length_ = 0;
    // INFO's first END=: the item being matched, and the value being read.
    enum class End : uint8_t { ItemStart, Matching, Skipping, Blanks, Sign, Digits, Done };
    End end_state_ = End::ItemStart;
    size_t end_matched_ = 0;
    bool end_negative_ = false;
    uint64_t end_value_ = 0;
    bool end_found_ = false;
};

// The columns of one whole line (a trailing line feed is ignored).
RecordColumns read_record(std::string_view line);

}  // namespace kestrel::vcf
