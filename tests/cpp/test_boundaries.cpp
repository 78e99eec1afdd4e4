// The scatter against plain models of where its chunks end (counts, keep_together,
// by_contig, contig shares) and what they hold (files, summaries, indexes, manifest);
// and the same scatter as tasks (shuffled, some run twice, crossing as bytes) against
// the local run: the same files, summaries and failure, whatever the ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bgzf/deflate.hpp"
#include "split/cut/cut_policy.hpp"
#include "split/run/cluster_run.hpp"
#include "split/run/scatter_entry.hpp"
#include "split/run/tasks.hpp"
#include "support.hpp"

using namespace kestrel::testing;
using kestrel::as_bytes;

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
    if (chunks <= records.size() || records.empty()) return shares;
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

struct Expected {
    std::vector<uint64_t> sizes;
    std::optional<size_t> refused;  // the record of a contig that comes back
};

// Cut points by the count rule in each stretch, each moved past a run of one position,
// cuts that meet made one.
Expected model(const std::vector<Key>& keys, const kestrel::ScatterOptions& options) {
    Expected expected;
    const bool by_contig = options.place.by_contig;
    std::vector<std::pair<size_t, size_t>> stretches;  // [begin, end)
    std::vector<std::string> seen;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (by_contig && i > 0 && keys[i].chrom != keys[i - 1].chrom &&
            std::count(seen.begin(), seen.end(), keys[i].chrom)) {
            expected.refused = i;
            break;
        }
        if (i == 0 || (by_contig && keys[i].chrom != keys[i - 1].chrom)) {
            seen.push_back(keys[i].chrom);
            stretches.push_back({i, i});
        }
        stretches.back().second = i + 1;
    }
    if (expected.refused && options.chunks > 0) return expected;
    std::vector<uint64_t> shares(stretches.size(), options.chunks);
    if (by_contig && options.chunks > 0) {
        std::vector<uint64_t> records;
        for (auto [begin, end] : stretches) records.push_back(end - begin);
        shares = model_shares(records, options.chunks);
    }
    std::vector<size_t> cuts;
    for (size_t s = 0; s < stretches.size(); ++s) {
        const auto [begin, end] = stretches[s];
        cuts.push_back(begin);
        std::vector<size_t> nominal;
        if (const uint64_t step = options.records_per_chunk) {
            for (size_t at = begin + step; at < end; at += step) nominal.push_back(at);
        } else if (options.chunks > 0) {
            const size_t n = end - begin, k = std::min<size_t>(shares[s], n);
            for (size_t j = 1, at = begin; j < k; ++j) nominal.push_back(at += n / k + (j <= n % k ? 1 : 0));
        }
        for (size_t at : nominal) {
            while (options.place.keep_together && at < end && same(keys[at - 1], keys[at])) ++at;
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


struct Input {
    std::string text;
    std::vector<Key> keys;
};

// Records over a few sequences, sorted or not: runs of one position, now and then a
// contig that comes back or POS ".", END= spans, CRLF, CHROMs and columns long enough
// to cross reads and blocks, lines ending after REF, a 64 KiB header line, no last LF.
Input random_input(std::mt19937& random) {
    Input input{"##fileformat=VCFv4.2\n", {}};
    std::string& text = input.text;
    std::vector<Key>& keys = input.keys;
    if (random() % 5 == 0) text += "##long=" + std::string(70000 + random() % 30000, 'h') + "\n";
    text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    // wild: contigs that come back, POS "."; huge: lines longer than a block.
    const bool sorted = random() % 8 != 0, wild = random() % 3 == 0, huge = random() % 2 == 0;
    const std::string stem = random() % 6 == 0 ? std::string(900, 'c') : "chr";
    const size_t records = random() % 250;
    uint64_t pos = 1 + random() % 1000;
    for (size_t contig = 1; keys.size() < records;) {
        if (random() % 8 == 0) {
            contig = wild && random() % 2 == 0 ? 1 + random() % contig : contig + 1;
            pos = 1 + random() % 1000;
        }
        pos = sorted ? pos + (random() % 3 == 0 ? 0 : random() % 40000) : 1 + random() % 100000;
        for (size_t run = random() % 4 == 0 ? 1 + random() % 40 : 1; run > 0 && keys.size() < records; --run) {
            const bool dot = wild && random() % 20 == 0;
            keys.push_back({stem + std::to_string(contig), dot ? std::nullopt : std::optional(pos)});
        }
    }
    if (wild && records > 0 && keys.back().chrom != keys.front().chrom) {  // the first contig, near the end
        keys.insert(keys.end() - static_cast<ptrdiff_t>(random() % std::min<size_t>(keys.size(), 5)), keys.front());
    }
    for (const Key& key : keys) {
        const uint64_t at = key.pos.value_or(1);
        std::string info = random() % 5 == 0 ? "END=" + std::to_string(at + random() % 100000) : "DP=1";
        if (huge && random() % 40 == 0) info += ";PAD=" + std::string(70000 + random() % 70000, 'x');
        // A long REF ends exactly at a 16 kb window now and then, where a length one too long shows.
        const std::string ref(huge && random() % 30 == 0 ? 70000 + (16384 - (at - 1 + 70000) % 16384) % 16384
                                                         : 1 + random() % 4,
                              'A');
        text += key.chrom + "\t" + (key.pos ? std::to_string(at) : ".") + "\t.\t" + ref;
        if (random() % 10 != 0) {
            const std::string alt(huge && random() % 30 == 0 ? 100000 : 1, 'G');
            text += "\t" + alt + "\t50\tPASS\t" + info + "\tGT\t0/1";
        }
        text += random() % 4 == 0 ? "\r\n" : "\n";
    }
    if (records > 0 && random() % 4 == 0) text.pop_back();
    return input;
}

// The model of a run that succeeded: every chunk the header and its records, compressed
// and indexed block by block; its summary; the manifest; nothing else in the directory.
void expect_the_model(const Input& input, const kestrel::ScatterOptions& options, const std::vector<uint64_t>& sizes,
                      const Outcome& local) {
    const std::string& text = input.text;
    const std::string header = text.substr(0, text.find('\n', text.find("#CHROM")) + 1);
    std::vector<std::string> records;
    for (const std::string& single : model_batches(text, 1)) records.push_back(single.substr(header.size()));
    ASSERT_EQ(local.chunks.size(), sizes.size());
    std::map<std::string, std::string> files;  // name -> content
    for (size_t i = 0, next = 0; i < sizes.size(); next += sizes[i++]) {
        std::string content = header;
        for (size_t r = next; r < next + sizes[i]; ++r) content += records[r];
        const kestrel::ChunkSummary& chunk = local.chunks[i];
        const Encoded compressed = bgzf_encode(as_bytes(content), options.format.compression.value_or(6));
        const std::string bytes = options.format.compression ? text_of(compressed.bytes) : content;
        EXPECT_TRUE(files.emplace(chunk.file, bytes).second) << chunk.file;
        if (const auto format = options.format.index) {
            const auto index = std::get<std::vector<uint8_t>>(build_index(content, compressed.sizes, *format));
            EXPECT_TRUE(files.emplace(chunk.index_file, text_of(index)).second) << chunk.index_file;
        }
        const Key& first = input.keys[next];
        const Key& last = input.keys[next + sizes[i] - 1];
        EXPECT_EQ(std::tuple(chunk.records, chunk.first_chrom, chunk.first_pos, chunk.last_chrom, chunk.last_pos,
                             chunk.bytes),
                  std::tuple(sizes[i], first.chrom, first.pos, last.chrom, last.pos, bytes.size()));
    }
    if (options.format.manifest) files.emplace("manifest.tsv", kestrel::manifest_text(local.chunks));
    EXPECT_TRUE(files_of(options.output_dir) == files) << "the files differ from the model's, or there are others";
}

}  // namespace

TEST(Boundaries, ApportionsChunksAmongContigs) {
    using Shares = std::vector<uint64_t>;
    for (const auto& [records, chunks, shares] : std::initializer_list<std::tuple<Shares, uint64_t, Shares>>{
             {{900, 100}, 10, {9, 1}},          // in proportion
             {{1000, 10}, 4, {3, 1}},           // the small one still gets one
             {{5, 5, 5}, 2, {1, 1, 1}},         // fewer chunks than contigs: one each
             {{3, 3, 4}, 5, {2, 1, 2}},         // remainders 0.5, 0.5, 0; the earlier first
             {{1, 1, 98}, 4, {1, 1, 2}},        // the two small ones drop out
             {{3, 2}, 100, {60, 40}},           // more chunks than records (each then holds one)
             {{UINT64_MAX / 2, 1}, UINT64_MAX, {UINT64_MAX - 2, 2}},
             {Shares{}, 2, Shares{}},           // no records, no contigs
         }) {
        EXPECT_EQ(kestrel::apportion(records, chunks), shares);
        EXPECT_EQ(chunks < 1000 ? model_shares(records, chunks) : shares, shares);  // the model, where it can
    }
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint64_t> records(1 + random() % 8);
        for (auto& n : records) n = 1 + random() % (random() % 2 ? 10 : 10000);
        const uint64_t chunks = 1 + random() % 40;
        EXPECT_EQ(kestrel::apportion(records, chunks), model_shares(records, chunks));
    }
}

