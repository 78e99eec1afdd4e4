#include "split/batch_file.hpp"

#include <cstdio>

#include "bgzf/parallel_writer.hpp"
#include "base/file.hpp"
#include "base/stop.hpp"

namespace kestrel {

std::string batch_file_name(int32_t number, bool compressed) {
    char name[32];
    std::snprintf(name, sizeof name, "batch_%02d.vcf%s", number, compressed ? ".gz" : "");
    return name;
}

namespace {

std::optional<IoError> write_plain(int fd, std::span<const uint8_t> header,
                                   std::span<const uint8_t> records) {
    if (auto error = write_all(fd, header)) return error;
    return write_all(fd, records);
}

// The whole stream is built in memory and reaches the file in one write, so a
// failed compression leaves the file empty.
std::optional<IoError> write_compressed(int fd, uint32_t level, std::span<const uint8_t> header,
                                        std::span<const uint8_t> records) {
    std::vector<uint8_t> stream;
    {
        bgzf::ParallelBgzfWriter writer(stream, level);
        if (auto error = writer.write(header)) return error;
        if (auto error = writer.write(records)) return error;
        auto closed = std::move(writer).close();
        if (auto* error = std::get_if<IoError>(&closed)) return *error;
    }
    return write_all(fd, stream);
}

}  // namespace

std::optional<bgzf::BgzfError> save_batch(int32_t number, std::string_view output_path,
                                          Compression compression,
                                          std::span<const uint8_t> header,
                                          std::span<const uint8_t> records) {
    if (auto error = create_dir_all(output_path)) {
        stop_with("An error occurred creating the directory", *error);
    }
    const std::string path = join_path(output_path, batch_file_name(number, compression.has_value()));
    auto opened = create_or_truncate(path);
    if (auto* error = std::get_if<IoError>(&opened)) return bgzf::BgzfError::io(*error);
    File file = std::move(std::get<File>(opened));

    auto error = compression ? write_compressed(file.fd(), *compression, header, records)
                             : write_plain(file.fd(), header, records);
    if (error) return bgzf::BgzfError::io(*error);
    return std::nullopt;
}

}  // namespace kestrel
