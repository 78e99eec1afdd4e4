// The index builder against tabix and bcftools as black boxes: a file compressed by
// kestrel and indexed by the builder must answer region queries exactly as the same
// file indexed by those tools does. Then scatter against a model of its chunks, their
// summaries and their indexes (built from each whole chunk).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "index/binning_index.hpp"
#include "split/scatter_entry.hpp"
#include "support.hpp"
#include "vcf/record_columns.hpp"

using namespace kestrel::bgzf;
using namespace kestrel::index;
using namespace kestrel::testing;
using kestrel::as_bytes;
namespace fs = std::filesystem;

namespace {

// The span of a whole record line; its CHROM views the columns until the next call.
std::variant<RecordSpan, std::string> parse_vcf_record(std::string_view line) {
    static kestrel::vcf::RecordColumns columns;
    columns = kestrel::vcf::read_record(line);
    return columns.span();
}

// Standard output of a shell command; the command must succeed.
std::string run(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[1 << 16];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

// Indexes `text` as a writer would: every record as its line is written; every block
// two blocks' worth of text later, or all of them at the end.
std::variant<std::vector<uint8_t>, std::string> build_index(std::string_view text, std::span<const BlockSize> sizes,
                                                            IndexFormat format, bool blocks_at_end = false) {
    IndexBuilder builder(format);
    size_t handed = 0;
    size_t line_number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        const std::string_view line = text.substr(start, end - start);
        ++line_number;
        if (!line.starts_with('#')) {
            const auto record = parse_vcf_record(line);
            if (const auto failure = std::holds_alternative<std::string>(record)
                                   ? std::optional(std::get<std::string>(record))
                                   : builder.add(std::get<RecordSpan>(record), start, end)) {
                return "line " + std::to_string(line_number) + ": " + *failure;
            }
        }
        while (!blocks_at_end && handed < sizes.size() && (handed + 3) * kMaxBlockData <= end) {
            builder.blocks(sizes.subspan(handed++, 1));
        }
        start = end;
    }
    builder.blocks(sizes.subspan(handed));
    return std::move(builder).finish();
}

// Whole sequences, the stretches before and after their records, and regions of one
// base to megabases around them.
std::vector<std::string> regions_of(std::string_view text, uint32_t seed) {
    std::vector<std::tuple<std::string, uint64_t, uint64_t>> extents;  // 1-based first and last
    for (size_t start = 0, end; start < text.size(); start = end) {
        end = std::min(text.find('\n', start), text.size() - 1) + 1;
        if (text[start] == '#') continue;
        const auto record = std::get<RecordSpan>(parse_vcf_record(text.substr(start, end - start)));
        if (extents.empty() || std::get<0>(extents.back()) != record.chrom) {
            extents.emplace_back(record.chrom, record.begin + 1, record.end);
        }
        std::get<2>(extents.back()) = std::max(std::get<2>(extents.back()), record.end);
    }
    const auto region = [](const std::string& chrom, uint64_t first, uint64_t last) {
        return chrom + ":" + std::to_string(first) + "-" + std::to_string(last);
    };
    std::vector<std::string> regions;
    for (const auto& [chrom, first, last] : extents) {
        regions.insert(regions.end(), {chrom, region(chrom, last + 1, last + 100000)});
        if (first > 1) regions.push_back(region(chrom, 1, first - 1));
    }
    std::mt19937_64 random(seed);
    while (regions.size() < 50) {
        const auto& [chrom, first, last] = extents[random() % extents.size()];
        const uint64_t low = first > 20000 ? first - 20000 : 1;
        const uint64_t from = low + random() % (last + 20000 - low);
        regions.push_back(region(chrom, from, from + std::array{1, 10, 1000, 20000, 300000, 4000000}[random() % 6] - 1));
    }
    return regions;
}

bool oracle_available() { return std::system("command -v tabix >/dev/null && command -v bcftools >/dev/null") == 0; }

// Writes `text` compressed by kestrel twice: once with the builder's index, once indexed
// by the oracle; then both must list the same sequences and answer every region alike.
void expect_same_answers(const std::string& name, const std::string& text, IndexFormat format,
                         std::vector<std::string> regions = {}) {
    SCOPED_TRACE(name + (format == IndexFormat::Tbi ? " with TBI" : " with CSI"));
    const Encoded file = bgzf_encode(as_bytes(text));
    auto index = build_index(text, file.sizes, format);
    ASSERT_TRUE(std::holds_alternative<std::vector<uint8_t>>(index)) << std::get<std::string>(index);
    EXPECT_EQ(std::get<std::vector<uint8_t>>(build_index(text, file.sizes, format, true)),
              std::get<std::vector<uint8_t>>(index))
        << "the index depends on when the blocks were handed over";

    TemporaryDirectory directory;
    const fs::path ours = directory.path() / "ours.vcf.gz";
    const fs::path theirs = directory.path() / "theirs.vcf.gz";
    write_file(ours, file.bytes);
    write_file(theirs, file.bytes);
    write_file(ours.string() + (format == IndexFormat::Tbi ? ".tbi" : ".csi"), std::get<std::vector<uint8_t>>(index));
    run((format == IndexFormat::Tbi ? "tabix -p vcf '" : "bcftools index -c '") + theirs.string() + "' 2>/dev/null");

    EXPECT_EQ(run("tabix -l '" + ours.string() + "'"), run("tabix -l '" + theirs.string() + "'"));
    EXPECT_EQ(run("bcftools index -s '" + ours.string() + "'"), run("bcftools index -s '" + theirs.string() + "'"));
    if (regions.empty()) regions = regions_of(text, static_cast<uint32_t>(text.size()));
    std::string arguments;
    for (const std::string& region : regions) arguments += " '" + region + "'";
    const std::string expected = run("tabix '" + theirs.string() + "'" + arguments + " 2>/dev/null");
    ASSERT_FALSE(expected.empty());
    if (run("tabix '" + ours.string() + "'" + arguments + " 2>/dev/null") == expected) return;
    for (const std::string& region : regions) {
        EXPECT_EQ(run("tabix '" + ours.string() + "' '" + region + "' 2>/dev/null"),
                  run("tabix '" + theirs.string() + "' '" + region + "' 2>/dev/null"))
            << region;
    }
}

// Sorted records on three sequences, one with a 200-byte name, over some 60 blocks:
// SNPs, long REF alleles, END= records of up to megabases (also shorter than REF, or
// before POS, which does not count), jumps that leave windows empty, lines ending
// exactly at block ends, and a record that ends at 2^29, the last position TBI holds.
std::string generated_vcf() {
    std::mt19937_64 random(7);
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    const std::tuple<std::string, uint64_t, uint64_t> sequences[] = {
        {"chr1", 1, 100000000}, {std::string(190, 'x') + "_scaffold", 1, 10000000}, {"chr3", 500000000, 536870000}};
    for (const auto& [chrom, first, limit] : sequences) {
        for (uint64_t pos = first + random() % 5000; pos < limit;
             pos += random() % 400 == 0 ? random() % 2000000 : 1 + random() % 800) {
            const uint64_t kind = random() % 100;
            std::string ref(kind >= 85 && kind < 93 ? 20 + random() % 600 : 1, 'A');
            std::string info = "DP=" + std::to_string(random() % 100);
            if (kind >= 93 && kind < 98) {
                info += ";END=" + std::to_string(std::min<uint64_t>(pos + 1000 + random() % 3000000, limit));
            }
            if (kind == 98) info += ";END=" + std::to_string(pos - 1 - random() % 500);
            if (kind == 99) ref = "ACGTACGTAC", info = "END=" + std::to_string(pos + 2) + ";" + info;
            std::string line = chrom + "\t" + std::to_string(pos) + "\t.\t" + ref + "\tC\t50\tPASS\t" + info;
            const size_t left_in_block = kMaxBlockData - text.size() % kMaxBlockData;
            if (text.size() / kMaxBlockData % 2 == 1 && left_in_block >= line.size() + 6 &&
                left_in_block < line.size() + 200) {
                line += ";PAD=" + std::string(left_in_block - line.size() - 6, 'x');
            }
            text += line + "\n";
        }
    }
    return text + "chr3\t536870911\t.\tAC\tA\t50\tPASS\tDP=1\n";
}

// Each END= form on its own sequence, at POS 16383: the span tabix reads must reach
// past the first 16 kbp window for the query at 16390 to find the record.
const char kEndForms[] =
    "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\n"
    "plain\t16383\t.\tA\t<DEL>\t.\t.\tEND=16500\tGT\t0\n"
    "middle\t16383\t.\tA\t<DEL>\t.\t.\tDP=3;SVEND=9;END=16500;X=1\tGT\t0\n"
    "first_of_two\t16383\t.\tA\t<DEL>\t.\t.\tEND=16500;END=16384\tGT\t0\n"
    "space_sign_suffix\t16383\t.\tA\t<DEL>\t.\t.\tEND= +16500x\tGT\t0\n"
    "shorter_than_ref\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\tEND=16384\tGT\t0\n"
    "equal_pos\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\tEND=16383\tGT\t0\n"
    "before_pos\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\tEND=16382\tGT\t0\n"
    "not_a_number\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\tEND=x16500\tGT\t0\n"
    "flag\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\tEND\tGT\t0\n"
    "in_format\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\t.\t.\t.\tEND\t16385\n"
    "no_info\t16383\t.\tAAAAAAAAAAAAAAAAAAAA\tA\n";

std::string data_file(const char* name) { return read_file(fs::path(KESTREL_TEST_DATA) / name); }

}  // namespace

