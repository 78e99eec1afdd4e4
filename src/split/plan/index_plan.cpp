#include "split/plan/index_plan.hpp"

#include <vector>

#include "base/stop.hpp"
#include "index/index_counts.hpp"
#include "split/cut/split_loop.hpp"
#include "split/plan/scatter.hpp"
#include "split/read/inputs.hpp"
#include "split/storage/file_system.hpp"

namespace kestrel {
namespace {

// An index whose uncompressed bytes exceed this is passed over: the run counts
// instead, and memory stays bounded (a whole genome's TBI is a few MB).
constexpr size_t kMaxIndexBytes = size_t{64} << 20;

// The index's bytes, uncompressed; nullopt where they cannot be read or are too many.
std::optional<std::vector<uint8_t>> inflate_index(std::shared_ptr<ByteSource> index, runtime::JobRunner* runner) {
    std::unique_ptr<ByteSource> pass = pass_over(std::move(index));
    auto format = sniff_format(pass);
    if (!std::holds_alternative<InputFormat>(format) || std::get<InputFormat>(format) != InputFormat::Bgzf) {
        return std::nullopt;
    }
    std::unique_ptr<Input> input = read_input(std::move(pass), InputFormat::Bgzf, size_t{1} << 20, runner);
    std::vector<uint8_t> bytes;
    const QuietStops quiet;
    try {
        for (;;) {
            InputResult next = input->next();
            if (std::holds_alternative<ReadFailure>(next)) return std::nullopt;
            const std::span<const uint8_t> piece = std::get<runtime::Piece>(next).bytes;
            if (piece.empty()) return bytes;
            if (piece.size() > kMaxIndexBytes - bytes.size()) return std::nullopt;
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
    } catch (const Stop&) {
        return std::nullopt;  // a block that breaks the format: no index to trust
    }
}

// The count the index at `path` gives for `input`, where it is usable.
std::optional<uint64_t> count_from(const std::string& path, const ByteSource& input, const ScatterOptions& options) {
    std::shared_ptr<ByteSource> index = open_index_file(path, options.storage_options);
    if (index == nullptr || !index->seekable()) return std::nullopt;
    const std::optional<int64_t> index_time = index->modified_ns(), input_time = input.modified_ns();
    // Older than its data, or of unknown age: it may describe another file.
    if (!index_time || !input_time || *index_time < *input_time) return std::nullopt;
    const std::optional<std::vector<uint8_t>> bytes = inflate_index(std::move(index), options.tuning.runner);
    if (!bytes) return std::nullopt;
    const std::optional<index::IndexCounts> counts = index::read_index_counts(*bytes);
    if (!counts) return std::nullopt;
    return counts->total;
}

}  // namespace

std::shared_ptr<ByteSource> open_index_file(const std::string& path, const std::string& storage_options) {
    if (is_url(path)) {
        const QuietStops quiet;
        try {
            return open_input(path, storage_options);
        } catch (const Stop&) {
            return nullptr;
        }
    }
    auto opened = open_regular_for_reading(path);
    if (std::holds_alternative<IoError>(opened)) return nullptr;
    return std::make_shared<FileSource>(std::move(std::get<File>(opened)));
}

void take_index_name(ScatterOptions& options) {
    const size_t at = options.input.find(kIndexRule);
    if (at == std::string::npos) return;
    options.index_path = options.input.substr(at + kIndexRule.size());
    options.input.resize(at);
}

std::optional<uint64_t> records_from_index(const ScatterOptions& options, const std::shared_ptr<ByteSource>& source) {
    if (options.input == "-" || !source->seekable() || !source->size()) return std::nullopt;
    std::unique_ptr<ByteSource> head = read_from(source, 0);
    auto format = sniff_format(head);
    if (!std::holds_alternative<InputFormat>(format) || std::get<InputFormat>(format) != InputFormat::Bgzf) {
        return std::nullopt;
    }
    if (!options.index_path.empty()) return count_from(options.index_path, *source, options);
    for (const char* extension : {".tbi", ".csi"}) {
        if (auto records = count_from(options.input + extension, *source, options)) return records;
    }
    return std::nullopt;
}

}  // namespace kestrel
