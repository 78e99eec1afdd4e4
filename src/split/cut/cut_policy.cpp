#include "split/cut/cut_policy.hpp"

#include <limits>
#include <numeric>

#include "base/debug_text.hpp"
#include "vcf/record_key.hpp"

namespace kestrel {
namespace {

__extension__ typedef unsigned __int128 Wide;  // products of two counts

}  // namespace

std::vector<uint64_t> apportion(const std::vector<uint64_t>& records, uint64_t chunks) {
    std::vector<uint64_t> shares(records.size(), 1);
    if (chunks <= records.size() || records.empty()) return shares;  // no contig: nothing to share
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return records[a] < records[b]; });
    const Wide total = std::accumulate(records.begin(), records.end(), Wide{0});
    // The smallest contigs whose share is below one take one each, as long as the
    // share of the next one among the rest stays below one.
    size_t fixed = 0;
    Wide fixed_records = 0;
    while (fixed < order.size() && Wide{chunks - fixed} * records[order[fixed]] < total - fixed_records) {
        fixed_records += records[order[fixed++]];
    }
    const uint64_t rest = chunks - fixed;
    const Wide rest_records = total - fixed_records;
    uint64_t given = 0;
    std::vector<Wide> remainder(records.size(), 0);
    for (size_t i = fixed; i < order.size(); ++i) {
        const Wide share = Wide{rest} * records[order[i]];
        shares[order[i]] = static_cast<uint64_t>(share / rest_records);
        remainder[order[i]] = share % rest_records;
        given += shares[order[i]];
    }
    std::vector<size_t> others(order.begin() + static_cast<ptrdiff_t>(fixed), order.end());
    std::sort(others.begin(), others.end(), [&](size_t a, size_t b) {
        return remainder[a] != remainder[b] ? remainder[a] > remainder[b] : a < b;
    });
    for (size_t i = 0; given < rest; ++i, ++given) ++shares[others[i]];
    return shares;
}

std::vector<ContigShare> contig_shares(std::vector<ContigShare> contigs, uint64_t chunks) {
    std::vector<uint64_t> records;
    for (const ContigShare& contig : contigs) records.push_back(contig.records);
    const std::vector<uint64_t> shares = apportion(records, chunks);
    for (size_t i = 0; i < contigs.size(); ++i) contigs[i].chunks = shares[i];
    return contigs;
}

uint64_t PlaceCut::nominal_size(uint64_t ordinal) const {
    if (!stretch_plan_) return std::numeric_limits<uint64_t>::max();
    return stretch_plan_->size_at(ordinal);
}

void PlaceCut::start_stretch(std::string_view chrom) {
    stretch_plan_ = plan_;
    if (!contigs_.empty()) {
        // Each contig's plan from the counting pass; a contig it did not see (the input
        // changed since) is one chunk, and the count check fails the run at its end.
        stretch_plan_.reset();
        if (next_contig_ < contigs_.size() && contigs_[next_contig_].chrom == chrom) {
            const ContigShare& contig = contigs_[next_contig_];
            stretch_plan_ = BatchPlan::balanced(contig.records, contig.chunks);
        }
        ++next_contig_;
    }
    at_ = 0;
    ordinal_ = 1;
    next_cut_ = nominal_size(1);
    pending_ = false;
    if (rules_.by_contig) seen_.emplace(chrom);
}

bool PlaceCut::cut_before(const RecordKey& key, int32_t, uint64_t) {
    bool cut = false;
    if (!started_) {
        started_ = true;
        start_stretch(key.chrom);
    } else if (rules_.by_contig && key.chrom != last_chrom_) {
        if (seen_.contains(key.chrom)) {
            refusal_ = "CHROM " + debug_quoted_prefix(key.chrom) + " appears again after " +
                       debug_quoted_prefix(last_chrom_) + ": chunks by contig need each contig's records together";
        }
        start_stretch(key.chrom);
        cut = true;
    } else {
        if (++at_ == next_cut_) {
            pending_ = true;
            const uint64_t size = nominal_size(++ordinal_);
            next_cut_ = size > std::numeric_limits<uint64_t>::max() - next_cut_ ? std::numeric_limits<uint64_t>::max()
                                                                                 : next_cut_ + size;
        }
        cut = pending_ && !(rules_.keep_together && vcf::same_position(key.chrom, key.pos, last_chrom_, last_pos_));
        if (cut) pending_ = false;
    }
    if (key.chrom != last_chrom_) last_chrom_.assign(key.chrom);
    last_pos_ = key.pos;
    return cut;
}

}  // namespace kestrel