TEST(TabixIndex, AnswersRegionsLikeTabixAndBcftools) {
    if (!oracle_available()) GTEST_SKIP() << "tabix and bcftools are needed";
    const std::string generated = generated_vcf();
    ASSERT_GT(generated.size(), 40 * kMaxBlockData);
    size_t lines_ending_blocks = 0;
    for (size_t end = kMaxBlockData; end <= generated.size(); end += kMaxBlockData) {
        lines_ending_blocks += generated[end - 1] == '\n';
    }
    ASSERT_GT(lines_ending_blocks, 15u);
    for (const IndexFormat format : {IndexFormat::Tbi, IndexFormat::Csi}) {
        expect_same_answers("generated", generated, format);
        expect_same_answers("vcf44-features.vcf", data_file("vcf44-features.vcf"), format);
        expect_same_answers("haploid-x.vcf", data_file("haploid-x.vcf"), format);
        std::vector<std::string> points;
        for (const std::string chrom : {"plain", "middle", "first_of_two", "space_sign_suffix", "shorter_than_ref",
                                        "equal_pos", "before_pos", "not_a_number", "flag", "in_format", "no_info"}) {
            points.push_back(chrom + ":16390-16390");
            points.push_back(chrom);
        }
        expect_same_answers("END forms", kEndForms, format, points);
    }
    // Positions beyond 2^32: CSI only.
    expect_same_answers("sites-index.vcf", data_file("sites-index.vcf"), IndexFormat::Csi);
}

