"""The store's content-addressed folder: each sequence's bases, uppercased
and without line ends, in sequences/MD5[0:2]/MD5[2:4]/MD5[4:], which is
htslib's REF_CACHE layout (REF_CACHE=STORE/sequences/%2s/%2s/%s): htslib
consumes the MD5 as it expands the template, so the file's own name is its
last 28 hex digits. The engine writes by the same rule
(core/src/lib/sequence_folder.cpp); every reader finds a file by
sequence_path.

The engine writes a record's bases into a temporary file in the folder's
top, holding a lock on it (flock) while it writes, and links it to its MD5
name when the record ends. A killed add leaves its temporary file unlocked:
the next add removes it. One being written beside it is locked, and stays.

Stores written before the layout followed htslib named each file by all 32
digits (MD5[0:2]/MD5[2:4]/MD5), which htslib never opens. migrate() renames
them when a store is opened, and marks the folder when none is left."""
from __future__ import annotations

import contextlib
import fcntl
import os

from .._errors import SeqtallyError, os_error

SEQUENCES = "sequences"
# The engine's temporary files start so (core/src/lib/sequence_folder.cpp).
TEMPORARY_PREFIX = ".seqtally-tmp-"
# Present once every file of the folder has its htslib name: opening the
# store then costs one stat, not a listing of up to 65,536 folders.
LAYOUT_MARK = ".seqtally-layout"
_HEX = frozenset("0123456789abcdef")


def sequence_path(root: str, md5: str) -> str:
    """The file of a sequence's bases: what htslib opens for
    REF_CACHE=ROOT/%2s/%2s/%s."""
    return os.path.join(root, md5[:2], md5[2:4], md5[4:])


def _hex(name: str, digits: int) -> bool:
    return len(name) == digits and _HEX.issuperset(name)


def _listing(path: str) -> list[str]:
    try:
        return os.listdir(path)
    except (FileNotFoundError, NotADirectoryError):
        return []  # removed meanwhile, or not one of ours
    except OSError as error:
        raise os_error(error, path) from None


def migrate(root: str) -> int:
    """Renames the files of the 32-digit layout to their sequence_path;
    how many.

    Each file is renamed within its folder, atomically: at every moment it
    has one of its two names, so a process killed midway leaves a folder
    whose remaining files the next open renames. Several processes may
    migrate one folder at once (servers sharing a store): a file another
    one renamed first is simply gone from its old name. The folder is
    marked only after a whole listing found nothing left to rename."""
    mark = os.path.join(root, LAYOUT_MARK)
    if os.path.exists(mark) or not os.path.isdir(root):
        return 0
    renamed = 0
    for first in _listing(root):
        if not _hex(first, 2):
            continue
        for second in _listing(os.path.join(root, first)):
            if not _hex(second, 2):
                continue
            folder = os.path.join(root, first, second)
            for name in _listing(folder):
                if not (_hex(name, 32) and name.startswith(first + second)):
                    continue
                old = os.path.join(folder, name)
                try:
                    # A file already under the new name has the same bases
                    # (same MD5): replacing it loses nothing.
                    os.rename(old, sequence_path(root, name))
                    renamed += 1
                except FileNotFoundError:
                    pass  # another process renamed it
                except OSError as error:
                    raise SeqtallyError(f"cannot rename to htslib's REF_CACHE name: {error.strerror}", old,
                                        "open the store once as a user who may write its folder",
                                        kind="os", errno=error.errno) from None
    try:
        with open(mark, "w", encoding="ascii") as marked:
            marked.write("REF_CACHE=%2s/%2s/%s: files named MD5[0:2]/MD5[2:4]/MD5[4:]\n")
    except OSError:
        pass  # a folder this process may only read: the next open lists it again
    return renamed


def remove_orphans(root: str) -> int:
    """Removes the temporary files that no add is writing; how many."""
    removed = 0
    try:
        names = [name for name in os.listdir(root) if name.startswith(TEMPORARY_PREFIX)]
    except FileNotFoundError:
        return 0
    except OSError as error:
        raise os_error(error, root) from None
    for name in names:
        path = os.path.join(root, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            # Unlinked while the lock is held: a writer that locks the name
            # after us finds its file gone (no links) and starts another.
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
                removed += 1
        except BlockingIOError:
            pass  # an add is writing it
        finally:
            os.close(fd)
    return removed
