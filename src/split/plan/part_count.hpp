// What the count of one part of the input finds: its lines and records, the keys the
// rules by place need, or the failure that ended it. The census adds these up
// (census.hpp); a counting task on a cluster reports them as bytes, each value listing
// its fields once by name. They stand apart from the tasks so that the census, which
// the tasks run, needs nothing of theirs.
//
// Contract: plain values, copied freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/stop.hpp"

namespace kestrel {

// A failure inside a task, as the stop that the local run would raise.
struct TaskFailure {
    std::string message;
    StopDetail detail;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("message", self.message);
        visit("kind", self.detail.kind);
        visit("os_code", self.detail.os_code);
        visit("path", self.detail.path);
        visit("line", self.detail.line);
        visit("text", self.detail.text);
        visit("text_is_reason", self.detail.text_is_reason);
    }
};

// A record's key as it travels: CHROM, and POS where it is a number.
struct KeyValue {
    std::string chrom;
    std::optional<uint64_t> pos;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("chrom", self.chrom);
        visit("pos", self.pos);
    }
};

// A record of a part whose CHROM is not that of the record before it in the part.
struct ContigChange {
    uint64_t record = 0;      // among the part's records after a line feed, from 0
    uint64_t line = 0;        // among its lines after a line feed, from 0
    std::string chrom;
    uint64_t run_before = 0;  // the records of the run of one position that ends before it

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("record", self.record);
        visit("line", self.line);
        visit("chrom", self.chrom);
        visit("run_before", self.run_before);
    }
};

// What the keys of a part's records say, for the rules by place (cut_policy.hpp).
// "Records" are those that start after a line feed in the part; a run is a stretch of
// records at one position (vcf::same_position), each record without one its own run.
struct PartKeys {
    KeyValue head;         // of a record at the part's first byte, were a line to start there
    KeyValue first, last;  // of the first and last record
    uint64_t first_line = 0;  // the first record's line, among the lines after a line feed
    uint64_t lead = 0;     // the records of the first run, and of the last
    uint64_t tail = 0;
    uint64_t longest_inner = 0;  // the longest run that is neither of those
    // Where CHROM changes; the list ends at a CHROM that came before in the part.
    std::vector<ContigChange> changes;
    std::vector<uint64_t> located;  // for RangeTask::locate, in its order

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("head", self.head);
        visit("first", self.first);
        visit("last", self.last);
        visit("first_line", self.first_line);
        visit("lead", self.lead);
        visit("tail", self.tail);
        visit("longest_inner", self.longest_inner);
        visit("changes", self.changes);
        visit("located", self.located);
    }
};

// What one part of a range holds.
struct PartCount {
    // Where the part really starts and ends in the file: BGZF cuts at block starts.
    uint64_t start = 0;
    uint64_t end = 0;
    bool empty = true;              // no byte of the input lies in it
    uint8_t first_byte = 0;         // of its bytes (uncompressed)
    bool ends_with_line_feed = false;
    // Lines that start after a line feed inside the part: records, header lines, and
    // whether a header line comes after a record among them.
    uint64_t records = 0;
    uint64_t header_lines = 0;
    bool header_after_record = false;
    bool stream_ends = false;  // BGZF: the stream ends in this part (what follows is not read)
    std::optional<PartKeys> keys;  // when asked for
    std::optional<TaskFailure> failure;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("start", self.start);
        visit("end", self.end);
        visit("empty", self.empty);
        visit("first_byte", self.first_byte);
        visit("ends_with_line_feed", self.ends_with_line_feed);
        visit("records", self.records);
        visit("header_lines", self.header_lines);
        visit("header_after_record", self.header_after_record);
        visit("stream_ends", self.stream_ends);
        visit("keys", self.keys);
        visit("failure", self.failure);
    }
};

}  // namespace kestrel
