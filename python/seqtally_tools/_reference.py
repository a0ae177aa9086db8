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
from collections.abc import Callable
from contextlib import ExitStack
from typing import NamedTuple

from . import _engine
from ._canonical import canonical_json
from ._checksum import SequenceChecksum
from ._dictionary import write_dictionary
from ._engine import Progress
from ._errors import SeqtallyError, from_failure, os_error
from ._inputs import reference_base
from ._intervals import Intervals, Sequences, fetch_many
from ._outputs import Target
from ._seqcol import level2_of


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


def index(fasta: str | os.PathLike[str], *, force: bool = False, progress: Progress | None = None,
          on_record: Callable[[str, int], object] | None = None,
          bgzip: bool | str | os.PathLike[str] = False, level: int = -1) -> FastaIndex:
    """Reads `fasta` (plain, gzip or BGZF) once and writes beside it
    FASTA.fai (and FASTA.gzi for BGZF), as samtools faidx writes them, and
    BASE.dict, BASE.chrom.sizes and BASE.seqcol.json (the level-2
    collection), BASE being its name without FASTA and gzip extensions.
    What the file holds decides, not its name: plain gzip gets no .fai (it
    cannot be read at random), and a note says so; a file that is BGZF up
    to a plain gzip member is refused. Existing files are replaced only
    with `force`; otherwise nothing is written (and, for an existing
    .dict, .chrom.sizes or .seqcol.json, nothing read). Every file appears
    complete, or none does.

    With `bgzip` (True: BASE.fa.gz beside the input; or a path), the same
    read writes a BGZF copy, exactly the input's bytes once inflated, in
    bgzip's blocks at bgzip's `level` (0 to 9, the same bytes as bgzip -l;
    -1: 5, one step faster than bgzip's default 6), and every
    file is named after the copy: COPY.fai, COPY.gzi, and the others after
    its BASE. `fasta` may then be "-" (with a path for the copy). The copy
    may be the input itself (a gzip download): it is replaced once all is
    complete, and a failure leaves it as it was. Input that is BGZF
    already is indexed as it is, with a note."""
    path = os.fspath(fasta)
    notes = []
    if bgzip is not False:
        if path == "-" or not _already_bgzf(path):
            return _index_to_copy(path, _copy_name(path, bgzip), force, progress, on_record, level)
        notes.append(f"{path}: BGZF already: indexed as it is, without a copy")
    if path == "-":
        raise SeqtallyError("an index is written beside its FASTA file: give a path, not standard input")
    base = reference_base(path)
    outputs = {"fai": path + ".fai", "gzi": path + ".gzi", "dict": base + ".dict", "sizes": base + ".chrom.sizes",
               "seqcol": base + ".seqcol.json"}
    # Which of the .fai and .gzi are written, the read tells: these three
    # always are, and are looked at before it.
    _refuse_existing([outputs[kind] for kind in ("dict", "sizes", "seqcol")], force)
    try:
        indexed = _engine.index(path, progress=progress, on_record=on_record)
    except _engine.Failure as failure:
        raise from_failure(failure, path, purpose=_DISTINCT) from None
    if indexed.compression == "gzip":
        _refuse_partly_bgzf(indexed, path)
        notes.append(f"{path}: gzip but not BGZF, so it has no FASTA index (.fai): it cannot be read at random. "
                     f"{CONVERT_HINT}")
        del outputs["fai"], outputs["gzi"]
    else:
        notes += _check_layout(indexed.entries, path)
        if indexed.compression == "plain":
            del outputs["gzi"]
        _refuse_existing([outputs[kind] for kind in ("fai", "gzi") if kind in outputs], force)
    records, contents = _contents(indexed, path, notes)
    order = [kind for kind in ("fai", "gzi", "dict", "sizes", "seqcol") if kind in outputs]
    _write_all([(Target.for_path(outputs[kind]), contents[kind]) for kind in order])
    return FastaIndex(records, [outputs[kind] for kind in order], notes)


# What FastaFile, fetch and index say of plain gzip: how to make it readable at random.
CONVERT_HINT = "seqtally index --bgzip converts it in one read, with its indexes"


