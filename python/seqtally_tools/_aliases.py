"""Contig aliases by content: the records of several references matched by
sequence digest, as a chromAlias table (UCSC's form: a `#` line of labels,
then one tab-separated row per sequence), with what does not match.

A FASTA file is digested (every FASTA input at once, one thread each); a
sequence dictionary (.dict: SN, LN and M5) or a saved level-2 seqcol JSON
(names, lengths, sequences) stands in for one, names and digests without
the sequences. Two inputs are matched by the digest both have: sha512t24u
where both have it, MD5 otherwise (a .dict has only MD5, a seqcol only
sha512t24u, so those two cannot be matched with each other)."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import NamedTuple

from ._checksum import checksum_files
from ._engine import Progress
from ._errors import SeqtallyError
from ._inputs import Source, label_of, path_of, reference_base
from ._seqcol import read_level2, starts_like_json


class Named(NamedTuple):
    """One record of one input: its name, length and the digests it has."""

    name: str
    length: int
    sha512t24u: str | None
    md5: str | None


class OnlyIn(NamedTuple):
    """A sequence (`name` in the first of the inputs `present`, `length`
    bases) that the inputs in `absent` lack."""

    present: list[str]
    name: str
    length: int
    absent: list[str]


class NameClash(NamedTuple):
    """`name` given by two inputs to different sequences (hg19's chrM
    against GRCh37's), with both lengths: `same_length` marks a name and
    length that agree while the content does not (a changed base)."""

    name: str
    label_a: str
    length_a: int
    label_b: str
    length_b: int

    @property
    def same_length(self) -> bool:
        return self.length_a == self.length_b


class AliasTable(NamedTuple):
    """`rows`: one per sequence, a name per input (None where it lacks the
    sequence), in the first input's order, then the sequences the first
    lacks; `text` is the chromAlias table."""

    labels: list[str]
    rows: list[list[str | None]]
    only_in: list[OnlyIn]
    clashes: list[NameClash]

    @property
    def text(self) -> str:
        lines = ["# " + "\t".join(self.labels) + "\n"]
        lines += ["\t".join(name or "" for name in row) + "\n" for row in self.rows]
        return "".join(lines)


def aliases(sources: Sequence[Source], *, labels: Sequence[str] | None = None,
            progress: Progress | None = None) -> AliasTable:
    """The chromAlias table of two or more references (FASTA files, .dict
    files or saved seqcol JSON), each record matched to the first input's
    by sequence digest. `labels` name the inputs (by default their file
    names without FASTA and gzip extensions)."""
    if len(sources) < 2:
        raise SeqtallyError("aliases needs two inputs or more")
    names = list(labels) if labels is not None else [_default_label(source) for source in sources]
    if len(names) != len(sources):
        raise SeqtallyError(f"{len(names)} labels for {len(sources)} inputs: give one label per input")
    inputs = read_named(sources, progress)
    table = matched(inputs, names)
    rows = [[cell.name if cell else None for cell in row] for row in table]
    return AliasTable(names, rows, _only_in(table, names), _clashes(inputs, names))


def matched(inputs: list[list[Named]], labels: list[str]) -> list[list[Named | None]]:
    """A row per sequence, a record (or None) per input, found by either
    digest of any record in the row: in the first input's order, then the
    sequences it lacks."""
    for k in range(1, len(inputs)):
        if all(_common_digest(inputs[j], inputs[k]) is None for j in range(k)):
            raise SeqtallyError(f"{labels[k]} shares no digest to match by with {', '.join(labels[:k])}: a .dict "
                                "has MD5 only and a seqcol JSON sha512t24u only",
                                hint="give the FASTA file for one of them, or put one before both")
    table: list[list[Named | None]] = []
    rows_by: dict[tuple[str, str | None], list[int]] = {}
    for column, records in enumerate(inputs):
        for record in records:
            digests = [(key, value) for key, value in (("sha512t24u", record.sha512t24u), ("md5", record.md5))
                       if value]
            found = sorted({row for digest in digests for row in rows_by.get(digest, [])})
            free = [row for row in found if table[row][column] is None]
            # Of identical sequences, the one of the same name, else the first.
            same = [row for row in free if any(_name(cell) == record.name for cell in table[row])]
            if same or free:
                row = (same or free)[0]
            else:
                row = len(table)
                table.append([None] * len(inputs))
            table[row][column] = record
            for digest in digests:
                if row not in rows_by.setdefault(digest, []):
                    rows_by[digest].append(row)
    return table


def read_named(sources: Sequence[Source], progress: Progress | None = None) -> list[list[Named]]:
    """Each input's records: FASTA digested (all at once), a .dict or a
    seqcol JSON read as it is."""
    found: list[list[Named] | None] = [_saved(source) for source in sources]
    fasta = [i for i, records in enumerate(found) if records is None]
    digested = checksum_files([sources[i] for i in fasta], jobs=max(1, min(len(fasta), os.cpu_count() or 1)),
                              progress=progress)
    for i, done in zip(fasta, digested):
        found[i] = [Named(r.id, r.length, r.sha512t24u, r.md5) for r in done.records]
    return [records or [] for records in found]


def _default_label(source: Source) -> str:
    path = path_of(source)
    if path is None or path == "-":
        return label_of(source)
    name = os.path.basename(path)
    for suffix in (".seqcol.json", ".json", ".dict"):
        if name.lower().endswith(suffix) and len(name) > len(suffix):
            return name[:-len(suffix)]
    return reference_base(name)


def _saved(source: Source) -> list[Named] | None:
    """The records of a .dict or seqcol JSON file; None for anything else
    (FASTA, told by its first bytes)."""
    path = path_of(source)
    if path is None or path == "-":
        return None
    if starts_like_json(path):
        collection = read_level2(path, ("names", "lengths", "sequences"))
        return [Named(name, length, sequence.removeprefix("SQ."), None)
                for name, length, sequence in zip(collection["names"], collection["lengths"],
                                                   collection["sequences"])]
    try:
        with open(path, "rb") as stream:
            head = stream.read(64).lstrip()
            if not (head.startswith(b"@HD") or head.startswith(b"@SQ")):
                return None
            stream.seek(0)
            data = stream.read()
    except OSError:
        return None  # the FASTA reader says what is wrong with it
    return _from_dictionary(data, path)


def _from_dictionary(data: bytes, path: str) -> list[Named]:
    records = []
    for number, line in enumerate(data.decode("utf-8", "replace").splitlines(), 1):
        if not line.startswith("@SQ"):
            continue
        tags = dict(field.split(":", 1) for field in line.split("\t")[1:] if ":" in field)
        if "SN" not in tags or "M5" not in tags or not tags.get("LN", "").isdigit():
            raise SeqtallyError(f"line {number}: an @SQ line needs SN, LN and M5 to be matched by content", path,
                                kind="format", line=number)
        records.append(Named(tags["SN"], int(tags["LN"]), None, tags["M5"].lower()))
    return records


def _name(record: Named | None) -> str | None:
    return record.name if record is not None else None


def _common_digest(a: list[Named], b: list[Named]) -> str | None:
    for key in ("sha512t24u", "md5"):
        if all(getattr(r, key) for r in a) and all(getattr(r, key) for r in b):
            return key
    return None


def _digest(record: Named, key: str) -> str:
    return str(getattr(record, key))


def _only_in(table: list[list[Named | None]], labels: list[str]) -> list[OnlyIn]:
    found = []
    for row in table:
        absent = [label for cell, label in zip(row, labels) if cell is None]
        cells = [(cell, label) for cell, label in zip(row, labels) if cell is not None]
        if absent:
            found.append(OnlyIn([label for _, label in cells], cells[0][0].name, cells[0][0].length, absent))
    return found


def _clashes(inputs: list[list[Named]], labels: list[str]) -> list[NameClash]:
    found = []
    for i, a in enumerate(inputs):
        for j in range(i + 1, len(inputs)):
            by_name = {r.name: r for r in inputs[j]}
            key = _common_digest(a, inputs[j])
            for record in a:
                other = by_name.get(record.name)
                if key is not None and other is not None and _digest(record, key) != _digest(other, key):
                    found.append(NameClash(record.name, labels[i], record.length, labels[j], other.length))
    return found

