// The unit of parallel work: up to 50 pieces of input and, once compressed, their
// BGZF blocks. Chunks are reused by every writer of the process, so a writer per
// small batch neither allocates nor frees megabytes.
//
// Contract: a chunk has one owner at a time (the writer, or the job compressing it);
// the process-wide free list is thread-safe. compress_chunk stops on a block that
// cannot be encoded, which on a worker ends the process.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"

namespace kestrel::bgzf {

constexpr size_t kPiecesPerChunk = 50;
constexpr size_t kChunkCapacity = kPiecesPerChunk * kMaxBlockData;  // 3,264,000 input bytes

struct BlockSize {
    uint32_t uncompressed_length;
    uint32_t block_size;
};

struct Chunk {
    uint64_t sequence = 0;
    std::vector<uint8_t> raw;         // input collected for this chunk
    std::vector<uint8_t> compressed;  // its blocks, back to back
    std::vector<BlockSize> block_sizes;
    // Made on the thread that dispatches the chunk, so that compressing allocates
    // nothing on a worker; kept with the chunk for its next use.
    std::unique_ptr<Compressor> compressor;
    // Where the blocks go and whether they end their file (set by the compressor
    // that dispatches the chunk).
    void* sink = nullptr;
    bool ends_file = false;
    Chunk* next_done = nullptr;  // links finished chunks without allocating

    size_t space_left() const { return kChunkCapacity - raw.size(); }
    // Grows the buffer with the data rather than reserving a full chunk up front.
    void append_raw(std::span<const uint8_t> bytes);
    // Room for the blocks of the raw data, so that compressing never reallocates:
    // the allocation happens on the thread that can report its failure.
    void reserve_room_for_blocks();
    // A compressor at `level`, made now unless the chunk has one.
    void prepare_compressor(uint32_t level);
    // Empty again, capacity kept.
    void reset();
    size_t capacity_bytes() const;
};

// Hands a chunk back to the process-wide free list (or frees it when the list
// holds enough already).
struct ChunkRecycler {
    void operator()(Chunk* chunk) const noexcept;
};

using ChunkPtr = std::unique_ptr<Chunk, ChunkRecycler>;

// An empty chunk, reused when one is free.
ChunkPtr acquire_chunk();

// Capacity the free list keeps between writers; beyond it chunks are freed.
constexpr size_t kRetainedChunkBytes = 64 * 1024 * 1024;

// Replaces the chunk's blocks with those of its raw data, cut every 65280 bytes.
// Stops with "Failed to write block" when a block cannot be encoded. Allocates
// nothing after Chunk::reserve_room_for_blocks and Chunk::prepare_compressor. Once
// `abandoned` is set nobody wants the blocks: it returns early, leaving them partial.
void compress_chunk(Chunk& chunk, const std::atomic<bool>& abandoned);

}  // namespace kestrel::bgzf
