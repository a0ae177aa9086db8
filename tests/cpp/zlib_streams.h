#pragma once
// Streams made by zlib itself, the independent side of the inflater and
// input tests, and the sequence-like lines they are made of.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace seqtally {

// Lines of 60 bases that deflate shrinks by only about half, so that the
// compressed data of a large one spans many of the gzip reader's fills.
inline std::string bases(std::size_t size, std::uint32_t seed = 12345) {
    std::string out(size, '\n');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245 + 12345;
        if (i % 61 != 60) out[i] = "ACGTacgtN"[(seed >> 16) % 9];
    }
    return out;
}

// `window_bits` as deflateInit2 takes it: -15 raw DEFLATE, 31 one gzip
// member, whose header then holds a file name of `name_size` bytes (which
// moves everything after it by that much, so that a member's end can be
// placed to the byte).
inline std::string deflated(const std::string& data, int level, int window_bits, std::size_t name_size = 0) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string name(name_size, 'n');
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name.data());
    if (name_size > 0) deflateSetHeader(&stream, &header);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

}  // namespace seqtally
