"""The bases and base composition of many intervals of one FASTA file, as
numpy arrays, one row per interval: what `seqtally fetch --bed` and
`seqtally nuc` print, from Python.

Intervals are a BED file (a path; read and checked by the engine, as the
command reads it), a list of (contig, start, end) or (contig, start, end,
strand) tuples, or a (contigs, starts, ends) triple of arrays, contigs one
name or one per interval. Coordinates are 0-based and half-open, as in
BED. The engine reads them in the order they lie in the file, with the
interpreter lock released, and the rows come back in the given order."""
from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, Union

from . import _engine
from ._errors import SeqtallyError, from_failure

if TYPE_CHECKING:
    # numpy is imported where arrays are made: the command starts 0.1 s
    # sooner without it.
    import numpy as np
    import numpy.typing as npt

Interval = Union[tuple[str, int, int], tuple[str, int, int, str]]
Intervals = Union[str, "os.PathLike[str]", Sequence[Interval],
                  tuple[Union[str, Sequence[str]], "npt.ArrayLike", "npt.ArrayLike"]]


class IndexedFasta(Protocol):
    """What reading intervals needs of an indexed FASTA file (FastaFile has it)."""

    @property
    def filename(self) -> str: ...
    @property
    def references(self) -> tuple[str, ...]: ...
    def interval_reader(self) -> _engine.IntervalReader: ...


# bedtools nuc's columns, in its order.
COMPOSITION_FIELDS = ("pct_at", "pct_gc", "num_A", "num_C", "num_G", "num_T", "num_N", "num_oth", "seq_len")


class IntervalError(SeqtallyError):
    """An interval that cannot be read: kind "interval", `fault`
    "unknown-contig", "past-end" or "start-after-end"; `index` its position
    among the intervals (from 0); `line` its BED line, for a BED file."""

    def __init__(self, message: str, path: str | None = None, hint: str | None = None, *, index: int = 0,
                 **fields: Any) -> None:
        super().__init__(message, path, hint, **{"kind": "interval", **fields})
        self.index = index

    def __reduce__(self) -> tuple[Any, ...]:
        fields = {"fault": self.fault, "line": self.line, "index": self.index}
        return (_rebuilt_interval, (self.message, self.path, self.hint, fields))


def _rebuilt_interval(message: str, path: str | None, hint: str | None, fields: dict[str, Any]) -> IntervalError:
    return IntervalError(message, path, hint, **fields)


@dataclass(frozen=True)
class Sequences:
    """The bases of every interval: `data` all of them, one byte a base,
    interval i at data[offsets[i]:offsets[i + 1]]. Indexing gives a str."""

    data: npt.NDArray[np.uint8]
    offsets: npt.NDArray[np.int64]

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __getitem__(self, index: int) -> str:
        if not -len(self) <= index < len(self):
            raise IndexError("interval index out of range")
        index %= len(self)
        return self.data[self.offsets[index]:self.offsets[index + 1]].tobytes().decode("latin-1")

    def tolist(self) -> list[str]:
        text = self.data.tobytes().decode("latin-1")
        bounds = self.offsets.tolist()
        return [text[bounds[i]:bounds[i + 1]] for i in range(len(self))]


class Placed(NamedTuple):
    """Intervals as the engine takes them: contig numbers (uint32), starts
    and ends (uint64), reverse complemented or not (uint8); the BED file
    they came from and their lines there."""

    contigs: npt.NDArray[np.uint32]
    starts: npt.NDArray[np.uint64]
    ends: npt.NDArray[np.uint64]
    reverse: npt.NDArray[np.uint8]
    bed: str | None = None
    lines: npt.NDArray[np.uint64] | None = None

    def buffers(self) -> tuple[bytes, bytes, bytes, bytes]:
        return self.contigs.tobytes(), self.starts.tobytes(), self.ends.tobytes(), self.reverse.tobytes()


def interval_failure(failure: _engine.Failure, fasta: str, bed: str | None = None,
                     lines: npt.NDArray[np.uint64] | None = None) -> BaseException:
    """The engine's word on one interval as an IntervalError, named by its
    BED line where it has one; any other failure as from_failure says."""
    if failure.kind != "interval":
        return from_failure(failure, fasta, output="standard output", bed=bed)
    index = failure.record or 0
    line = failure.line if failure.line is not None else int(lines[index]) if lines is not None else None
    where = f"line {line}: " if line is not None else f"interval {index}: "
    return IntervalError(where + failure.message, bed or fasta, fault=failure.fault, index=index, line=line)


