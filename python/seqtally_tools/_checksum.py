"""Checksums of the records of FASTA files, as plain data."""
from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from operator import attrgetter
from typing import NamedTuple

import seqtally

from . import _progress
from ._batches import batches, sizes_of
from ._errors import SeqtallyError, call
from ._inputs import describe, plain_input
from ._stderr import module_stderr
from ._workers import WorkerPool


class SequenceChecksum(NamedTuple):
    """One record: its identifier (the header up to the first space), the
    length of its sequence, and the digests of the sequence with a-z
    uppercased: sha512t24u (the first 24 bytes of SHA-512, unpadded
    base64url) and md5 (lowercase hex)."""

    id: str
    length: int
    sha512t24u: str
    md5: str

    @property
    def refget_id(self) -> str:
        """The GA4GH refget identifier, "SQ." + sha512t24u."""
        return "SQ." + self.sha512t24u


class FileChecksums(NamedTuple):
    """The records of one file, in file order."""

    file: str
    records: list[SequenceChecksum]


_values = attrgetter("id", "length", "sha512", "md5")
_new = tuple.__new__


def checksum(source: str | os.PathLike[str], *, verbose: bool = False) -> list[SequenceChecksum]:
    """The records of one FASTA file, in file order.

    `source`: a path to plain or gzip FASTA (multi-member and BGZF included,
    told by content, not by name), a FIFO, or "-" for standard input.
    `verbose`: the module's progress messages on standard error. A failure
    raises SeqtallyError with the module's message; wrong argument types
    raise TypeError as the module does.
    """
    path = os.fspath(source)
    with plain_input(path) as plain:
        return checksum_plain(plain, describe(path), verbose=verbose)


def checksum_plain(plain: str, label: str, *, verbose: bool = False) -> list[SequenceChecksum]:
    """checksum() of a path that plain_input gave, `label` naming it for errors."""
    with module_stderr(live=verbose):
        results = call(seqtally.checksum, plain, verbose, path=label)
    # Built without the NamedTuple's Python-level __new__: a million reads
    # give a million records.
    return [_new(SequenceChecksum, _values(result)) for result in results]


def checksum_files(sources: Iterable[str | os.PathLike[str]], *, jobs: int = 1) -> Iterator[FileChecksums]:
    """checksum() of every file, in input order, computed by `jobs` worker
    processes (handed files in batches by size). A failure raises
    SeqtallyError once the files before it have been yielded."""
    paths = [os.fspath(source) for source in sources]
    if jobs <= 1 or len(paths) <= 1:
        for path in paths:
            yield FileChecksums(path, checksum(path))
        return
    tasks = list(batches(paths, sizes_of(paths), jobs))
    with WorkerPool(min(jobs, len(tasks))) as pool:
        for done, failure in pool.map(checksum_batch, tasks):
            yield from done
            if failure is not None:
                raise failure


def checksum_batch(first: int, paths: Sequence[str]) -> tuple[list[FileChecksums], SeqtallyError | None]:
    """A batch in a worker: the files up to the first failure, and the failure."""
    done = []
    for index, path in enumerate(paths, first):
        _progress.file_started(index, path)
        try:
            done.append(FileChecksums(path, checksum(path)))
        except SeqtallyError as error:
            return done, error
    return done, None
