"""The store: every input kind read once into the folder htslib reads
(checked with hashlib against the FASTA read here), atomic adds (killed at
several points, then run again), adding twice, concurrent adds, aliases;
on SQLite and on PostgreSQL. A store of the names used before htslib's
renamed on open."""
import fcntl
import gzip
import hashlib
import os
import random
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import seqtally_tools
from conftest import COMMAND, bgzf, raised, written
from seqtally_tools import Store
from servers import to_32_digit_names

TABLES = {"sequences": "md5", "collections": "digest", "arrays": "attribute, digest",
          "members": "collection, position", "aliases": "naming_authority, alias, sequence"}


@pytest.fixture(params=["sqlite", "postgresql"])
def database(request):
    if request.param == "sqlite":
        return None
    return request.getfixturevalue("postgresql").new_database()


def dump(folder, database):
    """Every row of every table, and every file of the folder."""
    with Store(folder, database=database) as store:
        rows = {table: store._db.all(f"SELECT * FROM {table} ORDER BY {order}") for table, order in TABLES.items()}
    files = sorted(os.path.relpath(os.path.join(top, name), folder) for top, _, names in
                   os.walk(os.path.join(folder, "sequences")) for name in names)
    return rows, files


def records(rng, count, longest):
    return [(f"chr{n}", "".join(rng.choices("ACGTNacgtn", k=rng.randrange(1, longest)))) for n in range(count)]


def fasta_of(pairs, width=60):
    return "".join(f">{name} description\n" + "".join(seq[i:i + width] + "\n" for i in range(0, len(seq), width))
                   for name, seq in pairs).encode()


@pytest.mark.parametrize("kind", ["plain", "gzip", "bgzf", "stdin"])
def test_every_input_fills_the_folder_in_one_read(tmp_path, kind):
    pairs = records(random.Random(kind), 5, 3000) + [("empty", "")]
    data = fasta_of(pairs)
    path = tmp_path / "in.fa"
    path.write_bytes({"plain": data, "gzip": gzip.compress(data), "stdin": data}.get(kind) or bgzf(data))
    with Store(tmp_path / "store", create=True) as store:
        if kind == "stdin":
            with open(path, "rb") as stream:
                added = store.add(stream)
        else:
            added = store.add(path)
        assert added.digest == seqtally_tools.seqcol(path if kind != "stdin" else str(path))
        assert [m.name for m in store.members(added.digest)] == [name for name, _ in pairs]
        for name, seq in pairs:
            bases = seq.upper().encode()
            md5 = hashlib.md5(bases).hexdigest()
            with open(store.sequence_path(md5), "rb") as stored:
                # Readable by others: samtools of any user reads the folder as its REF_CACHE.
                assert (stored.read(), os.stat(stored.fileno()).st_mode & 0o777) == (bases, 0o644)
            assert store.sequence(md5=md5).length == len(bases)
        assert store.check() == []
    assert not [n for n in os.listdir(tmp_path / "store" / "sequences") if n.startswith(".seqtally-tmp-")]


def test_adding_a_file_twice_changes_nothing(tmp_path, database):
    path = written(tmp_path / "in.fa", fasta_of(records(random.Random(2), 4, 500)))
    with Store(tmp_path, database=database, create=True) as store:
        first = store.add(path)
    before = dump(tmp_path, database)
    mtimes = {name: os.stat(tmp_path / name).st_mtime_ns for name in before[1]}
    with Store(tmp_path, database=database) as store:
        again = store.add(path)
    assert (first.new, again.new, again.digest) == (True, False, first.digest)
    assert dump(tmp_path, database) == before
    assert {name: os.stat(tmp_path / name).st_mtime_ns for name in before[1]} == mtimes


# A child that adds a file and dies by SIGKILL: while a record's file is
# being written (a thread watches the folder), after the first record, or
# in the database transaction after its Nth batch of rows.
DYING_ADD = r"""
import os, signal, sys, threading, time
from seqtally_tools import Store, _engine
from seqtally_tools._store import database, store
folder, point = os.path.join(sys.argv[1], "sequences"), sys.argv[4]
def die():
    os.kill(os.getpid(), signal.SIGKILL)
if point == "file":
    def size(name):
        try:
            return os.stat(os.path.join(folder, name)).st_size
        except FileNotFoundError:  # its record ended meanwhile
            return 0
    # Only the long record's file passes 1 MiB, with 31 MiB still to come:
    # a short record's could be finished between the look and the kill.
    def watch():
        while True:
            for name in os.listdir(folder) if os.path.isdir(folder) else ():
                if name.startswith(".seqtally-tmp-") and size(name) > 1 << 20:
                    die()
    threading.Thread(target=watch, daemon=True).start()
elif point == "record":
    index = _engine.index
    store._engine = type("engine", (), {"index": staticmethod(lambda *a, **k: index(
        *a, **k, on_record=lambda name, length: die())), "Failure": _engine.Failure})
else:
    run_many, calls = database.Database.run_many, [0]
    def dying(self, sql, rows):
        run_many(self, sql, rows)
        calls[0] += 1
        if calls[0] == int(point):
            die()
    database.Database.run_many = dying
Store(sys.argv[1], database=sys.argv[3] or None, create=True).add(sys.argv[2])
"""


