"""Track formats by name, and bigWig files from the engine's window values.

Window i of a record covers [i * window, (i + 1) * window), 0-based; the
last, shorter window ends at the record's end, never past it. A bigWig
file names its chromosomes and their sizes before any value, so the values
of the whole input are in hand before it is created.

The engine gives the module's count one byte per window (a percentage, no
window without one); the field's counts one int16 per window, NO_VALUE
where a window has none (a gap in the track), in tenths of a percent
("acgt") or ten-thousandths ("skew"): the exact decimals the text tracks
print, in a quarter of the memory of doubles.
"""
from __future__ import annotations

import os
import stat
from collections.abc import Sequence

from ._engine import Progress, WindowValues
from ._errors import SeqtallyError, cancelled, os_error

WIG, BEDGRAPH, BIGWIG = "wig", "bedgraph", "bigwig"
FORMATS = (WIG, BEDGRAPH, BIGWIG)
_BIGWIG_SUFFIXES = (".bw", ".bigwig")
_BEDGRAPH_SUFFIXES = (".bedgraph", ".bg")
# Windows handed to pyBigWig per call: a cancelled call stops between two.
WINDOWS_PER_CALL = 1 << 20
# A call per run of windows pays off when runs are at least this long.
_WINDOWS_PER_RUN_CALL = 16

UPPER, ACGT, SKEW = "upper", "acgt", "skew"
NO_VALUE = -32768
# The engine's values per count: their type and what they are divided by.
_VALUES = {UPPER: ("u1", 1), ACGT: ("=i2", 10), SKEW: ("=i2", 10_000)}


def format_of(output: str) -> str:
    """The track format a name asks for: .bw, .bigWig, .bigwig: bigWig;
    .bedGraph, .bedgraph, .bg (each perhaps with .gz): bedGraph; anything
    else the wiggle track."""
    name = output.lower()
    if name.endswith(_BIGWIG_SUFFIXES):
        return BIGWIG
    if name.removesuffix(".gz").endswith(_BEDGRAPH_SUFFIXES):
        return BEDGRAPH
    return WIG


def write_bigwig(path: str, final: str, records: Sequence[WindowValues], window: int, progress: Progress | None,
                 count: str = UPPER) -> None:
    """The records' window values by `count` ("upper", "acgt" or "skew", as
    the engine was asked) as a bigWig file at `path` (zoom levels as pyBigWig
    makes them by default), windows without a value left out; `final` names
    it in errors."""
    import numpy as np
    import pyBigWig  # type: ignore[import-not-found]  # no stubs

    _check_regular_file(path, final)
    track = pyBigWig.open(path, "w")
    if track is None:
        raise SeqtallyError("cannot create the bigWig file", final)
    try:
        dtype, scale = _VALUES[count]
        track.addHeader([(record.name, record.length) for record in records])
        for record in records:
            name, length = record.name, record.length
            values = np.frombuffer(record.values, dtype=dtype)
            full = min(len(values), length // window)
            for first in range(0, full, WINDOWS_PER_CALL):
                if progress is not None and progress.cancelled:
                    raise cancelled()
                piece = values[first:min(first + WINDOWS_PER_CALL, full)]
                present = piece != NO_VALUE
                # Runs of windows with values, between the gaps.
                edges = np.flatnonzero(np.diff(present, prepend=False, append=False)).tolist()
                if len(edges) // 2 * _WINDOWS_PER_RUN_CALL <= len(piece):
                    # Few long runs: fixed-step entries, which libBigWig
                    # stores and writes at half the cost of positioned ones.
                    for start, end in zip(edges[::2], edges[1::2]):
                        track.addEntries(name, (first + start) * window, values=piece[start:end] / scale,
                                         span=window, step=window)
                else:
                    starts = (np.flatnonzero(present) + first) * window
                    track.addEntries(name, starts, values=piece[present] / scale, span=window)
            if len(values) > full and values[full] != NO_VALUE:
                track.addEntries([name], [full * window], ends=[length], values=[float(values[full]) / scale])
    except RuntimeError as error:
        raise SeqtallyError(f"cannot write the bigWig file: {error}", final) from None
    finally:
        track.close()


def _check_regular_file(path: str, final: str) -> None:
    """Refuses what pyBigWig cannot write: it crashes the process on a path
    it cannot open for writing (a folder, a file without permission), and
    a bigWig file is filled out of order, which only a regular file takes.
    Non-blocking, so that a FIFO without a reader is refused, not waited on."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise os_error(error, final) from None
    try:
        regular = stat.S_ISREG(os.fstat(fd).st_mode)
    finally:
        os.close(fd)
    if not regular:
        raise SeqtallyError("a bigWig track needs a regular file, which it fills out of order", final)