def _already_bgzf(path: str) -> bool:
    """Whether the file's first block is BGZF, as the engine's reader tells
    it. Only of a regular file: a FIFO opened twice would split its bytes
    between the look and the read."""
    if not os.path.isfile(path):
        return False
    try:
        _engine.RandomAccess(path, None).close()
    except _engine.Failure as failure:
        return failure.fault == "index-missing"
    return False


def _copy_name(path: str, bgzip: bool | str | os.PathLike[str]) -> str:
    if not isinstance(bgzip, bool):
        return os.fspath(bgzip)
    if path == "-":
        raise SeqtallyError("a BGZF copy of standard input needs a name: give it one (--bgzip OUTPUT)")
    return reference_base(path) + ".fa.gz"


def _index_to_copy(path: str, copy: str, force: bool, progress: Progress | None,
                   on_record: Callable[[str, int], object] | None, level: int) -> FastaIndex:
    base = reference_base(copy)
    outputs = {"fai": copy + ".fai", "gzi": copy + ".gzi", "dict": base + ".dict", "sizes": base + ".chrom.sizes",
               "seqcol": base + ".seqcol.json"}
    replaces_input = path != "-" and os.path.exists(copy) and os.path.samefile(copy, path)
    _refuse_existing(list(outputs.values()) + ([] if replaces_input else [copy]), force)
    target = Target.for_path(copy)
    if replaces_input and not target.temporary:
        raise SeqtallyError("the copy would overwrite its input while it is read", copy,
                            "give the copy another name", kind="os", errno=errno.EINVAL)
    label = "standard input" if path == "-" else path
    try:
        try:
            indexed = _engine.index(path, progress=progress, on_record=on_record, bgzip=target.write_to, level=level)
        except _engine.Failure as failure:
            raise from_failure(failure, label, copy, purpose=_DISTINCT) from None
        notes = _check_layout(indexed.entries, label)
        records, contents = _contents(indexed, copy, notes)
    except BaseException:
        target.discard()
        raise
    order = ("fai", "gzi", "dict", "sizes", "seqcol")
    _write_all([(Target.for_path(outputs[kind]), contents[kind]) for kind in order], first=target)
    return FastaIndex(records, [copy] + [outputs[kind] for kind in order], notes)


def _contents(indexed: _engine.Indexed, fasta: str, notes: list[str]) -> tuple[list[IndexRecord], dict[str, bytes]]:
    """The records and every file's bytes; the dictionary's notes are added
    to `notes`, its UR is `fasta`'s."""
    records = [IndexRecord(entry.name, entry.length, entry.offset, entry.line_bases, entry.line_bytes,
                           entry.sha512t24u or "", entry.md5 or "") for entry in indexed.entries]
    checksums = [SequenceChecksum(r.name, r.length, r.sha512t24u, r.md5) for r in records]
    dictionary = write_dictionary(indexed.entries, uri="file://" + os.path.abspath(fasta), assembly=None,
                                  species=None)
    notes += dictionary.notes
    return records, {
        "fai": indexed.fai,
        "gzi": indexed.gzi or b"",
        "dict": dictionary.text.encode(),
        "sizes": indexed.sizes,
        "seqcol": canonical_json(level2_of(checksums)) + b"\n",
    }


def _refuse_existing(outputs: list[str], force: bool) -> None:
    for output in outputs:
        if not force and os.path.lexists(output):
            raise SeqtallyError("exists already", output, "--force (force=True) replaces it", kind="os",
                                errno=errno.EEXIST)
        Target.for_path(output)  # a missing folder, said before anything is written


def _refuse_partly_bgzf(indexed: _engine.Indexed, path: str) -> None:
    """A file that is BGZF up to a plain gzip member (a gzip file appended
    to a bgzipped one) is refused: it looks like BGZF, yet cannot be read
    at random, and samtools faidx indexes only the records before that
    member, leaving the others out without a word."""
    if indexed.gzip_member_at:
        raise SeqtallyError(f"BGZF up to byte {indexed.gzip_member_at}, where a gzip member that is not BGZF "
                            "starts: it cannot be read at random, and samtools faidx would index only the records "
                            "before it", path, "recompress it whole: zcat FILE | bgzip > NEW", kind="format",
                            fault="unsupported")


