"""What an assembly is made of, from one read of each file: lengths, bases
by kind, soft-masked letters, CpG pairs, N gaps, N50 and its kin, and the
effective genome size; N gaps and lowercase runs as BED on the way.

Per file a FileStats (plain, picklable data), its per-record columns numpy
arrays. What counts as what:

- A, C, G, T, N: each in either case. iupac: the other IUPAC codes (R Y S
  W K M B D H V) in either case. other: every other byte of the sequence
  lines (line ends excluded): U, X, '-', '*', digits, spaces.
- lowercase: letters a-z (soft-masked bases, in most assemblies).
- cpg: C then G, either case, across line ends.
- gaps, gap_length: maximal runs of N/n at least `min_gap` long, their
  number and bases; a run at a record's first or last base counts. IUPAC
  codes are no gap.
- gc_upper: the bytes G and C over every byte (the seqtally module's count,
  `seqtally gc`'s default); gc_acgt: G and C in either case over A, C, G
  and T in either case (`seqtally gc --count acgt`). None where the
  denominator is 0.
- Nx and Lx: lengths sorted from the longest; Nx is the first length at
  which the running sum reaches x% of the total, Lx how many records that
  took (as seqkit stats computes N50). auN: sum of squared lengths over the
  total. All 0 for a file without bases.
- effective_size: bases other than N/n, leaving out records whose name
  `exclude` finds (re.search) and the bases inside `exclude_bed`'s
  intervals (overlaps counted once).
"""
from __future__ import annotations

import os
import re
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from . import _engine
from ._checksum import in_batches, reporter
from ._engine import Progress
from ._errors import SeqtallyError, cancelled, from_failure
from ._inputs import Source, label_of, path_of
from ._outputs import STDOUT, Target, committed, identity

if TYPE_CHECKING:
    # numpy is imported where arrays are made: the command starts sooner
    # without it.
    import numpy as np
    import numpy.typing as npt

# The engine's columns, in its order.
_COLUMNS = ("length", "a", "c", "g", "t", "n", "iupac", "other", "lowercase", "cpg", "upper_gc", "gaps",
            "gap_length", "excluded")
DEFAULT_NX = (50, 90)


class _Column:
    """A column of RecordColumns as a read-only numpy array over the
    engine's buffer, made when asked for."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.at = _COLUMNS.index(name)

    def __get__(self, columns: RecordColumns, owner: type | None = None) -> npt.NDArray[np.uint64]:
        import numpy as np

        count = len(columns.names)
        return np.frombuffer(columns.table, dtype=np.uint64, count=count, offset=8 * self.at * count)


@dataclass(frozen=True, eq=False)
class RecordColumns:
    """Every record's numbers, a uint64 numpy array per column, a value per
    record in file order (the module's text says what each counts);
    `excluded`: bases other than N/n inside the excluded intervals;
    `included`: False where `exclude` found the name. `table` holds them
    all, column after column, as native uint64."""

    names: tuple[str, ...]
    table: bytes
    included_flags: bytes  # one byte per record, 1 where included

    length = _Column()
    a = _Column()
    c = _Column()
    g = _Column()
    t = _Column()
    n = _Column()
    iupac = _Column()
    other = _Column()
    lowercase = _Column()
    cpg = _Column()
    upper_gc = _Column()
    gaps = _Column()
    gap_length = _Column()
    excluded = _Column()

    @property
    def included(self) -> npt.NDArray[np.bool_]:
        import numpy as np

        return np.frombuffer(self.included_flags, dtype=np.bool_)

    def _values(self) -> dict[str, memoryview]:
        """Each column as Python ints, without numpy (the command never
        imports it)."""
        count = len(self.names)
        every = memoryview(self.table).cast("Q")
        return {key: every[at * count:(at + 1) * count] for at, key in enumerate(_COLUMNS)}


@dataclass(frozen=True, eq=False)
class FileStats:
    """One file's totals (see the module's text for what each counts), and
    its records' columns."""

    file: str
    records: int
    length: int
    a: int
    c: int
    g: int
    t: int
    n: int
    iupac: int
    other: int
    lowercase: int
    cpg: int
    upper_gc: int
    gaps: int
    gap_length: int
    # x -> (Nx, Lx), for 50, 90 and every x asked for.
    nx: Mapping[int, tuple[int, int]]
    aun: float
    effective_size: int
    detail: RecordColumns = field(repr=False)

    @property
    def gc_upper(self) -> float | None:
        return self.upper_gc / self.length if self.length else None

    @property
    def gc_acgt(self) -> float | None:
        acgt = self.a + self.c + self.g + self.t
        return (self.g + self.c) / acgt if acgt else None

    def as_dict(self, records: bool = False) -> dict[str, object]:
        """The JSON object of `seqtally stats --json`: numbers, shares None
        where undefined, `records_detail` (a list of per-record objects)
        when `records`."""
        shown: dict[str, object] = {"file": self.file, "records": self.records, "length": self.length}
        for key in ("a", "c", "g", "t", "n"):
            shown[key.upper()] = getattr(self, key)
        shown.update(iupac=self.iupac, other=self.other, lowercase=self.lowercase, cpg=self.cpg,
                     gc_upper=self.gc_upper, gc_acgt=self.gc_acgt, gaps=self.gaps, gap_length=self.gap_length)
        for x, (nx, lx) in sorted(self.nx.items(), key=lambda item: (item[0] not in DEFAULT_NX, item[0])):
            shown[f"n{x}"] = nx
            shown[f"l{x}"] = lx
        shown.update(aun=self.aun, effective_size=self.effective_size)
        if records:
            shown["records_detail"] = list(record_rows(self))
        return shown


