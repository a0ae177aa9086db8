// RandomAccess and the .fai parser over files made from the fuzz input: a
// small FASTA (several records, LF or CRLF, lines of any width), its BGZF
// form (blocks of varied size made with zlib, empty blocks among them) and
// its true .fai and .gzi. Then damage chosen by the input: any number of
// flipped, inserted or deleted bytes in the .fai, and one in the .gzi or the
// BGZF file. Every fetch must give exactly what a plain reference gives over
// the true text at the places the (damaged) .fai names, or, when the .gzi or
// the BGZF file is damaged, an error.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fasta/fai.h"
#include "fasta/random_access.h"
#include "fuzz/bgzf_writer.h"
#include "fuzz/memory_file.h"

using namespace seqtally;

namespace {

struct Made {
    std::string text;  // the FASTA file, decoded
    std::vector<FaiEntry> entries;  // what its .fai says
    std::string fai;
    std::string bgzf;
    std::string gzi;
};

std::string fasta_text(FuzzedDataProvider& input, Made& made) {
    const bool crlf = input.ConsumeBool();
    const char* const line_end = crlf ? "\r\n" : "\n";
    const int records = input.ConsumeIntegralInRange(1, 4);
    std::uint32_t seed = input.ConsumeIntegral<std::uint32_t>() | 1;
    std::string text;
    for (int r = 0; r < records; ++r) {
        const std::string name = std::string(1, static_cast<char>('a' + r)) + std::to_string(input.ConsumeIntegralInRange(0, 99));
        const auto width = input.ConsumeIntegralInRange<std::uint64_t>(1, 70);
        const auto length = input.ConsumeIntegralInRange<std::uint64_t>(0, 2500);
        text += ">" + name + (input.ConsumeBool() ? " some description" : "") + line_end;
        if (length > 0) {
            made.entries.push_back({name, length, {text.size(), width, width + (crlf ? 2 : 1)}});
            made.fai += name + "\t" + std::to_string(length) + "\t" + std::to_string(text.size()) + "\t" +
                        std::to_string(width) + "\t" + std::to_string(width + (crlf ? 2 : 1)) + (crlf ? "\r\n" : "\n");
        }
        for (std::uint64_t i = 0; i < length; ++i) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            text.push_back("ACGTNacgtnRY*-"[seed % 14]);
            if ((i + 1) % width == 0 || i + 1 == length) text += line_end;
        }
    }
    if (input.ConsumeBool()) text.resize(text.size() - (crlf ? 2 : 1));  // no line end at the end
    return text;
}

Made make(FuzzedDataProvider& input) {
    Made made;
    made.text = fasta_text(input, made);
    fuzz::BgzfWriter writer(input.ConsumeIntegralInRange(0, 9));
    const auto largest = input.ConsumeIntegralInRange<std::size_t>(1, 6000);
    for (std::size_t at = 0; at < made.text.size();) {
        if (input.ConsumeIntegralInRange(0, 7) == 0) writer.add_block({});
        const std::size_t size = std::min(made.text.size() - at, input.ConsumeIntegralInRange<std::size_t>(1, largest));
        writer.add_block(std::string_view(made.text).substr(at, size));
        at += size;
    }
    writer.add_block({});  // bgzip's end-of-file block
    made.bgzf = writer.bgzf();
    made.gzi = writer.gzi();
    return made;
}

// A flipped, inserted or deleted byte.
void damage(FuzzedDataProvider& input, std::string& bytes) {
    if (bytes.empty()) return;
    const auto at = input.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1);
    const auto value = input.ConsumeIntegral<std::uint8_t>();
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: bytes[at] = static_cast<char>(bytes[at] ^ (value | 1)); break;
        case 1: bytes.insert(at, 1, static_cast<char>(value)); break;
        default: bytes.erase(at, 1); break;
    }
}

bool is_base(char c) { return c >= '!' && c <= '~'; }

// The bases at the places `place` names in `text`, one byte at a time:
// nothing when one of them is not a base (or starts a header line), when a
// byte between them is, or when they lie beyond the text.
std::optional<std::string> reference(const std::string& text, const RecordPlace& place, std::uint64_t begin,
                                     std::uint64_t end) {
    std::string bases;
    if (end <= begin) return bases;
    if (place.line_bases == 0 || place.line_bytes < place.line_bases) return std::nullopt;
    const auto byte_of = [&](std::uint64_t p) -> std::optional<std::uint64_t> {
        unsigned __int128 byte = place.offset + static_cast<unsigned __int128>(p / place.line_bases) * place.line_bytes +
                                 p % place.line_bases;
        if (byte >= text.size()) return std::nullopt;
        return static_cast<std::uint64_t>(byte);
    };
    const auto from = byte_of(begin);
    const auto last = byte_of(end - 1);
    if (!from || !last) return std::nullopt;
    for (std::uint64_t at = *from; at <= *last; ++at) {
        const std::uint64_t column = (at - place.offset) % place.line_bytes;
        const char c = text[at];
        if (column < place.line_bases ? !is_base(c) || (column == 0 && c == '>') : is_base(c)) return std::nullopt;
        if (column < place.line_bases) bases.push_back(c);
    }
    return bases;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Made made = make(input);
    const auto true_entries = parse_fai(made.fai);
    if (!true_entries || true_entries.value() != made.entries) std::abort();

    std::string fai = made.fai;
    for (int ops = input.ConsumeIntegralInRange(0, 3); ops > 0; --ops) damage(input, fai);
    std::string gzi = made.gzi;
    std::string bgzf = made.bgzf;
    const int target = input.ConsumeIntegralInRange(0, 2);  // nothing, the .gzi or the BGZF file
    if (target == 1) damage(input, gzi);
    if (target == 2) damage(input, bgzf);
    const bool blocks_exact = gzi == made.gzi && bgzf == made.bgzf;

    const auto entries = parse_fai(fai);
    if (!entries) {
        if (entries.error().line == 0 || fai == made.fai) std::abort();
        return 0;
    }

    auto plain = RandomAccess::open(fuzz::memory_file(made.text), {}, false);
    auto packed = RandomAccess::open(fuzz::memory_file(bgzf), gzi, true);
    if (!plain || (!packed && blocks_exact)) std::abort();
    for (int fetches = input.ConsumeIntegralInRange(1, 6); fetches > 0 && !entries.value().empty(); --fetches) {
        const FaiEntry& entry = entries.value()[input.ConsumeIntegralInRange<std::size_t>(0, entries.value().size() - 1)];
        const std::uint64_t reach = std::min<std::uint64_t>(entry.length, std::uint64_t{1} << 62) + 64;
        const auto begin = input.ConsumeIntegralInRange<std::uint64_t>(0, reach);
        const auto end = begin + input.ConsumeIntegralInRange<std::uint64_t>(0, 3000);
        const auto expected = reference(made.text, entry.place, begin, end);
        std::string ours;
        const auto got = plain.value().fetch(entry.place, begin, end, ours);
        if (got.ok() != expected.has_value() || (got && ours != *expected)) std::abort();
        if (!got && !got.error().access_fault()) std::abort();
        if (!packed) continue;
        std::string unpacked;
        const auto read = packed.value().fetch(entry.place, begin, end, unpacked);
        if (read && (!expected || unpacked != *expected)) std::abort();
        if (!read && (blocks_exact ? expected.has_value() : !read.error().access_fault())) std::abort();
    }
    return 0;
}
