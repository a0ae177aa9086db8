"""The seqtally command: argument parsing, output formats and exit statuses.
The work is done by seqtally_tools, in worker processes, so that Ctrl-C
ends a run at once and a progress bar can move while a call runs.

Exit status: 0 done, 1 a failure (one line on standard error), 2 a usage
error, 130 Ctrl-C, 141 standard output closed by its reader.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from seqtally_tools._gc import GcJob

from seqtally_tools import SeqtallyError, checksum
from seqtally_tools._batches import batches, sizes_of
from seqtally_tools import _progress
from seqtally_tools._checksum import FileChecksums, checksum_batch, checksum_plain
from seqtally_tools._inputs import describe, inherited_fds, plain_input
from seqtally_tools._progress import Meter
from seqtally_tools._helper import write_all
from seqtally_tools._workers import WorkerPool

__all__ = ["main", "checksum_records", "SeqtallyError"]

_FIELDS = ("file", "id", "length", "sha512t24u", "md5")
_INTERRUPTED = 128 + signal.SIGINT
_PIPE_CLOSED = 128 + signal.SIGPIPE
# A bar appears only for runs longer than this; short runs stay quiet.
_BAR_DELAY_SECONDS = 0.5


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


def _format_checksums(files: Sequence[FileChecksums], form: str) -> bytes:
    if form == "json":
        import json

        lines = [json.dumps({"file": f.file, **r._asdict()}, ensure_ascii=False) + "\n"
                 for f in files for r in f.records]
    else:
        lines = [f"{f.file}\t{r.id}\t{r.length}\t{r.sha512t24u}\t{r.md5}\n" for f in files for r in f.records]
    return _encode("".join(lines))


def _format_seqcols(files: Sequence[FileChecksums], level: str) -> bytes:
    from seqtally_tools import canonical_json
    from seqtally_tools._seqcol import at_level, level2_of

    lines = []
    for f in files:
        collection = at_level(level2_of(f.records), int(level))
        if isinstance(collection, str):
            lines.append(_encode(f"{f.file}\t{collection}\n"))
        else:
            lines.append(canonical_json(collection) + b"\n")
    return b"".join(lines)


_FORMATTERS: dict[str, Callable[[Sequence[FileChecksums], str], bytes]] = {
    "checksum": _format_checksums, "seqcol": _format_seqcols}


def _batch_lines(first: int, paths: Sequence[str], kind: str, form: str) -> tuple[bytes, SeqtallyError | None]:
    """In a worker: a batch's output lines, formatted there and not here, so
    that formatting runs on as many cores as the digests."""
    done, failure = checksum_batch(first, paths)
    return _FORMATTERS[kind](done, form), failure


def _file_lines(plain: str, source: str, kind: str, form: str) -> tuple[bytes, SeqtallyError | None]:
    """In a worker: one file that the command's process opened."""
    _progress.file_started(0)
    try:
        return _FORMATTERS[kind]([FileChecksums(source, checksum_plain(plain, describe(source)))], form), None
    except SeqtallyError as error:
        return b"", error


def _run_gc_job(job: GcJob, plain: str | None) -> None:
    job.run(plain)


# ---------------------------------------------------------------- progress


class _Progress:
    """A tqdm bar on standard error (files and bytes done, rate, time left)
    when it is a terminal; what workers write on standard error passes
    above the bar, whole lines at a time."""

    def __init__(self, sizes: Sequence[int], enabled: bool) -> None:
        self.meter = Meter(sizes)
        self._files = len(sizes)
        self._held = b""
        self._bar: Any = None
        if enabled and sys.stderr is not None and sys.stderr.isatty():
            from tqdm import tqdm

            # Its monitor thread would make the pool start its workers as
            # new interpreters rather than forks.
            tqdm.monitor_interval = 0
            self._tqdm = tqdm
            self._bar = tqdm(total=sum(sizes) or None, unit="B", unit_scale=True, unit_divisor=1024,
                             delay=_BAR_DELAY_SECONDS, file=sys.stderr, dynamic_ncols=True, leave=False)

    def tick(self) -> None:
        if self._bar is None:
            return
        self._bar.set_postfix_str(f"files {self.meter.files_done}/{self._files}", refresh=False)
        self._bar.update(self.meter.bytes_done - self._bar.n)

    def stderr(self, data: bytes) -> None:
        if self._bar is None:
            write_all(2, data)
            return
        lines = (self._held + data).split(b"\n")
        self._held = lines.pop()
        for line in lines:
            self._tqdm.write(line.decode(errors="replace"), file=sys.stderr)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
            if self._held:
                write_all(2, self._held)
                self._held = b""

    def pool(self, jobs: int, plain: str | None = None) -> WorkerPool:
        """Workers; `plain`: an input opened here, which they inherit."""
        return WorkerPool(jobs, stderr_sink=self.stderr, meter=None if self._bar is None else self.meter,
                          on_tick=self.tick, pass_fds=() if plain is None else inherited_fds(plain))

    @contextlib.contextmanager
    def opened(self, source: str, *, avoid_gz_name: bool = False) -> Iterator[str]:
        """The run's only input, opened here: inflating starts while the
        worker does, and its first records are ready when the call begins."""
        _progress.install(lambda note: self.meter.reader(0, note[1]) if note[0] == "watch" else None)
        try:
            with plain_input(source, avoid_gz_name=avoid_gz_name) as plain:
                yield plain
        finally:
            _progress.install(None)


