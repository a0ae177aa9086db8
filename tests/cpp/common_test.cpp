// The encoders on input lengths that digests never produce (partial groups),
// and the rule that makes a path gzip.
#include <gtest/gtest.h>

#include <string_view>

#include "common/file.h"
#include "core/src/lib/digest.h"

namespace seqtally {
namespace {

using namespace std::literals;

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

TEST(GzExtension, LastComponentRule) {
    const std::pair<const char*, bool> table[] = {
        {"a.gz", true},      {"dir/a.wig.gz", true}, {"a.gz/", true},  {"a.gz//", true}, {"a.gz/.", true},
        {"./a.gz", true},    {"a.GZ", false},        {"a.gzip", false}, {"a.tgz", false}, {".gz", false},
        {"dir/.gz", false},  {"a.gz/..", false},     {"", false},       {"/", false},     {"..", false},
        {"a.gz.", false},    {"genome", false},      {".", false},      {"a..gz", true},
    };
    for (const auto& [path, gzip] : table) EXPECT_EQ(has_gz_extension(path), gzip) << path;
}

}  // namespace
}  // namespace seqtally
