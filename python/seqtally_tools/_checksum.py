"""Checksums of the records of FASTA files, as plain data."""
from __future__ import annotations

import contextlib
import os
import sys
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from typing import NamedTuple, TypeVar

from . import _engine
from ._engine import Progress
from ._errors import SeqtallyError, from_failure
from ._inputs import Source, label_of, path_of

T = TypeVar("T")


class SequenceChecksum(NamedTuple):
    """One record: its name (the header's first word: leading spaces and
    tabs skipped, as samtools faidx, Picard and the seqcol tools read it;
    the seqtally module keeps its own rule, the header up to the first
    space), the
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


def say(text: str) -> None:
    """A progress message, on whatever sys.stderr is at the time (a caller
    may have put a progress bar's writer there)."""
    stream = sys.stderr
    if stream is not None:
        try:
            stream.write(text)
            stream.flush()
        except (OSError, ValueError):
            pass  # a closed standard error must not fail the work


def reporter(label: str) -> Callable[[str, int], None]:
    """One line per record done, for verbose calls."""
    return lambda name, length: say(f"{label}: {name}: {length} bases\n")


def checksum(source: Source, *, verbose: bool = False, progress: Progress | None = None) -> list[SequenceChecksum]:
    """The records of one FASTA file, in file order.

    `source`: a path to plain or gzip FASTA (multi-member and BGZF included,
    told by content, not by name), a FIFO, "-" for standard input, a file
    descriptor, or a binary file object. `verbose`: one line per record on
    sys.stderr as it is done. `progress`: a Progress that counts the bytes
    read and can cancel the call from another thread. A failure raises
    SeqtallyError; wrong argument types raise TypeError.
    """
    try:
        return _engine.checksum(source, SequenceChecksum, progress, reporter(label_of(source)) if verbose else None)
    except _engine.Failure as failure:
        raise from_failure(failure, label_of(source)) from failure


def checksum_files(sources: Iterable[Source], *, jobs: int = 1, executor: Executor | None = None,
                   progress: Progress | None = None) -> Iterator[FileChecksums]:
    """checksum() of every file, in input order.

    `jobs`: that many threads (the engine runs outside the interpreter
    lock, so they use as many cores). `executor`: any
    concurrent.futures.Executor instead (a process pool, a Dask
    Client.get_executor()); it is handed batches of consecutive paths, and
    `jobs` does not count. `progress`: shared by the calls in this process
    (not by those an executor runs elsewhere).

    A failure raises SeqtallyError once the files before it have been
    yielded; the calls still running are then cancelled (through
    `progress`, when given), as they are when the iteration is left early.
    """
    listed = list(sources)
    if executor is None and (jobs <= 1 or len(listed) <= 1):
        for source in listed:
            yield _one_file(source, progress)
        return
    yield from in_batches(_one_file, listed, jobs, executor, progress)


def in_batches(one: Callable[..., T], sources: list[Source], jobs: int, executor: Executor | None,
               progress: Progress | None, *extra: object) -> Iterator[T]:
    """one(source, progress, *extra) of every source, in input order, on
    `jobs` threads of our own or on `executor` (`one` then module-level,
    for a process pool to pickle). A SeqtallyError is raised once the
    values before it are out, and cancels what still runs (through our
    threads' shared Progress)."""
    # Threads of our own share a Progress, so that the calls still running
    # can be cancelled; an executor's workers may be far from here. Both
    # take batches of consecutive files: a future per small file costs
    # the threads more in turns at the interpreter lock than the file's
    # work takes.
    ours = executor is None
    mine = (progress if progress is not None else Progress()) if ours else None
    pool = ThreadPoolExecutor(jobs, thread_name_prefix="seqtally") if executor is None else executor
    tasks = [(one, batch, mine, *extra) for batch in _batches(sources, *(THREAD_BATCH if ours else EXECUTOR_BATCH))]
    finished = False
    try:
        with contextlib.closing(_in_order(pool, _batch, tasks, 4 * jobs if ours else 256)) as results:
            for done, failure in results:
                yield from done
                if failure is not None:
                    raise failure
        finished = True
    finally:
        if ours:
            if not finished and mine is not None:
                mine.cancel()
            pool.shutdown(wait=True, cancel_futures=True)


def _one_file(source: Source, progress: Progress | None) -> FileChecksums:
    path = path_of(source)
    return FileChecksums(label_of(source) if path is None else path, checksum(source, progress=progress))


def _batch(one: Callable[..., T], sources: list[Source], progress: Progress | None,
           *extra: object) -> tuple[list[T], SeqtallyError | None]:
    """A batch, wherever it runs: the values up to the first failure, and
    the failure."""
    done = []
    for source in sources:
        try:
            done.append(one(source, progress, *extra))
        except SeqtallyError as error:
            return done, error
    return done, None


# Batches (bytes, files): enough work that handing one over costs little,
# small enough that they spread evenly over the workers.
EXECUTOR_BATCH = (16 << 20, 64)
THREAD_BATCH = (1 << 20, 16)


def _batches(sources: list[Source], most_bytes: int, most_files: int) -> Iterator[list[Source]]:
    batch: list[Source] = []
    held = 0
    for source in sources:
        batch.append(source)
        path = path_of(source)
        try:
            held += os.stat(path).st_size if path is not None and path != "-" else 0
        except (OSError, ValueError):
            pass  # read elsewhere, perhaps; the count bounds the batch
        if held >= most_bytes or len(batch) >= most_files:
            yield batch
            batch, held = [], 0
    if batch:
        yield batch


def _in_order(executor: Executor, function: Callable[..., T], tasks: Iterable[tuple[object, ...]],
              ahead: int) -> Generator[T, None, None]:
    """function(*task) for every task, on the executor, at most `ahead`
    handed over and not yet taken; the values in task order. Tasks not
    started yet are withdrawn when the iteration ends early."""
    pending: deque[Future[T]] = deque()
    try:
        for task in tasks:
            pending.append(executor.submit(function, *task))
            if len(pending) >= ahead:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()
