// The streaming split against a model that holds every batch whole and encodes it
// one block at a time: for random inputs (header lines among the records, CRLF,
// bytes that are not UTF-8, lines longer than a block, lines cut anywhere by small
// reads), every batch file, every progress line and nothing else must come out.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "split/run/batch_entry.hpp"
#include "split/run/scatter_entry.hpp"
#include "support.hpp"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// The files a split must leave (name -> content) and the lines it must print.
struct Model {
    std::map<std::string, std::string> files;
    std::string progress;
};

Model whole_batch_model(const std::string& text, uint32_t batch_size, Compression compression, const std::string& out) {
    const std::vector<std::string> batches = model_batches(text, batch_size);
    // Every batch but a shorter last one is full; batch_size 0 makes every batch full.
    const size_t records = model_batches(text, 1).size();
    const bool has_final = batch_size > 0 && records % batch_size != 0;
    Model model;
    for (size_t number = 1; number <= batches.size(); ++number) {
        char name[48];
        std::snprintf(name, sizeof name, "batch_%02zu.vcf%s", number, compression ? ".gz" : "");
        const std::string& batch = batches[number - 1];
        model.files[name] = compression ? text_of(bgzf_encode(as_bytes(batch), *compression).bytes) : batch;
        const bool final = has_final && number == batches.size();
        model.progress += final ? "Saving final batch with less than " + std::to_string(batch_size) + " samples to "
                                : "Saving ";
        model.progress += name + std::string("\n");
    }
    model.progress += "Saved " + std::to_string(batches.size()) + " batches with " + std::to_string(batch_size) +
                      " samples to " + out + ".\n";
    return model;
}

std::string random_vcf(std::mt19937& random) {
    static const char* const kinds[] = {"chr1\t100\t.\tA\tG\t50\tPASS\tDP=3", "#CHROM\tPOS", "##late=header", "",
                                        "\r", "x\ry", "\xff\xfe not UTF-8 \xc3", "\xef\xbb\xbf#bom"};
    std::string text = "##fileformat=VCFv4.2\n";
    const size_t lines = random() % 60;
    for (size_t i = 0; i < lines; ++i) {
        const unsigned pick = random() % 20;
        if (pick < 8) {
            text += kinds[pick];
        } else if (pick == 8) {
            text += std::string(65280 + random() % 140000, 'A');  // longer than a block
        } else {
            text += "chr2\t" + std::to_string(random()) + "\t.\tC\tT";
        }
        text += random() % 4 == 0 ? "\r\n" : "\n";
    }
    if (random() % 3 == 0) text += random() % 2 ? "last\r" : "#last";
    return text;
}

// Runs one split with fd 1 sent to a file; returns what it printed.
std::string split(const std::string& input, const std::string& out, uint32_t batch_size, Compression compression,
                  size_t read_size) {
    const std::string printed = out + ".stdout";
    const int saved = ::dup(STDOUT_FILENO);
    const int capture = ::open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(capture, STDOUT_FILENO);
    ::close(capture);
    extract_variants_to_batches(input, out, batch_size, compression, SplitTuning{.read_size = read_size});
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return read_file(printed);
}

TEST(SplitStreaming, MatchesTheWholeBatchModel) {
    const TemporaryDirectory temporary;
    const std::string work = temporary.path().string();
    std::mt19937 random(20261207);
    const uint32_t batch_sizes[] = {0, 1, 2, 3, 7, 50, 4000000000u};
    const size_t read_sizes[] = {1, 2, 7, 100, 4096, 1 << 20};
    for (int round = 0; round < 200; ++round) {
        const std::string text = random_vcf(random);
        const uint32_t batch_size = batch_sizes[random() % std::size(batch_sizes)];
        // Reads of a few bytes cost a system call each: those only on short texts.
        size_t read_size = read_sizes[random() % std::size(read_sizes)];
        if (text.size() > 20000) read_size = std::max<size_t>(read_size, 4096);
        const Compression compression = random() % 2 ? Compression(1 + random() % 9) : std::nullopt;
        const bool compressed_input = random() % 3 == 0;
        const std::string input = work + "/in" + std::to_string(round) + (compressed_input ? ".vcf.gz" : ".vcf");
        const Bytes plain(text.begin(), text.end());
        write_file(input, compressed_input ? bgzf_encode(plain).bytes : plain);
        const std::string out = work + "/out" + std::to_string(round);
        SCOPED_TRACE("round " + std::to_string(round) + ", batch size " + std::to_string(batch_size) +
                     ", read size " + std::to_string(read_size) + (compression ? ", compressed" : ""));

        const std::string printed = split(input, out, batch_size, compression, read_size);
        const Model model = whole_batch_model(text, batch_size, compression, out);
        EXPECT_EQ(printed, model.progress);
        EXPECT_TRUE(files_of(out) == model.files);  // every batch, and nothing else: no temporary
    }
}

}  // namespace
