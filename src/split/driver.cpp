#include "split/driver.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/inputs.hpp"
#include "split/outputs.hpp"
#include "split/progress.hpp"

namespace kestrel {
namespace {

constexpr uint8_t kLineFeed[] = {'\n'};
constexpr uint8_t kCarriageReturn[] = {'\r'};

// Cuts the input into lines as the pieces arrive, without assembling record lines:
// the bytes of records go to the batch file as runs of the input's own buffers, so
// a line of any length costs no memory. Header lines are kept, since every batch
// repeats them.
class Splitter {
public:
    Splitter(Outputs& outputs, uint32_t batch_size) : outputs_(outputs), batch_size_(batch_size) {}

    void feed(const runtime::Piece& piece) {
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
                if (held_cr_) {
                    held_cr_ = false;
                    if (end != at) send_static(kCarriageReturn);  // it was not the end of the line
                }
                if (found == nullptr) {
                    // The line goes on in the next piece; a CR at the end may yet be its last.
                    if (end > at && data[end - 1] == '\r') {
                        send_run(end - 1);
                        held_cr_ = true;
                        run_ = end;
                    }
                    break;
                }
                if (end > at && data[end - 1] == '\r') {
                    send_run(end - 1);
                    run_ = end;  // the line feed starts the next run
                }
                end_record_line(end + 1);
            }
            at = end + 1;
            line_ = Line::None;
        }
        send_run(size);
        outputs_.end_piece();
        piece_ = nullptr;
    }

    // The input has ended: a last line without a line feed gets one; the records
    // since the last full batch are the final batch.
    void finish() {
        if (line_ == Line::Header) {
            end_header_line(/*with_line_feed=*/false);
        } else if (line_ == Line::Record) {
            if (held_cr_) send_static(kCarriageReturn);  // a last line keeps its CR
            held_cr_ = false;
            send_static(kLineFeed);
            end_record_line(0);
        }
        line_ = Line::None;
        if (in_batch_) outputs_.end(snapshot(), /*final=*/true);
        in_batch_ = false;
        outputs_.end_piece();
    }

    int32_t batches() const { return number_; }

private:
    enum class Line { None, Header, Record };

    void start_line(uint8_t first, size_t at) {
        if (first == '#') {
            send_run(at);
            line_ = Line::Header;
            header_line_start_ = header_.size();
            return;
        }
        line_ = Line::Record;
        if (!in_batch_) {
            send_run(at);
            in_batch_ = true;
            outputs_.begin(++number_, snapshot());
            run_ = at;
        }
    }

    void end_header_line(bool with_line_feed) {
        if (with_line_feed && header_.size() > header_line_start_ && header_.back() == '\r') header_.pop_back();
        header_.push_back('\n');
        snapshot_.reset();
    }

    // `run_end`: where the record's bytes (its line feed included) end in the piece.
    void end_record_line(size_t run_end) {
        if (++records_ < batch_size_) return;
        if (piece_ != nullptr) send_run(run_end);
        outputs_.end(snapshot(), /*final=*/false);
        in_batch_ = false;
        records_ = 0;
        run_ = run_end;
    }

    // Sends the piece's bytes from the start of the run up to `end`.
    void send_run(size_t end) {
        if (piece_ != nullptr && in_batch_ && end > run_) {
            outputs_.append({piece_->owner, piece_->bytes.subspan(run_, end - run_)});
        }
        run_ = end;
    }

    void send_static(std::span<const uint8_t> bytes) { outputs_.append({nullptr, bytes}); }

    HeaderSnapshot snapshot() {
        if (!snapshot_) snapshot_ = std::make_shared<const std::vector<uint8_t>>(header_);
        return snapshot_;
    }

    Outputs& outputs_;
    uint32_t batch_size_;
    std::vector<uint8_t> header_;
    HeaderSnapshot snapshot_;
    size_t header_line_start_ = 0;
    const runtime::Piece* piece_ = nullptr;
    size_t run_ = 0;  // start of the record bytes of the piece not yet sent
    Line line_ = Line::None;
    bool held_cr_ = false;
    bool in_batch_ = false;
    uint32_t records_ = 0;
    int32_t number_ = 0;
};

bool names_bgzf_file(std::string_view path) { return path.ends_with(".gz"); }

}  // namespace

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning) {
    auto opened = open_for_reading(std::string(file_path));
    if (auto* error = std::get_if<IoError>(&opened)) stop_with("File does not exist.", *error);
    File& file = std::get<File>(opened);
    const std::optional<FileIdentity> input_identity = identity_of(file.fd());
    std::unique_ptr<Input> input = open_input(std::move(file), names_bgzf_file(file_path), tuning.read_size);

    Outputs outputs(output_path, batch_size, compression, input_identity, tuning.runner);
    Splitter splitter(outputs, batch_size);
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        InputResult next = [&] {
            try {
                return input->next();
            } catch (const Stop&) {
                outputs.settle();  // a damaged block that stops the call comes after the batches before it
                throw;
            }
        }();
        if (auto* failure = std::get_if<ReadFailure>(&next)) {
            // Whatever the input held before the failure is saved first, as it would
            // have been had the batches been written one by one.
            outputs.settle();
            stop(std::string(failure->context) + ": " + failure->debug);
        }
        const auto& piece = std::get<runtime::Piece>(next);
        if (piece.bytes.empty()) break;
        splitter.feed(piece);
        outputs.poll();
    }
    input.reset();  // the input is closed before the final batch is written
    splitter.finish();
    outputs.settle();
    print_summary(splitter.batches(), batch_size, output_path);
}

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression) {
    extract_variants_to_batches(file_path, output_path, batch_size, compression, SplitTuning{});
}

}  // namespace kestrel
