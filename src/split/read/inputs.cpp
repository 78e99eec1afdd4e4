#include "split/read/inputs.hpp"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "base/bytes.hpp"
#include "base/stop.hpp"
#include "bgzf/header.hpp"

namespace kestrel {
namespace {

// Enough buffers that reading goes on while earlier pieces are still being written.
constexpr size_t kBuffersInFlight = 8;

class PlainInput final : public Input {
public:
    PlainInput(std::unique_ptr<ByteSource> source, size_t read_size, uint64_t ahead_until)
        : source_(std::move(source)), buffers_(std::max<size_t>(read_size, 1), kBuffersInFlight),
          ahead_until_(ahead_until) {}

    InputResult next() override {
        if (at_end_) return runtime::Piece{};
        runtime::BufferRef buffer = buffers_.acquire();
        // Past where the reader means to stop: small reads, so that one that stops soon
        // after has read little more.
        constexpr uint64_t kWaryRead = uint64_t{64} << 10;
        const uint64_t most = bytes_read_ >= ahead_until_ ? kWaryRead : ahead_until_ - bytes_read_;
        auto got = source_->read(buffer->writable().first(std::min<uint64_t>(buffer->writable().size(), most)));
        if (auto* error = std::get_if<IoError>(&got)) {
// Contract text (docs/errors.md): callers match on it to the letter.
            return ReadFailure{"An error occurred reading the file.", error->debug(),
                               StopDetail::io(error->os_code(), {}, error->display()), *error};
        }
        const size_t length = std::get<size_t>(got);
        if (length == 0) {
            at_end_ = true;
            return runtime::Piece{};
        }
        bytes_read_ += length;
        const uint8_t* data = buffer->data();
        return runtime::Piece{std::move(buffer), {data, length}};
    }

    uint64_t bytes_read() const override { return bytes_read_; }

private:
    std::unique_ptr<ByteSource> source_;
    runtime::BufferPool buffers_;
    uint64_t ahead_until_;
    uint64_t bytes_read_ = 0;
    bool at_end_ = false;
};

// Contract text (docs/errors.md): callers match on it to the letter.
constexpr const char* kCompressedReadFailure = "An error occurred reading the compressed file.";

// What is wrong with a BGZF input, in plain words.
std::string bgzf_failure_text(const bgzf::BgzfError& error) {
    switch (error.kind()) {
    case bgzf::BgzfError::Kind::NotBGZF:
        return "not BGZF: a gzip member without BGZF's block size (compressed with gzip rather than bgzip?)";
    case bgzf::BgzfError::Kind::NotGzip: return "damaged BGZF input: a block does not start like a gzip member";
    case bgzf::BgzfError::Kind::IoError:
        if (error.io_error()->kind() == ErrorKind::UnexpectedEof) {
            return "damaged BGZF input: the file ends inside a block (cut short?)";
        }
        break;
    default: break;
    }
    return "damaged BGZF input: " + error.display();
}

class BgzfInput final : public Input {
public:
    BgzfInput(std::unique_ptr<ByteSource> source, runtime::JobRunner* runner,
              const bgzf::ParallelReaderSettings& settings)
        : reader_(std::move(source), runner != nullptr ? *runner : runtime::WorkerPool::global(), settings) {}

    InputResult next() override {
        auto next = reader_.next();
        if (auto* error = std::get_if<bgzf::BgzfError>(&next)) {
            // A failed read of the file is the system's; anything else is damaged input.
            const IoError* io = error->io_error();
            StopDetail detail = io != nullptr && io->os_code() != 0
                                    ? StopDetail::io(io->os_code(), {}, io->display())
                                    : StopDetail::input({}, 0, bgzf_failure_text(*error));
            return ReadFailure{kCompressedReadFailure, error->debug(), std::move(detail),
                               IoError::custom(ErrorKind::Other, std::make_shared<bgzf::BgzfError>(*error))};
        }
        return std::get<runtime::Piece>(std::move(next));
    }

    uint64_t bytes_read() const override { return reader_.bytes_read(); }
    bool stream_ended() const override { return reader_.stream_ended(); }
    std::span<const bgzf::BlockNote> notes() const override { return reader_.notes(); }

private:
    bgzf::ParallelBgzfReader reader_;
};

// A gzip file that is not BGZF (one or more members, as gzip and pigz write them),
// inflated as one stream with zlib: libdeflate inflates only whole buffers. Bytes after
// the last member that start no gzip member are ignored, as after BGZF's end marker.
class GzipInput final : public Input {
public:
    GzipInput(std::unique_ptr<ByteSource> source, size_t read_size)
        : source_(std::move(source)),
          compressed_(std::max<size_t>(read_size, 4096)),
          buffers_(std::max<size_t>(read_size, 4096), kBuffersInFlight) {
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~GzipInput() override { inflateEnd(&stream_); }

    InputResult next() override {
        if (ended_) return runtime::Piece{};
        runtime::BufferRef buffer = buffers_.acquire();
        stream_.next_out = buffer->data();
        stream_.avail_out = static_cast<uInt>(buffer->capacity());
        InterruptPoll interrupt_poll;
        while (stream_.avail_out > 0 && !ended_) {
            interrupt_poll();
            if (stream_.avail_in == 0) {
                if (auto failure = refill()) return std::move(*failure);
                if (stream_.avail_in == 0) {
                    if (in_member_) return damaged("the file ends inside a gzip member (cut short?)");
                    ended_ = true;
                    break;
                }
            }
            if (!in_member_) {
                // Between members: another one, or the end of the stream.
                if (stream_.avail_in < 2 && !at_source_end_) {
                    if (auto failure = refill()) return std::move(*failure);
                }
                if (!bgzf::starts_like_gzip({stream_.next_in, stream_.avail_in})) {
                    ended_ = true;
                    break;
                }
                inflateReset(&stream_);
                in_member_ = true;
            }
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                in_member_ = false;
            } else if (status == Z_BUF_ERROR) {
                continue;  // wants more input
            } else if (status != Z_OK) {
                return damaged(std::string("damaged gzip input: ") + (stream_.msg != nullptr ? stream_.msg : "bad data"));
            }
        }
        const size_t length = buffer->capacity() - stream_.avail_out;
        if (length == 0) return runtime::Piece{};
        const uint8_t* data = buffer->data();
        return runtime::Piece{std::move(buffer), {data, length}};
    }

