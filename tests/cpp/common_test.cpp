// The rule that makes a path gzip.
#include <gtest/gtest.h>

#include "common/file.h"

namespace seqtally {
namespace {

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
