#include "support.hpp"

#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>

#include "base/bytes.hpp"
#include "base/stop.hpp"
#include "bgzf/deflate.hpp"
#include "split/run/tasks.hpp"
#include "vcf/record_columns.hpp"

namespace kestrel::testing {

Bytes vcf_text(size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::string text;
    text.reserve(length + 200);
    for (uint64_t position = 1000; text.size() < length; position += random() % 500) {
        text += "chrX\t" + std::to_string(position) + "\trs" + std::to_string(random() % 100000) + "\t" +
                "ACGT"[random() % 4] + "\t" + "ACGT"[random() % 4] + "\t" + std::to_string(random() % 99) +
                "\tPASS\tDP=" + std::to_string(random() % 300) + "\tGT\t0|1\t1|1\t0|0\n";
    }
    text.resize(length);
    return {text.begin(), text.end()};
}

Encoded bgzf_encode(std::span<const uint8_t> data, uint32_t level) {
    Encoded out;
    bgzf::Compressor compressor(level);
    for (size_t from = 0; from < data.size(); from += bgzf::kMaxBlockData) {
        const auto piece = data.subspan(from, std::min(bgzf::kMaxBlockData, data.size() - from));
        const auto size = bgzf::encode_block(out.bytes, piece, compressor);
        if (!std::holds_alternative<size_t>(size)) throw std::runtime_error("a block could not be encoded");
        out.sizes.push_back({static_cast<uint32_t>(piece.size()), static_cast<uint32_t>(std::get<size_t>(size))});
    }
    append(out.bytes, bgzf::kEofMarker);
    return out;
}

Bytes bgzf_member(std::span<const uint8_t> data, const Member& member) {
    Bytes payload;
    if (member.deflated) {
        payload = *member.deflated;
    } else {
        bgzf::Compressor compressor(6);
        payload.resize(data.size() + bgzf::kMaxDeflateOverhead);
        payload.resize(std::get<size_t>(bgzf::compress_raw(compressor, data, payload)));
    }
    append_le(payload, bgzf::crc32(data) ^ member.crc_xor);
    append_le(payload, member.isize.value_or(static_cast<uint32_t>(data.size())));

    Bytes extra = member.extra_before;
    const size_t block_size_at = extra.size() + 4;
    append(extra, Bytes{bgzf::kBlockSizeId1, bgzf::kBlockSizeId2, 2, 0, 0, 0});
    append(extra, member.extra_after);
    const uint16_t xlen = member.xlen.value_or(static_cast<uint16_t>(extra.size()));

    uint8_t flags = bgzf::kFlagExtra;
    Bytes fields;
    for (const auto& [field, flag] : {std::pair{&member.name, bgzf::kFlagName}, {&member.comment, bgzf::kFlagComment}}) {
        if (!*field) continue;
        flags |= flag;
        fields.insert(fields.end(), (*field)->begin(), (*field)->end());
        fields.push_back(0);
    }
    if (member.header_crc) {
        flags |= bgzf::kFlagHeaderCrc;
        append(fields, Bytes{0xEF, 0xBE});
    }
    const size_t counted = 12 + xlen + fields.size() + payload.size();
    store_le(&extra[block_size_at], static_cast<uint16_t>(counted - 1));

    Bytes out = {0x1f, 0x8b, 8, flags, 0, 0, 0, 0, 2, 255};  // XFL and OS as the writers set them
    append_le(out, xlen);
    append(out, extra);
    append(out, fields);
    append(out, payload);
    return out;
}

Bytes gunzip(std::span<const uint8_t> stream) {
    Bytes out;
    z_stream z{};
    if (inflateInit2(&z, 16 + 15) != Z_OK) throw std::runtime_error("zlib cannot start");
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    Bytes buffer(1 << 16);
    int status = Z_OK;
    while (z.avail_in > 0) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer.data(), z.next_out);
        if (status == Z_STREAM_END) {
            inflateReset(&z);
        } else if (status != Z_OK) {
            break;
        }
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END) throw std::runtime_error("zlib: not a whole gzip stream (" + std::to_string(status) + ")");
    return out;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::map<std::string, std::string> files_of(const std::filesystem::path& directory) {
    std::map<std::string, std::string> files;
    if (!std::filesystem::exists(directory)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        files[entry.path().filename()] = read_file(entry.path());
    }
    return files;
}

