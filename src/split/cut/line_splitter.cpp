#include "split/cut/line_splitter.hpp"

#include <cstring>

#include "vcf/lines.hpp"

namespace kestrel {
namespace {

constexpr uint8_t kLineFeed[] = {'\n'};
constexpr uint8_t kCarriageReturn[] = {'\r'};

}  // namespace

void Splitter::feed(const runtime::Piece& piece) {
    const uint8_t* const data = piece.bytes.data();
    const size_t size = piece.bytes.size();
    piece_ = &piece;
    run_ = 0;
    size_t at = 0;
    while (at < size) {
        if (line_ == Line::None) start_line(data[at], at);
        const auto* found = static_cast<const uint8_t*>(std::memchr(data + at, '\n', size - at));
        const size_t end = found != nullptr ? static_cast<size_t>(found - data) : size;
        if (line_ == Line::Header) {
            header_.insert(header_.end(), data + at, data + end);
            run_ = found != nullptr ? end + 1 : size;  // no byte of it goes to a batch
            if (found == nullptr) break;
            end_header_line(/*with_line_feed=*/true);
        } else {
            const bool cr_was_held = held_cr_;
            if (held_cr_) {
                held_cr_ = false;
                if (end != at) {  // it was not the end of the line
                    if (key_pending_) {
                        held_.push_back('\r');
                    } else {
                        send_static(kCarriageReturn);
                    }
                }
            }
            if (key_pending_) read_key(data + at, end - at, at, found != nullptr);
            if (found == nullptr) {
                if (observing_) observe_part(data + at, end - at);
                if (key_pending_) {
                    hold(at, end);
                    break;
                }
                // The line goes on in the next piece; a CR at the end may yet be its last.
                if (end > at && data[end - 1] == '\r') {
                    send_run(end - 1);
                    held_cr_ = true;
                    run_ = end;
                }
                break;
            }
            const bool crlf = end > at ? data[end - 1] == '\r' : cr_was_held;
            if (end > at && data[end - 1] == '\r') {
                send_run(end - 1);
                run_ = end;  // the line feed starts the next run
            }
            if (observing_) {
                observe_part(data + at, end - at);
                observe_end(crlf, /*line_feed_added=*/false);
            }
            end_record_line(end + 1);
        }
        ++lines_;
        at = end + 1;
        line_ = Line::None;
    }
    send_run(size);
    outputs_.end_piece();
    piece_ = nullptr;
}

// The input has ended: a last line without a line feed gets one; the records
// since the last full batch are the final batch.
void Splitter::finish() {
    if (line_ == Line::Header) {
        end_header_line(/*with_line_feed=*/false);
        ++lines_;
    } else if (line_ == Line::Record) {
        if (key_pending_) {
            key_.end();
            decide(0);
        }
        if (held_cr_) send_static(kCarriageReturn);  // a last line keeps its CR
        held_cr_ = false;
        send_static(kLineFeed);
        if (observing_) observe_end(false, /*line_feed_added=*/true);
        end_record_line(0);
        ++lines_;
    }
    line_ = Line::None;
    if (in_batch_) outputs_.end(snapshot(), /*final=*/true);
    in_batch_ = false;
    outputs_.end_piece();
}

void Splitter::start_line(uint8_t first, size_t at) {
    if (!vcf::is_record_start(first)) {
        // An indexed batch's offsets count from the header it started with.
        if (indexed_ && in_batch_) {
            throw InputProblem{lines_ + 1, "a header line among the records; batches with an index "
                                           "need every header line before the first record"};
        }
        send_run(at);
        line_ = Line::Header;
        header_line_start_ = header_.size();
        return;
    }
    line_ = Line::Record;
    if (observing_) columns_.reset();
    line_length_ = 0;
    if (keyed_) {
        key_.reset();
        key_pending_ = true;  // decided once the key is read
        return;
    }
    if (!in_batch_) begin_batch(at);
}

void Splitter::begin_batch(size_t at) {
    send_run(at);
    in_batch_ = true;
    outputs_.begin(++number_, snapshot());
    complete_at_ = cuts_.complete_at(number_);
    batch_offset_ = snapshot()->size();
    run_ = at;
}

void Splitter::read_key(const uint8_t* bytes, size_t length, size_t at, bool line_ends) {
    key_.feed({bytes, length});
    if (line_ends) key_.end();
    if (key_.complete()) decide(at);
}

void Splitter::decide(size_t at) {
    key_pending_ = false;
    if (key_.chrom_too_long()) throw InputProblem{lines_ + 1, vcf::RecordColumns::chrom_too_long_text()};
    if (cuts_.cut_before({key_.chrom(), key_.pos()}, number_, records_) && in_batch_) {
        send_run(at);
        outputs_.end(snapshot(), /*final=*/false);
        in_batch_ = false;
        records_ = 0;
    }
    // The batch before a refused record is complete: it is saved before the call ends.
    if (auto refusal = cuts_.refusal()) throw InputProblem{lines_ + 1, std::move(*refusal)};
    if (!in_batch_) begin_batch(at);
    if (held_.empty()) return;
    auto copy = std::make_shared<runtime::Buffer>(held_.size());
    std::memcpy(copy->data(), held_.data(), held_.size());
    outputs_.append({copy, {copy->data(), held_.size()}});
    held_.clear();
}

void Splitter::hold(size_t at, size_t end) {
    send_run(at);  // the records before it
    const uint8_t* const data = piece_->bytes.data();
    size_t last = end;
    if (end > at && data[end - 1] == '\r') {
        held_cr_ = true;  // as for any line: it may yet be the line's last byte
        --last;
    }
    held_.insert(held_.end(), data + at, data + last);
    run_ = end;
}

void Splitter::end_header_line(bool with_line_feed) {
    if (with_line_feed && header_.size() > header_line_start_ && header_.back() == '\r') header_.pop_back();
    header_.push_back('\n');
    snapshot_.reset();
}

// The part of a record line that lies in this piece (before its line feed, if
// any) goes to the column reader; a CHROM too long to keep is refused at once, so
// that a line without end costs no memory either.
void Splitter::observe_part(const uint8_t* bytes, size_t length) {
    line_length_ += length;
    columns_.feed({bytes, length});
    if (columns_.chrom_too_long()) throw InputProblem{lines_ + 1, vcf::RecordColumns::chrom_too_long_text()};
}

// A record line is complete: `crlf`, whether it ended in CR LF (the CR is not
// written). A last line without a line feed (`line_feed_added`) keeps its CR and
// gets one.
void Splitter::observe_end(bool crlf, bool line_feed_added) {
    const uint64_t written = line_length_ + 1 - (crlf && !line_feed_added ? 1 : 0);
    const uint64_t start = batch_offset_;
    batch_offset_ += written;
    if (auto problem = outputs_.record(columns_, start, batch_offset_)) {
        throw InputProblem{lines_ + 1, std::move(*problem)};
    }
}

// `run_end`: where the record's bytes (its line feed included) end in the piece.
void Splitter::end_record_line(size_t run_end) {
    ++total_records_;
    if (++records_ < complete_at_) return;
    if (piece_ != nullptr) send_run(run_end);
    outputs_.end(snapshot(), /*final=*/false);
    in_batch_ = false;
    records_ = 0;
    run_ = run_end;
}

// Sends the piece's bytes from the start of the run up to `end`.
void Splitter::send_run(size_t end) {
    if (piece_ != nullptr && in_batch_ && end > run_) {
        outputs_.append({piece_->owner, piece_->bytes.subspan(run_, end - run_)});
    }
    run_ = end;
}

HeaderSnapshot Splitter::snapshot() {
    if (!snapshot_) snapshot_ = std::make_shared<const std::vector<uint8_t>>(header_);
    return snapshot_;
}

}  // namespace kestrel
