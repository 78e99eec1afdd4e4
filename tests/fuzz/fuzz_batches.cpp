// Any bytes as a plain input, read in pieces of any size: the batch files, plain or
// compressed, must hold exactly what a plain model of the cutting rules says, and nothing may crash, hang or leak. The same bytes
// scattered into indexed chunks, with or without the rules by place (which read
// CHROM and POS), either succeed or are refused as input with a line number, leaving
// no temporary and no manifest.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/stop.hpp"
#include "split/run/batch_entry.hpp"
#include "split/run/scatter_entry.hpp"
#include "support.hpp"

namespace {

std::string work_directory;

void remove_outputs(const std::string& directory) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(directory, missing)) std::filesystem::remove(entry);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On tmpfs where there is one: a manifest flushes the file system it stands on.
    for (const char* place : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(place) + "/kestrel-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            work_directory = pattern;
            break;
        }
    }
    if (work_directory.empty()) std::abort();
    // Progress lines are of no interest here.
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t batch_size = data[0] % 8;
    // Now and then compressed: each batch then as the sequential encoder writes it.
    const kestrel::Compression compression = data[0] & 0x80 ? kestrel::Compression(1 + data[0] % 9) : std::nullopt;
    // Reads of a few bytes put line ends, CRs and batch ends across pieces.
    const size_t read_size = data[1] < 128 ? 1 + data[1] % 16 : size_t{1} << 20;
    const std::string input = work_directory + "/input.vcf";
    const std::string output = work_directory + "/out";
    kestrel::testing::write_file(input, {data + 2, size - 2});
    remove_outputs(output);
    try {
        kestrel::extract_variants_to_batches(input, output, batch_size, compression,
                                             kestrel::SplitTuning{.read_size = read_size});
    } catch (const kestrel::Stop&) {
        std::abort();  // a readable plain file in a writable directory never fails
    }
    // Every batch of the model, and nothing else: no further batch, no temporary.
    const auto expected = kestrel::testing::model_batches(std::string(data + 2, data + size), batch_size);
    std::map<std::string, std::string> expected_files;
    for (size_t i = 0; i < expected.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "batch_%02zu.vcf%s", i + 1, compression ? ".gz" : "");
        const auto& batch = expected[i];
        expected_files[name] = compression ? kestrel::testing::text_of(kestrel::testing::bgzf_encode(kestrel::as_bytes(batch), *compression).bytes) : batch;
    }
    if (kestrel::testing::files_of(output) != expected_files) std::abort();

    remove_outputs(output);
    kestrel::ScatterOptions options;
    options.input = input;
    options.output_dir = output;
    options.chunks = 1 + data[0] % 5;
    options.format.compression = 1;
    options.format.index = data[1] % 2 ? kestrel::index::IndexFormat::Tbi : kestrel::index::IndexFormat::Csi;
    options.place.keep_together = data[0] & 0x40;
    options.place.by_contig = data[0] & 0x80;
    options.tuning.read_size = read_size;
    size_t chunks = 0;
    try {
        const kestrel::QuietStops quiet;
        chunks = kestrel::scatter(options).size();
    } catch (const kestrel::Stop& stopped) {
        if (stopped.detail().kind != kestrel::StopDetail::Kind::Input || stopped.detail().line == 0) std::abort();
        chunks = SIZE_MAX;
    }
    size_t entries = 0;
    bool manifest = false;
    for (const auto& [name, content] : kestrel::testing::files_of(output)) {
        if (name[0] == '.') std::abort();  // a temporary left
        if (name == "manifest.tsv") manifest = true;
        entries += name.starts_with("batch_") && name.ends_with(".gz");
    }
    if (manifest != (chunks != SIZE_MAX)) std::abort();
    if (chunks != SIZE_MAX && entries != chunks) std::abort();
    return 0;
}
