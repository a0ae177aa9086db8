"""FASTA inputs as the module reads them: one path to plain FASTA.

The module reads paths, and `checksum` reads plain files only. Whatever the
user gives (a plain or gzip file, multi-member and BGZF included, standard
input, a pipe) becomes such a path for the length of one call:

- a plain regular file: its own path;
- a small gzip file: inflated here into an anonymous memory file;
- anything else: a pipe, filled by a helper process that inflates (or
  copies) the input while the module reads, so the two run on two cores.

The kind is told by content (the gzip magic bytes), never by name.
"""
from __future__ import annotations

import contextlib
import os
import shutil
import signal
import stat
import tempfile
from collections.abc import Iterator

from . import _progress
from ._errors import SeqtallyError
from ._helper import GZIP_MAGIC, INPUT_ERRORS, READER_GONE, gzip_problem, inflate, writer
from ._processes import PIPE, start
from ._stderr import enlarge_pipe

STDIN = "-"
CHUNK = 8 << 20
# gzip files up to this size are inflated in this process, which costs less
# than starting a helper; up to INFLATED_LIMIT bytes of output, after which
# a helper takes over (a file that inflates that much is not small).
SMALL_GZIP = 4 << 20
INFLATED_LIMIT = 64 << 20

_OTHER_FORMATS = (
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
    (b"BZh", "bzip2"),
    (b"\x04\x22\x4d\x18", "lz4"),
    (b"PK\x03\x04", "zip"),
)


def compression_hint(head: bytes) -> str | None:
    for magic, name in _OTHER_FORMATS:
        if head.startswith(magic):
            return f"it starts like {name}: is it compressed with something other than gzip?"
    return None


def has_gz_extension(path: str) -> bool:
    """The module's rule for gzip by name: the last component that names
    something has the extension "gz"."""
    components = [c for c in path.split("/") if c not in ("", ".")]
    if not components or components[-1] == "..":
        return False
    last = components[-1]
    dot = last.rfind(".")
    return dot > 0 and last[dot + 1:] == "gz"


def inherited_fds(plain: str) -> tuple[int, ...]:
    """The descriptor that a process started now must inherit to open
    `plain` (a path from plain_input) under the same name."""
    prefix = "/dev/fd/"
    return (int(plain[len(prefix):]),) if plain.startswith(prefix) else ()


def describe(source: str) -> str:
    return "standard input" if source == STDIN else source


@contextlib.contextmanager
def plain_input(source: str, *, avoid_gz_name: bool = False) -> Iterator[str]:
    """A path at which the module reads `source` as plain FASTA.

    `avoid_gz_name`: the caller's operation decodes names ending in .gz as
    gzip, so a plain file of such a name is given under another path.

    A damaged gzip stream raises SeqtallyError when the block ends, also
    when the module saw a clean end of its input: what the block computed
    must not be used then, so nothing may be taken out of the block before
    it ends.
    """
    label = describe(source)
    head = b""
    if source == STDIN:
        kind = "stream"
    else:
        try:
            info = os.stat(source)
        except (OSError, ValueError):
            info = None
        if info is None or stat.S_ISDIR(info.st_mode):
            kind = "module"  # the module reports it, in its own words
        elif stat.S_ISREG(info.st_mode):
            head = _head(source)
            kind = "gzip" if head.startswith(GZIP_MAGIC) else "plain"
        else:
            kind = "stream"  # a FIFO, a terminal, /dev/stdin: read once, by a helper

    try:
        if kind == "module" or (kind == "plain" and not (avoid_gz_name and has_gz_extension(source))):
            yield source
        elif kind == "plain":
            with _opened(source) as fd:
                yield f"/dev/fd/{fd}"
        elif kind == "gzip" and info is not None and info.st_size <= SMALL_GZIP and \
                (memory := _inflated_in_memory(source, label)) is not None:
            with contextlib.closing(memory):
                yield f"/dev/fd/{memory.fd}"
        else:
            with _Feeder(source, label) as feeder:
                yield feeder.path
    except SeqtallyError as error:
        if error.hint is None and "InvalidStart { line: 1," in error.message:
            error.hint = compression_hint(head)
        raise


@contextlib.contextmanager
def rereadable(path: str) -> Iterator[tuple[str, str]]:
    """A path that can be read twice, and the input's name for messages:
    standard input, a FIFO or a device is kept in a temporary file first."""
    try:
        once = path == STDIN or not (stat.S_ISREG(mode := os.stat(path).st_mode) or stat.S_ISDIR(mode))
    except (OSError, ValueError):
        once = False  # the module reports it
    if not once:
        yield path, describe(path)
        return
    with tempfile.NamedTemporaryFile(prefix="seqtally-input-") as kept:
        with open(0 if path == STDIN else path, "rb", closefd=path != STDIN) as stream:
            shutil.copyfileobj(stream, kept, CHUNK)
        kept.flush()
        yield kept.name, describe(path)


def _head(path: str) -> bytes:
    try:
        with open(path, "rb", buffering=0) as f:
            return f.read(8)
    except OSError:
        return b""


@contextlib.contextmanager
def _opened(path: str) -> Iterator[int]:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        yield fd
    finally:
        os.close(fd)


class _Memory:
    def __init__(self, fd: int) -> None:
        self.fd = fd

    def close(self) -> None:
        os.close(self.fd)


def _inflated_in_memory(path: str, label: str) -> _Memory | None:
    """The whole inflated file in an anonymous memory file, or None when it
    inflates to more than INFLATED_LIMIT bytes."""
    memory = _Memory(os.memfd_create("seqtally-input", os.MFD_CLOEXEC))
    try:
        with open(path, "rb") as compressed:
            complete = inflate(compressed, writer(memory.fd), INFLATED_LIMIT)
    except INPUT_ERRORS as error:
        memory.close()
        raise SeqtallyError(gzip_problem(error), label) from None
    except BaseException:
        memory.close()
        raise
    if not complete:
        memory.close()
        return None
    return memory


class _Feeder:
    """A helper process that writes the input, plain, into a pipe."""

    def __init__(self, source: str, label: str) -> None:
        self.label = label
        read_end, write_end = os.pipe2(os.O_CLOEXEC)
        enlarge_pipe(write_end)
        try:
            self.process = start("seqtally_tools._helper.main", ["inflate", source, str(os.getpid())],
                                 stdout=write_end, stderr=PIPE)
        except BaseException:
            os.close(read_end)
            raise
        finally:
            os.close(write_end)
        self.read_end = read_end
        self.path = f"/dev/fd/{read_end}"
        _progress.watch(self.process.pid)

    def __enter__(self) -> _Feeder:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, _: object) -> None:
        if error is not None and not isinstance(error, SeqtallyError):
            self._kill()
            return
        # The module closed its own descriptor of the pipe; with ours closed
        # too, a helper still writing learns that nobody reads any more.
        os.close(self.read_end)
        problem = self.process.communicate()
        status = self.process.wait()
        if status == 0 or (status == READER_GONE and error is not None):
            return
        if status == -signal.SIGINT:
            raise KeyboardInterrupt
        said = problem.decode(errors="replace").strip().splitlines()
        if status == 1 and said:
            message = said[-1]
        elif status < 0:
            message = f"the process reading the input ended by signal {-status}"
        else:
            message = f"the process reading the input failed (exit status {status})"
            if said:
                message += ": " + said[-1]
        raise SeqtallyError(message, self.label) from error

    def _kill(self) -> None:
        with contextlib.suppress(OSError):
            self.process.kill()
        self.process.communicate()
        os.close(self.read_end)
