"""Worker processes.

The module holds the interpreter lock for the whole of a call, so more cores
need more processes; and a call in a worker can be stopped at once, which a
call in the process that waits for it cannot. A worker keeps the standard
input and output of the process that starts it, so it can read `-` and
write a track to standard output; its descriptor 2 is a pipe that the pool
reads through a ReportFilter.

Workers are started by _processes.start (forked where that is safe):

    serve([TASKS, RESULTS, PARENT, NOTES])
"""
from __future__ import annotations

import contextlib
import os
import pickle
import signal
import subprocess
import traceback
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from select import select
from typing import Any

from . import _progress
from ._errors import SeqtallyError
from ._helper import die_with, write_all
from ._processes import start
from ._stderr import ReportFilter, mark_filtered_upstream

TICK_SECONDS = 0.1


class Channel:
    """One end of a pipe that carries pickled messages, each behind its
    length. (multiprocessing.connection does the same and costs every run
    of the command 9 ms of imports.)"""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def fileno(self) -> int:
        return self.fd

    def send(self, message: object) -> None:
        data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
        header = len(data).to_bytes(8, "little")
        if len(data) < 1 << 16:  # one write for the many small messages
            write_all(self.fd, header + data)
        else:
            write_all(self.fd, header)
            write_all(self.fd, data)

    def recv(self) -> Any:
        size = int.from_bytes(self._read(8), "little")
        return pickle.loads(self._read(size))

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def _read(self, size: int) -> bytes:
        pieces, missing = [], size
        while missing:
            piece = os.read(self.fd, min(missing, 1 << 24))
            if not piece:
                raise EOFError
            pieces.append(piece)
            missing -= len(piece)
        return b"".join(pieces)