@pytest.mark.parametrize("point", ["file", "record", "1", "4"])
def test_a_killed_add_leaves_the_store_as_it_was_and_a_rerun_completes_it(tmp_path, database, point):
    """Killed while a sequence's file is written, after a record's file is
    complete, after the sequences' rows and after the members' rows."""
    rng = random.Random(point)
    kept, added = tmp_path / "kept.fa", tmp_path / "added.fa"
    kept.write_bytes(fasta_of(records(rng, 3, 400)))
    long_record = rng.randbytes(32 << 20).translate(bytes(b"ACGT"[i % 4] for i in range(256))).decode()
    added.write_bytes(fasta_of(records(rng, 3, 400) + [("long", long_record)], width=1 << 16))
    with Store(tmp_path / "store", database=database, create=True) as store:
        store.add(kept)
    before = dump(tmp_path / "store", database)
    child = subprocess.run([sys.executable, "-c", DYING_ADD, str(tmp_path / "store"), str(added), database or "",
                            point], capture_output=True, timeout=120)
    assert child.returncode == -signal.SIGKILL, child.stderr
    rows, files = dump(tmp_path / "store", database)
    assert rows == before[0]
    if point == "file":
        assert [name for name in files if ".seqtally-tmp-" in name]  # what the next add removes
    with Store(tmp_path / "store", database=database) as store:
        assert store.add(added).new
        assert store.check() == []
    rows, files = dump(tmp_path / "store", database)
    assert len(rows["collections"]) == 2 and len(rows["members"]) == 3 + 4
    assert not [name for name in files if ".seqtally-tmp-" in name]


def test_concurrent_adds(tmp_path, database):
    """Six adds at once of files that share their sequences, half of them in
    the opposite order: each file complete, each sequence once, no add
    failed (as a deadlock of two adds would fail one on PostgreSQL)."""
    shared = records(random.Random(4), 5000, 40)
    paths = []
    for n in range(6):
        ordered = shared if n % 2 else shared[::-1]
        paths.append(written(tmp_path / f"in{n}.fa", fasta_of(ordered + [(f"own{n}", "ACGT" * (n + 1))])))
    command = [COMMAND, "store", "add", "-q", str(tmp_path / "store")] + (["--database", database] if database else [])
    Store(tmp_path / "store", database=database, create=True).close()
    children = [subprocess.Popen([*command, str(path)], stderr=subprocess.PIPE) for path in paths]
    said = [child.communicate(timeout=120)[1] for child in children]
    assert [child.returncode for child in children] == [0] * 6, said
    with Store(tmp_path / "store", database=database) as store:
        assert store.check() == []
        digests, total = store.list_collections({}, 0, 10)
        assert total == 6 and sorted(digests) == sorted(seqtally_tools.seqcol(p) for p in paths)
        assert sum(len(store.members(d)) for d in digests) == 6 * 5001


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as \
            cluster, distributed.Client(cluster) as client:
        yield client.get_executor()


