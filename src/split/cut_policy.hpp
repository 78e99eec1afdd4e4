// Where batches end: the run's cut rule, one interface the splitter consults for every
// record. Today's rule counts records (CountCut): batch N holds a planned number of
// them, the balanced sizes of a fixed number of chunks or a fixed size per batch.
// Rules that look at a record's CHROM and POS (keep a position's records together,
// one contig per chunk) come in behind the same interface.
//
// Contract: pure bookkeeping, no failure of its own; a policy belongs to one split
// and is used by its thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrel {

// How many records each batch holds: `per_batch`, and one more in the first
// `larger_batches` batches (the balanced cut into a fixed number of batches).
struct BatchPlan {
    uint64_t per_batch = 1;
    uint64_t larger_batches = 0;
    int32_t first_number = 1;  // the number of the first batch

    // Batches of `records_per_batch` (0 counts as 1), the last one holding the rest.
    static BatchPlan of_size(uint64_t records_per_batch) { return {records_per_batch, 0}; }
    // `chunks` batches of `records` whose sizes differ by at most one, the larger ones
    // first; as many as there are records when there are fewer.
    static BatchPlan balanced(uint64_t records, uint64_t chunks) {
        const uint64_t count = std::min(chunks, std::max<uint64_t>(records, 1));
        return {records / count, records % count};
    }

    uint64_t size_of(int32_t number) const {
        const auto ordinal = static_cast<uint64_t>(number - first_number + 1);
        return std::max<uint64_t>(per_batch + (ordinal <= larger_batches ? 1 : 0), 1);
    }
    // The sizes of the batches that `records` records make, in order.
    std::vector<uint64_t> sizes(uint64_t records) const {
        std::vector<uint64_t> sizes;
        for (int32_t number = first_number; records > 0; ++number) {
            sizes.push_back(std::min(records, size_of(number)));
            records -= sizes.back();
        }
        return sizes;
    }
};

// A record's CHROM and POS, as far as they could be read.
struct RecordKey {
    std::string_view chrom;
    std::optional<uint64_t> pos;
};

class CutPolicy {
public:
    virtual ~CutPolicy() = default;
    // Whether cut_before() needs each record's key: the splitter then reads CHROM and
    // POS before any byte of the record goes to a batch.
    virtual bool reads_keys() const { return false; }
    // A record comes, `key` being its CHROM and POS where the policy reads keys (else
    // empty), while batch `number` holds `in_batch` records: whether the record starts
    // a new batch, ending that one.
    virtual bool cut_before(const RecordKey& key, int32_t number, uint64_t in_batch) = 0;
    // A record ended batch `number` at `in_batch` records: whether the batch is
    // complete, whatever follows (it is then saved without waiting for more input).
    virtual bool complete(int32_t number, uint64_t in_batch) = 0;
};

// The count rule: batch N is complete at plan.size_of(N) records.
class CountCut final : public CutPolicy {
public:
    explicit CountCut(BatchPlan plan) : plan_(plan) {}
    bool cut_before(const RecordKey&, int32_t, uint64_t) override { return false; }
    bool complete(int32_t number, uint64_t in_batch) override { return in_batch >= plan_.size_of(number); }

private:
    BatchPlan plan_;
};

}  // namespace kestrel