TEST(Scatter, LocalAndTaskRunsMatchTheModelsAndEachOther) {
    std::mt19937 random(22122026);
    int succeeded = 0, failed = 0, refused = 0;
    for (int round = 0; round < 160 / kRoundsDivisor; ++round) {
        const TemporaryDirectory work;
        Input input = random_input(random);
        std::string& text = input.text;
        // Now and then a header line among the records: the local plan takes over.
        const bool late = random() % 10 == 0 && text.size() > 200;
        if (late) text.insert(text.find('\n', text.size() / 2) + 1, "##late\n");
        kestrel::ScatterOptions options;
        options.place = {random() % 2 == 1, random() % 3 != 0};
        const int count = random() % (options.place.by_contig ? 3 : 2);
        if (count == 0) options.records_per_chunk = std::vector<uint64_t>{1, 2, 3, 7, 50, 1000}[random() % 6];
        if (count == 1) options.chunks = std::vector<uint64_t>{1, 2, 3, 7, 40, 500}[random() % 6];
        options.input = (work.path() / "in").string();
        write_file(options.input, random() % 2 ? bgzf_encode(as_bytes(text)).bytes : Bytes(text.begin(), text.end()));
        using kestrel::index::IndexFormat;
        const int kind = random() % 4;
        if (kind > 1) options.format.index = kind == 2 ? IndexFormat::Tbi : IndexFormat::Csi;
        if (options.format.index || random() % 2) options.format.compression = random() % 2 ? 1 : 6;
        options.format.manifest = random() % 4 != 0;
        // Reads of a few bytes put keys across pieces; they cost a system call each.
        options.tuning.read_size = std::vector<size_t>{1, 7, 40, 4096, 1 << 20}[random() % 5];
        if (text.size() > 20000) options.tuning.read_size = std::max<size_t>(options.tuning.read_size, 4096);
        // Ranges of a byte up to the default, at most a few hundred of them, now and then in parts.
        const uint64_t range_bytes = std::max<uint64_t>(std::vector<uint64_t>{1, 97, 4096, 70000, 0}[random() % 5],
                                                        std::filesystem::file_size(options.input) / 300);
        const uint64_t part_bytes = random() % 2 ? 0 : std::max<uint64_t>(range_bytes / 3, 1);
        SCOPED_TRACE("round " + std::to_string(round) + ", ranges of " + std::to_string(range_bytes) + " bytes");

        const Expected expected = model(input.keys, options);
        options.output_dir = (work.path() / "local").string();
        const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
        if (options.format.index && !local.failure.empty()) {
            // An index's own checks (order, POS) may stop the run first.
        } else if (expected.refused) {
            ++refused;
            uint64_t line = 1;  // that of the refused record
            for (size_t at = 0, record = *expected.refused; text[at] == '#' || record-- > 0; ++line) {
                at = text.find('\n', at) + 1;
            }
            const std::string words = "line " + std::to_string(line) + ": CHROM \"";
            EXPECT_NE(local.failure.find(words), std::string::npos) << local.failure;
            EXPECT_NE(local.failure.find("appears again after"), std::string::npos);
            EXPECT_EQ(local.line, line);
        } else {
            EXPECT_EQ(local.failure, "");
            std::vector<uint64_t> sizes;
            for (const kestrel::ChunkSummary& chunk : local.chunks) sizes.push_back(chunk.records);
            EXPECT_EQ(sizes, expected.sizes);
            if (!late) expect_the_model(input, options, expected.sizes, local);
        }
        options.output_dir = (work.path() / "tasks").string();
        ShufflingRunner runner(static_cast<uint32_t>(round));
        const Outcome tasks = outcome_of([&] { return kestrel::scatter_on(runner, options, range_bytes, part_bytes); });
        EXPECT_EQ(tasks.failure, local.failure);
        ++(local.failure.empty() ? succeeded : failed);
        // Refused, the chunks before the contig that comes back are saved alike.
        if (local.failure.empty() || !options.format.index) {
            EXPECT_EQ(files_of(work.path() / "tasks"), files_of(work.path() / "local"));
        }
        EXPECT_EQ(kestrel::manifest_text(tasks.chunks), kestrel::manifest_text(local.chunks));
        for (const auto& [name, bytes] : files_of(work.path() / "tasks")) {  // no temporary of any attempt
            EXPECT_FALSE(name.starts_with('.')) << name;
            EXPECT_TRUE(local.failure.empty() || name != "manifest.tsv");
        }
    }
    EXPECT_GT(succeeded, 80 / kRoundsDivisor);
    EXPECT_GT(failed, 20 / kRoundsDivisor);
    EXPECT_GT(refused, 5 / kRoundsDivisor);
}
