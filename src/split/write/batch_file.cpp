#include "split/write/batch_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>

namespace kestrel {

std::string batch_file_name(int32_t number, const FileFormat& format) {
    char name[32];
    std::snprintf(name, sizeof name, "batch_%02d", number);
    return name + std::string(format.extension());
}

namespace {

bool made_of(std::string_view text, std::string_view characters) {
    return !text.empty() && text.find_first_not_of(characters) == std::string_view::npos;
}

constexpr std::string_view kDecimal = "0123456789";
constexpr std::string_view kHex = "0123456789abcdef";

// `text` split at each `separator`.
std::vector<std::string_view> fields_of(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        const size_t end = text.find(separator, at);
        fields.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return fields;
        at = end + 1;
    }
}

}  // namespace

bool is_chunk_file_name(std::string_view name) {
    std::string_view file = name;
    std::optional<index::IndexFormat> index;
    for (const index::IndexFormat kind : kIndexFormats) {
        if (file.ends_with(index_extension(kind))) {
            index = kind;
            file.remove_suffix(index_extension(kind).size());
            break;
        }
    }
    constexpr std::string_view kPrefix = "batch_";
    for (const FileFormat::Kind kind : FileFormat::kKinds) {
        const FileFormat format(kind);
        const std::string_view extension = format.extension();
        if (index && !format.indexable_by(*index)) continue;
        if (file.size() <= kPrefix.size() + extension.size() || !file.starts_with(kPrefix) || !file.ends_with(extension)) {
            continue;
        }
        const std::string_view digits = file.substr(kPrefix.size(), file.size() - kPrefix.size() - extension.size());
        if (!made_of(digits, kDecimal) || digits.size() > 10) continue;
        const uint64_t number = std::stoull(std::string(digits));
        // Only the spelling batch_file_name() gives: "batch_7.vcf" and "batch_007.vcf" are another program's.
        if (number >= 1 && number <= INT32_MAX && batch_file_name(static_cast<int32_t>(number), format) == file) return true;
    }
    return false;
}

std::vector<std::string> files_in_manifest(std::string_view text) {
    std::vector<std::string> names;
    if (!text.starts_with(kManifestHeader)) return names;
    text.remove_prefix(kManifestHeader.size());
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::vector<std::string_view> row = fields_of(text.substr(0, end), '\t');
        for (size_t column = 0; column < 2 && column < row.size(); ++column) {
            if (is_chunk_file_name(row[column])) names.emplace_back(row[column]);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return names;
}

// Contract text (docs/errors.md): callers match on it to the letter.
IoError output_is_input(const std::string& path) {
    const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
    const bool index = std::ranges::any_of(kIndexFormats, [&](auto kind) { return name.ends_with(index_extension(kind)); });
    const char* what = name == kManifestName ? "manifest" : index ? "index" : "batch file";
    return IoError::with_message(ErrorKind::InvalidInput, std::string("the ") + what + " " + path + " is the input file");
}

namespace {

// ".batch_01.vcf.<tag-><unique>.tmp": hidden, and matched by no batch_* pattern.
std::string temporary_name(const std::string& name, std::string_view tag) {
    static std::atomic<uint64_t> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%d-%llx-%llx.tmp", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(now),
                  static_cast<unsigned long long>(counter.fetch_add(1, std::memory_order_relaxed)));
    return "." + name + "." + (tag.empty() ? std::string() : std::string(tag) + "-") + suffix;
}

// The end of a temporary's name: "<pid>-<hex>-<hex>", after a run's tag (16 hex digits) and '-' where it has one.
bool is_unique_part(std::string_view text) {
    const std::vector<std::string_view> parts = fields_of(text, '-');
    const size_t tag = parts.size() == 4 ? 1 : 0;
    if (parts.size() != 3 + tag || (tag == 1 && (parts[0].size() != 16 || !made_of(parts[0], kHex)))) return false;
    return made_of(parts[tag], kDecimal) && made_of(parts[tag + 1], kHex) && made_of(parts[tag + 2], kHex);
}

}  // namespace

bool is_own_temporary(std::string_view name) {
    if (!name.starts_with('.')) return false;
    name.remove_prefix(1);
    if (name.ends_with(".run") && name.starts_with("kestrel-")) {
        // A RunToken: the tag of a cluster run, or of the check that a run can hold its chunks.
        const std::string_view tag = name.substr(8, name.size() - 12);
        const std::vector<std::string_view> parts = fields_of(tag, '-');
        return (tag.size() == 16 && made_of(tag, kHex)) ||
               (parts.size() == 3 && parts[0] == "hold" && made_of(parts[1], kDecimal) && made_of(parts[2], kDecimal));
    }
    if (!name.ends_with(".tmp")) return false;
    name.remove_suffix(4);
    if (name.starts_with("kestrel-")) {  // Directory::anonymous_file where the file system has no O_TMPFILE
        const std::vector<std::string_view> parts = fields_of(name.substr(8), '-');
        return parts.size() == 2 && made_of(parts[0], kDecimal) && made_of(parts[1], kDecimal);
    }
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || !is_unique_part(name.substr(dot + 1))) return false;
    const std::string_view file = name.substr(0, dot);
    return file == kManifestName || is_chunk_file_name(file);
}

