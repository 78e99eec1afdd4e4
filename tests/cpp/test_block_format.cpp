// The block codec against zlib: what encode_block writes is a gzip member with the
// BGZF header, and decompress_raw names each failure as the texts say; block starts
// found from any offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/stop.hpp"
#include "bgzf/block_scan.hpp"
#include "bgzf/deflate.hpp"
#include "support.hpp"

using namespace kestrel;
using namespace kestrel::bgzf;
using namespace kestrel::testing;

TEST(BlockFormat, BlocksAreGzipMembersWithTheirSizeInTheHeader) {
    std::mt19937 random(5);
    Bytes incompressible(kMaxBlockData);
    for (uint8_t& byte : incompressible) byte = static_cast<uint8_t>(random());
    const std::pair<Bytes, uint32_t> cases[] = {
        {vcf_text(25, 1), 6}, {{}, 6}, {vcf_text(kMaxBlockData, 2), 12},
        {incompressible, 0}, {incompressible, 1}, {incompressible, 6}, {incompressible, 9}, {incompressible, 12}};
    for (const auto& [data, level] : cases) {
        SCOPED_TRACE(std::to_string(data.size()) + " bytes at level " + std::to_string(level));
        Bytes out = {0xAA};  // blocks are appended after what is there
        Compressor compressor(level);
        const auto size = encode_block(out, data, compressor);
        ASSERT_TRUE(std::holds_alternative<size_t>(size));
        ASSERT_EQ(out.size(), 1 + std::get<size_t>(size));
        EXPECT_LE(std::get<size_t>(size), kMaxBlockSize);
        const Bytes head = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 2, 0xff, 6, 0, 'B', 'C', 2, 0};
        EXPECT_TRUE(std::equal(head.begin(), head.end(), out.begin() + 1));
        EXPECT_EQ((out[17] | out[18] << 8) + 1u, std::get<size_t>(size));
        EXPECT_EQ(gunzip(std::span(out).subspan(1)), data);
    }
    // The marker is an empty member whose BSIZE says 28 bytes.
    EXPECT_TRUE(gunzip(kEofMarker).empty());
    EXPECT_EQ(kEofMarker[16] + 1, 28);
}

TEST(BlockFormat, DecompressNamesEachFailure) {
    const Bytes text = vcf_text(5000, 3);
    Bytes block;
    Compressor compressor(1);
    encode_block(block, text, compressor);
    const std::span<const uint8_t> payload = std::span(block).subspan(kBlockHeaderSize);
    const Bytes corrupt = {0x07, 0xff, 0xff, 0xff, 0xff};  // reserved block type 3
    Decompressor decompressor;
    Bytes fits(text.size()), small(10);
    const std::tuple<std::span<const uint8_t>, std::span<uint8_t>, std::string> cases[] = {
        {payload, fits, "5000"},
        {payload, small, "InsufficientSpace"},
        {payload.first(3), fits, "InsufficientSpace"},  // the stream cut short
        {corrupt, fits, "Other(\"Unknown Error\")"},
    };
    for (const auto& [input, output, expected] : cases) {
        const auto result = decompress_raw(decompressor, input, output);
        EXPECT_EQ(std::holds_alternative<size_t>(result) ? std::to_string(std::get<size_t>(result))
                                                          : std::get<BlockDecompressError>(result).debug(),
                  expected);
    }
    EXPECT_EQ(fits, text);
}

// libdeflate refuses a level outside 0 to 12 the way it refuses an allocation that
// fails; a level out of range is the caller's mistake, not a lack of memory.
TEST(BlockFormat, CompressionLevelOutOfRangeIsAUsageStop) {
    for (const uint32_t level : {13u, 100u, UINT32_MAX}) {
        try {
            const QuietStops quiet;
            Compressor compressor(level);
            ADD_FAILURE() << "level " << level << " was taken";
        } catch (const Stop& stopped) {
            const std::string text =
                "compression level " + std::to_string(level) + " is out of range: libdeflate accepts 0 to 12";
            EXPECT_EQ(stopped.message(), text);
            EXPECT_EQ(stopped.detail().kind, StopDetail::Kind::Usage);
            EXPECT_EQ(stopped.detail().text, text);
        }
    }
}

TEST(BlockScan, RangesCutAtTrueBlockStartsOnlyEvenAmongStoredLookAlikes) {
    // Records holding whole end-of-file markers, one after another, stored as they are:
    // every one of them passes the header and data checks on its own.
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\n";
    const std::string markers = text_of(kEofMarker);
    for (int i = 1; i <= 3000; ++i) text += "1\t" + std::to_string(i) + "\t" + markers + markers + markers + "\n";
    const Bytes bytes = bgzf_encode(as_bytes(text), 0).bytes;
    std::vector<uint64_t> starts;  // the true chain, from the start
    for (uint64_t at = 0; at < bytes.size(); at += (bytes[at + 16] | bytes[at + 17] << 8) + 1) starts.push_back(at);
    const auto source = memory_source(bytes);
    for (uint64_t from = 1; from < bytes.size(); from += 4999) {
        const auto found = next_block_start(*source, from, bytes.size());
        const auto expected = std::lower_bound(starts.begin(), starts.end(), from);
        EXPECT_EQ(std::get<uint64_t>(found), expected == starts.end() ? bytes.size() : *expected) << from;
    }
}
