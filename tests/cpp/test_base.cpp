// The base layer: the texts and debug forms callers match on, to the letter, and what
// a Directory promises (files made, replaced, read and removed in it, never through a
// link). The ByteSources are checked in test_conformance.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "base/debug_text.hpp"
#include "base/file.hpp"
#include "base/io_error.hpp"
#include "bgzf/error.hpp"
#include "support.hpp"

using namespace kestrel;
namespace fs = std::filesystem;

TEST(ErrorTexts, AreWordedAsCallersExpect) {
    const auto bad = check_utf8("ab\xFF" "c");
    const auto cut = check_utf8("ab\xE2\x82");
    ASSERT_TRUE(bad && cut);
    EXPECT_FALSE(check_utf8("ascii and \xC3\xA9\xF0\x9F\x98\x80"));
    const IoError custom = IoError::custom(ErrorKind::Other, std::make_shared<bgzf::BgzfError>(bgzf::BgzfError::not_bgzf()));
    const std::pair<std::string, std::string> texts[] = {
        {debug_quoted("plain"), "\"plain\""},
        {debug_quoted("say \"hi\" \\ there"), R"("say \"hi\" \\ there")"},
        {debug_quoted(std::string("a\nb\rc\td\0e", 9)), R"("a\nb\rc\td\0e")"},
        {debug_quoted("\x1b[0m\x7f"), R"("\u{1b}[0m\u{7f}")"},
        // Printable non-ASCII stays as it is; invisible format characters are escaped.
        {debug_quoted("caf\xC3\xA9 \xCE\xA3"), "\"caf\xC3\xA9 \xCE\xA3\""},
        {debug_quoted("\xE2\x80\x8B|\xC2\x85"), R"("\u{200b}|\u{85}")"},
        {bad->debug(), "Utf8Error { valid_up_to: 2, error_len: Some(1) }"},
        {bad->display(), "invalid utf-8 sequence of 1 bytes from index 2"},
        {cut->debug(), "Utf8Error { valid_up_to: 2, error_len: None }"},
        {cut->display(), "incomplete utf-8 byte sequence from index 2"},
        // A surrogate encoded as UTF-8 is three invalid sequences.
        {utf8_lossy("x\xED\xA0\x80y"), "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDy"},
        {IoError::os(ENOENT).debug(), R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
        {IoError::os(ENOENT).display(), "No such file or directory (os error 2)"},
        {IoError::os(EISDIR).debug(), R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })"},
        {IoError::os(EFBIG).debug(), R"(Os { code: 27, kind: FileTooLarge, message: "File too large" })"},
        {IoError::os(EIO).debug(), R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })"},
        {IoError::simple(ErrorKind::NotFound).debug(), "Kind(NotFound)"},
        {IoError::simple(ErrorKind::NotFound).display(), "entity not found"},
        {IoError::simple(ErrorKind::PermissionDenied).display(), "permission denied"},
        {IoError::simple(ErrorKind::UnexpectedEof).display(), "unexpected end of file"},
        {unexpected_eof().debug(), R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })"},
        {write_zero().display(), "failed to write whole buffer"},
        {custom.debug(), "Custom { kind: Other, error: NotBGZF }"},
        {custom.display(), "not BGZF format"},
        {std::string(kind_name(ErrorKind::Uncategorized)), "Uncategorized"},
        {std::string(kind_name(ErrorKind::Unsupported)), "Unsupported"},
        {std::string(kind_name(ErrorKind::FilesystemQuotaExceeded)), "FilesystemQuotaExceeded"},
        {std::string(kind_description(ErrorKind::Other)), "other error"},
        {std::string(kind_description(ErrorKind::InvalidData)), "invalid data"},
    };
    for (const auto& [got, expected] : texts) EXPECT_EQ(got, expected);
    for (const auto& [code, kind] : {std::pair{EACCES, ErrorKind::PermissionDenied}, {EPERM, ErrorKind::PermissionDenied},
                                     {EOPNOTSUPP, ErrorKind::Unsupported}, {ENOSPC, ErrorKind::StorageFull}}) {
        EXPECT_EQ(kind_from_errno(code), kind) << code;
    }
}

