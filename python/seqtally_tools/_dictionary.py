"""Sequence dictionaries in SAM header form, as `samtools dict` and
Picard's CreateSequenceDictionary write them.

The SAM rule for M5 (and samtools' for LN) keeps only the bytes from "!" to
"~" of a sequence, uppercased; seqtally digests every byte of the sequence
lines with a-z uppercased. samtools also ends a name at any whitespace,
seqtally at a space only. For the rare record where that makes a difference
the dictionary holds what samtools writes, and a note names the record. To
find such records the input is scanned once more, here in Python; only
records found there are read a third time, to compute their SAM values.
"""
from __future__ import annotations

import bisect
import hashlib
import os
import re
import zlib
from collections.abc import Iterator
from typing import BinaryIO, NamedTuple

from ._checksum import SequenceChecksum, checksum
from ._engine import Progress
from ._errors import SeqtallyError, cancelled, os_error
from ._inputs import STDIN, Source, label_of, opened_plain, path_of, rereadable

CHUNK = 8 << 20
_SAM_KEPT = bytes(range(33, 127))
_NOT_SAM = bytes(set(range(256)) - set(_SAM_KEPT))
# The bytes that can end a name for samtools but not for seqtally.
_SUSPECT = re.compile(rb"[^!-~\n]")


class SamRecord(NamedTuple):
    name: str
    length: int
    md5: str


class SequenceDictionary(NamedTuple):
    """`text`: the dictionary; `notes`: one line per record whose values
    there differ from what seqtally checksum reports for it."""

    text: str
    notes: list[str]


def sequence_dictionary(source: Source, *, uri: str | None = None, assembly: str | None = None,
                        species: str | None = None, progress: Progress | None = None) -> SequenceDictionary:
    """The SAM header (@HD, then one @SQ per record with SN, LN, M5 and UR,
    and AS and SP when given) of a FASTA file, plain or gzip: a path, "-",
    a descriptor or a binary file (standard input, pipes and the like are
    kept in a temporary file first: the input is read twice). UR is `uri`,
    or the file: URL of the input's absolute path (none for standard input
    and sources that are not paths)."""
    path, label = path_of(source), label_of(source)
    with rereadable(source, progress) as readable:
        try:
            records = checksum(readable, progress=progress)
        except SeqtallyError as error:
            if error.path is not None:
                error.path = label  # not the name of a copy
            raise
        odd = find_sam_differences(readable, label, progress)
    if uri is None and path is not None and path != STDIN:
        uri = "file://" + os.path.abspath(path)
    return write_dictionary(records, odd, uri=uri, assembly=assembly, species=species, label=label)


def write_dictionary(records: list[SequenceChecksum], odd: dict[int, SamRecord], *, uri: str | None,
                     assembly: str | None, species: str | None, label: str | None = None) -> SequenceDictionary:
    extra = "".join(f"\t{tag}:{value}" for tag, value in (("UR", uri), ("AS", assembly), ("SP", species))
                    if value is not None)
    lines = ["@HD\tVN:1.0\tSO:unsorted\n"]
    notes = []
    for index, record in enumerate(records):
        ours = SamRecord(record.id, record.length, record.md5)
        sam = odd.get(index, ours)
        if not record.id:
            raise SeqtallyError(f"record {index + 1} has no name, which a dictionary needs (SN)", label,
                                kind="format", record=index + 1)
        # The name is the header's first word, never empty; LN and M5 are
        # the SAM rule's, which keeps the bytes "!" to "~" only.
        lines.append(f"@SQ\tSN:{record.id}\tLN:{sam.length}\tM5:{sam.md5}{extra}\n")
        said = []
        if sam.name != record.id:
            said.append(f"samtools dict writes SN {sam.name!r} (it does not skip the spaces and tabs before a "
                        f"name), the dictionary SN {record.id!r}")
        if (sam.length, sam.md5) != (record.length, record.md5):
            said.append(f"samtools and Picard read it as LN {sam.length}, M5 {sam.md5}, which the dictionary "
                        f"holds; seqtally checksum gives length {record.length}, md5 {record.md5} (it keeps the "
                        "bytes that are not printable ASCII or are spaces)")
        if said:
            notes.append(f"record {index + 1} ({record.id!r}): " + "; ".join(said))
    return SequenceDictionary("".join(lines), notes)


