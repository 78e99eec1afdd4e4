#include "conformance.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <random>
#include <thread>
#include <tuple>

#include "base/stop.hpp"

namespace kestrel::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// What read() hands out until it gives 0 twice, in pieces of 1 to `largest` bytes, with
// a read_at() between them where asked (which must not move read()); nullopt on failure.
std::optional<Bytes> read_pass(ByteSource& source, size_t largest, bool read_at_between = false) {
    std::mt19937 random(static_cast<uint32_t>(largest));
    Bytes got, piece;
    for (int ends = 0; ends < 2;) {
        piece.resize(1 + random() % largest);
        const auto read = source.read(piece);
        if (std::holds_alternative<IoError>(read)) return std::nullopt;
        const size_t length = std::min(std::get<size_t>(read), piece.size());
        ends += length == 0;
        got.insert(got.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(length));
        if (read_at_between) (void)source.read_at(random() % (got.size() + 1000), piece);
    }
    return got;
}

// What read_fully_at() gives; nullopt on failure.
std::optional<Bytes> fully_at(const ByteSource& source, uint64_t at, size_t length) {
    Bytes into(length);
    const auto got = read_fully_at(source, at, into);
    if (std::holds_alternative<IoError>(got)) return std::nullopt;
    into.resize(std::get<size_t>(got));
    return into;
}

}  // namespace

std::vector<std::string> byte_source_faults(const std::function<std::shared_ptr<ByteSource>()>& make,
                                            std::span<const uint8_t> expected) {
    std::vector<std::string> faults;
    const auto check = [&](bool holds, const std::string& fault) {
        if (!holds) faults.push_back(fault);
    };
    const Bytes whole(expected.begin(), expected.end());
    const uint64_t length = whole.size();
    const auto slice = [&](uint64_t from, uint64_t to) {
        return Bytes(whole.begin() + static_cast<ptrdiff_t>(std::min(from, length)),
                     whole.begin() + static_cast<ptrdiff_t>(std::min(to, length)));
    };
    const auto state = [](const ByteSource& of) {
        return std::tuple(of.seekable(), of.size(), of.identity(), of.modified_ns(), of.version());
    };
    const std::shared_ptr<ByteSource> source = make();
    const auto before = state(*source);
    const bool seekable = source->seekable();
    check(!source->size() || *source->size() == length, "size() is not the length");

    // read(): the bytes in order, whatever the pieces asked for, then 0 and 0 again.
    check(read_pass(*source, 4099, true) == whole, "read() with read_at() between gives other bytes");
    for (const size_t largest : {size_t{1}, size_t{65536}, size_t{3} << 20}) {
        check(read_pass(*make(), largest) == whole, "read() in pieces of up to " + std::to_string(largest) + " gives other bytes");
    }
    check(state(*source) == before, "seekable(), size(), identity(), modified_ns() or version() changed as it was read");
    check(make()->version() == source->version(), "version() differs between two opens of the same bytes");

    // read_at(): from anywhere, as many bytes as asked but at the end; ESPIPE where the
    // source is not seekable. From several threads at once.
    for (const uint64_t offset : {uint64_t{0}, uint64_t{1}, length / 3, length - std::min<uint64_t>(length, 1), length,
                                  length + 1, length + 100000}) {
        Bytes into(4099);
        const auto got = source->read_at(offset, into);
        const auto* error = std::get_if<IoError>(&got);
        if (!seekable) {
            check(error && error->os_code() == ESPIPE, "read_at() of a source that is not seekable is no ESPIPE");
            break;
        }
        into.resize(error ? 0 : std::min(into.size(), std::get<size_t>(got)));
        check(!error && into == slice(offset, offset + 4099), "read_at(" + std::to_string(offset) + ") fails or gives other bytes");
    }
    if (!seekable) return faults;
    check(fully_at(*source, 0, length + 10) == whole, "read_fully_at() over the whole source gives other bytes");
    std::atomic<bool> wrong = false;
    std::vector<std::jthread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 20; ++i) {
                const uint64_t at = random() % (length + 1), asked = 1 + random() % 70000;
                if (fully_at(*source, at, asked) != slice(at, at + asked) || state(*source) != before) wrong = true;
            }
        });
    }
    threads.clear();  // joined
    check(!wrong, "read_at() from several threads at once gives other bytes");

    // read_from(): a pass of its own from `offset` to `end`, its size what is left there,
    // read_at() counted from `offset`; the source's own read() goes on where it stood.
    for (const auto& [from, to] : {std::pair{uint64_t{0}, UINT64_MAX}, {length / 3, 2 * length / 3},
                                   {length / 2, length + 50}, {length + 5, UINT64_MAX}}) {
        const std::shared_ptr<ByteSource> parent = make();
        Bytes started(length / 4 + 1);
        const auto first = parent->read(started);
        const std::unique_ptr<ByteSource> pass = read_from(parent, from, to);
        const Bytes want = slice(from, to);
        const std::string what = "read_from(" + std::to_string(from) + ", " + std::to_string(to) + ")";
        check(!pass->size() || *pass->size() == want.size(), what + "'s size() is not what is left");
        check(read_pass(*pass, 5000) == want && fully_at(*pass, 0, want.size() + 10) == want, what + "'s read() or read_at() gives other bytes");
        check(read_pass(*parent, 5000) == slice(std::holds_alternative<size_t>(first) ? std::get<size_t>(first) : 0, length),
              what + " moves the source's own read()");
    }
    return faults;
}

