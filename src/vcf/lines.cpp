#include "vcf/lines.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel::vcf {
namespace {

// Line starts after a line feed: records, and header lines (each where asked).
struct Starts {
    uint64_t records = 0;
    uint64_t headers = 0;
    void add(uint8_t first) { is_record_start(first) ? ++records : ++headers; }
};

// From `at` on, one line feed at a time.
void count_tail(const uint8_t* data, size_t at, size_t pairs, Starts& starts) {
    const uint8_t* const last = data + pairs;
    for (const uint8_t* feed = data + at;
         (feed = static_cast<const uint8_t*>(std::memchr(feed, '\n', static_cast<size_t>(last - feed)))) != nullptr;
         ++feed) {
        starts.add(feed[1]);
    }
}

#if defined(__x86_64__)
// 64 bytes at a time: most hold no line feed at all; those that do are looked at one
// line feed at a time.
__attribute__((target("avx2"))) void count_avx2(const uint8_t* data, size_t pairs, Starts& starts) {
    const __m256i line_feed = _mm256_set1_epi8('\n');
    size_t at = 0;
    for (; at + 64 <= pairs; at += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 32));
        uint64_t feeds = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, line_feed))) |
                         uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, line_feed)))}
                             << 32;
        for (; feeds != 0; feeds &= feeds - 1) starts.add(data[at + __builtin_ctzll(feeds) + 1]);
    }
    count_tail(data, at, pairs, starts);
}

const bool has_avx2 = __builtin_cpu_supports("avx2");
#endif

Starts count(std::span<const uint8_t> bytes) {
    Starts starts;
    if (bytes.size() < 2) return starts;
    const size_t pairs = bytes.size() - 1;  // a line feed and the byte after it
#if defined(__x86_64__)
    if (has_avx2) {
        count_avx2(bytes.data(), pairs, starts);
        return starts;
    }
#endif
    count_tail(bytes.data(), 0, pairs, starts);
    return starts;
}

}  // namespace

uint64_t records_starting_inside(std::span<const uint8_t> bytes) { return count(bytes).records; }

uint64_t line_starts_inside(std::span<const uint8_t> bytes) {
    const Starts starts = count(bytes);
    return starts.records | starts.headers << 32;
}

}  // namespace kestrel::vcf
