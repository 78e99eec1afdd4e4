// Debug forms of texts inside failure messages: the text in double quotes with
// quotes, backslashes and unprintable characters escaped.
//
// Contract: pure functions of their input; they never fail and are thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// `text` is UTF-8; bytes that are not valid UTF-8 are shown as \x escapes.
std::string debug_quoted(std::string_view text);

// debug_quoted of at most the first `limit` bytes of a field that came from the input
// (cut at a character boundary), followed by "..." when there is more: a message
// never repeats a huge field.
std::string debug_quoted_prefix(std::string_view text, size_t limit = 48);

// Where a byte sequence stops being valid UTF-8.
struct Utf8Error {
    size_t valid_up_to = 0;
    std::optional<size_t> error_len;  // none: the input ends inside a sequence

    std::string display() const;
    std::string debug() const;
};

// nullopt when `bytes` is valid UTF-8.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

}  // namespace kestrel

namespace kestrel {
// `bytes` with each maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);
}  // namespace kestrel