def find_sam_differences(source: Source, label: str, progress: Progress | None = None) -> dict[int, SamRecord]:
    """The SAM values of the records where they differ from seqtally's, in
    a source that checksum() has just read in full."""
    path = path_of(source)
    assert path is not None, "rereadable() gives a path"
    try:
        with opened_plain(path) as stream:
            suspects = _suspect_records(_lines_in_chunks(stream, progress))
        if not suspects:
            return {}
        with opened_plain(path) as stream:
            return _sam_values(_lines_in_chunks(stream, progress), suspects)
    # The file changed since the engine read it.
    except OSError as error:
        raise os_error(error, label, "cannot read it again") from None
    except (EOFError, zlib.error):
        raise SeqtallyError("it is not what it was when read again", label) from None


def _lines_in_chunks(stream: BinaryIO, progress: Progress | None) -> Iterator[bytes]:
    """The input in pieces that end at line ends."""
    carry = b""
    while chunk := stream.read(CHUNK):
        if progress is not None and progress.cancelled:
            raise cancelled()
        data = carry + chunk
        cut = data.rfind(b"\n") + 1
        carry = data[cut:]
        if cut:
            yield data[:cut]
    if carry:
        yield carry + b"\n"


def _suspect_records(pieces: Iterator[bytes]) -> set[int]:
    """Indices of records that hold a byte outside "!" to "~" in a sequence
    line (beyond the one trailing carriage return both sides drop), or whose
    header starts with a space or a tab (samtools dict names such a record
    before its first word)."""
    suspects: set[int] = set()
    record = -1
    for piece in pieces:
        starts = _header_starts(piece)
        sequence_parts, end = [], 0
        for number, start in enumerate(starts, record + 1):
            sequence_parts.append(piece[end:start])
            end = piece.find(b"\n", start) + 1
            header = piece[start + 1:end - 1]
            if header.endswith(b"\r"):
                header = header[:-1]
            if header[:1] in (b" ", b"\t"):
                suspects.add(number)
        sequence_parts.append(piece[end:])
        if _has_odd_bytes(b"".join(sequence_parts)):
            for hit in _SUSPECT.finditer(piece):
                at = hit.start()
                owner = record + bisect.bisect_right(starts, at)
                in_header = piece[piece.rfind(b"\n", 0, at) + 1:][:1] == b">"
                trailing_cr = piece[at] == 0x0D and piece[at + 1:at + 2] == b"\n"
                if owner >= 0 and not in_header and not trailing_cr:
                    suspects.add(owner)
        record += len(starts)
    return suspects


def _has_odd_bytes(sequence: bytes) -> bool:
    """Whether sequence lines hold a byte outside "!" to "~" other than
    their line ends (a line feed, after one carriage return perhaps)."""
    import numpy as np  # here, not above: the command starts faster without it

    values = np.frombuffer(sequence, dtype=np.uint8)
    # "!" to "~" maps to 0..93, everything else (line feeds too) above it.
    outside = int(np.count_nonzero((values - np.uint8(33)) > 93))
    line_ends = int(np.count_nonzero(values == 10))
    if outside == line_ends:
        return False
    return b"\r" not in sequence or outside != line_ends + sequence.count(b"\r\n")


def _header_starts(piece: bytes) -> list[int]:
    # One byte at a time is a memchr; "\n>" would be a slower search.
    starts = []
    at = piece.find(b">")
    while at >= 0:
        if at == 0 or piece[at - 1] == 0x0A:
            starts.append(at)
        at = piece.find(b">", at + 1)
    return starts


def _sam_values(pieces: Iterator[bytes], wanted: set[int]) -> dict[int, SamRecord]:
    values: dict[int, SamRecord] = {}
    record, name, length, digest = -1, "", 0, hashlib.md5()

    def close() -> None:
        if record in wanted:
            values[record] = SamRecord(name, length, digest.hexdigest())

    for piece in pieces:
        headers = len(_header_starts(piece))
        if not any(record + k in wanted for k in range(headers + 1)):
            if headers:
                close()
                record += headers
                name, length, digest = "", 0, hashlib.md5()
            continue
        for line in piece.split(b"\n")[:-1]:
            if line[:1] == b">":
                close()
                record += 1
                header = line[1:]
                name = re.split(rb"[ \t\n\v\f\r]", header, maxsplit=1)[0].decode("utf-8", "replace")
                length, digest = 0, hashlib.md5()
            elif record in wanted:
                kept = line.translate(None, _NOT_SAM).upper()
                length += len(kept)
                digest.update(kept)
    close()
    return values
