#include "index/binning_index.hpp"

#include <algorithm>
#include <climits>
#include <compare>
#include <deque>
#include <map>
#include <set>

#include "base/bytes.hpp"
#include "base/debug_text.hpp"
#include "base/stop.hpp"
#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"

namespace kestrel::index {

namespace {

// Bins of the finest level span 2^14 positions; every level above is 8 times wider.
constexpr unsigned kMinShift = 14;
constexpr unsigned kTbiDepth = 5;
// The deepest CSI whose pseudo-bin number, 8^(depth+1)/7 + 1, still fits 32 bits.
constexpr unsigned kMaxCsiDepth = 10;
constexpr uint64_t kTbiLimit = uint64_t{1} << (kMinShift + 3 * kTbiDepth);
constexpr uint64_t kCsiLimit = uint64_t{1} << (kMinShift + 3 * kMaxCsiDepth);
constexpr uint32_t kIndexCompressionLevel = 6;
constexpr int32_t kFormatVcf = 2;
constexpr size_t kHeaderFieldsSize = 7 * sizeof(int32_t);  // format .. l_nm

struct VirtualSpan {
    uint64_t begin;
    uint64_t end;
};

// A bin independent of the index depth: its level counted up from the finest, and its
// number within that level.
struct BinKey {
    unsigned level_up;
    uint64_t number;
    auto operator<=>(const BinKey&) const = default;
};

// The smallest bin holding [begin, end); positions are below kCsiLimit.
BinKey bin_of(uint64_t begin, uint64_t end) {
    const uint64_t last = end - 1;
    unsigned level_up = 0;
    const auto shift = [](unsigned level) { return kMinShift + 3 * level; };
    while (level_up < kMaxCsiDepth && (begin >> shift(level_up)) != (last >> shift(level_up))) ++level_up;
    return {level_up, begin >> shift(level_up)};
}

uint64_t first_bin_of_level(unsigned level) { return ((uint64_t{1} << (3 * level)) - 1) / 7; }

// Windows [first, last] of 2^14 positions whose first overlapping record starts at
// `offset`. Runs come in window order: a record adds one only where it reaches past
// every earlier record.
struct LinearRun {
    uint64_t first;
    uint64_t last;
    uint64_t offset;
};

struct ReferenceIndex {
    std::map<BinKey, std::vector<VirtualSpan>> bins;
    std::vector<LinearRun> runs;
    uint64_t first_offset = 0;
    uint64_t last_offset = 0;
    uint64_t records = 0;

    // The smallest offset of a record overlapping window `window` or any later one.
    uint64_t offset_from_window(uint64_t window) const {
        const auto run = std::lower_bound(runs.begin(), runs.end(), window,
                                          [](const LinearRun& r, uint64_t w) { return r.last < w; });
        return run == runs.end() ? runs.back().offset : run->offset;
    }
};

struct PendingRecord {
    uint64_t begin;
    uint64_t end;
    uint64_t start_offset;
    uint64_t end_offset;
    uint32_t reference;
};

struct KnownBlock {
    uint64_t uncompressed_start;
    uint64_t compressed_start;
    uint64_t uncompressed_length;
};

void put_u32(std::vector<uint8_t>& out, uint32_t value) { append_le(out, value); }
void put_u64(std::vector<uint8_t>& out, uint64_t value) { append_le(out, value); }
void put_i32(std::vector<uint8_t>& out, int64_t value) {
    if (value < 0 || value > INT32_MAX) stop_unwrap(TryFromIntError{});
    put_u32(out, static_cast<uint32_t>(value));
}

}  // namespace

struct IndexBuilder::State {
    explicit State(IndexFormat f) : format(f) {}

    IndexFormat format;
    // What add() checks against.
    std::vector<std::string> names;
    SortOrder order;
    uint64_t names_bytes = 0;
    uint64_t last_end_offset = 0;
    uint64_t max_end = 0;
    // Records wait here until the blocks holding their lines are known.
    std::deque<PendingRecord> pending;
    // Blocks handed over that a pending or later record may still start or end in.
    std::deque<KnownBlock> blocks;
    uint64_t known_uncompressed = 0;
    uint64_t known_compressed = 0;
    std::vector<ReferenceIndex> references;

