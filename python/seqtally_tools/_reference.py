"""A reference prepared in one read (FASTA index, BGZF index, dictionary,
chrom.sizes, seqcol), and random access to its bases.

The .fai and .gzi are samtools faidx's, byte for byte. Where samtools
would write an index that disagrees with the other files, or silently
drops a record, seqtally refuses instead: a record whose sequence holds
spaces or control bytes (samtools leaves them out of its length), and two
records of one name (samtools keeps the first)."""
from __future__ import annotations

import errno
import os
import re
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from typing import NamedTuple

from . import _engine
from ._canonical import canonical_json
from ._checksum import SequenceChecksum
from ._dictionary import write_dictionary
from ._engine import Progress
from ._errors import SeqtallyError, from_failure, os_error
from ._intervals import Intervals, Sequences, fetch_many
from ._outputs import Target
from ._seqcol import level2_of

FASTA_SUFFIXES = (".fa", ".fasta", ".fna", ".fas", ".fsa", ".ffn", ".frn", ".mfa", ".seq")
GZIP_SUFFIXES = (".gz", ".bgz", ".bgzf")
# samtools faidx writes regions 60 bases a line.
LINE_WIDTH = 60


class IndexRecord(NamedTuple):
    """One record as index() found it: its .fai values (offset in the
    decoded stream; offset, line_bases and line_bytes are 0 for a record
    without sequence, which a .fai leaves out) and its digests."""

    name: str
    length: int
    offset: int
    line_bases: int
    line_bytes: int
    sha512t24u: str
    md5: str


class FastaIndex(NamedTuple):
    """What index() did: the records, the files written (in the order
    listed), and notes for a person (records samtools would read otherwise,
    input that cannot have a .fai)."""

    records: list[IndexRecord]
    files: list[str]
    notes: list[str]


def reference_base(path: str) -> str:
    """The name without its gzip and FASTA extensions (genome.fa.gz:
    genome): what index() names the .dict, .chrom.sizes and .seqcol.json
    it writes after."""
    name = path
    for suffixes in (GZIP_SUFFIXES, FASTA_SUFFIXES):
        for suffix in suffixes:
            if name.lower().endswith(suffix) and len(name) > len(suffix):
                name = name[:-len(suffix)]
                break
    return name


def compression_of(path: str) -> str:
    """"plain", "gzip" or "bgzf", from the first bytes (a BGZF block starts
    with a gzip header whose extra field is BC)."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(18)
    except OSError as error:
        raise os_error(error, path) from None
    if head[:2] != b"\x1f\x8b":
        return "plain"
    return "bgzf" if len(head) == 18 and head[3] & 4 and head[12:14] == b"BC" else "gzip"


def index(fasta: str | os.PathLike[str], *, force: bool = False, progress: Progress | None = None,
          on_record: Callable[[str, int], object] | None = None) -> FastaIndex:
    """Reads `fasta` (plain, gzip or BGZF) once and writes beside it
    FASTA.fai (and FASTA.gzi for BGZF), as samtools faidx writes them, and
    BASE.dict, BASE.chrom.sizes and BASE.seqcol.json (the level-2
    collection), BASE being its name without FASTA and gzip extensions.
    Plain gzip gets no .fai (it cannot be read at random): a note says so.
    Existing files are replaced only with `force`; otherwise nothing is
    read or written. Every file appears complete, or none does."""
    path = os.fspath(fasta)
    if path == "-":
        raise SeqtallyError("an index is written beside its FASTA file: give a path, not standard input")
    compression = compression_of(path)
    base = reference_base(path)
    outputs = {"dict": base + ".dict", "sizes": base + ".chrom.sizes", "seqcol": base + ".seqcol.json"}
    if compression != "gzip":
        outputs["fai"] = path + ".fai"
    if compression == "bgzf":
        outputs["gzi"] = path + ".gzi"
    if not force:
        for output in outputs.values():
            if os.path.lexists(output):
                raise SeqtallyError("exists already", output, "--force (force=True) replaces it", kind="os",
                                    errno=errno.EEXIST)
    targets = {kind: Target.for_path(output) for kind, output in outputs.items()}
    try:
        found, entries, gzi, fai, sizes = _engine.index(path, progress=progress, on_record=on_record)
    except _engine.Failure as failure:
        raise from_failure(failure, path, purpose=_DISTINCT) from None
    notes = []
    if found == "gzip":
        notes.append(f"{path}: gzip but not BGZF, so it has no FASTA index (.fai): it cannot be read at random. "
                     "bgzip compresses it so that it can be")
    elif "fai" in outputs:
        notes += _check_layout(entries, path)
    records = [IndexRecord(name, length, offset, line_bases, line_bytes, sha or "", md5 or "")
               for name, length, offset, line_bases, line_bytes, sha, md5, _, _ in entries]
    checksums = [SequenceChecksum(r.name, r.length, r.sha512t24u, r.md5) for r in records]
    dictionary = write_dictionary(entries, uri="file://" + os.path.abspath(path), assembly=None, species=None)
    notes += dictionary.notes
    contents: dict[str, bytes] = {
        "fai": fai,
        "gzi": gzi or b"",
        "dict": dictionary.text.encode(),
        "sizes": sizes,
        "seqcol": canonical_json(level2_of(checksums)) + b"\n",
    }
    order = [kind for kind in ("fai", "gzi", "dict", "sizes", "seqcol") if kind in targets]
    _write_all([(targets[kind], contents[kind]) for kind in order])
    return FastaIndex(records, [outputs[kind] for kind in order], notes)


# Why an index refuses two records of one name.
_DISTINCT = "an index needs distinct names (samtools would keep the first and drop the other silently)"


def _check_layout(entries: list[_engine.IndexEntry], path: str) -> list[str]:
    notes = []
    for number, entry in enumerate(entries, 1):
        problem = entry[7]
        if problem is not None:
            line, text = problem
            raise SeqtallyError(f"record {number} ({entry[0]}): {text}", path,
                                "rewrap it with equal lines, for example with seqkit seq -w 60",
                                kind="format", line=line, record=number)
        if entry[1] == 0:
            notes.append(f"record {number} ({entry[0]!r}) has no sequence: the .fai leaves it out, as samtools "
                         "does; the other files list it")
    return notes


def _write_all(files: list[tuple[Target, bytes]]) -> None:
    """Every file under its temporary name, then all renamed: a failure
    leaves none of them, and the files that were there untouched."""
    with ExitStack() as cleanup:
        for target, data in files:
            cleanup.callback(target.discard)
            try:
                with open(target.write_to, "wb") as written:
                    written.write(data)
            except OSError as error:
                raise os_error(error, target.final) from None
        for target, _ in files:
            try:
                target.commit()
            except OSError as error:
                raise os_error(error, target.final) from None
        cleanup.pop_all()


# ---------------------------------------------------------------- random access


class _Place(NamedTuple):
    length: int
    offset: int
    line_bases: int
    line_bytes: int


class UnknownSequence(KeyError):
    """A name the file does not hold (KeyError, as pysam raises it); `reason`
    says so in plain words."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.reason = f"sequence '{name}' not present"
        super().__init__(self.reason)


