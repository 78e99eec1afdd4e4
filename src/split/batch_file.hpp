// The batch files: their names, and one batch file while it is being written.
//
// A batch file is written under a temporary name in the output directory and
// renamed into place only when complete, so no partial file is ever visible under a
// batch name and an older file of that name stays as it was until then. Where the
// directory allows no new file but the batch file itself is writable, it is written
// in place instead.
//
// Contract: failures are returned as IoError values; nothing here stops the call.
// A BatchFile owns its descriptor and, until committed, its temporary, which it
// removes when dropped. Used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/file.hpp"

namespace kestrel {

// None, or the DEFLATE level of compressed batch files (1, 6 or 9).
using Compression = std::optional<uint32_t>;

// "batch_07.vcf", "batch_123.vcf.gz": the number zero-padded to at least two digits.
// The one place that names batch files; the progress lines use it too.
std::string batch_file_name(int32_t number, bool compressed);

class BatchFile {
public:
    // Opens batch `number` in `directory` (which exists). Refuses a batch file that
    // is the input (`input`: its identity), naming the file.
    static std::variant<BatchFile, IoError> open(std::string_view directory, int32_t number, bool compressed,
                                                 std::optional<FileIdentity> input);
    // The same for any file the output directory receives (an index, the manifest).
    static std::variant<BatchFile, IoError> open_named(std::string_view directory, std::string_view name,
                                                       std::optional<FileIdentity> input);

    BatchFile(BatchFile&&) noexcept = default;
    BatchFile& operator=(BatchFile&&) noexcept;
    ~BatchFile() { abandon(); }

    int fd() const { return file_.fd(); }
    // Where the file will be once committed.
    const std::string& path() const { return path_; }
    // Where the bytes written so far are, to read them back.
    const std::string& current_path() const { return temporary_.empty() ? path_ : temporary_; }

    // Closes the file (a failed close is a failed save) and renames it into place.
    // On failure the temporary is removed.
    std::optional<IoError> commit();
    // Closes the file and removes the temporary; a file written in place stays.
    void abandon() noexcept;

private:
    BatchFile(File file, std::string path, std::string temporary)
        : file_(std::move(file)), path_(std::move(path)), temporary_(std::move(temporary)) {}

    File file_;
    std::string path_;
    std::string temporary_;  // empty when writing in place
};

}  // namespace kestrel
