#include "split/write/batch_file.hpp"

#include <climits>
#include <cstdio>
#include <string>

#include "base/words.hpp"

namespace kestrel {

std::string batch_file_name(int32_t number, bool compressed) {
    char name[32];
    std::snprintf(name, sizeof name, "batch_%02d.vcf%s", number, compressed ? ".gz" : "");
    return name;
}

bool is_chunk_file_name(std::string_view name) {
    std::string_view file = name;
    if (file.ends_with(".tbi") || file.ends_with(".csi")) {
        file.remove_suffix(4);
        if (!file.ends_with(".gz")) return false;
    }
    const bool compressed = file.ends_with(".gz");
    if (compressed) file.remove_suffix(3);
    if (!file.starts_with("batch_") || !file.ends_with(".vcf")) return false;
    const std::string_view digits = file.substr(6, file.size() - 10);
    if (!made_of(digits, kDecimal) || digits.size() > 10) return false;
    const uint64_t number = std::stoull(std::string(digits));
    // Only the spelling batch_file_name() gives: "batch_7.vcf" and "batch_007.vcf" are another program's.
    const std::string_view chunk = name.substr(0, file.size() + (compressed ? 3 : 0));
    return number >= 1 && number <= INT32_MAX && batch_file_name(static_cast<int32_t>(number), compressed) == chunk;
}

bool is_run_file_name(std::string_view name) { return name == kManifestName || is_chunk_file_name(name); }

std::vector<std::string> files_in_manifest(std::string_view text) {
    std::vector<std::string> names;
    if (!text.starts_with(kManifestHeader)) return names;
    text.remove_prefix(kManifestHeader.size());
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::vector<std::string_view> row = fields_of(text.substr(0, end), '\t');
        for (size_t column = 0; column < 2 && column < row.size(); ++column) {
            if (is_chunk_file_name(row[column])) names.emplace_back(row[column]);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return names;
}

}  // namespace kestrel
