#pragma once
// Streams made by zlib itself, the independent side of the inflater tests.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace seqtally {

// `window_bits` as deflateInit2 takes it: -15 raw DEFLATE, 31 one gzip member.
inline std::string deflated(const std::string& data, int level, int window_bits) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(compressBound(static_cast<uLong>(data.size())) + 32, '\0');
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
