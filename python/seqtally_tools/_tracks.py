"""Track formats by name, and bigWig files from the engine's window values.

Window i of a record covers [i * window, (i + 1) * window), 0-based; the
last, shorter window ends at the record's end, never past it. A bigWig
file names its chromosomes and their sizes before any value, so the values
of the whole input are in hand before it is created.
"""
from __future__ import annotations

from collections.abc import Sequence

from ._engine import Progress
from ._errors import SeqtallyError, cancelled

WIG, BEDGRAPH, BIGWIG = "wig", "bedgraph", "bigwig"
FORMATS = (WIG, BEDGRAPH, BIGWIG)
_BIGWIG_SUFFIXES = (".bw", ".bigwig")
_BEDGRAPH_SUFFIXES = (".bedgraph", ".bg")
# Windows handed to pyBigWig per call: a cancelled call stops between two.
WINDOWS_PER_CALL = 1 << 20

Record = tuple[str, int, bytes]


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


def duplicate_name(records: Sequence[Record]) -> tuple[str, int, int] | None:
    """The first name that two records share, with both record numbers."""
    seen: dict[str, int] = {}
    for number, (name, _, _) in enumerate(records, 1):
        if name in seen:
            return name, seen[name], number
        seen[name] = number
    return None


def write_bigwig(path: str, final: str, records: Sequence[Record], window: int, progress: Progress | None) -> None:
    """The records' window values as a bigWig file at `path` (zoom levels as
    pyBigWig makes them by default); `final` names it in errors."""
    import numpy as np
    import pyBigWig  # type: ignore[import-not-found]  # no stubs

    track = pyBigWig.open(path, "w")
    if track is None:
        raise SeqtallyError("cannot create the bigWig file", final)
    try:
        track.addHeader([(name, length) for name, length, _ in records])
        for name, length, values in records:
            full = min(len(values), length // window)
            for first in range(0, full, WINDOWS_PER_CALL):
                if progress is not None and progress.cancelled:
                    raise cancelled()
                piece = np.frombuffer(values, dtype=np.uint8, count=min(WINDOWS_PER_CALL, full - first), offset=first)
                track.addEntries(name, first * window, values=piece.astype(np.float64), span=window, step=window)
            if len(values) > full:
                track.addEntries([name], [full * window], ends=[length], values=[float(values[full])])
    except RuntimeError as error:
        raise SeqtallyError(f"cannot write the bigWig file: {error}", final) from None
    finally:
        track.close()
