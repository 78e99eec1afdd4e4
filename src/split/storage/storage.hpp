// Inputs and outputs that are not local files but URLs (s3://, gs://, az://,
// https://): opened by a backend that the embedding program installs (the Python
// boundary installs one over fsspec). Without one, a URL is refused.
//
// Contract: the backend's calls stop the call (Io details naming the URL) when they
// fail; install_storage is for a program's start (its modules' initialisation) and is
// not synchronised with runs under way.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/byte_source.hpp"
#include "split/write/output_target.hpp"

namespace kestrel {

class Storage {
public:
    // The input at `url`, with the store's options (JSON text, "" for none). Every read
    // checks what the store answers: the bytes asked for, all of them, of the version
    // first seen, else it fails naming the URL (a change: "the input changed while it
    // was read"). A server that answers no ranges gives a source that is not seekable,
    // read once from its start. With a `version` (another source's version()), an object
    // that is not that version fails as a change.
    virtual std::shared_ptr<ByteSource> open_input(const std::string& url, const std::string& options,
                                                   const std::string& version) = 0;
    std::shared_ptr<ByteSource> open_input(const std::string& url, const std::string& options) {
        return open_input(url, options, {});
    }
    // The output prefix at `url`, taken for a run: a second run into it fails at once
    // where the store allows a lock (the lock carries `tag`). No file of the run may be
    // `input` (the input's URL, where it is one).
    virtual std::unique_ptr<RunOutput> open_output(const std::string& url, const std::string& options,
                                                   const std::string& input, const std::string& tag) = 0;
    // The same prefix as a task of the run `tag` writes to it: files are put in place
    // only while the run holds the prefix.
    virtual std::unique_ptr<OutputTarget> open_task_output(const std::string& url, const std::string& options,
                                                           const std::string& input, const std::string& tag) = 0;

protected:
    ~Storage() = default;
};

// Whether `path` is a URL ("scheme://..."), not a local path.
bool is_url(std::string_view path);

void install_storage(Storage* storage) noexcept;
// The installed backend; stops naming `url` when there is none.
Storage& storage_for(const std::string& url);

}  // namespace kestrel
