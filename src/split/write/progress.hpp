// The progress and summary lines of a split, the one place that words them: the
// batch module prints them itself, the command line prints them as the scatter
// module hands them out. They go straight to file descriptor 1, not through the
// interpreter's sys.stdout; each line is written whole before the call goes on.
//
// Contract text: every line here, to the letter ("samples" counts records).
// Printing failures stop the call with "failed printing to stdout: <error>".
// Called from the driver's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// "Saving batch_NN.vcf[.gz]", after a full batch was written.
std::string full_batch_line(std::string_view file_name);
// "Saving final batch with less than N samples to batch_NN.vcf[.gz]", for a last,
// shorter batch.
std::string final_batch_line(uint64_t batch_size, std::string_view file_name);
// "Saved K batches with N samples to OUTPUT.": `samples` is the batch size, or for a
// fixed number of batches their sizes ("66 or 67").
std::string summary_line(uint64_t batches, std::string_view samples, std::string_view output_path);

// Writes `line` and a line feed to file descriptor 1.
void print_line(std::string line);

void print_summary(int32_t batches, uint32_t batch_size, std::string_view output_path);

}  // namespace kestrel
