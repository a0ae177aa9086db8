// The window pass on its edges: runs that end exactly at line and window
// ends, the G/C counter's vector path and its tail, the gz extension rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/lib/gc_count.h"
#include "core/src/lib/seqtally.h"

namespace seqtally::core {
namespace {

TEST(CountGc, MatchesAByteLoopAtEveryLengthAndOffset) {
    std::string bytes;
    for (int i = 0; i < 9000; ++i) bytes += "GCATgcSNCG"[(i * 7 + i / 13) % 10];
    for (std::size_t offset = 0; offset < 17; ++offset) {
        for (std::size_t size : {0, 1, 15, 16, 17, 31, 255 * 16 - 1, 255 * 16, 255 * 16 + 1, 8000}) {
            std::size_t expected = 0;
            for (std::size_t i = 0; i < size; ++i) expected += bytes[offset + i] == 'G' || bytes[offset + i] == 'C';
            EXPECT_EQ(count_gc(bytes.data() + offset, size), expected) << offset << " " << size;
        }
    }
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
}  // namespace seqtally::core
