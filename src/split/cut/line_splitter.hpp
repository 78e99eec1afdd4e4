// The line splitter of both entries: the input's pieces cut into header lines and
// records, and the records into batches handed to the outputs.
//
// Contract: record problems (a line that cannot be summarised or indexed) are thrown
// as InputProblem, for the caller to stop with once the batches before are saved;
// failures of the outputs stop as outputs.hpp says. Used by one thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "runtime/buffer.hpp"
#include "split/cut/cut_policy.hpp"
#include "split/write/outputs.hpp"
#include "vcf/record_columns.hpp"
#include "vcf/record_key.hpp"

namespace kestrel {

// A record that cannot go on: the call ends with it once the batches before are saved.
struct InputProblem {
    uint64_t line;
    std::string text;
};

// Cuts the input into lines as the pieces arrive, without assembling record lines:
// the bytes of records go to the batch file as runs of the input's own buffers, so
// a line of any length costs no memory. Header lines are kept, since every batch
// repeats them.
//
// When records are observed (for summaries and indexes), each record's columns are
// read as its bytes pass (vcf/record_columns.hpp) and handed to the outputs with its
// place in the batch file: a record of any length costs no memory.
//
// When the cut rule reads keys, a record's CHROM and POS are read before any byte of
// it goes to a batch: the few bytes of a key that spans two pieces are held (at most
// a CHROM's limit and a POS), the rest of the line streams as any other.
class Splitter {
public:
    enum class Observe { Nothing, ChromAndPos, ForIndex };

    // Batches are numbered from `first_number` and cut where `cuts` says.
    Splitter(Outputs& outputs, CutPolicy& cuts, Observe observe, int32_t first_number = 1)
        : outputs_(outputs),
          cuts_(cuts),
          observing_(observe != Observe::Nothing),
          indexed_(observe == Observe::ForIndex),
          keyed_(cuts.reads_keys()),
          number_(first_number - 1) {}

    void feed(const runtime::Piece& piece);

    // The input has ended: a last line without a line feed gets one; the records
    // since the last full batch are the final batch.
    void finish();

    // Lines of the input that were not fed (records read elsewhere), for the line
    // numbers of later problems.
    void skip_lines(uint64_t lines) { lines_ += lines; }

    int32_t batches() const { return number_; }
    uint64_t records() const { return total_records_; }

private:
    enum class Line { None, Header, Record };
    void start_line(uint8_t first, size_t at);

    void end_header_line(bool with_line_feed);

    // The record's key: read from its part in this piece, starting at `at`; once it is
    // complete, the cut before the record is decided.
    void read_key(const uint8_t* bytes, size_t length, size_t at, bool line_ends);
    // The cut rule says whether the record starting at `at` (0: in an earlier piece)
    // starts a batch; then its held bytes go to the batch.
    void decide(size_t at);
    // The piece ends inside the key of the line that goes on from `at`: its bytes
    // wait, copied, for the key's end.
    void hold(size_t at, size_t end);
    void begin_batch(size_t at);

    // The part of a record line that lies in this piece (before its line feed, if
    // any) goes to the column reader; a CHROM too long to keep is refused at once, so
    // that a line without end costs no memory either.
    void observe_part(const uint8_t* bytes, size_t length);

    // A record line is complete: `crlf`, whether it ended in CR LF (the CR is not
    // written). A last line without a line feed (`line_feed_added`) keeps its CR and
    // gets one.
    void observe_end(bool crlf, bool line_feed_added);

    // `run_end`: where the record's bytes (its line feed included) end in the piece.
    void end_record_line(size_t run_end);

    // Sends the piece's bytes from the start of the run up to `end`.
    void send_run(size_t end);

    void send_static(std::span<const uint8_t> bytes) { outputs_.append({nullptr, bytes}); }

    HeaderSnapshot snapshot();
    Outputs& outputs_;
    CutPolicy& cuts_;
    bool observing_;
    bool indexed_;
    bool keyed_;
    std::vector<uint8_t> header_;
    HeaderSnapshot snapshot_;
    size_t header_line_start_ = 0;
    const runtime::Piece* piece_ = nullptr;
    size_t run_ = 0;  // start of the record bytes of the piece not yet sent
    Line line_ = Line::None;
    bool held_cr_ = false;
    bool in_batch_ = false;
    uint64_t records_ = 0;
    uint64_t complete_at_ = UINT64_MAX;  // of the batch under way, from the cut policy
    uint64_t total_records_ = 0;
    uint64_t lines_ = 0;
    int32_t number_ = 0;
    // The record line being observed: its columns, its length so far, and where it
    // starts in the batch file.
    vcf::RecordColumns columns_;
    uint64_t line_length_ = 0;
    uint64_t batch_offset_ = 0;
    // The key of the record line, while it is read (nothing of the line sent yet), and
    // the line's bytes from earlier pieces meanwhile.
    bool key_pending_ = false;
    vcf::KeyReader key_;
    std::vector<uint8_t> held_;
};

}  // namespace kestrel
