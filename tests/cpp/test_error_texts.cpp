#include <gtest/gtest.h>

#include <cerrno>

#include "bgzf/error.hpp"
#include "base/debug_text.hpp"
#include "base/io_error.hpp"

using namespace kestrel;

TEST(DebugQuoted, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(debug_quoted("plain"), "\"plain\"");
    EXPECT_EQ(debug_quoted("say \"hi\" \\ there"), R"("say \"hi\" \\ there")");
    EXPECT_EQ(debug_quoted(std::string("a\nb\rc\td\0e", 9)), R"("a\nb\rc\td\0e")");
    EXPECT_EQ(debug_quoted("\x1b[0m\x7f"), R"("\u{1b}[0m\u{7f}")");
    // Printable non-ASCII stays as it is; invisible format characters are escaped.
    EXPECT_EQ(debug_quoted("caf\xC3\xA9 \xCE\xA3"), "\"caf\xC3\xA9 \xCE\xA3\"");
    EXPECT_EQ(debug_quoted("\xE2\x80\x8B|\xC2\x85"), R"("\u{200b}|\u{85}")");
}

TEST(Utf8Check, ReportsWhereValidityEnds) {
    EXPECT_FALSE(check_utf8("ascii and \xC3\xA9\xF0\x9F\x98\x80"));
    const auto bad = check_utf8("ab\xFF" "c");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->debug(), "Utf8Error { valid_up_to: 2, error_len: Some(1) }");
    EXPECT_EQ(bad->display(), "invalid utf-8 sequence of 1 bytes from index 2");
    const auto cut = check_utf8("ab\xE2\x82");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->debug(), "Utf8Error { valid_up_to: 2, error_len: None }");
    EXPECT_EQ(cut->display(), "incomplete utf-8 byte sequence from index 2");
    // A surrogate encoded as UTF-8 is three invalid sequences.
    EXPECT_EQ(utf8_lossy("x\xED\xA0\x80y"), "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDy");
}

TEST(IoErrorForms, AllFourShapes) {
    const IoError missing = IoError::os(ENOENT);
    EXPECT_EQ(missing.debug(), R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
    EXPECT_EQ(missing.display(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::os(EISDIR).debug(), R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })");
    EXPECT_EQ(IoError::os(EFBIG).debug(), R"(Os { code: 27, kind: FileTooLarge, message: "File too large" })");
    EXPECT_EQ(IoError::os(EIO).debug(), R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })");

    EXPECT_EQ(IoError::simple(ErrorKind::NotFound).debug(), "Kind(NotFound)");
    EXPECT_EQ(IoError::simple(ErrorKind::NotFound).display(), "entity not found");
    EXPECT_EQ(IoError::simple(ErrorKind::PermissionDenied).display(), "permission denied");
    EXPECT_EQ(IoError::simple(ErrorKind::UnexpectedEof).display(), "unexpected end of file");

    EXPECT_EQ(unexpected_eof().debug(), R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })");
    EXPECT_EQ(write_zero().display(), "failed to write whole buffer");

    const auto wrapped = std::make_shared<bgzf::BgzfError>(bgzf::BgzfError::not_bgzf());
    const IoError custom = IoError::custom(ErrorKind::Other, wrapped);
    EXPECT_EQ(custom.debug(), "Custom { kind: Other, error: NotBGZF }");
    EXPECT_EQ(custom.display(), "not BGZF format");
}

TEST(IoErrorForms, KindNamesAndDescriptionsFollowTheTable) {
    EXPECT_EQ(kind_name(ErrorKind::Uncategorized), "Uncategorized");
    EXPECT_EQ(kind_name(ErrorKind::Unsupported), "Unsupported");
    EXPECT_EQ(kind_name(ErrorKind::FilesystemQuotaExceeded), "FilesystemQuotaExceeded");
    EXPECT_EQ(kind_description(ErrorKind::Other), "other error");
    EXPECT_EQ(kind_description(ErrorKind::InvalidData), "invalid data");
    EXPECT_EQ(kind_from_errno(EACCES), ErrorKind::PermissionDenied);
    EXPECT_EQ(kind_from_errno(EPERM), ErrorKind::PermissionDenied);
    EXPECT_EQ(kind_from_errno(EOPNOTSUPP), ErrorKind::Unsupported);
    EXPECT_EQ(kind_from_errno(ENOSPC), ErrorKind::StorageFull);
}
