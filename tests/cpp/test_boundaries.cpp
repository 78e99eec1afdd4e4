// Chunk boundaries by place (keep_together, by_contig) against a plain model of the
// rules, locally and as tasks run in a shuffled order: the same chunk sizes, the same
// files, the same refusal of a contig that comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bgzf/deflate.hpp"
#include "split/cluster_run.hpp"
#include "split/cut_policy.hpp"
#include "split/scatter_entry.hpp"
#include "split/tasks.hpp"
#include "support.hpp"

using namespace kestrel::testing;

namespace {

struct Key {
    std::string chrom;
    std::optional<uint64_t> pos;
};

bool same(const Key& a, const Key& b) { return a.chrom == b.chrom && a.pos && b.pos && *a.pos == *b.pos; }

// Contig shares as the rule reads: contigs whose exact share is below one get one and
// drop out, again and again; the rest get their share's whole part, then one each by
// largest remainder (the earlier first among equals). Fewer chunks than contigs: one each.
std::vector<uint64_t> model_shares(const std::vector<uint64_t>& records, uint64_t chunks) {
    std::vector<uint64_t> shares(records.size(), 1);
    if (chunks <= records.size()) return shares;
    std::vector<bool> fixed(records.size(), false);
    uint64_t rest = chunks, total = 0;
    for (uint64_t n : records) total += n;
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = 0; i < records.size(); ++i) {
            if (!fixed[i] && rest * records[i] < total) {
                fixed[i] = changed = true;
                --rest;
                total -= records[i];
            }
        }
    }
    uint64_t given = 0;
    std::vector<std::pair<uint64_t, size_t>> remainders;  // (remainder, contig)
    for (size_t i = 0; i < records.size(); ++i) {
        if (fixed[i]) continue;
        shares[i] = rest * records[i] / total;
        given += shares[i];
        remainders.push_back({rest * records[i] % total, i});
    }
    std::stable_sort(remainders.begin(), remainders.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (size_t i = 0; given < rest; ++i, ++given) ++shares[remainders[i].second];
    return shares;
}

struct Options {
    uint64_t per_chunk = 0, chunks = 0;
    bool keep = false, by_contig = false;
};

struct Expected {
    std::vector<uint64_t> sizes;
    std::optional<size_t> refused;  // the record of a contig that comes back
};

// Cut points by the count rule in each stretch, each moved past a run of one position,
// cuts that meet made one.
Expected model(const std::vector<Key>& keys, const Options& options) {
    Expected expected;
    std::vector<std::pair<size_t, size_t>> stretches;  // [begin, end)
    std::vector<std::string> seen;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (options.by_contig && i > 0 && keys[i].chrom != keys[i - 1].chrom &&
            std::count(seen.begin(), seen.end(), keys[i].chrom)) {
            expected.refused = i;
            break;
        }
        if (i == 0 || (options.by_contig && keys[i].chrom != keys[i - 1].chrom)) {
            seen.push_back(keys[i].chrom);
            stretches.push_back({i, i});
        }
        stretches.back().second = i + 1;
    }
    if (expected.refused && options.chunks > 0) return expected;
    std::vector<uint64_t> shares(stretches.size(), options.chunks);
    if (options.by_contig && options.chunks > 0) {
        std::vector<uint64_t> records;
        for (auto [begin, end] : stretches) records.push_back(end - begin);
        shares = model_shares(records, options.chunks);
    }
    std::vector<size_t> cuts;
    for (size_t s = 0; s < stretches.size(); ++s) {
        const auto [begin, end] = stretches[s];
        cuts.push_back(begin);
        std::vector<size_t> nominal;
        if (options.per_chunk > 0) {
            for (size_t at = begin + options.per_chunk; at < end; at += options.per_chunk) nominal.push_back(at);
        } else if (options.chunks > 0) {
            const size_t n = end - begin, k = std::min<size_t>(shares[s], n);
            for (size_t j = 1, at = begin; j < k; ++j) nominal.push_back(at += n / k + (j <= n % k ? 1 : 0));
        }
        for (size_t at : nominal) {
            while (options.keep && at < end && same(keys[at - 1], keys[at])) ++at;
            if (at < end && at > cuts.back()) cuts.push_back(at);
        }
    }
    const size_t records = expected.refused.value_or(keys.size());
    cuts.push_back(records);
    for (size_t i = 1; i < cuts.size(); ++i) {
        if (cuts[i] > cuts[i - 1]) expected.sizes.push_back(cuts[i] - cuts[i - 1]);
    }
    return expected;
}


// Records with runs of one position of any length, contigs that now and then come
// back, POS that is not a number, long CHROMs and lines, CR LF endings.
std::vector<Key> random_keys(std::mt19937& random) {
    std::vector<Key> keys;
    const size_t records = 1 + random() % 400;
    const std::string stem = random() % 6 == 0 ? std::string(900, 'c') : "chr";
    uint64_t pos = 1;
    size_t contig = 0;
    while (keys.size() < records) {
        if (random() % 40 == 0) contig = random() % 4 == 0 ? random() % (contig + 1) : contig + 1, pos = 1;
        pos += random() % 3;
        const size_t run = random() % 4 == 0 ? 1 + random() % 40 : 1;
        for (size_t i = 0; i < run && keys.size() < records; ++i) {
            keys.push_back({stem + std::to_string(contig), random() % 50 == 0 ? std::nullopt : std::optional(pos)});
        }
    }
    // Now and then the first contig comes back.
    if (random() % 4 == 0 && keys.back().chrom != keys.front().chrom) {
        keys.insert(keys.end() - static_cast<ptrdiff_t>(random() % std::min<size_t>(keys.size(), 5)), keys.front());
    }
    return keys;
}