@pytest.fixture(scope="module")
def shared_files(tmp_path_factory):
    """130 files that share most of their sequences, a file twice, and
    what one add after the other makes of them, by database."""
    folder = tmp_path_factory.mktemp("shared")
    rng = random.Random(5)
    shared = records(rng, 500, 40)
    # Threads are handed 16 files a batch, an executor 64: the first file
    # of each worker has the shared sequences in the other order (two adds
    # that took new rows' locks in file order would deadlock).
    paths = [written(folder / f"in{n}.fa", fasta_of((shared[::-1] if (n // 16 + n // 64) % 2 else shared)[n % 7:]
                                                    + [(f"own{n}", "ACGT" * (n + 1))])) for n in range(130)]
    return paths + paths[:10], {}


def added_store(folder, database, paths, **options):
    with Store(folder, database=database, create=True) as store:
        added = list(store.add_files(paths, **options))
        assert store.check() == []
    rows, files = dump(folder, database)
    rows["collections"] = [row[:-1] for row in rows["collections"]]  # when it was added
    return rows, files, [(a.digest, a.source, a.records) for a in added], sorted(a.digest for a in added if a.new)


@pytest.mark.parametrize("how", ["2 threads", "dask"])
def test_many_files_at_once_give_the_store_a_serial_add_gives(tmp_path, request, database, shared_files, how):
    """Two threads, or two processes of a Dask cluster, add at once: the
    same rows and files, each collection new once, no add failed."""
    paths, serial = shared_files
    kind = "postgresql" if database else "sqlite"
    if kind not in serial:
        url = request.getfixturevalue("postgresql").new_database() if database else None
        serial[kind] = added_store(tmp_path / "serial", url, paths)
        assert len(serial[kind][0]["collections"]) == 130 and not [f for f in serial[kind][1] if "-tmp-" in f]
    options = {"jobs": 2} if how == "2 threads" else {"executor": request.getfixturevalue("dask_executor")}
    assert added_store(tmp_path / "store", database, paths, **options) == serial[kind]


def test_store_add_with_jobs_prints_what_a_serial_add_prints(tmp_path):
    paths = [written(tmp_path / f"in{n}.fa", fasta_of(records(random.Random(n % 12), 3, 200))) for n in range(40)]
    serial, jobs = (subprocess.run([COMMAND, "store", "add", "-q", *options, str(tmp_path / name), *map(str, paths)],
                                   capture_output=True, timeout=120) for name, options in (("a", []), ("b", ["-j", "3"])))
    assert (jobs.returncode, jobs.stdout, jobs.stderr) == (0, serial.stdout, b"")
    assert serial.stdout.count(b"already in the store") == 28


def opened(folder):
    """A process that opens the store and ends, as a server starting does."""
    return subprocess.Popen([sys.executable, "-c", "import sys\nfrom seqtally_tools import Store\n"
                             "Store(sys.argv[1]).close()", folder], stderr=subprocess.PIPE)


def test_a_store_of_32_digit_names_is_renamed_by_whoever_opens_it_first(tmp_path):
    pairs = records(random.Random(36), 30, 400)
    bases = {hashlib.md5(seq.upper().encode()).hexdigest(): seq.upper().encode() for _, seq in pairs}
    folder = tmp_path / "sequences"
    with Store(tmp_path, create=True) as store:
        store.add(written(tmp_path / "in.fa", fasta_of(pairs)))
    assert to_32_digit_names(folder) == len(bases)
    # A migration killed midway: some files have htslib's name already.
    for md5 in sorted(bases)[:10]:
        os.rename(folder / md5[:2] / md5[2:4] / md5, folder / md5[:2] / md5[2:4] / md5[4:])
    # Servers sharing the store start at once: each file is renamed by one
    # of them, and the others find it gone.
    opening = [opened(tmp_path) for _ in range(4)]
    said = [(child.communicate(timeout=60)[1].decode(), child.returncode) for child in opening]
    assert all(status == 0 for _, status in said), said
    counts = [int(line.split(": ", 1)[1].split()[0]) for text, _ in said for line in text.splitlines()]
    assert sum(counts) == len(bases) - 10, said
    # Every file where htslib looks (the path's parts are the MD5), its
    # bases intact, none lost.
    found = {}
    for top, _, names in os.walk(folder):
        for name in names:
            md5 = "".join(Path(top, name).relative_to(folder).parts)
            found[md5] = Path(top, name).read_bytes()
    assert found.pop(".seqtally-layout") and found == bases
    with Store(tmp_path) as store:
        assert store.check() == []
    again = opened(tmp_path)
    assert again.communicate(timeout=60)[1] == b"" and again.returncode == 0  # marked: nothing more to say


def test_orphans_of_a_killed_add_go_and_files_being_written_stay(tmp_path):
    folder = tmp_path / "sequences"
    folder.mkdir()
    (folder / ".seqtally-tmp-orphan").write_bytes(b"ACG")
    held = open(folder / ".seqtally-tmp-held", "wb")
    fcntl.flock(held, fcntl.LOCK_EX)
    (tmp_path / "in.fa").write_bytes(b">a\nACGT\n")
    with Store(tmp_path, create=True) as store:
        store.add(tmp_path / "in.fa")
    assert sorted(n for n in os.listdir(folder) if n.startswith(".seqtally-tmp-")) == [".seqtally-tmp-held"]
    held.close()


def test_aliases_all_or_nothing_and_circular(tmp_path):
    (tmp_path / "a.fa").write_bytes(b">x\nACGT\n>y\nGGGG\n")
    (tmp_path / "b.fa").write_bytes(b">y\nACGT\n")
    with Store(tmp_path, create=True) as store:
        store.add(tmp_path / "a.fa", circular=["x", "nothere"])
        store.add(tmp_path / "b.fa")
        acgt = hashlib.md5(b"ACGT").hexdigest()
        assert store.sequence(md5=acgt).circular and not store.sequence(md5=hashlib.md5(b"GGGG").hexdigest()).circular
        (tmp_path / "good.tsv").write_text(f"# sequence\tauthority\talias\n{acgt}\tinsdc\tAB000001.1\n"
                                           "x\tucsc\tchrX\nSQ." + store.sequence(md5=acgt).sha512t24u +
                                           "\trefseq\tNC_1.1\n")
        assert store.alias(tmp_path / "good.tsv") == 3
        assert store.alias(tmp_path / "good.tsv") == 0
        for bad, line in (("x\tinsdc\n", 1), ("x\tinsdc\tA\nnothing\tinsdc\tB\n", 2), ("y\tinsdc\tC\n", 1)):
            error = raised(lambda: store.alias(written(tmp_path / "bad.tsv", bad)))
            assert (error.kind, error.line) == ("format", line)  # y names two sequences
        assert store.sequence(alias=("insdc", "A")) is None
        assert store.sequence(alias=("ucsc", "chrX")).md5 == acgt
        assert [a for a, authority in store.aliases(acgt) if not authority.startswith("seqcol:")] == [
            "AB000001.1", "NC_1.1", "chrX"]
