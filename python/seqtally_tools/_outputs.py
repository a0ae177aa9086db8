"""Output files that appear only when they are complete.

Each output is written under a temporary name in its own folder (the final
name with a random mark appended, and its last extension repeated, so that
the module's "gz" rule sees what the user named) and renamed into place
once the whole call succeeded. On failure the temporary files go, and a
file of the final name is left as it was.
"""
from __future__ import annotations

import contextlib
import os
import secrets
import stat
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass

from ._errors import SeqtallyError
from ._helper import READER_GONE
from ._processes import start
from ._stderr import TEMP_MARK, enlarge_pipe

STDOUT = "-"
NAME_MAX = 255
# The module's own words for an output that would destroy what it reads.
OUTPUT_IS_INPUT = 'creation failed: Custom { kind: InvalidInput, error: "output file is the input file" }'
SIZES_CLASH = 'Creation failed: Custom { kind: InvalidInput, error: "chrom.sizes file is the input or the output file" }'


@dataclass(frozen=True)
class Target:
    """An output: the name the user gave, and the one written meanwhile."""

    final: str
    write_to: str

    @property
    def temporary(self) -> bool:
        return self.write_to != self.final

    @classmethod
    def for_path(cls, final: str, *, keep_extension: bool = True) -> Target:
        """Regular files (and names not yet taken) get a temporary name; a
        device, a FIFO or a folder is written as named (a rename would
        replace /dev/null itself), and so is a name with no room for the
        mark, or one the module will refuse anyway."""
        real = os.path.realpath(final) if os.path.islink(final) else final
        try:
            info: os.stat_result | None = os.stat(real)
        except FileNotFoundError:
            info = None
        except (OSError, ValueError):
            return cls(final, final)
        if final.endswith("/") or (info is not None and not stat.S_ISREG(info.st_mode)):
            return cls(final, final)
        folder, name = os.path.split(real)
        extension = name.rpartition(".")[2] if keep_extension and name.rfind(".") > 0 else ""
        temporary = name + TEMP_MARK + secrets.token_hex(8) + ("." + extension if extension else "")
        if len(temporary.encode(errors="surrogateescape")) > NAME_MAX:
            return cls(final, final)
        return cls(final, os.path.join(folder, temporary))

    def commit(self) -> None:
        if not self.temporary:
            return
        real = os.path.realpath(self.final) if os.path.islink(self.final) else self.final
        with contextlib.suppress(OSError):  # a replaced file keeps its permissions
            os.chmod(self.write_to, stat.S_IMODE(os.stat(real).st_mode))
        os.replace(self.write_to, real)

    def discard(self) -> None:
        if self.temporary:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.write_to)


def identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.fstat(0) if path == "-" else os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def check_distinct(source: str, track: Target | None, sizes: Target | None) -> None:
    """Refuses, before anything is created, an output that names the input
    or the other output, by whatever path: the module cannot see it through
    the temporary names. With an input that cannot be opened there is
    nothing to protect, and the module's own message comes first."""
    source_identity = identity(source)
    if source_identity is None:
        return
    track_identity = None if track is None else identity(track.final)
    if track is not None and track_identity == source_identity:
        raise SeqtallyError(OUTPUT_IS_INPUT, track.final)
    if sizes is None:
        return
    sizes_identity = identity(sizes.final)
    same_name = track is not None and os.path.realpath(sizes.final) == os.path.realpath(track.final)
    if same_name or (sizes_identity is not None and sizes_identity in (source_identity, track_identity)):
        raise SeqtallyError(SIZES_CLASH, sizes.final)


def stdout_wants_gzip() -> bool:
    """Standard output redirected into a file whose name ends in .gz."""
    try:
        return stat.S_ISREG(os.fstat(1).st_mode) and os.readlink("/proc/self/fd/1").endswith(".gz")
    except OSError:
        return False


@contextlib.contextmanager
def stdout_path(gzip: bool) -> Iterator[str]:
    """A path that the module can create and write, whose bytes reach
    descriptor 1: a pipe, copied by a helper process. For a gzip track the
    path is a link named *.gz to the pipe. When the reader of descriptor 1
    went away, the block ends with BrokenPipeError."""
    with _Copier() as copier, tempfile.TemporaryDirectory(prefix="seqtally-") as folder:
        path = f"/dev/fd/{copier.write_end}"
        if gzip:
            os.symlink(path, os.path.join(folder, "track.wig.gz"))
            path = os.path.join(folder, "track.wig.gz")
        try:
            yield path
        except SeqtallyError as error:
            if copier.finish() == READER_GONE:
                raise BrokenPipeError(str(error)) from error
            raise
        if copier.finish() == READER_GONE:
            raise BrokenPipeError("standard output was closed")


class _Copier:
    """The helper that copies a pipe to descriptor 1, and the pipe's write end."""

    def __init__(self) -> None:
        read_end, self.write_end = os.pipe2(os.O_CLOEXEC)
        enlarge_pipe(self.write_end)
        try:
            self.process = start("seqtally_tools._helper.main", ["copy", str(os.getpid())], stdin=read_end)
        except BaseException:
            os.close(self.write_end)
            raise
        finally:
            os.close(read_end)

    def __enter__(self) -> _Copier:
        return self

    def __exit__(self, kind: type[BaseException] | None, *_: object) -> None:
        if kind is not None and self.process.returncode is None:
            self.process.kill()
        self.finish()

    def finish(self) -> int:
        """Closes the write end (the module closed its own: the copier sees
        the end of the track) and waits for the copier's status."""
        if self.write_end >= 0:
            os.close(self.write_end)
            self.write_end = -1
        return self.process.wait()
