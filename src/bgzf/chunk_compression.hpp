// The job body: compresses a chunk's pieces into BGZF blocks on a worker thread.
#pragma once

#include <cstdint>

#include "bgzf/chunk.hpp"

namespace kestrel::bgzf {

// Replaces the chunk's blocks with those of its raw data, cut every 65280 bytes.
// Stops with "Failed to write block" when a block cannot be encoded. Allocates
// nothing after Chunk::reserve_room_for_blocks.
void compress_chunk(Chunk& chunk, uint32_t level);

}  // namespace kestrel::bgzf
