#include "split/batch_file.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kestrel {

std::string batch_file_name(int32_t number, bool compressed) {
    char name[32];
    std::snprintf(name, sizeof name, "batch_%02d.vcf%s", number, compressed ? ".gz" : "");
    return name;
}

namespace {

// ".batch_01.vcf.<unique>.tmp": hidden, and matched by no batch_* pattern.
std::string temporary_name(const std::string& name) {
    static std::atomic<uint64_t> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%d-%llx-%llx.tmp", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(now),
                  static_cast<unsigned long long>(counter.fetch_add(1, std::memory_order_relaxed)));
    return "." + name + suffix;
}

}  // namespace

std::variant<BatchFile, IoError> BatchFile::open(std::string_view directory, int32_t number, bool compressed,
                                                 std::optional<FileIdentity> input) {
    return open_named(directory, batch_file_name(number, compressed), input);
}

std::variant<BatchFile, IoError> BatchFile::open_named(std::string_view directory, std::string_view name,
                                                       std::optional<FileIdentity> input) {
    std::string path = join_path(directory, name);
    if (input && identity_of(path) == input) {
        return IoError::with_message(ErrorKind::InvalidInput, "the batch file " + path + " is the input file");
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temporary = join_path(directory, temporary_name(std::string(name)));
        auto created = create_new(temporary);
        if (auto* file = std::get_if<File>(&created)) return BatchFile(std::move(*file), std::move(path), std::move(temporary));
        if (std::get<IoError>(created).os_code() != EEXIST) break;
    }
    // The directory takes no new file: write the batch file itself, as far as it lets us.
    auto opened = create_or_truncate(path);
    if (auto* error = std::get_if<IoError>(&opened)) return *error;
    return BatchFile(std::move(std::get<File>(opened)), std::move(path), {});
}

BatchFile& BatchFile::operator=(BatchFile&& other) noexcept {
    if (this != &other) {
        abandon();
        file_ = std::move(other.file_);
        path_ = std::move(other.path_);
        temporary_ = std::move(other.temporary_);
        other.temporary_.clear();
    }
    return *this;
}

std::optional<IoError> BatchFile::commit() {
    if (auto error = file_.close_checked()) {
        abandon();
        return error;
    }
    if (temporary_.empty()) return std::nullopt;
    if (auto error = rename_file(temporary_, path_)) {
        abandon();
        return error;
    }
    temporary_.clear();
    return std::nullopt;
}

void BatchFile::abandon() noexcept {
    file_.close();
    if (!temporary_.empty()) {
        remove_file(temporary_);
        temporary_.clear();
    }
}

}  // namespace kestrel