TemporaryDirectory::TemporaryDirectory() {
    const bool shm = access("/dev/shm", W_OK) == 0;
    std::string name = ((shm ? "/dev/shm" : std::filesystem::temp_directory_path()) / "kestrel-test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ControlledRunner::submit(runtime::Job job) {
    std::unique_lock lock(mutex_);
    if (run_on_submit_) {
        lock.unlock();
        job();
        return;
    }
    held_.emplace_back(std::move(job));
    changed_.notify_all();
}

void ControlledRunner::run(size_t index) {
    std::unique_lock lock(mutex_);
    runtime::Job job = std::move(*held_.at(index));
    held_.at(index).reset();
    lock.unlock();
    job();
}

void ControlledRunner::run_all_from_now_on() {
    std::unique_lock lock(mutex_);
    run_on_submit_ = true;
    std::vector<runtime::Job> waiting;
    for (auto& job : held_) {
        if (job) waiting.push_back(std::move(*job));
        job.reset();
    }
    lock.unlock();
    for (runtime::Job& job : waiting) job();
}

size_t ControlledRunner::submissions() {
    std::lock_guard lock(mutex_);
    return held_.size();
}

bool ControlledRunner::wait_for_submissions(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_.size() >= count; });
}

namespace {

std::atomic<int> interrupt_runs{0};
std::atomic<int> interrupt_from{0};

void interrupt_check() {
    if (++interrupt_runs >= interrupt_from) throw Interrupted();
}

}  // namespace

InterruptAfter::InterruptAfter(int calls) {
    interrupt_runs = 0;
    interrupt_from = calls;
    set_interrupt_check(interrupt_check);
}

InterruptAfter::~InterruptAfter() { set_interrupt_check(nullptr); }

int InterruptAfter::runs() const { return interrupt_runs; }

std::vector<std::string> model_batches(const std::string& text, uint32_t batch_size) {
    std::vector<std::string> batches;
    std::string header, batch;
    uint32_t records = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        std::string line;
        if (end == std::string::npos) {
            line = text.substr(start);  // a last line without LF keeps its CR
            start = text.size();
        } else {
            line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = end + 1;
        }
        if (!line.empty() && line[0] == '#') {
            header += line + '\n';
            continue;
        }
        batch += line + '\n';
        if (++records >= batch_size) {
            batches.push_back(header + batch);
            batch.clear();
            records = 0;
        }
    }
    if (!batch.empty()) batches.push_back(header + batch);
    return batches;
}

std::variant<index::RecordSpan, std::string> parse_vcf_record(std::string_view line) {
    static vcf::RecordColumns columns;
    columns = vcf::read_record(line);
    return columns.span();
}

std::variant<std::vector<uint8_t>, std::string> build_index(std::string_view text, std::span<const bgzf::BlockSize> sizes,
                                                            index::IndexFormat format, bool blocks_at_end) {
    index::IndexBuilder builder(format);
    size_t handed = 0;
    size_t line_number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        const std::string_view line = text.substr(start, end - start);
        ++line_number;
        if (!line.starts_with('#')) {
            const auto record = parse_vcf_record(line);
            if (const auto failure = std::holds_alternative<std::string>(record)
                                   ? std::optional(std::get<std::string>(record))
                                   : builder.add(std::get<index::RecordSpan>(record), start, end)) {
                return "line " + std::to_string(line_number) + ": " + *failure;
            }
        }
        while (!blocks_at_end && handed < sizes.size() && (handed + 3) * bgzf::kMaxBlockData <= end) {
            builder.blocks(sizes.subspan(handed++, 1));
        }
        start = end;
    }
    builder.blocks(sizes.subspan(handed));
    return std::move(builder).finish();
}

std::vector<std::string> ShufflingRunner::count(const std::vector<std::string>& tasks) {
    std::vector<std::string> counts(tasks.size());
    for (size_t i : shuffled(tasks.size())) counts[i] = run_range_task(tasks[i], 0);
    return counts;
}

void ShufflingRunner::write(const std::vector<std::string>& tasks,
                            const std::function<void(size_t, std::string_view)>& done) {
    for (size_t i : shuffled(tasks.size())) {
        if (random_() % 4 == 0) run_chunk_task(tasks[i], 0);  // an attempt whose result is lost
        done(i, run_chunk_task(tasks[i], 0));
    }
}

std::vector<size_t> ShufflingRunner::shuffled(size_t count) {
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t{0});
    std::shuffle(order.begin(), order.end(), random_);
    return order;
}

}  // namespace kestrel::testing
