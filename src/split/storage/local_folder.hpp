// The local file system: paths, and a directory held open as a Folder. Each file is
// written under a temporary name and renamed into place (local_files.hpp BatchFile);
// the run's lock is an advisory lock on the directory; the mark of a run on a cluster
// is a token file that tasks hold shared (RunToken, RunHold).
//
// Contract: as file_system.hpp's. A LocalFolder owns its Directory (and the
// directories made for it, removed when it is dropped unless kept).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.hpp"
#include "split/storage/file_system.hpp"

namespace kestrel {

class LocalFolder final : public Folder {
public:
    // `input`: no file of the folder may be it. `made`: the directories made for it.
    LocalFolder(Directory directory, std::optional<FileIdentity> input,
                std::unique_ptr<MadeDirectories> made = nullptr)
        : made_(std::move(made)), directory_(std::move(directory)), input_(input) {}

    std::string path_of(std::string_view name) const override { return directory_.path_of(name); }
    bool local() const override { return true; }
    const Directory* directory() const override { return &directory_; }
    IoResult<std::unique_ptr<OutputFile>> create(const std::string& name, std::string_view tag) override;
    std::optional<IoError> remove(std::string_view name) override;
    std::optional<uint64_t> size_of(std::string_view name) const override { return directory_.size_of(name); }
    IoResult<std::optional<std::string>> read_small(std::string_view name, size_t most) const override;
    bool still_there() const override { return directory_.still_there(); }
    void flush(const std::vector<std::string>& names) override;
    IoResult<File> scratch() override { return directory_.anonymous_file(); }
    bool lock(const std::string& tag) override;
    IoResult<std::unique_ptr<Mark>> mark(const std::string& tag) override;
    IoResult<std::unique_ptr<Mark>> hold(const std::string& tag) override;
    void remove_leftovers(bool (*ours)(std::string_view file_name)) override;
    void keep() override {
        if (made_) made_->keep();
    }

private:
    std::unique_ptr<MadeDirectories> made_;  // removed last, once the directory is closed
    Directory directory_;
    std::optional<FileIdentity> input_;
};

}  // namespace kestrel
