// Writes one batch as batch_NN.vcf, or batch_NN.vcf.gz compressed as BGZF.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bgzf/error.hpp"

namespace kestrel {

// None, or the DEFLATE level of compressed batch files (1, 6 or 9).
using Compression = std::optional<uint32_t>;

// "batch_07.vcf", "batch_123.vcf.gz".
std::string batch_file_name(int32_t number, bool compressed);

// The batch file holds `header` followed by `records`. A directory that cannot be
// created stops the call; every other failure is returned as an IoError.
std::optional<bgzf::BgzfError> save_batch(int32_t number, std::string_view output_path,
                                          Compression compression,
                                          std::span<const uint8_t> header,
                                          std::span<const uint8_t> records);

}  // namespace kestrel
