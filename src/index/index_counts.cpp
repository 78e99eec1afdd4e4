#include "index/index_counts.hpp"

#include <cstring>

#include "base/bytes.hpp"

namespace kestrel::index {
namespace {

// Reads little-endian fields in order; any read past the end fails the whole parse.
class Fields {
public:
    explicit Fields(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool skip(uint64_t count) {
        if (count > bytes_.size() - at_) return false;
        at_ += static_cast<size_t>(count);
        return true;
    }
    template <class T>
    bool read(T& value) {
        if (sizeof(T) > bytes_.size() - at_) return false;
        value = load_le<T>(bytes_.data() + at_);
        at_ += sizeof(T);
        return true;
    }
    // A non-negative int32 count.
    bool count(uint64_t& value) {
        uint32_t raw = 0;
        if (!read(raw) || raw > INT32_MAX) return false;
        value = raw;
        return true;
    }
    bool at_end() const { return at_ == bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

bool add(uint64_t& sum, uint64_t value) { return !__builtin_add_overflow(sum, value, &sum); }

// One reference's bins: its record count from the pseudo-bin (0 for a reference
// without bins); false where it has bins but no counts, or the bytes fall short.
bool read_reference(Fields& in, bool csi, uint32_t pseudo_bin, uint64_t& records) {
    uint64_t bins = 0;
    if (!in.count(bins)) return false;
    bool counted = bins == 0;
    records = 0;
    for (uint64_t i = 0; i < bins; ++i) {
        uint32_t bin = 0;
        uint64_t chunks = 0;
        if (!in.read(bin) || (csi && !in.skip(8)) || !in.count(chunks)) return false;
        if (bin != pseudo_bin) {
            if (!in.skip(chunks * 16)) return false;
            continue;
        }
        uint64_t mapped = 0, unmapped = 0;
        if (chunks != 2 || counted || !in.skip(16) || !in.read(mapped) || !in.read(unmapped)) return false;
        if (!add(records, mapped) || !add(records, unmapped)) return false;
        counted = true;
    }
    if (!csi) {
        uint64_t windows = 0;
        if (!in.count(windows) || !in.skip(windows * 8)) return false;
    }
    return counted;
}

}  // namespace

std::optional<IndexCounts> read_index_counts(std::span<const uint8_t> index) {
    if (index.size() < 4) return std::nullopt;
    const bool csi = std::memcmp(index.data(), "CSI\1", 4) == 0;
    if (!csi && std::memcmp(index.data(), "TBI\1", 4) != 0) return std::nullopt;
    Fields in(index);
    in.skip(4);
    uint64_t references = 0;
    uint32_t pseudo_bin = 37450;  // TBI's: depth 5
    if (csi) {
        uint32_t min_shift = 0, depth = 0;
        uint64_t aux = 0;
        if (!in.read(min_shift) || !in.read(depth) || depth > 10 || !in.count(aux) || !in.skip(aux) ||
            !in.count(references)) {
            return std::nullopt;
        }
        pseudo_bin = static_cast<uint32_t>(((uint64_t{1} << (3 * (depth + 1))) - 1) / 7 + 1);
    } else {
        uint64_t names = 0;
        // n_ref, then format, col_seq, col_beg, col_end, meta, skip and the names.
        if (!in.count(references) || !in.skip(6 * 4) || !in.count(names) || !in.skip(names)) return std::nullopt;
    }
    IndexCounts counts;
    for (uint64_t i = 0; i < references; ++i) {
        uint64_t records = 0;
        if (!read_reference(in, csi, pseudo_bin, records) || !add(counts.total, records)) return std::nullopt;
        counts.references.push_back(records);
    }
    if (!in.at_end() && (!in.read(counts.unplaced) || !in.at_end())) return std::nullopt;
    if (!add(counts.total, counts.unplaced)) return std::nullopt;
    return counts;
}

}  // namespace kestrel::index
