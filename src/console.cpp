#include "console.hpp"

#include <unistd.h>

#include "file.hpp"
#include "interface/stop.hpp"

namespace kestrel {

void print_line(std::string_view text) {
    if (auto error = write_all(STDOUT_FILENO, as_bytes(text))) {
        stop("failed printing to stdout: " + error->display());
    }
}

}  // namespace kestrel
