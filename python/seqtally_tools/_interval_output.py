"""What samtools faidx, bedtools getfasta and bedtools nuc print, and
bedtools nuc's values as arrays: the bases and composition of regions and
BED intervals of a FASTA file opened by path or given as a FastaFile.

The engine writes the text itself, as it is made, outside the interpreter
lock; what it leaves out (an interval on an unknown sequence, past its
end, or empty) comes back as notes, never half-printed."""
from __future__ import annotations

import os
from array import array
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

from . import _engine
from ._engine import Progress
from ._errors import from_failure, os_error
from ._intervals import Intervals, composition as _composition
from ._outputs import STDOUT, Target
from ._reference import FastaFile, RegionError, UnknownSequence

if TYPE_CHECKING:
    import numpy.typing as npt

Fasta = str | os.PathLike[str] | FastaFile
Output = str | os.PathLike[str] | int
T = TypeVar("T")


class IntervalNote(NamedTuple):
    """A BED interval left out of the output: `line` its BED line, `fault`
    "empty" (bedtools leaves it out too), "unknown-contig" or "past-end"
    (bedtools would print something else), `text` in plain words."""

    line: int
    fault: str
    text: str


class RegionNote(NamedTuple):
    """A region printed otherwise than asked, or left out: `number` its
    place among the regions given (from 0), `region` as given, `fault` "unknown-sequence" or
    "bad-region" (left out: `printed` False), "cut" (it ends past its
    sequence, so the bases up to its end) or "after-end" (it starts after
    its sequence's end: a header without bases), `text` in plain words."""

    number: int
    region: str
    fault: str
    text: str
    printed: bool


def composition(fasta: Fasta, intervals: Intervals, *, strand: bool = False, pattern: str | None = None,
                ignore_case: bool = False) -> npt.NDArray[Any]:
    """bedtools nuc's values for every interval, as a numpy structured
    array with its column names: pct_at and pct_gc (float32, over the whole
    interval, N and other bytes included, as bedtools divides), num_A,
    num_C, num_G, num_T, num_N, num_oth and seq_len (int64; A/C/G/T/N in
    either case, U counted as T as bedtools does), and user_patt_count
    with `pattern` (overlapping occurrences; case matters unless
    `ignore_case`). With `strand`, intervals on "-" are counted reverse
    complemented. An empty interval has shares of NaN."""
    return _with_file(fasta, lambda opened: _composition(opened, intervals, strand=strand, pattern=pattern,
                                                          ignore_case=ignore_case))


def write_regions(fasta: Fasta, regions: Sequence[str], output: Output = STDOUT, *, reverse_complement: bool = False,
                  progress: Progress | None = None) -> list[RegionNote]:
    """What samtools faidx FASTA REGION... prints: per region (NAME,
    NAME:BEGIN-END, NAME:BEGIN, 1-based and inclusive; {NAME}:... for
    names with colons) ">REGION", then its bases 60 a line; reverse
    complemented with "/rc" after the header with `reverse_complement`.
    `output`: a path (appears only when complete), "-" for standard output
    or a descriptor. A region that cannot be read is left out, the others
    printed; the notes say which, and which were cut at their sequence's
    end."""
    return _with_file(fasta, lambda opened: _write_regions(opened, regions, output, reverse_complement, progress))


def write_intervals(fasta: Fasta, bed: str | os.PathLike[str], output: Output = STDOUT, *, strand: bool = False,
                    header: str = "position", tab: bool = False,
                    progress: Progress | None = None) -> list[IntervalNote]:
    """What bedtools getfasta -fi FASTA -bed BED prints: per interval
    (0-based, half-open; BED3 to BED12, "-" for standard input) a header
    and its bases on one line. `strand`: intervals on "-" reverse
    complemented, the strand in the header (-s); `header` "position"
    (CHROM:START-END), "name" (NAME::CHROM:START-END, -name) or
    "name_only" (NAME, -nameOnly); `tab`: HEADER<TAB>BASES lines (-tab).
    `output` as for write_regions(). Intervals that cannot be printed are
    left out, each an IntervalNote."""
    path = os.fspath(bed)
    return _with_file(fasta, lambda opened: _bed_command(opened, path, output, lambda reader, out: reader.getfasta(
        path, out, strand, header, tab, progress)))


