#pragma once
// The walk of `seqtally stats` over one record: counts by kind of byte, CpG
// pairs, and the runs of N and of lowercase letters, 64 bytes at a time. A
// record may be fed in parts (the lines the reader has so far), so that a
// long record is counted while its bytes are still in the cache. Checked
// against counts made with numpy and regular expressions in
// tests/test_stats.py.
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "core/src/lib/base_marks.h"
#include "core/src/lib/sequence_stats.h"
#include "fasta/record_view.h"

namespace seqtally::core::stats_walk {

inline constexpr bool is_iupac(char byte) noexcept {
    switch (byte | 0x20) {
        case 'r': case 'y': case 's': case 'w': case 'k': case 'm': case 'b': case 'd': case 'h': case 'v':
            return true;
        default:
            return false;
    }
}

// What a piece of a line is counted into: totals by kind, and the marks
// that runs and CpG pairs are read from, a bit per byte.
struct Tally {
    std::uint64_t a = 0, c = 0, g = 0, t = 0, n = 0, iupac = 0, lower = 0, lower_gc = 0;
};
struct PieceMarks {
    std::uint64_t c = 0, g = 0, n = 0, lower = 0;
};

inline void tally_byte(char byte, std::size_t i, Tally& tally, PieceMarks& marks) noexcept {
    const char folded = static_cast<char>(byte | 0x20);
    const bool c = folded == 'c', g = folded == 'g', n = folded == 'n', lower = is_lowercase(byte);
    tally.a += folded == 'a';
    tally.c += c;
    tally.g += g;
    tally.t += folded == 't';
    tally.n += n;
    tally.iupac += is_iupac(byte);
    tally.lower += lower;
    tally.lower_gc += lower & (c | g);
    marks.c |= std::uint64_t{c} << i;
    marks.g |= std::uint64_t{g} << i;
    marks.n |= std::uint64_t{n} << i;
    marks.lower |= std::uint64_t{lower} << i;
}

#if defined(__SSE2__)
// Counts kept in byte lanes, a compare's 0xFF (-1) subtracted per byte that
// matches: one instruction per kind per 16 bytes, where a bit mask and a
// popcount take four. A lane holds 255 before it must be added up.
struct Lanes {
    __m128i a = _mm_setzero_si128(), c = a, g = a, t = a, n = a, iupac = a, lower = a, lower_gc = a;
    unsigned blocks = 0;

    static std::uint64_t sum(__m128i lanes) noexcept {
        const __m128i halves = _mm_sad_epu8(lanes, _mm_setzero_si128());
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(halves)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(halves, halves)));
    }
    void drain(Tally& tally) noexcept {
        struct Kind {
            __m128i* lanes;
            std::uint64_t* total;
        };
        const Kind kinds[] = {
            {&a, &tally.a}, {&c, &tally.c},         {&g, &tally.g},         {&t, &tally.t},
            {&n, &tally.n}, {&iupac, &tally.iupac}, {&lower, &tally.lower}, {&lower_gc, &tally.lower_gc}};
        for (const auto& [lanes, total] : kinds) {
            *total += sum(*lanes);
            *lanes = _mm_setzero_si128();
        }
        blocks = 0;
    }

    // 16 bytes, of which the last `kept` count (the first ones of an
    // overlapping tail block were counted with the block before): the others
    // are zeroed, a byte of no kind. Their marks come back in the low bits.
    [[gnu::always_inline]] void block(const char* bytes, unsigned kept, bool lower_marks,
                                      std::array<unsigned, 4>& marks) noexcept {
        alignas(16) static constexpr std::uint8_t kKeep[32] = {
            0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        __m128i chunk = load_block(bytes);
        if (kept < 16) chunk = _mm_and_si128(chunk, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + kept)));
        const __m128i folded = either_case(chunk);
        const __m128i is_a = is_byte(folded, 'a'), is_c = is_byte(folded, 'c'), is_g = is_byte(folded, 'g');
        const __m128i is_t = is_byte(folded, 't'), is_n = is_byte(folded, 'n');
        const __m128i is_lower = lowercase_bytes(chunk);
        a = _mm_sub_epi8(a, is_a);
        c = _mm_sub_epi8(c, is_c);
        g = _mm_sub_epi8(g, is_g);
        t = _mm_sub_epi8(t, is_t);
        n = _mm_sub_epi8(n, is_n);
        lower = _mm_sub_epi8(lower, is_lower);
        lower_gc = _mm_sub_epi8(lower_gc, _mm_and_si128(is_lower, _mm_or_si128(is_c, is_g)));
        const unsigned known = bits_of(_mm_or_si128(_mm_or_si128(_mm_or_si128(is_a, is_c), _mm_or_si128(is_g, is_t)), is_n));
        const unsigned all = kept < 16 ? 0xFFFFu & ~(0xFFFFu >> kept) : 0xFFFFu;
        // Nearly every block of an assembly is all A, C, G, T and N: the ten
        // other codes are looked for only where something else is.
        if (known != all) [[unlikely]] {
            __m128i codes = is_byte(folded, 'r');
            for (const char code : {'y', 's', 'w', 'k', 'm', 'b', 'd', 'h', 'v'}) {
                codes = _mm_or_si128(codes, is_byte(folded, code));
            }
            iupac = _mm_sub_epi8(iupac, codes);
        }
        const unsigned shift = 16 - kept;
        marks = {bits_of(is_c) >> shift, bits_of(is_g) >> shift, bits_of(is_n) >> shift,
                 lower_marks ? bits_of(is_lower) >> shift : 0u};
        ++blocks;
    }
};
#endif