namespace {

template <class T>
int code_of(const IoResult<T>& result) { return std::holds_alternative<IoError>(result) ? std::get<IoError>(result).os_code() : 0; }

}  // namespace

TEST(Directory, MakesReplacesReadsAndRemovesFilesInItNeverThroughALink) {
    const kestrel::testing::TemporaryDirectory work;
    const fs::path in = work.path() / "out";
    std::vector<std::string> made;
    ASSERT_FALSE(create_dir_all((in / "x").string(), &made) || create_dir_all(in.string(), &made) || create_dir_all(""));
    EXPECT_EQ(made, (std::vector<std::string>{in.string(), (in / "x").string()}));  // parents first, once
    kestrel::testing::write_file(work.path() / "outside", as_bytes("precious"));
    kestrel::testing::write_file(in / "file", as_bytes("12345"));
    fs::create_symlink(work.path() / "outside", in / "link");
    fs::create_symlink(work.path() / "nowhere", in / "dangling");
    fs::create_hard_link(work.path() / "outside", in / "hard");
    ASSERT_EQ(::mkfifo((in / "fifo").c_str(), 0644), 0);
    const Directory directory = std::get<Directory>(Directory::open(in.string()));
    EXPECT_EQ(directory.path_of("file"), join_path(in.string(), "file"));

    const std::pair<int, int> codes[] = {
        {code_of(directory.create_new("new")), 0},           {code_of(directory.create_new("file")), EEXIST},
        {code_of(directory.create_new("dangling")), EEXIST}, {code_of(directory.rewrite_existing("link")), ELOOP},
        {code_of(directory.rewrite_existing("hard")), EMLINK}, {code_of(directory.rewrite_existing("missing")), ENOENT},
        {code_of(directory.open_for_reading("link")), ELOOP}, {code_of(directory.open_regular("fifo")), EINVAL},
        {code_of(directory.open_regular("link")), ELOOP},    {code_of(directory.open_regular("file")), 0},
    };
    for (size_t i = 0; i < std::size(codes); ++i) EXPECT_EQ(codes[i].first, codes[i].second) << i;
    EXPECT_NE(code_of(directory.rewrite_existing("x")), 0);  // a directory
    EXPECT_FALSE(fs::exists(work.path() / "nowhere"));
    EXPECT_EQ(directory.size_of("file"), 5u);
    EXPECT_EQ(directory.size_of("link"), fs::read_symlink(in / "link").string().size());  // the link itself
    EXPECT_EQ(directory.size_of("missing"), std::nullopt);
    const auto outside = identity_of(std::get<File>(open_for_reading((work.path() / "outside").string())).fd());
    EXPECT_TRUE(directory.names("link", *outside) && directory.names("hard", *outside) && !directory.names("file", *outside));

    // Rewritten in place emptied; a link renamed over or removed, its target untouched.
    EXPECT_EQ(code_of(directory.rewrite_existing("file")), 0);
    EXPECT_EQ(directory.size_of("file"), 0u);
    EXPECT_FALSE(directory.rename("file", "link") || directory.remove("hard") || directory.remove("hard"));
    EXPECT_EQ(kestrel::testing::read_file(work.path() / "outside"), "precious");
    const File scratch = std::get<File>(directory.anonymous_file());
    auto names = std::get<std::vector<std::string>>(directory.list());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "fifo", "link", "new", "x"}));

    // One lock holder at a time; a directory moved away is no longer there.
    const Directory again = std::get<Directory>(Directory::open(in.string()));
    EXPECT_TRUE(std::get<bool>(directory.try_lock()));
    EXPECT_FALSE(std::get<bool>(again.try_lock()));
    EXPECT_TRUE(directory.still_there() && directory.sync() == std::nullopt);
    fs::rename(in, work.path() / "moved");
    EXPECT_FALSE(directory.still_there());

    // The directories a run made go with it, if empty, unless it kept them.
    for (const bool keep : {false, true}) {
        {
            MadeDirectories run;
            ASSERT_FALSE(run.make((work.path() / "a/b/c").string()));
            if (keep) run.keep();
            kestrel::testing::write_file(work.path() / "a/b/stays", {});
        }
        EXPECT_EQ(fs::exists(work.path() / "a/b/c"), keep);
        EXPECT_TRUE(fs::exists(work.path() / "a/b/stays"));
    }
}
