// The counting pass over a BGZF file alone, against the least that inflating the same
// blocks costs: a plain loop of libdeflate on as many threads, each taking the next
// run of blocks from the file with pread(2) and counting its line feeds. bench/run.py
// builds it against the installed core (group `count`); by hand:
//
//   c++ -O2 -std=c++20 -Isrc bench/count_pass.cpp -o count_pass \
//       -L.venv/lib/python3.11/site-packages -lkestrel_core -ldeflate -Wl,-rpath,...
//   ./count_pass kestrel|calling-thread|libdeflate FILE
//
// Prints the records (lines not starting with '#') or line feeds, and the seconds.
#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "split/cut/split_loop.hpp"
#include "split/plan/record_count.hpp"
#include "split/plan/scatter.hpp"
#include "vcf/lines.hpp"

namespace {

// Every thread takes the next 64 blocks of the file, inflates them, checks their CRC-32
// and counts their line feeds.
uint64_t libdeflate_loop(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    // Block starts, from the headers (BSIZE at offset 16).
    std::vector<off_t> starts;
    for (off_t at = 0; at + 18 <= size;) {
        uint8_t header[18];
        if (::pread(fd, header, sizeof header, at) != 18) break;
        starts.push_back(at);
        at += (header[16] | header[17] << 8) + 1;
    }
    starts.push_back(size);
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> lines{0};
    const auto work = [&] {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        std::vector<uint8_t> in, out(65536);
        uint64_t mine = 0, crc_failures = 0;
        for (;;) {
            size_t first = next.fetch_add(64);
            if (first + 1 >= starts.size()) break;
            const size_t last = std::min(first + 64, starts.size() - 1);
            in.resize(static_cast<size_t>(starts[last] - starts[first]));
            if (::pread(fd, in.data(), in.size(), starts[first]) != static_cast<ssize_t>(in.size())) break;
            for (size_t block = first; block < last; ++block) {
                const uint8_t* data = in.data() + (starts[block] - starts[first]);
                const size_t length = static_cast<size_t>(starts[block + 1] - starts[block]);
                size_t got = 0;
                libdeflate_deflate_decompress(decompressor, data + 18, length - 26, out.data(), out.size(), &got);
                // As every reader of BGZF must, the data is checked against the block's CRC-32.
                crc_failures += libdeflate_crc32(0, out.data(), got) != (data[length - 8] | data[length - 7] << 8 |
                                                                        data[length - 6] << 16 |
                                                                        uint32_t{data[length - 5]} << 24);
                for (const uint8_t* at = out.data(); (at = static_cast<const uint8_t*>(
                                                          std::memchr(at, '\n', out.data() + got - at))) != nullptr;
                     ++at) {
                    ++mine;
                }
            }
        }
        lines += mine + crc_failures;
        libdeflate_free_decompressor(decompressor);
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i) threads.emplace_back(work);
    for (auto& thread : threads) thread.join();
    ::close(fd);
    return lines;
}

uint64_t kestrel_pass(const char* path) {
    return kestrel::count_bgzf_records(kestrel::open_source(path, {}), path, nullptr, [](uint64_t) {});
}

// The pass as it was before the tally: every inflated byte scanned again, line by line,
// on the calling thread.
uint64_t calling_thread_pass(const char* path) {
    auto input = kestrel::open_input(kestrel::read_from(kestrel::open_source(path, {}), 0), kestrel::InputFormat::Bgzf, 0);
    uint64_t records = 0;
    bool line_start = true;
    kestrel::read_through(*input, path, [&](std::span<const uint8_t> bytes) {
        records += line_start && kestrel::vcf::is_record_start(bytes[0]);
        kestrel::vcf::for_each_line_start(bytes, [&](uint8_t first) { records += kestrel::vcf::is_record_start(first); });
        line_start = bytes.back() == '\n';
    });
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: count_pass kestrel|calling-thread|libdeflate FILE\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::string mode = argv[1];
    const uint64_t counted = mode == "kestrel"         ? kestrel_pass(argv[2])
                             : mode == "calling-thread" ? calling_thread_pass(argv[2])
                                                        : libdeflate_loop(argv[2]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%llu %.3f\n", static_cast<unsigned long long>(counted), took.count());
    return 0;
}
