// Progress and summary lines go straight to file descriptor 1, not through the
// interpreter's sys.stdout; each line is written whole before the call goes on.
#pragma once

#include <string_view>

namespace kestrel {

// Stops the call with "failed printing to stdout: <error>" when the write fails.
void print_line(std::string_view text_with_newline);

}  // namespace kestrel
