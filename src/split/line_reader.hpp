// Splits a buffered byte stream into lines: a line ends at LF (LF and one CR before
// it are removed) or at the end of the input (kept as it is). A line may span any
// number of refills; an empty fill ends the input.
//
// Contract: whatever the reader or the callback throw passes through; nothing else
// fails. Header-only; one thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kestrel {

// Reader: std::span<const uint8_t> fill_buffer(); void consume(size_t).
// on_line(std::span<const uint8_t> line) receives each line without its terminator.
template <class Reader, class OnLine>
void read_lines(Reader& reader, OnLine&& on_line) {
    std::vector<uint8_t> pending;  // a line that continues past the current buffer
    for (;;) {
        const std::span<const uint8_t> buffer = reader.fill_buffer();
        if (buffer.empty()) {
            if (!pending.empty()) on_line(std::span<const uint8_t>(pending));
            return;
        }
        const uint8_t* cursor = buffer.data();
        const uint8_t* const end = cursor + buffer.size();
        while (cursor < end) {
            const auto* newline =
                static_cast<const uint8_t*>(std::memchr(cursor, '\n', static_cast<size_t>(end - cursor)));
            if (newline == nullptr) {
                pending.insert(pending.end(), cursor, end);
                break;
            }
            std::span<const uint8_t> line(cursor, newline);
            if (!pending.empty()) {
                pending.insert(pending.end(), cursor, newline);
                line = pending;
            }
            if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
            on_line(line);
            pending.clear();
            cursor = newline + 1;
        }
        reader.consume(buffer.size());
    }
}

}  // namespace kestrel
