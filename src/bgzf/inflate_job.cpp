#include "bgzf/inflate_job.hpp"

#include <cstring>

#include "base/bytes.hpp"

namespace kestrel::bgzf {

InflateJob::InflateJob(size_t max_blocks)
    : input_(std::make_unique_for_overwrite<uint8_t[]>(max_blocks * kMaxPayload)), blocks_(max_blocks) {}

void InflateJob::begin(runtime::BufferRef output) {
    output_ = std::move(output);
    input_used_ = 0;
    output_used_ = 0;
    count_ = 0;
}

void InflateJob::add_block(std::span<const uint8_t> payload, uint64_t offset) {
    Block& block = blocks_[count_++];
    block.offset = offset;
    block.payload_offset = static_cast<uint32_t>(input_used_);
    block.payload_length = static_cast<uint32_t>(payload.size());
    std::memcpy(input_.get() + input_used_, payload.data(), payload.size());
    input_used_ += payload.size();
    // A trailer that is missing or names too much gets no region; decoding reports it.
    uint32_t isize = 0;
    if (payload.size() >= 4) {
        const uint8_t* trailer = payload.data() + payload.size() - 4;
        isize = load_le32(trailer);
    }
    block.output_offset = static_cast<uint32_t>(output_used_);
    block.output_length = isize <= kMaxBlockOutput ? isize : 0;
    output_used_ += block.output_length;
    block.outcome = BlockOutcome::Ok;
}

void InflateJob::run(BlockTally tally) {
    for (Block& block : blocks()) {
        block.outcome = decode_block(decompressor_, payload(block), output(block));
        block.tally = tally != nullptr && block.outcome == BlockOutcome::Ok ? tally(output(block)) : 0;
    }
}

}  // namespace kestrel::bgzf
