// The batch files: their names, and one file of the output directory while it is
// being written.
//
// A file is written under a temporary name of its own in the output directory and
// renamed into place only when complete, so no partial file is ever visible under
// its name, an older file of that name stays as it was until then, and a symbolic
// link of that name is replaced, never written through. Only where the directory
// refuses new files for permission (EACCES, EPERM) and the name is an existing
// regular file without another name (a hard link may lie outside the directory) is
// that file rewritten in place instead: it is emptied at once, and
// emptied again when the write fails, so it never holds a partial batch either.
//
// Contract: failures are returned as IoError values; nothing here stops the call.
// A BatchFile owns its descriptor and, until committed, its temporary, which it
// removes when dropped; the Directory it was opened in must outlive it. No file the
// run reads from (`input`) is ever emptied or replaced: that is a failure naming
// the file. Used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/file.hpp"
#include "split/write/file_format.hpp"

namespace kestrel {

// "batch_07.vcf", "batch_123.vcf.gz": the number zero-padded to at least two digits,
// then the format's extension. The one place that names batch files.
std::string batch_file_name(int32_t number, const FileFormat& format);
// Whether `name` is a batch file's name as batch_file_name() makes it in any format,
// or its index's (that name and the index's extension, for a format that takes it).
// Such a name is a single component: no '/', never "." or "..".
bool is_chunk_file_name(std::string_view name);

// The manifest of a scatter run in its output directory, and its first row.
inline constexpr std::string_view kManifestName = "manifest.tsv";
inline constexpr std::string_view kManifestHeader =
    "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes\n";
// The chunk files and indexes a manifest's text names (its file and index columns),
// those of is_chunk_file_name() only: a manifest is read as untrusted input. None where
// the text does not start with kManifestHeader.
std::vector<std::string> files_in_manifest(std::string_view text);

// Whether `name` is one of the hidden files a run of this program makes and removes
// again: a temporary (BatchFile, Directory::anonymous_file) or a RunToken.
bool is_own_temporary(std::string_view name);
// Removes the hidden files of is_own_temporary() that runs left in `directory` when
// they were killed, and nothing else; never `input`. For a caller that holds the
// directory's lock (no run of ours is writing there): a task of an ended cluster run
// that still holds its token is waited for, as RunToken::end() waits. Failures are
// passed over: what stays is hidden and matched by no batch_* pattern.
void remove_stale_temporaries(const Directory& directory, const std::optional<FileIdentity>& input);

// The failure of an output that would be the input: "the batch file (index,
// manifest) PATH is the input file".
IoError output_is_input(const std::string& path);

class BatchFile {
public:
    // `tag`, when not empty, goes into the temporary's name (".NAME.TAG-<unique>.tmp"),
    // so that the temporaries of one run can be found by it.
    static std::variant<BatchFile, IoError> open(const Directory& directory, std::string name,
                                                 std::optional<FileIdentity> input, std::string_view tag = {});

    BatchFile(BatchFile&& other) noexcept { *this = std::move(other); }
    BatchFile& operator=(BatchFile&&) noexcept;
    ~BatchFile() { abandon(); }

    int fd() const { return file_.fd(); }
    const std::string& name() const { return name_; }
    // Where the file will be once committed, for messages.
    std::string path() const { return directory_->path_of(name_); }
    // The bytes written so far, to read them back.
    IoResult<File> read_back() const { return directory_->open_for_reading(current_name()); }

    // Closes the file (a failed close is a failed save) and renames it into place.
    // With `start_writeback`, the system starts writing it to stable storage now, so
    // that a later fsync finds little left to do. On failure the file is abandoned.
    std::optional<IoError> commit(bool start_writeback = false);
    // The file is complete: closed as commit() closes it, but left under its temporary
    // name until commit() (a file written in place stays open, so that abandoning it
    // can still empty it). On failure the file is abandoned.
    std::optional<IoError> close(bool start_writeback = false);
    // Closes the file and removes the temporary (a file written in place is emptied).
    void abandon() noexcept;

private:
    BatchFile(File file, const Directory& directory, std::string name, std::string temporary,
              std::optional<FileIdentity> input)
        : file_(std::move(file)),
          directory_(&directory),
          name_(std::move(name)),
          temporary_(std::move(temporary)),
          input_(input) {}
    const std::string& current_name() const { return temporary_.empty() ? name_ : temporary_; }

    File file_;
    const Directory* directory_ = nullptr;
    std::string name_;
    std::string temporary_;  // empty when writing in place
    std::optional<FileIdentity> input_;
    bool committed_ = false;
};

// The mark of a run whose tasks write on other machines: a file in the output
// directory (".kestrel-TAG.run") that a task holds, shared, while it makes, replaces or
// renames a file of the run, and that the caller removes, holding it alone, when the
// run ends. From then on no task of the run, wherever it still runs, makes or renames
// anything in the directory (a task that holds a directory without the token, one
// that replaced the caller's, makes nothing either).
//
// Contract: failures are returned as IoError values (ECANCELED: the run has ended).
// The locks are flock(2) locks on the token, so they hold across processes and, on
// NFS, across machines. A RunToken is the caller's, one per run; RunHolds may be taken
// on any thread of any process.
class RunToken {
public:
    // Makes the token (its name must be new in the directory), which must outlive it.
    static IoResult<RunToken> create(const Directory& directory, std::string_view tag);
    RunToken(RunToken&&) noexcept = default;
    RunToken& operator=(RunToken&&) = delete;
    ~RunToken() { end(); }

    // Waits until no task holds the token, then removes it; no task of the run makes
    // or renames a file afterwards. Idempotent.
    void end() noexcept;

private:
    RunToken(File file, const Directory& directory, std::string name)
        : file_(std::move(file)), directory_(&directory), name_(std::move(name)) {}
    File file_;
    const Directory* directory_ = nullptr;
    std::string name_;
};

class RunHold {
public:
    // The token of the run `tag` in `directory`, held until the RunHold is dropped;
    // ECANCELED once the run has ended (or where the token never was).
    static IoResult<RunHold> take(const Directory& directory, std::string_view tag);

private:
    explicit RunHold(File file) : file_(std::move(file)) {}
    File file_;  // closing it lets go of the lock
};

}  // namespace kestrel
