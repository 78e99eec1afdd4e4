#include "split/plan/census.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>

#include "base/debug_text.hpp"
#include "base/stop.hpp"
#include "bgzf/header.hpp"
#include "split/cut/split_loop.hpp"
#include "vcf/lines.hpp"

namespace kestrel {

LineCensus::LineCensus(bool keys, std::vector<uint64_t> locate) : keys_(keys), locate_(std::move(locate)) {
    if (keys_) count_.keys.emplace();
}

void LineCensus::feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    if (keys_) {
        feed_keys(bytes);
    } else {
        if (count_.empty) {
            count_.empty = false;
            count_.first_byte = bytes[0];
        } else if (pending_line_start_) {
            line_starts(bytes[0]);
        }
        vcf::for_each_line_start(bytes, [&](uint8_t first) { line_starts(first); });
    }
    pending_line_start_ = bytes.back() == '\n';
    count_.ends_with_line_feed = pending_line_start_;
}

void LineCensus::feed_block(std::span<const uint8_t> data, uint64_t tally) {
    if (data.empty()) return;
    if (keys_ || tally >> 32 != 0) return feed(data);
    feed(data.first(1));
    count_.records += tally;
    pending_line_start_ = data.back() == '\n';
    count_.ends_with_line_feed = pending_line_start_;
}

void LineCensus::line_starts(uint8_t first) {
    if (!vcf::is_record_start(first)) {
        ++count_.header_lines;
        count_.header_after_record |= count_.records > 0;
    } else {
        ++count_.records;
    }
    if (!keys_) return;
    head_ = false;
    if (vcf::is_record_start(first)) {
        if (count_.records == 1) count_.keys->first_line = lines_;
        reader_.reset();
        key_pending_ = true;
        key_line_ = lines_;
    }
    ++lines_;
}

// The lines as they start, and the key of each record (and of the line at the first
// byte, should a line start there) read from its first bytes.
void LineCensus::feed_keys(std::span<const uint8_t> bytes) {
    size_t at = 0;
    if (count_.empty) {
        count_.empty = false;
        count_.first_byte = bytes[0];
        reader_.reset();
        key_pending_ = true;
    } else if (pending_line_start_) {
        line_starts(bytes[0]);
    }
    for (;;) {
        const auto* line_feed = static_cast<const uint8_t*>(std::memchr(bytes.data() + at, '\n', bytes.size() - at));
        const size_t end = line_feed != nullptr ? static_cast<size_t>(line_feed - bytes.data()) : bytes.size();
        if (key_pending_) key_part(bytes.subspan(at, end - at), line_feed != nullptr);
        if (line_feed == nullptr || end + 1 == bytes.size()) return;
        at = end + 1;
        line_starts(bytes[at]);
    }
}

void LineCensus::more(std::span<const uint8_t> bytes) {
    if (!wants_more()) return;
    const auto* line_feed = static_cast<const uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
    const size_t end = line_feed != nullptr ? static_cast<size_t>(line_feed - bytes.data()) : bytes.size();
    key_part(bytes.first(end), line_feed != nullptr);
}

void LineCensus::key_part(std::span<const uint8_t> part, bool line_ends) {
    reader_.feed(part);
    if (line_ends) reader_.end();
    if (!reader_.complete()) return;
    key_pending_ = false;
    KeyValue key{std::string(reader_.chrom()), reader_.pos()};
    if (head_) {
        count_.keys->head = std::move(key);
    } else {
        record(std::move(key));
    }
}

