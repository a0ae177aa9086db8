"""Which reference is a file's? The sequences a file declares (_headers)
against collections, a store's or given ones: one relation per collection,
best first, and a header repaired from the chosen one.

The store answers which collections share anything with the file, by its
indexes; this module ranks those few. A file's record matches a
reference's by name first; a name the reference lacks matches by content
(the file's M5 or sha512t24u), then by the store's aliases, then by a
length that only one record on either side has."""
from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, NamedTuple

from ._aliases import Named, read_named
from ._checksum import SequenceChecksum
from ._errors import SeqtallyError
from ._headers import Contig, Declared, assemblies, declared
from ._seqcol import checked_level2, digest_of, level1_of, level2_of
from ._store import Store
from ._store.store import Member

Relation = Literal["identical", "reordered", "renamed", "compatible", "subset", "superset", "conflicting", "none"]
# Best first: the order matches are ranked in.
RELATIONS: tuple[Relation, ...] = ("identical", "reordered", "renamed", "compatible", "subset", "superset",
                                   "conflicting", "none")


class Conflict(NamedTuple):
    """A name that the file and the reference give to different
    sequences: another length (for intervals, an end past the reference's
    length) or another digest. A length of None: the file gives none."""

    name: str
    file_length: int | None
    reference_length: int
    file_md5: str | None
    reference_md5: str | None


class Match(NamedTuple):
    """How a file relates to one reference. `digest`: the reference's
    seqcol digest (its label where it has none: a .dict); `shared`: records
    matched, under their names or in `renamed` (file name, reference
    name); the names only one side has, in its order."""

    digest: str
    source: str
    relation: Relation
    shared: int
    only_in_file: tuple[str, ...]
    only_in_reference: tuple[str, ...]
    renamed: tuple[tuple[str, str], ...]
    conflicts: tuple[Conflict, ...]


class Identified(NamedTuple):
    """A file's sequences and its matches, best first."""

    file: str
    kind: str
    records: int
    matches: tuple[Match, ...]

    @property
    def verdict(self) -> str:
        """One line for people: the file and its summary."""
        return f"{self.file}: {self.summary}"

    @property
    def summary(self) -> str:
        """The best match in a few words, or that there is none."""
        if not self.matches or self.matches[0].shared == 0:
            return f"no reference shares any of its {self.records} sequences"
        best = self.matches[0]
        said = f"{best.relation} {best.digest}"
        if best.relation in ("identical", "reordered"):
            return said
        details = [f"{best.shared} of {self.records} sequences shared"]
        if best.renamed:
            details.append(f"{len(best.renamed)} under other names")
        if best.only_in_file:
            details.append(f"{len(best.only_in_file)} only in the file")
        if best.only_in_reference:
            details.append(f"{len(best.only_in_reference)} only in the reference")
        details += [f"{c.name} is {_length(c.file_length)} in the file, {c.reference_length} in the reference"
                    if c.file_length != c.reference_length else f"{c.name} has other content (MD5 {c.file_md5} "
                    f"against {c.reference_md5})" for c in best.conflicts]
        return f"{said} ({'; '.join(details)})"

    def as_dict(self) -> dict[str, Any]:
        """The JSON form that the command and the service give: `file`,
        `kind`, `verdict` and `matches`, each match with its fields, the
        renamed pairs as [file name, reference name] and each conflict
        as an object."""
        return {"file": self.file, "kind": self.kind, "verdict": self.verdict,
                "matches": [{"digest": m.digest, "source": m.source, "relation": m.relation, "shared": m.shared,
                             "only_in_file": list(m.only_in_file), "only_in_reference": list(m.only_in_reference),
                             "renamed": [list(pair) for pair in m.renamed],
                             "conflicts": [c._asdict() for c in m.conflicts]} for m in self.matches]}


class Reference(NamedTuple):
    """A collection to match against: its records (digests where known)."""

    digest: str
    source: str
    records: tuple[Named | Member, ...]


