"""The seqtally command line: checksums and G/C tracks of FASTA files from
the shell. The work is done by the seqtally extension module; this module only
parses arguments, runs files in worker processes and prints."""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from importlib import metadata
from typing import Any

import seqtally

FIELDS = ("file", "id", "length", "sha512t24u", "md5")


class SeqtallyError(Exception):
    """A failed call, carrying the module's own message."""


# The module reports a failure on descriptor 2 itself, starting with this
# line, before it raises; the command prints its own one-line error instead.
REPORT_START = b"thread '"


@contextlib.contextmanager
def _descriptor_2_to(target: int) -> Iterator[None]:
    sys.stderr.flush()
    saved = os.dup(2)
    os.dup2(target, 2)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


@contextlib.contextmanager
def _stderr_held() -> Iterator[None]:
    """Descriptor 2 goes to a temporary file for the call; afterwards what
    was written there, less a failure report, goes on to the real one."""
    with tempfile.TemporaryFile() as held:
        try:
            with _descriptor_2_to(held.fileno()):
                yield
        finally:
            held.seek(0)
            _forward(held.fileno(), 2)


@contextlib.contextmanager
def _stderr_filtered() -> Iterator[None]:
    """Like _stderr_held, but progress messages pass through as they are
    written. The module holds the interpreter lock for the whole call, so no
    Python thread could drain a pipe meanwhile: a forked child does it."""
    sys.stderr.flush()
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - runs in the child
        os.close(write_end)
        _forward(read_end, 2)
        os._exit(0)
    os.close(read_end)
    try:
        with _descriptor_2_to(write_end):
            # Descriptor 2 is now the only write end: the child sees the end
            # of its input when descriptor 2 is restored.
            os.close(write_end)
            yield
    finally:
        os.waitpid(child, 0)


def _forward(source: int, target: int) -> None:
    """Copies `source` to `target` as it arrives, up to a line that starts a
    failure report; the start of a line is held back only while it could
    still be one."""
    at_line_start, held, dropping = True, b"", False
    while chunk := os.read(source, 65536):
        if dropping:
            continue
        data, held = held + chunk, b""
        while data:
            if at_line_start:
                if len(data) < len(REPORT_START) and REPORT_START.startswith(data):
                    held = data
                    break
                if data.startswith(REPORT_START):
                    dropping = True
                    break
            end = data.find(b"\n")
            piece = data if end < 0 else data[:end + 1]
            os.write(target, piece)
            at_line_start = end >= 0
            data = data[len(piece):]
    if held and not dropping:
        os.write(target, held)


def _call(function: Callable[..., Any], *args: Any) -> Any:
    """A call into the module, with its failures (PanicException, which
    derives from BaseException, or a wrong argument) as SeqtallyError."""
    try:
        return function(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        raise SeqtallyError(str(error)) from None


def checksum_records(path: str) -> list[dict[str, Any]]:
    """checksum() of one file as plain dictionaries, which, unlike the
    ChecksumResult objects, can be sent between processes (worker pools,
    Dask). A failure of the call raises SeqtallyError with its message."""
    results = _call(seqtally.checksum, path)
    return [{"file": path, "id": r.id, "length": r.length, "sha512t24u": r.sha512, "md5": r.md5} for r in results]


def _checksum_in_worker(path: str) -> tuple[list[dict[str, Any]] | None, str | None]:
    # The exception itself may not survive pickling back to the parent.
    try:
        with _stderr_held():
            return checksum_records(path), None
    except SeqtallyError as error:
        return None, str(error)


def _results(paths: Sequence[str], jobs: int) -> Iterator[tuple[list[dict[str, Any]] | None, str | None]]:
    """Per file, in input order: the records, or the failure's message."""
    if jobs <= 1 or len(paths) <= 1:
        for path in paths:
            yield _checksum_in_worker(path)
        return
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(_checksum_in_worker, paths)


def run_checksum(options: argparse.Namespace) -> int:
    out = sys.stdout
    if options.format == "tsv":
        out.write("\t".join(FIELDS) + "\n")
    for records, failure in _results(options.files, options.jobs):
        if failure is not None:
            out.flush()
            return fail(failure)
        assert records is not None
        for record in records:
            if options.format == "json":
                out.write(json.dumps(record, ensure_ascii=False) + "\n")
            else:
                out.write("\t".join(str(record[field]) for field in FIELDS) + "\n")
    return 0


def run_gc(options: argparse.Namespace) -> int:
    try:
        with _stderr_held() if options.quiet else _stderr_filtered():
            _call(
                seqtally.write_seqtally_to_file,
                options.input,
                options.output,
                options.level,
                options.window,
                options.omit_tail,
                options.chrom_sizes or "",
                options.chrom_sizes is not None,
                not options.quiet,
            )
    except SeqtallyError as error:
        return fail(str(error))
    return 0


def fail(message: str) -> int:
    sys.stderr.write(f"seqtally: error: {message}\n")
    return 1


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def level(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 9:
        raise argparse.ArgumentTypeError(f"must be from 0 to 9: {text}")
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="seqtally", description="Checksums and G/C content tracks of FASTA files.")
    top.add_argument("--version", action="version", version=f"%(prog)s {metadata.version('seqtally')}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    checksum = commands.add_parser(
        "checksum",
        help="identifier, length, sha512t24u and md5 of every record",
        description="One line per record: file, id, length, sha512t24u (refget's digest: prefix it with 'SQ.' "
        "for a refget identifier) and md5 of the uppercased sequence.",
    )
    checksum.add_argument("files", nargs="+", metavar="FILE", help="plain FASTA files")
    checksum.add_argument("--format", choices=("tsv", "json"), default="tsv",
                          help="tab-separated with a header line (default), or JSON lines")
    checksum.add_argument("--jobs", "-j", type=positive, default=1, metavar="N",
                          help="worker processes for several files; output stays in input order")
    checksum.set_defaults(run=run_checksum)

    gc = commands.add_parser(
        "gc",
        help="G/C percentage of consecutive windows as a wiggle track",
        description="Writes a variableStep wiggle track of the G/C percentage per window. Input or output "
        "names ending in .gz are read or written as gzip.",
    )
    gc.add_argument("input", metavar="INPUT", help="FASTA file, gzip when its name ends in .gz")
    gc.add_argument("output", metavar="OUTPUT", help="wiggle track, gzip when its name ends in .gz")
    gc.add_argument("--window", type=positive, default=100, help="bases per window (default 100)")
    gc.add_argument("--omit-tail", action="store_true", help="leave out the last, shorter window of each record")
    gc.add_argument("--chrom-sizes", metavar="PATH", help="also write a chrom.sizes file")
    gc.add_argument("--level", type=level, default=6, help="gzip level for a .gz output, 0-9 (default 6)")
    gc.add_argument("--quiet", "-q", action="store_true", help="no progress messages")
    gc.set_defaults(run=run_gc)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    options = parser().parse_args(argv)
    try:
        return int(options.run(options))
    except BrokenPipeError:
        # The reader went away (`seqtally checksum ... | head`): end quietly,
        # with the status a process killed by SIGPIPE would have.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE


if __name__ == "__main__":
    sys.exit(main())
