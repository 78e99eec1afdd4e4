// The batch files: their names, and writing one batch as batch_NN.vcf, or as
// batch_NN.vcf.gz compressed as BGZF on the worker pool.
//
// Contract: save_batch stops the call when the output directory cannot be created
// and returns every other failure as an IoError; it neither takes nor keeps the
// buffers it is given. It runs on the calling thread (compression on the pool) and
// is not meant to be called for the same directory from several threads at once.
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

// "batch_07.vcf", "batch_123.vcf.gz": the number zero-padded to at least two digits.
// The one place that names batch files; the progress lines use it too.
std::string batch_file_name(int32_t number, bool compressed);

// The batch file holds `header` followed by `records`.
std::optional<bgzf::BgzfError> save_batch(int32_t number, std::string_view output_path,
                                          Compression compression,
                                          std::span<const uint8_t> header,
                                          std::span<const uint8_t> records);

}  // namespace kestrel
