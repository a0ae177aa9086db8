// Text forms and encoders that every failure message and result depends on.
#include <gtest/gtest.h>

#include <cerrno>
#include <string_view>

#include "common/io_error.h"
#include "common/quoted.h"
#include "common/utf8.h"
#include "core/src/lib/digest.h"

namespace seqtally {
namespace {

using namespace std::literals;

TEST(IoError, TextForms) {
    EXPECT_EQ(IoError::os(ENOENT).text(), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(IoError::custom(ErrorKind::InvalidInput, "say \"hi\" \\").text(),
              "Custom { kind: InvalidInput, error: \"say \\\"hi\\\" \\\\\" }");
    EXPECT_EQ(IoError::simple_message(ErrorKind::WriteZero, "failed to write whole buffer").text(),
              "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
    EXPECT_EQ(IoError::of_kind(ErrorKind::UnexpectedEof).text(), "Kind(UnexpectedEof)");
    EXPECT_EQ(IoError::os(ENOSPC).display(), "No space left on device (os error 28)");
}

TEST(IoError, KindsOfErrorNumbers) {
    const std::pair<int, const char*> table[] = {
        {EPERM, "PermissionDenied"}, {EACCES, "PermissionDenied"}, {EISDIR, "IsADirectory"},
        {ENOSPC, "StorageFull"},     {EROFS, "ReadOnlyFilesystem"}, {ENAMETOOLONG, "InvalidFilename"},
        {EDQUOT, "FilesystemQuotaExceeded"}, {EIO, "Uncategorized"}, {EAGAIN, "WouldBlock"},
    };
    for (const auto& [code, name] : table) EXPECT_EQ(kind_name(kind_of_errno(code)), name) << code;
}

TEST(Quoted, EscapesAndStyles) {
    EXPECT_EQ(quoted("a\tb\r\n\0\\\"'"sv, QuoteStyle::Text), "\"a\\tb\\r\\n\\0\\\\\\\"'\"");
    EXPECT_EQ(quoted("it's", QuoteStyle::Path), "\"it\\'s\"");
    EXPECT_EQ(quoted("\x1b\x7f", QuoteStyle::Text), "\"\\u{1b}\\u{7f}\"");
    EXPECT_EQ(quoted("\xc3\xa9\xe2\x80\x8b\xcc\x81", QuoteStyle::Text), "\"\xc3\xa9\\u{200b}\\u{301}\"");
    // Private use and unassigned code points are escaped, letters are not.
    EXPECT_EQ(quoted("\xee\x80\x80\xf0\x9f\x98\x80", QuoteStyle::Text), "\"\\u{e000}\xf0\x9f\x98\x80\"");
    EXPECT_TRUE(needs_unicode_escape(0xE0001));
    EXPECT_FALSE(needs_unicode_escape(0x4E2D));
}

TEST(Utf8, MaximalInvalidSubparts) {
    const struct {
        std::string_view bytes;
        std::size_t valid_up_to;
        int error_len;  // 0: none
    } cases[] = {
        {"\xc3\x28", 0, 1}, {"ab\xc3", 2, 0}, {"\xe0\x80\x80", 0, 1}, {"\xe0\xa0", 0, 0},
        {"\xf0\x90\x80", 0, 0}, {"\xf0\x90\x80\x41", 0, 3}, {"\xf5", 0, 1}, {"\x80", 0, 1},
    };
    for (const auto& c : cases) {
        const auto error = check_utf8(c.bytes);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->valid_up_to, c.valid_up_to);
        EXPECT_EQ(error->error_len.value_or(0), c.error_len);
    }
    EXPECT_FALSE(check_utf8("plain ascii identifier \xf4\x8f\xbf\xbf").has_value());
}

TEST(Encoders, Base64UrlWithoutPaddingAndHex) {
    const auto bytes = [](std::string_view text) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    EXPECT_EQ(core::base64url_unpadded(bytes("")), "");
    EXPECT_EQ(core::base64url_unpadded(bytes("f")), "Zg");
    EXPECT_EQ(core::base64url_unpadded(bytes("fo")), "Zm8");
    EXPECT_EQ(core::base64url_unpadded(bytes("foo")), "Zm9v");
    EXPECT_EQ(core::base64url_unpadded(bytes("\xfb\xff\xfe")), "-__-");
    EXPECT_EQ(core::lower_hex(bytes("\x00\xab\xff"sv)), "00abff");
}

}  // namespace
}  // namespace seqtally
