"""The seqtally command: argument parsing, output formats and exit statuses.
The work is done by seqtally_tools in a thread of its own, while the main
thread shows the progress bar and takes Ctrl-C.

Exit status: 0 done, 1 a failure (one line on standard error), 2 a usage
error, 130 Ctrl-C, 141 standard output closed by its reader.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import os
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import Any, TextIO, cast

from seqtally_tools import (
    FastaFile,
    FileChecksums,
    Progress,
    SeqtallyError,
    atomic_output,
    canonical_json,
    checksum,
    checksum_files,
    compare,
    gc_track,
    index,
    load_collection,
    reference_base,
    seqcol_of,
    sequence_dictionary,
    verdict,
)

__all__ = ["main", "checksum_records", "SeqtallyError"]

_FIELDS = ("file", "id", "length", "sha512t24u", "md5")
_INTERRUPTED = 128 + signal.SIGINT
_PIPE_CLOSED = 128 + signal.SIGPIPE
# A bar appears only for runs longer than this; short runs stay quiet.
_BAR_DELAY_SECONDS = 0.5
_TICK_SECONDS = 0.1
# After Ctrl-C, how long the work has to end before the command leaves
# without it: the engine stops within a tick, but a write into a pipe that
# nobody reads would never end.
_STOP_SECONDS = 0.4


def checksum_records(path: str) -> list[dict[str, Any]]:
    """Deprecated, kept for one release: use seqtally_tools.checksum, which
    returns SequenceChecksum records. This gives the same values as
    dictionaries with the keys file, id, length, sha512t24u and md5."""
    warnings.warn("seqtally_cli.checksum_records is deprecated; use seqtally_tools.checksum",
                  DeprecationWarning, stacklevel=2)
    return [{"file": path, **record._asdict()} for record in checksum(path)]


# ---------------------------------------------------------------- output formats


def _encode(text: str) -> bytes:
    # File names that are not UTF-8 come back as the bytes they were.
    return text.encode("utf-8", "surrogateescape")


def _format_checksums(done: FileChecksums, form: str) -> bytes:
    if form == "json":
        import json

        lines = [json.dumps({"file": done.file, **r._asdict()}, ensure_ascii=False) + "\n" for r in done.records]
    else:
        lines = [f"{done.file}\t{r.id}\t{r.length}\t{r.sha512t24u}\t{r.md5}\n" for r in done.records]
    return _encode("".join(lines))


def _format_seqcol(done: FileChecksums, level: str) -> bytes:
    collection = seqcol_of(done.records, level=int(level))
    if isinstance(collection, str):
        return _encode(f"{done.file}\t{collection}\n")
    return canonical_json(collection) + b"\n"


_FORMATTERS: dict[str, Callable[[FileChecksums, str], bytes]] = {
    "checksum": _format_checksums, "seqcol": _format_seqcol}


def _emit(data: bytes) -> None:
    # Straight to the descriptor: a buffered writer that takes part of a
    # large write can drop the error of the rest (a reader that went away).
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


# ---------------------------------------------------------------- the work and the bar


class _Bar:
    """A tqdm bar on standard error (files and bytes done, rate, time left)
    when it is a terminal, fed from the engine's byte count. Messages of
    the work pass above it, whole lines at a time."""

    def __init__(self, progress: Progress, sizes: Sequence[int], enabled: bool) -> None:
        self._progress = progress
        self._files = len(sizes)
        self.files_done = 0
        self._bar: Any = None
        self._held = ""
        if enabled and sys.stderr is not None and sys.stderr.isatty():
            from tqdm import tqdm

            tqdm.monitor_interval = 0  # the main thread refreshes it anyway
            self._stderr = sys.stderr
            self._tqdm = tqdm
            self._bar = tqdm(total=sum(sizes) or None, unit="B", unit_scale=True, unit_divisor=1024,
                             delay=_BAR_DELAY_SECONDS, file=sys.stderr, dynamic_ncols=True, leave=False)

    def tick(self) -> None:
        if self._bar is None:
            return
        self._bar.set_postfix_str(f"files {self.files_done}/{self._files}", refresh=False)
        done = self._progress.bytes_read
        if self._bar.total:
            done = min(done, self._bar.total)
        self._bar.update(done - self._bar.n)

    @contextlib.contextmanager
    def messages(self) -> Iterator[None]:
        """sys.stderr, for the work's messages, goes above the bar."""
        if self._bar is None:
            yield
            return
        with contextlib.redirect_stderr(cast(TextIO, self)):
            yield
        if self._held:
            self._stderr.write(self._held)

    def write(self, text: str) -> int:
        lines = (self._held + text).split("\n")
        self._held = lines.pop()
        for line in lines:
            self._tqdm.write(line, file=self._stderr)
        return len(text)

    def flush(self) -> None:
        self._stderr.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _sizes_of(paths: Sequence[str]) -> list[int]:
    """On-disk sizes (compressed, as the engine counts them); 0 for what
    has none (standard input, a pipe, a missing file)."""
    sizes = []
    for path in paths:
        try:
            sizes.append(os.stat(path).st_size if path != "-" else 0)
        except (OSError, ValueError):
            sizes.append(0)
    return sizes


