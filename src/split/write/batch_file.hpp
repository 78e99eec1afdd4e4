// The batch files' names, and the manifest that lists a scatter run's files.
//
// Contract: pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "split/write/file_format.hpp"

namespace kestrel {

// "batch_07.vcf", "batch_123.vcf.gz": the number zero-padded to at least two digits,
// then the format's extension. The one place that names batch files.
std::string batch_file_name(int32_t number, const FileFormat& format);
// Whether `name` is a batch file's name as batch_file_name() makes it in any format,
// or its index's (that name and the index's extension, for a format that takes it).
// Such a name is a single component: no '/', never "." or "..".
bool is_chunk_file_name(std::string_view name);

// The manifest of a scatter run in its output directory, and its first row.
inline constexpr std::string_view kManifestName = "manifest.tsv";
inline constexpr std::string_view kManifestHeader =
    "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes\n";
// The chunk files and indexes a manifest's text names (its file and index columns),
// those of is_chunk_file_name() only: a manifest is read as untrusted input. None where
// the text does not start with kManifestHeader.
std::vector<std::string> files_in_manifest(std::string_view text);

// Whether `name` is a file a scatter run writes: a chunk file, its index, or the manifest.
bool is_run_file_name(std::string_view name);

}  // namespace kestrel
