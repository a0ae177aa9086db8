// The gzip member reader over arbitrary bytes, differentially against zlib's
// own gzip decoding of the same bytes, member after member: with zlib
// inflating from a file, and with ISA-L inflating from reads of random
// sizes (its read-ahead past a member's end goes back across fills). A
// build without ISA-L says so when it starts: only zlib is compared then.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fasta/gzip_member_reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/memory_file.h"
#include "fuzz/zlib_reference.h"

using namespace seqtally;

namespace {

// Our reader must give what zlib gives, and fail where zlib fails.
void check(GzipMemberReader&& reader, std::size_t span_size, std::span<const std::uint8_t> input,
           const fuzz::ZlibResult& theirs) {
    std::string ours;
    std::vector<std::uint8_t> span(span_size);
    bool failed = false;
    std::optional<GzipFault> fault;
    for (;;) {
        auto got = reader.read(span);
        if (!got) {
            failed = true;
            fault = got.error().gzip_fault();
            // Every error of the format itself names the rule it broke.
            if (!fault) std::abort();
            break;
        }
        if (got.value() == 0) break;
        ours.append(reinterpret_cast<char*>(span.data()), got.value());
    }
    const std::size_t common = std::min(ours.size(), theirs.output.size());
    // Whatever both produced must agree byte for byte.
    if (std::memcmp(ours.data(), theirs.output.data(), common) != 0) std::abort();
    if (theirs.complete) {
        if (failed) {
            // zlib accepts names and comments of any length; ours stop at 65,535 bytes.
            if (fault != GzipFault::HeaderFieldTooLong || input.size() <= 65535) std::abort();
        } else if (ours != theirs.output) {
            std::abort();
        }
    } else if (!failed) {
        // zlib found a fault that we passed over.
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (has_isal()) {
        std::fprintf(stderr, "fuzz_gzip_reader: inflating with zlib and with ISA-L\n");
    } else {
        std::fprintf(stderr, "fuzz_gzip_reader: WARNING: this build has no ISA-L (SEQTALLY_ISAL=OFF or not found): "
                             "the second pass inflates with zlib again, and ISA-L is not compared\n");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t span_size = 1 + data[0] * 97;
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    const fuzz::ZlibResult theirs = fuzz::zlib_decode(input);
    const std::string_view bytes(reinterpret_cast<const char*>(input.data()), input.size());
    check(GzipMemberReader(fuzz::memory_file(bytes)), span_size, input, theirs);
    // Without ISA-L this is zlib again, from reads of random sizes.
    check(GzipMemberReader(std::make_unique<fuzz::ChunkSource>(input, static_cast<std::uint32_t>(size)),
                           InflateLibrary::Isal),
          span_size, input, theirs);
    return 0;
}