// A piece of up to 64 bytes of one line: counted into `tally` (through
// `lanes` where they exist), its marks returned.
[[gnu::always_inline]] inline PieceMarks count_piece(const char* bytes, std::size_t size, bool lower_marks,
                                                    Tally& tally, [[maybe_unused]] void* lanes_or_null) {
    PieceMarks marks;
#if defined(__SSE2__)
    if (size >= 16) {
        Lanes& lanes = *static_cast<Lanes*>(lanes_or_null);
        if (lanes.blocks > 250) lanes.drain(tally);
        std::array<unsigned, 4> block{};
        std::size_t i = 0;
        const auto add = [&](std::size_t at) {
            marks.c |= std::uint64_t{block[0]} << at;
            marks.g |= std::uint64_t{block[1]} << at;
            marks.n |= std::uint64_t{block[2]} << at;
            marks.lower |= std::uint64_t{block[3]} << at;
        };
        for (; i + 16 <= size; i += 16) {
            lanes.block(bytes + i, 16, lower_marks, block);
            add(i);
        }
        if (i < size) {
            lanes.block(bytes + size - 16, static_cast<unsigned>(size - i), lower_marks, block);
            add(i);
        }
        return marks;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) tally_byte(bytes[i], i, tally, marks);
    return marks;
}

inline std::uint64_t ones(std::uint64_t word) noexcept { return static_cast<std::uint64_t>(__builtin_popcountll(word)); }

// A kind of byte followed through a record: whether the byte before the
// current 64 is one, and where its run started.
struct Runs {
    bool open = false;
    std::uint64_t start = 0;
};

// ended(start, end) for every run of marked bytes that ends inside this
// piece of `size` bytes at record position `at`. The edges of runs are the
// bits where the mask differs from itself shifted by one byte; an assembly
// has few, so they are walked one by one.
template <class Ended>
[[gnu::always_inline]] inline void follow(std::uint64_t mask, std::size_t size, std::uint64_t at, Runs& runs,
                                          Ended&& ended) {
    const std::uint64_t valid = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    std::uint64_t edges = (mask ^ ((mask << 1) | std::uint64_t{runs.open})) & valid;
    while (edges != 0) {
        const auto i = static_cast<unsigned>(__builtin_ctzll(edges));
        edges &= edges - 1;
        if ((mask >> i) & 1) {
            runs.start = at + i;
        } else {
            ended(runs.start, at + i);
        }
    }
    runs.open = ((mask >> (size - 1)) & 1) != 0;
}

// A long record calls back every MiB or so (a record may be one line of
// 200 MiB).
constexpr std::uint64_t kCheckpointBases = 1 << 20;

using Counts = std::array<std::uint64_t, kStatsColumns>;

// One record's walk, fed its lines as the reader finds them: a long record
// is counted a MiB at a time while its bytes are still in the cache (read
// again from memory after the whole record was gathered, they cost more
// than the counting). Runs go to on_run(is_n, start, end).
struct RecordWalk {
    Tally tally;
#if defined(__SSE2__)
    Lanes lanes;
#endif
    std::uint64_t length = 0;
    std::uint64_t cpg = 0;
    std::uint64_t c_before = 0;  // whether the byte before this piece is C/c
    Runs ns;
    Runs lowers;
    std::uint64_t next_checkpoint = kCheckpointBases;
    std::size_t lines_done = 0;

