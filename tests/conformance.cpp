#include "conformance.hpp"

#include <algorithm>
#include <cerrno>
#include <random>
#include <thread>

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
    const auto check = [&](bool holds, const std::string& fault) { holds ? void() : faults.push_back(fault); };
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
    check(!source->size() || *source->size() == length, "size() is not the length");
    // read(): the bytes in order, whatever the pieces, then 0 and 0 again; nothing of the
    // source's state changes as it is read, nor between two opens.
    for (const size_t largest : {size_t{1}, size_t{4099}, size_t{3} << 20}) {
        check(largest == 4099 ? read_pass(*source, largest, true) == whole : read_pass(*make(), largest) == whole, "read() in pieces of up to " + std::to_string(largest) + " gives other bytes");
    }
    check(state(*source) == before && make()->version() == source->version(), "the source's state changed as it was read, or between opens");
    // read_at(): from anywhere (from several threads at once), as many bytes as asked but
    // at the end; ESPIPE where the source is not seekable.
    if (!source->seekable()) {
        Bytes into(10);
        const auto got = source->read_at(0, into);
        check(std::holds_alternative<IoError>(got) && std::get<IoError>(got).os_code() == ESPIPE, "read_at() of a source that is not seekable is no ESPIPE");
        return faults;
    }
    bool wrong[4] = {};
    std::vector<std::jthread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (uint64_t at : {uint64_t{0}, length, length + 100000}) wrong[t] |= fully_at(*source, at, 10) != slice(at, at + 10);
            for (int i = 0; i < 20; ++i) {
                const uint64_t at = random() % (length + 1), asked = 1 + random() % 70000;
                wrong[t] |= fully_at(*source, at, asked) != slice(at, at + asked);
            }
        });
    }
    threads.clear();  // joined
    check(std::ranges::none_of(wrong, std::identity()), "read_at() gives other bytes");
    // read_from(): a pass of its own from `from` to `to`, its size what is left there,
    // read_at() counted from `from`, the same bytes before and past where it expects to
    // stop; the source's own read() goes on where it stood.
    for (const auto& [from, to, expected] : {std::tuple{uint64_t{0}, UINT64_MAX, uint64_t{0}},
                                             {length / 3, 2 * length / 3, length / 2}, {length + 5, UINT64_MAX, UINT64_MAX}}) {
        const std::shared_ptr<ByteSource> parent = make();
        Bytes started(length / 4 + 1);
        started.resize(std::get<size_t>(parent->read(started)));
        const std::unique_ptr<ByteSource> pass = read_from(parent, from, to, expected);
        const Bytes want = slice(from, to);
        check((!pass->size() || *pass->size() == want.size()) && read_pass(*pass, 5000) == want && fully_at(*pass, 0, want.size() + 10) == want &&
                  read_pass(*parent, 5000) == slice(started.size(), length),
              "read_from(" + std::to_string(from) + ", " + std::to_string(to) + ") gives other bytes, or moves the source's read()");
    }
    return faults;
}

std::vector<std::string> output_target_faults(OutputTarget& target, const std::string& input, bool ended) {
    std::vector<std::string> faults;
    const auto check = [&](bool holds, const std::string& fault, const std::optional<IoError>& error = {}) {
        if (!holds || error) faults.push_back(fault + (error ? " (" + error->display() + ")" : ""));
    };
    // The bytes of `name` (nullopt where it is not there or cannot be read), at most `most`.
    const auto text = [&](const std::string& name, size_t most = 1 << 20) {
        const auto read = target.read_small(name, most);
        return std::holds_alternative<IoError>(read) ? std::nullopt : std::get<std::optional<std::string>>(read);
    };
    // A new file of `bytes`, half written by write() and half by write_at() (on another
    // thread where the target is local), not committed; null after a fault.
    const auto written = [&](const std::string& name, const std::string& bytes) -> std::unique_ptr<OutputFile> {
        auto created = target.create(name);
        if (auto* error = std::get_if<IoError>(&created)) return check(false, "create() fails", *error), nullptr;
        auto file = std::move(std::get<std::unique_ptr<OutputFile>>(created));
        const size_t half = bytes.size() / 2;
        iovec rest[] = {{const_cast<char*>(bytes.data()) + half, bytes.size() - half}};
        std::optional<IoError> error = file->write(as_bytes(bytes).first(half));
        if (!error) target.local() ? std::jthread([&] { error = file->write_at(rest, half); }).join() : void(error = file->write_at(rest, half));
        const auto size = file->size();
        check(!error && std::holds_alternative<uint64_t>(size) && std::get<uint64_t>(size) == bytes.size() &&
                  file->path() == target.path_of(name) && target.path_of(name).ends_with("/" + name),
              "writing fails, or size() or path() is wrong", error);
        return error ? nullptr : std::move(file);
    };
    const std::string name = "conformance.vcf", dropped = "conformance-dropped.vcf";
    // A file is there, complete, only once committed (not as written, nor closed); it
    // replaces an older one only at commit; one dropped uncommitted leaves nothing, or the
    // older one as it was.
    if (auto file = written(name, "first\n")) {
        const bool early = target.size_of(name) || text(name);
        const auto closed = file->close(Durability::StartWriteback);
        check(!early && !target.size_of(name), "a file is there before it is committed", closed);
        check(true, "commit() fails", file->commit(Durability::StartWriteback));
    }
    check(target.size_of(name) == 6u && text(name) == "first\n", "a committed file is not there with its bytes");
    for (const bool commit : {false, true}) {
        if (auto file = written(name, "second version\n")) {
            const bool older = text(name) == "first\n";
            check(older, "a file replaces an older one before commit", commit ? file->commit(Durability::Flush) : std::nullopt);
        }
    }
    (void)written(dropped, "dropped\n");
    check(text(name) == "second version\n" && !target.size_of(dropped), "commit() does not replace, or a dropped file is there");
    target.flush({name});
    check(text(name, 15) == "second version\n" && !text(name, 14), "read_small() of `most` bytes or of a larger file is wrong");
    check(true, "remove() fails", target.remove(name));
    const bool gone = !target.size_of(name) && target.still_there();
    check(gone, "a removed file is there, or the target is not", target.remove(name));
    // holding(): the body runs and its answer is returned while the run lasts; after it,
    // ECANCELED without running the body.
    bool ran = false;
    const auto held = target.holding([&]() -> std::optional<IoError> { return ran = true, IoError::os(EXDEV); });
    check(ran != ended && held && held->os_code() == (ended ? ECANCELED : EXDEV), "holding() runs its body when it must not, or not when it must");
    // The input, under a name of the target, is never created, removed or changed.
    const auto kept = text(input);
    check(kept && std::holds_alternative<IoError>(target.create(input)) && target.remove(input) && text(input) == kept,
          "the input's name is not refused, or the input changed");
    // A local target alone reads back what was written to start it over (a header line
    // after some records), and gives scratch files.
    if (!target.local()) return faults;
    if (auto file = written(name, "records\n")) {
        auto back = file->read_back();
        auto* source = std::get_if<std::unique_ptr<ByteSource>>(&back);
        check(source && read_pass(**source, 3) == Bytes{'r', 'e', 'c', 'o', 'r', 'd', 's', '\n'} && !file->restart() &&
                  !file->write(as_bytes("header\n")) && !file->commit(Durability::None) && text(name) == "header\n" &&
                  !target.remove(name) && std::holds_alternative<File>(target.scratch()),
              "read_back(), restart() or scratch() fails");
    }
    return faults;
}

}  // namespace kestrel::testing
