"""bedGraph and bigWig tracks from the module's wiggle track.

The module writes its wiggle track into a pipe; a converter process (the
module holds the interpreter lock in the process that calls it) reads it in
large blocks, takes each record's window values as one numpy array, and
writes bedGraph text or a bigWig file (pyBigWig). Window i of a record
covers [i * window, (i + 1) * window), 0-based; the last, shorter window ends
at the record's end, never past it. Record lengths come from a chrom.sizes
pass made before: a bigWig file names its chromosomes and their sizes before
any value, and a wiggle track does not say how long a last window is.

    _processes.start("seqtally_tools._tracks.convert", [FORMAT, OUT, SIZES, WINDOW, OMIT_TAIL, TRACK_LINE, LEVEL, PARENT])
"""
from __future__ import annotations

import sys
from collections.abc import Iterator, Sequence
from typing import Any, BinaryIO, Protocol

import numpy as np
import numpy.typing as npt

from ._helper import die_with

WIG, BEDGRAPH, BIGWIG = "wig", "bedgraph", "bigwig"
FORMATS = (WIG, BEDGRAPH, BIGWIG)
_BIGWIG_SUFFIXES = (".bw", ".bigwig")
_BEDGRAPH_SUFFIXES = (".bedgraph", ".bg")
CHUNK = 4 << 20
# bedGraph lines are formatted this many at a time: enough to keep numpy's
# per-call cost small, few enough to keep the arrays small.
LINES_PER_BATCH = 1 << 16

Values = npt.NDArray[np.uint8]
Ints = npt.NDArray[np.int64]


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


def read_sizes(path: str) -> list[tuple[str, int]]:
    with open(path, "rb") as sizes:
        pairs = [line.rsplit(b"\t", 1) for line in sizes.read().splitlines()]
    return [(name.decode("utf-8"), int(length)) for name, length in pairs]


def duplicate_name(sizes: Sequence[tuple[str, int]]) -> tuple[str, int, int] | None:
    """The first name that two records share, with both record numbers."""
    seen: dict[str, int] = {}
    for number, (name, _) in enumerate(sizes, 1):
        if name in seen:
            return name, seen[name], number
        seen[name] = number
    return None


def window_counts(length: int, window: int, omit_tail: bool) -> tuple[int, bool]:
    """Full windows of a record, and whether a shorter last one is written."""
    return length // window, length % window != 0 and not omit_tail


def wig_sections(stream: BinaryIO) -> Iterator[tuple[bytes, Values]]:
    """Per section of a wiggle track as the module writes it (a track line;
    per record a variableStep line, then one "position<TAB>value" line per
    window): the record's name and its window values. Only the values are
    read: the positions are the window starts, in order."""
    carry = b""
    name: bytes | None = None
    values: list[Values] = []
    started = False
    while True:
        chunk = stream.read(CHUNK)
        data = carry + chunk
        # Whole lines only; the rest waits for the next chunk.
        cut = data.rfind(b"\n") + 1 if chunk else len(data)
        at = 0
        if not started and cut:
            if not data.startswith(b"track type=wiggle_0\n"):
                raise ValueError("not a wiggle track from the module")
            at, started = len(b"track type=wiggle_0\n"), True
        # "v" begins a section line and appears nowhere in data lines.
        while at < cut:
            section = data.find(b"v", at, cut)
            end = cut if section < 0 else section
            if end > at:
                values.append(_data_values(data, at, end))
            if section < 0:
                break
            if name is not None:
                yield name, _joined(values)
            line_end = data.index(b"\n", section, cut)
            header = data[section:line_end]
            if not header.startswith(b"variableStep chrom="):
                raise ValueError("not a wiggle track from the module")
            name = header[len(b"variableStep chrom="):].rsplit(b" span=", 1)[0]
            values = []
            at = line_end + 1
        carry = data[cut:]
        if not chunk:
            break
    if name is not None:
        yield name, _joined(values)


def _joined(parts: list[Values]) -> Values:
    return np.concatenate(parts) if parts else np.zeros(0, dtype=np.uint8)


