#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "bgzf/reader.hpp"
#include "base/file.hpp"
#include "base/stop.hpp"

using namespace kestrel;
using namespace kestrel::bgzf;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text_lines(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += "chr2\t" + std::to_string(1000 + i * 7) + "\t.\tA\tC\t50\tPASS\tDP=" + std::to_string(i % 97) + "\n";
    }
    return Bytes(text.begin(), text.end());
}

void append(Bytes& to, std::span<const uint8_t> bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void append32(Bytes& to, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) to.push_back(static_cast<uint8_t>(value >> shift));
}

// What the writer produces: 65280-byte pieces and the marker.
Bytes encode_stream(std::span<const uint8_t> data, uint32_t level) {
    Compressor compressor(level);
    return kestrel::bgzf::encode_stream(data, compressor);
}

// One member with the given header (its BSIZE filled in) and, unless given, a correct payload.
Bytes make_member(std::span<const uint8_t> data, BgzfHeader header, uint32_t crc_xor = 0) {
    Compressor compressor(6);
    Bytes payload(data.size() + kMaxDeflateOverhead);
    payload.resize(std::get<size_t>(compress_raw(compressor, data, payload)));
    append32(payload, crc32(data) ^ crc_xor);
    append32(payload, static_cast<uint32_t>(data.size()));
    const size_t header_length = header.encoded_length();
    EXPECT_FALSE(header.set_block_size(static_cast<uint16_t>(header_length + payload.size())));
    Bytes out(header_length);
    EXPECT_FALSE(header.serialize(out));
    append(out, payload);
    return out;
}

BgzfHeader named_header(size_t name_length, size_t comment_length) {
    BgzfHeader header = BgzfHeader::for_data_block();
    header.flags |= kFlagName | kFlagComment | kFlagHeaderCrc;
    header.file_name = Bytes(name_length, 'n');
    header.file_name->push_back(0);
    header.comment = Bytes(comment_length, 'c');  // written with its zero byte added
    header.header_crc = 0xBEEF;
    return header;
}

File memory_file(std::span<const uint8_t> bytes) {
    File file(memfd_create("bgzf-input", MFD_CLOEXEC));
    EXPECT_TRUE(file.is_open());
    EXPECT_FALSE(write_all(file.fd(), bytes));
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_SET), 0);
    return file;
}

// A pipe fed by a thread: input that cannot seek.
struct PipeInput {
    explicit PipeInput(Bytes content) {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read_end = File(ends[0]);
        writer = std::jthread([bytes = std::move(content), write_end = File(ends[1])] {
            (void)write_all(write_end.fd(), bytes);
        });
    }
    File read_end;
    std::jthread writer;
};

BgzfReader open_reader(File file) {
    auto opened = BgzfReader::open(std::make_unique<kestrel::FileSource>(std::move(file)));
    if (auto* error = std::get_if<BgzfError>(&opened)) ADD_FAILURE() << error->debug();
    return std::move(std::get<BgzfReader>(opened));
}

// Everything up to the end of the input, consumed in uneven steps.
Bytes read_all(BgzfReader& reader) {
    Bytes out;
    for (size_t step = 1;; step = step * 7 % 5003 + 1) {
        auto filled = reader.fill_buffer();
        if (auto* error = std::get_if<BgzfError>(&filled)) {
            ADD_FAILURE() << error->debug();
            return out;
        }
        const auto data = std::get<std::span<const uint8_t>>(filled);
        if (data.empty()) return out;
        const size_t used = std::min(step, data.size());
        append(out, data.first(used));
        reader.consume(used);
    }
}

}  // namespace

class WrittenStream : public ::testing::TestWithParam<uint32_t> {};

TEST_P(WrittenStream, ReadsBackExactlyAndEndsAtTheMarker) {
    const Bytes text = text_lines(12000);  // about 10 blocks
    BgzfReader reader = open_reader(memory_file(encode_stream(text, GetParam())));
    EXPECT_EQ(read_all(reader), text);
    EXPECT_TRUE(std::get<std::span<const uint8_t>>(reader.fill_buffer()).empty());
}

INSTANTIATE_TEST_SUITE_P(Levels, WrittenStream, ::testing::Values(1u, 6u, 9u));

