"""Output files that appear only when they are complete.

Each output is written under a temporary name in its own folder (the final
name with a random mark appended) and renamed into place once the whole
call succeeded. On failure the temporary files go, and a file of the final
name is left as it was.
"""
from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import BinaryIO

from . import _engine
from ._errors import SeqtallyError, os_error
from ._inputs import STDIN, Source, path_of

STDOUT = "-"
NAME_MAX = 255
TEMP_MARK = ".seqtally-tmp-"


@dataclass(frozen=True)
class Target:
    """An output: the name the user gave, and the one written meanwhile."""

    final: str
    write_to: str

    @property
    def temporary(self) -> bool:
        return self.write_to != self.final

    @classmethod
    def for_path(cls, final: str) -> Target:
        """Regular files (and names not yet taken) get a temporary name; a
        device, a FIFO or a folder is written as named (a rename would
        replace /dev/null itself), and so is a name with no room for the
        mark. A folder that does not exist is refused here, in words that
        say so: the system's would blame the file."""
        real = os.path.realpath(final) if os.path.islink(final) else final
        folder, name = os.path.split(real)
        _check_folder(folder or ".", final)
        try:
            info: os.stat_result | None = os.stat(real)
        except FileNotFoundError:
            info = None
        except (OSError, ValueError):
            return cls(final, final)
        if not name or (info is not None and not stat.S_ISREG(info.st_mode)):
            return cls(final, final)
        temporary = name + TEMP_MARK + secrets.token_hex(8)
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


@contextlib.contextmanager
def committed(targets: Sequence[Target | None]) -> Iterator[None]:
    """The block writes the targets (None: an output not asked for, or
    written as named); when it succeeds they are renamed into place, an
    OSError then raised as SeqtallyError naming the file; when anything
    fails, all of them go."""
    try:
        yield
        for target in targets:
            if target is not None:
                try:
                    target.commit()
                except OSError as error:
                    raise os_error(error, target.final) from None
    except BaseException:
        for target in targets:
            if target is not None:
                target.discard()
        raise


def _check_folder(folder: str, final: str) -> None:
    try:
        info = os.stat(folder)
    except FileNotFoundError:
        raise SeqtallyError(f"the folder {folder} does not exist", final, kind="os", errno=errno.ENOENT) from None
    except (OSError, ValueError):
        return  # the engine's own words, when it tries
    if not stat.S_ISDIR(info.st_mode):
        raise SeqtallyError(f"{folder} is not a folder", final, kind="os", errno=errno.ENOTDIR)


def identity(source: Source | str) -> tuple[int, int] | None:
    try:
        path = path_of(source)
        if path is None:
            info = os.fstat(source if isinstance(source, int) else source.fileno())  # type: ignore[union-attr]
        else:
            info = os.fstat(0) if path == STDIN else os.stat(path)
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_dev, info.st_ino


def check_distinct(source: Source, track: Target | None, sizes: Target | None) -> None:
    """Refuses, before anything is created, an output that names the input
    or the other output, by whatever path: writing it would destroy what
    the call reads or writes. With an input that cannot be opened there is
    nothing to protect, and the engine's message comes first."""
    source_identity = identity(source)
    if source_identity is None:
        return
    track_identity = None if track is None else identity(track.final)
    if track is not None and track_identity == source_identity:
        raise SeqtallyError("this is the input file: writing the track there would destroy it", track.final)
    if sizes is None:
        return
    if sizes_identity := identity(sizes.final):
        if sizes_identity == source_identity:
            raise SeqtallyError("this is the input file: writing the chrom.sizes file there would destroy it",
                                sizes.final)
    same_name = track is not None and os.path.realpath(sizes.final) == os.path.realpath(track.final)
    if same_name or (sizes_identity is not None and sizes_identity == track_identity):
        raise SeqtallyError("the track and the chrom.sizes file cannot be one file", sizes.final)


def stdout_wants_gzip() -> bool:
    """Standard output redirected into a file whose name asks for gzip."""
    try:
        return stat.S_ISREG(os.fstat(1).st_mode) and has_gz_extension(os.readlink("/proc/self/fd/1"))
    except OSError:
        return False


def has_gz_extension(path: str) -> bool:
    """Whether a name asks for gzip: the seqtally module's rule, which the
    wiggle track keeps, asked of the core that owns it (its last named
    component ends in ".gz" after something; "a.gz/." is a.gz)."""
    return _engine.gz_named(path)


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file that appears at `path` only when the block succeeds;
    on any failure it is gone and a file already there is untouched. An
    OSError of the file's own becomes SeqtallyError."""
    final = os.fspath(path)
    target = Target.for_path(final)
    try:
        try:
            with open(target.write_to, "wb") as written:
                yield written
            target.commit()
        except OSError as error:
            raise os_error(error, final) from None
    except BaseException:
        target.discard()
        raise
