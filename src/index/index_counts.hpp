// The record counts a TBI or CSI index carries: every reference's pseudo-bin holds
// how many records it has (placed and unplaced), and a trailing count gives the
// records without coordinates. What `bcftools index -n` reads, without the data.
//
// Contract: pure functions over the index's uncompressed bytes, which the caller
// holds; an index that is malformed, cut short, or has a reference with bins but no
// pseudo-bin gives nullopt (its counts are unknown), never a stop. Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel::index {

struct IndexCounts {
    std::vector<uint64_t> references;  // records of each reference, in the index's order
    uint64_t unplaced = 0;             // records without coordinates (0 where not given)
    uint64_t total = 0;                // all of them
};

// The counts of a TBI ("TBI\1") or CSI ("CSI\1") index, uncompressed.
std::optional<IndexCounts> read_index_counts(std::span<const uint8_t> index);

}  // namespace kestrel::index
