"""identify against a store of many collections: one BAM header (made by
samtools) against 1,000 generated assemblies of 25 to 3,000 records in
families that share sequences, rename and reorder them (chr1 in most), on
SQLite and, where Debian's PostgreSQL is installed, on PostgreSQL. The
time excludes reading the BAM header. Part of bench/suite.py (section
`identify`), or alone: `.venv/bin/python bench/identify.py [COLLECTIONS]`."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from seqtally_tools import Store, declared, identify

HERE = Path(__file__).resolve().parent
TARGET_MS = 100


def _families(count, seed=11):
    """Assemblies in families of ten, as a store of many genomes holds
    them: a base of 25 to 3,000 records (log-uniform) with its own
    sequences, and nine copies renamed (1, 2, ... for chr1, chr2, ...),
    reordered, truncated, extended, with one record changed or under a
    third naming. Names chr1, chr2, ... recur in every family. Yields
    (names, sequences) per assembly."""
    rng = random.Random(seed)
    for _ in range(count // 10):
        size = int(round(25 * (120 ** rng.random())))
        bases = [bytes(rng.choices(b"ACGT", k=rng.randrange(200, 1200))) for _ in range(size)]
        names = [f"chr{i + 1}" for i in range(size)]
        extra = [bytes(rng.choices(b"ACGT", k=rng.randrange(200, 1200))) for _ in range(5)]
        changed = [b"T" + bases[0][1:] if bases[0][:1] != b"T" else b"A" + bases[0][1:], *bases[1:]]
        yield names, bases
        yield [n[3:] for n in names], bases
        yield names[::-1], bases[::-1]
        yield names[: size // 2 + 1], bases[: size // 2 + 1]
        yield names + [f"extra{i}" for i in range(5)], bases + extra
        yield names, changed
        yield [f"NC_{i:06d}.1" for i in range(size)], bases
        yield names[: size // 3 + 1], bases[: size // 3 + 1]
        yield [n[3:] for n in names[::-1]], bases[::-1]
        yield names + ["extra0"], bases + extra[:1]


def fill(store_path, database, count, work):
    started = time.perf_counter()
    biggest = None
    with Store(store_path, database=database, create=True) as store:
        for number, (names, bases) in enumerate(_families(count)):
            fasta = work / "assembly.fa"
            fasta.write_bytes(b"".join(b">%s\n%s\n" % (n.encode(), b) for n, b in zip(names, bases)))
            store.add(fasta)
            if number % 10 == 0 and (biggest is None or len(names) > len(biggest[0])):
                biggest = (names, bases)
    seconds = time.perf_counter() - started
    if database is not None:
        # What autovacuum does within a minute of a bulk load: without the
        # tables' statistics PostgreSQL scans members (530,000 rows) rather
        # than use its indexes, 63 ms a query.
        import psycopg

        with psycopg.connect(database, autocommit=True) as connection:
            connection.execute("ANALYZE")
    # The BAM: the largest family's base under names no collection uses
    # (the matching must go by M5), its header written by samtools from a
    # dictionary.
    names, bases = biggest
    fasta = work / "sample.fa"
    fasta.write_bytes(b"".join(b">s%d\n%s\n" % (i, b) for i, b in enumerate(bases)))
    subprocess.run(["samtools", "dict", "-o", work / "sample.dict", fasta], check=True)
    subprocess.run(["samtools", "view", "-b", "-o", work / "sample.bam", work / "sample.dict"], check=True)
    return seconds, work / "sample.bam", len(names)


def identify_ms(store_path, database, bam, reps=20):
    contigs = declared(bam).contigs
    with Store(store_path, database=database) as store:
        found = identify(contigs, store)
        times = []
        for _ in range(reps):
            started = time.perf_counter()
            identify(contigs, store)
            times.append(time.perf_counter() - started)
    return statistics.median(times) * 1000, found.matches[0].relation


def identify_rows(limits, work, count=1000):
    if shutil.which("samtools") is None:
        print("identify: skipped (samtools missing)")
        return
    print("identify:", flush=True)
    databases = [("sqlite", None)]
    cluster = postgresql_cluster()
    if cluster is not None:
        databases.append(("postgresql", cluster.new_database()))
    try:
        for name, database in databases:
            folder = work / f"identify-{name}"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            add_seconds, bam, records = fill(folder / "store", database, count, folder)
            ms, relation = identify_ms(folder / "store", database, bam)
            limits[f"identify_{name}_ms"] = ms
            print(f"  identify: a BAM header of {records} records against {count} collections on {name}: "
                  f"{ms:.1f} ms (target {TARGET_MS} ms), {relation}; filling the store took {add_seconds:.0f} s",
                  flush=True)
    finally:
        if cluster is not None:
            cluster.stop()


def postgresql_cluster():
    """The tests' throwaway PostgreSQL cluster (stop() it), or None where
    Debian's server is not installed."""
    try:
        sys.path.insert(0, str(HERE.parent / "tests"))
        # The tests' conftest, which servers imports, provokes a panic of
        # the module on purpose: its message is no concern of the bench.
        saved = os.dup(2)
        try:
            with open(os.devnull, "wb") as quiet:
                os.dup2(quiet.fileno(), 2)
                from servers import PostgreSQL
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        return PostgreSQL()
    except BaseException as error:  # noqa: BLE001 - pytest.skip is a BaseException: no cluster, SQLite alone
        print(f"  PostgreSQL skipped: {error}")
        return None


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as folder:
        identify_rows({}, Path(folder), int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