class RegionError(ValueError):
    """A region that cannot be read (ValueError, as pysam raises it):
    `region` as given, `reason` in plain words without it."""

    def __init__(self, region: str, reason: str) -> None:
        self.region = region
        self.reason = reason
        super().__init__(f"{region}: {reason}")


# samtools' regions: NAME, NAME:BEGIN, NAME:BEGIN-END, NAME:-END,
# NAME:BEGIN-; numbers may hold commas; {NAME} for names with colons.
_RANGE = re.compile(r"(?P<begin>[0-9,]*)(?:(?P<dash>-)(?P<end>[0-9,]*))?")


class FastaFile:
    """Random access to a plain or BGZF FASTA file, as pysam.FastaFile
    gives it: `references`, `lengths`, fetch() with 0-based half-open
    coordinates or a samtools region. The index is read from FASTA.fai (and
    FASTA.gzi), or built in memory by one read of the file when missing."""

    def __init__(self, filename: str | os.PathLike[str], filepath_index: str | None = None,
                 filepath_index_compressed: str | None = None) -> None:
        self.filename = os.fspath(filename)
        compression = compression_of(self.filename)
        if compression == "gzip":
            raise SeqtallyError("gzip but not BGZF: it cannot be read at random", self.filename,
                                "bgzip compresses it so that it can be")
        fai = filepath_index or self.filename + ".fai"
        gzi_path = filepath_index_compressed or self.filename + ".gzi"
        gzi: bytes | None = None
        if os.path.exists(fai) and (compression == "plain" or os.path.exists(gzi_path)):
            places = _read_fai(fai)
            if compression == "bgzf":
                gzi = _read_bytes(gzi_path)
        else:
            places, gzi = _index_in_memory(self.filename)
        self._places = places
        self._gzi = gzi
        self.references: tuple[str, ...] = tuple(places)
        self.lengths: tuple[int, ...] = tuple(place.length for place in places.values())
        try:
            self._reader: _engine.RandomAccess | None = _engine.RandomAccess(self.filename, gzi)
        except _engine.Failure as failure:
            raise from_failure(failure, self.filename) from None
        self._intervals: _engine.IntervalReader | None = None

    @property
    def nreferences(self) -> int:
        return len(self.references)

    @property
    def closed(self) -> bool:
        return self._reader is None

    def __len__(self) -> int:
        return len(self.references)

    def __contains__(self, reference: object) -> bool:
        return reference in self._places

    def __enter__(self) -> FastaFile:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
            self._reader = None
            self._intervals = None

    def interval_reader(self) -> _engine.IntervalReader:
        """The engine's reader of many intervals, made on first use."""
        if self._reader is None:
            raise ValueError("I/O operation on closed file")
        if self._intervals is None:
            try:
                self._intervals = _engine.IntervalReader(self.filename, self._gzi,
                                                         [(name, *place) for name, place in self._places.items()])
            except _engine.Failure as failure:
                raise from_failure(failure, self.filename) from None
        return self._intervals

    def fetch_many(self, intervals: Intervals, *, strand: bool = False) -> Sequences:
        """The bases of every interval (a BED file, (contig, start, end[,
        strand]) tuples, or (contigs, starts, ends) arrays; 0-based,
        half-open), as one numpy buffer with offsets, in the given order;
        with `strand`, those on "-" reverse complemented. Read outside the
        interpreter lock, in the order the bases lie in the file."""
        return fetch_many(self, intervals, strand=strand)

    def get_reference_length(self, reference: str) -> int:
        return self._place(reference).length

    def fetch(self, reference: str | None = None, start: int | None = None, end: int | None = None,
              region: str | None = None) -> str:
        """Bases [start, end) of `reference` (0-based; None: from its start,
        to its end), or of `region` ("chr1:1-100", 1-based and inclusive, as
        samtools takes it). An end past the sequence is cut at its end.
        KeyError: no such sequence; ValueError: bad coordinates."""
        reader = self._reader
        if reader is None:
            raise ValueError("I/O operation on closed file")
        if region is not None:
            if reference is not None:
                raise ValueError("give a reference or a region, not both")
            reference, start, end = self.parse_region(region)
        elif reference is None:
            raise ValueError("neither a reference nor a region was given")
        place = self._place(reference)
        begin = 0 if start is None else start
        stop = place.length if end is None else end
        if begin < 0:
            raise ValueError(f"start out of range ({begin})")
        if stop < begin:
            raise ValueError(f"invalid coordinates: start ({begin}) > stop ({stop})")
        stop = min(stop, place.length)
        if begin >= stop:
            return ""
        try:
            return reader.fetch(place.offset, place.line_bases, place.line_bytes, begin, stop)
        except _engine.Failure as failure:
            raise from_failure(failure, self.filename) from None

    def parse_region(self, region: str) -> tuple[str, int | None, int | None]:
        """A samtools region as (reference, start, end), 0-based half-open
        (None where the region leaves it open)."""
        if region.startswith("{") and "}" in region:
            close = region.index("}")
            name, rest = region[1:close], region[close + 1:]
            if rest and not rest.startswith(":"):
                raise RegionError(region, "a name in braces may be followed only by :RANGE")
            return (name, *self._range(rest[1:], region)) if rest else (name, None, None)
        colon = region.rfind(":")
        whole = region in self._places
        if colon < 0 or not _RANGE.fullmatch(region[colon + 1:]):
            if not whole:
                raise UnknownSequence(region)
            return region, None, None
        name = region[:colon]
        if whole and name in self._places:
            raise RegionError(region, f"ambiguous: write {{{region}}} or {{{name}}}:{region[colon + 1:]}")
        if whole:
            return region, None, None
        return (name, *self._range(region[colon + 1:], region))

    def _range(self, text: str, region: str) -> tuple[int | None, int | None]:
        found = _RANGE.fullmatch(text)
        if found is None:
            raise RegionError(region, "not a range (BEGIN, BEGIN-END, -END or BEGIN-)")
        begin_text = found["begin"].replace(",", "")
        end_text = (found["end"] or "").replace(",", "")
        begin = int(begin_text) if begin_text else 1
        if begin < 1:
            raise RegionError(region, "positions count from 1")
        if found["dash"] is None:
            return begin - 1, None
        end = int(end_text) if end_text else None
        if end is not None and end < begin:
            raise RegionError(region, "the end comes before the start")
        return begin - 1, end

    def _place(self, reference: str) -> _Place:
        try:
            return self._places[reference]
        except KeyError:
            raise UnknownSequence(reference) from None

    def wrapped(self, reference: str, start: int | None, end: int | None) -> Iterator[str]:
        """The bases in lines of 60, each with its line end, fetched a few
        MB at a time (as samtools faidx prints a region)."""
        place = self._place(reference)
        begin = start or 0
        stop = min(place.length if end is None else end, place.length)
        step = LINE_WIDTH * 100_000
        for at in range(begin, stop, step):
            bases = self.fetch(reference, at, min(at + step, stop))
            yield "".join(bases[i:i + LINE_WIDTH] + "\n" for i in range(0, len(bases), LINE_WIDTH))


def _read_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as error:
        raise os_error(error, path) from None


def _read_fai(path: str) -> dict[str, _Place]:
    try:
        entries = _engine.read_fai(_read_bytes(path))
    except _engine.Failure as failure:
        raise from_failure(failure, path) from None
    # A record without bases has no lines to place; 1 keeps the line
    # arithmetic defined.
    return {name: _Place(length, offset, max(line_bases, 1), max(line_bytes, 1))
            for name, length, offset, line_bases, line_bytes in entries}


def _index_in_memory(path: str) -> tuple[dict[str, _Place], bytes | None]:
    try:
        found, entries, gzi, _, _ = _engine.index(path, digests=False)
    except _engine.Failure as failure:
        raise from_failure(failure, path, purpose=_DISTINCT) from None
    _check_layout(entries, path)
    places = {entry[0]: _Place(entry[1], entry[2], max(entry[3], 1), max(entry[4], 1)) for entry in entries
              if entry[1] > 0}
    return places, gzi

