"""Sequence dictionaries in SAM header form, as `samtools dict` and
Picard's CreateSequenceDictionary write them.

The SAM rule for M5 (and samtools' for LN) keeps only the bytes from "!" to
"~" of a sequence, uppercased; seqtally digests every byte of the sequence
lines with a-z uppercased. samtools also names a record by its header up to
the first whitespace, without skipping the spaces before it. For the rare
record where that makes a difference the dictionary holds what samtools
writes, and a note names the record. The engine finds such records, and
their SAM values, in the same read that digests them.
"""
from __future__ import annotations

import os
import re
from collections.abc import Sequence
from typing import NamedTuple

from . import _engine
from ._engine import Progress
from ._aliases import Named, matched, read_named
from ._errors import from_failure
from ._inputs import STDIN, Source, label_of, path_of


class SequenceDictionary(NamedTuple):
    """`text`: the dictionary; `notes`: one line per record whose values
    there differ from what seqtally checksum reports for it."""

    text: str
    notes: list[str]


def sequence_dictionary(source: Source, *, uri: str | None = None, assembly: str | None = None,
                        species: str | None = None, alias_from: Source | None = None,
                        progress: Progress | None = None) -> SequenceDictionary:
    """The SAM header (@HD, then one @SQ per record with SN, LN, M5 and UR,
    and AS and SP when given) of a FASTA file, plain or gzip: a path, "-",
    a descriptor or a binary file, read once. UR is `uri`, or the file: URL
    of the input's absolute path (none for standard input and sources that
    are not paths). With `alias_from` (another reference: FASTA, .dict or
    seqcol JSON), each record's AN tag lists the names that reference gives
    the same sequence (matched by digest, as seqtally aliases matches)."""
    path, label = path_of(source), label_of(source)
    try:
        entries = _engine.index(source, progress=progress, distinct=False).entries
    except _engine.Failure as failure:
        raise from_failure(failure, label, purpose="a dictionary needs one (SN)") from failure
    if uri is None and path is not None and path != STDIN:
        uri = "file://" + os.path.abspath(path)
    alternatives: dict[int, list[str]] = {}
    notes: list[str] = []
    if alias_from is not None:
        alternatives, notes = _alternative_names(entries, alias_from, progress)
    made = write_dictionary(entries, uri=uri, assembly=assembly, species=species, alternatives=alternatives)
    return SequenceDictionary(made.text, made.notes + notes)


# SAM's rule for an alternative name (AN), which a comma separates from the next.
_ALTERNATIVE = re.compile(r"[0-9A-Za-z][0-9A-Za-z*+.@_|-]*")


def _alternative_names(entries: Sequence[_engine.IndexEntry], other: Source,
                       progress: Progress | None) -> tuple[dict[int, list[str]], list[str]]:
    """Per record (by its index), the other reference's names for its
    sequence, and notes on names SAM cannot take as AN."""
    ours = [Named(entry.name, entry.length, entry.sha512t24u, entry.md5) for entry in entries]
    label = label_of(other)
    table = matched([ours, read_named([other], progress)[0]], ["the input", label])
    taken = {record.name for record in ours}
    number_of = {id(record): i for i, record in enumerate(ours)}
    found: dict[int, list[str]] = {}
    notes = []
    for mine, theirs in table:
        if mine is None or theirs is None or theirs.name == mine.name:
            continue
        if not _ALTERNATIVE.fullmatch(theirs.name) or theirs.name in taken:
            why = "names another record" if theirs.name in taken else "is not a name SAM allows in AN"
            notes.append(f"{mine.name}: {label} calls it {theirs.name!r}, which {why}: left out of AN")
            continue
        taken.add(theirs.name)
        found.setdefault(number_of[id(mine)], []).append(theirs.name)
    return found, notes


def write_dictionary(entries: Sequence[_engine.IndexEntry], *, uri: str | None, assembly: str | None,
                     species: str | None, alternatives: dict[int, list[str]] | None = None) -> SequenceDictionary:
    """The dictionary of the engine's index entries; AN tags (after M5, as
    samtools dict -A writes them) from `alternatives`, by record index."""
    extra = "".join(f"\t{tag}:{value}" for tag, value in (("UR", uri), ("AS", assembly), ("SP", species))
                    if value is not None)
    lines = ["@HD\tVN:1.0\tSO:unsorted\n"]
    notes = []
    for number, entry in enumerate(entries, 1):
        name, length, md5, sam = entry.name, entry.length, entry.md5, entry.sam
        sam_name, sam_length, sam_md5 = (sam.name, sam.length, sam.md5) if sam else (name, length, md5)
        # The name is the header's first word, never empty; LN and M5 are
        # the SAM rule's, which keeps the bytes "!" to "~" only.
        also = (alternatives or {}).get(number - 1)
        alternative = f"\tAN:{','.join(also)}" if also else ""
        lines.append(f"@SQ\tSN:{name}\tLN:{sam_length}\tM5:{sam_md5}{alternative}{extra}\n")
        said = []
        if sam_name != name:
            said.append(f"samtools dict writes SN {sam_name!r} (it does not skip the spaces and tabs before a "
                        f"name), the dictionary SN {name!r}")
        if (sam_length, sam_md5) != (length, md5):
            said.append(f"samtools and Picard read it as LN {sam_length}, M5 {sam_md5}, which the dictionary "
                        f"holds; seqtally checksum gives length {length}, md5 {md5} (it keeps the "
                        "bytes that are not printable ASCII or are spaces)")
        if said:
            notes.append(f"record {number} ({name!r}): " + "; ".join(said))
    return SequenceDictionary("".join(lines), notes)
