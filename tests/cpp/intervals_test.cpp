// The BED reader's refusals and the forms it takes, and the interval
// outputs: batches read in file order still print in BED order, whatever
// the batch size. Byte-for-byte agreement with bedtools and samtools is
// tested against the tools themselves, in tests/test_intervals.py.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/src/lib/bed.h"
#include "core/src/lib/composition.h"
#include "core/src/lib/interval_output.h"
#include "fuzz/string_sink.h"

namespace seqtally::core {
namespace {

// Each refusal's words (the bed fuzz target checks every refusal's line
// against a plain reading of the same rules).
TEST(Bed, RefusesWhatBedtoolsMisreadsNamingTheLine) {
    struct Case {
        const char* text;
        std::uint64_t line;
        const char* words;  // the start of the problem's text
    };
    const Case table[] = {
        {"c\t1\n", 1, "fewer than 3 columns"},
        {"#x\n\nc\t1\t2\n   \n", 4, "fewer than 3 columns"},
        {"c\tx\t2\n", 1, "the start is not a whole number: 'x'"},
        {"c\t1\t+2\n", 1, "the end is not a whole number: '+2'"},
        {"c\t\t2\n", 1, "the start is empty"},
        {"c\t1\t2 \n", 1, "the end is not a whole number: '2 '"},
        {"c\t0\t9223372036854775808\n", 1, "the end is too large"},
        {"c\t5\t4\n", 1, "the start (5) is after the end (4)"},
        {"c\t1\t2\nc\t1\t2\tn\n", 2, "4 columns where the first interval has 3"},
        {"c\t1\t2\tn\rm\n", 1, "a carriage return inside the line"},
    };
    for (const Case& c : table) {
        auto parsed = parse_bed(c.text);
        ASSERT_FALSE(parsed.ok()) << c.text;
        EXPECT_EQ(parsed.error().line, c.line) << c.text;
        EXPECT_EQ(parsed.error().text.rfind(c.words, 0), 0u) << c.text << ": " << parsed.error().text;
    }
}

TEST(Bed, TakesCrlfHeadersAndTrailingTabsAsBedtoolsDoes) {
    auto parsed = parse_bed(
        "track name=x\r\nbrowser position c:1-2\n#c\t0\t1\n\r\n"
        "c\t007\t10\tn1\t0\t-\r\n"
        "track1\t0\t5\tn2\t\t\t\n"  // a contig named track1; the tab before the line end dropped
        "c\t3\t3\t\t0\t+");          // no line end at the end
    ASSERT_TRUE(parsed.ok()) << parsed.error().text;
    EXPECT_EQ(parsed.value().columns, 6u);
    std::vector<std::string> found;  // line, start, end, chrom, name, strand, rest
    for (const BedInterval& i : parsed.value().intervals) {
        found.push_back(std::to_string(i.line) + " " + std::to_string(i.start) + " " + std::to_string(i.end) + " " +
                        std::string(i.chrom) + " " + std::string(i.name) + " " + std::string(i.strand) + " [" +
                        std::string(i.rest) + "]");
    }
    EXPECT_EQ(found, (std::vector<std::string>{"5 7 10 c n1 - [\tn1\t0\t-]", "6 0 5 track1 n2  [\tn2\t\t]",
                                               "7 3 3 c  + [\t\t0\t+]"}));
}

TEST(Composition, SharesPrintAsBedtoolsSinglePrecisionDivision) {
    for (const std::uint64_t whole : {1u, 3u, 7u, 999u, 1000u, 65537u, 16777217u, 1234567891u}) {
        for (const std::uint64_t part : {std::uint64_t{0}, std::uint64_t{1}, whole / 3, whole / 2, whole - 1, whole}) {
            char ours[32];
            const std::string text(ours, format_share(part, whole, ours));
            char theirs[64];
            std::snprintf(theirs, sizeof theirs, "%f", static_cast<float>(part) / static_cast<float>(whole));
            EXPECT_EQ(text, theirs) << part << "/" << whole;
        }
    }
    // Where single and double precision print differently.
    char text[32];
    EXPECT_EQ(std::string(text, format_share(92, 139, text)), "0.661870");
    EXPECT_EQ(std::string(text, format_share(150, 151, text)), "0.993378");
    const Composition c = compose("ACGTNacgtnRYx-AAAA");
    EXPECT_EQ(c.a, 6u);
    EXPECT_EQ(c.n, 2u);
    EXPECT_EQ(c.other, 4u);
    EXPECT_EQ(count_pattern("AAAAaaaa", "AAA", false), 2u);
    EXPECT_EQ(count_pattern("AAAAaaaa", "aaA", true), 6u);
}

// A FASTA file written to a temporary path, read at random.
class Reference : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[] = "/tmp/seqtally-intervals-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        path_ = path;
        // Two records, lines of 7 bases (the second's last line shorter).
        const std::string text = ">a\nACGTacg\nTNNNNgg\nCCATGCA\n>b\nGGGAAAT\nTTCCx\n";
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        auto file = File::open_read(path_);
        ASSERT_TRUE(file.ok());
        auto opened = RandomAccess::open(std::move(file).value(), "", false);
        ASSERT_TRUE(opened.ok());
        access_.emplace(std::move(opened).value());
        auto again = RandomAccess::open(File::open_read(path_).value(), "", false);
        ASSERT_TRUE(again.ok());
        helper_.emplace(std::move(again).value());
    }
    void TearDown() override { ::unlink(path_.c_str()); }