# ---------------------------------------------------------------- commands


def _run_checksum(options: argparse.Namespace) -> int:
    header = "\t".join(_FIELDS) + "\n" if options.format == "tsv" else ""
    return _run_files(options, "checksum", options.format, header)


def _run_seqcol(options: argparse.Namespace) -> int:
    return _run_files(options, "seqcol", options.level, "file\tseqcol\n" if options.level == "0" else "")


def _run_files(options: argparse.Namespace, kind: str, form: str, header_text: str) -> int:
    """Lines per file, in input order, from worker processes."""
    paths = list(options.files)
    if options.files_from is not None:
        paths += _read_file_list(options.files_from)
    if not paths:
        raise _UsageError("no input files")
    if paths.count("-") + (options.files_from == "-") > 1:
        raise _UsageError("standard input can be read only once")
    sizes = sizes_of(paths)
    # The header goes out with the first lines, or at the end of a run that
    # succeeded: a run that fails before any result prints nothing.
    header = _encode(header_text)
    progress = _Progress(sizes, enabled=not options.quiet)
    if len(paths) == 1:
        try:
            with progress.opened(paths[0]) as plain, progress.pool(1, plain) as pool:
                (lines, failure), = pool.map(_file_lines, [(plain, paths[0], kind, form)], [range(1)])
                if failure is not None:
                    raise failure
                # A damaged gzip input is known only as the block ends: the
                # lines wait for it.
        finally:
            progress.close()
        _emit(header + lines)
        return 0
    tasks = [(first, batch, kind, form) for first, batch in batches(paths, sizes, options.jobs)]
    spans = [range(first, first + len(batch)) for first, batch, _, _ in tasks]
    try:
        with progress.pool(min(options.jobs, len(tasks))) as pool:
            for lines, failure in pool.map(_batch_lines, tasks, spans):
                if lines:
                    _emit(header + lines)
                    header = b""
                if failure is not None:
                    progress.close()
                    return _fail(failure, pool.at_line_start)
    finally:
        progress.close()
    _emit(header)
    return 0


def _load_collection(source: str) -> Any:
    from seqtally_tools._seqcol import load_collection

    return load_collection(source)


def _run_compare(options: argparse.Namespace) -> int:
    """Exit status as cmp and diff have it: 0 identical, 1 different, 2 trouble."""
    import json

    from seqtally_tools._seqcol import comparison, verdict

    sources = [options.a, options.b]
    if sources.count("-") > 1:
        raise _UsageError("standard input can be read only once")
    progress = _Progress(sizes_of(sources), enabled=not options.quiet)
    try:
        # Both collections at once, one per core.
        with progress.pool(2) as pool:
            a, b = pool.map(_load_collection, [(source,) for source in sources], [range(0, 1), range(1, 2)])
    except SeqtallyError as error:
        progress.close()
        _fail(error)
        return 2
    finally:
        progress.close()
    result = comparison(a, b)
    identical = result["digests"]["a"] == result["digests"]["b"]
    if options.format == "json":
        _emit(_encode(json.dumps(result, indent=2, ensure_ascii=False) + "\n"))
    else:
        _emit(_encode(_comparison_text(result, verdict(a, b), sources)))
    return 0 if identical else 1


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


_DICT_SUFFIXES = (".fa", ".fasta", ".fna", ".fas", ".fsa", ".ffn", ".frn", ".mfa", ".seq")
_GZIP_SUFFIXES = (".gz", ".bgz", ".bgzf")


def _dictionary_name(source: str) -> str:
    """The input's name with its FASTA and gzip extensions replaced by .dict."""
    name = source
    for suffixes in (_GZIP_SUFFIXES, _DICT_SUFFIXES):
        for suffix in suffixes:
            if name.lower().endswith(suffix) and len(name) > len(suffix):
                name = name[:-len(suffix)]
                break
    return name + ".dict"


def _dictionary_part(part: str, path: str, label: str) -> Any:
    from seqtally_tools._dictionary import find_sam_differences

    try:
        if part == "records":
            _progress.file_started(0, path)
            with plain_input(path) as plain:
                return checksum_plain(plain, label)
        return find_sam_differences(path)
    except SeqtallyError as error:
        error.path = label
        raise