Candidates = Store | Iterable["str | os.PathLike[str] | Mapping[str, Any] | Reference"]


def identify(source: str | os.PathLike[str] | Declared | Sequence[Contig], candidates: Candidates, *,
             limit: int = 5, label: str | None = None) -> Identified:
    """The collections of `candidates` (a Store, or FASTA, .dict and seqcol
    JSON paths, or level-2 collections) that the file at `source` (or the
    sequences already read, or the contigs given) relates to, best first,
    at most `limit` of them. `label` names the source in the result (its
    path by default)."""
    if limit < 1:
        raise ValueError("limit must be 1 or more")
    if isinstance(source, (str, os.PathLike)):
        file, label = declared(source), label or os.fspath(source)
    else:
        file = source if isinstance(source, Declared) else Declared("contigs", tuple(source))
        label = label or file.kind
    return Identified(label, file.kind, len(file.contigs), ranked(file, candidates, limit))


def ranked(file: Declared, candidates: Candidates, limit: int) -> tuple[Match, ...]:
    if isinstance(candidates, Store):
        references, aliases = from_store(candidates, file.contigs, limit)
    else:
        references, aliases = loaded(candidates), {}
    matches = [relate(file, reference, aliases) for reference in references]
    matches.sort(key=lambda m: (RELATIONS.index(m.relation), -m.shared,
                                len(m.only_in_file) + len(m.only_in_reference), m.digest))
    return tuple(matches[:limit])


def from_store(store: Store, contigs: Sequence[Contig], limit: int) -> tuple[list[Reference], dict[str, set[str]]]:
    """The store's collections that share most with the contigs: by
    content where the file gives digests or its names are aliases of
    stored sequences, by name, and by length where it gives no digests (a
    length alone says little and matches many records). As many of each
    as asked for, which ranking by relation then merges: each
    collection's records cost a read (5 of 3,000 records, 40 ms of
    SQLite). With them, the sequences the contigs' names are aliases of."""
    wanted = limit
    aliases = store.sequences_aliased(c.name for c in contigs)
    md5s = [c.md5 for c in contigs if c.md5] + [md5 for found in aliases.values() for md5 in found]
    shas = [c.sha512t24u for c in contigs if c.sha512t24u]
    size = len(contigs)
    found = store.collections_sharing(md5s=md5s, sha512t24us=shas, records=size, limit=wanted) if md5s or shas else []
    every_digest = all(c.md5 or c.sha512t24u for c in contigs)
    # Where the file gives every record's digest, a collection found by
    # name alone shares no sequence with it: all it can be is conflicting
    # or none with nothing shared, below any that the digests found.
    if len(found) < wanted or not every_digest:
        found += store.collections_sharing(names=[c.name for c in contigs], records=size, limit=wanted)
    if not every_digest:
        exact = [c.length for c in contigs if c.length is not None and not c.bounded]
        found += store.collections_sharing(lengths=exact, records=size, limit=wanted)
    references = []
    for digest, members in store.members_of(found).items():
        summary = store.summary(digest)
        # A Member is a Named field for field: (name, length, sha512t24u, md5).
        references.append(Reference(digest, summary.source if summary else "", tuple(members)))
    return references, aliases


def loaded(candidates: Iterable[str | os.PathLike[str] | Mapping[str, Any] | Reference]) -> list[Reference]:
    """References from paths (all FASTA digested at once), level-2
    collections and references as they are."""
    given = list(candidates)
    paths = [os.fspath(c) for c in given if isinstance(c, (str, os.PathLike))]
    read = dict(zip(paths, read_named(paths))) if paths else {}
    references = []
    for candidate in given:
        if isinstance(candidate, Reference):
            references.append(candidate)
            continue
        if isinstance(candidate, (str, os.PathLike)):
            records, where = read[os.fspath(candidate)], os.path.abspath(candidate)
        else:
            level2 = checked_level2(dict(candidate), "a collection", ("names", "lengths", "sequences"))
            records = [Named(n, length, s.removeprefix("SQ."), None)
                       for n, length, s in zip(level2["names"], level2["lengths"], level2["sequences"])]
            where = "a collection"
        references.append(Reference(_digest(records) or where, where, tuple(records)))
    return references