TEST(TabixIndex, RefusesWhatCannotBeIndexed) {
    const auto error_of = [](std::string_view line) {
        const auto parsed = parse_vcf_record(line);
        return std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : "parsed";
    };
    EXPECT_EQ(error_of("chr1\t12x\t.\tA\n"), "POS \"12x\" is not a number");
    EXPECT_EQ(error_of("chr1\t\t.\tA"), "POS \"\" is not a number");
    EXPECT_EQ(error_of("\t5\t.\tA"), "CHROM is empty");
    EXPECT_EQ(error_of("chr1\t5\t.\n"), "no REF column");
    EXPECT_EQ(error_of("chr1"), "no POS after CHROM \"chr1\"");

    const std::string sites = data_file("sites-index.vcf");
    const Encoded file = bgzf_encode(as_bytes(sites));
    const auto tbi = build_index(sites, file.sizes, IndexFormat::Tbi);
    EXPECT_EQ(std::get<std::string>(tbi),
              "line 25: the record reaches position 10009999919, beyond 536870912 (2^29), the most a TBI index "
              "holds; use CSI");

    // A refused record leaves the builder as it was.
    const std::string text = "a\t5\t.\tA\tC\nb\t9\t.\tA\tC\nb\t20\t.\tA\tC\n";
    const std::vector<BlockSize> block = {{static_cast<uint32_t>(text.size()), 100}};
    IndexBuilder builder(IndexFormat::Tbi);
    EXPECT_FALSE(builder.add({"a", 4, 5}, 0, 10));
    EXPECT_FALSE(builder.add({"b", 8, 9}, 10, 20));
    EXPECT_EQ(builder.add({"a", 6, 7}, 20, 21), "records are not sorted: CHROM \"a\" appears again after \"b\"");
    EXPECT_EQ(builder.add({"b", 7, 8}, 20, 21), "records are not sorted: POS 8 comes after POS 9 on CHROM \"b\"");
    EXPECT_EQ(builder.add({"b", 19, (1u << 29) + 1}, 20, 21),
              "the record reaches position 536870913, beyond 536870912 (2^29), the most a TBI index holds; use CSI");
    EXPECT_FALSE(builder.add({"b", 19, 20}, 20, 31));
    builder.blocks(block);
    EXPECT_EQ(std::move(builder).finish(),
              std::get<std::vector<uint8_t>>(build_index(text, block, IndexFormat::Tbi)));
}

