#pragma once
// zlib's own deflate and gzip decoding, the independent side of the gzip
// fuzz target and of the inflater, input and gzip writer unit tests, and the
// sequence-like lines those deflate.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace seqtally::fuzz {

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

// What `stream` (just initialised or reset) makes of all of `data`.
inline std::string deflate_all(z_stream& stream, std::string_view data) {
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(out.size() - stream.avail_out);
    return out;
}

// `window_bits` as deflateInit2 takes it: -15 raw DEFLATE, 31 one gzip
// member, whose header then holds a file name of `name_size` bytes (which
// moves everything after it by that much, so that a member's end can be
// placed to the byte).
inline std::string deflated(std::string_view data, int level, int window_bits, std::size_t name_size = 0) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::string name(name_size, 'n');
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name.data());
    if (name_size > 0) deflateSetHeader(&stream, &header);
    std::string out = deflate_all(stream, data);
    deflateEnd(&stream);
    return out;
}

struct ZlibResult {
    std::string output;
    bool complete = true;  // false: zlib failed, or ran out of input inside a member
};

// Decodes members one after another with zlib (windowBits 31 checks header
// CRC, trailer CRC-32 and ISIZE). Bytes left after a member that zlib cannot
// start a new member from end the stream, as does an incomplete member.
inline ZlibResult zlib_decode(std::span<const std::uint8_t> input) {
    ZlibResult result;
    std::size_t offset = 0;
    bool first = true;
    while (first || offset < input.size()) {
        first = false;
        z_stream stream{};
        inflateInit2(&stream, 31);
        stream.next_in = const_cast<Bytef*>(input.data() + offset);
        stream.avail_in = static_cast<uInt>(input.size() - offset);
        int status;
        std::uint8_t out[4096];
        do {
            stream.next_out = out;
            stream.avail_out = sizeof out;
            status = inflate(&stream, Z_NO_FLUSH);
            result.output.append(reinterpret_cast<char*>(out), sizeof out - stream.avail_out);
        } while (status == Z_OK);
        const std::size_t consumed = input.size() - offset - stream.avail_in;
        inflateEnd(&stream);
        if (status != Z_STREAM_END) {
            result.complete = false;
            return result;
        }
        offset += consumed;
    }
    return result;
}

}  // namespace seqtally::fuzz
