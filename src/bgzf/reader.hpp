// Turns an open BGZF file into a stream of uncompressed bytes, one block at a time,
// behind fill_buffer / consume.
//
// Contract: damaged input is returned as a BgzfError; a block whose header is longer
// than its size, or an over-long consume, stops the call. The reader owns its file.
// Used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>

#include "bgzf/deflate.hpp"
#include "bgzf/error.hpp"
#include "base/file.hpp"

namespace kestrel::bgzf {

class BgzfReader {
public:
    // Takes the file over and reads its first block; the file is closed again when
    // that fails.
    static std::variant<BgzfReader, BgzfError> open(File file);

    BgzfReader(BgzfReader&&) noexcept = default;
    BgzfReader& operator=(BgzfReader&&) noexcept = default;

    // The unread data of the current block, reading further blocks once it is used
    // up; empty blocks are passed over. Empty at the end of the input: at an
    // end-of-file marker that no further gzip member follows (the bytes after it are
    // not read), or where the file ends between blocks. Concatenated BGZF files read
    // as one stream. After an error the failed block's data is gone.
    std::variant<std::span<const uint8_t>, BgzfError> fill_buffer();
    // Marks `n` bytes of the last fill as used; more than it held stops the call.
    void consume(size_t n);

private:
    enum class Block { Data, EndOfInput };

    explicit BgzfReader(File file);
    std::variant<Block, BgzfError> read_next_block(bool first);
    bool another_member_follows();

    File file_;
    bool seekable_ = false;
    Decompressor decompressor_;
    // Both sized once for the largest block and reused for every block.
    std::unique_ptr<uint8_t[]> payload_;
    std::unique_ptr<uint8_t[]> data_;
    size_t data_length_ = 0;
    size_t position_ = 0;
    bool at_end_ = false;
    // The gzip magic read after an end-of-file marker, handed to the next header.
    std::array<uint8_t, 2> next_magic_{};
    size_t next_magic_length_ = 0;
};

}  // namespace kestrel::bgzf
