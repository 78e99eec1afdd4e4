#include "base/debug_text.hpp"

#include <cstdint>
#include <cstdio>

namespace kestrel {
namespace {

// Length of the valid UTF-8 sequence starting at `s[i]`, or 0 when it is invalid;
// `error_len` receives the length of the invalid prefix (0: truncated at the end).
size_t utf8_sequence(std::string_view s, size_t i, size_t& error_len, uint32_t& code_point) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t b0 = byte(i);
    error_len = 1;
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) { need = 1; code_point = b0 & 0x1F; }
    else if (b0 == 0xE0) { need = 2; lo = 0xA0; code_point = b0 & 0x0F; }
    else if (b0 >= 0xE1 && b0 <= 0xEC) { need = 2; code_point = b0 & 0x0F; }
    else if (b0 == 0xED) { need = 2; hi = 0x9F; code_point = b0 & 0x0F; }
    else if (b0 >= 0xEE && b0 <= 0xEF) { need = 2; code_point = b0 & 0x0F; }
    else if (b0 == 0xF0) { need = 3; lo = 0x90; code_point = b0 & 0x07; }
    else if (b0 >= 0xF1 && b0 <= 0xF3) { need = 3; code_point = b0 & 0x07; }
    else if (b0 == 0xF4) { need = 3; hi = 0x8F; code_point = b0 & 0x07; }
    else return 0;
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            error_len = 0;
            return 0;
        }
        const uint8_t b = byte(i + k);
        const uint8_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            error_len = k;
            return 0;
        }
        code_point = (code_point << 6) | (b & 0x3F);
    }
    return need + 1;
}

bool is_printable(uint32_t c) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c >= 0x80 && c <= 0x9F) return false;  // C1 controls
    switch (c) {
    case 0xAD: case 0x2028: case 0x2029: case 0xFEFF:
        return false;
    default:
        break;
    }
    if (c >= 0x200B && c <= 0x200F) return false;  // zero-width and direction marks
    if (c >= 0x202A && c <= 0x202E) return false;
    if (c >= 0x2060 && c <= 0x2064) return false;
    if (c >= 0xFFF9 && c <= 0xFFFB) return false;
    if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
    if ((c & 0xFFFE) == 0xFFFE) return false;      // noncharacters
    return true;
}

void append_hex_escape(std::string& out, uint32_t c) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
    out += buffer;
}

}  // namespace

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        size_t error_len;
        uint32_t c;
        const size_t len = utf8_sequence(text, i, error_len, c);
        if (len == 0) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<uint8_t>(text[i]));
            out += buffer;
            ++i;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (is_printable(c)) out.append(text.substr(i, len));
            else append_hex_escape(out, c);
        }
        i += len;
    }
    out += '"';
    return out;
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        // ASCII runs are the common case.
        if (static_cast<uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t error_len;
        uint32_t c;
        const size_t len = utf8_sequence(bytes, i, error_len, c);
        if (len == 0) {
            Utf8Error error{i, std::nullopt};
            if (error_len != 0) error.error_len = error_len;
            return error;
        }
        i += len;
    }
    return std::nullopt;
}

std::string Utf8Error::display() const {
    if (error_len) {
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

// Contract text (docs/errors.md): callers match on it to the letter.
std::string Utf8Error::debug() const {
    std::string out = "Utf8Error { valid_up_to: " + std::to_string(valid_up_to) + ", error_len: ";
    out += error_len ? "Some(" + std::to_string(*error_len) + ")" : std::string("None");
    out += " }";
    return out;
}

}  // namespace kestrel

namespace kestrel {

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const auto error = check_utf8(bytes);
        if (!error) {
            out += bytes;
            break;
        }
        out += bytes.substr(0, error->valid_up_to);
        out += "\xEF\xBF\xBD";
        const size_t skip = error->error_len.value_or(bytes.size() - error->valid_up_to);
        bytes.remove_prefix(error->valid_up_to + skip);
    }
    return out;
}

std::string debug_quoted_prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) return debug_quoted(text);
    size_t cut = limit;
    // Back to the start of a UTF-8 sequence, so that a character is not split.
    for (size_t back = 0; back < 3 && cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80; ++back) --cut;
    return debug_quoted(text.substr(0, cut)) + "...";
}

}  // namespace kestrel
