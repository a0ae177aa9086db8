"""The store's content-addressed folder: each sequence's bases, uppercased
and without line ends, in sequences/MD5[0:2]/MD5[2:4]/MD5, which is
htslib's REF_CACHE layout (REF_CACHE=STORE/sequences/%2s/%2s/%s).

The engine writes a record's bases into a temporary file in the folder's
top, holding a lock on it (flock) while it writes, and links it to its MD5
name when the record ends. A killed add leaves its temporary file unlocked:
the next add removes it. One being written beside it is locked, and stays."""
from __future__ import annotations

import contextlib
import fcntl
import os

from .._errors import os_error

SEQUENCES = "sequences"
# The engine's temporary files start so (core/src/lib/sequence_folder.cpp).
TEMPORARY_PREFIX = ".seqtally-tmp-"


def sequence_path(root: str, md5: str) -> str:
    return os.path.join(root, md5[:2], md5[2:4], md5)


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