    Counts finish(const std::function<void(bool, std::uint64_t, std::uint64_t)>& on_run) {
#if defined(__SSE2__)
        lanes.drain(tally);
#endif
        if (ns.open) on_run(true, ns.start, length);
        if (lowers.open) on_run(false, lowers.start, length);
        Counts counts{};
        using C = StatsColumn;
        const auto at = [&](StatsColumn column) -> std::uint64_t& { return counts[static_cast<std::size_t>(column)]; };
        at(C::Length) = length;
        at(C::A) = tally.a;
        at(C::C) = tally.c;
        at(C::G) = tally.g;
        at(C::T) = tally.t;
        at(C::N) = tally.n;
        at(C::Iupac) = tally.iupac;
        at(C::Other) = length - tally.a - tally.c - tally.g - tally.t - tally.n - tally.iupac;
        at(C::Lowercase) = tally.lower;
        at(C::Cpg) = cpg;
        at(C::UpperGc) = tally.c + tally.g - tally.lower_gc;
        return counts;
    }
};

// The lines of `lines` not walked yet. The state is copied into locals and
// back, so that the loop keeps it in registers.
[[gnu::always_inline]] inline void walk(RecordWalk& walk, const fasta::SequenceLines& lines, bool lower_runs,
                                        const std::function<void(bool, std::uint64_t, std::uint64_t)>& on_run,
                                        const std::function<void()>& checkpoint) {
    Tally tally = walk.tally;
#if defined(__SSE2__)
    Lanes lanes = walk.lanes;
    void* lanes_or_null = &lanes;
#else
    void* lanes_or_null = nullptr;
#endif
    std::uint64_t length = walk.length;
    std::uint64_t cpg = walk.cpg;
    std::uint64_t c_before = walk.c_before;
    Runs ns = walk.ns;
    Runs lowers = walk.lowers;
    std::uint64_t next_checkpoint = walk.next_checkpoint;
    const auto n_run = [&](std::uint64_t start, std::uint64_t end) { on_run(true, start, end); };
    const auto lower_run = [&](std::uint64_t start, std::uint64_t end) { on_run(false, start, end); };
    for (auto line_at = lines.from(walk.lines_done); line_at != lines.end(); ++line_at) {
        const std::string_view line = *line_at;
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            if (length >= next_checkpoint) [[unlikely]] {
                next_checkpoint = length + kCheckpointBases;
                checkpoint();
            }
            const std::size_t size = left < 64 ? left : 64;
            const PieceMarks marks = count_piece(bytes, size, lower_runs, tally, lanes_or_null);
            cpg += ones(((marks.c << 1) | c_before) & marks.g);
            c_before = marks.c >> (size - 1);
            if ((marks.n | std::uint64_t{ns.open}) != 0) follow(marks.n, size, length, ns, n_run);
            if (lower_runs && (marks.lower | std::uint64_t{lowers.open}) != 0) {
                follow(marks.lower, size, length, lowers, lower_run);
            }
            length += size;
            bytes += size;
            left -= size;
        }
    }
    walk.lines_done = lines.size();
    walk.tally = tally;
#if defined(__SSE2__)
    walk.lanes = lanes;
#endif
    walk.length = length;
    walk.cpg = cpg;
    walk.c_before = c_before;
    walk.ns = ns;
    walk.lowers = lowers;
    walk.next_checkpoint = next_checkpoint;
}

// The same walk built twice, for CPUs with and without popcnt.
using OnRun = std::function<void(bool, std::uint64_t, std::uint64_t)>;
__attribute__((target("popcnt"))) inline void walk_popcnt(RecordWalk& state, const fasta::SequenceLines& lines,
                                                   bool lower_runs, const OnRun& on_run,
                                                   const std::function<void()>& checkpoint) {
    walk(state, lines, lower_runs, on_run, checkpoint);
}
inline void walk_portable(RecordWalk& state, const fasta::SequenceLines& lines, bool lower_runs, const OnRun& on_run,
                   const std::function<void()>& checkpoint) {
    walk(state, lines, lower_runs, on_run, checkpoint);
}

}  // namespace seqtally::core::stats_walk
