// Stream rules that Python only sees through their effects: sinks that take
// nothing, and what a gzip member looks like before and after release.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/string_sink.h"
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

struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/seqtally-stream-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string read() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Inflates a gzip member with zlib's own gzip decoding; `complete` tells
// whether the stream ended (trailer seen and checked).
std::string gunzip(const std::string& member, bool& complete) {
    z_stream stream{};
    inflateInit2(&stream, 16 + 15);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
    stream.avail_in = static_cast<uInt>(member.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    complete = status == Z_STREAM_END;
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

std::unique_ptr<OutputStream> gzip_stream(const TempFile& file, std::uint32_t level) {
    auto created = File::create(file.path);
    EXPECT_TRUE(created.ok());
    return std::make_unique<OutputStream>(std::make_unique<GzipMemberWriter>(std::move(created).value(), level));
}

// Level 0 stores: zlib then takes only part of a large write, and the
// stream must hand over the rest.
TEST(GzipMemberWriter, FlushMakesEverythingDecodableButLeavesTheMemberOpen) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i * 100 + 1) + "\t" + std::to_string(i % 101) + "\n";
    ASSERT_GT(text.size(), 65536u);
    for (const std::uint32_t level : {0u, 6u}) {
        TempFile file;
        auto out = gzip_stream(file, level);
        ASSERT_TRUE(out->write_all(text).ok());
        ASSERT_TRUE(out->flush().ok());
        bool complete = true;
        EXPECT_EQ(gunzip(file.read(), complete), text) << level;
        EXPECT_FALSE(complete);
        ASSERT_TRUE(out->release().ok());
        EXPECT_EQ(gunzip(file.read(), complete), text) << level;
        EXPECT_TRUE(complete);
    }
}

}  // namespace
}  // namespace seqtally
