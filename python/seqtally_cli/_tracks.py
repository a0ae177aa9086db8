"""gc: G/C tracks (wiggle, bedGraph, bigWig) and chrom.sizes files."""
from __future__ import annotations

import argparse
import sys

from seqtally_tools import Progress, check_gc_arguments, gc_track

from ._work import Bar, Commands, UsageError, in_a_thread, quiet_argument, sizes_of

# The default count on input at least this lowercase earns a hint.
_SOFT_MASKED_SHARE = 0.10


def _run_gc(options: argparse.Namespace) -> int:
    counted = {"window": options.window, "level": options.level, "count": options.count,
               "min_acgt": options.min_acgt, "skew": options.skew}
    try:
        check_gc_arguments(**counted, output=options.output, format=options.format, track_line=options.track_line)
    except (ValueError, OverflowError) as error:
        raise UsageError(str(error)) from None

    def work(progress: Progress, bar: Bar) -> int:
        # Said once for the file, not per record: a draft assembly has
        # 100,000 records.
        summary = gc_track(options.input, options.output, omit_tail=options.omit_tail,
                           chrom_sizes=options.chrom_sizes, gzip=options.gzip or None, format=options.format,
                           track_line=options.track_line, progress=progress, **counted)
        bar.file_done("standard input" if options.input == "-" else options.input, f"{summary.bases} bases")
        if (options.count in (None, "upper") and not options.skew and not options.quiet and summary.bases
                and summary.lowercase >= _SOFT_MASKED_SHARE * summary.bases):
            sys.stderr.write(f"seqtally: hint: {summary.lowercase / summary.bases:.0%} of the sequence is lowercase "
                             "(soft-masked), which the default count never takes as G or C; --count acgt counts "
                             "G and C in either case and leaves N out\n")
        return 0

    return in_a_thread(work, sizes_of([options.input]), options.quiet)


def register(commands: Commands) -> None:
    gc = commands.add_parser(
        "gc",
        help="G/C percentage of consecutive windows as a wiggle, bedGraph or bigWig track",
        description="Writes the G/C percentage per window as a variableStep wiggle track, or as bedGraph or bigWig "
        "(by OUTPUT's name or --format; intervals 0-based, the last window of a record clipped at its end). The "
        "input may be plain or gzip (told by content), - for standard input. Outputs appear only when complete.")
    gc.add_argument("input", metavar="INPUT", help="FASTA file, plain or gzip; - for standard input")
    gc.add_argument("output", metavar="OUTPUT",
                    help="the track (BGZF gzip when its name ends in .gz; a .gz bedGraph track also gets its tabix "
                    "index, OUTPUT.tbi, or OUTPUT.csi when a record is longer than 2^29 bases); - for standard output")
    gc.add_argument("--window", type=int, default=100, help="bases per window (default 100)")
    gc.add_argument("--omit-tail", action="store_true", help="leave out the last, shorter window of each record")
    gc.add_argument("--chrom-sizes", metavar="PATH", help="also write a chrom.sizes file")
    gc.add_argument("--level", type=int, default=-1, choices=range(10), metavar="N",
                    help="compression level of a gzip track, 0 to 9, as bgzip -l (default 5, as index --bgzip)")
    gc.add_argument("--gzip", action="store_true",
                    help="a track on standard output as gzip (the default when it is redirected to a *.gz file)")
    gc.add_argument("--format", choices=("wig", "bedgraph", "bigwig"),
                    help="the track's format (default: by OUTPUT's name: .bw/.bigWig bigWig, .bedGraph/.bg[.gz] "
                    "bedGraph, anything else wiggle)")
    gc.add_argument("--track-line", action="store_true",
                    help="start a bedGraph track with 'track type=bedGraph' (not a .gz file: its tabix index "
                    "would read the line as data)")
    gc.add_argument("--count", choices=("upper", "acgt"),
                    help="upper (default): the seqtally module's count, uppercase G and C over every base, whole "
                    "percents; acgt: G and C in either case over A, C, G and T in either case (N left out), one "
                    "decimal, as genome browsers show it")
    gc.add_argument("--min-acgt", type=float, metavar="F",
                    help="with --count acgt: a window with fewer than this share of A/C/G/T bases has no value "
                    "(no line; a gap in bigWig); default 0.25")
    gc.add_argument("--skew", action="store_true",
                    help="GC skew (G-C)/(G+C) instead of G/C, either case, at most four decimals; no value where "
                    "G+C is 0")
    quiet_argument(gc, "no progress bar (on a terminal) or line for the file (otherwise)")
    gc.set_defaults(run=_run_gc)
