"""stats: an assembly's lengths, bases, gaps and N50, per file or per
record; its N gaps and lowercase runs as BED."""
from __future__ import annotations

import argparse
from collections.abc import Iterator

from seqtally_tools import FileStats, Progress, check_stats_arguments, record_rows, stats, stats_files

from ._work import Bar, Commands, UsageError, emit, encode, in_a_thread, positive, quiet_argument, sizes_of

_COUNTS = ("records", "length", "A", "C", "G", "T", "N", "iupac", "other", "lowercase", "cpg", "gc_upper", "gc_acgt",
           "gaps", "gap_length")
_RECORD_COUNTS = ("length", "A", "C", "G", "T", "N", "iupac", "other", "lowercase", "cpg", "gc_upper", "gc_acgt",
                  "gaps", "gap_length", "included")
# Undefined shares (no bases to divide by) in TSV: what R and pandas read as missing.
_MISSING = "NA"


def _cell(value: object) -> str:
    if value is None:
        return _MISSING
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.6f}"
    return str(value)


def _nx_columns(nx: tuple[int, ...]) -> list[str]:
    return [key for x in nx for key in (f"n{x}", f"l{x}")]


def _file_lines(done: FileStats, nx: tuple[int, ...], header: bool) -> Iterator[str]:
    shown = done.as_dict()
    keys = ["file", *_COUNTS, *_nx_columns(nx), "aun", "effective_size"]
    if header:
        yield "\t".join(keys) + "\n"
    shown["aun"] = f"{done.aun:.2f}"
    yield "\t".join(_cell(shown[key]) for key in keys) + "\n"


def _record_lines(done: FileStats, header: bool) -> Iterator[str]:
    if header:
        yield "\t".join(("file", "name", *_RECORD_COUNTS)) + "\n"
    for row in record_rows(done):
        yield "\t".join((done.file, str(row["name"]), *(_cell(row[key]) for key in _RECORD_COUNTS))) + "\n"


def _parse_nx(text: str) -> tuple[int, ...]:
    try:
        values = tuple(int(part) for part in text.split(",") if part.strip())
        check_stats_arguments(nx=values)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"a comma-separated list of whole numbers from 1 to 100: {text}") from error
    return values


def _run_stats(options: argparse.Namespace) -> int:
    paths = list(options.files)
    if paths.count("-") > 1:
        raise UsageError("standard input can be read only once")
    if (options.gaps or options.masked) and len(paths) > 1:
        raise UsageError("--gaps and --masked take the runs of one FASTA file")
    try:
        check_stats_arguments(min_gap=options.min_gap, exclude=options.exclude)
    except ValueError as error:
        raise UsageError(str(error).replace("min_gap", "--min-gap").replace("exclude", "--exclude")) from None
    # 50 and 90 always, then the others in the order asked.
    nx = tuple(dict.fromkeys((50, 90, *options.nx)))

    def work(progress: Progress, bar: Bar) -> int:
        if len(paths) == 1:
            done_files: Iterator[FileStats] = iter([stats(
                paths[0], min_gap=options.min_gap, nx=nx, exclude=options.exclude, exclude_bed=options.exclude_bed,
                gaps=options.gaps, masked=options.masked, progress=progress)])
        else:
            done_files = stats_files(paths, jobs=options.jobs, min_gap=options.min_gap, nx=nx,
                                     exclude=options.exclude, exclude_bed=options.exclude_bed, progress=progress)
        if options.json:
            import json

            every = []
            for done in done_files:
                bar.files_done += 1
                every.append(done.as_dict(records=options.records))
            emit(encode(json.dumps(every, indent=2, ensure_ascii=False) + "\n"))
            return 0
        # Each file's lines as soon as it and those before it are done.
        header = True
        for done in done_files:
            bar.files_done += 1
            lines = _record_lines(done, header) if options.records else _file_lines(done, nx, header)
            emit(encode("".join(lines)))
            header = False
        return 0

    return in_a_thread(work, sizes_of(paths), options.quiet)


def register(commands: Commands) -> None:
    command = commands.add_parser(
        "stats",
        help="lengths, bases, soft-masked share, CpG, N gaps, N50 and effective size of FASTA files",
        description="Counts, in one read of each file: records and bases; A, C, G, T and N (either case); other "
        "IUPAC codes (R Y S W K M B D H V) and other bytes apart; lowercase (soft-masked) letters; CpG (C then G, "
        "either case); G/C shares as seqtally gc counts them (gc_upper: the bytes G and C over every byte; "
        "gc_acgt: G and C over A, C, G, T, either case); N gaps (maximal runs of N/n, at least --min-gap long, at a "
        "record's ends too); N50, L50, N90, L90 (lengths from the longest, the first reaching that share of the "
        "total, as seqkit stats computes N50), auN (sum of squared lengths over the total); the effective genome "
        "size (bases other than N). TSV with a header line (NA for a share with nothing to divide by), or JSON. "
        "Input plain or gzip (told by content), - for standard input.")
    command.add_argument("files", nargs="+", metavar="FASTA", help="FASTA files, plain or gzip; - for standard input")
    command.add_argument("--records", action="store_true",
                         help="a row per record instead of per file (JSON: each file's records under records_detail)")
    command.add_argument("--json", action="store_true", help="a JSON array, one object per file")
    command.add_argument("--jobs", "-j", type=positive, default=1, metavar="N", help="files read at once (default 1)")
    command.add_argument("--nx", type=_parse_nx, default=(), metavar="X,Y,...",
                         help="Nx and Lx for these shares too (1-100), besides 50 and 90")
    command.add_argument("--min-gap", type=int, default=1, metavar="N",
                         help="the shortest run of N counted as a gap (default 1)")
    command.add_argument("--exclude", metavar="REGEX",
                         help="leave records whose name this finds (Python's re.search) out of the effective size, "
                         "e.g. '_alt$|^HLA-|_decoy$|^chrEBV$'")
    command.add_argument("--exclude-bed", metavar="BED",
                         help="leave the bases of these intervals out of the effective size (overlaps once); a line "
                         "on a contig the file lacks, or past its end, is an error")
    command.add_argument("--gaps", metavar="BED", help="write the gaps as BED3 (0-based, file order); - for standard "
                         "output")
    command.add_argument("--masked", metavar="BED", help="write the runs of lowercase letters as BED3")
    quiet_argument(command, "no progress bar (on a terminal)")
    command.set_defaults(run=_run_stats)
