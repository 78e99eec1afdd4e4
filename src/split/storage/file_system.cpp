#include "split/storage/file_system.hpp"

#include <cctype>
#include <map>
#include <mutex>

#include "base/stop.hpp"

namespace kestrel {
namespace {

// Filled as modules start, read by every run after: a mutex costs nothing beside a file's opening.
std::mutex registry_mutex;
std::map<std::string, FileSystem*>& registry() {
    static std::map<std::string, FileSystem*> backends;
    return backends;
}

std::string scheme_of(std::string_view url) {
    std::string scheme(url.substr(0, url.find("://")));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

}  // namespace

void stop_io(const std::string& what, const IoError& error, const std::string& path) {
    stop(what + " " + path + ": " + error.display(), StopDetail::io(error.os_code(), path, error.display()));
}

bool is_url(std::string_view path) {
    const size_t separator = path.find("://");
    if (separator == std::string_view::npos || separator == 0) return false;
    const std::string_view scheme = path.substr(0, separator);
    for (const char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return scheme != "file";
}

void register_file_system(const std::string& scheme, FileSystem* backend) {
    const std::lock_guard lock(registry_mutex);
    registry()[scheme] = backend;
}

FileSystem& file_system_for(const std::string& path) {
    if (!is_url(path)) return local_file_system();
    {
        const std::lock_guard lock(registry_mutex);
        const auto& backends = registry();
        for (const std::string& scheme : {scheme_of(path), std::string("*")}) {
            if (auto found = backends.find(scheme); found != backends.end() && found->second) return *found->second;
        }
    }
    stop(path + ": URLs need the storage of kestrel_scatter",
         StopDetail::usage(path + ": a URL can be read and written only through kestrel_scatter"));
}

std::shared_ptr<ByteSource> open_input(const std::string& path, const std::string& options,
                                       const std::string& version) {
    return file_system_for(path).open_input(path, options, version);
}

}  // namespace kestrel