def _digest(records: Sequence[Named]) -> str | None:
    if not all(r.sha512t24u for r in records):
        return None
    return digest_of(level1_of(level2_of([SequenceChecksum(r.name, r.length, r.sha512t24u or "", r.md5 or "")
                                          for r in records])))


def relate(file: Declared, reference: Reference, aliases: Mapping[str, set[str]]) -> Match:
    """The one relation of the file to the reference, with what it rests on."""
    by_name: dict[str, int] = {}
    by_digest: dict[str, int] = {}
    for i, record in enumerate(reference.records):
        by_name.setdefault(record.name, i)
        for digest in (record.md5, record.sha512t24u):
            if digest:
                by_digest.setdefault(digest, i)
    used: set[int] = set()
    paired: list[int] = []
    conflicts: list[Conflict] = []
    unmatched: list[Contig] = []
    for contig in file.contigs:
        named = by_name.get(contig.name)
        if named is None:
            unmatched.append(contig)
            continue
        used.add(named)
        record = reference.records[named]
        if _same(contig, record):
            paired.append(named)
        else:
            conflicts.append(Conflict(contig.name, contig.length, record.length, contig.md5, record.md5))
    renamed: list[tuple[str, str]] = []
    lengths_left = _unique_lengths([c.length for c in unmatched if not c.bounded])
    free_lengths = _unique_lengths([r.length for i, r in enumerate(reference.records) if i not in used])
    by_length = {r.length: i for i, r in enumerate(reference.records) if i not in used and r.length in free_lengths}
    only_in_file = []
    for contig in unmatched:
        # Plain lookups, no generators: a renamed genome takes this path for
        # every record of every candidate.
        found = by_digest.get(contig.md5) if contig.md5 else None
        if found is None and contig.sha512t24u:
            found = by_digest.get(contig.sha512t24u)
        if found is None and contig.name in aliases:
            found = next((by_digest[md5] for md5 in sorted(aliases[contig.name]) if md5 in by_digest), None)
        if found is None and contig.length in lengths_left:
            # A length that one record on each side has; _same still refuses
            # it where both give digests.
            found = by_length.get(contig.length)
        if found is None or found in used or not _same(contig, reference.records[found]):
            only_in_file.append(contig.name)
            continue
        used.add(found)
        renamed.append((contig.name, reference.records[found].name))
    only_in_reference = tuple(r.name for i, r in enumerate(reference.records) if i not in used)
    shared = len(paired) + len(renamed)
    if conflicts:
        relation: Relation = "conflicting"
    elif shared == 0:
        relation = "none"
    elif file.intervals:
        relation = "compatible" if not only_in_file else "none"
    elif not only_in_file and not only_in_reference:
        relation = "renamed" if renamed else "identical" if paired == sorted(paired) else "reordered"
    else:
        relation = "subset" if not only_in_file else "superset" if not only_in_reference else "none"
    return Match(reference.digest, reference.source, relation, shared, tuple(only_in_file), only_in_reference,
                 tuple(renamed), tuple(conflicts))


def _same(contig: Contig, record: Named | Member) -> bool:
    """Whether nothing the file says of the record contradicts the
    reference: a length (an end, for intervals) and the digests both have."""
    if contig.length is not None and (contig.length > record.length if contig.bounded
                                      else contig.length != record.length):
        return False
    return not ((contig.md5 and record.md5 and contig.md5 != record.md5)
                or (contig.sha512t24u and record.sha512t24u and contig.sha512t24u != record.sha512t24u))