void LineCensus::record(KeyValue key) {
    PartKeys& keys = *count_.keys;
    const uint64_t index = keyed_++;
    const bool same = index > 0 && vcf::same_position(key.chrom, key.pos, keys.last.chrom, keys.last.pos);
    if (index == 0) {
        keys.first = key;
        chroms_.emplace(key.chrom);
        run_ = 1;
    } else if (same) {
        ++run_;
    } else {
        for (; waiting_ > 0; --waiting_) keys.located.push_back(index);  // their run ends here
        const uint64_t ended = run_;
        close_run();
        run_ = 1;
        if (listing_changes_ && key.chrom != keys.last.chrom) {
            listing_changes_ = chroms_.emplace(key.chrom).second;  // the list ends at one that comes back
            keys.changes.push_back({index, key_line_, key.chrom, ended});
        }
    }
    for (; next_locate_ < locate_.size() && locate_[next_locate_] <= index; ++next_locate_) {
        if (same && locate_[next_locate_] == index) {
            ++waiting_;
        } else {
            keys.located.push_back(index);
        }
    }
    keys.last = std::move(key);
}

void LineCensus::close_run() {
    PartKeys& keys = *count_.keys;
    if (first_run_) {
        keys.lead = run_;
        first_run_ = false;
    } else {
        keys.longest_inner = std::max(keys.longest_inner, run_);
    }
}

PartCount& LineCensus::finish() {
    if (key_pending_) key_part({}, true);
    if (keys_ && keyed_ > 0) {
        PartKeys& keys = *count_.keys;
        keys.tail = run_;
        if (first_run_) keys.lead = run_;
        for (; waiting_ > 0; --waiting_) keys.located.push_back(keyed_);
        for (; next_locate_ < locate_.size(); ++next_locate_) keys.located.push_back(keyed_);
    }
    return count_;
}

void Census::add(PartCount part, bool& line_start, bool& seen_record) {
    starts_line.push_back(line_start);
    before.push_back(records);
    lines_before.push_back(records + header_lines);
    if (!part.empty) {
        bool head = false;
        if (line_start) {
            if (!vcf::is_record_start(part.first_byte)) {
                ++header_lines;
                late_header |= seen_record;
            } else {
                ++records;
                seen_record = true;
                head = true;
            }
        }
        late_header |= part.header_after_record || (seen_record && part.header_lines > 0);
        seen_record |= part.records > 0;
        if (part.keys) {
            add_keys(*part.keys, head, before.back(), part.records, lines_before.back() + (line_start ? 1 : 0));
        }
        records += part.records;
        header_lines += part.header_lines;
        line_start = part.ends_with_line_feed;
    }
    if (!contigs.empty() && !comes_back) contigs.back().records = records - contigs.back().first;
    parts.push_back(std::move(part));
}

// `first_line`: the line (from 0) of the first line after a line feed in the part.
void Census::add_keys(const PartKeys& keys, bool head, uint64_t first_record, uint64_t part_records,
                      uint64_t first_line) {
    if (head) {
        see_chrom(keys.head.chrom, first_record, first_line, last_ ? last_->chrom : std::string());
        add_run({first_record, first_record + 1, keys.head, keys.head});
        last_ = keys.head;
        ++first_record;
    }
    if (part_records == 0) return;
    const uint64_t end = first_record + part_records;
    see_chrom(keys.first.chrom, first_record, first_line + keys.first_line + 1, last_ ? last_->chrom : std::string());
    add_run({first_record, first_record + keys.lead, keys.first, keys.first});
    std::string before_change = keys.first.chrom;
    for (const ContigChange& change : keys.changes) {
        see_chrom(change.chrom, first_record + change.record, first_line + change.line + 1, before_change);
        before_change = change.chrom;
        const uint64_t at = first_record + change.record;
        add_run({at - change.run_before, at, std::nullopt, std::nullopt});
    }
    add_run({end - keys.tail, end, keys.last, keys.last});
    last_ = keys.last;
}

