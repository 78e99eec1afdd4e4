// The core operation: read a VCF file once, keep every header line, cut the records
// into batches of batch_size lines and write each batch with the header before it,
// printing a progress line per batch and a summary.
//
// Contract: every failure stops the call; batch files saved before it stay, and no
// partial or temporary file is left. Runs on the calling thread (compression and
// writes on the worker pool); it does not touch interpreter objects.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/worker_pool.hpp"
#include "split/batch_file.hpp"

namespace kestrel {

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression);

// What tests and fuzzing vary: how much is read at once (small reads put line and
// block boundaries anywhere), and where jobs run (null: the process's pool).
struct SplitTuning {
    size_t read_size = size_t{1} << 20;
    runtime::JobRunner* runner = nullptr;
};
void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning);

}  // namespace kestrel
