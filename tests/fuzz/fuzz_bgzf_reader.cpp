// Any bytes as a ".gz" input: opening and reading to the end must end in data, an
// error or a stop, never in a crash, a hang or an unbounded allocation. Jobs of one to
// three blocks and short reads put job and read-ahead boundaries within reach of
// inputs of a few blocks.
#include <cstdint>

#include "base/byte_source.hpp"
#include "base/stop.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/worker_pool.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t step = size > 0 ? data[size - 1] : 0;
    try {
        kestrel::bgzf::ParallelBgzfReader reader(
            kestrel::memory_source({data, data + size}), kestrel::runtime::WorkerPool::global(),
            {.read_size = 1 + step % 7 * 5000, .blocks_per_job = 1 + step % 3, .jobs_in_flight = 3});
        if (reader.check_first_block()) return 0;
        for (;;) {
            auto next = reader.next();
            const auto* piece = std::get_if<kestrel::runtime::Piece>(&next);
            if (piece == nullptr || piece->bytes.empty()) return 0;
        }
    } catch (const kestrel::Stop&) {
        // The stops for impossible header and payload lengths are answers too.
    }
    return 0;
}