def _in_a_thread(work: Callable[[Progress, _Bar], int], sizes: Sequence[int], quiet: bool) -> int:
    """work(progress, bar) in a thread; here, the bar, and Ctrl-C (or
    SIGTERM): the work is cancelled, and what it leaves is its to clean."""
    progress = Progress()
    bar = _Bar(progress, sizes, enabled=not quiet)
    outcome: list[tuple[bool, Any]] = []
    # Waited for instead of the thread: a Thread.join that Ctrl-C
    # interrupts takes the thread for ended, and later joins return at once.
    ended = threading.Event()

    def run() -> None:
        try:
            outcome.append((True, work(progress, bar)))
        except BaseException as error:  # noqa: BLE001 - handed to the main thread as it is
            outcome.append((False, error))
        finally:
            ended.set()

    try:
        with bar.messages():
            threading.Thread(target=run, name="seqtally-work", daemon=True).start()
            while not ended.wait(_TICK_SECONDS):
                bar.tick()
    except BaseException as error:
        progress.cancel()
        if not ended.wait(_STOP_SECONDS):
            # The work goes on regardless (a write into a pipe that nobody
            # reads, say): leave it. Ending the interpreter around a thread
            # that is still in the engine would not end cleanly.
            bar.close()
            with contextlib.suppress(Exception):
                sys.stderr.flush()
            code = error.code if isinstance(error, SystemExit) else None
            os._exit(code if isinstance(code, int) else _INTERRUPTED)
        raise
    finally:
        bar.close()
    succeeded, value = outcome[0]
    if succeeded:
        return int(value)
    raise value


# ---------------------------------------------------------------- commands


def _run_checksum(options: argparse.Namespace) -> int:
    header = "\t".join(_FIELDS) + "\n" if options.format == "tsv" else ""
    return _run_files(options, "checksum", options.format, header)


def _run_seqcol(options: argparse.Namespace) -> int:
    return _run_files(options, "seqcol", options.level, "file\tseqcol\n" if options.level == "0" else "")


def _run_files(options: argparse.Namespace, kind: str, form: str, header_text: str) -> int:
    """Lines per file, in input order, each file's as soon as it and those
    before it are done."""
    paths = list(options.files)
    if options.files_from is not None:
        paths += _read_file_list(options.files_from)
    if not paths:
        raise _UsageError("no input files")
    if paths.count("-") + (options.files_from == "-") > 1:
        raise _UsageError("standard input can be read only once")
    formatter = _FORMATTERS[kind]

    def work(progress: Progress, bar: _Bar) -> int:
        # The header goes out with the first lines, or at the end of a run
        # that succeeded: a run that fails before any result prints nothing.
        header = _encode(header_text)
        for done in checksum_files(paths, jobs=options.jobs, progress=progress):
            bar.files_done += 1
            lines = formatter(done, form)
            if lines:
                _emit(header + lines)
                header = b""
        _emit(header)
        return 0

    return _in_a_thread(work, _sizes_of(paths), options.quiet)


