// The unit of parallel compression, a deflate job: up to 50 pieces of input and,
// once compressed, their BGZF blocks (InflateJob is its counterpart for reading).
// Jobs are reused by every writer of the process, so a writer per small batch
// neither allocates nor frees megabytes.
//
// Contract: a job has one owner at a time (the writer, or the worker compressing it);
// the process-wide free list is thread-safe. compress_job stops on a block that
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

constexpr size_t kPiecesPerJob = 50;
constexpr size_t kJobCapacity = kPiecesPerJob * kMaxBlockData;  // 3,264,000 input bytes

struct DeflateJob {
    uint64_t sequence = 0;
    std::vector<uint8_t> raw;         // input collected for this job
    std::vector<uint8_t> compressed;  // its blocks, back to back
    std::vector<BlockSize> block_sizes;
    // Made on the thread that dispatches the job, so that compressing allocates
    // nothing on a worker; kept with the job for its next use.
    std::unique_ptr<Compressor> compressor;
    // Where the blocks go and whether they end their file (set by the compressor
    // that dispatches the job).
    void* sink = nullptr;
    bool ends_file = false;
    DeflateJob* next_done = nullptr;  // links finished jobs without allocating

    size_t space_left() const { return kJobCapacity - raw.size(); }
    // Grows the buffer with the data rather than reserving a full job up front.
    void append_raw(std::span<const uint8_t> bytes);
    // Room for the blocks of the raw data, so that compressing never reallocates:
    // the allocation happens on the thread that can report its failure.
    void reserve_room_for_blocks();
    // A compressor at `level`, made now unless the job has one.
    void prepare_compressor(uint32_t level);
    // Empty again, capacity kept.
    void reset();
    size_t capacity_bytes() const;
};

// Hands a job back to the process-wide free list (or frees it when the list
// holds enough already).
struct DeflateJobRecycler {
    void operator()(DeflateJob* job) const noexcept;
};

using DeflateJobPtr = std::unique_ptr<DeflateJob, DeflateJobRecycler>;

// An empty job, reused when one is free.
DeflateJobPtr acquire_deflate_job();

// Capacity the free list keeps between writers; beyond it jobs are freed.
constexpr size_t kRetainedJobBytes = 64 * 1024 * 1024;

// Replaces the job's blocks with those of its raw data, cut every 65280 bytes.
// Stops with "Failed to write block" when a block cannot be encoded. Allocates
// nothing after DeflateJob::reserve_room_for_blocks and DeflateJob::prepare_compressor. Once
// `abandoned` is set nobody wants the blocks: it returns early, leaving them partial.
void compress_job(DeflateJob& job, const std::atomic<bool>& abandoned);

}  // namespace kestrel::bgzf
