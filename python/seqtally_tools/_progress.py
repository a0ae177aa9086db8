"""How far a run has come, for a progress bar.

A worker cannot say how far a call has come while the call runs: the
module holds its interpreter lock. It says which file it starts and which
process reads that file's bytes (itself, or the helper that inflates the
file); the process that shows the bar counts that process's reads in
/proc/PID/io while the call goes on.
"""
from __future__ import annotations

import os
import time
from collections.abc import Callable, Sequence

Note = tuple[str, int, int]
_send: Callable[[Note], None] | None = None


def install(send: Callable[[Note], None] | None) -> None:
    """Where file_started and watch send their notes (in a worker: to the
    process that shows the bar)."""
    global _send
    _send = send


def throttled(send: Callable[[Note], None], seconds: float) -> Callable[[Note], None]:
    """`send` for the notes that matter to a bar: one a file at most every
    `seconds`, but always for a large file (the bar learns which one is in
    hand) and for a new reader."""
    last = [0.0]

    def maybe_send(note: Note) -> None:
        kind, _, size = note
        now = time.monotonic()
        if kind == "watch" or size >= LARGE_FILE or now - last[0] >= seconds:
            last[0] = now
            send(note)
    return maybe_send


LARGE_FILE = 16 << 20


def file_started(index: int, path: str | None = None) -> None:
    """The worker starts file `index` (of the whole run) at `path`, and
    reads it itself."""
    if _send is not None:
        try:
            size = 0 if path is None else os.stat(path).st_size
        except (OSError, ValueError):
            size = 0
        _send(("file", index, size))


def watch(pid: int) -> None:
    """From now on, process `pid` reads the current file's bytes."""
    if _send is not None:
        _send(("watch", pid, 0))


def read_bytes(pid: int) -> int:
    """Bytes process `pid` has read so far (0 where /proc does not tell)."""
    try:
        with open(f"/proc/{pid}/io", "rb") as io_counts:
            for line in io_counts:
                if line.startswith(b"rchar:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


class Meter:
    """Files and bytes done, from the tasks handed to workers (each worker
    known by its process id) and their notes. The bytes of a file in hand
    count as far as its reader has read, never past the file's size."""

    def __init__(self, sizes: Sequence[int]) -> None:
        self.sizes = sizes
        self._files_finished = 0
        self._bytes_finished = 0
        # Per worker: its task's files, the file in hand, its reader and
        # the reader's count when it started on it (None: no note yet).
        self._tasks: dict[int, tuple[range, int, int, int | None]] = {}
        self._readers: dict[int, int] = {}

    def reader(self, index: int, pid: int) -> None:
        """File `index` is read by process `pid`, started here for it."""
        self._readers[index] = pid

    def task_started(self, worker: int, span: range) -> None:
        self._tasks[worker] = (span, span.start, worker, None)

    def note(self, worker: int, note: Note) -> None:
        if worker not in self._tasks:
            return
        span, index, pid, _ = self._tasks[worker]
        kind, value, _ = note
        if kind == "file":
            index, pid = value, self._readers.get(value, worker)
        else:
            pid = value
        self._tasks[worker] = (span, index, pid, read_bytes(pid))

    def task_done(self, worker: int) -> None:
        if worker in self._tasks:
            span = self._tasks.pop(worker)[0]
            self._files_finished += len(span)
            self._bytes_finished += sum(self.sizes[i] for i in span)

    @property
    def files_done(self) -> int:
        return self._files_finished + sum(index - span.start for span, index, _, _ in self._tasks.values())

    @property
    def bytes_done(self) -> int:
        total = self._bytes_finished
        for span, index, pid, start in self._tasks.values():
            total += sum(self.sizes[i] for i in range(span.start, index))
            if start is not None:
                total += min(max(0, read_bytes(pid) - start), self.sizes[index])
        return total
