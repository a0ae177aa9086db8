// Every failure of the gzip member reader, on both inflaters: the error it
// always gave (kind and text, which messages are built from) and the fault
// a binding words it by.
#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <string>

#include "fasta/gzip_member_reader.h"
#include "fasta/input_buffer.h"
#include "fuzz/chunk_source.h"
#include "fuzz/zlib_reference.h"

namespace seqtally {
namespace {

using fuzz::deflated;

TEST(GzipMemberReader, EveryFailureKeepsItsTextAndNamesItsFault) {
    const std::string member = deflated(">r\nACGTACGTTTGA\n", 6, 31);
    std::string bad_crc = member;
    bad_crc[bad_crc.size() - 8] ^= 1;
    // A header CRC over an empty extra field, which must count in it; and
    // one of 0, which only a sum restarted after that field would match.
    const std::string hcrc_header("\x1f\x8b\x08\x06\0\0\0\0\0\x03\0\0", 12);
    const auto hcrc = static_cast<std::uint16_t>(crc32_z(0, reinterpret_cast<const Bytef*>(hcrc_header.data()), 12));
    const std::string empty_data("\x03\0\0\0\0\0\0\0\0\0", 10);  // an empty stream, CRC-32 and ISIZE 0
    const std::string good_hcrc = hcrc_header + std::string{static_cast<char>(hcrc), static_cast<char>(hcrc >> 8)} + empty_data;
    std::string long_name("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10);
    long_name += std::string(70000, 'n');
    const struct {
        const char* what;
        std::string input;
        const char* display;  // empty: an UnexpectedEof of no text
        GzipFault fault;
    } cases[] = {
        {"a few bytes after the last member", member + "ab", "", GzipFault::Truncated},
        {"a member cut in its trailer", member.substr(0, member.size() - 3), "", GzipFault::Truncated},
        // Still the text of damaged data, but the fault says what it is.
        {"a member cut in its data", member.substr(0, 12), "corrupt deflate stream", GzipFault::Truncated},
        {"bytes after the last member", member + "not gzip at all", "invalid gzip header", GzipFault::TrailingGarbage},
        {"a first member that is not gzip", "\x1f\x8c" + member.substr(2), "invalid gzip header", GzipFault::BadHeader},
        {"reserved flags", member.substr(0, 3) + "\xe0" + member.substr(4), "invalid gzip header",
         GzipFault::BadHeader},
        {"a reserved block type", member.substr(0, 10) + "\x07" + member.substr(11), "corrupt deflate stream",
         GzipFault::BadData},
        {"a header CRC restarted after an empty extra field", hcrc_header + std::string(2, '\0') + empty_data,
         "corrupt gzip stream does not have a matching checksum", GzipFault::ChecksumMismatch},
        {"a wrong CRC-32", bad_crc, "corrupt gzip stream does not have a matching checksum",
         GzipFault::ChecksumMismatch},
        {"a name over 65,535 bytes", long_name, "gzip header field too long", GzipFault::HeaderFieldTooLong},
    };
    // The error that ends reading `input`, if any.
    const auto read_all = [](const std::string& input, InflateLibrary library) {
        GzipMemberReader reader(std::make_unique<fuzz::ChunkSource>(
                                    std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), 7),
                                library);
        std::uint8_t out[100];
        for (;;) {
            auto got = reader.read(out);
            if (!got) return std::optional<IoError>(std::move(got).error());
            if (got.value() == 0) return std::optional<IoError>();
        }
    };
    for (const InflateLibrary library : {InflateLibrary::Zlib, InflateLibrary::Isal}) {
        EXPECT_FALSE(read_all(good_hcrc, library));
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << ", library " << static_cast<int>(library));
            const std::optional<IoError> error = read_all(c.input, library);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->gzip_fault(), c.fault);
            if (*c.display == '\0') {
                EXPECT_EQ(error->text(), "Kind(UnexpectedEof)");
            } else {
                EXPECT_EQ(error->display(), c.display);
                EXPECT_EQ(error->kind(), ErrorKind::InvalidInput);
            }
        }
    }
}

// Bytes put back (an inflater's overread at a member's end) come before the
// unread ones, also when there are more of them than this fill has consumed:
// the unread bytes move up, and nothing stale is left after them.
TEST(InputBuffer, PutBackBeforeTheFillsFirstByteKeepsOnlyTheUnreadAfterIt) {
    InputBuffer buffer(std::make_unique<fuzz::ChunkSource>(fuzz::ChunkSource::fixed("ABCDEFGH", 8)));
    ASSERT_EQ(buffer.fill_if_empty().value(), 8u);
    buffer.consume(3);
    const std::string back = "vwxyz";
    buffer.put_back(std::span(reinterpret_cast<const std::uint8_t*>(back.data()), back.size()));
    const auto unread = buffer.available();
    EXPECT_EQ(std::string(unread.begin(), unread.end()), "vwxyzDEFGH");
}

}  // namespace
}  // namespace seqtally
