"""What the module writes on descriptor 2, on its way to the user.

The module writes its progress messages and, when a call fails, a failure
report straight to descriptor 2, before it raises. The library turns the
failure into SeqtallyError, so the report would only say the same thing a
second time, in words meant for the module's developers. Every byte the
module writes on descriptor 2 therefore goes through a pipe and a
ReportFilter, which passes everything but the report on. This file is the
one place that knows the shapes of those messages.
"""
from __future__ import annotations

import contextlib
import fcntl
import os
import re
import sys
import threading
from collections.abc import Iterator

from ._helper import write_all
from ._processes import Child, start

# The first bytes of the module's failure report. A test makes a call fail
# and checks that the report starts with them.
REPORT_START = b"thread '"
# The only message that shows a path: the chrom.sizes file's, which the
# library has the module write under a temporary name.
SIZES_MESSAGE = b"==> Will write chrom.sizes file to "
# What the library appends to a path to make its temporary name: ASCII
# only, so the module quotes it as it is and the filter can cut it out.
TEMP_MARK = ".seqtally-tmp-"
_TEMP_TOKEN = re.compile(re.escape(TEMP_MARK.encode()) + rb"[0-9a-f]{16}")
# A report starts where a message could: at the start of a line, or right
# after the " ... " of a region message that the failure interrupted.
_REGION_OPEN = b" ... "

PIPE_BYTES = 1 << 20


class ReportFilter:
    """Streams what the module writes during one call, less its failure
    report, with temporary names in the chrom.sizes message replaced by the
    final ones. Bytes pass on as soon as they cannot be the start of either;
    the report is the last thing a failing call writes, so from its first
    bytes to the end of the call everything is dropped."""

    def __init__(self) -> None:
        self._pending = b""
        self._tail = b"\n"  # the last bytes passed on: a call starts at a boundary
        self._dropping = False
        # Whether the user's last visible byte ends a line, so that a message
        # printed after a dropped report can start on a line of its own.
        self.at_line_start = True

    def feed(self, data: bytes) -> bytes:
        if self._dropping:
            return b""
        buffer, self._pending = self._pending + data, b""
        out = bytearray()
        start = 0
        while start < len(buffer):
            if self._at_boundary():
                rest = buffer[start:]
                if rest.startswith(REPORT_START):
                    self._dropping = True
                    break
                if rest.startswith(SIZES_MESSAGE):
                    end = buffer.find(b"\n", start)
                    if end < 0:
                        self._pending = rest
                        break
                    self._emit(out, _TEMP_TOKEN.sub(b"", buffer[start:end + 1]))
                    start = end + 1
                    continue
                if REPORT_START.startswith(rest) or SIZES_MESSAGE.startswith(rest):
                    self._pending = rest
                    break
            stop = self._next_boundary(buffer, start)
            self._emit(out, buffer[start:stop])
            start = stop
        return bytes(out)

    def end(self) -> bytes:
        """The end of the call: what was held back, and a fresh start."""
        rest = b"" if self._dropping else _TEMP_TOKEN.sub(b"", self._pending)
        if rest:
            self.at_line_start = rest.endswith(b"\n")
        self._pending, self._tail, self._dropping = b"", b"\n", False
        return rest

    def _emit(self, out: bytearray, piece: bytes) -> None:
        if piece:
            out += piece
            self._tail = (self._tail + piece)[-len(_REGION_OPEN):]
            self.at_line_start = piece.endswith(b"\n")

    def _at_boundary(self) -> bool:
        return self._tail.endswith(b"\n") or self._tail.endswith(_REGION_OPEN)

    def _next_boundary(self, buffer: bytes, start: int) -> int:
        """The first position after `start` at which a report could begin."""
        joined = self._tail + buffer[start:]
        offset = len(self._tail)
        candidates = [len(buffer)]
        newline = joined.find(b"\n", offset)
        if newline >= 0:
            candidates.append(newline + 1 - offset + start)
        region = joined.find(_REGION_OPEN, max(0, offset - len(_REGION_OPEN) + 1))
        if region >= 0:
            candidates.append(region + len(_REGION_OPEN) - offset + start)
        return min(candidates)


# Set in worker processes: their descriptor 2 is a pipe that the parent
# reads through a ReportFilter already.
_filtered_upstream = False


def mark_filtered_upstream() -> None:
    global _filtered_upstream
    _filtered_upstream = True


def enlarge_pipe(fd: int) -> None:
    """Fewer, larger transfers; the default 64 KiB is kept where the system
    refuses more."""
    with contextlib.suppress(OSError):
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_BYTES)


# Held while a call swaps descriptor 2 (see module_stderr).
_CALL_LOCK = threading.Lock()


@contextlib.contextmanager
def module_stderr(live: bool) -> Iterator[None]:
    """Descriptor 2 for one call into the module, through a ReportFilter.

    `live`: the call writes progress messages, which must reach the user as
    they are written; the module holds the interpreter lock for the whole
    call, so a helper process reads the pipe. Otherwise the call writes at
    most its failure report, which the pipe holds until the call returns.
    """
    if _filtered_upstream:
        yield
        return
    # Descriptor 2 belongs to the whole process: two threads swapping it at
    # once would each restore the other's pipe, and a reader would wait for an
    # end that never comes. The module holds the interpreter lock for a whole
    # call anyway, so calls from threads lose nothing by taking turns.
    with _CALL_LOCK:
        yield from _filtered(live)


def _filtered(live: bool) -> Iterator[None]:
    if sys.stderr is not None:
        with contextlib.suppress(Exception):
            sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:  # descriptor 2 is closed: the module drops its messages itself
        yield
        return
    read_end, write_end = os.pipe2(os.O_CLOEXEC)
    helper: Child | None = None
    try:
        if live:
            helper = start("seqtally_tools._helper.main", ["forward", str(os.getpid())], stdin=read_end,
                           stderr=saved)
            os.close(read_end)
            read_end = -1
        else:
            enlarge_pipe(write_end)
        os.dup2(write_end, 2)
        os.close(write_end)
        write_end = -1
        try:
            yield
        finally:
            # Descriptor 2 held the pipe's last write end: the reader sees its end now.
            os.dup2(saved, 2)
    finally:
        if write_end >= 0:
            os.close(write_end)
        if helper is not None:
            helper.wait()
        if read_end >= 0:
            _pass_on(read_end, saved)
            os.close(read_end)
        os.close(saved)


def _pass_on(source: int, target: int) -> None:
    report_filter = ReportFilter()
    while chunk := os.read(source, PIPE_BYTES):
        write_all(target, report_filter.feed(chunk))
    write_all(target, report_filter.end())

