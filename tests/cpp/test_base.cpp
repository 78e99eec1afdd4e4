// The base layer: the texts and debug forms callers match on, to the letter. What a
// ByteSource promises is checked over every one of them in test_conformance.cpp.
#include <gtest/gtest.h>

#include <cerrno>

#include "base/debug_text.hpp"
#include "base/io_error.hpp"
#include "bgzf/error.hpp"

using namespace kestrel;

TEST(ErrorTexts, AreWordedAsCallersExpect) {
    const auto bad = check_utf8("ab\xFF" "c");
    const auto cut = check_utf8("ab\xE2\x82");
    ASSERT_TRUE(bad && cut);
    EXPECT_FALSE(check_utf8("ascii and \xC3\xA9\xF0\x9F\x98\x80"));
    const IoError custom = IoError::custom(ErrorKind::Other, std::make_shared<bgzf::BgzfError>(bgzf::BgzfError::not_bgzf()));
    const auto errno_kind = [](int code) { return std::string(kind_name(kind_from_errno(code))); };
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
        {errno_kind(EACCES), "PermissionDenied"}, {errno_kind(EPERM), "PermissionDenied"},
        {errno_kind(EOPNOTSUPP), "Unsupported"}, {errno_kind(ENOSPC), "StorageFull"},
    };
    for (const auto& [got, expected] : texts) EXPECT_EQ(got, expected);
}
