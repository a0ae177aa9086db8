"""Helper processes. The module holds the interpreter lock for the whole of
a call, so work that must go on while a call runs (inflating its input,
copying its output to standard output, passing its messages on) runs in a
process of its own:

    main(["inflate", SOURCE, PARENT])   # SOURCE (a path, or - for descriptor 0) to descriptor 1, plain
    main(["copy", PARENT])              # descriptor 0 to descriptor 1
    main(["forward", PARENT])           # descriptor 0 to descriptor 2, less failure reports

each started by _processes.start("seqtally_tools._helper.main", ...).

Exit status: 0 when done, 1 with one line on standard error when the input
is damaged or unreadable, 3 when the reader of descriptor 1 went away.
"""
from __future__ import annotations

import contextlib
import ctypes
import errno
import io
import os
import queue
import signal
import sys
import threading
import zlib
from collections.abc import Callable
from typing import BinaryIO, cast

from isal import igzip, igzip_lib

# isal's stubs declare its error as an instance; it is a class.
IsalError = cast(type[Exception], igzip_lib.IsalError)

GZIP_MAGIC = b"\x1f\x8b"
CHUNK = 1 << 20
# How far inflating may run ahead of the reader. The module takes in a whole
# record before it digests any of it, and a pipe holds only 1 MiB: without
# this, inflating would wait while a record is digested, and digesting while
# the next one is inflated. Records up to this size overlap completely.
AHEAD_BYTES = 64 << 20
READER_GONE = 3


# What a damaged or unreadable input raises while it is inflated.
INPUT_ERRORS = (EOFError, OSError, IsalError, zlib.error)


class ReaderGone(Exception):
    """The reader of our output closed it: nothing to report, just stop."""


def gzip_problem(error: BaseException) -> str:
    """A damaged gzip stream in the words gzip(1) uses."""
    text = str(error)
    if isinstance(error, EOFError):
        return "gzip: unexpected end of file"
    if "CRC check failed" in text:
        return "gzip: invalid compressed data--crc error"
    if "Incorrect length" in text:
        return "gzip: invalid compressed data--length error"
    if isinstance(error, (igzip.BadGzipFile, IsalError, zlib.error)):
        return f"gzip: invalid compressed data ({text})"
    if isinstance(error, OSError) and error.errno is not None:
        return f"read error: {os.strerror(error.errno)}"
    return f"gzip: {text}"


def inflate(stream: BinaryIO, write: Callable[[bytes], None], limit: int | None = None) -> bool:
    """Inflates all gzip members of `stream` into `write`. Returns False,
    having stopped, once more than `limit` bytes came out."""
    produced = 0
    with igzip.IGzipFile(fileobj=stream, mode="rb") as members:  # type: ignore[no-untyped-call]
        while chunk := members.read(CHUNK):
            produced += len(chunk)
            if limit is not None and produced > limit:
                return False
            write(chunk)
    return True


def inflate_ahead(stream: BinaryIO, write: Callable[[bytes], None]) -> None:
    """inflate() in a thread of its own (isal lets go of the interpreter
    lock while it inflates), up to AHEAD_BYTES ahead of `write`."""
    chunks: queue.Queue[bytes | BaseException | None] = queue.Queue(maxsize=AHEAD_BYTES // CHUNK)
    stop = threading.Event()

    def put(item: bytes | BaseException | None) -> None:
        while not stop.is_set():
            try:
                chunks.put(item, timeout=0.1)
                return
            except queue.Full:
                pass
        raise ReaderGone

    def produce() -> None:
        try:
            inflate(stream, put)
            put(None)
        except ReaderGone:
            pass
        except BaseException as error:  # handed to the writer, which reports it
            with contextlib.suppress(ReaderGone):
                put(error)

    inflater = threading.Thread(target=produce, daemon=True)
    inflater.start()
    try:
        while (item := chunks.get()) is not None:
            if isinstance(item, BaseException):
                raise item
            write(item)
    finally:
        stop.set()


def writer(fd: int) -> Callable[[bytes], None]:
    def write(data: bytes) -> None:
        try:
            write_all(fd, data)
        except BrokenPipeError:
            raise ReaderGone from None
    return write


def write_all(fd: int, data: bytes | memoryview) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def copy(source: int, target: int) -> None:
    """Everything from `source` to `target`, in the kernel where it can."""
    try:
        while os.splice(source, target, CHUNK):
            pass
        return
    except BrokenPipeError:
        raise ReaderGone from None
    except OSError as error:
        if error.errno != errno.EINVAL:  # neither end a pipe, or a file opened for appending
            raise
    write = writer(target)
    while chunk := os.read(source, CHUNK):
        write(chunk)


def feed(source: str) -> None:
    """SOURCE to descriptor 1 as plain FASTA: inflated when it starts with
    the gzip magic bytes, as it is otherwise."""
    fd = 0 if source == "-" else os.open(source, os.O_RDONLY | os.O_CLOEXEC)
    stream = io.BufferedReader(io.FileIO(fd, "rb", closefd=False), buffer_size=CHUNK)
    write = writer(1)
    if stream.peek(len(GZIP_MAGIC))[:len(GZIP_MAGIC)] == GZIP_MAGIC:
        inflate_ahead(stream, write)
        return
    # What the peek buffered goes first (read1 returns just that); the rest
    # never enters this process.
    write(stream.read1(CHUNK))
    copy(fd, 1)


def forward() -> None:
    from seqtally_tools._stderr import ReportFilter

    report_filter = ReportFilter()
    while chunk := os.read(0, CHUNK):
        write_all(2, report_filter.feed(chunk))
    write_all(2, report_filter.end())


def die_with(parent: int) -> None:
    """A helper must not outlive the process it serves, however that ends."""
    with_errno = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    with_errno.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # the parent was gone before the line above
        os._exit(1)


def main(argv: list[str]) -> int:
    mode, *args = argv
    die_with(int(args[-1]))
    try:
        if mode == "inflate":
            feed(args[0])
        elif mode == "copy":
            copy(0, 1)
        elif mode == "forward":
            forward()
        else:
            raise SystemExit(f"unknown mode {mode}")
    except ReaderGone:
        return READER_GONE
    except INPUT_ERRORS as error:
        sys.stderr.write(gzip_problem(error) + "\n")
        return 1
    return 0