class _Worker:
    def __init__(self, pass_fds: Sequence[int], notes: bool) -> None:
        task_read, task_write = os.pipe()
        result_read, result_write = os.pipe()
        stderr_read, stderr_write = os.pipe()
        args = [str(task_read), str(result_write), str(os.getpid()), "notes" if notes else "-"]
        try:
            self.process = start("seqtally_tools._workers.serve", args, stderr=stderr_write,
                                 keep=(task_read, result_write, *pass_fds))
        except BaseException:
            for fd in (task_write, result_read, stderr_read):
                os.close(fd)
            raise
        finally:
            for fd in (task_read, result_write, stderr_write):
                os.close(fd)
        os.set_blocking(stderr_read, False)
        self.pid = self.process.pid
        self.tasks = Channel(task_write)
        self.results = Channel(result_read)
        self.stderr = stderr_read
        self.filter = ReportFilter()
        self.task: int | None = None

    def read_stderr(self) -> bytes:
        """What the worker wrote on descriptor 2 and is in the pipe now."""
        pieces = []
        while self.stderr >= 0:
            try:
                chunk = os.read(self.stderr, 1 << 16)
            except BlockingIOError:
                break
            if not chunk:
                os.close(self.stderr)
                self.stderr = -1
                break
            pieces.append(self.filter.feed(chunk))
        return b"".join(pieces)

    def stop(self, kill: bool) -> None:
        self.tasks.close()
        if kill:
            with contextlib.suppress(OSError):
                self.process.kill()
        try:
            self.process.wait(timeout=None if kill else 10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.results.close()
        if self.stderr >= 0:
            os.close(self.stderr)
            self.stderr = -1


class WorkerPool:
    """`jobs` worker processes that run tasks and give results back in task
    order. What the workers write on descriptor 2 goes to `stderr_sink`,
    less failure reports. With a `meter`, workers say which files they read
    (task i covers the files spans[i]), and `on_tick` is called at least
    every TICK_SECONDS while tasks run. `pass_fds`: descriptors the workers
    inherit under the same numbers."""

    def __init__(self, jobs: int, *, stderr_sink: Callable[[bytes], None] | None = None,
                 meter: _progress.Meter | None = None, on_tick: Callable[[], None] | None = None,
                 pass_fds: Sequence[int] = ()) -> None:
        self._stderr_sink = stderr_sink or (lambda data: write_all(2, data))
        self._meter = meter
        self._on_tick = on_tick
        self._workers: list[_Worker] = []
        try:
            for _ in range(jobs):
                self._workers.append(_Worker(pass_fds, notes=meter is not None))
        except BaseException:
            self._stop(kill=True)
            raise

    @property
    def at_line_start(self) -> bool:
        """Whether everything passed to stderr_sink so far ends a line."""
        return all(worker.filter.at_line_start for worker in self._workers)

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, kind: type[BaseException] | None, *_: object) -> None:
        self._stop(kill=kind is not None)

    def map(self, function: Callable[..., Any], tasks: Sequence[tuple[Any, ...]],
            spans: Sequence[range] | None = None) -> Iterator[Any]:
        """function(*task) for every task, in workers; the values in task
        order, each as soon as it and all before it are done."""
        queue = deque(range(len(tasks)))
        done: dict[int, Any] = {}
        next_out = 0
        while next_out < len(tasks):
            for worker in self._workers:
                if worker.task is None and queue:
                    worker.task = queue.popleft()
                    worker.tasks.send((function, tasks[worker.task]))
                    if self._meter is not None and spans is not None:
                        self._meter.task_started(worker.pid, spans[worker.task])
            self._poll(done)
            while next_out in done:
                value = done.pop(next_out)
                next_out += 1
                yield value

    def _poll(self, done: dict[int, Any]) -> None:
        by_object: dict[Any, _Worker] = {}
        for worker in self._workers:
            if worker.task is not None:
                by_object[worker.results] = worker
            if worker.stderr >= 0:
                by_object[worker.stderr] = worker
        for ready in select(list(by_object), [], [], TICK_SECONDS)[0]:
            worker = by_object[ready]
            if ready is not worker.results:
                self._pass_on(worker.read_stderr())
                continue
            try:
                kind, value = worker.results.recv()
            except EOFError:
                raise self._died(worker) from None
            if kind == "note":
                if self._meter is not None:
                    self._meter.note(worker.pid, value)
                continue
            # Everything the task wrote on descriptor 2 is in the pipe by now.
            self._pass_on(worker.read_stderr() + worker.filter.end())
            if self._meter is not None:
                self._meter.task_done(worker.pid)
            if kind == "failed":
                raise value
            assert worker.task is not None
            done[worker.task] = value
            worker.task = None
        if self._on_tick is not None:
            self._on_tick()

    def _pass_on(self, data: bytes) -> None:
        if data:
            self._stderr_sink(data)

    def _died(self, worker: _Worker) -> BaseException:
        status = worker.process.wait()
        self._pass_on(worker.read_stderr() + worker.filter.end())
        if status == -signal.SIGINT:  # Ctrl-C reached the worker before this process saw it
            return KeyboardInterrupt()
        how = f"by signal {-status}" if status < 0 else f"with status {status}"
        return SeqtallyError(f"a worker process ended unexpectedly, {how}")

    def _stop(self, kill: bool) -> None:
        # All ends of input first: the workers end together.
        for worker in self._workers:
            worker.tasks.close()
        for worker in self._workers:
            worker.stop(kill)


def _portable(error: Exception) -> Exception:
    """An error that survives the trip to the parent: the library's own and
    OSErrors as they are, anything else as its traceback."""
    if isinstance(error, (SeqtallyError, OSError)):
        return error
    return RuntimeError("in a worker process:\n" + "".join(traceback.format_exception(error)))


def serve(argv: list[str]) -> int:
    """A worker's life: tasks in, results out, until the parent closes TASKS.
    With NOTES, it also says which file it starts, at most every tick."""
    die_with(int(argv[2]))
    tasks, results = Channel(int(argv[0])), Channel(int(argv[1]))
    mark_filtered_upstream()
    _progress.install(_progress.throttled(lambda note: results.send(("note", note)), TICK_SECONDS)
                      if argv[3] == "notes" else None)
    while True:
        try:
            function, args = tasks.recv()
        except EOFError:
            return 0
        try:
            value = function(*args)
        except Exception as error:
            results.send(("failed", _portable(error)))
        else:
            results.send(("done", value))
