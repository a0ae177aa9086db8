"""FASTA sources: what names them in messages, and, for the one operation
that reads its input twice, a copy that can be read again.

The engine reads every kind of source itself (a path, "-", a descriptor, a
binary file object; plain, gzip or BGZF by content).
"""
from __future__ import annotations

import contextlib
import gzip
import os
import select
import stat
import tempfile
from collections.abc import Iterator
from typing import IO, BinaryIO, Protocol

from ._engine import Progress
from ._errors import cancelled, os_error

STDIN = "-"
CHUNK = 8 << 20
GZIP_MAGIC = b"\x1f\x8b"
# How long a copy waits for input before it looks whether it was cancelled.
_POLL_SECONDS = 0.05


class HasFileno(Protocol):
    def fileno(self) -> int: ...


Source = str | os.PathLike[str] | int | HasFileno
"""A path ("-" is standard input), a descriptor, or a binary file."""


def path_of(source: Source) -> str | None:
    """The path a source names, or None for a descriptor or a file object."""
    if isinstance(source, int):
        return None
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    return None


def label_of(source: Source) -> str:
    """The source's name in messages and in FileChecksums.file."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        return "standard input" if path == STDIN else path
    if isinstance(source, int):
        return "standard input" if source == 0 else f"descriptor {source}"
    name = getattr(source, "name", None)
    if isinstance(name, str) and name:
        return "standard input" if name == "<stdin>" else name
    try:
        number = source.fileno()
    except (OSError, ValueError):
        return "the file object"
    return "standard input" if number == 0 else f"descriptor {number}"


def _read_once(source: Source) -> bool:
    """Whether reading the source consumes it: standard input, a
    descriptor, a file object, a FIFO or a device. Paths that cannot be
    opened count as files: the engine reports them."""
    path = path_of(source)
    if path is None or path == STDIN:
        return True
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


@contextlib.contextmanager
def rereadable(source: Source, progress: Progress | None = None) -> Iterator[Source]:
    """A source that can be read twice: the source itself, or a temporary
    copy of one that would be consumed. The copy notices `progress`
    cancelled within a fraction of a second, also while its input is
    silent."""
    if not _read_once(source):
        yield source
        return
    with tempfile.NamedTemporaryFile(prefix="seqtally-input-") as kept:
        path = path_of(source)
        try:
            with contextlib.ExitStack() as stack:
                if path is not None and path != STDIN:
                    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
                    stack.callback(os.close, fd)
                else:
                    fd = 0 if path == STDIN else source if isinstance(source, int) else source.fileno()  # type: ignore[union-attr]
                _copy(fd, kept, progress)
        except OSError as error:
            raise os_error(error, label_of(source)) from None
        kept.flush()
        yield kept.name


def _copy(fd: int, into: IO[bytes], progress: Progress | None) -> None:
    while True:
        if progress is not None and progress.cancelled:
            raise cancelled()
        if not select.select([fd], [], [], _POLL_SECONDS)[0]:
            continue
        chunk = os.read(fd, CHUNK)
        if not chunk:
            return
        into.write(chunk)


@contextlib.contextmanager
def opened_plain(path: str) -> Iterator[BinaryIO]:
    """A file read as plain FASTA, inflated when it starts like gzip (one
    member or many, BGZF included)."""
    with open(path, "rb") as raw:
        if raw.peek(2)[:2] == GZIP_MAGIC:
            with gzip.GzipFile(fileobj=raw, mode="rb") as inflated:
                yield inflated  # type: ignore[misc]
        else:
            yield raw