# Why an index refuses two records of one name.
_DISTINCT = "an index needs distinct names (samtools would keep the first and drop the other silently)"


def _check_layout(entries: list[_engine.IndexEntry], path: str) -> list[str]:
    notes = []
    for number, entry in enumerate(entries, 1):
        if entry.problem is not None:
            raise SeqtallyError(f"record {number} ({entry.name}): {entry.problem.text}", path,
                                "rewrap it with equal lines, for example with seqkit seq -w 60",
                                kind="format", line=entry.problem.line, record=number)
        if entry.length == 0:
            notes.append(f"record {number} ({entry.name!r}) has no sequence: the .fai leaves it out, as samtools "
                         "does; the other files list it")
    return notes


def _write_all(files: list[tuple[Target, bytes]], first: Target | None = None) -> None:
    """Every file under its temporary name, then all renamed: a failure
    leaves none of them, and the files that were there untouched.
    `first`, a file written already, is renamed first: once a copy
    replaces its input, the input's bytes are safe whatever follows."""
    with ExitStack() as cleanup:
        if first is not None:
            cleanup.callback(first.discard)
        for target, data in files:
            cleanup.callback(target.discard)
            try:
                with open(target.write_to, "wb") as written:
                    written.write(data)
            except OSError as error:
                raise os_error(error, target.final) from None
        for target in ([first] if first is not None else []) + [target for target, _ in files]:
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
        fai = filepath_index or self.filename + ".fai"
        gzi_path = filepath_index_compressed or self.filename + ".gzi"
        places = _read_fai(fai) if os.path.exists(fai) else None
        gzi = _read_bytes(gzi_path) if places is not None and os.path.exists(gzi_path) else None
        # The engine tells plain from BGZF by the file's first bytes, refuses
        # gzip, and BGZF without a .gzi, which one read of the file gives.
        reader = _open_reader(self.filename, gzi, missing_index_allowed=True)
        if reader is None or places is None:
            places, gzi = _index_in_memory(self.filename)
            reader = reader or _open_reader(self.filename, gzi)
        assert reader is not None
        self._places = places
        self._gzi = gzi if reader.bgzf else None
        self.references: tuple[str, ...] = tuple(places)
        self.lengths: tuple[int, ...] = tuple(place.length for place in places.values())
        self._reader: _engine.RandomAccess | None = reader
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
    return {entry.name: _Place(entry.length, entry.offset, max(entry.line_bases, 1), max(entry.line_bytes, 1))
            for entry in entries}


def _open_reader(path: str, gzi: bytes | None, missing_index_allowed: bool = False) -> _engine.RandomAccess | None:
    """The engine's reader; None for BGZF without its .gzi when that is allowed."""
    try:
        return _engine.RandomAccess(path, gzi)
    except _engine.Failure as failure:
        if missing_index_allowed and failure.fault == "index-missing":
            return None
        error = from_failure(failure, path)
        if isinstance(error, SeqtallyError) and failure.fault == "unsupported":
            error.hint = CONVERT_HINT
        raise error from None


def _index_in_memory(path: str) -> tuple[dict[str, _Place], bytes | None]:
    try:
        indexed = _engine.index(path, digests=False)
    except _engine.Failure as failure:
        raise from_failure(failure, path, purpose=_DISTINCT) from None
    _refuse_partly_bgzf(indexed, path)
    if indexed.compression == "gzip":  # replaced since the engine's reader looked at it
        raise SeqtallyError("gzip but not BGZF: it cannot be read at random", path, CONVERT_HINT, kind="format",
                            fault="unsupported")
    _check_layout(indexed.entries, path)
    places = {entry.name: _Place(entry.length, entry.offset, max(entry.line_bases, 1), max(entry.line_bytes, 1))
              for entry in indexed.entries if entry.length > 0}
    return places, indexed.gzi