def _unique_lengths(lengths: Iterable[int | None]) -> set[int]:
    seen: dict[int, int] = {}
    for length in lengths:
        if length is not None:
            seen[length] = seen.get(length, 0) + 1
    return {length for length, count in seen.items() if count == 1}


def _length(length: int | None) -> str:
    return "of no length" if length is None else str(length)


def repaired_header(source: str | os.PathLike[str], reference: str | os.PathLike[str] | Reference,
                    form: Literal["vcf", "sam"], *, store: Store | None = None) -> str:
    """The reference's contig lines (`form` "vcf": ##contig, with the
    assembly where a .dict reference gives its AS; "sam": @SQ) under the
    file's names, in its order. Where the file is a header of that form,
    the whole header with its contig lines replaced, ready for bcftools or
    samtools reheader. `reference`: a collection's digest in `store`, a
    FASTA, .dict or seqcol JSON path, or a Reference."""
    file = declared(source)
    chosen = _chosen(reference, store)
    assembly = assemblies(reference) if not isinstance(reference, Reference) and os.path.isfile(reference) else {}
    match = relate(file, chosen, store.sequences_aliased(c.name for c in file.contigs) if store else {})
    if match.only_in_file:
        raise SeqtallyError(f"the reference {chosen.digest} has no sequence for {', '.join(match.only_in_file)}",
                            os.fspath(source), kind="format")
    by_name = {r.name: r for r in chosen.records}
    target = dict(renamed for renamed in match.renamed)
    uri = "file://" + chosen.source if chosen.source.startswith("/") else None
    lines = []
    for contig in file.contigs:
        record = by_name[target.get(contig.name, contig.name)]
        md5 = record.md5 or ""
        if form == "vcf":
            fields = [f"ID={contig.name}", f"length={record.length}"] + ([f"md5={md5}"] if md5 else [])
            fields += [f"assembly={assembly[record.name]}"] if record.name in assembly else []
            lines.append(f"##contig=<{','.join(fields)}>")
        else:
            fields = [f"SN:{contig.name}", f"LN:{record.length}"] + ([f"M5:{md5}"] if md5 else [])
            fields += [f"AN:{record.name}"] if record.name != contig.name else []
            fields += [f"UR:{uri}"] if uri else []
            lines.append("@SQ\t" + "\t".join(fields))
    return _spliced(file, lines, form)


def _chosen(reference: str | os.PathLike[str] | Reference, store: Store | None) -> Reference:
    if isinstance(reference, Reference):
        return reference
    name = os.fspath(reference)
    if store is not None and not os.path.exists(name):
        summary = store.summary(name)
        if summary is None:
            raise SeqtallyError(f"the store has no collection {name}", store.path, kind="format")
        records = tuple(Named(m.name, m.length, m.sha512t24u, m.md5) for m in store.members(name))
        return Reference(name, summary.source, records)
    return loaded([name])[0]


def _spliced(file: Declared, lines: list[str], form: str) -> str:
    """The contig lines in the file's own header, where the first of its
    contig lines stood (before #CHROM or after @HD where it had none)."""
    ours = {"vcf": ("vcf", "bcf"), "sam": ("sam", "bam", "cram")}[form]
    if file.header is None or file.kind not in ours:
        return "".join(line + "\n" for line in lines)
    prefix = "##contig=" if form == "vcf" else "@SQ\t"
    header = file.header.splitlines()
    kept = [line for line in header if not line.startswith(prefix)]
    # No contig line stands before the first: its place is the same in both.
    place = next((i for i, line in enumerate(header) if line.startswith(prefix)), None)
    if place is None:
        place = next((i for i, line in enumerate(kept) if line.startswith("#CHROM")), len(kept)) if form == "vcf" \
            else int(bool(kept) and kept[0].startswith("@HD"))
    return "".join(line + "\n" for line in kept[:place] + lines + kept[place:])
