#include "bgzf/parallel_writer.hpp"

#include <algorithm>
#include <exception>

#include "bgzf/chunk.hpp"
#include "bgzf/header.hpp"
#include "runtime/worker_pool.hpp"
#include "base/stop.hpp"

namespace kestrel::bgzf {
namespace {

IoError closed_channel() { return IoError::with_message(ErrorKind::Other, "Closed channel"); }

}  // namespace

ParallelBgzfWriter::ParallelBgzfWriter(std::vector<uint8_t>& destination, uint32_t level)
    : ParallelBgzfWriter(destination, level, runtime::WorkerPool::global()) {}

ParallelBgzfWriter::ParallelBgzfWriter(std::vector<uint8_t>& destination, uint32_t level, runtime::JobRunner& runner)
    : destination_(destination),
      runner_(runner),
      level_(level),
      chunks_not_yet_taken_(2 * std::max<size_t>(runner.thread_count(), 1)),
      results_(runtime::make_channel<ChunkPtr>()),
      exceptions_at_construction_(std::uncaught_exceptions()) {}

ParallelBgzfWriter::~ParallelBgzfWriter() noexcept(false) {
    if (closed_) return;
    if (std::uncaught_exceptions() > exceptions_at_construction_) {
        // Flushing could fail again and end the process from a destructor; the
        // stream is abandoned anyway, but the jobs must not send to a dead channel.
        wait_for_jobs_in_flight();
        return;
    }
    if (auto error = flush()) stop_with("BGZF: Flash Error", *error);
    append_eof_marker();
}

void ParallelBgzfWriter::wait_for_jobs_in_flight() noexcept {
    const uint64_t dispatched = next_to_dispatch_ - next_to_emit_;
    for (uint64_t back = early_results_.size(); back < dispatched; ++back) {
        if (std::holds_alternative<runtime::ChannelDisconnected>(results_.receiver.receive())) return;
    }
}

std::optional<IoError> ParallelBgzfWriter::write(std::span<const uint8_t> bytes) {
    size_t accepted = 0;
    while (accepted < bytes.size()) {
        if (auto error = collect_results(no_chunk_free(), false)) return error;
        Chunk& chunk = chunk_being_filled();
        const size_t space = chunk.space_left();
        const size_t remaining = bytes.size() - accepted;
        const size_t take = std::min(space, remaining);
        chunk.append_raw(bytes.subspan(accepted, take));
        if (remaining >= space) dispatch();
        accepted += take;
    }
    return std::nullopt;
}

std::optional<IoError> ParallelBgzfWriter::flush() {
    if (auto error = collect_results(no_chunk_free(), false)) return error;
    if (!free_chunks_.empty() && !free_chunks_.front()->raw.empty()) dispatch_spread();
    return collect_results(true, true);
}

// The partly filled chunk is all that remains and the caller waits for it: its pieces
// go out as several jobs, so that a small batch keeps every worker busy rather than
// one. Whole pieces stay in order, so the blocks are the same.
void ParallelBgzfWriter::dispatch_spread() {
    Chunk& first = *free_chunks_.front();
    const size_t pieces = (first.raw.size() + kMaxBlockData - 1) / kMaxBlockData;
    const size_t spare_chunks = free_chunks_.size() - 1 + chunks_not_yet_taken_;
    const size_t jobs = std::min({pieces, runner_.thread_count(), spare_chunks + 1});
    if (jobs <= 1) {
        dispatch();
        return;
    }
    const size_t part_bytes = (pieces + jobs - 1) / jobs * kMaxBlockData;
    std::vector<ChunkPtr> parts;
    for (size_t start = part_bytes; start < first.raw.size(); start += part_bytes) {
        ChunkPtr part;
        if (free_chunks_.size() > 1) {
            part = std::move(free_chunks_.back());
            free_chunks_.pop_back();
        } else {
            part = acquire_chunk();
            --chunks_not_yet_taken_;
        }
        part->append_raw(std::span<const uint8_t>(first.raw).subspan(
            start, std::min(part_bytes, first.raw.size() - start)));
        parts.push_back(std::move(part));
    }
    first.raw.resize(part_bytes);
    dispatch();
    for (ChunkPtr& part : parts) {
        free_chunks_.push_front(std::move(part));
        dispatch();
    }
}

std::variant<BlockIndex, IoError> ParallelBgzfWriter::close() && {
    if (auto error = flush()) {
        finish_after_failed_close();
        return *error;
    }
    append_eof_marker();
    closed_ = true;
    // The last entry marks the end of the last data block, where no block starts.
    if (!block_index_.empty()) block_index_.pop_back();
    return std::move(block_index_);
}

// The writer is still open after a failed close: it is released as if dropped, and
// close reports the first error.
void ParallelBgzfWriter::finish_after_failed_close() {
    closed_ = true;
    if (auto error = flush()) stop_with("BGZF: Flash Error", *error);
    append_eof_marker();
}

void ParallelBgzfWriter::append_eof_marker() {
    destination_.insert(destination_.end(), kEofMarker.begin(), kEofMarker.end());
}

std::optional<IoError> ParallelBgzfWriter::collect_results(bool wait, bool wait_for_all) {
    while (next_to_emit_ != next_to_dispatch_) {
        ChunkPtr chunk;
        if (wait) {
            auto received = results_.receiver.receive();
            if (std::holds_alternative<runtime::ChannelDisconnected>(received)) return closed_channel();
            chunk = std::move(std::get<ChunkPtr>(received));
        } else {
            auto received = results_.receiver.try_receive();
            if (std::holds_alternative<runtime::ChannelEmpty>(received)) return std::nullopt;
            if (std::holds_alternative<runtime::ChannelDisconnected>(received)) return closed_channel();
            chunk = std::move(std::get<ChunkPtr>(received));
        }
        if (chunk->sequence != next_to_emit_) {
            const uint64_t sequence = chunk->sequence;
            early_results_.insert_or_assign(sequence, std::move(chunk));
            continue;
        }
        emit(std::move(chunk));
        for (auto next = early_results_.find(next_to_emit_); next != early_results_.end();
             next = early_results_.find(next_to_emit_)) {
            ChunkPtr waiting = std::move(next->second);
            early_results_.erase(next);
            emit(std::move(waiting));
        }
        wait = wait_for_all;
    }
    return std::nullopt;
}

void ParallelBgzfWriter::emit(ChunkPtr chunk) {
    destination_.insert(destination_.end(), chunk->compressed.begin(), chunk->compressed.end());
    for (const BlockSize& block : chunk->block_sizes) {
        compressed_offset_ += block.block_size;
        uncompressed_offset_ += block.uncompressed_length;
        block_index_.push_back({compressed_offset_, uncompressed_offset_});
    }
    ++next_to_emit_;
    chunk->reset();
    free_chunks_.push_back(std::move(chunk));
}

Chunk& ParallelBgzfWriter::chunk_being_filled() {
    if (free_chunks_.empty()) {
        // Only reached with chunks left to take: callers waited while none were free.
        free_chunks_.push_back(acquire_chunk());
        --chunks_not_yet_taken_;
    }
    return *free_chunks_.front();
}

void ParallelBgzfWriter::dispatch() {
    free_chunks_.front()->reserve_room_for_blocks();  // may throw: the chunk stays first
    ChunkPtr chunk = std::move(free_chunks_.front());
    free_chunks_.pop_front();
    chunk->sequence = next_to_dispatch_;
    runner_.submit(runtime::Job([chunk = std::move(chunk), results = results_.sender, level = level_]() mutable {
        compress_chunk(*chunk, level);
        if (!results.send(std::move(chunk))) stop("failed to send write result");
    }));
    ++next_to_dispatch_;  // only once submitted: a chunk counted here always comes back
}

}  // namespace kestrel::bgzf
