// A run of consecutive BGZF blocks inflated together on a pool worker. The calling
// thread copies the payloads in and lays out where each block's data goes in the
// output buffer (ISIZE is known from each payload's trailer); the worker only decodes.
//
// Contract: everything but run() happens on the calling thread and may allocate
// (std::bad_alloc). run() never allocates, throws or stops, and records each block's
// outcome for the calling thread to report. From the job's start until its end is
// signalled, only the worker touches it. Owns its input buffer and decompressor and
// shares the output buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bgzf/deflate.hpp"
#include "runtime/buffer.hpp"

namespace kestrel::bgzf {

// What a reader's caller works out from each block's data on the worker, right after
// it is inflated and while it is in the cache: a number of the caller's choosing. Must
// not allocate, throw or stop.
using BlockTally = uint64_t (*)(std::span<const uint8_t> data);

class InflateJob {
public:
    struct Block {
        uint32_t payload_offset = 0;
        uint32_t payload_length = 0;
        uint32_t output_offset = 0;
        uint32_t output_length = 0;  // ISIZE, or 0 when the trailer gives none that fits
        BlockOutcome outcome = BlockOutcome::Ok;
        uint64_t offset = 0;  // where the block starts in what the reader reads
        uint64_t tally = 0;  // of its data, where the job was run with a tally and it decoded
    };

    // The largest payload a block may have: a 16-bit block size less its header.
    static constexpr size_t kMaxPayload = 65535;

    // Room for `max_blocks` blocks of any size; the output buffers given to begin()
    // must hold max_blocks * kMaxBlockOutput bytes.
    explicit InflateJob(size_t max_blocks);

    // Forgets the blocks of the last run and takes the buffer this run writes into.
    void begin(runtime::BufferRef output);
    // Copies a payload (at most kMaxPayload bytes) in as the next block, which starts
    // at `offset`. Only while not full().
    void add_block(std::span<const uint8_t> payload, uint64_t offset = 0);
    bool full() const { return count_ == blocks_.size(); }
    bool empty() const { return count_ == 0; }

    // Decodes every block into its region, and tallies those that decode. On a worker.
    void run(BlockTally tally = nullptr);

    std::span<Block> blocks() { return {blocks_.data(), count_}; }
    std::span<const uint8_t> payload(const Block& block) const {
        return {input_.get() + block.payload_offset, block.payload_length};
    }
    std::span<uint8_t> output(const Block& block) {
        return {output_->data() + block.output_offset, block.output_length};
    }
    const runtime::BufferRef& output_buffer() const { return output_; }
    // Lets go of the output buffer; the pieces handed out keep it alive.
    void release_output() { output_.reset(); }

private:
    std::unique_ptr<uint8_t[]> input_;
    size_t input_used_ = 0;
    size_t output_used_ = 0;
    std::vector<Block> blocks_;
    size_t count_ = 0;
    runtime::BufferRef output_;
    Decompressor decompressor_;
};

}  // namespace kestrel::bgzf
