#include "vcf/record_columns.hpp"

#include <algorithm>
#include <cstring>

#include "base/debug_text.hpp"

namespace kestrel::vcf {
namespace {

// Positions read from the text saturate here, far beyond what any index holds, so
// that sums of a position and a REF length cannot wrap.
constexpr uint64_t kPositionCap = uint64_t{1} << 62;
constexpr size_t kPosTextKept = 48;
constexpr char kEndKey[] = "END=";

uint64_t saturating_digit(uint64_t value, uint8_t digit) {
    return value >= kPositionCap / 10 ? kPositionCap : std::min(kPositionCap, value * 10 + (digit - '0'));
}

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

void RecordColumns::reset() { *this = RecordColumns(); }

std::string RecordColumns::chrom_too_long_text() {
    return "CHROM is longer than " + std::to_string(kMaxChromLength) + " bytes";
}

void RecordColumns::feed(std::span<const uint8_t> part) {
    if (part.empty()) return;
    take_holding_cr(part, held_cr_, [this](const uint8_t* at, const uint8_t* end) { take(at, end); });
}

void RecordColumns::take(const uint8_t* at, const uint8_t* const end) {
    while (at < end && field_ <= 7) {
        const auto* tab = static_cast<const uint8_t*>(std::memchr(at, '\t', static_cast<size_t>(end - at)));
        const uint8_t* const field_end = tab != nullptr ? tab : end;
        switch (field_) {
        case 0: {
            const size_t room = kMaxChromLength + 1 - chrom_.size();
            const size_t length = static_cast<size_t>(field_end - at);
            chrom_.append(reinterpret_cast<const char*>(at), std::min(room, length));
            chrom_overflow_ |= length > room;
            break;
        }
        case 1:
            for (const uint8_t* c = at; c < field_end; ++c) {
                if (is_digit(*c)) {
                    pos_value_ = saturating_digit(pos_value_, *c);
                } else {
                    pos_digits_ = false;
                }
            }
            pos_length_ += static_cast<size_t>(field_end - at);
            pos_text_.append(reinterpret_cast<const char*>(at),
                             std::min(kPosTextKept + 4 - pos_text_.size(), static_cast<size_t>(field_end - at)));
            break;
        case 3: ref_length_ += static_cast<uint64_t>(field_end - at); break;
        case 7: take_info(at, field_end); break;
        default: break;
        }
        if (tab == nullptr) return;
        ++field_;
        at = tab + 1;
    }
}

// Finds INFO's first END= item and reads its value as strtol would.
void RecordColumns::take_info(const uint8_t* at, const uint8_t* const end) {
    while (at < end && end_state_ != End::Done) {
        const uint8_t c = *at;
        switch (end_state_) {
        case End::ItemStart:
        case End::Matching:
            if (c == static_cast<uint8_t>(kEndKey[end_matched_])) {
                end_state_ = ++end_matched_ == 4 ? End::Blanks : End::Matching;
                if (end_state_ == End::Blanks) end_found_ = true;
                ++at;
            } else {
                end_state_ = End::Skipping;
            }
            break;
        case End::Skipping: {
            const auto* semicolon = static_cast<const uint8_t*>(std::memchr(at, ';', static_cast<size_t>(end - at)));
            if (semicolon == nullptr) return;
            at = semicolon + 1;
            end_state_ = End::ItemStart;
            end_matched_ = 0;
            break;
        }
        case End::Blanks:
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                ++at;
                break;
            }
            end_state_ = End::Sign;
            [[fallthrough]];
        case End::Sign:
            if (c == '+' || c == '-') {
                end_negative_ = c == '-';
                ++at;
            }
            end_state_ = End::Digits;
            break;
        case End::Digits:
            if (!is_digit(c)) {
                end_state_ = End::Done;
                break;
            }
            end_value_ = saturating_digit(end_value_, c);
            ++at;
            break;
        case End::Done: break;
        }
    }
}

std::optional<uint64_t> RecordColumns::pos() const {
    if (field_ < 1 || !pos_digits_ || pos_length_ == 0 || pos_length_ > 19) return std::nullopt;
    return pos_value_;
}

std::variant<index::RecordSpan, std::string> RecordColumns::span() const {
    if (chrom_too_long()) return chrom_too_long_text();
    if (chrom_.empty()) return std::string("CHROM is empty");
    if (chrom_.front() == '#') return std::string("a header line (starting with '#') among the records");
    if (field_ < 1) return "no POS after CHROM " + debug_quoted_prefix(chrom_);
    const std::string_view pos_text(pos_text_);
    if (pos_length_ == 0 || !pos_digits_) {
        return "POS " + (pos_length_ > kPosTextKept ? debug_quoted_prefix(pos_text, kPosTextKept)
                                                    : debug_quoted(pos_text)) + " is not a number";
    }
    const uint64_t pos = std::max<uint64_t>(1, pos_value_);
    if (pos >= kPositionCap) {
        return "POS " + std::string(pos_text.substr(0, kPosTextKept)) + (pos_length_ > kPosTextKept ? "..." : "") +
               " is too large";
    }
    if (field_ < 3) return std::string("no REF column");
    uint64_t end = pos - 1 + std::min(ref_length_, kPositionCap);
    // A negative END counts as none.
    if (end_found_ && !(end_negative_ && end_value_ != 0)) end = std::max(end, end_value_);
    return index::RecordSpan{chrom_, pos - 1, std::max(end, pos)};
}

RecordColumns read_record(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    RecordColumns columns;
    columns.feed({reinterpret_cast<const uint8_t*>(line.data()), line.size()});
    return columns;
}

}  // namespace kestrel::vcf
