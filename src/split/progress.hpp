// The progress and summary lines of a split. They go straight to file descriptor 1,
// not through the interpreter's sys.stdout; each line is written whole before the
// call goes on.
//
// Contract: a failed write stops the call with "failed printing to stdout: <error>".
// Called from the driver's thread only.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrel {

// "Saving batch_NN.vcf[.gz]", after a full batch was written.
void print_full_batch(int32_t number, bool compressed);
// "Saving final batch with less than N samples to batch_NN.vcf[.gz]", before the
// final batch is written.
void print_final_batch(int32_t number, uint32_t batch_size, bool compressed);
// "Saved K batches with N samples to OUTPUT.", at the end of a successful split.
void print_summary(int32_t batches, uint32_t batch_size, std::string_view output_path);

}  // namespace kestrel