    uint64_t bytes_read() const override { return bytes_read_; }

private:
    // More compressed bytes, after those not yet inflated.
    std::optional<ReadFailure> refill() {
        if (stream_.avail_in > 0) std::memmove(compressed_.data(), stream_.next_in, stream_.avail_in);
        const size_t kept = stream_.avail_in;
        auto got = source_->read(std::span(compressed_).subspan(kept));
        if (auto* error = std::get_if<IoError>(&got)) {
            return ReadFailure{kCompressedReadFailure, error->debug(),
                               StopDetail::io(error->os_code(), {}, error->display()), *error};
        }
        const size_t length = std::get<size_t>(got);
        at_source_end_ = length == 0;
        bytes_read_ += length;
        stream_.next_in = compressed_.data();
        stream_.avail_in = static_cast<uInt>(kept + length);
        return std::nullopt;
    }

    ReadFailure damaged(const std::string& text) {
        ended_ = true;
        const IoError error = IoError::with_message(ErrorKind::InvalidData, text);
        return ReadFailure{kCompressedReadFailure, error.debug(), StopDetail::input({}, 0, text), error};
    }

    std::unique_ptr<ByteSource> source_;
    std::vector<uint8_t> compressed_;
    runtime::BufferPool buffers_;
    z_stream stream_{};
    bool in_member_ = false;
    bool ended_ = false;
    bool at_source_end_ = false;
    uint64_t bytes_read_ = 0;
};

}  // namespace

std::unique_ptr<Input> read_input(std::unique_ptr<ByteSource> source, InputFormat format, size_t read_size,
                                  runtime::JobRunner* runner, const bgzf::ParallelReaderSettings& bgzf_settings) {
    switch (format) {
    case InputFormat::Bgzf: return std::make_unique<BgzfInput>(std::move(source), runner, bgzf_settings);
    case InputFormat::Gzip: return std::make_unique<GzipInput>(std::move(source), read_size);
    case InputFormat::Plain: break;
    }
    return std::make_unique<PlainInput>(std::move(source), read_size, bgzf_settings.read_ahead_until);
}

namespace {

// The first `wanted` bytes of `source` (fewer where it is shorter), appended to `head`;
// taken from a pipe, read at their offset from anything else.
std::optional<IoError> head_of(ByteSource& source, size_t wanted, std::vector<uint8_t>& head) {
    const size_t had = head.size();
    head.resize(std::max(had, wanted));
    size_t got = had;
    while (got < wanted) {
        auto read = source.seekable() ? source.read_at(got, std::span(head).subspan(got))
                                      : source.read(std::span(head).subspan(got));
        if (auto* error = std::get_if<IoError>(&read)) return *error;
        if (std::get<size_t>(read) == 0) break;
        got += std::get<size_t>(read);
    }
    head.resize(got);
    return std::nullopt;
}

// Whether the gzip member header in `head` carries BGZF's BC subfield, walking its
// extra field; false where `head` holds no whole extra field.
bool has_block_size(std::span<const uint8_t> head) {
    if (head.size() < 12 || (head[3] & bgzf::kFlagExtra) == 0) return false;
    const size_t extra_end = 12 + load_le16(&head[10]);
    if (head.size() < extra_end) return false;
    for (size_t at = 12; at + 4 <= extra_end;) {
        const size_t length = load_le16(&head[at + 2]);
        if (bgzf::is_block_size_subfield(head[at], head[at + 1], length)) return true;
        at += 4 + length;
    }
    return false;
}

}  // namespace

IoResult<InputFormat> sniff_format(std::unique_ptr<ByteSource>& source) {
    std::vector<uint8_t> head;
    std::optional<IoError> error = head_of(*source, 12, head);
    if (!error && bgzf::starts_like_gzip(head) && head.size() == 12 && (head[3] & bgzf::kFlagExtra) != 0) {
        error = head_of(*source, 12 + load_le16(&head[10]), head);  // the extra field, to find BC in it
    }
    if (!source->seekable()) source = with_prefix(head, std::move(source));
    if (error) return *error;
    if (!bgzf::starts_like_gzip(head)) return InputFormat::Plain;
    return has_block_size(head) ? InputFormat::Bgzf : InputFormat::Gzip;
}

}  // namespace kestrel