def _run_dict(options: argparse.Namespace) -> int:
    from seqtally_tools._dictionary import write_dictionary
    from seqtally_tools._inputs import rereadable
    from seqtally_tools._outputs import Target

    source = options.input
    output = options.output or ("-" if source == "-" else _dictionary_name(source))
    if output != "-" and os.path.lexists(output) and not options.force:
        raise SeqtallyError("exists already; --force replaces it", output)
    uri = options.uri if options.uri is not None else (None if source == "-" else "file://" + os.path.abspath(source))
    target = None if output == "-" else Target.for_path(output)
    progress = _Progress(sizes_of([source]), enabled=not options.quiet)
    try:
        with rereadable(source) as (readable, label):
            # The digests and the scan for bytes that samtools reads otherwise, at once.
            with progress.pool(2) as pool:
                records, odd = pool.map(_dictionary_part, [("records", readable, label), ("scan", readable, label)],
                                        [range(1), range(1)])
        made = write_dictionary(records, odd, uri=uri, assembly=options.assembly, species=options.species)
    finally:
        progress.close()
    for note in made.notes:
        write_all(2, _encode(f"seqtally: note: {note}\n"))
    if target is None:
        _emit(_encode(made.text))
        return 0
    try:
        with open(target.write_to, "wb") as written:
            written.write(_encode(made.text))
        target.commit()
    except OSError as error:
        target.discard()
        raise SeqtallyError(f"cannot write the dictionary: {error.strerror}", output) from None
    return 0


def _run_gc(options: argparse.Namespace) -> int:
    from seqtally_tools._gc import GcJob

    job = GcJob.prepare(options.input, options.output, window=options.window, omit_tail=options.omit_tail,
                        chrom_sizes=options.chrom_sizes, level=options.level, gzip=options.gzip or None,
                        verbose=not options.quiet, form=options.format, track_line=options.track_line)
    progress = _Progress(sizes_of([options.input]), enabled=not options.quiet)
    pool = None
    try:
        # A track read in two passes opens its input in the worker, twice.
        with progress.opened(job.source, avoid_gz_name=True) if job.opens_input_once else \
                contextlib.nullcontext(None) as plain, progress.pool(1, plain) as pool:
            for _ in pool.map(_run_gc_job, [(job, plain)], [range(1)]):
                pass
        job.commit()
    except SeqtallyError as error:
        job.discard()
        progress.close()
        return _fail(error, pool is None or pool.at_line_start)
    except BaseException:
        job.discard()
        raise
    finally:
        progress.close()
    return 0


def _emit(data: bytes) -> None:
    # Straight to the descriptor: a buffered writer that takes part of a
    # large write can drop the error of the rest (a reader that went away).
    write_all(1, data)


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


def _fail(error: SeqtallyError, at_line_start: bool = True) -> int:
    sys.stderr.flush()
    write_all(2, _encode(("" if at_line_start else "\n") + f"seqtally: error: {error.describe()}\n"))
    return 1


# ---------------------------------------------------------------- arguments


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
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
                         help="worker processes; output stays in input order")
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
        "--level 1 the digests of names, lengths and sequences, with --level 2 those arrays (canonical JSON, "
        "one line per file; compare reads it back).")
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
    _quiet_argument(gc, "no progress messages or bar")
    gc.set_defaults(run=_run_gc)
    return top


def _adopt_orphans() -> None:
    """Processes whose parent dies (a worker's helpers, when Ctrl-C ends the
    worker) become children of this process rather than of init, so that
    nothing of a run outlives it, not even as a zombie that init might never
    reap."""
    with contextlib.suppress(Exception):
        import ctypes

        pr_set_child_subreaper = 36
        ctypes.CDLL(None).prctl(pr_set_child_subreaper, 1, 0, 0, 0)


def _end_adopted() -> None:
    mine = str(os.getpid())
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(OSError, IndexError):
                with open(f"/proc/{entry}/stat", "rb") as status:
                    parent = status.read().rsplit(b")", 1)[1].split()[1]
                if parent.decode() == mine:
                    os.kill(int(entry), signal.SIGKILL)
    with contextlib.suppress(ChildProcessError):
        while True:
            os.waitpid(-1, 0)


def _terminate(signum: int, _: FrameType | None) -> None:
    # Like Ctrl-C: unwind, so that workers stop and temporary files go.
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    options = parser.parse_args(argv)
    previous: Callable[..., Any] | int | None = signal.signal(signal.SIGTERM, _terminate)
    _adopt_orphans()
    try:
        return int(options.run(options))
    except _UsageError as error:
        parser.error(str(error))
    except SeqtallyError as error:
        return _fail(error)
    except KeyboardInterrupt:
        _end_adopted()
        return _INTERRUPTED
    except SystemExit:
        _end_adopted()
        raise
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
