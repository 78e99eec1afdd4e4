#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"

using namespace kestrel::bgzf;

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
    return bytes;
}

// Inflates one gzip member with zlib, independently of the code under test.
std::vector<uint8_t> gunzip_member(std::span<const uint8_t> member) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 16 + 15), Z_OK);
    std::vector<uint8_t> out(1 << 17);
    stream.next_in = const_cast<Bytef*>(member.data());
    stream.avail_in = static_cast<uInt>(member.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

}  // namespace

TEST(BlockFormat, DataBlockLayoutAndRoundTrip) {
    const std::string text = "#CHROM\tPOS\n1\t100\n1\t200\n";
    std::vector<uint8_t> out = {0xAA};  // blocks are appended after what is there
    Compressor compressor(6);
    auto size = encode_block(out, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, compressor);
    ASSERT_TRUE(std::holds_alternative<size_t>(size));
    ASSERT_EQ(out.size(), 1 + std::get<size_t>(size));
    const std::vector<uint8_t> expected_head = {0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0x02, 0xff, 0x06, 0x00, 0x42, 0x43, 0x02, 0x00};
    EXPECT_TRUE(std::equal(expected_head.begin(), expected_head.end(), out.begin() + 1));
    const size_t bsize = out[17] | out[18] << 8;
    EXPECT_EQ(bsize + 1, std::get<size_t>(size));
    const auto plain = gunzip_member(std::span<const uint8_t>(out).subspan(1));
    EXPECT_EQ(std::string(plain.begin(), plain.end()), text);
}

TEST(BlockFormat, IncompressibleFullBlockFitsSixteenBits) {
    for (uint32_t level : {1u, 6u, 9u}) {
        const auto data = random_bytes(kMaxBlockData, level);
        std::vector<uint8_t> out;
        Compressor compressor(level);
        auto size = encode_block(out, data, compressor);
        ASSERT_TRUE(std::holds_alternative<size_t>(size));
        EXPECT_LE(std::get<size_t>(size), kMaxBlockSize);
        EXPECT_EQ(gunzip_member(out), data);
    }
}

TEST(BlockFormat, EofMarkerIsAnEmptyValidMember) {
    EXPECT_TRUE(gunzip_member(kEofMarker).empty());
    BgzfHeader header;
    header.flags = kFlagExtra;
    header.extra_field_length = 6;
    header.extra_subfields.push_back({66, 67, {0x1b, 0x00}});
    EXPECT_EQ(std::get<uint16_t>(header.block_size()), 28);
}

TEST(BlockFormat, DecompressClassifiesFailures) {
    const std::string text(5000, 'x');
    std::vector<uint8_t> out;
    Compressor compressor(1);
    encode_block(out, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, compressor);
    const std::span<const uint8_t> payload = std::span<const uint8_t>(out).subspan(kBlockHeaderSize);
    Decompressor decompressor;
    std::vector<uint8_t> region(text.size());
    auto ok = decompress_raw(decompressor, payload, region);
    ASSERT_TRUE(std::holds_alternative<size_t>(ok));
    EXPECT_EQ(std::get<size_t>(ok), text.size());

    std::vector<uint8_t> small(10);
    auto too_small = decompress_raw(decompressor, payload, small);
    EXPECT_EQ(std::get<BlockDecompressError>(too_small).debug(), "InsufficientSpace");

    auto truncated = decompress_raw(decompressor, payload.first(3), region);
    EXPECT_EQ(std::get<BlockDecompressError>(truncated).debug(), "InsufficientSpace");

    const std::vector<uint8_t> corrupt = {0x07, 0xff, 0xff, 0xff, 0xff};  // reserved block type 3
    auto bad = decompress_raw(decompressor, corrupt, region);
    EXPECT_EQ(std::get<BlockDecompressError>(bad).debug(), "Other(\"Unknown Error\")");
}

TEST(BlockFormat, HeaderSerializationChecksFlagsAndLengths) {
    BgzfHeader header = BgzfHeader::for_data_block();
    std::array<uint8_t, 18> bytes{};
    EXPECT_FALSE(header.serialize(bytes));
    EXPECT_EQ(header.encoded_length(), 18u);

    header.flags = kFlagExtra | kFlagName;
    EXPECT_EQ(header.serialize(bytes)->debug(), R"(Error { kind: Other, message: "Invalid bgzip flag" })");

    header = BgzfHeader::for_data_block();
    header.extra_field_length = 7;
    EXPECT_EQ(header.serialize(bytes)->debug(),
              R"(Error { kind: Other, message: "Invalid bgzip extra field length" })");

    header = BgzfHeader::for_data_block();
    std::array<uint8_t, 12> short_destination{};
    EXPECT_EQ(header.serialize(short_destination)->display(), "failed to write whole buffer");

    header.flags |= kFlagName | kFlagComment | kFlagHeaderCrc;
    header.file_name = std::vector<uint8_t>{'a', 'b'};
    header.comment = std::vector<uint8_t>{'c', 0};
    header.header_crc = 0x1234;
    EXPECT_EQ(header.encoded_length(), 18u + 3 + 2 + 2);
}
