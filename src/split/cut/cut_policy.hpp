// Where batches end: the run's cut rule, one interface the splitter consults for every
// record. The count rule (CountCut): batch N holds a planned number of records, the
// balanced sizes of a fixed number of chunks or a fixed size per batch. The rules by
// place (PlaceCut) read each record's CHROM and POS: the count rule's cuts kept off a
// run of records at one position, and a cut at every change of contig.
//
// Contract: pure bookkeeping; the one failure is a record a rule refuses (a contig
// that comes back), which the splitter turns into the problem of its line. A policy
// belongs to one split and is used by its thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
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

    // The count rule itself: the size of the plan's `ordinal`-th batch, from 1.
    uint64_t size_at(uint64_t ordinal) const {
        return std::max<uint64_t>(per_batch + (ordinal <= larger_batches ? 1 : 0), 1);
    }
    uint64_t size_of(int32_t number) const { return size_at(static_cast<uint64_t>(number - first_number + 1)); }
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
    // A record comes, `key` being its CHROM and POS, while batch `number` holds
    // `in_batch` records: whether the record starts a new batch, ending that one. Asked
    // only of a policy that reads keys, so that the count rule costs nothing per record.
    virtual bool cut_before(const RecordKey& /*key*/, int32_t /*number*/, uint64_t /*in_batch*/) { return false; }
    // Batch `number` is complete, whatever follows, once it holds this many records (it
    // is then saved without waiting for more input); UINT64_MAX: only a cut before a
    // later record ends it. Asked once, as the batch begins.
    virtual uint64_t complete_at(int32_t number) = 0;
    // After cut_before(): why the record cannot go on, if it cannot.
    virtual std::optional<std::string> refusal() { return std::nullopt; }
};

// The count rule: batch N is complete at plan.size_of(N) records.
class CountCut final : public CutPolicy {
public:
    explicit CountCut(BatchPlan plan) : plan_(plan) {}
    uint64_t complete_at(int32_t number) override { return plan_.size_of(number); }

private:
    BatchPlan plan_;
};

// The rules by place, over the count rule.
//
// - by_contig: a cut wherever CHROM changes, so that no chunk holds two contigs; the
//   count rule then runs within each contig, from its first record. A CHROM that
//   comes back after another one is refused.
// - keep_together: no cut between two records at one position (vcf::same_position).
//   A cut of the count rule that falls inside such a run moves forward to the run's
//   end: the chunk before grows by less than the run, the next one shrinks by as
//   much, and cuts that meet become one (fewer chunks). A contig's end is a cut of its
//   own, so a moved cut never passes it.
struct PlaceRules {
    bool keep_together = false;
    bool by_contig = false;

    bool any() const { return keep_together || by_contig; }
};

// One contig of the input: its records and, with a fixed number of chunks, its share
// of them.
struct ContigShare {
    std::string chrom;
    uint64_t records = 0;
    uint64_t chunks = 1;
};

// A fixed number of chunks shared among contigs holding `records` each (none empty), in
// the same order. With no more chunks than contigs, one each. Otherwise in proportion
// to the records, by largest remainder, every contig given at least one: the contigs
// whose exact share is below one get one each (the smallest first, as long as the rest
// keeps a share below one), the other chunks go to the other contigs in proportion to
// their records, each its share's whole part, and the chunks left over one each to the
// largest remainders (the earlier contig first among equal remainders).
std::vector<uint64_t> apportion(const std::vector<uint64_t>& records, uint64_t chunks);

// The count rule of a fixed number of chunks with by_contig: contig by contig, its
// share of the chunks, balanced over its records.
std::vector<ContigShare> contig_shares(std::vector<ContigShare> contigs, uint64_t chunks);

class PlaceCut final : public CutPolicy {
public:
    // `plan`: the count rule in each stretch it restarts in (the whole input, or each
    // contig with by_contig); none: no count cuts. `contigs`: with by_contig and a
    // fixed number of chunks, every contig's share in input order, which then gives
    // each contig's plan.
    PlaceCut(PlaceRules rules, std::optional<BatchPlan> plan, std::vector<ContigShare> contigs = {})
        : rules_(rules), plan_(plan), contigs_(std::move(contigs)) {}

    bool reads_keys() const override { return true; }
    bool cut_before(const RecordKey& key, int32_t number, uint64_t in_batch) override;
    // A batch ends only when the record after it is seen.
    uint64_t complete_at(int32_t) override { return UINT64_MAX; }
    std::optional<std::string> refusal() override { return std::exchange(refusal_, std::nullopt); }

private:
    void start_stretch(std::string_view chrom);
    uint64_t nominal_size(uint64_t ordinal) const;

    PlaceRules rules_;
    std::optional<BatchPlan> plan_;
    std::vector<ContigShare> contigs_;
    std::optional<BatchPlan> stretch_plan_;
    size_t next_contig_ = 0;
    bool started_ = false;
    bool pending_ = false;   // a count cut was passed inside a run, not yet made
    uint64_t at_ = 0;        // the record's place in its stretch, from 0
    uint64_t next_cut_ = 0;  // where the count rule cuts next in the stretch
    uint64_t ordinal_ = 0;   // the count rule's batch of the stretch the record is in
    std::string last_chrom_;
    std::optional<uint64_t> last_pos_;
    std::set<std::string, std::less<>> seen_;
    std::optional<std::string> refusal_;
};

}  // namespace kestrel
