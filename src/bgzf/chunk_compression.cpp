#include "bgzf/chunk_compression.hpp"

#include <algorithm>
#include <vector>

#include "bgzf/deflate.hpp"
#include "interface/stop.hpp"

namespace kestrel::bgzf {
namespace {

// One compressor per level per thread, made on first use: a compressor's state is
// reset for every block, so which one a chunk uses cannot change the output, and
// making them per writer would cost a large allocation for every batch.
Compressor& compressor_of_this_thread(uint32_t level) {
    thread_local std::vector<Compressor> compressors;
    const auto found = std::find_if(compressors.begin(), compressors.end(),
                                    [level](const Compressor& c) { return c.level() == level; });
    if (found != compressors.end()) return *found;
    return compressors.emplace_back(level);
}

}  // namespace

void compress_chunk(Chunk& chunk, uint32_t level) {
    Compressor& compressor = compressor_of_this_thread(level);
    chunk.compressed.clear();
    chunk.block_sizes.clear();
    const std::span<const uint8_t> raw(chunk.raw);
    for (size_t position = 0; position < raw.size(); position += kMaxBlockData) {
        const auto piece = raw.subspan(position, std::min(kMaxBlockData, raw.size() - position));
        const auto encoded = encode_block(chunk.compressed, piece, compressor);
        if (const auto* error = std::get_if<BlockCompressError>(&encoded)) stop_with("Failed to write block", *error);
        chunk.block_sizes.push_back({static_cast<uint32_t>(piece.size()), static_cast<uint32_t>(std::get<size_t>(encoded))});
    }
}

}  // namespace kestrel::bgzf
