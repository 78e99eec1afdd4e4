// Every local ByteSource and OutputTarget against what the seams promise
// (tests/conformance.hpp); tests/python/storage runs it over those of URLs.
#include <gtest/gtest.h>

#include <unistd.h>

#include "conformance.hpp"
#include "split/storage/local_folder.hpp"
#include "support.hpp"

using namespace kestrel;
using namespace kestrel::testing;

TEST(Conformance, EveryLocalByteSource) {
    const TemporaryDirectory work;
    const Bytes bytes = vcf_text(60000, 11);  // within a pipe's buffer
    const std::string path = (work.path() / "in.vcf").string();
    write_file(path, bytes);
    const auto file = [&](off_t at) {
        File opened = std::get<File>(open_for_reading(path));
        ::lseek(opened.fd(), at, SEEK_SET);  // a source starts where its descriptor stands
        return std::make_unique<FileSource>(std::move(opened));
    };
    const auto pipe = [&] {
        int ends[2];
        EXPECT_TRUE(::pipe(ends) == 0 && !write_all(File(ends[1]).fd(), bytes));
        return std::make_unique<FileSource>(File(ends[0]));
    };
    const auto sniffed = [&](std::unique_ptr<ByteSource> rest) -> std::shared_ptr<ByteSource> {
        Bytes first(100);
        first.resize(std::get<size_t>(rest->read(first)));
        return with_prefix(std::move(first), std::move(rest));
    };
    const std::tuple<const char*, std::function<std::shared_ptr<ByteSource>()>, size_t, size_t> sources[] = {
        {"a file", [&] { return file(0); }, 0, 60000},
        {"a file from 500", [&] { return file(500); }, 500, 60000},
        {"a pipe", pipe, 0, 60000},
        {"memory", [&] { return memory_source(bytes); }, 0, 60000},
        {"read_from a file", [&] { return read_from(file(0), 1000); }, 1000, 60000},
        {"read_from memory", [&] { return read_from(memory_source(bytes), 1000, 41000); }, 1000, 41000},
        {"pass_over a pipe", [&] { return pass_over(pipe()); }, 0, 60000},
        {"with_prefix a file", [&] { return sniffed(file(0)); }, 0, 60000},
        {"with_prefix a pipe", [&] { return sniffed(pipe()); }, 0, 60000},
    };
    for (const auto& [name, make, from, to] : sources) {
        EXPECT_EQ(byte_source_faults(make, std::span(bytes).subspan(from, to - from)), std::vector<std::string>{}) << name;
    }
}

TEST(Conformance, LocalTargetPlainAndAsATaskWhileItsRunLastsAndAfter) {
    const TemporaryDirectory work;
    write_file(work.path() / "in.vcf", as_bytes("##fileformat=VCFv4.2\n"));
    const auto input = std::get<0>(open_file_source((work.path() / "in.vcf").string()))->identity();
    LocalFolder folder(std::get<Directory>(Directory::open(work.path().string())), input);
    const auto listing = [&] { return std::get<std::vector<std::string>>(folder.directory()->list()); };
    OutputTarget plain(folder), task(folder, "0123456789abcdef");
    EXPECT_EQ(output_target_faults(plain, "in.vcf", false), std::vector<std::string>{});
    auto mark = std::get<std::unique_ptr<Folder::Mark>>(folder.mark("0123456789abcdef"));
    EXPECT_EQ(output_target_faults(task, "in.vcf", false), std::vector<std::string>{});
    EXPECT_EQ(listing().size(), 2u);  // the input and the run's token
    mark.reset();
    EXPECT_EQ(output_target_faults(task, "in.vcf", true), std::vector<std::string>{});
    EXPECT_EQ(listing(), std::vector<std::string>{"in.vcf"});
}
