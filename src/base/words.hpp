// Names read as words: whether a text is made only of some characters, and a text cut
// at a separator. What the names of this program's files are checked with.
//
// Contract: pure functions, safe from any thread; the views returned point into `text`.
#pragma once

#include <string_view>
#include <vector>

namespace kestrel {

inline constexpr std::string_view kDecimal = "0123456789";
inline constexpr std::string_view kHex = "0123456789abcdef";

// Whether `text` is not empty and has only characters of `characters`.
inline bool made_of(std::string_view text, std::string_view characters) {
    return !text.empty() && text.find_first_not_of(characters) == std::string_view::npos;
}

// `text` split at each `separator`.
inline std::vector<std::string_view> fields_of(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        const size_t end = text.find(separator, at);
        fields.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return fields;
        at = end + 1;
    }
}

}  // namespace kestrel
