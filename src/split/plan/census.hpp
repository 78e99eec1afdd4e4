// The census of an input's records, part by part, and the chunks planned from it:
// what the bytes of a part hold (LineCensus, reported as a PartCount), how the parts
// add up (Census), and where the chunks end by the count rule and the rules by place
// (chunk_sizes). The run on a cluster counts every input this way; the local run only
// for by_contig with a fixed number of chunks, which needs each contig's records
// before it cuts (count_contigs).
//
// Contract: LineCensus and Census are pure bookkeeping, used by one thread;
// count_contigs stops as the counting pass does (stop_reading, stop_at_line).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <set>
#include <string>
#include <vector>

#include "base/byte_source.hpp"
#include "split/cut/cut_policy.hpp"
#include "split/cut/line_splitter.hpp"
#include "split/plan/part_count.hpp"
#include "split/read/inputs.hpp"
#include "vcf/record_key.hpp"

namespace kestrel {

// At most this many bytes past a part's end are read to finish the key of its last
// record: a CHROM at its limit, a tab, a POS and a CR.
constexpr size_t kKeyLookahead = vcf::kMaxChromLength + 64;

// What a part's bytes hold: their first and last byte, the lines that start after a
// line feed inside them (a line feed at the part's very end starts the next part's
// first line), and with `keys` what PartKeys says of them.
class LineCensus {
public:
    explicit LineCensus(bool keys = false, std::vector<uint64_t> locate = {});

    void feed(std::span<const uint8_t> bytes);
    // The same for a BGZF block's data whose line starts were tallied as it was inflated
    // (vcf::line_starts_inside): without keys, only a block that holds header lines is
    // read line by line, for their order among its records.
    void feed_block(std::span<const uint8_t> data, uint64_t tally);
    bool empty() const { return count_.empty; }
    // Whether the key of the part's last line needs bytes after the part's end.
    bool wants_more() const { return keys_ && key_pending_; }
    // Bytes after the part's end, read for that key alone.
    void more(std::span<const uint8_t> bytes);
    // The part ended (where more() had nothing, the input too).
    PartCount& finish();

private:
    void line_starts(uint8_t first);
    void feed_keys(std::span<const uint8_t> bytes);
    void key_part(std::span<const uint8_t> part, bool line_ends);
    void record(KeyValue key);
    void close_run();

    PartCount count_;
    bool pending_line_start_ = false;
    bool keys_;
    // Keys: the line whose key is read, and what the records so far said.
    bool key_pending_ = false;
    bool head_ = true;  // the line at the part's first byte
    vcf::KeyReader reader_;
    uint64_t lines_ = 0;     // lines started after a line feed
    uint64_t key_line_ = 0;  // the line of the record whose key is read
    uint64_t keyed_ = 0;     // records whose key was read
    uint64_t run_ = 0;
    bool first_run_ = true;
    bool listing_changes_ = true;
    std::set<std::string, std::less<>> chroms_;
    std::vector<uint64_t> locate_;
    size_t next_locate_ = 0;
    size_t waiting_ = 0;  // located records in a run not ended yet
};

// A contig of the input, as the census found it.
struct CensusContig {
    std::string chrom;
    uint64_t first = 0;  // its first record, counted in the input from 0
    uint64_t records = 0;
};

// Records of one position that follow each other, [begin, end), counted in the input.
struct KnownRun {
    uint64_t begin = 0;
    uint64_t end = 0;
    std::optional<KeyValue> first, last;  // where known: the keys at its ends
};

// What the counting tasks found about the whole input, and the parts its records lie in.
struct Census {
    std::vector<PartCount> parts;     // up to where the stream ends
    std::vector<bool> starts_line;    // whether a line starts at each part's start
    std::vector<uint64_t> before;     // records in the parts before each
    std::vector<uint64_t> lines_before;  // lines started before each part
    uint64_t records = 0;
    uint64_t header_lines = 0;
    bool late_header = false;         // a header line after the first record
    // With keys:
    std::vector<CensusContig> contigs;  // up to a CHROM that comes back
    std::optional<InputProblem> comes_back;  // that CHROM's record, its line and text
    uint64_t comes_back_record = 0;
    std::vector<KnownRun> runs;  // the runs at the parts' edges and before contig changes

    void add(PartCount part, bool& line_start, bool& seen_record);

private:
    void add_keys(const PartKeys& keys, bool head, uint64_t first_record, uint64_t records, uint64_t first_line);
    void see_chrom(const std::string& chrom, uint64_t record, uint64_t line, const std::string& before);
    void add_run(KnownRun run);
    std::set<std::string, std::less<>> chroms_;
    std::optional<KeyValue> last_;
};

// The census of a whole input (counting pass of the local run, with keys): a plain
// local file in parts counted on `runner` at once, anything else in one pass. Stops
// on a read failure (naming `path`).
Census count_contigs(const std::shared_ptr<ByteSource>& source, InputFormat format, const std::string& path,
                     size_t read_size, runtime::JobRunner* runner, const std::function<void(uint64_t)>& done);

// Where the BGZF blocks that start before `stop` end at the latest: one block past it.
uint64_t blocks_end(uint64_t stop);

// Where the key of the last record of `census`, a part that ends at `to`, goes on past
// the part: finished from the bytes after `to`, read as far as it goes.
void read_key_after(LineCensus& census, const std::shared_ptr<const ByteSource>& source, bool compressed,
                    const std::string& name, runtime::JobRunner* runner, uint64_t to);

// The census of [from, to) of `source` (BGZF: the blocks starting there), with keys
// when asked, the last record's key finished from the bytes after `to`.
PartCount count_between(const std::shared_ptr<const ByteSource>& source, bool compressed, const std::string& name,
                        size_t read_size, runtime::JobRunner* runner, uint64_t from, uint64_t to, bool keys,
                        std::vector<uint64_t> locate = {});

// The chunk sizes of `records` records by the count rule `plan` (none: no count cuts)
// and the rules by place, `contigs` being the census's contigs (by_contig) and `cut_at`
// telling where a count cut before a record moves to: the count rule within each
// stretch (each contig with by_contig, with `shares` when a fixed number of chunks is
// shared among them), each cut moved by `cut_at`, cuts that meet made one.
std::vector<uint64_t> chunk_sizes(uint64_t records, const std::optional<BatchPlan>& plan, const PlaceRules& rules,
                                  const std::vector<ContigShare>& shares, const std::vector<CensusContig>& contigs,
                                  const std::function<uint64_t(uint64_t)>& cut_at);

}  // namespace kestrel
