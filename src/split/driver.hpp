// The core operation: read a VCF file once, keep every header line, cut the records
// into batches of batch_size lines and write each batch with the header before it,
// printing a progress line per batch and a summary.
//
// Contract: every failure stops the call (batch files already written stay). Runs
// on the calling thread; it does not touch interpreter objects.
#pragma once

#include <cstdint>
#include <string_view>

#include "split/batch_file.hpp"

namespace kestrel {

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression);

}  // namespace kestrel
