"""The store: sequences by content, collections with every seqcol v1.0
attribute, their records and aliases, in a database; the bases in a
content-addressed folder beside it (see folder.py)."""
from __future__ import annotations

import csv
import logging
import os
import time
from collections.abc import Iterable, Iterator, Mapping
from concurrent.futures import Executor
from typing import Any, NamedTuple

from .. import _engine
from .._canonical import canonical_json
from .._checksum import SequenceChecksum, in_batches
from .._engine import Progress
from .._errors import SeqtallyError, from_failure, os_error
from .._inputs import Source, label_of, path_of
from .._seqcol import Level1, digest_of, level1_of, level2_of
from .database import Database
from .folder import SEQUENCES, migrate, remove_orphans, sequence_path

# The level-2 arrays, in canonical (sorted) order, and the attribute that
# has a level-1 digest only.
ARRAYS = ("lengths", "name_length_pairs", "names", "sequences", "sorted_sequences")
TRANSIENT = ("sorted_name_length_pairs",)
ATTRIBUTES = tuple(sorted(ARRAYS + TRANSIENT))
_log = logging.getLogger(__name__)


class AddedCollection(NamedTuple):
    """What add() did: the collection's digest, the file it read, its
    record count, whether the store lacked it, and the records it marked
    circular."""

    digest: str
    source: str
    records: int
    new: bool
    circular: tuple[str, ...] = ()


class StoredSequence(NamedTuple):
    md5: str
    sha512t24u: str
    length: int
    circular: bool


def _stored(row: tuple[Any, ...]) -> StoredSequence:
    found, sha, length, is_circular = row
    return StoredSequence(str(found), str(sha), int(length), bool(is_circular))


class Member(NamedTuple):
    """A record of a collection."""

    name: str
    length: int
    sha512t24u: str
    md5: str


class CollectionSummary(NamedTuple):
    digest: str
    records: int
    source: str
    added: str


class CollectionRead(NamedTuple):
    """One file read into the folder, all its rows need: what a worker
    hands back to the writer (plain data, for an executor to pickle)."""

    source: str
    records: list[SequenceChecksum]
    level1: Level1
    digest: str
    arrays: list[tuple[str, str, str]]
    circular: tuple[str, ...]


def read_collection(fasta: Source, progress: Progress | None, folder: str,
                    circular: frozenset[str]) -> CollectionRead:
    """One engine read of `fasta`: its bases into `folder`, its digests and
    every value of its rows. Module-level, for an executor's workers."""
    label = label_of(fasta)
    path = path_of(fasta)
    source = os.path.abspath(path) if path is not None and path != "-" else label
    try:
        # Names may repeat: a collection takes them as they are, as
        # `seqtally seqcol` does.
        entries = _engine.index(fasta, progress=progress, distinct=False, folder=folder).entries
    except _engine.Failure as failure:
        raise from_failure(failure, label, folder, purpose="a store names every record") from None
    records = [SequenceChecksum(e.name, e.length, e.sha512t24u or "", e.md5 or "") for e in entries]
    level2 = level2_of(records)
    texts = {name: canonical_json(level2[name]) for name in ARRAYS}
    level1 = level1_of(level2, texts)
    arrays = [(name, level1[name], texts[name].decode()) for name in ARRAYS]
    return CollectionRead(source, records, level1, digest_of(level1), arrays,
                          tuple(sorted(circular & {r.id for r in records})))


def _absolute(source: Source) -> Source:
    path = path_of(source)
    return os.path.abspath(path) if path is not None and path != "-" else source


def _add_in(fasta: Source, progress: Progress | None, store: Store | tuple[str, str],
            circular: frozenset[str]) -> AddedCollection:
    """A worker's add of one file into PostgreSQL: through the caller's
    store in its threads, through a store of its own (path, URL) in an
    executor's worker, wherever that runs."""
    if isinstance(store, Store):
        return store._write(read_collection(fasta, progress, store.sequences, circular))
    path, url = store
    with Store(path, database=url) as opened:
        return opened._write(read_collection(fasta, progress, opened.sequences, circular))