namespace {

// Sorted records over a few sequences: END= spans, equal positions, CRLF, REF, ALT,
// INFO and sample columns long enough to cross reads and blocks, lines that end after
// REF, a last line without LF.
std::string random_sorted_vcf(std::mt19937& random) {
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    const size_t records = random() % 200;
    uint64_t pos = 1 + random() % 1000;
    int chrom = 1;
    for (size_t i = 0; i < records; ++i) {
        if (random() % 40 == 0) {
            ++chrom;
            pos = 1 + random() % 1000;
        }
        pos += random() % 3 == 0 ? 0 : random() % 40000;
        std::string info = random() % 5 == 0 ? "END=" + std::to_string(pos + random() % 100000)
                                             : "DP=" + std::to_string(random() % 50);
        if (random() % 40 == 0) info += ";PAD=" + std::string(70000 + random() % 70000, 'x');
        // REF and ALT of a long deletion or insertion now and then; some lines end after REF.
        // A long REF ends exactly at a 16 kb window, where a length one too long shows.
        const std::string ref(random() % 30 == 0 ? 70000 + (16384 - (pos - 1 + 70000) % 16384) % 16384
                                                 : 1 + random() % 4,
                              'A');
        const std::string alt = random() % 30 == 0 ? std::string(100000, 'G') : "G";
        text += "chr" + std::to_string(chrom) + "\t" + std::to_string(pos) + "\t.\t" + ref;
        if (random() % 10 != 0) text += "\t" + alt + "\t50\tPASS\t" + info + "\tGT\t0/1";
        if (random() % 40 == 0) text += std::string(100000, '1');
        text += random() % 4 == 0 ? "\r\n" : "\n";
    }
    if (records > 0 && random() % 4 == 0) text.pop_back();
    return text;
}

}  // namespace

