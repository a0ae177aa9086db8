// Stream rules that Python only sees through their effects: sinks that take
// nothing, and what a gzip member looks like before and after release.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/string_sink.h"
#include "fuzz/zlib_reference.h"
#include "streams/gzip_member_writer.h"
#include "streams/output_stream.h"

namespace seqtally {
namespace {

// A sink that takes nothing fails the write (or the release) instead of
// looping. (Sinks that take part of a write, the rest following in order:
// every test that writes through a fuzz::StringSink of a few bytes.)
TEST(OutputStream, SinksThatTakeNothingFailTheWrite) {
    std::string text(20000, 'x'), taken;
    for (const std::size_t size : {std::size_t{100}, std::size_t{20000}}) {
        OutputStream out(std::make_unique<fuzz::StringSink>(taken, 0));
        auto written = out.write_all(text.substr(0, size));
        if (written) written = out.release();  // what is still buffered goes at release, and so does its failure
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.error().text(), size < OutputStream::kCapacity
                                              ? "Error { kind: WriteZero, message: \"failed to write the buffered data\" }"
                                              : "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
    }
}

// zlib's decoding of what a memory file holds, read through a descriptor of
// its own.
fuzz::ZlibResult decoded(int fd) {
    std::vector<std::uint8_t> bytes(1 << 22);
    bytes.resize(static_cast<std::size_t>(::pread(fd, bytes.data(), bytes.size(), 0)));
    return fuzz::zlib_decode(bytes);
}

// Level 0 stores: zlib then takes only part of a large write, and the
// stream must hand over the rest.
TEST(GzipMemberWriter, FlushMakesEverythingDecodableButLeavesTheMemberOpen) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i * 100 + 1) + "\t" + std::to_string(i % 101) + "\n";
    ASSERT_GT(text.size(), 65536u);
    for (const std::uint32_t level : {0u, 6u}) {
        File file = fuzz::memory_file("");
        const int written = ::dup(file.fd());
        OutputStream out(std::make_unique<GzipMemberWriter>(std::move(file), level));
        ASSERT_TRUE(out.write_all(text).ok());
        ASSERT_TRUE(out.flush().ok());
        const fuzz::ZlibResult flushed = decoded(written);
        EXPECT_EQ(flushed.output, text) << level;
        EXPECT_FALSE(flushed.complete);
        ASSERT_TRUE(out.release().ok());
        const fuzz::ZlibResult released = decoded(written);
        EXPECT_EQ(released.output, text) << level;
        EXPECT_TRUE(released.complete);
        ::close(written);
    }
}

}  // namespace
}  // namespace seqtally
