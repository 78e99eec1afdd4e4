#include "split/write/batch_file.hpp"

#include <climits>
#include <cstdio>
#include <string>

#include "base/words.hpp"

namespace kestrel {

std::string batch_file_name(int32_t number, const FileFormat& format) {
    char name[32];
    std::snprintf(name, sizeof name, "batch_%02d", number);
    return name + std::string(format.extension());
}

bool is_chunk_file_name(std::string_view name) {
    std::string_view file = name;
    std::optional<index::IndexFormat> index;
    for (const index::IndexFormat kind : kIndexFormats) {
        if (file.ends_with(index_extension(kind))) {
            index = kind;
            file.remove_suffix(index_extension(kind).size());
            break;
        }
    }
    constexpr std::string_view kPrefix = "batch_";
    for (const FileFormat::Kind kind : FileFormat::kKinds) {
        const FileFormat format(kind);
        const std::string_view extension = format.extension();
        if (index && !format.indexable_by(*index)) continue;
        if (file.size() <= kPrefix.size() + extension.size() || !file.starts_with(kPrefix) || !file.ends_with(extension)) {
            continue;
        }
        const std::string_view digits = file.substr(kPrefix.size(), file.size() - kPrefix.size() - extension.size());
        if (!made_of(digits, kDecimal) || digits.size() > 10) continue;
        const uint64_t number = std::stoull(std::string(digits));
        // Only the spelling batch_file_name() gives: "batch_7.vcf" and "batch_007.vcf" are another program's.
        if (number >= 1 && number <= INT32_MAX && batch_file_name(static_cast<int32_t>(number), format) == file) return true;
    }
    return false;
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