std::vector<std::string> output_target_faults(OutputTarget& target, const std::string& input, bool ended) {
    std::vector<std::string> faults;
    const auto check = [&](bool holds, const std::string& fault, const std::optional<IoError>& error = {}) {
        if (!holds || error) faults.push_back(fault + (error ? " (" + error->display() + ")" : ""));
    };
    // The bytes of `name` (nullopt where it is not there), at most `most` of them.
    const auto text = [&](const std::string& name, size_t most = 1 << 20) {
        const auto read = target.read_small(name, most);
        check(true, "read_small(" + name + ") fails", std::holds_alternative<IoError>(read) ? std::get<IoError>(read) : std::optional<IoError>());
        return std::holds_alternative<IoError>(read) ? std::nullopt : std::get<std::optional<std::string>>(read);
    };
    // A new file of `bytes`, half written by write() and half by write_at() (on another
    // thread where the target is local), not committed; null after a fault.
    const auto written = [&](const std::string& name, const std::string& bytes) -> std::unique_ptr<OutputFile> {
        auto created = target.create(name);
        if (auto* error = std::get_if<IoError>(&created)) return check(false, "create() fails", *error), nullptr;
        auto file = std::move(std::get<std::unique_ptr<OutputFile>>(created));
        const size_t half = bytes.size() / 2;
        iovec pieces[] = {{const_cast<char*>(bytes.data()) + half, 1}, {const_cast<char*>(bytes.data()) + half + 1, bytes.size() - half - 1}};
        std::optional<IoError> error = file->write(as_bytes(bytes).first(half));
        const auto rest = [&] { error = file->write_at(pieces, half); };
        if (!error) target.local() ? std::jthread(rest).join() : rest();
        if (error) return check(false, "writing fails", error), nullptr;
        const auto size = file->size();
        check(std::holds_alternative<uint64_t>(size) && std::get<uint64_t>(size) == bytes.size(), "size() is not what was written");
        check(file->path() == target.path_of(name) && target.path_of(name).ends_with("/" + name), "path() is not path_of(name), ending in /name");
        return file;
    };
    const std::string name = "conformance.vcf", missing = "conformance-missing.vcf";

    // A file is there, complete, only once committed (not as it is written, nor closed);
    // it replaces an older one only at commit; one dropped uncommitted leaves nothing, or
    // the older one as it was.
    if (auto file = written(name, "first\n")) {
        check(!target.size_of(name) && !text(name), "a file is there before it is committed");
        check(true, "close() fails", file->close(Durability::StartWriteback));
        check(!target.size_of(name), "a closed file is there before it is committed");
        check(true, "commit() fails", file->commit(Durability::StartWriteback));
    }
    check(target.size_of(name) == 6u && text(name) == "first\n", "a committed file is not there with its bytes");
    for (const bool commit : {false, true}) {
        if (auto file = written(name, "second version\n")) {
            check(text(name) == "first\n", "a file written over an older one replaces it before commit");
            check(true, "commit() over an older file fails", commit ? file->commit(Durability::Flush) : std::nullopt);
        }
    }
    check(text(name) == "second version\n", "commit() over an older file does not replace it");
    (void)written(missing, "dropped\n");
    check(!target.size_of(missing) && !text(missing), "a file dropped uncommitted is there");
    try {
        target.flush({name});
    } catch (const Stop& stopped) {
        check(false, "flush() stops: " + stopped.message());
    }
    check(text(name, 15) == "second version\n" && !text(name, 14), "read_small() of `most` bytes or of a larger file is wrong");
    check(true, "remove() fails", target.remove(name));
    check(true, "remove() of what is not there fails", target.remove(name));
    check(!target.size_of(name) && target.still_there(), "a removed file is there, or the target is not");

    // holding(): the body runs and its answer is returned while the run lasts; after
    // it, ECANCELED without running the body.
    bool ran = false;
    const auto held = target.holding([&]() -> std::optional<IoError> { return ran = true, IoError::os(EXDEV); });
    check(ran != ended && held && held->os_code() == (ended ? ECANCELED : EXDEV),
          ended ? "holding() of an ended run runs its body or is no ECANCELED" : "holding() does not run its body and return its answer");

    // The input, under a name of the target, is never created, removed or changed.
    if (!input.empty()) {
        const auto kept = text(input);
        check(std::holds_alternative<IoError>(target.create(input)), "create() of the input's name is not refused");
        check(target.remove(input).has_value(), "remove() of the input's name is not refused");
        check(kept && text(input) == kept, "the input is not there as it was");
    }

    // What a local target alone does: read back what was written, start over, scratch files.
    if (!target.local()) return faults;
    if (auto file = written(name, "records\n")) {
        auto back = file->read_back();
        auto* source = std::get_if<std::unique_ptr<ByteSource>>(&back);
        check(source && read_pass(**source, 3) == Bytes{'r', 'e', 'c', 'o', 'r', 'd', 's', '\n'}, "read_back() does not give what was written");
        auto error = file->restart();
        const auto size = file->size();
        check(!error && std::holds_alternative<uint64_t>(size) && std::get<uint64_t>(size) == 0, "restart() leaves bytes", error);
        check(true, "writing after restart() fails", file->write(as_bytes("header\n")));
        check(true, "commit() fails", file->commit(Durability::None));
        check(text(name) == "header\n", "a file started over is not there with its new bytes");
    }
    check(true, "remove() fails", target.remove(name));
    const auto scratch = target.scratch();
    check(std::holds_alternative<File>(scratch) && std::get<File>(scratch).is_open(), "scratch() gives no open file");
    return faults;
}

}  // namespace kestrel::testing
