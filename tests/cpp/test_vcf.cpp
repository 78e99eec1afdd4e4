// The vcf layer: a record's columns and its key fed in parts of every size read as the
// whole line reads (what the whole line gives is checked against tabix and bcftools
// through the indexes, tests/cpp/test_binning_index.cpp), and line starts against the
// plain loop.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/debug_text.hpp"
#include "support.hpp"
#include "vcf/lines.hpp"
#include "vcf/record_columns.hpp"
#include "vcf/record_key.hpp"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// The span the columns give, or "!" and the refusal.
std::string shown(const vcf::RecordColumns& columns) {
    const auto span = columns.span();
    const auto* placed = std::get_if<index::RecordSpan>(&span);
    if (!placed) return "!" + std::get<std::string>(span);
    return std::string(placed->chrom) + ":" + std::to_string(placed->begin) + "-" + std::to_string(placed->end);
}

std::string random_line(std::mt19937& random) {
    const auto pick = [&](std::initializer_list<const char*> from) { return std::string(from.begin()[random() % from.size()]); };
    std::string line = random() % 50 ? pick({"chr1", "1", "", "#x", "chrUn\r1"}) : std::string(1025, 'c');
    const std::string fields[] = {pick({"0", "1", "123", "0012", "12a", "", "9999999999999999999", "-5", "12\r"}), ".",
                                  pick({"A", "ACGT", "", "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN"}), "G", "50", "PASS",
                                  pick({"", "DP=3", "END=500", "END= 42;END=9", "DP=1;END=-3", "END=x", "XEND=900", "END=12abc",
                                        "E;END=+60"}), "GT:DP\t0/1:3"};
    for (size_t i = 0, count = random() % 9; i < count; ++i) line += "\t" + fields[i];
    return line + pick({"", "", "\r", "\r\r"});
}

}  // namespace

TEST(RecordColumnsAndKey, FedInPartsOfEverySizeReadAsTheWholeLine) {
    std::mt19937 random(17);
    for (int round = 0; round < 3000 / kRoundsDivisor; ++round) {
        const std::string line = random_line(random);
        const std::string span = shown(vcf::read_record(line));
        vcf::KeyReader whole;
        whole.feed(as_bytes(line));
        whole.end();
        const bool too_long = whole.chrom_too_long();  // then nothing else counts
        const auto key = [&](vcf::KeyReader& of) {
            return std::tuple(of.chrom_too_long(), too_long ? "" : std::string(of.chrom()), too_long ? std::nullopt : of.pos());
        };
        for (size_t part = 1; part <= std::min<size_t>(line.size(), 80); ++part) {
            vcf::RecordColumns columns;
            vcf::KeyReader parts;
            for (size_t at = 0, complete = false; at < line.size(); at += part) {
                const auto bytes = as_bytes(line).subspan(at, std::min(part, line.size() - at));
                columns.feed(bytes);
                complete = complete || parts.feed(bytes);  // the key is read only as far as it goes
            }
            parts.end();
            ASSERT_EQ(std::tuple(shown(columns), columns.chrom_too_long(), key(parts)), std::tuple(span, too_long, key(whole)))
                << debug_quoted(line) << part;
        }
    }
}

// The counting passes' line starts, against the plain loop, on text thick with line
// feeds and '#' at every length and alignment.
TEST(LineStarts, CountedAsThePlainLoopCountsThem) {
    std::mt19937 random(3);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(random() % 300);
        for (uint8_t& byte : bytes) byte = "\n#x"[random() % 3];
        uint64_t records = 0, headers = 0, starts = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            if (bytes[i] == '\n') (bytes[i + 1] == '#' ? headers : records) += 1;
        }
        vcf::for_each_line_start(bytes, [&](uint8_t first) { starts += vcf::is_record_start(first); });
        ASSERT_EQ(std::tuple(vcf::records_starting_inside(bytes), starts, vcf::line_starts_inside(bytes)),
                  std::tuple(records, records, records | headers << 32));
    }
}
