// Reads the gzip member header that starts every BGZF block from the read-ahead
// buffer, with every check in the order the format's fields come.
//
// Contract: returns malformed headers and read failures as BgzfError values; never
// stops. A file name or comment of any length is passed over without being held.
// Used by one thread at a time per input.
#pragma once

#include <cstdint>
#include <variant>

#include "bgzf/error.hpp"
#include "bgzf/read_ahead.hpp"

namespace kestrel::bgzf {

// What the reader needs of a header; the other fields are read and dropped.
struct BlockHeader {
    uint16_t block_size = 0;     // BSIZE + 1 of the "BC" subfield, in 16 bits
    uint64_t header_length = 0;  // as counted from the fields (XLEN + 2 in 16 bits)
    bool is_eof_marker_header = false;  // the 18 bytes equal those of the end-of-file marker
};

// The input ended exactly where a header would start.
struct CleanEnd {};

using HeaderResult = std::variant<BlockHeader, CleanEnd, BgzfError>;

// Reads one header from the input's current position. A valid header passes over
// exactly its own bytes; after a failure the position is of no further use.
HeaderResult read_block_header(ReadAhead& input);

}  // namespace kestrel::bgzf
