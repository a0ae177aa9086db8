"""GA4GH sequence collections (seqcol v1.0) from the per-record values that
checksum computes, and the standard's comparison of two collections.

Level 2 holds the arrays names, lengths, sequences (file order),
sorted_sequences and name_length_pairs; level 1 each array's digest, and
the transient sorted_name_length_pairs, which has no array of its own; the
collection's digest is that of names and sequences only."""
from __future__ import annotations

import json
from collections import Counter
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Literal, overload

from ._canonical import JsonValue, canonical_json, sha512t24u
from ._checksum import SequenceChecksum, checksum
from ._engine import Progress
from ._errors import SeqtallyError
from ._inputs import Source, path_of

# The attributes whose digests make the collection's own (level 0) digest.
INHERENT = ("names", "sequences")
Level1 = dict[str, str]
Level2 = dict[str, list[Any]]


def level2_of(records: Sequence[SequenceChecksum]) -> Level2:
    """The collection's arrays."""
    sequences = ["SQ." + r.sha512t24u for r in records]
    return {"lengths": [r.length for r in records], "name_length_pairs": [{"length": r.length, "name": r.id}
                                                                          for r in records],
            "names": [r.id for r in records], "sequences": sequences, "sorted_sequences": sorted(sequences)}


def level1_of(level2: Mapping[str, Sequence[JsonValue]], texts: Mapping[str, bytes] | None = None) -> Level1:
    """The digest of each attribute: sha512t24u of its canonical JSON array
    (from `texts`, where the caller has it already); and
    sorted_name_length_pairs, the digest of the sorted digests of the
    name_length_pairs objects, where those pairs are given."""
    known = texts or {}
    level1 = {name: sha512t24u(known.get(name) or canonical_json(array)) for name, array in level2.items()}
    pairs = level2.get("name_length_pairs")
    if pairs is not None:
        level1["sorted_name_length_pairs"] = sha512t24u(canonical_json(sorted(
            sha512t24u(canonical_json(pair)) for pair in pairs)))
    return dict(sorted(level1.items()))


def digest_of(level1: Mapping[str, str]) -> str:
    """The level-0 digest: of the inherent attributes' digests only."""
    return sha512t24u(canonical_json({name: level1[name] for name in INHERENT}))


@overload
def seqcol(source: Source, *, level: Literal[0] = 0, progress: Progress | None = None) -> str: ...
@overload
def seqcol(source: Source, *, level: Literal[1], progress: Progress | None = None) -> Level1: ...
@overload
def seqcol(source: Source, *, level: Literal[2], progress: Progress | None = None) -> Level2: ...
@overload
def seqcol(source: Source, *, level: int, progress: Progress | None = None) -> str | Level1 | Level2: ...


def seqcol(source: Source, *, level: int = 0, progress: Progress | None = None) -> str | Level1 | Level2:
    """The sequence collection of a FASTA file (plain, gzip, BGZF; a path,
    "-", a descriptor or a binary file): its digest (level 0), the digest
    of every attribute (level 1), or the arrays themselves (level 2)."""

    return seqcol_of(checksum(source, progress=progress), level=level)


@overload
def seqcol_of(records: Sequence[SequenceChecksum], *, level: Literal[0] = 0) -> str: ...
@overload
def seqcol_of(records: Sequence[SequenceChecksum], *, level: Literal[1]) -> Level1: ...
@overload
def seqcol_of(records: Sequence[SequenceChecksum], *, level: Literal[2]) -> Level2: ...
@overload
def seqcol_of(records: Sequence[SequenceChecksum], *, level: int) -> str | Level1 | Level2: ...


def seqcol_of(records: Sequence[SequenceChecksum], *, level: int = 0) -> str | Level1 | Level2:
    """seqcol() of records that checksum() gave."""
    if level not in (0, 1, 2):
        raise ValueError(f"level must be 0, 1 or 2, not {level!r}")
    return at_level(level2_of(records), level)


def at_level(level2: Level2, level: int) -> str | Level1 | Level2:
    if level == 2:
        return level2
    level1 = level1_of(level2)
    return level1 if level == 1 else digest_of(level1)


def load_collection(source: Source | Mapping[str, Any], *, progress: Progress | None = None) -> Level2:
    """A level-2 collection: given as one, read from a JSON file of one (as
    `seqtally seqcol --level 2` writes), or computed from a FASTA file."""
    if isinstance(source, Mapping):
        return checked_level2(dict(source), "the collection given")
    path = path_of(source)
    if path is not None and path != "-" and starts_like_json(path):
        return read_level2(path)
    return level2_of(checksum(source, progress=progress))


def starts_like_json(path: str) -> bool:
    """Whether a file opens as a JSON object does (a saved collection), not
    as FASTA; False when it cannot be read, which the FASTA reader says."""
    try:
        with open(path, "rb") as f:
            return f.read(64).lstrip()[:1] == b"{"
    except OSError:
        return False


def read_level2(path: str, required: Sequence[str] = INHERENT) -> Level2:
    """The level-2 collection saved in a JSON file, checked as
    checked_level2() checks one."""
    try:
        with open(path, "rb") as saved:
            collection = json.loads(saved.read())
    except (OSError, ValueError) as error:
        raise SeqtallyError(f"cannot read a level-2 collection: {error}", path, kind="format") from None
    return checked_level2(collection, path, required)


