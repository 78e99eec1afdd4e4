// What kind of line a line of a VCF file is, from its first byte, and where lines
// start in a run of bytes: the one place that says so for every reader of lines
// (the splitter, the counting passes, the tasks of a cluster run).
//
// Contract: pure functions over bytes the caller holds; safe from any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

namespace kestrel::vcf {

// Header lines start with '#'; every other line, an empty one included, is a record.
constexpr bool is_record_start(uint8_t first) { return first != '#'; }

// Calls `line_starts(first_byte)` for every line that starts after a line feed in
// `bytes`, but for a line feed that is their last byte: the line it starts lies in
// what follows.
template <class LineStarts>
void for_each_line_start(std::span<const uint8_t> bytes, LineStarts&& line_starts) {
    if (bytes.size() < 2) return;
    const uint8_t* const last = bytes.data() + bytes.size() - 1;
    for (const uint8_t* at = bytes.data(); at < last;) {
        const auto* line_feed = static_cast<const uint8_t*>(std::memchr(at, '\n', static_cast<size_t>(last - at)));
        if (line_feed == nullptr) return;
        line_starts(line_feed[1]);
        at = line_feed + 1;
    }
}

// The records that start after a line feed inside `bytes` (not after their last
// byte): what for_each_line_start finds and is_record_start takes, counted 16 bytes at
// a time where the processor allows.
uint64_t records_starting_inside(std::span<const uint8_t> bytes);
// The same for fewer than 2^32 bytes (a BGZF block's data), with the header lines that
// start inside them in the high 32 bits.
uint64_t line_starts_inside(std::span<const uint8_t> bytes);

}  // namespace kestrel::vcf
