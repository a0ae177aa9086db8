"""checksum, seqcol and compare: lines per file, in input order, and the
standard's comparison of two collections."""
from __future__ import annotations

import argparse
import concurrent.futures
import os
from collections.abc import Callable, Sequence
from typing import Any

from seqtally_tools import (
    FileChecksums,
    Progress,
    SeqtallyError,
    canonical_json,
    checksum_files,
    compare,
    load_collection,
    seqcol_of,
    verdict,
)

from ._work import (
    Bar,
    Commands,
    UsageError,
    emit,
    encode,
    fail,
    in_a_thread,
    positive,
    quiet_argument,
    read_listing,
    sizes_of,
)

_FIELDS = ("file", "id", "length", "sha512t24u", "md5")


def _format_checksums(done: FileChecksums, form: str) -> bytes:
    if form == "json":
        import json

        lines = [json.dumps({"file": done.file, **r._asdict()}, ensure_ascii=False) + "\n" for r in done.records]
    else:
        lines = [f"{done.file}\t{r.id}\t{r.length}\t{r.sha512t24u}\t{r.md5}\n" for r in done.records]
    return encode("".join(lines))


def _format_seqcol(done: FileChecksums, level: str) -> bytes:
    collection = seqcol_of(done.records, level=int(level))
    if isinstance(collection, str):
        return encode(f"{done.file}\t{collection}\n")
    return canonical_json(collection) + b"\n"


def _run_checksum(options: argparse.Namespace) -> int:
    header = "\t".join(_FIELDS) + "\n" if options.format == "tsv" else ""
    return _run_files(options, _format_checksums, options.format, header)


def _run_seqcol(options: argparse.Namespace) -> int:
    return _run_files(options, _format_seqcol, options.level, "file\tseqcol\n" if options.level == "0" else "")


def _run_files(options: argparse.Namespace, formatter: Callable[[FileChecksums, str], bytes], form: str,
               header_text: str) -> int:
    """Lines per file, in input order, each file's as soon as it and those
    before it are done."""
    paths = list(options.files)
    if options.files_from is not None:
        paths += _read_file_list(options.files_from)
    if not paths:
        raise UsageError("no input files")
    if paths.count("-") + (options.files_from == "-") > 1:
        raise UsageError("standard input can be read only once")

    def work(progress: Progress, bar: Bar) -> int:
        # The header goes out with the first lines, or at the end of a run
        # that succeeded: a run that fails before any result prints nothing.
        header = encode(header_text)
        for done in checksum_files(paths, jobs=options.jobs, progress=progress):
            bar.files_done += 1
            lines = formatter(done, form)
            if lines:
                emit(header + lines)
                header = b""
        emit(header)
        return 0

    return in_a_thread(work, sizes_of(paths), options.quiet)


def _read_file_list(source: str) -> list[str]:
    text = read_listing(source, "the list of files")
    return [os.fsdecode(line) for line in text.splitlines() if line.strip()]


def _run_compare(options: argparse.Namespace) -> int:
    """Exit status as cmp and diff have it: 0 identical, 1 different, 2 trouble."""
    import json

    sources = [options.a, options.b]
    if sources.count("-") > 1:
        raise UsageError("standard input can be read only once")

    def work(progress: Progress, bar: Bar) -> int:
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
                fail(error)
                return 2
            a, b = (load.result() for load in loads)
        result = compare(a, b)
        identical = result["digests"]["a"] == result["digests"]["b"]
        if options.format == "json":
            emit(encode(json.dumps(result, indent=2, ensure_ascii=False) + "\n"))
        else:
            emit(encode(_comparison_text(result, verdict(a, b), sources)))
        return 0 if identical else 1

    return in_a_thread(work, sizes_of(sources), options.quiet)


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


def _file_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="*", metavar="FILE", help="FASTA files, plain or gzip; - for standard input")
    command.add_argument("--files-from", metavar="LIST",
                         help="also read the paths in LIST, one per line (- for standard input)")
    command.add_argument("--jobs", "-j", type=positive, default=1, metavar="N",
                         help="threads; output stays in input order")
    quiet_argument(command)


def register(commands: Commands) -> None:
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
    quiet_argument(compare_command)
    compare_command.set_defaults(run=_run_compare)
