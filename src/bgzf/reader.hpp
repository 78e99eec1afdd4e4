// Turns an open BGZF file into a stream of uncompressed bytes behind fill_buffer /
// consume, on top of ParallelBgzfReader: blocks are inflated on the worker pool
// ahead of the reading.
//
// Contract: damaged input is returned as a BgzfError; a block whose header is longer
// than its size, a payload too short for its trailer, or an over-long consume, stops
// the call. The reader owns its file. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "base/file.hpp"
#include "bgzf/error.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/buffer.hpp"
#include "runtime/worker_pool.hpp"

namespace kestrel::bgzf {

class BgzfReader {
public:
    // Takes the file over and checks its first block; the file is closed again when
    // that fails. The first form uses the process-wide pool.
    static std::variant<BgzfReader, BgzfError> open(std::unique_ptr<ByteSource> source);
    static std::variant<BgzfReader, BgzfError> open(std::unique_ptr<ByteSource> source, runtime::JobRunner& runner,
                                                    ParallelReaderSettings settings = {});

    BgzfReader(BgzfReader&&) noexcept = default;
    BgzfReader& operator=(BgzfReader&&) noexcept = default;

    // The unread data of the current piece, taking the next once it is used up. Empty
    // at the end of the input: at an end-of-file marker that no further gzip member
    // follows, or where the file ends between blocks. Concatenated BGZF files read as
    // one stream. After an error the failed block's data is gone.
    std::variant<std::span<const uint8_t>, BgzfError> fill_buffer();
    // Marks `n` bytes of the last fill as used; more than it held stops the call.
    void consume(size_t n);

private:
    explicit BgzfReader(ParallelBgzfReader reader) : reader_(std::move(reader)) {}

    ParallelBgzfReader reader_;
    runtime::Piece piece_;
    size_t position_ = 0;
};

}  // namespace kestrel::bgzf