def _run_compare(options: argparse.Namespace) -> int:
    """Exit status as cmp and diff have it: 0 identical, 1 different, 2 trouble."""
    import json

    sources = [options.a, options.b]
    if sources.count("-") > 1:
        raise _UsageError("standard input can be read only once")

    def work(progress: Progress, bar: _Bar) -> int:
        # Both collections at once, one per core.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            loads = [pool.submit(load_collection, source, progress=progress) for source in sources]
            concurrent.futures.wait(loads, return_when=concurrent.futures.FIRST_EXCEPTION)
            failed = [load for load in loads if load.done() and load.exception() is not None]
            if failed:
                progress.cancel()
                error = failed[0].exception()
                if not isinstance(error, SeqtallyError) or error.kind == "cancelled":
                    raise error  # type: ignore[misc]  # Ctrl-C's, or not a failure of an input
                _fail(error)
                return 2
            a, b = (load.result() for load in loads)
        result = compare(a, b)
        identical = result["digests"]["a"] == result["digests"]["b"]
        if options.format == "json":
            _emit(_encode(json.dumps(result, indent=2, ensure_ascii=False) + "\n"))
        else:
            _emit(_encode(_comparison_text(result, verdict(a, b), sources)))
        return 0 if identical else 1

    return _in_a_thread(work, _sizes_of(sources), options.quiet)


def _comparison_text(result: dict[str, Any], said: str, sources: Sequence[str]) -> str:
    lines = [said, f"A: {sources[0]}  seqcol {result['digests']['a']}",
             f"B: {sources[1]}  seqcol {result['digests']['b']}"]
    elements = result["array_elements"]
    for name in result["attributes"]["a_and_b"]:
        order = elements["a_and_b_same_order"][name]
        order_text = {True: "same order", False: "other order", None: "order not defined"}[order]
        lines.append(f"{name}: A {elements['a_count'][name]}, B {elements['b_count'][name]}, "
                     f"shared {elements['a_and_b_count'][name]} ({order_text})")
    for side in ("a_only", "b_only"):
        if result["attributes"][side]:
            lines.append(f"only in {side[0].upper()}: {', '.join(result['attributes'][side])}")
    return "\n".join(lines) + "\n"


def _dictionary_name(source: str) -> str:
    """The input's name with its FASTA and gzip extensions replaced by .dict."""
    return reference_base(source) + ".dict"


def _run_dict(options: argparse.Namespace) -> int:
    source = options.input
    output = options.output or ("-" if source == "-" else _dictionary_name(source))
    if output != "-" and os.path.lexists(output) and not options.force:
        raise SeqtallyError("exists already; --force replaces it", output)

    def work(progress: Progress, bar: _Bar) -> int:
        made = sequence_dictionary(source, uri=options.uri, assembly=options.assembly, species=options.species,
                                   progress=progress)
        for note in made.notes:
            sys.stderr.write(f"seqtally: note: {note}\n")
        if output == "-":
            _emit(_encode(made.text))
        else:
            with atomic_output(output) as written:
                written.write(_encode(made.text))
        return 0

    return _in_a_thread(work, _sizes_of([source]), options.quiet)


# The default count on input at least this lowercase earns a hint.
_SOFT_MASKED_SHARE = 0.10


