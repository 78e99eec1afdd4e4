// The place in the source that raised a stop. std::source_location needs a compiler
// builtin that clang 14 (the fuzzing build) lacks with libstdc++ 12; there a
// stand-in with the same members is built from the older builtins.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>

namespace kestrel {
using SourceLocation = std::source_location;
}  // namespace kestrel

#else
#include <cstdint>

namespace kestrel {

class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            const char* function = __builtin_FUNCTION(),
                                            uint_least32_t line = __builtin_LINE(),
                                            uint_least32_t column = __builtin_COLUMN()) noexcept {
        SourceLocation location;
        location.file_ = file;
        location.function_ = function;
        location.line_ = line;
        location.column_ = column;
        return location;
    }

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    uint_least32_t line_ = 0;
    uint_least32_t column_ = 0;
};

}  // namespace kestrel
#endif
