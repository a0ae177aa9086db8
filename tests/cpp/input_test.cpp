// The library's input: what open_input hands the reader for every kind of
// descriptor (a regular file read inline or by the read-ahead thread, a pipe
// filled before the read, a pipe written in pieces while it is read), against
// the bytes it was made from; errors after the data before them; and reads
// that end early, by a checkpoint or by dropping the source, without a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fasta/input.h"
#include "fasta/input_buffer.h"
#include "fuzz/memory_file.h"
#include "fuzz/zlib_reference.h"

namespace seqtally {
namespace {

using fuzz::bases;
using fuzz::deflated;

using namespace std::literals;
using Clock = std::chrono::steady_clock;

// A hang ends the test binary (SIGALRM) rather than the whole run's patience.
struct HangGuard {
    HangGuard() { ::alarm(60); }
    ~HangGuard() { ::alarm(0); }
};

std::string gzip_member(const std::string& data, int level = 6, std::size_t name_size = 0) {
    return deflated(data, level, 31, name_size);
}

void write_everything(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote <= 0) return;  // the reader has gone (EPIPE: SIGPIPE is ignored here)
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

struct Pipe {
    int ends[2] = {-1, -1};  // read, write
    Pipe() {
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        std::signal(SIGPIPE, SIG_IGN);
    }
};

// Fills are reads of InputBuffer::kCapacity after the 6 bytes that told the
// kind, wherever the descriptor allows it: a regular file, or a pipe that
// holds the whole input before the read starts. A writer in pieces makes
// fills of any size.
enum Feed { FileInline, FileThreaded, PipeFilled, PipeInPieces };
constexpr const char* kFeedNames[] = {"file read inline", "file read ahead", "filled pipe", "pipe written in pieces"};

struct Outcome {
    std::string output;
    std::optional<IoError> error;
    std::uint64_t bytes_read = 0;
    int checkpoints = 0;
    bool fed = true;  // false: the input does not fit in a pipe
};

Outcome read_through(Feed feed, const std::string& raw) {
    Outcome outcome;
    std::atomic<std::uint64_t> counted{0};
    InputOptions options;
    options.bytes_read = &counted;
    options.checkpoint = [&] { ++outcome.checkpoints; };
    if (feed == FileThreaded) options.inline_limit = 0;
    std::thread writer;
    File file = File::adopt(-1);
    if (feed == FileInline || feed == FileThreaded) {
        file = fuzz::memory_file(raw);
    } else {
        const Pipe pipe;
        file = File::adopt(pipe.ends[0]);
        if (feed == PipeFilled) {
            if (::fcntl(pipe.ends[1], F_SETPIPE_SZ, 1 << 20) < static_cast<int>(raw.size())) {
                outcome.fed = false;
                ::close(pipe.ends[1]);
                return outcome;
            }
            write_everything(pipe.ends[1], raw);
            ::close(pipe.ends[1]);
        } else {
            writer = std::thread([&raw, write_end = pipe.ends[1]] {
                static constexpr std::size_t kPieces[] = {1, 5, 4096, 70001, 3, 32768, 100};
                for (std::size_t at = 0, i = 0; at < raw.size(); ++i) {
                    const std::size_t piece = std::min(kPieces[i % std::size(kPieces)], raw.size() - at);
                    write_everything(write_end, std::string_view(raw).substr(at, piece));
                    at += piece;
                }
                ::close(write_end);
            });
        }
    }
    {
        auto source = open_input(std::move(file), std::move(options));
        static constexpr std::size_t kReads[] = {65536, 1, 4099, 7, 1 << 20};
        std::vector<std::uint8_t> buffer(1 << 20);
        for (std::size_t i = 0;; ++i) {
            auto got = source->read(std::span(buffer).first(kReads[i % std::size(kReads)]));
            if (!got) {
                outcome.error = std::move(got).error();
                break;
            }
            if (got.value() == 0) break;
            outcome.output.append(reinterpret_cast<const char*>(buffer.data()), got.value());
        }
    }
    if (writer.joinable()) writer.join();
    outcome.bytes_read = counted.load();
    return outcome;
}

// Every input through every feed: the decoded bytes, then the error if any
// (after all the data before it, which the read-ahead thread must hand over
// first), and the raw bytes counted.
TEST(OpenInput, DecodedBytesThenTheErrorForEveryFeed) {
    const std::string random = bases(300'000, 1);
    const std::string big = bases(1'500'000, 2);
    std::string repetitive;
    while (repetitive.size() < (9u << 20)) repetitive += bases(61 * 50, static_cast<std::uint32_t>(repetitive.size() % 7));
    const std::string members = gzip_member(random) + gzip_member("") + gzip_member(repetitive, 1) + gzip_member(">x\n", 0);
    std::string bad_crc = gzip_member(big);
    bad_crc[bad_crc.size() - 8] ^= 1;
    const std::string whole = gzip_member(random);
    const std::string no_header_after = gzip_member(big) + "\x1f\x8b\x07 is no deflate method";

    struct Case {
        const char* label;
        std::string raw;
        std::string expected;
        std::optional<ErrorKind> error;
        bool prefix_only = false;  // cut inside the compressed data: some of it decodes
    };
    const Case table[] = {
        {"empty", "", "", {}},
        {"plain, shorter than the kind's head", ">a\n", ">a\n", {}},
        {"one byte of the gzip magic", "\x1f", "\x1f", {}},
        {"xz magic cut short is plain", "\xFD" "7zXZ", "\xFD" "7zXZ", {}},
        {"plain", random, random, {}},
        {"plain, over 4 MiB", repetitive, repetitive, {}},
        {"gzip members, an empty one among them", members, random + repetitive + ">x\n", {}},
        {"gzip magic alone", "\x1f\x8b", "", ErrorKind::UnexpectedEof},
        {"gzip with a CRC-32 mismatch", bad_crc, big, ErrorKind::InvalidInput},
        {"gzip cut in its trailer", whole.substr(0, whole.size() - 3), random, ErrorKind::UnexpectedEof},
        {"gzip cut in its data", whole.substr(0, whole.size() / 2), random, ErrorKind::InvalidInput, true},
        {"gzip then bytes that are no member", no_header_after, big, ErrorKind::InvalidInput},
        {"xz", "\xFD" "7zXZ\0\0\x04\xE6\xD6\xB4\x46"s, "", ErrorKind::Unsupported},
        {"bzip2", "BZh91AY&SY" + random, "", ErrorKind::Unsupported},
        {"zstd", "\x28\xB5\x2F\xFD\x04\x58"s + random, "", ErrorKind::Unsupported},
    };
    HangGuard guard;
    for (const Case& row : table) {
        for (const Feed feed : {FileInline, FileThreaded, PipeFilled, PipeInPieces}) {
            SCOPED_TRACE(std::string(row.label) + ", " + kFeedNames[feed]);
            const Outcome got = read_through(feed, row.raw);
            if (!got.fed) continue;
            if (row.prefix_only) {
                EXPECT_GE(got.output.size(), row.expected.size() / 3);
                EXPECT_TRUE(row.expected.starts_with(got.output));
            } else {
                EXPECT_EQ(got.output.size(), row.expected.size());
                EXPECT_TRUE(got.output == row.expected);
            }
            ASSERT_EQ(got.error.has_value(), row.error.has_value()) << (got.error ? got.error->text() : "");
            if (row.error) {
                EXPECT_EQ(got.error->kind(), *row.error) << got.error->text();
                if (*row.error == ErrorKind::Unsupported) {
                    EXPECT_NE(got.error->display().find(row.label), std::string::npos) << got.error->display();
                }
            } else {
                EXPECT_EQ(got.bytes_read, row.raw.size());
                // A file read inline never waits: these are the only calls
                // that notice an interruption.
                EXPECT_GE(got.checkpoints, static_cast<int>(got.output.size() / kCheckpointBytes));
            }
        }
    }
}

// ISA-L reads past the end of a member's compressed data and hands back
// what it took of the trailer. When the output runs out just short of the
// member's end (at the end of a read-ahead block) after the last fill was
// used up, the end is decoded after the next fill begins, and the bytes
// handed back came before that fill. The first member, padded with a name
// (and empty members before it with names of their own: a name holds at most
// 65535 bytes, a fill more), places the second so that its compressed data
// ends around a fill boundary and its plain data a few bytes after the
// fourth read-ahead block.
TEST(OpenInput, MemberEndsAtFillAndBlockBoundaries) {
    constexpr std::size_t kFill = InputBuffer::kCapacity;
    const std::string body = bases((1 << 20) - 400, 3), last = bases(5000, 4);
    HangGuard guard;
    for (const int level : {1, 6}) {
        const std::string member = gzip_member(body, level), closing = gzip_member(last, level);
        const std::string pad = gzip_member("", level, 60000);
        for (const std::size_t past_block : {1, 3, 10, 40}) {
            const std::string first = bases(400 + past_block, 5);
            const std::size_t first_size = gzip_member(first, level).size();
            const std::size_t boundary = ((first_size + member.size()) / kFill + 1) * kFill + 6;
            for (std::size_t data_end = boundary - 8; data_end <= boundary + 2; ++data_end) {
                // A name of n bytes adds n + 1; the compressed data ends 8 bytes before the member.
                std::size_t name_size = data_end + 8 - member.size() - first_size - 1;
                std::string raw;
                while (name_size > 65535) {
                    raw += pad;
                    name_size -= pad.size();
                }
                raw += gzip_member(first, level, name_size) + member + closing;
                for (const Feed feed : {FileInline, FileThreaded, PipeFilled}) {
                    SCOPED_TRACE(std::string(kFeedNames[feed]) + ", level " + std::to_string(level) + ", " +
                                 std::to_string(past_block) + " past the block, data end " +
                                 std::to_string(data_end) + " for a fill boundary at " + std::to_string(boundary));
                    const Outcome got = read_through(feed, raw);
                    EXPECT_FALSE(got.error) << got.error->text();
                    EXPECT_TRUE(got.output == first + body + last);
                }
            }
        }
    }
}

// A reader that pauses while the second core fills the queue to its depth:
// the bytes that follow are the queued blocks' first, never inflated past them.
TEST(OpenInput, QueuedBlocksComeBeforeAnyInflatedLater) {
    const std::string data = bases(12 << 20, 6);
    InputOptions options;
    options.inline_limit = 0;
    auto source = open_input(fuzz::memory_file(gzip_member(data, 1)), std::move(options));
    std::vector<std::uint8_t> buffer(1 << 20);
    std::string output;
    for (bool paused = false;; paused = true) {
        auto got = source->read(std::span(buffer).first(paused ? buffer.size() : 1));
        ASSERT_TRUE(got.ok()) << got.error().text();
        if (got.value() == 0) break;
        output.append(reinterpret_cast<const char*>(buffer.data()), got.value());
        if (!paused) std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(output == data);
}

// A read that ends early: a checkpoint that throws while the writer holds
// the pipe open and writes nothing must end the wait in a few wait slices
// (what came before the stall having reached the reader: a pipe's writer may
// pause for as long as it likes), and dropping the source must stop the
// thread wherever it waits (in poll, or for room in a full queue while the
// reader reads nothing) and join it.
TEST(OpenInput, ReadsEndingEarlyDoNotHang) {
    struct Stop {};
    const std::string data = bases(3 << 20, 5);
    const std::string compressed = gzip_member(data);
    struct Case {
        const char* label;
        std::string written;  // then the writer stalls until the source is gone
        enum { CheckpointThrows, Dropped, DroppedAfterAByte } end;
        std::size_t arrives = 0;  // bytes the reader has at least when a checkpoint throws
    };
    const Case table[] = {
        {"plain, stalled writer, checkpoint throws", data.substr(0, 100'000), Case::CheckpointThrows, 100'000},
        {"gzip, stalled writer inside a member, checkpoint throws", compressed.substr(0, 100'000),
         Case::CheckpointThrows, 1},
        {"plain, stalled writer, source dropped", data.substr(0, 100'000), Case::Dropped},
        {"gzip, stalled writer inside a member, source dropped", compressed.substr(0, 100'000), Case::Dropped},
        {"plain, reader reads nothing more while the queue fills", data + data + data + data, Case::DroppedAfterAByte},
        {"gzip, reader reads nothing more while the queue fills", gzip_member(data + data + data + data, 1),
         Case::DroppedAfterAByte},
    };
    HangGuard guard;
    for (const Case& row : table) {
        SCOPED_TRACE(row.label);
        const Pipe pipe;
        std::atomic<bool> release{false};
        std::atomic<Clock::rep> stalled_at{0};
        std::thread writer([&, write_end = pipe.ends[1]] {
            write_everything(write_end, row.written);
            stalled_at = Clock::now().time_since_epoch().count();
            while (!release) std::this_thread::sleep_for(5ms);
            ::close(write_end);
        });
        InputOptions options;
        if (row.end == Case::CheckpointThrows) {
            // Not at once: what was written before the stall gets every
            // chance to arrive first.
            options.checkpoint = [&] {
                const Clock::rep at = stalled_at.load();
                if (at != 0 && Clock::now() - Clock::time_point(Clock::duration(at)) > 200ms) throw Stop{};
            };
        }
        auto source = open_input(File::adopt(pipe.ends[0]), std::move(options));
        std::vector<std::uint8_t> buffer(65536);
        if (row.end == Case::CheckpointThrows) {
            bool stopped = false;
            std::size_t received = 0;
            try {
                for (auto got = source->read(buffer); got.ok() && got.value() > 0; got = source->read(buffer)) {
                    received += got.value();
                }
            } catch (const Stop&) {
                stopped = true;
            }
            EXPECT_TRUE(stopped);
            EXPECT_GE(received, row.arrives);
            const auto waited = Clock::now() - Clock::time_point(Clock::duration(stalled_at.load()));
            EXPECT_LT(waited, 1s);
        } else {
            if (row.end == Case::DroppedAfterAByte) {
                EXPECT_TRUE(source->read(std::span(buffer).first(1)).ok());
            } else {
                while (stalled_at.load() == 0) std::this_thread::sleep_for(1ms);
            }
            std::this_thread::sleep_for(100ms);  // the thread settles into its wait
        }
        const auto dropping = Clock::now();
        source.reset();
        EXPECT_LT(Clock::now() - dropping, 1s);
        release = true;
        writer.join();
    }
}

}  // namespace
}  // namespace seqtally