def record_rows(stats: FileStats) -> Iterator[dict[str, object]]:
    """Per record: name, the counts, its shares (None where undefined) and
    whether `exclude` left it out of the effective size."""
    d = stats.detail
    values = d._values()
    shown = [(key.upper() if len(key) == 1 else key, values[key]) for key in _COLUMNS[:-3]]
    for at, name in enumerate(d.names):
        row: dict[str, object] = {"name": name}
        row.update((key, column[at]) for key, column in shown)
        length = values["length"][at]
        acgt = values["a"][at] + values["c"][at] + values["g"][at] + values["t"][at]
        row["gc_upper"] = values["upper_gc"][at] / length if length else None
        row["gc_acgt"] = (values["g"][at] + values["c"][at]) / acgt if acgt else None
        row.update(gaps=values["gaps"][at], gap_length=values["gap_length"][at], included=bool(d.included_flags[at]))
        yield row


def check_stats_arguments(*, min_gap: int = 1, nx: Iterable[int] = DEFAULT_NX, exclude: str | None = None) -> None:
    """Raises the TypeError or ValueError that stats() would, without
    reading anything."""
    if isinstance(min_gap, bool) or not isinstance(min_gap, int):
        raise TypeError(f"min_gap must be an int, not {type(min_gap).__name__}")
    if min_gap < 1:
        raise ValueError(f"min_gap must be 1 or more, not {min_gap}")
    for x in nx:
        if isinstance(x, bool) or not isinstance(x, int) or not 0 < x <= 100:
            raise ValueError(f"every Nx must be a whole number from 1 to 100, not {x!r}")
    if exclude is not None:
        try:
            re.compile(exclude)
        except re.error as error:
            raise ValueError(f"exclude is not a regular expression: {error}") from None


def stats(source: Source, *, min_gap: int = 1, nx: Iterable[int] = DEFAULT_NX, exclude: str | None = None,
          exclude_bed: str | os.PathLike[str] | None = None, gaps: str | os.PathLike[str] | None = None,
          masked: str | os.PathLike[str] | None = None, verbose: bool = False,
          progress: Progress | None = None) -> FileStats:
    """The statistics of one FASTA source (plain or gzip, BGZF included, told
    by content: a path, "-", a descriptor or a binary file), in one read
    outside the interpreter lock.

    `min_gap`: the shortest N run counted as a gap (and written to `gaps`).
    `nx`: the Nx and Lx computed besides N50 and N90. `exclude`: a regular
    expression; records whose name it finds are left out of the effective
    size only. `exclude_bed`: a BED file of intervals left out of it too; a
    line that is not BED, on a contig no record has or past its record's
    end raises SeqtallyError with its `line`. `gaps`, `masked`: write the N
    runs (at least `min_gap` long) and the lowercase runs as BED3 (0-based,
    file order) there, "-" for standard output; they appear only when
    complete, and never on failure. `progress`: counts the bytes read;
    cancel() ends the call. `verbose`: one line per record on sys.stderr.
    """
    wanted = tuple(dict.fromkeys((*DEFAULT_NX, *nx)))
    check_stats_arguments(min_gap=min_gap, nx=wanted, exclude=exclude)
    pattern = None if exclude is None else re.compile(exclude)
    outputs = [None if out is None or os.fspath(out) == STDOUT else Target.for_path(os.fspath(out))
               for out in (gaps, masked)]
    _check_outputs(source, [os.fspath(out) for out in (gaps, masked) if out is not None])
    label = label_of(source)
    finals = [None if out is None else (STDOUT if target is None else target.final)
              for out, target in zip((gaps, masked), outputs)]
    places = [None if out is None else (1 if target is None else target.write_to)
              for out, target in zip((gaps, masked), outputs)]
    bed = None if exclude_bed is None else os.fspath(exclude_bed)
    with committed(outputs):
        try:
            names, columns = _engine.sequence_stats(source, min_gap, places[0], places[1], bed, progress,
                                                    reporter(label) if verbose else None)
        except _engine.Failure as failure:
            raise from_failure(failure, label, finals[0], finals[1], bed) from failure
        if progress is not None and progress.cancelled:
            raise cancelled()
    path = path_of(source)
    return _file_stats(label if path is None else path, names, columns, pattern, wanted)