std::variant<BatchFile, IoError> BatchFile::open(const Directory& directory, std::string name,
                                                 std::optional<FileIdentity> input, std::string_view tag) {
    if (input && directory.names(name, *input)) return output_is_input(directory.path_of(name));
    IoResult<File> created = IoError::os(EEXIST);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temporary = temporary_name(name, tag);
        created = directory.create_new(temporary);
        if (auto* file = std::get_if<File>(&created)) {
            return BatchFile(std::move(*file), directory, std::move(name), std::move(temporary), input);
        }
        if (std::get<IoError>(created).os_code() != EEXIST) break;
    }
    const int code = std::get<IoError>(created).os_code();
    if (code != EACCES && code != EPERM) return std::get<IoError>(created);
    // The directory takes no new file: the file itself, where it is one we may write.
    auto opened = directory.rewrite_existing(name);
    if (auto* error = std::get_if<IoError>(&opened)) {
        // Nothing to write in place (no such file, or a link of either kind): the
        // directory's refusal is the failure.
        const int code = error->os_code();
        return code == ENOENT || code == ELOOP || code == EMLINK ? std::get<IoError>(created) : *error;
    }
    return BatchFile(std::move(std::get<File>(opened)), directory, std::move(name), {}, input);
}

BatchFile& BatchFile::operator=(BatchFile&& other) noexcept {
    if (this != &other) {
        abandon();
        file_ = std::move(other.file_);
        directory_ = other.directory_;
        name_ = std::move(other.name_);
        temporary_ = std::move(other.temporary_);
        input_ = other.input_;
        committed_ = other.committed_;
        other.temporary_.clear();
        other.committed_ = true;
    }
    return *this;
}

std::optional<IoError> BatchFile::close(bool start_writeback) {
    if (!file_.is_open()) return std::nullopt;
    if (start_writeback) ::sync_file_range(file_.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (temporary_.empty() && !committed_) return std::nullopt;  // in place: kept open until committed
    if (auto error = file_.close_checked()) {
        abandon();
        return error;
    }
    return std::nullopt;
}

std::optional<IoError> BatchFile::commit(bool start_writeback) {
    if (start_writeback && file_.is_open()) ::sync_file_range(file_.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (file_.is_open()) {
        if (auto error = file_.close_checked()) {
            abandon();
            return error;
        }
    }
    if (!temporary_.empty()) {
        // The name may have become the input meanwhile (a hard link made to it).
        if (input_ && directory_->names(name_, *input_)) {
            abandon();
            return output_is_input(path());
        }
        if (auto error = directory_->rename(temporary_, name_)) {
            abandon();
            return error;
        }
        temporary_.clear();
    }
    committed_ = true;
    return std::nullopt;
}

void BatchFile::abandon() noexcept {
    if (!committed_ && temporary_.empty() && file_.is_open()) {
        (void)!::ftruncate(file_.fd(), 0);  // in place: no partial batch under its name
    }
    file_.close();
    if (!temporary_.empty()) {
        (void)directory_->remove(temporary_);
        temporary_.clear();
    }
}

namespace {

std::string token_name(std::string_view tag) { return ".kestrel-" + std::string(tag) + ".run"; }

// flock(2), retrying interruptions: these waits are short (a rename, or the caller's unlink).
std::optional<IoError> lock(const File& file, int operation) {
    while (::flock(file.fd(), operation) != 0) {
        if (errno != EINTR) return IoError::os(errno);
    }
    return std::nullopt;
}

}  // namespace

IoResult<RunToken> RunToken::create(const Directory& directory, std::string_view tag) {
    std::string name = token_name(tag);
    auto made = directory.create_new(name);
    if (auto* error = std::get_if<IoError>(&made)) return *error;
    return RunToken(std::move(std::get<File>(made)), directory, std::move(name));
}

void RunToken::end() noexcept {
    if (!file_.is_open()) return;
    // Taken alone, the token is held by no task that is making or renaming a file; once
    // its name is gone, none can take it again.
    (void)lock(file_, LOCK_EX);
    (void)directory_->remove(name_);
    file_.close();
}

void remove_stale_temporaries(const Directory& directory, const std::optional<FileIdentity>& input) {
    auto listed = directory.list();
    if (!std::holds_alternative<std::vector<std::string>>(listed)) return;
    for (const std::string& name : std::get<std::vector<std::string>>(listed)) {
        if (!is_own_temporary(name) || (input && directory.names(name, *input))) continue;
        if (name.ends_with(".run")) {
            // Taken alone first: a task that still holds it finishes its rename.
            auto opened = directory.open_regular(name);
            if (auto* token = std::get_if<File>(&opened)) (void)lock(*token, LOCK_EX);
        }
        (void)directory.remove(name);
    }
}

IoResult<RunHold> RunHold::take(const Directory& directory, std::string_view tag) {
    auto opened = directory.open_for_reading(token_name(tag));
    if (auto* error = std::get_if<IoError>(&opened)) {
        return error->os_code() == ENOENT ? IoError::os(ECANCELED) : *error;
    }
    File& file = std::get<File>(opened);
    file.keep_lock_from_forks();  // a child forked from here on must not keep the run from ending
    if (auto error = lock(file, LOCK_SH)) return *error;
    // Opened just before the caller removed it: the run has ended all the same.
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0) return IoError::os(errno);
    if (status.st_nlink == 0) return IoError::os(ECANCELED);
    return RunHold(std::move(file));
}

}  // namespace kestrel