def _data_values(data: bytes, start: int, end: int) -> Values:
    """The values of the "position<TAB>value" lines in data[start:end]:
    integers from 0 to 100."""
    text = np.frombuffer(data, dtype=np.uint8, count=end - start, offset=start)
    tabs = np.flatnonzero(text == 9)
    digits = np.flatnonzero(text == 10) - tabs - 1
    first = text[tabs + 1] - 48
    second = text[np.minimum(tabs + 2, len(text) - 1)] - 48
    values = np.where(digits == 1, first, np.where(digits == 2, first * 10 + second, 100))
    return values.astype(np.uint8)


class TrackWriter(Protocol):
    def add(self, name: str, length: int, values: Values) -> None: ...
    def close(self) -> None: ...


class BigWigWriter:
    def __init__(self, path: str, sizes: Sequence[tuple[str, int]], window: int) -> None:
        import pyBigWig  # type: ignore[import-not-found]  # no stubs

        self._window = window
        self._file = pyBigWig.open(path, "w")
        if self._file is None:
            raise OSError(f"cannot create {path}")
        # Zoom levels as the library makes them by default.
        self._file.addHeader(list(sizes))

    def add(self, name: str, length: int, values: Values) -> None:
        full = min(len(values), length // self._window)
        if full:
            self._file.addEntries(name, 0, values=values[:full].astype(np.float64), span=self._window,
                                  step=self._window)
        if len(values) > full:
            self._file.addEntries([name], [full * self._window], ends=[length], values=[float(values[full])])

    def close(self) -> None:
        self._file.close()


class BedGraphWriter:
    def __init__(self, out: BinaryIO, window: int, track_line: bool) -> None:
        self._out = out
        self._window = window
        # Records (or pieces of large ones) waiting to be formatted: name,
        # length, index of the first window, values.
        self._pending: list[tuple[bytes, int, int, Values]] = []
        self._pending_lines = 0
        if track_line:
            out.write(b"track type=bedGraph\n")

    def add(self, name: str, length: int, values: Values) -> None:
        encoded = name.encode("utf-8")
        for first in range(0, len(values), LINES_PER_BATCH):
            piece = values[first:first + LINES_PER_BATCH]
            self._pending.append((encoded, length, first, piece))
            self._pending_lines += len(piece)
            if self._pending_lines >= LINES_PER_BATCH:
                self._flush()

    def close(self) -> None:
        self._flush()
        self._out.close()

    def _flush(self) -> None:
        if not self._pending:
            return
        counts = np.array([len(p[3]) for p in self._pending], dtype=np.int64)
        name_index = np.repeat(np.arange(len(self._pending), dtype=np.int64), counts)
        lengths = np.repeat(np.array([p[1] for p in self._pending], dtype=np.int64), counts)
        window_index = np.repeat(np.array([p[2] for p in self._pending], dtype=np.int64), counts) + \
            _ragged_arange(counts)
        starts = window_index * self._window
        ends = np.minimum(starts + self._window, lengths)
        values = np.concatenate([p[3] for p in self._pending])
        self._out.write(bedgraph_lines([p[0] for p in self._pending], name_index, starts, ends, values))
        self._pending, self._pending_lines = [], 0


def _ragged_arange(counts: Ints) -> Ints:
    """0..counts[0]-1, 0..counts[1]-1, ... in one array."""
    total = int(counts.sum())
    offsets = np.repeat(np.cumsum(counts) - counts, counts)
    return np.arange(total, dtype=np.int64) - offsets


_POWERS = 10 ** np.arange(1, 19, dtype=np.int64)


def _digit_counts(numbers: Ints) -> Ints:
    return 1 + np.searchsorted(_POWERS, numbers, side="right").astype(np.int64)


def _put_decimal(out: Values, at: Ints, numbers: Ints, digits: Ints, trash: int) -> None:
    """Writes each number in decimal at its offset, last digit first. Every
    place is written for every number, those past a number's first digit
    into out[trash]: cheaper in numpy than picking the numbers out. 32-bit
    arithmetic where the numbers allow it halves the cost again."""
    narrow = len(numbers) == 0 or int(numbers.max()) < 1 << 32
    rest: npt.NDArray[np.unsignedinteger[Any]] = numbers.astype(np.uint32 if narrow else np.uint64)
    position = at + digits - 1
    for place in range(int(digits.max()) if len(digits) else 0):
        quotient = rest // 10
        out[np.where(digits > place, position, trash)] = (rest - quotient * 10).astype(np.uint8) + 48
        rest = quotient
        position -= 1


def bedgraph_lines(names: Sequence[bytes], name_index: Ints, starts: Ints, ends: Ints, values: Values) -> bytes:
    """ "name<TAB>start<TAB>end<TAB>value<LF>" per window, made with numpy
    over all of them at once: one line at a time in Python would cost more
    than the module's whole pass."""
    name_lengths = np.array([len(n) for n in names], dtype=np.int64)
    name_offsets = np.cumsum(name_lengths) - name_lengths
    line_name = name_lengths[name_index]
    numbers = [starts, ends, values.astype(np.int64)]
    digits = [_digit_counts(n) for n in numbers]
    line_lengths = line_name + sum(digits) + 4
    line_starts = np.cumsum(line_lengths) - line_lengths
    size = int(line_lengths.sum())
    out = np.empty(size + 1, dtype=np.uint8)  # out[size]: where the unused writes go
    all_names = np.frombuffer(b"".join(names) + b"\0", dtype=np.uint8)
    line_name_offsets = name_offsets[name_index]
    for place in range(int(name_lengths.max()) if len(names) else 0):
        live = line_name > place
        out[np.where(live, line_starts + place, size)] = all_names[np.where(live, line_name_offsets + place, -1)]
    at = line_starts + line_name
    for column, column_digits in zip(numbers, digits, strict=True):
        out[at] = 9
        _put_decimal(out, at + 1, column, column_digits, size)
        at = at + 1 + column_digits
    out[at] = 10
    return out[:size].tobytes()


def convert(argv: list[str]) -> int:
    """The converter process: the wiggle track on descriptor 0 to OUT ("-":
    descriptor 1)."""
    form, out_path, sizes_path, window_text, omit_tail, track_line, gzip, level, parent = argv
    die_with(int(parent))
    window = int(window_text)
    sizes = read_sizes(sizes_path)
    try:
        writer: TrackWriter
        if form == BIGWIG:
            writer = BigWigWriter(out_path, sizes, window)
        else:
            writer = BedGraphWriter(_open_text(out_path, gzip == "1", int(level)), window, track_line == "1")
        with open(0, "rb", buffering=0, closefd=False) as wig:
            for number, (name, values) in enumerate(wig_sections(wig)):
                expected_name, length = sizes[number]
                full, tail = window_counts(length, window, omit_tail == "1")
                if name.decode("utf-8") != expected_name or len(values) != full + tail:
                    raise ValueError(f"record {number + 1} of the track does not match its chrom.sizes line")
                writer.add(expected_name, length, values)
        writer.close()
    except BrokenPipeError:
        return 3
    except (OSError, ValueError, RuntimeError, IndexError) as error:
        sys.stderr.write(f"cannot write the track: {error}\n")
        return 1
    return 0


class _GzipText:
    """A gzip member (ISA-L: several times zlib's rate; its levels end at 3)
    over a file, both closed by close()."""

    def __init__(self, raw: BinaryIO, level: int) -> None:
        from isal import igzip

        self._raw = raw
        self._member = igzip.IGzipFile(fileobj=raw, mode="wb", compresslevel=min(level, 3))  # type: ignore[no-untyped-call]

    def write(self, data: bytes) -> int:
        return int(self._member.write(data))  # type: ignore[no-untyped-call]

    def close(self) -> None:
        self._member.close()
        self._raw.close()


def _open_text(path: str, gzip: bool, level: int) -> BinaryIO:
    raw: BinaryIO = open(1 if path == "-" else path, "wb", closefd=path != "-")
    return _GzipText(raw, level) if gzip else raw  # type: ignore[return-value]