TEST(Scatter, ChunksSummariesAndIndexesMatchTheModel) {
    std::mt19937 random(7122026);
    for (int round = 0; round < 60; ++round) {
        const std::string text = random_sorted_vcf(random);
        // The model: header lines, then records as the batch model writes them.
        const std::string header = text.substr(0, text.find('\n', text.find("#CHROM")) + 1);
        std::vector<std::string> records;
        for (const std::string& single : model_batches(text, 1)) records.push_back(single.substr(header.size()));
        const TemporaryDirectory work;
        kestrel::ScatterOptions options;
        options.input = (work.path() / "in").string();
        options.output_dir = (work.path() / "out").string();
        std::vector<size_t> sizes;
        if (random() % 2) {
            options.chunks = std::vector<uint64_t>{1, 2, 3, 7, 500}[random() % 5];
            const size_t count = std::min<size_t>(options.chunks, records.size());
            for (size_t i = 0; i < count; ++i) sizes.push_back(records.size() / count + (i < records.size() % count));
        } else {
            options.records_per_chunk = std::vector<uint64_t>{1, 3, 50, 1000}[random() % 4];
            for (size_t left = records.size(); left > 0; left -= std::min<size_t>(left, options.records_per_chunk)) {
                sizes.push_back(std::min<size_t>(left, options.records_per_chunk));
            }
        }
        const int kind = random() % 3;
        if (kind > 0) options.format.index = kind == 1 ? IndexFormat::Tbi : IndexFormat::Csi;
        if (options.format.index || random() % 2) options.format.compression = random() % 2 ? 1 : 6;
        options.tuning.read_size = std::vector<size_t>{1, 7, 4096, 1 << 20}[random() % 4];
        if (text.size() > 20000) options.tuning.read_size = std::max<size_t>(options.tuning.read_size, 4096);
        write_file(options.input, random() % 3 == 0 ? bgzf_encode(as_bytes(text)).bytes : Bytes(text.begin(), text.end()));
        SCOPED_TRACE("round " + std::to_string(round) + ", read size " + std::to_string(options.tuning.read_size));

        const std::vector<kestrel::ChunkSummary> chunks = kestrel::scatter(options);
        ASSERT_EQ(chunks.size(), sizes.size());
        std::set<std::string> expected_names = {"manifest.tsv"};
        const auto field = [](const std::string& line, int n) {
            size_t at = 0;
            while (n-- > 0) at = line.find('\t', at) + 1;
            return line.substr(at, line.find_first_of("\t\r\n", at) - at);
        };
        for (size_t i = 0, next = 0; i < sizes.size(); next += sizes[i++]) {
            std::string content = header;
            for (size_t r = next; r < next + sizes[i]; ++r) content += records[r];
            const kestrel::ChunkSummary& chunk = chunks[i];
            const Encoded compressed = bgzf_encode(as_bytes(content), options.format.compression.value_or(6));
            const std::string bytes = read_file(fs::path(options.output_dir) / chunk.file);
            EXPECT_TRUE(bytes == (options.format.compression ? text_of(compressed.bytes) : content)) << chunk.file;
            expected_names.insert(chunk.file);
            if (options.format.index) {
                const auto index = build_index(content, compressed.sizes, *options.format.index);
                EXPECT_TRUE(read_file(fs::path(options.output_dir) / chunk.index_file) ==
                            text_of(std::get<std::vector<uint8_t>>(index))) << chunk.index_file;
                expected_names.insert(chunk.index_file);
            }
            EXPECT_EQ(std::tuple(chunk.records, chunk.first_chrom, chunk.first_pos, chunk.last_chrom, chunk.last_pos,
                                 chunk.bytes),
                      std::tuple(sizes[i], field(records[next], 0), std::stoull(field(records[next], 1)),
                                 field(records[next + sizes[i] - 1], 0),
                                 std::stoull(field(records[next + sizes[i] - 1], 1)), bytes.size()));
        }
        EXPECT_EQ(read_file(fs::path(options.output_dir) / "manifest.tsv"), kestrel::manifest_text(chunks));
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(options.output_dir)) names.insert(entry.path().filename());
        EXPECT_EQ(names, expected_names);  // nothing else, no temporary
    }
}
