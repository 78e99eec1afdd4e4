#include "split/write/batch_streams.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/stop.hpp"
#include "bgzf/header.hpp"
#include "bgzf/parallel_writer.hpp"
#include "runtime/serial_executor.hpp"

namespace kestrel {
namespace {

// Pieces per plain write; the system takes at most IOV_MAX at once.
constexpr size_t kPiecesPerWrite = IOV_MAX;

// Runs each job at once on the submitting thread: for when the pool cannot start.
class InlineRunner final : public runtime::JobRunner {
public:
    size_t thread_count() const override { return 1; }
    void submit(runtime::Job job) override { job(); }
};

InlineRunner inline_runner;

// The pieces of one plain write, and what keeps their bytes alive until written.
class PendingWrite {
public:
    bool empty() const { return pieces_.empty(); }
    bool full() const { return pieces_.size() >= kPiecesPerWrite; }
    size_t bytes() const { return bytes_; }

    void add(std::span<const uint8_t> bytes, std::shared_ptr<const void> owner) {
        if (bytes.empty()) return;
        // Runs of one buffer join up: the line scan hands them over line by line. Two
        // buffers that merely lie side by side in memory do not: each must be kept.
        if (!pieces_.empty() && owner.get() == last_owner_ &&
            static_cast<const uint8_t*>(pieces_.back().iov_base) + pieces_.back().iov_len == bytes.data()) {
            pieces_.back().iov_len += bytes.size();
        } else {
            pieces_.push_back({const_cast<uint8_t*>(bytes.data()), bytes.size()});
            last_owner_ = owner.get();
            if (owner && (keep_.empty() || keep_.back() != owner)) keep_.push_back(std::move(owner));
        }
        bytes_ += bytes.size();
    }

    // On a worker: allocates nothing.
    void run(OutputFile& file, uint64_t offset, std::optional<IoError>& error) noexcept {
        if (error) return;
        if (auto failed = file.write_at(pieces_, offset)) error = *failed;
    }

private:
    std::vector<iovec> pieces_;
    std::vector<std::shared_ptr<const void>> keep_;
    const void* last_owner_ = nullptr;
    size_t bytes_ = 0;
};

class PlainStream final : public BatchStream {
public:
    PlainStream(runtime::SerialExecutor& writes, OutputFile& file, const HeaderSnapshot& header)
        : writes_(writes), file_(file) {
        pending_.add(*header, header);
    }

    void append(const runtime::Piece& bytes) override {
        pending_.add(bytes.bytes, bytes.owner);
        if (pending_.full()) send();
    }
    void end_piece() override {
        if (!pending_.empty()) send();
    }
    void end() override { end_piece(); }
    bool written() override { return writes_.done(last_write_); }
    void wait_until_written() override { writes_.wait_for(last_write_); }
    // Read once the writes are done: the executor's waits order them after the tasks.
    const std::optional<IoError>& error() const override { return error_; }

    void rewrite(const HeaderSnapshot& header, ByteSource& records) override {
        if ((error_ = file_.restart())) return;
        if ((error_ = file_.write(*header))) return;
        error_ = read_all(records, [&](std::span<const uint8_t> bytes) { return file_.write(bytes); });
    }

private:
    void send() {
        const uint64_t offset = offset_;
        offset_ += pending_.bytes();
        last_write_ = writes_.submit(runtime::Job([write = std::move(pending_), &file = file_, offset,
                                                   &error = error_]() mutable { write.run(file, offset, error); }));
        pending_ = PendingWrite();
    }

    runtime::SerialExecutor& writes_;
    OutputFile& file_;
    PendingWrite pending_;
    uint64_t offset_ = 0;      // bytes sent to the file so far
    uint64_t last_write_ = 0;  // ticket of the last write
    std::optional<IoError> error_;  // set by the write tasks
};

class PlainWriter final : public BatchWriter {
public:
    PlainWriter(runtime::JobRunner* runner, bool local_files) : runner_(runner), local_files_(local_files) {}