    std::string run(const std::string& bed, const GetfastaOptions& options, std::uint64_t* notes = nullptr) {
        std::string out;
        {
            OutputStream stream(std::make_unique<fuzz::StringSink>(out, 5));
            IntervalContext context{*access_, contigs_, stream, {}};
            auto parsed = parse_bed(bed);
            EXPECT_TRUE(parsed.ok());
            auto done = write_getfasta(context, parsed.value(), options);
            EXPECT_TRUE(done.ok());
            if (notes) *notes = done.value().size();
            EXPECT_TRUE(stream.release().ok());
        }
        return out;
    }

    std::string path_;
    Contigs contigs_{{{"a", 21, {3, 7, 8}}, {"b", 12, {30, 7, 8}}}};
    std::optional<RandomAccess> access_;
    std::optional<RandomAccess> helper_;
};

TEST_F(Reference, GetfastaPrintsInBedOrderWithStrandAndNames) {
    std::uint64_t notes = 0;
    const std::string bed =
        "b\t0\t12\tlast\t0\t-\n"
        "a\t5\t16\tmid\t0\t+\n"
        "a\t0\t21\tall\t0\t.\n"
        "a\t3\t3\tempty\t0\t+\n"
        "c\t0\t1\tnone\t0\t+\n"
        "a\t20\t22\tpast\t0\t+\n";
    EXPECT_EQ(run(bed, {true, HeaderForm::NameAndPosition, false}, &notes),
              ">last::b:0-12(-)\nxGGAAATTTCCC\n"
              ">mid::a:5-16(+)\ncgTNNNNggCC\n"
              ">all::a:0-21(.)\nACGTacgTNNNNggCCATGCA\n");
    EXPECT_EQ(notes, 3u);
    EXPECT_EQ(run("a\t19\t21\tn\na\t0\t2\tm\n", {false, HeaderForm::Name, true}), "n\tCA\nm\tAC\n");
}

TEST_F(Reference, BatchesOfAnySizeGiveTheBedOrder) {
    std::vector<Interval> intervals;
    std::vector<std::string> expected;
    const std::string a = "ACGTacgTNNNNggCCATGCA";
    // Backwards, overlapping, some reverse complemented; enough of them
    // for the helper's thread to take part.
    for (int round = 0; round < 8; ++round) {
        for (std::uint64_t start = 20; start <= 20; start -= 2) {
            const std::uint64_t end = std::min<std::uint64_t>(21, start + 5 + start % 3);
            intervals.push_back({0, start, end, (start + round) % 4 == 0});
        }
    }
    for (const Interval& interval : intervals) {
        std::string bases = a.substr(interval.start, interval.end - interval.start);
        if (interval.reverse) reverse_complement(bases);
        expected.push_back(bases);
    }
    for (const std::uint64_t budget : {1u, 7u, 1000u, 100000u}) {
        BatchFetch fetch(*access_, contigs_, intervals, budget, true, budget > 7 ? &*helper_ : nullptr);
        std::vector<std::string> got;
        std::vector<int> seen(intervals.size());
        for (;;) {
            auto more = fetch.next([&](std::size_t i, std::string_view) { ++seen[i]; }, {});
            ASSERT_TRUE(more.ok());
            if (!more.value()) break;
            for (std::size_t i = fetch.first(); i < fetch.last(); ++i) got.emplace_back(fetch.bases(i));
        }
        EXPECT_EQ(got, expected) << budget;
        EXPECT_EQ(seen, std::vector<int>(intervals.size(), 1)) << budget;
    }
}

TEST(ReverseComplement, IupacCodesInEitherCaseOthersKept) {
    std::string bases = "ACGTNacgtnRYKMSWBDHVNrykmswbdhvnUuXx-*.";
    reverse_complement(bases);
    // samtools faidx -i and bedtools getfasta -s print this for the same bases.
    EXPECT_EQ(bases, ".*-xXaAnbdhvwskmryNBDHVWSKMRYnacgtNACGT");
}

}  // namespace
}  // namespace seqtally::core
