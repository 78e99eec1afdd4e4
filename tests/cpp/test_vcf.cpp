// The vcf layer against plain models that read a whole line (or text) at once: a
// record's columns and its key fed in parts of every size, and line starts.
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

// A line read whole: CHROM, POS where it is 1 to 19 digits, and the span an index takes
// ("" where the line cannot be indexed).
struct Columns {
    std::string chrom;
    std::optional<uint64_t> pos;
    std::string span;
};
Columns model(std::string line) {
    if (line.ends_with('\r')) line.pop_back();  // a line's last CR belongs to no column
    std::vector<std::string> fields(1);
    for (const char c : line) c == '\t' ? (void)fields.emplace_back() : fields.back().push_back(c);
    const std::string& pos = fields.size() > 1 ? fields[1] : "";
    Columns columns{fields[0]};
    if (!pos.empty() && pos.size() < 20 && pos.find_first_not_of("0123456789") == std::string::npos) columns.pos = std::stoull(pos);
    if (columns.chrom.empty() || columns.chrom.size() > vcf::kMaxChromLength || columns.chrom[0] == '#' ||
        !columns.pos || *columns.pos >= uint64_t{1} << 62 || fields.size() < 4) {
        return columns;
    }
    const int64_t start = static_cast<int64_t>(std::max<uint64_t>(*columns.pos, 1)) - 1;
    int64_t end = start + static_cast<int64_t>(fields[3].size());
    const std::string info = std::string(";").append(fields.size() > 7 ? fields[7] : "");
    if (const size_t item = info.find(";END="); item != std::string::npos) {  // the first, read as strtol reads it
        end = std::max<int64_t>(end, std::strtoll(info.c_str() + item + 5, nullptr, 10));
    }
    columns.span = columns.chrom + ":" + std::to_string(start) + "-" + std::to_string(std::max(end, start + 1));
    return columns;
}

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

TEST(RecordColumnsAndKey, FedInPartsOfEverySizeReadAsTheModelReadsTheWholeLine) {
    std::mt19937 random(17);
    for (int round = 0; round < 3000 / kRoundsDivisor; ++round) {
        const std::string line = random_line(random);
        const Columns expected = model(line);
        const std::string span = shown(vcf::read_record(line));
        ASSERT_EQ(span[0] == '!' ? "" : span, expected.span) << debug_quoted(line);
        for (size_t part = 1; part <= std::min<size_t>(line.size(), 80); ++part) {
            vcf::RecordColumns columns;
            vcf::KeyReader key;
            for (size_t at = 0, complete = false; at < line.size(); at += part) {
                const auto bytes = as_bytes(line).subspan(at, std::min(part, line.size() - at));
                columns.feed(bytes);
                complete = complete || key.feed(bytes);  // the key is read only as far as it goes
            }
            key.end();
            ASSERT_EQ(shown(columns), span) << debug_quoted(line) << part;
            const bool too_long = expected.chrom.size() > vcf::kMaxChromLength;  // then nothing else counts
            ASSERT_EQ(std::tuple(columns.chrom_too_long(), key.chrom_too_long(), too_long ? "" : std::string(key.chrom()),
                                 too_long ? std::nullopt : key.pos()),
                      std::tuple(too_long, too_long, too_long ? "" : expected.chrom, too_long ? std::nullopt : expected.pos))
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
