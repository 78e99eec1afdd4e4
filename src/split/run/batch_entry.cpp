#include "split/run/batch_entry.hpp"

#include <memory>

#include "base/byte_source.hpp"
#include "base/stop.hpp"
#include "split/write/progress.hpp"

namespace kestrel {
namespace {

// The compatibility rule of this entry: the input is BGZF exactly when its path ends
// in ".gz" (lower case), whatever its bytes. The scatter entry sniffs them instead.
bool names_bgzf_file(std::string_view path) { return path.ends_with(".gz"); }

}  // namespace

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning) {
    const std::string path(file_path);
    auto opened = open_file_source(path);
    if (auto* error = std::get_if<IoError>(&opened)) {
// Contract text (docs/errors.md): callers match on it to the letter.
        stop_with("File does not exist.", *error, StopDetail::io(error->os_code(), path, error->display()));
    }
    auto& source = std::get<std::unique_ptr<FileSource>>(opened);
    OutputSettings settings;
    settings.format = FileFormat::of(compression);
    settings.input = source->identity();
    settings.runner = tuning.runner;
    settings.batch_size = batch_size;
    std::unique_ptr<Input> input = read_input(std::move(source), bgzf_or_plain(names_bgzf_file(file_path)), tuning.read_size);

    Outputs outputs(output_path, settings);
    CountCut cuts(BatchPlan::of_size(batch_size));
    Splitter splitter(outputs, cuts, Splitter::Observe::Nothing);
    run_split(*input, outputs, splitter, path, nullptr);
    input.reset();  // the input is closed before the final batch is written
    finish_split(splitter, outputs, path);
    print_summary(splitter.batches(), batch_size, output_path);
}

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression) {
    extract_variants_to_batches(file_path, output_path, batch_size, compression, SplitTuning{});
}

}  // namespace kestrel
