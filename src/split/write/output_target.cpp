#include "split/write/output_target.hpp"

#include <cerrno>

#include "base/stop.hpp"
#include "split/write/batch_file.hpp"

namespace kestrel {

std::optional<IoError> OutputTarget::holding(const std::function<std::optional<IoError>()>& body) {
    if (tag_.empty()) return body();
    auto hold = folder_.hold(tag_);
    if (auto* error = std::get_if<IoError>(&hold)) return *error;
    return body();
}

void lock_for_run(Folder& folder, const std::string& place, const std::string& tag) {
    if (folder.lock(tag)) return;
    stop(place + ": another run is writing into this directory",
         StopDetail::io_reason(EBUSY, place, "another run is writing into this directory"));
}

std::vector<std::string> files_named_by_manifest(const OutputTarget& target) {
    auto read = target.read_small(kManifestName, kMaxManifestBytes);
    if (auto* text = std::get_if<std::optional<std::string>>(&read); text && *text) return files_in_manifest(**text);
    return {};
}

void remove_output(OutputTarget& target, std::string_view name) {
    const std::string path = target.path_of(name);
    auto error = target.remove(name);
    if (!error) return;
    if (error->os_code() == 0) stop(path + ": " + error->display(), StopDetail::io(0, path, error->display()));
    stop_io("cannot remove", *error, path);
}

RunOutput::RunOutput(const std::string& place, const std::string& options, const InputName& input,
                     const std::string& tag)
    : folder_(file_system_for(place).open_folder(place, options, input, true)), target_(*folder_) {
    lock_for_run(*folder_, place, tag);
    folder_->remove_leftovers(is_run_file_name);
    earlier_files_ = files_named_by_manifest(target_);
    remove_output(target_, kManifestName);
}

}  // namespace kestrel
