// Turns an open BGZF file into a stream of uncompressed bytes, one block at a time,
// behind fill_buffer / consume.
//
// Contract: damaged input is returned as a BgzfError; a block whose header is longer
// than its size, or an over-long consume, stops the call. The reader owns its file.
// Used by one thread at a time.
#pragma once

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
    // that fails. A first block that is the end-of-file marker yields empty input.
    static std::variant<BgzfReader, BgzfError> open(File file);

    BgzfReader(BgzfReader&&) noexcept = default;
    BgzfReader& operator=(BgzfReader&&) noexcept = default;

    // The unread data of the current block, reading further blocks once it is used
    // up; empty blocks are passed over. Empty at the end of the input: after the
    // end-of-file marker (nothing after it is read) or where the file ends between
    // blocks. After an error the failed block's data is gone.
    std::variant<std::span<const uint8_t>, BgzfError> fill_buffer();
    // Marks `n` bytes of the last fill as used; more than it held stops the call.
    void consume(size_t n);

private:
    enum class Block { Data, EndOfInput };

    explicit BgzfReader(File file);
    std::variant<Block, BgzfError> read_next_block(bool first);

    File file_;
    bool seekable_ = false;
    Decompressor decompressor_;
    // Both sized once for the largest block and reused for every block.
    std::unique_ptr<uint8_t[]> payload_;
    std::unique_ptr<uint8_t[]> data_;
    size_t data_length_ = 0;
    size_t position_ = 0;
    bool at_end_ = false;
};

}  // namespace kestrel::bgzf