def _run_gc(options: argparse.Namespace) -> int:
    if options.skew and options.count is not None:
        raise _UsageError("--skew counts G and C in either case by itself: --count does not apply to it")
    count = options.count or "upper"
    if options.min_acgt is not None and count != "acgt":
        raise _UsageError("--min-acgt applies only to --count acgt")
    counted = {"count": count, "skew": options.skew}
    if options.min_acgt is not None:
        counted["min_acgt"] = options.min_acgt

    def work(progress: Progress, bar: _Bar) -> int:
        summary = gc_track(options.input, options.output, window=options.window, omit_tail=options.omit_tail,
                           chrom_sizes=options.chrom_sizes, level=options.level, gzip=options.gzip or None,
                           verbose=not options.quiet, format=options.format, track_line=options.track_line,
                           progress=progress, **counted)
        if (count == "upper" and not options.skew and not options.quiet and summary.bases
                and summary.lowercase >= _SOFT_MASKED_SHARE * summary.bases):
            sys.stderr.write(f"seqtally: hint: {summary.lowercase / summary.bases:.0%} of the sequence is lowercase "
                             "(soft-masked), which the default count never takes as G or C; --count acgt counts "
                             "G and C in either case and leaves N out\n")
        return 0

    return _in_a_thread(work, _sizes_of([options.input]), options.quiet)


def _run_index(options: argparse.Namespace) -> int:
    def work(progress: Progress, bar: _Bar) -> int:
        try:
            done = index(options.input, force=options.force, progress=progress)
        except SeqtallyError as error:
            if error.message == "exists already":
                error.hint = "--force replaces it"
            raise
        for note in done.notes:
            sys.stderr.write(f"seqtally: note: {note}\n")
        return 0

    return _in_a_thread(work, _sizes_of([options.input]), options.quiet)


def _run_fetch(options: argparse.Namespace) -> int:
    """What samtools faidx prints for each region; a region that fails is
    said on standard error, and the others are still printed."""
    status = 0
    with FastaFile(options.input) as fasta:
        for region in options.regions:
            try:
                reference, start, end = fasta.parse_region(region)
                length = fasta.get_reference_length(reference)
            except (KeyError, ValueError) as error:
                message = str(error.args[0] if error.args else error).removeprefix(f"{region}: ")
                sys.stderr.write(f"seqtally: error: {options.input}: {region}: {message}\n")
                status = 1
                continue
            _emit(_encode(f">{region}\n"))
            for lines in fasta.wrapped(reference, start, end):
                _emit(_encode(lines))
            if (start or 0) >= length:
                sys.stderr.write(f"seqtally: note: {region}: starts after the end of {reference} ({length} bases): "
                                 "no bases\n")
            elif end is not None and end > length:
                sys.stderr.write(f"seqtally: note: {region}: cut at the end of {reference} ({length} bases)\n")
    return status


class _UsageError(Exception):
    pass


def _read_file_list(source: str) -> list[str]:
    try:
        if source == "-":
            text = sys.stdin.buffer.read()
        else:
            with open(source, "rb") as listing:
                text = listing.read()
    except OSError as error:
        raise SeqtallyError(f"cannot read the list of files: {error.strerror}", source) from None
    return [os.fsdecode(line) for line in text.splitlines() if line.strip()]


def _fail(error: SeqtallyError) -> int:
    if sys.stderr is not None:
        sys.stderr.write(f"seqtally: error: {error.describe()}\n")
        sys.stderr.flush()
    return 1


# ---------------------------------------------------------------- arguments


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1: {text}")
    return value


def _level(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 9:
        raise argparse.ArgumentTypeError(f"must be from 0 to 9: {text}")
    return value


class _Version(argparse.Action):
    # Looked up only when asked for: importlib.metadata costs every run 30 ms.
    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        from importlib import metadata

        print(f"{parser.prog} {metadata.version('seqtally')}")
        parser.exit()


def _file_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="*", metavar="FILE", help="FASTA files, plain or gzip; - for standard input")
    command.add_argument("--files-from", metavar="LIST",
                         help="also read the paths in LIST, one per line (- for standard input)")
    command.add_argument("--jobs", "-j", type=_positive, default=1, metavar="N",
                         help="threads; output stays in input order")
    _quiet_argument(command)


def _quiet_argument(command: argparse.ArgumentParser, what: str = "no progress bar") -> None:
    command.add_argument("--quiet", "-q", action="store_true", help=what)


