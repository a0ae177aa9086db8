"""nuc: the base composition of BED intervals, as bedtools nuc prints it."""
from __future__ import annotations

import argparse

from seqtally_tools import FastaFile, Progress, write_nuc

from ._reference import interval_status
from ._work import Bar, Commands, UsageError, in_a_thread


def _run_nuc(options: argparse.Namespace) -> int:
    if options.pattern == "":
        raise UsageError("--pattern needs at least one letter")

    def work(progress: Progress, bar: Bar) -> int:
        with FastaFile(options.input) as fasta:
            return interval_status(options.bed, write_nuc(fasta, options.bed, strand=options.strand, seq=options.seq,
                                                          pattern=options.pattern, ignore_case=options.ignore_case,
                                                          progress=progress))

    return in_a_thread(work, [], True)


def register(commands: Commands) -> None:
    command = commands.add_parser(
        "nuc",
        help="base composition of BED intervals, as bedtools nuc prints it",
        description="Prints what bedtools nuc -fi FASTA -bed BED prints: a header, then per interval its BED "
        "columns, pct_at and pct_gc (over the whole interval: N and other bytes count in the denominator), the "
        "counts of A, C, G, T and N (either case) and of other bytes, and the length. Intervals may be unsorted "
        "and overlap; memory stays within the largest interval. An interval on an unknown sequence or past its "
        "end is said on standard error naming its line, the others are still printed, and the exit status is 1.")
    command.add_argument("input", metavar="FASTA", help="FASTA file: plain or BGZF")
    command.add_argument("bed", metavar="BED", help="BED file (BED3 to BED12); - for standard input")
    command.add_argument("-s", "--strand", action="store_true",
                         help="count intervals on - reverse complemented (bedtools -s)")
    command.add_argument("--seq", action="store_true", help="the bases too, as a last column (bedtools -seq)")
    command.add_argument("--pattern", metavar="P",
                         help="count occurrences of P, overlapping ones too (bedtools -pattern)")
    command.add_argument("-C", "--ignore-case", action="store_true",
                         help="with --pattern: case does not matter (bedtools -C)")
    command.set_defaults(run=_run_nuc)
