// Block starts found from an arbitrary offset of a BGZF file, so that readers on
// different machines cut one file into the same byte ranges without reading it
// from its start. A candidate is taken only when every check holds: its header
// (gzip magic, CM 8, FEXTRA, the BC subfield with two data bytes, a block size of
// at least 28 bytes that ends within the file), its data (it inflates to exactly
// ISIZE bytes with a matching CRC-32) and the chain (the blocks that follow check
// out too, to the file's end or past a whole block's length, so that the chain
// crosses the end of any block a look-alike might lie in), so that a look-alike
// inside compressed or stored data is not taken. The search is deterministic: from
// a given offset, the first candidate that passes.
//
// Contract: read failures are returned as IoError; nothing here stops. Reads with
// read_at only, so several searches may share one source from any threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/byte_source.hpp"

namespace kestrel::bgzf {

// The first block start at or after `from` in a source of `size` bytes; `size` when
// there is none before the end.
IoResult<uint64_t> next_block_start(const ByteSource& source, uint64_t from, uint64_t size);

// Whether a block that passes every check starts at `offset`.
IoResult<bool> block_starts_at(const ByteSource& source, uint64_t offset, uint64_t size);

// A `.gzi` index beside a BGZF file (as bgzip -r and -i write it): a count, then a
// (compressed, uncompressed) offset pair per block start after the first, all
// little-endian 64-bit. Read by binary search, a few entries per look-up.
class GziIndex {
public:
    // The index read from `index` when it is well-formed (its size matches its count);
    // nullopt otherwise. Whether it is older than its data is the caller's to check.
    static std::optional<GziIndex> open(std::unique_ptr<ByteSource> index);
    // The first compressed block start it names at or after `from`; nullopt when
    // none does.
    IoResult<std::optional<uint64_t>> block_start_from(uint64_t from) const;

private:
    std::unique_ptr<ByteSource> source_;
    uint64_t entries_ = 0;
};

}  // namespace kestrel::bgzf
