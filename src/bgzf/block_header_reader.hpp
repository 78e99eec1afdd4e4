// Reads the gzip member header that starts every BGZF block, straight from the file,
// with every check in the order the format's fields come.
//
// Contract: returns malformed headers as BgzfError values; never stops. Used by one
// thread at a time per file.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

#include "bgzf/error.hpp"

namespace kestrel::bgzf {

// What the reader needs of a header; the other fields are read and dropped.
struct BlockHeader {
    uint16_t block_size = 0;     // BSIZE + 1 of the "BC" subfield, in 16 bits
    uint64_t header_length = 0;  // as counted from the fields (XLEN + 2 in 16 bits)
    bool is_eof_marker_header = false;  // the 18 bytes equal those of the end-of-file marker
};

// The file ended exactly where a header would start.
struct CleanEnd {};

using HeaderResult = std::variant<BlockHeader, CleanEnd, BgzfError>;

// Reads one header from `fd`. `scratch` (at least 65536 bytes) holds the extra field
// while it is parsed. A valid header consumes exactly its own bytes; after a failure
// the file position is of no further use. `seekable` lets a file name or comment be
// read in chunks and the surplus given back to the file. `already_read` holds the
// header's first bytes when the caller has read them already (at most 12).
HeaderResult read_block_header(int fd, bool seekable, std::span<uint8_t> scratch,
                               std::span<const uint8_t> already_read = {});

}  // namespace kestrel::bgzf
