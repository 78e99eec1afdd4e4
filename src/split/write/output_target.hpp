// Where a run's files go, with the run's rules over the files of a Folder
// (split/storage/file_system.hpp), the same for a local directory and an object prefix:
// a file of a task of a run on a cluster is made and put in place only while that run
// lasts (OutputTarget, with the run's tag); a scatter run takes its place alone, finds
// what an earlier run left and removes its manifest before it writes (RunOutput).
//
// Contract: failures are returned as IoError values; nothing here stops the call but
// the opening of a RunOutput, `holding`'s body and `flush` (which has no one to return
// a failure to file by file), and any call may end it with Interrupted where the
// folder calls into its embedding program. Used by the thread that runs the split.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.hpp"
#include "split/storage/file_system.hpp"

namespace kestrel {

// The files of a run in a folder, which must outlive it. With a `tag` (a task of a run
// on a cluster), temporaries carry it, and files are made and put in place only while
// the run's mark is there.
class OutputTarget {
public:
    explicit OutputTarget(Folder& folder, std::string tag = {}) : folder_(folder), tag_(std::move(tag)) {}

    Folder& folder() const { return folder_; }
    std::string path_of(std::string_view name) const { return folder_.path_of(name); }
    bool local() const { return folder_.local(); }
    IoResult<std::unique_ptr<OutputFile>> create(const std::string& name) { return folder_.create(name, tag_); }
    // Removes `name`; one that is not there is no error; one that is the input is.
    std::optional<IoError> remove(std::string_view name) { return folder_.remove(name); }
    std::optional<uint64_t> size_of(std::string_view name) const { return folder_.size_of(name); }
    IoResult<std::optional<std::string>> read_small(std::string_view name, size_t most) const {
        return folder_.read_small(name, most);
    }
    bool still_there() const { return folder_.still_there(); }
    // Runs `body` while the run this target belongs to lasts and holds that state
    // meanwhile (a run on a cluster that ended puts nothing in place any more);
    // ECANCELED without running it once the run has ended.
    std::optional<IoError> holding(const std::function<std::optional<IoError>()>& body);
    void flush(const std::vector<std::string>& names) { folder_.flush(names); }
    IoResult<File> scratch() { return folder_.scratch(); }

private:
    Folder& folder_;
    std::string tag_;
};

// Takes `folder`, shown as `place`, for the run `tag`: stops with "PLACE: another run is
// writing into this directory" where another run has it.
void lock_for_run(Folder& folder, const std::string& place, const std::string& tag);

// The largest manifest whose names are read; a larger one is passed over (a manifest
// of a million chunks is a hundred megabytes).
inline constexpr size_t kMaxManifestBytes = size_t{256} << 20;

// The chunk files and indexes the manifest in `target` names (files_in_manifest);
// none where there is no manifest or it cannot be read, is not a regular file, or is
// larger than kMaxManifestBytes.
std::vector<std::string> files_named_by_manifest(const OutputTarget& target);

// Removes `name` from `target`; stops naming it when it cannot.
void remove_output(OutputTarget& target, std::string_view name);

// The output place of a whole scatter run (a directory, made if need be, or an object
// prefix), taken for it: locked (a second run into it fails at once, where the store
// allows a lock), the hidden files that killed runs left removed, an earlier manifest
// read for the files it names and removed at once (it would describe files this run
// replaces). Stops when any of that fails. Dropped, it lets go of the lock, and a
// local directory it made and into which no file came goes again.
class RunOutput {
public:
    RunOutput(const std::string& place, const std::string& options, const InputName& input, const std::string& tag);

    OutputTarget& target() { return target_; }
    const OutputTarget& target() const { return target_; }
    // A file of the run is in it: it stays.
    void used() { folder_->keep(); }
    // The local directory, where it is one: what a run on a cluster needs of it.
    const Directory* directory() const { return folder_->directory(); }
    // The chunk files and indexes the earlier run's manifest named: those this run does
    // not write are removed before its manifest.
    const std::vector<std::string>& earlier_files() const { return earlier_files_; }

private:
    std::unique_ptr<Folder> folder_;
    OutputTarget target_;
    std::vector<std::string> earlier_files_;
};

}  // namespace kestrel
