// Any bytes as a ".gz" input: opening and reading to the end must end in data, an
// error or a stop, never in a crash, a hang or an unbounded allocation. Jobs of one to
// three blocks and short reads put job and read-ahead boundaries within reach of
// inputs of a few blocks; and the same input read ahead only so far, then a block at a
// time, must give the same data and the same end.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/byte_source.hpp"
#include "base/stop.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/worker_pool.hpp"

namespace {

// The data read to the end, then how it ended: "" (the end), an error's kind, or a stop.
std::string read_all(const uint8_t* data, size_t size, size_t step, uint64_t ahead_until) {
    std::string got;
    try {
        kestrel::bgzf::ParallelBgzfReader reader(
            kestrel::memory_source({data, data + size}), kestrel::runtime::WorkerPool::global(),
            {.read_size = 1 + step % 7 * 5000, .blocks_per_job = 1 + step % 3, .jobs_in_flight = 3,
             .read_ahead_until = ahead_until});
        if (auto error = reader.check_first_block()) return got + "|" + std::to_string(int(error->kind()));
        for (;;) {
            auto next = reader.next();
            const auto* piece = std::get_if<kestrel::runtime::Piece>(&next);
            if (piece == nullptr) return got + "|" + std::to_string(int(std::get<kestrel::bgzf::BgzfError>(next).kind()));
            if (piece->bytes.empty()) return got + "|";
            got.append(reinterpret_cast<const char*>(piece->bytes.data()), piece->bytes.size());
        }
    } catch (const kestrel::Stop&) {
        // The stops for impossible header and payload lengths are answers too.
        return got + "|stop";
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t step = size > 0 ? data[size - 1] : 0;
    if (read_all(data, size, step, UINT64_MAX) != read_all(data, size, step, step * 97 % (size + 1))) std::abort();
    return 0;
}