def write_nuc(fasta: Fasta, bed: str | os.PathLike[str], output: Output = STDOUT, *, strand: bool = False,
              seq: bool = False, pattern: str | None = None, ignore_case: bool = False,
              progress: Progress | None = None) -> list[IntervalNote]:
    """What bedtools nuc -fi FASTA -bed BED prints: a header line, then per
    interval its BED columns, pct_at and pct_gc, the counts of A, C, G, T,
    N and other bytes, and its length; with `seq` its bases (-seq), with
    `pattern` its overlapping occurrences (-pattern; `ignore_case`: -C).
    `strand`: intervals on "-" counted reverse complemented (-s). `output`
    and the notes as for write_intervals()."""
    if pattern is not None and not pattern:
        raise ValueError("the pattern is empty")
    path = os.fspath(bed)
    return _with_file(fasta, lambda opened: _bed_command(opened, path, output, lambda reader, out: reader.nuc(
        path, out, strand, seq, pattern or "", ignore_case, progress)))


def _with_file(fasta: Fasta, run: Callable[[FastaFile], T]) -> T:
    if isinstance(fasta, FastaFile):
        return run(fasta)
    with FastaFile(fasta) as opened:
        return run(opened)


@contextmanager
def _output(output: Output) -> Iterator[tuple[str | int, str]]:
    """Where the engine writes, and its name in messages: a path is written
    under a temporary name and renamed when the block succeeds."""
    if isinstance(output, int):
        yield output, f"descriptor {output}"
        return
    name = os.fspath(output)
    if name == STDOUT:
        yield STDOUT, "standard output"
        return
    target = Target.for_path(name)
    try:
        yield target.write_to, name
        try:
            target.commit()
        except OSError as error:
            raise os_error(error, name) from None
    finally:
        target.discard()


def _bed_command(fasta: FastaFile, bed: str, output: Output,
                 run: Callable[[_engine.IntervalReader, str | int], list[_engine.BedNote]]) -> list[IntervalNote]:
    with _output(output) as (written, label):
        try:
            return [IntervalNote(note.line, note.fault, note.text) for note in run(fasta.interval_reader(), written)]
        except _engine.Failure as failure:
            raise from_failure(failure, fasta.filename, output=label, bed=bed) from None


def _write_regions(fasta: FastaFile, regions: Sequence[str], output: Output, reverse: bool,
                   progress: Progress | None) -> list[RegionNote]:
    notes = []
    numbers = {name: i for i, name in enumerate(fasta.references)}
    wanted: list[tuple[int, int, int, str]] = []
    for index, region in enumerate(regions):
        try:
            reference, start, end = fasta.parse_region(region)
            length = fasta.get_reference_length(reference)
        except (UnknownSequence, RegionError) as error:
            fault = "unknown-sequence" if isinstance(error, UnknownSequence) else "bad-region"
            notes.append(RegionNote(index, region, fault, error.reason, False))
            continue
        if (start or 0) >= length:
            notes.append(RegionNote(index, region, "after-end",
                                    f"starts after the end of {reference} ({length} bases): no bases", True))
        elif end is not None and end > length:
            notes.append(RegionNote(index, region, "cut", f"cut at the end of {reference} ({length} bases)", True))
        stop = length if end is None else min(end, length)
        wanted.append((numbers[reference], min(start or 0, stop), stop, region))
    columns = list(zip(*wanted)) or [(), (), (), ()]
    with _output(output) as (written, label):
        try:
            fasta.interval_reader().faidx(array("I", columns[0]).tobytes(), array("Q", columns[1]).tobytes(),
                                          array("Q", columns[2]).tobytes(), bytes([reverse]) * len(wanted),
                                          list(columns[3]), written, progress)
        except _engine.Failure as failure:
            raise from_failure(failure, fasta.filename, output=label) from None
    return notes
