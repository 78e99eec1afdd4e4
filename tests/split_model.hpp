// The rules a split follows, as plainly as they can be written: every line that
// begins with '#' joins the header; every other line is a record; every batch_size
// records (one with 0) make a batch that holds the header so far and its records.
// A line ends at LF (one CR before it removed) or at the end of the text (kept as is).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::testing {

inline std::vector<std::string> model_batches(const std::string& text, uint32_t batch_size) {
    std::vector<std::string> batches;
    std::string header, batch;
    uint32_t records = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        std::string line;
        if (end == std::string::npos) {
            line = text.substr(start);  // a last line without LF keeps its CR
            start = text.size();
        } else {
            line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = end + 1;
        }
        if (!line.empty() && line[0] == '#') {
            header += line + '\n';
            continue;
        }
        batch += line + '\n';
        if (++records >= batch_size) {
            batches.push_back(header + batch);
            batch.clear();
            records = 0;
        }
    }
    if (!batch.empty()) batches.push_back(header + batch);
    return batches;
}

}  // namespace kestrel::testing
