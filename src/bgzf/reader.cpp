#include "bgzf/reader.hpp"

#include "base/stop.hpp"

namespace kestrel::bgzf {

std::variant<BgzfReader, BgzfError> BgzfReader::open(std::unique_ptr<ByteSource> source) {
    return open(std::move(source), runtime::WorkerPool::global());
}

std::variant<BgzfReader, BgzfError> BgzfReader::open(std::unique_ptr<ByteSource> source, runtime::JobRunner& runner,
                                                     ParallelReaderSettings settings) {
    ParallelBgzfReader reader(std::move(source), runner, settings);
    if (auto error = reader.check_first_block()) return *error;
    return BgzfReader(std::move(reader));
}

std::variant<std::span<const uint8_t>, BgzfError> BgzfReader::fill_buffer() {
    if (position_ == piece_.bytes.size()) {
        piece_ = {};  // its buffer may be the one the next piece needs
        position_ = 0;
        auto next = reader_.next();
        if (auto* error = std::get_if<BgzfError>(&next)) return std::move(*error);
        piece_ = std::move(std::get<runtime::Piece>(next));
    }
    return piece_.bytes.subspan(position_);
}

void BgzfReader::consume(size_t n) {
    if (n > piece_.bytes.size() - position_) stop("internal error: entered unreachable code");
    position_ += n;
}

}  // namespace kestrel::bgzf