// Concatenated streams read as one; bytes after the last marker that are not a gzip
// member are padding.
TEST(BgzfReader, ReadsOnAfterAMarkerOnlyIntoAnotherMember) {
    const Bytes text = text_lines(100), more = text_lines(5);
    Bytes stream = encode_stream(text, 6);
    append(stream, encode_stream(more, 1));
    append(stream, text_lines(3));  // not BGZF: reading on would fail
    BgzfReader reader = open_reader(memory_file(stream));
    Bytes both = text;
    append(both, more);
    EXPECT_EQ(read_all(reader), both);
}

TEST(BgzfReader, MarkerAsFirstBlockThenPaddingIsEmptyInput) {
    Bytes stream(kEofMarker.begin(), kEofMarker.end());
    append(stream, text_lines(3));
    BgzfReader reader = open_reader(memory_file(stream));
    EXPECT_TRUE(read_all(reader).empty());
}

// File names and comments are read ahead in chunks from files that can seek back, and
// byte by byte from pipes; either way the next block must start where it should.
TEST(BgzfReader, NamedHeadersConsumeOnlyTheirOwnBytes) {
    const Bytes text = text_lines(40);
    Bytes stream;
    const size_t name_lengths[] = {0, 3, 511, 512, 513, 2000};
    for (size_t i = 0; i < text.size(); i += 300) {
        const size_t length = name_lengths[(i / 300) % std::size(name_lengths)];
        append(stream, make_member(std::span(text).subspan(i, std::min<size_t>(300, text.size() - i)),
                                   named_header(length, length / 2)));
    }
    append(stream, kEofMarker);
    BgzfReader from_file = open_reader(memory_file(stream));
    EXPECT_EQ(read_all(from_file), text);
    PipeInput pipe(stream);
    BgzfReader from_pipe = open_reader(std::move(pipe.read_end));
    EXPECT_EQ(read_all(from_pipe), text);
}

// XLEN 6 with a first subfield of 8 data bytes: the 16-bit count wraps to 65530 and
// the subfields that follow are read until it reaches 0. The header length still
// counts XLEN, so BSIZE is set for that count.
TEST(BgzfReader, WrappedExtraCountReadsOnAsCounted) {
    const Bytes text = text_lines(3);
    const Bytes full = make_member(text, BgzfHeader::for_data_block());
    const std::span<const uint8_t> payload = std::span(full).subspan(kBlockHeaderSize);
    Bytes member = {0x1f, 0x8b, 8, kFlagExtra, 0, 0, 0, 0, 0, 255, 6, 0};
    append(member, Bytes{'X', 'Y', 8, 0, 1, 2, 3, 4, 5, 6, 7, 8});
    const uint16_t bsize = static_cast<uint16_t>(kBlockHeaderSize + payload.size() - 1);
    append(member, Bytes{'B', 'C', 2, 0, static_cast<uint8_t>(bsize), static_cast<uint8_t>(bsize >> 8)});
    append(member, Bytes{'Z', 'Z', 0xF0, 0xFF});  // 65520 data bytes bring the count to 0
    member.resize(member.size() + 0xFFF0, 'z');
    append(member, payload);
    append(member, kEofMarker);
    BgzfReader reader = open_reader(memory_file(member));
    EXPECT_EQ(read_all(reader), text);
}

TEST(BgzfReader, FailedBlockHandsOutNoneOfItsData) {
    const Bytes first = text_lines(10), damaged = text_lines(2000), last = text_lines(4);
    Bytes stream = make_member(first, BgzfHeader::for_data_block());
    append(stream, make_member(damaged, BgzfHeader::for_data_block(), /*crc_xor=*/1));
    append(stream, make_member(last, BgzfHeader::for_data_block()));
    BgzfReader reader = open_reader(memory_file(stream));
    auto filled = reader.fill_buffer();
    ASSERT_EQ(std::get<std::span<const uint8_t>>(filled).size(), first.size());
    reader.consume(first.size());
    filled = reader.fill_buffer();
    EXPECT_EQ(std::get<BgzfError>(filled).debug(), "Other(\"unmatched CRC32 of decompressed data\")");
    EXPECT_EQ(read_all(reader), last);
}

TEST(BgzfReader, ConsumingMoreThanFilledStops) {
    const Bytes text = text_lines(2);
    BgzfReader reader = open_reader(memory_file(encode_stream(text, 1)));
    const size_t available = std::get<std::span<const uint8_t>>(reader.fill_buffer()).size();
    reader.consume(available - 1);
    try {
        reader.consume(2);
        ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
        EXPECT_EQ(stop.message(), "internal error: entered unreachable code");
    }
}