// A record whose CHROM may differ from the one before: a new contig, or one that
// comes back (the first such one is kept, and the contigs end there).
void Census::see_chrom(const std::string& chrom, uint64_t record, uint64_t line, const std::string& before_it) {
    if (comes_back || (!contigs.empty() && chrom == before_it)) return;
    if (!chroms_.emplace(chrom).second) {
        comes_back = InputProblem{line, "CHROM " + debug_quoted_prefix(chrom) + " appears again after " +
                                            debug_quoted_prefix(before_it) +
                                            ": chunks by contig need each contig's records together"};
        comes_back_record = record;
        if (!contigs.empty()) contigs.back().records = record - contigs.back().first;
        return;
    }
    if (!contigs.empty()) contigs.back().records = record - contigs.back().first;
    contigs.push_back({chrom, record, 0});
}

void Census::add_run(KnownRun run) {
    if (run.end <= run.begin) return;
    if (!runs.empty()) {
        KnownRun& back = runs.back();
        const bool joins = run.begin == back.end && back.last && run.first &&
                           vcf::same_position(back.last->chrom, back.last->pos, run.first->chrom, run.first->pos);
        if (run.begin < back.end || joins) {
            if (run.end >= back.end) {
                back.end = run.end;
                back.last = run.last;
            }
            return;
        }
    }
    runs.push_back(std::move(run));
}

uint64_t blocks_end(uint64_t stop) { return stop + bgzf::kMaxBlockSize + 1; }

void read_key_after(LineCensus& census, const std::shared_ptr<const ByteSource>& source, bool compressed,
                    const std::string& name, runtime::JobRunner* runner, uint64_t to) {
    if (!census.wants_more()) return;
    // Read as far as the key goes, a block at a time.
    bgzf::ParallelReaderSettings settings;
    settings.stop_after = (uint64_t{64} << 10) + kKeyLookahead;
    settings.read_ahead_until = 0;
    const uint64_t most = compressed ? blocks_end(to + settings.stop_after) : to + kKeyLookahead;
    auto after = read_input(read_from(source, to, most, to), bgzf_or_plain(compressed), kKeyLookahead, runner, settings);
    read_through(*after, name, [&](std::span<const uint8_t> bytes) { census.more(bytes); });
}

PartCount count_between(const std::shared_ptr<const ByteSource>& source, bool compressed, const std::string& name,
                        size_t read_size, runtime::JobRunner* runner, uint64_t from, uint64_t to, bool keys,
                        std::vector<uint64_t> locate) {
    LineCensus census(keys, std::move(locate));
    bool stream_ends = false;
    if (from < to) {
        // BGZF: every block that starts before `to` (the last one read whole). Plain text:
        // the bytes up to `to`, or fewer where the file has shrunk (the chunks find out).
        bgzf::ParallelReaderSettings settings;
        settings.stop_after = to - from;
        settings.read_ahead_until = to - from;
        auto input = read_input(read_from(source, from, compressed ? blocks_end(to) : to, to),
                                bgzf_or_plain(compressed), read_size, runner, settings);
        read_through(*input, name, [&](std::span<const uint8_t> bytes) { census.feed(bytes); });
        stream_ends = compressed && input->stream_ended();
        if (!stream_ends) read_key_after(census, source, compressed, name, runner, to);
    }
    PartCount& count = census.finish();
    count.start = from;
    count.end = to;
    count.stream_ends = stream_ends;
    return count;
}