def stats_files(sources: Iterable[Source], *, jobs: int = 1, min_gap: int = 1, nx: Iterable[int] = DEFAULT_NX,
                exclude: str | None = None, exclude_bed: str | os.PathLike[str] | None = None,
                progress: Progress | None = None) -> Iterator[FileStats]:
    """stats() of every file, in input order, on `jobs` threads (as
    checksum_files() runs them: batches of consecutive small files, a
    failure raised once the files before it are yielded, the calls still
    running then cancelled)."""
    listed = list(sources)
    wanted = tuple(nx)
    check_stats_arguments(min_gap=min_gap, nx=wanted, exclude=exclude)
    if jobs <= 1 or len(listed) <= 1:
        for source in listed:
            yield _one_file(source, progress, min_gap, wanted, exclude, exclude_bed)
        return
    yield from in_batches(_one_file, listed, jobs, None, progress, min_gap, wanted, exclude, exclude_bed)


def _one_file(source: Source, progress: Progress | None, min_gap: int, nx: tuple[int, ...], exclude: str | None,
              exclude_bed: str | os.PathLike[str] | None) -> FileStats:
    return stats(source, min_gap=min_gap, nx=nx, exclude=exclude, exclude_bed=exclude_bed, progress=progress)


def _check_outputs(source: Source, outputs: list[str]) -> None:
    """Refuses, before anything is created, an output that is the input
    or the other output."""
    source_identity = identity(source)
    seen: list[tuple[int, int] | str] = []
    for output in outputs:
        if output == STDOUT:
            continue
        mark = identity(output) or os.path.realpath(output)
        if source_identity is not None and mark == source_identity:
            raise SeqtallyError("this is the input file: writing BED there would destroy it", output)
        if mark in seen:
            raise SeqtallyError("the gaps and the masked runs cannot go to one file", output)
        seen.append(mark)


def _file_stats(file: str, names: list[str], table: bytes, pattern: re.Pattern[str] | None,
                nx: tuple[int, ...]) -> FileStats:
    included = bytes(pattern is None or pattern.search(name) is None for name in names)
    detail = RecordColumns(tuple(names), table, included)
    values = detail._values()
    sums = {key: sum(column) for key, column in values.items()}
    total = sums["length"]
    found = dict.fromkeys(nx, (0, 0))
    # Lengths from the longest; Nx is the first at which the running sum
    # reaches x% of the total, compared in integers (sum * 100 >= x * total).
    waiting = sorted(nx) if total else []
    running = 0
    for at, length in enumerate(sorted(values["length"], reverse=True)):
        running += length
        while waiting and running * 100 >= waiting[0] * total:
            found[waiting.pop(0)] = (length, at + 1)
        if not waiting:
            break
    aun = sum(length * length for length in values["length"]) / total if total else 0.0
    effective = sum(length - n - excluded for length, n, excluded, kept in
                    zip(values["length"], values["n"], values["excluded"], included) if kept)
    return FileStats(file, len(names), total, sums["a"], sums["c"], sums["g"], sums["t"], sums["n"], sums["iupac"],
                     sums["other"], sums["lowercase"], sums["cpg"], sums["upper_gc"], sums["gaps"],
                     sums["gap_length"], found, aun, effective, detail)