std::string vcf_of(const std::vector<Key>& keys, std::mt19937& random) {
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    for (const Key& key : keys) {
        const std::string info = random() % 30 == 0 ? std::string(3000, 'x') : "DP=1";
        text += key.chrom + "\t" + (key.pos ? std::to_string(*key.pos) : ".") + "\t.\tA\tG\t50\tPASS\t" + info;
        text += random() % 5 == 0 ? "\r\n" : "\n";
    }
    return text;
}

}  // namespace

TEST(Boundaries, ApportionsChunksAmongContigs) {
    struct Case {
        std::vector<uint64_t> records;
        uint64_t chunks;
        std::vector<uint64_t> shares;
    };
    for (const Case& c : std::vector<Case>{
             {{900, 100}, 10, {9, 1}},          // in proportion
             {{1000, 10}, 4, {3, 1}},           // the small one still gets one
             {{5, 5, 5}, 2, {1, 1, 1}},         // fewer chunks than contigs: one each
             {{3, 3, 4}, 5, {2, 1, 2}},         // remainders 0.5, 0.5, 0; the earlier first
             {{1, 1, 98}, 4, {1, 1, 2}},        // the two small ones drop out
             {{3, 2}, 100, {60, 40}},           // more chunks than records (each then holds one)
             {{UINT64_MAX / 2, 1}, UINT64_MAX, {UINT64_MAX - 2, 2}},
         }) {
        EXPECT_EQ(kestrel::apportion(c.records, c.chunks), c.shares);
        if (c.chunks < 1000) {
            EXPECT_EQ(model_shares(c.records, c.chunks), c.shares);
        }
    }
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint64_t> records(1 + random() % 8);
        for (auto& n : records) n = 1 + random() % (random() % 2 ? 10 : 10000);
        const uint64_t chunks = 1 + random() % 40;
        EXPECT_EQ(kestrel::apportion(records, chunks), model_shares(records, chunks));
    }
}

TEST(Boundaries, ChunksFollowThePlainRulesLocallyAndAsTasks) {
    std::mt19937 random(20260101);
    int refused = 0;
    for (int round = 0; round < 160 / kRoundsDivisor; ++round) {
        const TemporaryDirectory temporary;
        const std::filesystem::path& work = temporary.path();
        const std::vector<Key> keys = random_keys(random);
        const std::string text = vcf_of(keys, random);
        Options rules;
        rules.keep = random() % 3 != 0;
        rules.by_contig = !rules.keep || random() % 2;
        const int count = random() % (rules.by_contig ? 3 : 2);
        if (count == 0) rules.per_chunk = std::vector<uint64_t>{1, 2, 7, 60}[random() % 4];
        if (count == 1) rules.chunks = std::vector<uint64_t>{1, 2, 3, 9, 40, 1000}[random() % 6];
        kestrel::ScatterOptions options;
        options.records_per_chunk = rules.per_chunk;
        options.chunks = rules.chunks;
        options.place = {rules.keep, rules.by_contig};
        options.input = (work / "in.vcf").string();
        const Bytes plain(text.begin(), text.end());
        write_file(options.input, random() % 2 ? bgzf_encode(plain, 1).bytes : plain);
        if (random() % 2) options.format.compression = 1;
        if (options.format.compression && random() % 2) options.format.index = kestrel::index::IndexFormat::Csi;
        options.tuning.read_size = random() % 3 == 0 ? 1 + random() % 40 : size_t{1} << 20;  // keys across pieces
        SCOPED_TRACE("round " + std::to_string(round));

        const Expected expected = model(keys, rules);
        options.output_dir = (work / "local").string();
        const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
        if (options.format.index && !local.failure.empty()) {
            // An index's own order check may stop the run first.
        } else if (expected.refused) {
            ++refused;
            EXPECT_NE(local.failure.find("line " + std::to_string(*expected.refused + 3) + ": CHROM \""),
                      std::string::npos) << local.failure;
            EXPECT_NE(local.failure.find("appears again after"), std::string::npos);
            EXPECT_EQ(local.line, *expected.refused + 3);
        } else {
            EXPECT_EQ(local.failure, "");
            EXPECT_EQ(local.sizes(), expected.sizes);
        }
        // The same run as tasks: ranges of a few hundred bytes up to the default.
        options.output_dir = (work / "tasks").string();
        ShufflingRunner runner(static_cast<uint32_t>(round));
        const uint64_t range_bytes = std::vector<uint64_t>{1, 300, 5000, 0}[random() % 4];
        const Outcome tasks = outcome_of([&] { return kestrel::scatter_on(runner, options, range_bytes, range_bytes / 4); });
        EXPECT_EQ(tasks.failure, local.failure);
        EXPECT_EQ(tasks.line, local.line);
        EXPECT_EQ(tasks.sizes(), local.sizes());
        // Refused, the chunks before the contig that comes back are saved alike.
        if (local.failure.empty() || !options.format.index) {
            EXPECT_EQ(files_of(work / "tasks"), files_of(work / "local"));
        }
    }
    EXPECT_GT(refused, 5 / kRoundsDivisor);
}