namespace {

// Counts the parts of a plain local file on the runner, a round of as many as it has
// threads at a time; the first failure, in the parts' order, is thrown.
std::vector<PartCount> count_parts(const std::shared_ptr<const ByteSource>& source, uint64_t size,
                                   const std::string& path, size_t read_size, runtime::JobRunner& runner,
                                   const std::function<void(uint64_t)>& done) {
    const size_t threads = std::max<size_t>(runner.thread_count(), 1);
    const uint64_t part_bytes = std::max<uint64_t>(uint64_t{16} << 20, (size + 4 * threads - 1) / (4 * threads));
    std::vector<PartCount> parts;
    for (uint64_t at = 0; at < size; at += threads * part_bytes) {
        const size_t round = static_cast<size_t>(std::min<uint64_t>(threads, (size - at + part_bytes - 1) / part_bytes));
        std::vector<PartCount> counted(round);
        std::vector<std::exception_ptr> failed(round);
        std::mutex mutex;
        std::condition_variable finished;
        size_t left = round;
        // A part's stop is this call's: quiet on the pool's thread when it is here.
        const bool quiet = stops_are_quiet();
        for (size_t i = 0; i < round; ++i) {
            auto job = [&, i]() noexcept {
                const uint64_t from = at + i * part_bytes;
                const QuietStops carried(quiet);
                try {
                    counted[i] = count_between(source, false, path, read_size, nullptr, from,
                                               std::min(size, from + part_bytes), true);
                } catch (...) {
                    failed[i] = std::current_exception();
                }
                std::lock_guard lock(mutex);
                if (--left == 0) finished.notify_one();
            };
            try {
                runner.submit(runtime::Job(job));
            } catch (...) {
                job();  // counted here: the jobs already out use this frame
            }
        }
        {
            std::unique_lock lock(mutex);
            finished.wait(lock, [&] { return left == 0; });
        }
        for (size_t i = 0; i < round; ++i) {
            if (failed[i]) std::rethrow_exception(failed[i]);
            parts.push_back(std::move(counted[i]));
        }
        done(std::min(size, at + threads * part_bytes));
        check_interrupt();
    }
    return parts;
}

}  // namespace

Census count_contigs(const std::shared_ptr<ByteSource>& source, InputFormat format, const std::string& path,
                     size_t read_size, runtime::JobRunner* runner, const std::function<void(uint64_t)>& done) {
    Census census;
    bool line_start = true, seen_record = false;
    const std::optional<uint64_t> size = source->size();
    if (format == InputFormat::Plain && size && source->identity() && runner != nullptr &&
        runner->thread_count() > 1) {
        for (PartCount& part : count_parts(source, *size, path, read_size, *runner, done)) {
            census.add(std::move(part), line_start, seen_record);
        }
        return census;
    }
    std::unique_ptr<Input> input = read_input(pass_over(source), format, read_size, runner);
    LineCensus counter(true);
    read_through(*input, path, [&](std::span<const uint8_t> bytes) {
        counter.feed(bytes);
        done(input->bytes_read());
    });
    census.add(std::move(counter.finish()), line_start, seen_record);
    return census;
}

std::vector<uint64_t> chunk_sizes(uint64_t records, const std::optional<BatchPlan>& plan, const PlaceRules& rules,
                                  const std::vector<ContigShare>& shares, const std::vector<CensusContig>& contigs,
                                  const std::function<uint64_t(uint64_t)>& cut_at) {
    struct Stretch {
        uint64_t first, records;
        std::optional<BatchPlan> plan;
    };
    std::vector<Stretch> stretches;
    if (!rules.by_contig) {
        stretches.push_back({0, records, plan});
    } else {
        for (size_t i = 0; i < contigs.size(); ++i) {
            std::optional<BatchPlan> own = plan;
            if (!shares.empty()) own = BatchPlan::balanced(shares[i].records, shares[i].chunks);
            stretches.push_back({contigs[i].first, contigs[i].records, own});
        }
    }
    std::vector<uint64_t> sizes;
    uint64_t start = 0;  // of the chunk under way
    const auto cut = [&](uint64_t at) {
        if (at <= start) return;
        sizes.push_back(at - start);
        start = at;
    };
    for (const Stretch& stretch : stretches) {
        const uint64_t end = stretch.first + stretch.records;
        cut(stretch.first);
        if (!stretch.plan) continue;
        uint64_t nominal = stretch.first;
        for (uint64_t ordinal = 1;; ++ordinal) {
            const uint64_t size = stretch.plan->size_at(ordinal);
            if (size >= end - nominal) break;
            nominal += size;
            const uint64_t moved = rules.keep_together ? cut_at(nominal) : nominal;
            if (moved >= end) break;  // it meets the stretch's end
            cut(moved);
        }
    }
    cut(records);
    return sizes;
}

}  // namespace kestrel
