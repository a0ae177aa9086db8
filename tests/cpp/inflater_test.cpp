// The inflater on both libraries, against zlib's own deflate of the same
// bytes: streamed in small pieces (with what it read past the end handed
// back exactly) and whole, the CRC-32 against zlib's, and the same failure
// from both on damaged streams. In a build without ISA-L both passes are
// zlib; the first test says which library ran.
#include <gtest/gtest.h>
#include <zlib.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "fasta/inflater.h"
#include "fuzz/zlib_reference.h"

namespace seqtally {
namespace {

using fuzz::bases;
using fuzz::deflated;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct Streamed {
    std::string output;
    std::optional<InflateFailure> failure;
    std::size_t used = 0;  // bytes of the input that belong to the stream
    std::string overread;
};

// Pieces of `chunk` bytes in, `room` bytes out, as the gzip reader feeds it.
Streamed stream_through(Inflater& inflater, const std::string& input, std::size_t chunk, std::size_t room) {
    Streamed result;
    std::vector<std::uint8_t> out(room);
    std::size_t at = 0;
    for (int guard = 0; guard < 1'000'000; ++guard) {
        const std::size_t take = std::min(chunk, input.size() - at);
        auto step = inflater.step(bytes_of(input).subspan(at, take), out, at + take == input.size());
        if (!step) {
            result.failure = step.error();
            return result;
        }
        at += step.value().consumed;
        result.output.append(reinterpret_cast<const char*>(out.data()), step.value().produced);
        if (step.value().ended) {
            result.overread.assign(reinterpret_cast<const char*>(step.value().overread.data()),
                                   step.value().overread_size);
            result.used = at - step.value().overread_size;
            return result;
        }
    }
    ADD_FAILURE() << "no progress";
    return result;
}

constexpr InflateLibrary kLibraries[] = {InflateLibrary::Zlib, InflateLibrary::Isal};

TEST(Inflater, BothLibrariesGiveZlibsBytesStreamedAndWhole) {
    EXPECT_EQ(Inflater(InflateLibrary::Isal).library(), has_isal() ? InflateLibrary::Isal : InflateLibrary::Zlib);
    std::cout << "[ INFO     ] ISA-L in this build: " << (has_isal() ? "yes" : "no") << "\n";
    const std::string trailer = "TRAILER!after";
    for (const auto& [data, level] : std::vector<std::pair<std::string, int>>{
             {"", 6}, {"ACGT\n", 6}, {bases(65536), 0}, {bases(65536), 1}, {bases(300'000), 9}}) {
        const std::string stream = deflated(data, level, -15);
        for (const InflateLibrary library : kLibraries) {
            SCOPED_TRACE(testing::Message() << "level " << level << ", " << data.size() << " bytes, library "
                                            << static_cast<int>(library));
            Inflater inflater(library);
            for (const auto& [chunk, room] : {std::pair{std::size_t{1}, std::size_t{1}}, {7, 4096}, {32768, 1 << 20}}) {
                ASSERT_TRUE(inflater.reset());
                const Streamed got = stream_through(inflater, stream + trailer, chunk, room);
                ASSERT_FALSE(got.failure);
                EXPECT_EQ(got.output, data);
                // What was read past the end is exactly what follows it.
                EXPECT_EQ(got.used, stream.size());
                EXPECT_EQ(got.overread, trailer.substr(0, got.overread.size()));
            }
            std::vector<std::uint8_t> whole(data.size() + 1);
            auto size = inflater.inflate_whole(bytes_of(stream), whole);
            ASSERT_TRUE(size);
            EXPECT_EQ(std::string(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size.value())), data);
            EXPECT_EQ(inflater.crc32(0, bytes_of(data)), crc32_z(0, bytes_of(data).data(), data.size()));
            // Continued CRCs: the gzip reader sums a member in pieces.
            const std::uint32_t half = inflater.crc32(0, bytes_of(data).first(data.size() / 2));
            EXPECT_EQ(inflater.crc32(half, bytes_of(data).subspan(data.size() / 2)),
                      crc32_z(0, bytes_of(data).data(), data.size()));
        }
    }
    for (const InflateLibrary library : kLibraries) {
        const Inflater inflater(library);
        EXPECT_EQ(inflater.crc32(0, bytes_of("123456789")), 0xCBF43926u);
        // Nothing to add, from an empty vector (a null pointer): the sum is kept.
        EXPECT_EQ(inflater.crc32(0x12345678u, std::vector<std::uint8_t>()), 0x12345678u);
    }
}

TEST(Inflater, DamagedStreamsFailAlikeOnBothLibraries) {
    const std::string data = bases(100'000);
    const std::string stream = deflated(data, 6, -15);
    struct Case {
        const char* what;
        std::string input;
        std::size_t room;  // for the whole stream
        std::optional<InflateFailure> failure;  // none: either
    };
    const Case cases[] = {
        {"cut in the middle", stream.substr(0, stream.size() / 2), data.size(), InflateFailure::Truncated},
        {"cut before its last byte", stream.substr(0, stream.size() - 1), data.size(), InflateFailure::Truncated},
        {"nothing at all", "", data.size(), InflateFailure::Truncated},
        {"a reserved block type", std::string("\x07\x00", 2), data.size(), InflateFailure::BadData},
        {"more than the room", stream, data.size() - 1, std::nullopt},
    };
    for (const Case& c : cases) {
        for (const InflateLibrary library : kLibraries) {
            SCOPED_TRACE(testing::Message() << c.what << ", library " << static_cast<int>(library));
            Inflater inflater(library);
            std::vector<std::uint8_t> out(c.room);
            auto whole = inflater.inflate_whole(bytes_of(c.input), out);
            ASSERT_FALSE(whole);
            // Streamed, a stream larger than the room is no damage.
            if (!c.failure) continue;
            EXPECT_EQ(whole.error(), c.failure);
            ASSERT_TRUE(inflater.reset());
            EXPECT_EQ(stream_through(inflater, c.input, 4096, 4096).failure, c.failure);
        }
    }
}

}  // namespace
}  // namespace seqtally
