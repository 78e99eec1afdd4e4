#include "save_batch.hpp"

#include <cstdio>

#include "file.hpp"
#include "interface/stop.hpp"

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

    if (compression) {
        stop("compressed batch files are not available in this build");
    }
    if (auto error = write_plain(file.fd(), header, records)) return bgzf::BgzfError::io(*error);
    return std::nullopt;
}

}  // namespace kestrel