def checked_level2(collection: Any, where: str, required: Sequence[str] = INHERENT) -> Level2:
    """`collection` if it is a level-2 collection: an object of arrays,
    with the `required` ones; names and sequences strings, lengths whole
    numbers, and those three arrays (where given) of one length."""
    if not isinstance(collection, dict) or not all(isinstance(v, list) for v in collection.values()):
        raise SeqtallyError("not a level-2 sequence collection (an object of arrays)", where, kind="format")
    missing = [name for name in required if name not in collection]
    if missing:
        raise SeqtallyError(f"not a level-2 sequence collection: no {' or '.join(missing)}", where, kind="format")
    given = {name: collection[name] for name in ("names", "lengths", "sequences") if name in collection}
    if len({len(array) for array in given.values()}) > 1:
        counts = ", ".join(f"{len(array)} {name}" for name, array in given.items())
        raise SeqtallyError(f"not a level-2 sequence collection: {counts}", where, kind="format")
    for name, array in given.items():
        wrong = [item for item in array if not _fits(name, item)]
        if wrong:
            raise SeqtallyError(f"not a level-2 sequence collection: {name} holds {wrong[0]!r}", where,
                                kind="format")
    return collection


def _fits(array: str, item: object) -> bool:
    if array == "lengths":
        return isinstance(item, int) and not isinstance(item, bool) and item >= 0
    return isinstance(item, str)


def compare(a: Source | Mapping[str, Any], b: Source | Mapping[str, Any], *,
            progress: Progress | None = None) -> dict[str, Any]:
    """The seqcol comparison of two collections (FASTA files, level-2 JSON
    files or level-2 mappings): their digests, which attributes each has,
    and per shared attribute the element counts and whether the shared
    elements come in the same order."""
    return comparison(load_collection(a, progress=progress), load_collection(b, progress=progress))


def comparison(a: Level2, b: Level2) -> dict[str, Any]:
    shared = sorted(set(a) & set(b))
    elements: dict[str, dict[str, int | bool | None]] = {
        "a_count": {}, "b_count": {}, "a_and_b_count": {}, "a_and_b_same_order": {}}
    for name in shared:
        count, same_order = _shared_elements(a[name], b[name])
        elements["a_count"][name] = len(a[name])
        elements["b_count"][name] = len(b[name])
        elements["a_and_b_count"][name] = count
        elements["a_and_b_same_order"][name] = same_order
    return {
        "digests": {"a": digest_of(level1_of(a)), "b": digest_of(level1_of(b))},
        "attributes": {"a_only": sorted(set(a) - set(b)), "b_only": sorted(set(b) - set(a)), "a_and_b": shared},
        "array_elements": elements,
    }


def _key(item: Any) -> Hashable:
    return item if isinstance(item, Hashable) else canonical_json(item)


def _shared_elements(a: Sequence[Any], b: Sequence[Any]) -> tuple[int, bool | None]:
    """The standard's counts: A kept to the elements found in B and B to
    those found in A, duplicates and all. The shared count is the shorter
    of the two; their order is None when nothing is shared or the
    duplicates do not balance (the two differ in length), and otherwise
    whether the two are equal: one shared element is in the same order, as
    the GA4GH compliance checks (and so the clients of a server) have it."""
    keys_a, keys_b = [_key(x) for x in a], [_key(x) for x in b]
    in_a, in_b = set(keys_a), set(keys_b)
    kept_a, kept_b = [k for k in keys_a if k in in_b], [k for k in keys_b if k in in_a]
    count = min(len(kept_a), len(kept_b))
    if count == 0 or len(kept_a) != len(kept_b):
        return count, None
    return count, kept_a == kept_b


def verdict(a: Mapping[str, Any], b: Mapping[str, Any]) -> str:
    """What a person wants to know first about two level-2 collections
    (as load_collection gives them): one line."""
    a, b = checked_level2(dict(a), "collection A"), checked_level2(dict(b), "collection B")
    # Equal inherent arrays are what equal level-0 digests say.
    if all(a[name] == b[name] for name in INHERENT):
        return "identical: the same sequences under the same names, in the same order"
    seq_a, seq_b = a["sequences"], b["sequences"]
    names_a, names_b = a["names"], b["names"]
    if names_a == names_b and "lengths" in a and a.get("lengths") == b.get("lengths"):
        return "the same coordinate system (the same names and lengths, in the same order), different sequences"
    names = "with the same names" if Counter(map(_key, names_a)) == Counter(map(_key, names_b)) \
        else "under other names"
    if seq_a == seq_b:
        return f"the same sequences in the same order, {names}"
    count_a, count_b = Counter(map(_key, seq_a)), Counter(map(_key, seq_b))
    if count_a == count_b:
        return f"the same sequences in another order, {names}"
    for first, second, big, small in (("A", "B", count_b, count_a), ("B", "A", count_a, count_b)):
        if not small - big:
            ordered = _in_order(seq_a if first == "A" else seq_b, seq_b if first == "A" else seq_a)
            return (f"{first} is a subset of {second}: every sequence of {first} is in {second}, "
                    f"{'in the same order' if ordered else 'in another order'}")
    if not (count_a.keys() & count_b.keys()) and not (set(map(_key, names_a)) & set(map(_key, names_b))):
        return "nothing shared: no sequence and no name in common"
    shared = sum((count_a & count_b).values())
    return f"partly shared: {shared} of A's {len(seq_a)} sequences are in B, which has {len(seq_b)}"


def _in_order(small: Sequence[Any], big: Sequence[Any]) -> bool:
    """Whether `small` appears within `big` as a subsequence."""
    rest = iter(map(_key, big))
    return all(any(item == other for other in rest) for item in map(_key, small))
