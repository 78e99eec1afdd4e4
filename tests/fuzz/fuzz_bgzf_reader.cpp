// Any bytes as a ".gz" input: opening and reading to the end must end in data, an
// error or a stop, never in a crash, a hang or an unbounded allocation. Jobs of one to
// three blocks and short reads put job and read-ahead boundaries within reach of
// inputs of a few blocks; the blocks are inflated on the worker pool and handed out
// in stream order.
#include <cstdint>

#include "base/byte_source.hpp"
#include "base/stop.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/worker_pool.hpp"

namespace {

void read_to_the_end(const uint8_t* data, size_t size, size_t step_seed) {
    const kestrel::bgzf::ParallelReaderSettings settings{
        .read_size = 1 + step_seed % 7 * 5000, .blocks_per_job = 1 + step_seed % 3, .jobs_in_flight = 3};
    kestrel::bgzf::ParallelBgzfReader reader(kestrel::memory_source({data, data + size}),
                                             kestrel::runtime::WorkerPool::global(), settings);
    if (reader.check_first_block()) return;
    for (;;) {
        auto next = reader.next();
        const auto* piece = std::get_if<kestrel::runtime::Piece>(&next);
        if (piece == nullptr || piece->bytes.empty()) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        read_to_the_end(data, size, size > 0 ? data[size - 1] : 0);
    } catch (const kestrel::Stop&) {
        // The stops for impossible header and payload lengths are answers too.
    }
    return 0;
}
