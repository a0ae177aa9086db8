// The BGZF writer against zlib's decoding and bgzip's own checks: blocks as
// bgzip frames them, the same bytes whatever the number of threads, and
// failures of the file reported, never lost in a helper thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/zlib_reference.h"
#include "streams/bgzf_writer.h"

namespace seqtally {
namespace {

std::string file_bytes(int fd) {
    std::string bytes(1 << 24, '\0');
    bytes.resize(static_cast<std::size_t>(::pread(fd, bytes.data(), bytes.size(), 0)));
    return bytes;
}

std::uint32_t le(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

struct Written {
    std::string file;
    std::vector<BgzfBlock> blocks;
};

// `input` through a writer in writes of `piece` bytes.
Written bgzf_of(const std::string& input, int level, unsigned threads, std::size_t piece) {
    File file = fuzz::memory_file("");
    const int fd = ::dup(file.fd());
    BgzfWriter writer(std::move(file), level, threads);
    for (std::size_t at = 0; at < input.size(); at += piece) {
        const std::string_view part = std::string_view(input).substr(at, piece);
        auto taken = writer.write(std::span(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()));
        EXPECT_TRUE(taken && taken.value() == part.size());
    }
    EXPECT_EQ(writer.accepted(), input.size());
    EXPECT_TRUE(writer.release());
    Written written{file_bytes(fd), writer.blocks()};
    ::close(fd);
    return written;
}

std::string incompressible(std::size_t size) {
    std::string out(size, '\0');
    std::uint64_t seed = 88172645463325252ull;
    for (char& byte : out) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        byte = static_cast<char>(seed);
    }
    return out;
}

// Every block walked by its BSIZE: the header bgzip writes, full blocks but
// the last, the offsets blocks() gives, and bgzip's EOF block at the end.
void expect_bgzip_framing(const Written& written, std::size_t input_size) {
    const std::string& file = written.file;
    std::size_t at = 0, inflated = 0, block = 0;
    while (file.size() - at > BgzfWriter::kEofBlockSize) {
        ASSERT_EQ(file.compare(at, 16, std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16)), 0) << at;
        const std::size_t size = le(file, at + 16, 2) + 1;
        const std::size_t isize = le(file, at + size - 4, 4);
        ASSERT_LT(block, written.blocks.size());
        EXPECT_EQ(written.blocks[block].compressed_offset, at);
        EXPECT_EQ(written.blocks[block].uncompressed_offset, inflated);
        EXPECT_EQ(isize, std::min(BgzfWriter::kBlockInput, input_size - inflated));
        at += size, inflated += isize, ++block;
    }
    EXPECT_EQ(block, written.blocks.size());
    EXPECT_EQ(inflated, input_size);
    EXPECT_EQ(file.substr(at), std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0\x03\0\0\0\0\0\0\0\0\0", 28));
}

TEST(BgzfWriter, FramesBlocksAsBgzipAndInflatesToTheInput) {
    const std::string bases = fuzz::bases(3 * BgzfWriter::kBlockInput + 17);
    const std::string random = incompressible(2 * BgzfWriter::kBlockInput + 1);
    const struct {
        std::string input;
        int level;
        std::size_t piece;
    } cases[] = {
        {"", -1, 1},
        {">a\n", -1, 1},
        {bases.substr(0, BgzfWriter::kBlockInput), 6, 1 << 20},
        {bases, -1, 1000},
        {bases, 0, 65536},
        {bases, 9, 7},
        {random, 1, 1 << 20},  // deflate cannot shrink it: stored, still one block each
        {random, 9, 4096},
    };
    for (const auto& c : cases) {
        std::string first;
        for (const unsigned threads : {0u, 1u, 3u}) {
            const Written written = bgzf_of(c.input, c.level, threads, c.piece);
            SCOPED_TRACE(testing::Message() << c.input.size() << " bytes, level " << c.level << ", " << threads << " threads");
            expect_bgzip_framing(written, c.input.size());
            const fuzz::ZlibResult decoded = fuzz::zlib_decode(std::span(
                reinterpret_cast<const std::uint8_t*>(written.file.data()), written.file.size()));
            EXPECT_TRUE(decoded.complete);
            EXPECT_TRUE(decoded.output == c.input);
            if (threads == 0) first = written.file;
            EXPECT_TRUE(written.file == first) << "the bytes depend on the threads";
        }
    }
}

// bgzip's own check of the file, and its .gzi against ours from blocks().
TEST(BgzfWriter, BgzipAcceptsTheFileAndIndexesItAsBlocksSays) {
    if (std::system("bgzip --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bgzip";
    const std::string input = fuzz::bases(5 * BgzfWriter::kBlockInput + 100) + incompressible(70000);
    const Written written = bgzf_of(input, -1, 2, 12345);
    char folder[] = "/tmp/bgzf-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/copy.gz";
    std::ofstream(path, std::ios::binary) << written.file;
    EXPECT_EQ(std::system(("bgzip -t " + path).c_str()), 0);
    ASSERT_EQ(std::system(("bgzip -r " + path).c_str()), 0);
    std::ifstream gzi_file(path + ".gzi", std::ios::binary);
    const std::string theirs{std::istreambuf_iterator<char>(gzi_file), {}};
    std::string ours;
    const auto put = [&ours](std::uint64_t value) {
        for (int i = 0; i < 8; ++i) ours.push_back(static_cast<char>(value >> (8 * i)));
    };
    put(written.blocks.size() - 1);
    for (std::size_t i = 1; i < written.blocks.size(); ++i) {
        put(written.blocks[i].compressed_offset);
        put(written.blocks[i].uncompressed_offset);
    }
    EXPECT_TRUE(ours == theirs);
    std::system(("rm -r " + std::string(folder)).c_str());
}

// With libdeflate, bgzip's own bytes at each of its levels, and the
// default its -l 5.
TEST(BgzfWriter, WithLibdeflateTheBytesAreBgzipsAtEachLevel) {
    if (!has_libdeflate()) GTEST_SKIP() << "zlib compresses: the same blocks, other bytes";
    if (std::system("bgzip --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bgzip";
    // Bases and track lines: on bases alone libdeflate's levels 6 and 7 agree.
    std::string input = fuzz::bases(BgzfWriter::kBlockInput + 999);
    for (int i = 0; i < 6000; ++i) {
        input += "chr1\t" + std::to_string(i * 100) + "\t" + std::to_string(i * 100 + 100) + "\t" +
                 std::to_string(i * 7919 % 101) + "\n";
    }
    char folder[] = "/tmp/bgzf-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/in";
    std::ofstream(path, std::ios::binary) << input;
    for (const int level : {-1, 0, 1, 4, 6, 7, 9}) {
        const std::string bgzip_level = std::to_string(level < 0 ? 5 : level);
        ASSERT_EQ(std::system(("bgzip -l " + bgzip_level + " -c " + path + " > " + path + ".gz").c_str()), 0);
        std::ifstream theirs_file(path + ".gz", std::ios::binary);
        const std::string theirs{std::istreambuf_iterator<char>(theirs_file), {}};
        EXPECT_TRUE(bgzf_of(input, level, 1, 1 << 20).file == theirs) << "level " << level;
    }
    std::system(("rm -r " + std::string(folder)).c_str());
}

// A full disk fails the write that meets it, or the release; never silently.
TEST(BgzfWriter, AFullDiskIsReported) {
    const std::string input = fuzz::bases(8 * BgzfWriter::kBlockInput);
    for (const unsigned threads : {0u, 2u}) {
        for (const std::size_t size : {std::size_t{10}, input.size()}) {
            const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            BgzfWriter writer(File::adopt(fd), -1, threads);
            auto taken = writer.write(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), size));
            auto released = writer.release();
            ASSERT_FALSE(taken && released);
            const IoError& error = taken ? released.error() : taken.error();
            EXPECT_EQ(error.kind(), ErrorKind::StorageFull) << error.text();
            if (!taken) {
                EXPECT_FALSE(released);
            }
        }
    }
}

// A writer destroyed mid-stream (a cancelled call) stops its helpers, each
// after the block it holds: none is left running or waiting, and nothing
// leaks (the sanitized build checks that).
TEST(BgzfWriter, DestroyedMidStreamStopsItsHelpers) {
    const std::string input = fuzz::bases(40 * BgzfWriter::kBlockInput);
    for (const unsigned threads : {1u, 3u}) {
        BgzfWriter writer(fuzz::memory_file(""), 9, threads);
        ASSERT_TRUE(writer.write(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size())));
        ASSERT_TRUE(writer.write(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), 100)));
    }
}

}  // namespace
}  // namespace seqtally
