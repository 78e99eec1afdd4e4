#include "bgzf/deflate_job.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>

#include "bgzf/deflate.hpp"
#include "base/stop.hpp"

namespace kestrel::bgzf {

void DeflateJob::append_raw(std::span<const uint8_t> bytes) {
    const size_t needed = raw.size() + bytes.size();
    if (needed > raw.capacity()) {
        raw.reserve(std::min(kJobCapacity, std::max(needed, 2 * raw.capacity())));
    }
    raw.insert(raw.end(), bytes.begin(), bytes.end());
}

void DeflateJob::reserve_room_for_blocks() {
    // encode_block grows the buffer by the piece length plus 226 before it cuts back.
    const size_t pieces = (raw.size() + kMaxBlockData - 1) / kMaxBlockData;
    compressed.reserve(raw.size() + pieces * (kBlockHeaderSize + kMaxDeflateOverhead + kBlockFooterSize));
    block_sizes.reserve(pieces);
}

void DeflateJob::prepare_compressor(uint32_t level) {
    if (!compressor || compressor->level() != level) compressor = std::make_unique<Compressor>(level);
}

void DeflateJob::reset() {
    sequence = 0;
    sink = nullptr;
    ends_file = false;
    next_done = nullptr;
    raw.clear();
    compressed.clear();
    block_sizes.clear();
}

size_t DeflateJob::capacity_bytes() const {
    return raw.capacity() + compressed.capacity() + block_sizes.capacity() * sizeof(BlockSize);
}

namespace {

class DeflateJobFreeList {
public:
    DeflateJobPtr take() {
        std::unique_ptr<DeflateJob> job;
        {
            std::lock_guard lock(mutex_);
            if (!chunks_.empty()) {
                job = std::move(chunks_.back());
                chunks_.pop_back();
                retained_bytes_ -= job->capacity_bytes();
            }
        }
        if (!job) job = std::make_unique<DeflateJob>();
        return DeflateJobPtr(job.release());
    }

    void give_back(std::unique_ptr<DeflateJob> job) noexcept {
        job->reset();
        const size_t bytes = job->capacity_bytes();
        std::lock_guard lock(mutex_);
        if (retained_bytes_ + bytes > kRetainedJobBytes) return;  // freed on return
        try {
            chunks_.push_back(std::move(job));
        } catch (...) {
            return;  // no room to keep it: free it instead
        }
        retained_bytes_ += bytes;
    }

    // A split running in another thread may be giving a job back as the process
    // forks: the lock is held across the fork, so the child finds it free.
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<DeflateJob>> chunks_;
    size_t retained_bytes_ = 0;
};

// Never deleted, like the pool it serves: no static destructor runs at exit.
DeflateJobFreeList& free_list() {
    static DeflateJobFreeList* const list = [] {
        auto* made = new DeflateJobFreeList;
        const auto unlock = [] { free_list().unlock(); };
        pthread_atfork([] { free_list().lock(); }, unlock, unlock);
        return made;
    }();
    return *list;
}

}  // namespace

void DeflateJobRecycler::operator()(DeflateJob* job) const noexcept { free_list().give_back(std::unique_ptr<DeflateJob>(job)); }

DeflateJobPtr acquire_deflate_job() { return free_list().take(); }

void compress_job(DeflateJob& job, const std::atomic<bool>& abandoned) {
    Compressor& compressor = *job.compressor;
    job.compressed.clear();
    job.block_sizes.clear();
    const std::span<const uint8_t> raw(job.raw);
    for (size_t position = 0; position < raw.size(); position += kMaxBlockData) {
        if (abandoned.load(std::memory_order_relaxed)) return;
        const auto piece = raw.subspan(position, std::min(kMaxBlockData, raw.size() - position));
        const auto encoded = encode_block(job.compressed, piece, compressor);
        if (const auto* error = std::get_if<BlockCompressError>(&encoded)) stop_with("Failed to write block", *error);
        job.block_sizes.push_back({static_cast<uint32_t>(piece.size()), static_cast<uint32_t>(std::get<size_t>(encoded))});
    }
}

}  // namespace kestrel::bgzf
