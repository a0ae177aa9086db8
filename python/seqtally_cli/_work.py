"""What every command shares: its work in a thread of its own while the
main thread shows the progress bar and takes Ctrl-C, output straight to the
descriptor, failures as one line, and the argument types."""
from __future__ import annotations

import argparse
import contextlib
import logging
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO, cast

from seqtally_tools import Progress, SeqtallyError

INTERRUPTED = 128 + signal.SIGINT
PIPE_CLOSED = 128 + signal.SIGPIPE
# A bar appears only for runs longer than this; short runs stay quiet.
_BAR_DELAY_SECONDS = 0.5
_TICK_SECONDS = 0.1
# After Ctrl-C, how long the work has to end before the command leaves
# without it: the engine stops within a tick, but a write into a pipe that
# nobody reads would never end.
_STOP_SECONDS = 0.4


class UsageError(Exception):
    """A usage error: the parser says it, and the exit status is 2."""


def encode(text: str) -> bytes:
    # File names that are not UTF-8 come back as the bytes they were.
    return text.encode("utf-8", "surrogateescape")


def emit(data: bytes) -> None:
    # Straight to the descriptor: a buffered writer that takes part of a
    # large write can drop the error of the rest (a reader that went away).
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


def read_listing(source: str, what: str) -> bytes:
    """All of a small input of the command's own (a list of files, of
    regions): a path, or - for standard input."""
    try:
        if source == "-":
            return sys.stdin.buffer.read()
        with open(source, "rb") as listing:
            return listing.read()
    except OSError as error:
        raise SeqtallyError(f"cannot read {what}: {error.strerror}", source, kind="os", errno=error.errno) from None


def fail(error: SeqtallyError) -> int:
    if sys.stderr is not None:
        sys.stderr.write(f"seqtally: error: {error.describe()}\n")
        sys.stderr.flush()
    return 1


def note(text: str) -> None:
    sys.stderr.write(f"seqtally: note: {text}\n")


class _LibraryNotes(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        note(record.getMessage())


def library_notes() -> None:
    """What the library logs (a store renamed into htslib's layout) said
    as the command's notes: one line each, not Python's logging format."""
    library = logging.getLogger("seqtally_tools")
    if not any(isinstance(handler, _LibraryNotes) for handler in library.handlers):
        library.addHandler(_LibraryNotes())
        library.propagate = False


class Bar:
    """A tqdm bar on standard error (files and bytes done, rate, time left)
    when it is a terminal, fed from the engine's byte count. Messages of
    the work pass above it, whole lines at a time."""

    def __init__(self, progress: Progress, sizes: Sequence[int], enabled: bool) -> None:
        self._progress = progress
        self._files = len(sizes)
        self.files_done = 0
        self._bar: Any = None
        self._held = ""
        terminal = sys.stderr is not None and sys.stderr.isatty()
        self._lines = enabled and sys.stderr is not None and not terminal
        if enabled and terminal:
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

    def file_done(self, label: str, summary: str) -> None:
        """A file is done: the bar counts it; a standard error that is not
        a terminal (a log) gets one line for it instead, never one per
        record."""
        self.files_done += 1
        if self._lines:
            sys.stderr.write(f"{label}: {summary}\n")

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


def sizes_of(paths: Sequence[str]) -> list[int]:
    """On-disk sizes (compressed, as the engine counts them); 0 for what
    has none (standard input, a pipe, a missing file)."""
    sizes = []
    for path in paths:
        try:
            sizes.append(os.stat(path).st_size if path != "-" else 0)
        except (OSError, ValueError):
            sizes.append(0)
    return sizes


def in_a_thread(work: Callable[[Progress, Bar], int], sizes: Sequence[int], quiet: bool) -> int:
    """work(progress, bar) in a thread; here, the bar, and Ctrl-C (or
    SIGTERM): the work is cancelled, and what it leaves is its to clean."""
    progress = Progress()
    bar = Bar(progress, sizes, enabled=not quiet)
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
            os._exit(code if isinstance(code, int) else INTERRUPTED)
        raise
    finally:
        bar.close()
    succeeded, value = outcome[0]
    if succeeded:
        return int(value)
    raise value


# ---------------------------------------------------------------- argument types


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def quiet_argument(command: argparse.ArgumentParser, what: str = "no progress bar") -> None:
    command.add_argument("--quiet", "-q", action="store_true", help=what)


Commands = Any  # argparse's subparsers action, whose type is private