def placed(fasta: IndexedFasta, intervals: Intervals, strand: bool) -> Placed:
    """The intervals as the engine takes them. With `strand`, those on the
    "-" strand (the BED file's column 6, a tuple's fourth field) are
    reverse complemented."""
    import numpy as np

    reader = fasta.interval_reader()
    if isinstance(intervals, (str, os.PathLike)):
        path = os.fspath(intervals)
        try:
            buffers = reader.read_bed(path, strand)
        except _engine.Failure as failure:
            raise interval_failure(failure, fasta.filename, path) from None
        return Placed(np.frombuffer(buffers[0], np.uint32), np.frombuffer(buffers[1], np.uint64),
                      np.frombuffer(buffers[2], np.uint64), np.frombuffer(buffers[3], np.uint8), path,
                      np.frombuffer(buffers[4], np.uint64))
    numbers = {name: i for i, name in enumerate(fasta.references)}
    given: Any = intervals
    strands: list[str] = []
    if _is_columns(given):
        names, start_values, end_values = given
        if isinstance(names, str):
            names = [names] * np.atleast_1d(np.asarray(start_values)).size
        names = list(names)
    else:
        rows = list(given)
        names = [row[0] for row in rows]
        start_values = [row[1] for row in rows]
        end_values = [row[2] for row in rows]
        strands = [row[3] if len(row) > 3 else "" for row in rows]
    starts, ends = _coordinates(start_values), _coordinates(end_values)
    if not len(names) == len(starts) == len(ends):
        raise ValueError(f"{len(names)} contigs, {len(starts)} starts and {len(ends)} ends: give one of each "
                         "per interval")
    contigs = np.empty(len(names), np.uint32)
    for i, name in enumerate(names):
        number = numbers.get(name)
        if number is None:
            raise IntervalError(f"interval {i}: the FASTA file has no sequence named {name}", fasta.filename,
                                fault="unknown-contig", index=i)
        contigs[i] = number
    reverse = np.array([strand and s == "-" for s in strands] if strands else np.zeros(len(names)), np.uint8)
    return Placed(contigs, starts.astype(np.uint64), ends.astype(np.uint64), reverse)


def _is_columns(intervals: object) -> bool:
    """(contigs, starts, ends) with arrays of numbers, not a few tuples."""
    import numpy as np

    if not isinstance(intervals, tuple) or len(intervals) != 3:
        return False
    return np.asarray(intervals[1]).dtype.kind in "iu" and np.ndim(intervals[1]) <= 1


def _coordinates(values: npt.ArrayLike) -> npt.NDArray[np.int64]:
    import numpy as np

    found = np.atleast_1d(np.asarray(values))
    if found.size and found.dtype.kind not in "iu":
        raise TypeError(f"coordinates must be integers, not {found.dtype}")
    found = found.astype(np.int64)
    if found.size and found.min() < 0:
        raise ValueError(f"coordinates must be 0 or more: {int(found.min())}")
    return found


def fetch_many(fasta: IndexedFasta, intervals: Intervals, *, strand: bool = False) -> Sequences:
    import numpy as np

    found = placed(fasta, intervals, strand)
    try:
        data, offsets = fasta.interval_reader().fetch_many(*found.buffers())
    except _engine.Failure as failure:
        raise interval_failure(failure, fasta.filename, found.bed, found.lines) from None
    return Sequences(np.frombuffer(data, np.uint8), np.frombuffer(offsets, np.int64))


def composition(fasta: IndexedFasta, intervals: Intervals, *, strand: bool = False, pattern: str | None = None,
                ignore_case: bool = False) -> npt.NDArray[Any]:
    """bedtools nuc's values of an opened file's intervals: the public
    composition() says which."""
    import numpy as np

    if pattern is not None and not pattern:
        raise ValueError("the pattern is empty")
    found = placed(fasta, intervals, strand)
    try:
        counts = fasta.interval_reader().composition(*found.buffers(), pattern or "", ignore_case)
    except _engine.Failure as failure:
        raise interval_failure(failure, fasta.filename, found.bed, found.lines) from None
    # Rows of A, C, G, T, N, other, length and the pattern's count.
    table = np.frombuffer(counts, np.int64).reshape(-1, 8)
    fields = [(name, np.float32 if name.startswith("pct") else np.int64) for name in COMPOSITION_FIELDS]
    if pattern:
        fields.append(("user_patt_count", np.int64))
    rows = np.zeros(len(table), dtype=fields)
    for column, name in enumerate(COMPOSITION_FIELDS[2:]):
        rows[name] = table[:, column]
    length = table[:, 6].astype(np.float32)
    with np.errstate(invalid="ignore", divide="ignore"):
        rows["pct_at"] = (table[:, 0] + table[:, 3]).astype(np.float32) / length
        rows["pct_gc"] = (table[:, 1] + table[:, 2]).astype(np.float32) / length
    if pattern:
        rows["user_patt_count"] = table[:, 7]
    return rows
