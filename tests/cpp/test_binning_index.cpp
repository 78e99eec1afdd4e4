// The index builder against tabix and bcftools as black boxes: a file compressed by
// kestrel and indexed by the builder must answer region queries exactly as the same
// file indexed by those tools does.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "index/binning_index.hpp"
#include "split/run/scatter_entry.hpp"
#include "support.hpp"
#include "vcf/record_columns.hpp"

using namespace kestrel::bgzf;
using namespace kestrel::index;
using namespace kestrel::testing;
using kestrel::as_bytes;
namespace fs = std::filesystem;

namespace {

// Standard output of a shell command; the command must succeed.
std::string run(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[1 << 16];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
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
    EXPECT_EQ(run("tabix '" + ours.string() + "'" + arguments + " 2>/dev/null"), expected);
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
    if (std::system("command -v tabix >/dev/null && command -v bcftools >/dev/null") != 0) GTEST_SKIP() << "tabix and bcftools are needed";
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
            points.insert(points.end(), {chrom + ":16390-16390", chrom});
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
    EXPECT_EQ(std::get<std::string>(build_index(sites, bgzf_encode(as_bytes(sites)).sizes, IndexFormat::Tbi)),
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
