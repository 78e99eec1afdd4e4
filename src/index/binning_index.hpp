// Region indexes of a BGZF-compressed VCF file, TBI or CSI, built while the file is
// written: the writer reports each record with the uncompressed offsets of its line as
// it writes it, and the sizes of the compressed blocks as they come back, in order and
// in any interleaving with the records. No second pass over the file is needed.
//
// Contract: failures of the input (an unparsable CHROM or POS, records out of order, a
// position the format cannot hold) are returned as texts saying what is wrong, without
// the line number, which the caller adds; the builder is then left as it was. Misuse by
// the caller (record offsets going back or empty, a record span with end <= begin, a
// block over 65536 bytes of data, finishing before the blocks holding every record were
// handed over) stops the call. Memory: the index itself (names, bins with their merged
// spans of virtual offsets, the format's "chunks"; linear index) plus the records whose blocks have not been handed over yet.
// One thread at a time; the builder owns all its state and may move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bgzf/header.hpp"

namespace kestrel::index {

enum class IndexFormat { Tbi, Csi };

// The reference span of a record: zero-based, half-open, begin < end.
struct RecordSpan {
    std::string_view chrom;
    uint64_t begin = 0;
    uint64_t end = 0;
};

// The order an index needs: the records of each CHROM together, and their positions
// never going back within it. Used by the builder for one file, and by callers that
// need the order across several files.
class SortOrder {
public:
    // Whether a record on `chrom` starting at zero-based `begin` may come next; the
    // error says why not.
    std::optional<std::string> check(std::string_view chrom, uint64_t begin) const;
    // The record came next.
    void accept(std::string_view chrom, uint64_t begin);

private:
    std::set<std::string, std::less<>> seen_;
    std::string last_chrom_;
    uint64_t last_begin_ = 0;
    bool any_ = false;
};

class IndexBuilder {
public:
    explicit IndexBuilder(IndexFormat format);
    IndexBuilder(IndexBuilder&&) noexcept;
    IndexBuilder& operator=(IndexBuilder&&) noexcept;
    ~IndexBuilder();

    // A record in file order; `start` is the uncompressed offset of its line's first
    // byte, `end` the offset just past its line feed. Nothing of `record` is kept but a
    // copy of a new CHROM. Errors: CHROM seen before and left, POS going back within a
    // CHROM, an empty CHROM, a position beyond what the format holds (TBI: 2^29, naming
    // CSI; CSI: 2^44).
    std::optional<std::string> add(const RecordSpan& record, uint64_t start, uint64_t end);

    // The next compressed blocks of the indexed file, in order, starting with its first
    // block; the end-of-file marker may be included or not.
    void blocks(std::span<const bgzf::BlockSize> sizes);

    // The index file's bytes, BGZF-compressed with the end-of-file marker. The blocks
    // of every record added must have been handed over. Bins have min_shift 14; TBI's
    // depth is 5, CSI's the least from 5 up that holds the largest end. Every reference
    // carries the pseudo-bin (its offsets and record count); unplaced records: 0.
    std::vector<uint8_t> finish() &&;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kestrel::index