class Store:
    """A reference store in the folder `path`: `add` reads FASTA files into
    it, the other methods read it (for the service). `database`: a
    postgresql:// URL, or None for SQLite in the folder. `create`: make the
    folder and the tables when missing (writers do; a server only opens).
    A folder written before it followed htslib's layout is renamed into it
    here (folder.migrate; logged as a warning)."""

    def __init__(self, path: str | os.PathLike[str], *, database: str | None = None, create: bool = False) -> None:
        self.path = os.fspath(path)
        self.sequences = os.path.join(self.path, SEQUENCES)
        if create:
            try:
                os.makedirs(self.sequences, exist_ok=True)
            except OSError as error:
                raise os_error(error, self.path) from None
        elif not os.path.isdir(self.sequences):
            raise SeqtallyError("not a store (no sequences folder; seqtally store add creates one)", self.path,
                                kind="os", errno=2)
        renamed = migrate(self.sequences)
        if renamed:
            # Files of this user's store were renamed: said once, through
            # logging (the command prints it as a note; a service's log has it).
            _log.warning("%s: %d sequence %s renamed to htslib's REF_CACHE layout (REF_CACHE=%s/%%2s/%%2s/%%s)",
                         self.path, renamed, "file" if renamed == 1 else "files", self.sequences)
        self._db = Database(self.path, database, create=create)

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    # ------------------------------------------------------------ writing

    def add(self, fasta: Source, *, circular: Iterable[str] = (), progress: Progress | None = None) -> AddedCollection:
        """Reads `fasta` (plain, gzip or BGZF; a path, "-", a descriptor or a
        binary file) once: its sequences go into the folder as it is read,
        then everything else into the database in one transaction. A file
        is in the store completely or not at all; adding it again changes
        nothing. `circular`: names of records to mark circular, where the
        file has them (the result lists those it marked)."""
        remove_orphans(self.sequences)
        return self._write(read_collection(fasta, progress, self.sequences, frozenset(circular)))

    def add_files(self, sources: Iterable[Source], *, circular: Iterable[str] = (), jobs: int = 1,
                  executor: Executor | None = None, progress: Progress | None = None) -> Iterator[AddedCollection]:
        """add() of every file, the results in input order, each file
        atomically as add() does.

        `jobs`: that many threads of this process; `executor`: any
        concurrent.futures.Executor instead (a process pool, a Dask
        Client.get_executor()), handed batches of consecutive files, whose
        workers must see the store's folder under the same path (a shared
        file system) and, with PostgreSQL, reach its database by the same
        URL. The reads (digests, and the bases into the folder) run in the
        workers. With PostgreSQL each worker writes its own files' rows
        through a connection of its own: rows in MD5 order never deadlock,
        and a sequence two workers add at once is inserted once. With
        SQLite, one writer at a time whatever the workers, the caller
        writes the rows as the reads come back, so that no worker queues
        on the database's lock nor opens a file that may sit on another
        machine's disk.

        A failure raises SeqtallyError once the files before it are added;
        others may have been added meanwhile (with PostgreSQL), and the
        reads still running are cancelled as checksum_files() cancels
        them."""
        listed = list(sources)
        wanted = frozenset(circular)
        remove_orphans(self.sequences)
        if executor is None and (jobs <= 1 or len(listed) <= 1):
            for source in listed:
                yield self._write(read_collection(source, progress, self.sequences, wanted))
            return
        folder = self.sequences
        if executor is not None:
            # A worker elsewhere has a working folder of its own.
            listed = [_absolute(source) for source in listed]
            folder = os.path.abspath(folder)
        if not self._db.postgresql:
            for read in in_batches(read_collection, listed, jobs, executor, progress, folder, wanted):
                yield self._write(read)
            return
        # Our threads share this store (each thread is lent its own
        # connection); an executor's workers open it by its path and URL.
        target: Store | tuple[str, str] = self if executor is None else (os.path.abspath(self.path), self._db.where)
        yield from in_batches(_add_in, listed, jobs, executor, progress, target, wanted)

    def _write(self, read: CollectionRead) -> AddedCollection:
        """The rows of a file read into the folder, in one transaction."""
        records, level1, digest = read.records, read.level1, read.digest
        # Rows in one order for every add: two adds that share sequences and
        # took their row locks in their files' orders could deadlock
        # (PostgreSQL then fails one of them).
        sequences = sorted({(r.md5, r.sha512t24u, r.length, False) for r in records})
        with self._db.transaction():
            self._db.run_many("INSERT INTO sequences (md5, sha512t24u, length, circular) VALUES (%s, %s, %s, %s) "
                              "ON CONFLICT DO NOTHING", sequences)
            self._db.run_many("UPDATE sequences SET circular = TRUE WHERE md5 = %s",
                              sorted({(r.md5,) for r in records if r.id in read.circular}))
            new = self._db.run(
                f"INSERT INTO collections (digest, {', '.join(ATTRIBUTES)}, records, source, added) "
                f"VALUES ({', '.join(['%s'] * (len(ATTRIBUTES) + 4))}) ON CONFLICT DO NOTHING",
                (digest, *(level1[name] for name in ATTRIBUTES), len(records), read.source,
                 time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()))) > 0
            if new:
                self._db.run_many("INSERT INTO arrays (attribute, digest, content) VALUES (%s, %s, %s) "
                                  "ON CONFLICT DO NOTHING", read.arrays)
                self._db.run_many("INSERT INTO members (collection, position, name, sequence) VALUES (%s, %s, %s, %s)",
                                  [(digest, i, r.id, r.md5) for i, r in enumerate(records)])
        return AddedCollection(digest, read.source, len(records), new, read.circular)

    def alias(self, tsv: str | os.PathLike[str]) -> int:
        """Adds the aliases of a tab-separated file: per line a sequence (its
        MD5, SQ. digest or a record's name in the store), a naming authority
        and an alias ("#" starts a comment line). All or none; how many were
        new."""
        path = os.fspath(tsv)
        try:
            with open(path, encoding="utf-8", newline="") as stream:
                lines = list(csv.reader(stream, delimiter="\t", quoting=csv.QUOTE_NONE))
        except (OSError, UnicodeDecodeError) as error:
            if isinstance(error, OSError):
                raise os_error(error, path) from None
            raise SeqtallyError("not UTF-8 text", path, kind="encoding") from None
        rows = []
        for number, fields in enumerate(lines, 1):
            if not fields or fields[0].startswith("#"):
                continue
            if len(fields) != 3 or not all(field.strip() for field in fields):
                raise SeqtallyError(f"line {number}: expected three fields (sequence, naming_authority, alias)",
                                    path, kind="format", line=number)
            sequence, authority, alias = (field.strip() for field in fields)
            rows.append((self._md5_of(sequence, path, number), authority, alias))
        with self._db.transaction():
            before = self._count("aliases")
            self._db.run_many("INSERT INTO aliases (sequence, naming_authority, alias) VALUES (%s, %s, %s) "
                              "ON CONFLICT DO NOTHING", rows)
            return self._count("aliases") - before

    def _md5_of(self, sequence: str, path: str, line: int) -> str:
        digest = sequence.removeprefix("ga4gh:").removeprefix("SQ.")
        found = self._db.all("SELECT md5 FROM sequences WHERE md5 = %s OR sha512t24u = %s", (sequence.lower(), digest))
        if not found:
            found = self._db.all("SELECT DISTINCT sequence FROM members WHERE name = %s", (sequence,))
        if len(found) != 1:
            problem = "no sequence of that digest or name" if not found else "several sequences have that name"
            raise SeqtallyError(f"line {line}: {sequence}: {problem}", path, kind="format", line=line)
        return str(found[0][0])

    def _count(self, table: str) -> int:
        row = self._db.one(f"SELECT COUNT(*) FROM {table}")
        return int(row[0]) if row else 0

    # ------------------------------------------------------------ reading

    def sequence(self, *, md5: str | None = None, sha512t24u: str | None = None,
                 alias: tuple[str, str] | None = None) -> StoredSequence | None:
        """The sequence of that MD5 (lowercase hex), sha512t24u (without
        SQ.) or (naming_authority, alias); None when the store has none (or
        an alias names several)."""
        columns = "md5, sha512t24u, length, circular FROM sequences"
        if md5 is not None:
            rows = self._db.all(f"SELECT {columns} WHERE md5 = %s", (md5,))
        elif sha512t24u is not None:
            rows = self._db.all(f"SELECT {columns} WHERE sha512t24u = %s", (sha512t24u,))
        elif alias is not None:
            named = self.aliased(*alias)
            return named[0] if len(named) == 1 else None
        else:
            raise TypeError("give md5, sha512t24u or alias")
        return _stored(rows[0]) if len(rows) == 1 else None

    def aliased(self, naming_authority: str, alias: str) -> list[StoredSequence]:
        """Every sequence that an alias names (added by alias()), by MD5."""
        rows = self._db.all("SELECT md5, sha512t24u, length, circular FROM sequences WHERE md5 IN (SELECT sequence "
                            "FROM aliases WHERE naming_authority = %s AND alias = %s) ORDER BY md5",
                            (naming_authority, alias))
        return [_stored(row) for row in rows]

    def sequence_path(self, md5: str) -> str:
        """The file of the sequence's bases."""
        return sequence_path(self.sequences, md5)

    def aliases(self, md5: str) -> list[tuple[str, str]]:
        """(alias, naming_authority) of a sequence: those added by alias(),
        then its record names, under the authority "seqcol:" and the
        collection's digest."""
        given = self._db.all("SELECT alias, naming_authority FROM aliases WHERE sequence = %s "
                             "ORDER BY naming_authority, alias", (md5,))
        names = self._db.all("SELECT DISTINCT name, collection FROM members WHERE sequence = %s "
                             "ORDER BY collection, name", (md5,))
        return [(str(a), str(b)) for a, b in given] + [(str(name), "seqcol:" + str(c)) for name, c in names]

    def naming_authorities(self) -> list[str]:
        """The authorities of the aliases added by alias()."""
        return [str(row[0]) for row in self._db.all("SELECT DISTINCT naming_authority FROM aliases ORDER BY 1")]

    def collection_json(self, digest: str, level: int = 2) -> bytes | None:
        """The collection as `seqtally seqcol --level` gives it (canonical
        JSON, without the line end), or None."""
        row = self._db.one(f"SELECT {', '.join(ATTRIBUTES)} FROM collections WHERE digest = %s", (digest,))
        if row is None:
            return None
        level1 = dict(zip(ATTRIBUTES, row))
        if level == 1:
            return canonical_json(level1)
        contents: dict[str, str] = dict(self._db.all(
            f"SELECT attribute, content FROM arrays WHERE {' OR '.join(['(attribute = %s AND digest = %s)'] * 5)}",
            [value for name in ARRAYS for value in (name, level1[name])]))
        # Canonical JSON of an object of canonical arrays, members in order.
        return b"{" + b",".join(b'"%s":%s' % (name.encode(), contents[name].encode()) for name in ARRAYS) + b"}"

    def attribute_json(self, attribute: str, digest: str) -> bytes | None:
        """A level-2 array by its digest (canonical JSON), or None; never
        one of a transient attribute, which has none."""
        row = self._db.one("SELECT content FROM arrays WHERE attribute = %s AND digest = %s", (attribute, digest))
        return None if row is None else str(row[0]).encode()

    def list_collections(self, filters: Mapping[str, str], page: int, page_size: int) -> tuple[list[str], int]:
        """Digests of the collections whose level-1 attributes have all the
        digests given (attribute names as in ATTRIBUTES), one page of them
        in digest order, and how many there are in all."""
        unknown = set(filters) - set(ATTRIBUTES)
        if unknown:
            raise ValueError(f"no attribute {', '.join(sorted(unknown))}")
        where = " AND ".join(f"{name} = %s" for name in sorted(filters)) or "TRUE"
        values = [filters[name] for name in sorted(filters)]
        rows = self._db.all(f"SELECT digest FROM collections WHERE {where} ORDER BY digest LIMIT %s OFFSET %s",
                            [*values, page_size, page * page_size])
        total = self._db.one(f"SELECT COUNT(*) FROM collections WHERE {where}", values)
        return [str(r[0]) for r in rows], int(total[0]) if total else 0

    def list_attribute(self, attribute: str, page: int, page_size: int) -> tuple[list[str], int]:
        """The distinct level-1 digests of one attribute, one page of them."""
        if attribute not in ATTRIBUTES:
            raise ValueError(f"no attribute {attribute}")
        rows = self._db.all(f"SELECT DISTINCT {attribute} FROM collections ORDER BY 1 LIMIT %s OFFSET %s",
                            (page_size, page * page_size))
        total = self._db.one(f"SELECT COUNT(DISTINCT {attribute}) FROM collections")
        return [str(r[0]) for r in rows], int(total[0]) if total else 0

    def summaries(self, page: int, page_size: int) -> tuple[list[CollectionSummary], int]:
        """One page of the collections, by the time they were added."""
        rows = self._db.all("SELECT digest, records, source, added FROM collections ORDER BY added, digest "
                            "LIMIT %s OFFSET %s", (page_size, page * page_size))
        return [CollectionSummary(str(d), int(n), str(s), str(a)) for d, n, s, a in rows], self._count("collections")

    def summary(self, digest: str) -> CollectionSummary | None:
        row = self._db.one("SELECT digest, records, source, added FROM collections WHERE digest = %s", (digest,))
        return None if row is None else CollectionSummary(str(row[0]), int(row[1]), str(row[2]), str(row[3]))

    def members(self, digest: str) -> list[Member]:
        """The records of a collection, in file order."""
        return self.members_of([digest])[digest]

    def collections_sharing(self, *, md5s: Iterable[str] = (), sha512t24us: Iterable[str] = (),
                            names: Iterable[str] = (), lengths: Iterable[int] = (), records: int = 0,
                            limit: int = 20) -> list[str]:
        """The digests of the `limit` collections with the most records that
        have one of the MD5s, sha512t24u digests, names or lengths given,
        most first, and of those that have as many the one whose record
        count is nearest to `records` (a genome's renamed copy before its
        extended one). Each lookup goes through an index of its own (members
        by sequence and by name, sequences by digest and by length): the
        cost grows with the records that match, not with the store."""
        parts: list[str] = []
        values: list[object] = []
        db = self._db
        for sql, given in (
                ("SELECT collection, position FROM members WHERE " + db.among("sequence"), set(md5s)),
                ("SELECT m.collection, m.position FROM members m JOIN sequences s ON s.md5 = m.sequence WHERE "
                 + db.among("s.sha512t24u"), set(sha512t24us)),
                ("SELECT collection, position FROM members WHERE " + db.among("name"), set(names)),
                ("SELECT m.collection, m.position FROM members m JOIN sequences s ON s.md5 = m.sequence WHERE "
                 + db.among("s.length"), set(lengths))):
            if given:
                parts.append(sql)
                values.append(db.listed(sorted(given)))
        if not parts:
            return []
        rows = self._db.all(f"SELECT f.collection FROM ({' UNION '.join(parts)}) f JOIN collections c ON "
                            "c.digest = f.collection GROUP BY f.collection, c.records "
                            "ORDER BY COUNT(*) DESC, ABS(c.records - %s), f.collection LIMIT %s",
                            [*values, records, limit])
        return [str(row[0]) for row in rows]

    def sequences_aliased(self, names: Iterable[str]) -> dict[str, set[str]]:
        """The MD5s of the sequences that each of `names` is an alias of,
        whatever the authority (names without an alias left out)."""
        wanted = sorted(set(names))
        if not wanted:
            return {}
        found: dict[str, set[str]] = {}
        rows = self._db.all("SELECT alias, sequence FROM aliases WHERE " + self._db.among("alias"),
                            (self._db.listed(wanted),))
        for alias, md5 in rows:
            found.setdefault(str(alias), set()).add(str(md5))
        return found

    def members_of(self, digests: Iterable[str]) -> dict[str, list[Member]]:
        """The records of several collections, in file order, in one query."""
        wanted = list(dict.fromkeys(digests))
        found: dict[str, list[Member]] = {digest: [] for digest in wanted}
        if not wanted:
            return found
        rows = self._db.all("SELECT m.collection, m.name, s.length, s.sha512t24u, s.md5 FROM members m JOIN sequences "
                            "s ON s.md5 = m.sequence WHERE " + self._db.among("m.collection") +
                            " ORDER BY m.collection, m.position", (self._db.listed(wanted),))
        for digest, name, length, sha, md5 in rows:
            found[digest].append(Member(str(name), int(length), str(sha), str(md5)))
        return found

    def check(self) -> list[str]:
        """What does not hold together: sequences whose file is missing or
        of another length. Empty when the store is consistent."""
        problems = []
        for md5, length in self._db.all("SELECT md5, length FROM sequences ORDER BY md5"):
            try:
                size = os.stat(self.sequence_path(md5)).st_size
            except OSError:
                problems.append(f"{md5}: no file")
                continue
            if size != length:
                problems.append(f"{md5}: {size} bytes, not {length}")
        return problems