    std::variant<std::unique_ptr<BatchStream>, std::string> open(OutputFile& file, HeaderSnapshot header,
                                                                  index::IndexBuilder*) override {
        if (!writes_) {
            runtime::JobRunner* runner = !local_files_     ? nullptr
                                         : runner_ != nullptr ? runner_
                                                              : runtime::WorkerPool::try_global();
            writes_.emplace(runner != nullptr ? *runner : inline_runner);
        }
        return std::make_unique<PlainStream>(*writes_, file, header);
    }
    void poll() override {}

private:
    runtime::JobRunner* runner_;
    bool local_files_;
    std::optional<runtime::SerialExecutor> writes_;
};

class BgzfStream final : public BatchStream {
public:
    BgzfStream(bgzf::StreamCompressor& compressor, OutputFile& file, const HeaderSnapshot& header,
               index::IndexBuilder* index)
        : compressor_(compressor), sink_(*this), file_(file), index_(index) {
        start(header);
    }

    void append(const runtime::Piece& bytes) override { compressor_.write(bytes.bytes); }
    void end_piece() override {}
    void end() override { compressor_.end_file(); }
    bool written() override { return blocks_done_; }
    void wait_until_written() override {
        InterruptPoll interrupt_poll;
        while (!blocks_done_ && !compressor_.all_handed_over()) {
            compressor_.wait_for_one();
            interrupt_poll();
        }
    }
    const std::optional<IoError>& error() const override { return error_; }

    void rewrite(const HeaderSnapshot& header, ByteSource& records) override {
        if ((error_ = file_.restart())) return;
        start(header);
        error_ = read_all(records, [&](std::span<const uint8_t> bytes) -> std::optional<IoError> {
            compressor_.write(bytes);
            return std::nullopt;
        });
        // The file's end goes out even after a failure, or its blocks would run into the next file's.
        compressor_.end_file();
    }

private:
    // Receives the file's blocks from the compressor, in order, on this thread.
    struct Sink final : bgzf::BlockSink {
        explicit Sink(BgzfStream& stream) : stream(stream) {}
        void blocks(std::span<const uint8_t> compressed, std::span<const bgzf::BlockSize> sizes) override {
            if (stream.index_ != nullptr) stream.index_->blocks(sizes);
            if (!stream.error_) stream.error_ = stream.file_.write(compressed);
        }
        void end() override {
            if (!stream.error_) stream.error_ = stream.file_.write(bgzf::kEofMarker);
            stream.blocks_done_ = true;
        }
        BgzfStream& stream;
    };

    void start(const HeaderSnapshot& header) {
        blocks_done_ = false;
        compressor_.begin_file(sink_);
        compressor_.write(*header);
    }

    bgzf::StreamCompressor& compressor_;
    Sink sink_;
    OutputFile& file_;
    index::IndexBuilder* index_;
    bool blocks_done_ = false;  // every block and the marker are in the file
    std::optional<IoError> error_;
};

class BgzfWriter final : public BatchWriter {
public:
    BgzfWriter(uint32_t level, runtime::JobRunner* runner) : level_(level), runner_(runner) {}

    std::variant<std::unique_ptr<BatchStream>, std::string> open(OutputFile& file, HeaderSnapshot header,
                                                                  index::IndexBuilder* index) override {
        if (!compressor_) {
            int failure = 0;
            runtime::JobRunner* runner = runner_ != nullptr ? runner_ : runtime::WorkerPool::try_global(&failure);
            if (runner == nullptr) return runtime::WorkerPool::start_failure_message(failure);
            compressor_.emplace(level_, *runner);
        }
        return std::make_unique<BgzfStream>(*compressor_, file, header, index);
    }
    void poll() override {
        if (compressor_) compressor_->poll();
    }

private:
    uint32_t level_;
    runtime::JobRunner* runner_;
    std::optional<bgzf::StreamCompressor> compressor_;
};

}  // namespace

std::unique_ptr<BatchWriter> open_writer(const FileFormat& format, runtime::JobRunner* runner, bool local_files) {
    switch (format.kind()) {
    case FileFormat::Kind::PlainVcf: return std::make_unique<PlainWriter>(runner, local_files);
    case FileFormat::Kind::BgzfVcf: return std::make_unique<BgzfWriter>(format.level(), runner);
    }
    stop("internal error: entered unreachable code");
}

}  // namespace kestrel
