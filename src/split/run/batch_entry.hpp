// The batch split of the module kestrel: read a VCF file once, keep every header
// line, cut the records into batches of batch_size and write each batch with the
// header before it, printing a progress line per batch and a summary.
//
// Contract: every failure stops the call with the module's texts (split/write/outputs.hpp,
// split/write/progress.hpp); batch files saved before it stay, and no partial or temporary
// file is left. Runs on the calling thread (reading, compression and writes on the
// worker pool); it does not touch interpreter objects.
#pragma once

#include <cstdint>
#include <string_view>

#include "split/cut/split_loop.hpp"
#include "split/write/batch_file.hpp"

namespace kestrel {

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression);
void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning);

}  // namespace kestrel
