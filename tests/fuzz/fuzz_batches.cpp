// Any bytes as a plain input: the batch files must hold exactly what a plain model
// of the cutting rules says, and nothing may crash, hang or leak. The same bytes
// scattered into indexed chunks either succeed or are refused as input with a line
// number, leaving no temporary and no manifest.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/stop.hpp"
#include "split/batch_entry.hpp"
#include "split/scatter_entry.hpp"
#include "support.hpp"

namespace {

std::string work_directory;

using kestrel::testing::model_batches;
using kestrel::testing::read_file;

void remove_outputs(const std::string& directory) {
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((directory + "/" + name).c_str());
        }
        closedir(dir);
    }
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
    // Reads of a few bytes put line ends, CRs and batch ends across pieces.
    const size_t read_size = data[1] < 128 ? 1 + data[1] % 16 : size_t{1} << 20;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string input = work_directory + "/input.vcf";
    const std::string output = work_directory + "/out";
    {
        FILE* file = std::fopen(input.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    remove_outputs(output);
    try {
        kestrel::extract_variants_to_batches(input, output, batch_size, std::nullopt,
                                             kestrel::SplitTuning{.read_size = read_size});
    } catch (const kestrel::Stop&) {
        std::abort();  // a readable plain file in a writable directory never fails
    }
    const auto expected = model_batches(text, batch_size);
    for (size_t i = 0; i < expected.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/batch_%02zu.vcf", i + 1);
        if (read_file(output + name) != expected[i]) std::abort();
    }
    // Nothing else: no further batch, no temporary left behind.
    size_t entries = 0;
    if (DIR* dir = opendir(output.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ++entries;
        }
        closedir(dir);
    }
    if (entries != expected.size()) std::abort();

    remove_outputs(output);
    kestrel::ScatterOptions options;
    options.input = input;
    options.output_dir = output;
    options.chunks = 1 + data[0] % 5;
    options.format.compression = 1;
    options.format.index = data[1] % 2 ? kestrel::index::IndexFormat::Tbi : kestrel::index::IndexFormat::Csi;
    options.tuning.read_size = read_size;
    size_t chunks = 0;
    try {
        const kestrel::QuietStops quiet;
        chunks = kestrel::scatter(options).size();
    } catch (const kestrel::Stop& stopped) {
        if (stopped.detail().kind != kestrel::StopDetail::Kind::Input || stopped.detail().line == 0) std::abort();
        chunks = SIZE_MAX;
    }
    entries = 0;
    bool manifest = false;
    if (DIR* dir = opendir(output.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name[0] == '.' && name != "." && name != "..") std::abort();  // a temporary left
            if (name == "manifest.tsv") manifest = true;
            entries += name.starts_with("batch_") && name.ends_with(".gz");
        }
        closedir(dir);
    }
    if (manifest != (chunks != SIZE_MAX)) std::abort();
    if (chunks != SIZE_MAX && entries != chunks) std::abort();
    return 0;
}