def _parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="seqtally", description="Checksums, sequence collections, sequence "
                                  "dictionaries and G/C content tracks of FASTA files.")
    top.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    checksum_command = commands.add_parser(
        "checksum",
        help="identifier, length, sha512t24u and md5 of every record",
        description="One line per record: file, id, length, sha512t24u (refget's digest: prefix it with 'SQ.' "
        "for a refget identifier) and md5 of the uppercased sequence. Inputs may be plain or gzip (BGZF too), "
        "told by content; - is standard input.")
    _file_arguments(checksum_command)
    checksum_command.add_argument("--format", choices=("tsv", "json"), default="tsv",
                                  help="tab-separated with a header line (default), or JSON lines")
    checksum_command.set_defaults(run=_run_checksum)

    seqcol_command = commands.add_parser(
        "seqcol",
        help="GA4GH sequence collection digest of every file",
        description="The seqcol digest of each file (names and SQ. sequence digests, in file order), or with "
        "--level 1 the digests of every attribute of seqcol v1.0 (names, lengths, sequences, sorted_sequences, "
        "name_length_pairs, sorted_name_length_pairs), with --level 2 the arrays (canonical JSON, one line per "
        "file; compare reads it back).")
    _file_arguments(seqcol_command)
    seqcol_command.add_argument("--level", choices=("0", "1", "2"), default="0",
                                help="0: file and digest (default); 1 or 2: one JSON object per file")
    seqcol_command.set_defaults(run=_run_seqcol)

    compare_command = commands.add_parser(
        "compare",
        help="are two FASTA files the same assembly? (seqcol comparison)",
        description="Compares two sequence collections, each a FASTA file or a saved 'seqcol --level 2' JSON. "
        "Exit status: 0 identical, 1 different, 2 trouble.")
    compare_command.add_argument("a", metavar="A", help="FASTA file (plain or gzip, - for standard input) or JSON")
    compare_command.add_argument("b", metavar="B", help="FASTA file or JSON")
    compare_command.add_argument("--format", choices=("text", "json"), default="text",
                                 help="a few lines for a person (default), or the standard's comparison object")
    _quiet_argument(compare_command)
    compare_command.set_defaults(run=_run_compare)

    dict_command = commands.add_parser(
        "dict",
        help="sequence dictionary (SAM header), as samtools dict and Picard write it",
        description="Writes @HD and one @SQ line per record (SN, LN, M5, UR; AS and SP when given) to the input's "
        "name with its FASTA and gzip extensions replaced by .dict, or to -o.")
    dict_command.add_argument("input", metavar="FILE", help="FASTA file, plain or gzip; - for standard input")
    dict_command.add_argument("-o", "--output", metavar="OUT", help="where to write it; - for standard output")
    dict_command.add_argument("--uri", help="UR of every @SQ line (default: file: URL of the input's absolute path)")
    dict_command.add_argument("--assembly", help="AS of every @SQ line")
    dict_command.add_argument("--species", help="SP of every @SQ line")
    dict_command.add_argument("--force", action="store_true", help="replace an existing output file")
    _quiet_argument(dict_command)
    dict_command.set_defaults(run=_run_dict)

    index_command = commands.add_parser(
        "index",
        help="FASTA index, BGZF index, dictionary, chrom.sizes and seqcol in one read",
        description="Reads FASTA once and writes beside it FASTA.fai (and FASTA.gzi for BGZF), as samtools faidx "
        "writes them, and BASE.dict, BASE.chrom.sizes and BASE.seqcol.json, BASE being its name without FASTA "
        "and gzip extensions. Plain gzip gets no .fai or .gzi (it cannot be read at random). Files appear only "
        "complete; existing ones are replaced only with --force.")
    index_command.add_argument("input", metavar="FASTA", help="FASTA file: plain, BGZF or gzip")
    index_command.add_argument("--force", action="store_true", help="replace existing files")
    _quiet_argument(index_command)
    index_command.set_defaults(run=_run_index)

    fetch_command = commands.add_parser(
        "fetch",
        help="bases of regions, as samtools faidx prints them",
        description="Prints each REGION (NAME, NAME:BEGIN-END, NAME:BEGIN, 1-based and inclusive; {NAME}:... for "
        "names with colons) as >REGION and its bases 60 a line. Reads FASTA.fai and FASTA.gzi when present, "
        "otherwise indexes the file in memory. A region that fails is said on standard error, the others are "
        "still printed, and the exit status is 1.")
    fetch_command.add_argument("input", metavar="FASTA", help="FASTA file: plain or BGZF")
    fetch_command.add_argument("regions", nargs="+", metavar="REGION", help="regions to print")
    fetch_command.set_defaults(run=_run_fetch)

    gc = commands.add_parser(
        "gc",
        help="G/C percentage of consecutive windows as a wiggle, bedGraph or bigWig track",
        description="Writes the G/C percentage per window as a variableStep wiggle track, or as bedGraph or bigWig "
        "(by OUTPUT's name or --format; intervals 0-based, the last window of a record clipped at its end). The "
        "input may be plain or gzip (told by content), - for standard input. Outputs appear only when complete.")
    gc.add_argument("input", metavar="INPUT", help="FASTA file, plain or gzip; - for standard input")
    gc.add_argument("output", metavar="OUTPUT", help="the track (gzip when its name ends in .gz); - for standard output")
    gc.add_argument("--window", type=_positive, default=100, help="bases per window (default 100)")
    gc.add_argument("--omit-tail", action="store_true", help="leave out the last, shorter window of each record")
    gc.add_argument("--chrom-sizes", metavar="PATH", help="also write a chrom.sizes file")
    gc.add_argument("--level", type=_level, default=6, help="gzip level for a gzip track, 0-9 (default 6)")
    gc.add_argument("--gzip", action="store_true",
                    help="a track on standard output as gzip (the default when it is redirected to a *.gz file)")
    gc.add_argument("--format", choices=("wig", "bedgraph", "bigwig"),
                    help="the track's format (default: by OUTPUT's name: .bw/.bigWig bigWig, .bedGraph/.bg[.gz] "
                    "bedGraph, anything else wiggle)")
    gc.add_argument("--track-line", action="store_true", help="start a bedGraph track with 'track type=bedGraph'")
    gc.add_argument("--count", choices=("upper", "acgt"),
                    help="upper (default): the seqtally module's count, uppercase G and C over every base, whole "
                    "percents; acgt: G and C in either case over A, C, G and T in either case (N left out), one "
                    "decimal, as genome browsers show it")
    gc.add_argument("--min-acgt", type=_share, metavar="F",
                    help="with --count acgt: a window with fewer than this share of A/C/G/T bases has no value "
                    "(no line; a gap in bigWig); default 0.25")
    gc.add_argument("--skew", action="store_true",
                    help="GC skew (G-C)/(G+C) instead of G/C, either case, at most four decimals; no value where "
                    "G+C is 0")
    _quiet_argument(gc, "no progress messages or bar")
    gc.set_defaults(run=_run_gc)
    return top


def _terminate(signum: int, _: FrameType | None) -> None:
    # Like Ctrl-C: the work is cancelled, and temporary files go.
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    options = parser.parse_args(argv)
    previous: Callable[..., Any] | int | None = signal.signal(signal.SIGTERM, _terminate)
    try:
        return int(options.run(options))
    except _UsageError as error:
        parser.error(str(error))
    except SeqtallyError as error:
        return _INTERRUPTED if error.kind == "cancelled" else _fail(error)
    except KeyboardInterrupt:
        return _INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`seqtally checksum ... | head`): end quietly,
        # with the status a process killed by SIGPIPE would have.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _PIPE_CLOSED
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 2  # not reached: parser.error exits


if __name__ == "__main__":
    sys.exit(main())