    uint64_t virtual_offset(uint64_t offset);
    void drain();
    void apply(const PendingRecord& record, uint64_t start, uint64_t end);
    std::vector<uint8_t> serialize() const;
};

// The virtual offset of an uncompressed offset at or after every earlier one asked for
// and within the blocks known; an offset at a block's end is given as the next block's
// start.
uint64_t IndexBuilder::State::virtual_offset(uint64_t offset) {
    while (!blocks.empty() && blocks.front().uncompressed_start + blocks.front().uncompressed_length <= offset) {
        blocks.pop_front();
    }
    if (blocks.empty()) return known_compressed << 16;
    return (blocks.front().compressed_start << 16) | (offset - blocks.front().uncompressed_start);
}

void IndexBuilder::State::drain() {
    while (!pending.empty() && pending.front().end_offset <= known_uncompressed) {
        const PendingRecord record = pending.front();
        pending.pop_front();
        const uint64_t start = virtual_offset(record.start_offset);
        apply(record, start, virtual_offset(record.end_offset));
    }
    if (pending.empty()) {
        // The next record starts at or after the last one's end.
        while (!blocks.empty() &&
               blocks.front().uncompressed_start + blocks.front().uncompressed_length <= last_end_offset) {
            blocks.pop_front();
        }
    }
}

void IndexBuilder::State::apply(const PendingRecord& record, uint64_t start, uint64_t end) {
    if (record.reference == references.size()) references.emplace_back();
    ReferenceIndex& reference = references.back();
    if (reference.records++ == 0) reference.first_offset = start;
    reference.last_offset = end;

    // Spans that meet in one block are merged: reading the gap costs nothing more.
    std::vector<VirtualSpan>& spans = reference.bins[bin_of(record.begin, record.end)];
    if (!spans.empty() && (spans.back().end >> 16) == (start >> 16)) {
        spans.back().end = end;
    } else {
        spans.push_back({start, end});
    }

    const uint64_t first_window = record.begin >> kMinShift;
    const uint64_t last_window = (record.end - 1) >> kMinShift;
    if (reference.runs.empty()) {
        reference.runs.push_back({first_window, last_window, start});
    } else if (last_window > reference.runs.back().last) {
        reference.runs.push_back({std::max(first_window, reference.runs.back().last + 1), last_window, start});
    }
}

std::vector<uint8_t> IndexBuilder::State::serialize() const {
    const bool csi = format == IndexFormat::Csi;
    unsigned depth = kTbiDepth;
    while (csi && max_end > uint64_t{1} << (kMinShift + 3 * depth)) ++depth;

    // Made with its magic rather than inserted into an empty vector, which GCC 12 at -O2
    // takes for a write past a 0-byte buffer (-Wstringop-overflow).
    std::vector<uint8_t> out = csi ? std::vector<uint8_t>{'C', 'S', 'I', 1} : std::vector<uint8_t>{'T', 'B', 'I', 1};
    const auto put_names = [&] {
        put_i32(out, kFormatVcf);
        put_i32(out, 1);    // column of the sequence name
        put_i32(out, 2);    // column of the start
        put_i32(out, 0);    // no end column: VCF's rules give the end
        put_i32(out, '#');  // header lines start with it
        put_i32(out, 0);    // lines skipped at the start
        put_i32(out, static_cast<int64_t>(names_bytes));
        for (const std::string& name : names) {
            out.insert(out.end(), name.begin(), name.end());
            out.push_back(0);
        }
    };
    if (csi) {
        put_i32(out, kMinShift);
        put_i32(out, depth);
        put_i32(out, static_cast<int64_t>(kHeaderFieldsSize + names_bytes));
        put_names();
        put_i32(out, static_cast<int64_t>(references.size()));
    } else {
        put_i32(out, static_cast<int64_t>(references.size()));
        put_names();
    }

    for (const ReferenceIndex& reference : references) {
        put_i32(out, static_cast<int64_t>(reference.bins.size() + 1));
        for (const auto& [key, spans] : reference.bins) {
            put_u32(out, static_cast<uint32_t>(first_bin_of_level(depth - key.level_up) + key.number));
            if (csi) put_u64(out, reference.offset_from_window(key.number << (3 * key.level_up)));
            put_i32(out, static_cast<int64_t>(spans.size()));
            for (const VirtualSpan& span : spans) {
                put_u64(out, span.begin);
                put_u64(out, span.end);
            }
        }
        // The pseudo-bin: where the reference's records lie and how many there are.
        put_u32(out, static_cast<uint32_t>(first_bin_of_level(depth + 1) + 1));
        if (csi) put_u64(out, 0);
        put_i32(out, 2);
        put_u64(out, reference.first_offset);
        put_u64(out, reference.last_offset);
        put_u64(out, reference.records);
        put_u64(out, 0);
        if (!csi) {
            const uint64_t windows = reference.runs.back().last + 1;
            put_i32(out, static_cast<int64_t>(windows));
            // Windows no record overlaps take the offset of the next one that has some.
            auto run = reference.runs.begin();
            for (uint64_t window = 0; window < windows; ++window) {
                if (run->last < window) ++run;
                put_u64(out, run->offset);
            }
        }
    }
    put_u64(out, 0);  // records without coordinates
    return out;
}

std::optional<std::string> SortOrder::check(std::string_view chrom, uint64_t begin) const {
    if (!any_ || chrom != last_chrom_) {
        if (seen_.contains(chrom)) {
            return "records are not sorted: CHROM " + debug_quoted_prefix(chrom) + " appears again after " +
                   debug_quoted_prefix(last_chrom_);
        }
    } else if (begin < last_begin_) {
        return "records are not sorted: POS " + std::to_string(begin + 1) + " comes after POS " +
               std::to_string(last_begin_ + 1) + " on CHROM " + debug_quoted_prefix(chrom);
    }
    return std::nullopt;
}

void SortOrder::accept(std::string_view chrom, uint64_t begin) {
    if (!any_ || chrom != last_chrom_) {
        seen_.emplace(chrom);
        last_chrom_ = chrom;
    }
    last_begin_ = begin;
    any_ = true;
}

IndexBuilder::IndexBuilder(IndexFormat format) : state_(std::make_unique<State>(format)) {}
IndexBuilder::IndexBuilder(IndexBuilder&&) noexcept = default;
IndexBuilder& IndexBuilder::operator=(IndexBuilder&&) noexcept = default;
IndexBuilder::~IndexBuilder() = default;

std::optional<std::string> IndexBuilder::add(const RecordSpan& record, uint64_t start, uint64_t end) {
    State& s = *state_;
    if (record.end <= record.begin) stop("index record span " + std::to_string(record.begin) + ".." +
                                         std::to_string(record.end) + " is empty");
    if (end <= start || start < s.last_end_offset) {
        stop("index record offsets " + std::to_string(start) + ".." + std::to_string(end) + " go back");
    }
    if (record.chrom.empty()) return std::string("CHROM is empty");
    const bool tbi = s.format == IndexFormat::Tbi;
    if (record.end > (tbi ? kTbiLimit : kCsiLimit)) {
        return "the record reaches position " + std::to_string(record.end) + ", beyond " +
               (tbi ? "536870912 (2^29), the most a TBI index holds; use CSI"
                    : "17592186044416 (2^44), the most a CSI index holds here");
    }
    if (auto error = s.order.check(record.chrom, record.begin)) return error;
    const bool new_chrom = s.names.empty() || record.chrom != s.names.back();
    if (new_chrom) {
        if (record.chrom.find('\0') != std::string_view::npos) {
            return "CHROM " + debug_quoted_prefix(record.chrom) + " holds a NUL byte";
        }
        if (s.names_bytes + record.chrom.size() + 1 > INT32_MAX - kHeaderFieldsSize) {
            return std::string("the CHROM names together exceed the 2 GiB an index holds");
        }
    }

    if (new_chrom) {
        s.names.emplace_back(record.chrom);
        s.names_bytes += record.chrom.size() + 1;
    }
    s.order.accept(record.chrom, record.begin);
    s.last_end_offset = end;
    s.max_end = std::max(s.max_end, record.end);
    s.pending.push_back({record.begin, record.end, start, end, static_cast<uint32_t>(s.names.size() - 1)});
    s.drain();
    return std::nullopt;
}

void IndexBuilder::blocks(std::span<const bgzf::BlockSize> sizes) {
    State& s = *state_;
    for (const bgzf::BlockSize& size : sizes) {
        if (size.uncompressed_length > bgzf::kMaxBlockOutput) stop("index block holds more than 65536 bytes");
        s.blocks.push_back({s.known_uncompressed, s.known_compressed, size.uncompressed_length});
        s.known_uncompressed += size.uncompressed_length;
        s.known_compressed += size.block_size;
        // Virtual offsets keep 48 bits for the compressed offset.
        if (s.known_compressed >> 48 != 0) stop("indexed file exceeds 2^48 compressed bytes");
    }
    s.drain();
}

std::vector<uint8_t> IndexBuilder::finish() && {
    State& s = *state_;
    if (!s.pending.empty()) {
        stop("index finished with records beyond the " + std::to_string(s.known_uncompressed) +
             " bytes of blocks handed over");
    }
    const std::vector<uint8_t> index = s.serialize();
    bgzf::Compressor compressor(kIndexCompressionLevel);
    std::vector<uint8_t> out = bgzf::encode_stream(index, compressor);
    state_.reset();
    return out;
}

}  // namespace kestrel::index
