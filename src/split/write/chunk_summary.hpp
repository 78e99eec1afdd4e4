// What a split reports of each chunk (batch file) it saved, and how a caller hears
// of the split's course.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel {

struct ChunkSummary {
    int32_t number = 0;
    std::string file;        // its name in the output directory
    std::string index_file;  // the name of its index there; empty without one
    uint64_t records = 0;
    // CHROM and POS of its first and last record as written: CHROM is the text before
    // the first tab; POS is nullopt where the second field is not a decimal number.
    std::string first_chrom;
    std::optional<uint64_t> first_pos;
    std::string last_chrom;
    std::optional<uint64_t> last_pos;
    uint64_t bytes = 0;  // the file's size

    // Its fields by name, for a summary that travels from a task (split/run/fields.hpp).
    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("number", self.number);
        visit("file", self.file);
        visit("index_file", self.index_file);
        visit("records", self.records);
        visit("first_chrom", self.first_chrom);
        visit("first_pos", self.first_pos);
        visit("last_chrom", self.last_chrom);
        visit("last_pos", self.last_pos);
        visit("bytes", self.bytes);
    }
};

// The records of one CHROM that follow each other in an indexed chunk: what the
// order an index needs is checked on across chunks written apart.
struct ChromRun {
    std::string chrom;
    uint64_t first_begin = 0;  // zero-based positions of its first and last record
    uint64_t last_begin = 0;
    uint64_t first_record = 0;  // its first record, counted in the chunk from 0

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("chrom", self.chrom);
        visit("first_begin", self.first_begin);
        visit("last_begin", self.last_begin);
        visit("first_record", self.first_record);
    }
};

// Called on the thread that runs the split; a callback may throw to end the split
// (Interrupted for a caller's own exception), which then cleans up as after a stop.
class ChunkListener {
public:
    // A chunk was saved (renamed into place with its index); chunks come in order.
    virtual void chunk_saved(const ChunkSummary& chunk) = 0;
    // About every quarter second: `done` of `total` input bytes (compressed bytes
    // for BGZF, and counting both passes where the input is read twice); `total` is
    // nullopt where the input's size is not known (a pipe).
    virtual void progress(uint64_t done, std::optional<uint64_t> total) = 0;

protected:
    ~ChunkListener() = default;
};

}  // namespace kestrel
