#include "vcf/record_key.hpp"

#include <algorithm>
#include <cstring>

#include "vcf/record_columns.hpp"

namespace kestrel::vcf {

void KeyReader::reset() {
    chrom_.clear();
    chrom_overflow_ = false;
    field_ = 0;
    held_cr_ = false;
    ended_ = false;
    pos_digits_ = true;
    pos_length_ = 0;
    pos_value_ = 0;
}

bool KeyReader::feed(std::span<const uint8_t> part) {
    if (part.empty() || complete()) return complete();
    take_holding_cr(part, held_cr_, [this](const uint8_t* at, const uint8_t* end) { take(at, end); });
    return complete();
}

void KeyReader::take(const uint8_t* at, const uint8_t* const end) {
    if (field_ == 0 && at < end) {
        const auto* tab = static_cast<const uint8_t*>(std::memchr(at, '\t', static_cast<size_t>(end - at)));
        const uint8_t* const field_end = tab != nullptr ? tab : end;
        const size_t room = kMaxChromLength - chrom_.size();
        const size_t length = static_cast<size_t>(field_end - at);
        chrom_.append(reinterpret_cast<const char*>(at), std::min(room, length));
        chrom_overflow_ = length > room;
        if (tab == nullptr || chrom_overflow_) return;
        field_ = 1;
        at = tab + 1;
    }
    for (; field_ == 1 && at < end && pos_digits_; ++at) {
        if (*at == '\t') {
            field_ = 2;
        } else if (*at >= '0' && *at <= '9' && pos_length_ < 19) {
            pos_value_ = pos_value_ * 10 + (*at - '0');
            ++pos_length_;
        } else {
            pos_digits_ = false;
        }
    }
}

}  // namespace kestrel::vcf
