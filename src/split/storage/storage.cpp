#include "split/storage/storage.hpp"

#include <atomic>
#include <cctype>

#include "base/stop.hpp"

namespace kestrel {
namespace {

std::atomic<Storage*> installed{nullptr};

}  // namespace

bool is_url(std::string_view path) {
    const size_t separator = path.find("://");
    if (separator == std::string_view::npos || separator == 0) return false;
    const std::string_view scheme = path.substr(0, separator);
    for (const char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return scheme != "file";
}

void install_storage(Storage* storage) noexcept { installed.store(storage); }

Storage& storage_for(const std::string& url) {
    Storage* storage = installed.load();
    if (storage == nullptr) {
        stop(url + ": URLs need the storage of kestrel_scatter",
             StopDetail::usage(url + ": a URL can be read and written only through kestrel_scatter"));
    }
    return *storage;
}

}  // namespace kestrel
