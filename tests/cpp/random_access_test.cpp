// RandomAccess on plain and BGZF files (blocks of 100 bytes, empty blocks
// between and before them): damage that passes each block's own checks (an
// index entry moved to another block of the same size, a last entry
// shifted, a .fai one byte off), each refused with the fault it is. (Every
// range against the records' own bases, across line ends and blocks of any
// size: the random_access fuzz target.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fasta/random_access.h"
#include "fuzz/bgzf_writer.h"
#include "fuzz/memory_file.h"

namespace seqtally {
namespace {

struct Reference {
    std::string text;
    std::vector<std::pair<std::string, RecordPlace>> records;  // bases, place
};

// Records of 0 to 1,000 bases in lines of 2 to 60, LF or CRLF. The first
// one's lines are 50 bytes: blocks of 100 all start at the same column of
// it, so that bases from a wrong block still fit the .fai's line layout.
Reference reference() {
    Reference made;
    std::uint32_t seed = 99;
    for (const auto& [length, width, crlf] : {std::tuple{1000u, 49u, false}, {2u, 2u, false}, {0u, 7u, false},
                                             {100u, 7u, true}, {61u, 60u, true}}) {
        const std::string end = crlf ? "\r\n" : "\n";
        made.text += ">r" + std::to_string(made.records.size()) + " x" + end;
        std::string bases;
        const RecordPlace place{made.text.size(), width, width + end.size()};
        for (unsigned i = 0; i < length; ++i) {
            seed = seed * 1103515245 + 12345;
            bases.push_back("ACGTNacgtn"[(seed >> 16) % 10]);
            made.text.push_back(bases.back());
            if ((i + 1) % width == 0 || i + 1 == length) made.text += end;
        }
        if (length > 0) made.records.emplace_back(bases, place);
    }
    return made;
}

struct Packed {
    std::string bgzf;
    std::string gzi;
};

Packed packed(const std::string& text, std::size_t block) {
    fuzz::BgzfWriter writer;
    writer.add_block({});
    for (std::size_t at = 0; at < text.size(); at += block) {
        writer.add_block(std::string_view(text).substr(at, block));
        if (at == block) writer.add_block({});
    }
    writer.add_block({});
    return {writer.bgzf(), writer.gzi()};
}

TEST(RandomAccess, DamageThatEachBlocksOwnChecksPassIsRefused) {
    const Reference made = reference();
    using Damage = std::function<void(std::string& file, std::string& gzi, RecordPlace& place)>;
    const auto field = [](std::string& gzi, std::size_t entry, std::size_t which) {
        return gzi.begin() + static_cast<std::ptrdiff_t>(8 + 16 * entry + 8 * which);
    };
    const std::size_t entries = (packed(made.text, 100).gzi.size() - 8) / 16;
    // The first block that holds data follows an empty one, at byte 28.
    const auto first_block_size = [](const std::string& bgzf) {
        return (static_cast<std::size_t>(static_cast<std::uint8_t>(bgzf[28 + 16])) |
                static_cast<std::size_t>(static_cast<std::uint8_t>(bgzf[28 + 17])) << 8) + 1;
    };
    const struct {
        const char* what;
        bool bgzf;
        Damage damage;
        AccessFault fault;
        std::size_t record;
        std::uint64_t begin;
        std::uint64_t count = 80;
    } cases[] = {
        // bgzip's blocks all hold the same number of bytes: entries that
        // name the block after theirs pass each block's own checks, and
        // here the line layout too. Caught where the shift starts (inside
        // it, see fuzz/README.md), across the empty block after block 1.
        {"entries from the second on name the next block", true,
         [&](std::string& bgzf, std::string& gzi, RecordPlace&) {
             for (std::size_t i = 1; i + 1 < entries; ++i) std::copy_n(field(gzi, i + 1, 0), 8, field(gzi, i, 0));
             std::string end;
             for (int b = 0; b < 8; ++b) end.push_back(static_cast<char>((bgzf.size() - 28) >> (8 * b)));
             std::copy_n(end.begin(), 8, field(gzi, entries - 1, 0));
         },
         AccessFault::IndexMismatch, 0, 150},
        {"the last entry's decoded offset is shifted", true,
         [&](std::string&, std::string& gzi, RecordPlace&) { *field(gzi, entries - 1, 1) += 5; },
         AccessFault::IndexMismatch, 3, 0},
        {"the .fai offset is a byte late", false, [](std::string&, std::string&, RecordPlace& p) { ++p.offset; },
         AccessFault::IndexMismatch, 0, 0},
        {"the .fai places a line end where a base is", false,
         [](std::string&, std::string&, RecordPlace& p) { --p.line_bases; }, AccessFault::IndexMismatch, 0, 0},
        {"the file was cut", false, [](std::string& text, std::string&, RecordPlace&) { text.resize(100); },
         AccessFault::FileTooShort, 0, 100},
        {"a block's stored CRC-32", true,
         [&](std::string& bgzf, std::string&, RecordPlace&) { bgzf[28 + first_block_size(bgzf) - 8] ^= 1; },
         AccessFault::BlockChecksum, 0, 0},
        // The bases asked for run into the next header line.
        {"a fetch past a record's end", false, [](std::string&, std::string&, RecordPlace&) {},
         AccessFault::IndexMismatch, 1, 2, 2},
        {"a .fai claims 2^62 bases", false, [](std::string&, std::string&, RecordPlace&) {},
         AccessFault::FileTooShort, 0, 0, std::uint64_t{1} << 62},
        {"a block header", true, [](std::string& bgzf, std::string&, RecordPlace&) { bgzf[28 + 12] = 'X'; },
         AccessFault::BlockDamaged, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Packed file = c.bgzf ? packed(made.text, 100) : Packed{made.text, {}};
        RecordPlace place = made.records[c.record].second;
        c.damage(file.bgzf, file.gzi, place);
        auto reader = RandomAccess::open(fuzz::memory_file(file.bgzf), file.gzi, c.bgzf);
        ASSERT_TRUE(reader);
        std::string got;
        auto read = reader.value().fetch(place, c.begin, c.begin + c.count, got);
        ASSERT_FALSE(read) << got;
        EXPECT_EQ(read.error().access_fault(), c.fault) << read.error().display();
        EXPECT_EQ(blames_index(c.fault), read.error().kind() != ErrorKind::InvalidData);
    }
}

TEST(RandomAccess, LayoutIsWhatTheFirstBlockSays) {
    const std::string bgzf = packed(">a\nACGT\n", 100).bgzf;
    std::string other_extra = bgzf;
    other_extra[12] = 'X';  // gzip, its extra field not BGZF's
    const std::pair<std::string, Layout> cases[] = {
        {">a\nACGT\n", Layout::Plain}, {"", Layout::Plain},          {"\x1f", Layout::Plain},
        {bgzf, Layout::Bgzf},           {other_extra, Layout::Gzip}, {bgzf.substr(0, 17), Layout::Gzip},
    };
    for (const auto& [bytes, layout] : cases) {
        auto found = layout_of(fuzz::memory_file(bytes));
        ASSERT_TRUE(found);
        EXPECT_EQ(found.value(), layout) << bytes.size();
    }
}

}  // namespace
}  // namespace seqtally
