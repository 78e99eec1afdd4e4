// The core operation: read a VCF file once, keep every header line, cut the records
// into batches of batch_size lines and write each batch with the header before it.
#pragma once

#include <cstdint>
#include <string_view>

#include "save_batch.hpp"

namespace kestrel {

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression);

}  // namespace kestrel
