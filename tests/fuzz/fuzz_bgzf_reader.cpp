// Any bytes as a ".gz" input: opening and reading to the end must end in data, an
// error or a stop, never in a crash, a hang or an unbounded allocation. Jobs of one to
// three blocks and short reads put job and read-ahead boundaries within reach of
// inputs of a few blocks; the blocks are inflated on the worker pool.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "bgzf/reader.hpp"
#include "runtime/worker_pool.hpp"
#include "base/file.hpp"
#include "base/stop.hpp"

namespace {

// One memory file for the whole run; each input gets a descriptor of its own.
kestrel::File input_file(const uint8_t* data, size_t size) {
    static const int memory = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (memory < 0 || ::ftruncate(memory, 0) != 0 || ::lseek(memory, 0, SEEK_SET) != 0) std::abort();
    if (kestrel::write_all(memory, {data, size}) || ::lseek(memory, 0, SEEK_SET) != 0) std::abort();
    return kestrel::File(::dup(memory));
}

void read_to_the_end(kestrel::File file, size_t step_seed) {
    const kestrel::bgzf::ParallelReaderSettings settings{
        .read_size = 1 + step_seed % 7 * 5000, .blocks_per_job = 1 + step_seed % 3, .jobs_in_flight = 3};
    auto opened = kestrel::bgzf::BgzfReader::open(std::move(file), kestrel::runtime::WorkerPool::global(), settings);
    auto* reader = std::get_if<kestrel::bgzf::BgzfReader>(&opened);
    if (reader == nullptr) return;
    for (size_t step = step_seed % 4096 + 1;; step = step * 5 % 65537 + 1) {
        auto filled = reader->fill_buffer();
        const auto* data = std::get_if<std::span<const uint8_t>>(&filled);
        if (data == nullptr || data->empty()) return;
        reader->consume(std::min(step, data->size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        read_to_the_end(input_file(data, size), size > 0 ? data[size - 1] : 0);
    } catch (const kestrel::Stop&) {
        // The stops for impossible header and payload lengths are answers too.
    }
    return 0;
}
