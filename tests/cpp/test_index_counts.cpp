// The record counts of an index, read back from the indexes kestrel's builder writes
// and from those tabix and bcftools write (black boxes) for the same file: every
// reference's count and the total, whatever the format; and an index cut anywhere
// short never gives counts other than its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "index/binning_index.hpp"
#include "index/index_counts.hpp"
#include "support.hpp"

using namespace kestrel::index;
using namespace kestrel::testing;
using kestrel::as_bytes;
namespace fs = std::filesystem;

TEST(IndexCounts, EveryReferenceCountedAsWrittenAndCutShortNeverMiscounted) {
    // Records on three sequences, the second with more than a block's worth.
    const std::vector<uint64_t> counts{3, 4000, 1};
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n";
    for (size_t i = 0; i < counts.size(); ++i) {
        for (uint64_t record = 0; record < counts[i]; ++record) {
            text += "seq" + std::to_string(i) + "\t" + std::to_string(1 + record * 997) + "\t.\tA\tG\n";
        }
    }
    const Encoded file = bgzf_encode(as_bytes(text));
    std::vector<std::pair<std::string, std::vector<uint8_t>>> indexes;
    for (const auto& [name, format] : {std::pair{"ours TBI", IndexFormat::Tbi}, {"ours CSI", IndexFormat::Csi}}) {
        indexes.emplace_back(name, gunzip(std::get<std::vector<uint8_t>>(build_index(text, file.sizes, format))));
    }
    if (std::system("command -v tabix >/dev/null && command -v bcftools >/dev/null") == 0) {
        TemporaryDirectory directory;
        const fs::path path = directory.path() / "in.vcf.gz";
        write_file(path, file.bytes);
        ASSERT_EQ(std::system(("tabix -p vcf '" + path.string() + "' && bcftools index -c '" + path.string() + "'").c_str()), 0);
        indexes.emplace_back("tabix", gunzip(as_bytes(read_file(path.string() + ".tbi"))));
        indexes.emplace_back("bcftools", gunzip(as_bytes(read_file(path.string() + ".csi"))));
    }
    for (const auto& [name, bytes] : indexes) {
        SCOPED_TRACE(name);
        const auto read = read_index_counts(bytes);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->references, counts);
        EXPECT_EQ(read->unplaced, 0u);
        EXPECT_EQ(read->total, 4004u);
        // Only the trailing count of unplaced records may be missing.
        for (size_t length = 0; length < bytes.size(); ++length) {
            const auto cut = read_index_counts(std::span(bytes).first(length));
            ASSERT_EQ(cut ? std::optional<uint64_t>(cut->total) : std::nullopt,
                      length + 8 == bytes.size() ? std::optional<uint64_t>(4004) : std::nullopt) << length;
        }
    }
}
