"""seqcol v1.0 over `seqtally serve`: the GA4GH compliance checks on SQLite
and PostgreSQL, lists and bad input; two servers on one PostgreSQL database;
a slow store call that holds its own request only; bases read alike in
each of the ways a read takes.
(Bodies byte for byte as `seqtally seqcol` gives them: test_service_load.py.)"""
import asyncio
import hashlib
import json
import os
import random
import shutil
import tempfile
import threading
import time
from pathlib import Path

import httpx
import pytest

from servers import REFGET_BASES, SEQCOL_FILES, Server, add

BASE = "XZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk"  # base.fa


def test_seqcol_compliance_checks_all_pass(compliance_server):
    from refget.compliance import run_compliance

    report = run_compliance(compliance_server.url)
    failed = {r["name"]: r["error"] for r in report["results"] if not r["passed"]}
    assert (report["total"], failed) == (65, {})


@pytest.mark.parametrize("compliance_server", ["sqlite"], indirect=True)
def test_lists_page(compliance_server):
    url = compliance_server.url
    everything = httpx.get(f"{url}/list/collection?page_size=1000").json()
    assert everything["pagination"] == {"page": 0, "page_size": 1000, "total": 9}
    pages = [httpx.get(f"{url}/list/collection?page={p}&page_size=4").json()["results"] for p in range(3)]
    assert [len(p) for p in pages] == [4, 4, 1] and sum(pages, []) == everything["results"]
    # Filters by attribute: the seqcol compliance checks.
    lengths = httpx.get(f"{url}/collection/{BASE}?level=1").json()["lengths"]
    attributes = httpx.get(f"{url}/list/attributes/lengths").json()
    assert lengths in attributes["results"] and attributes["pagination"]["total"] == len(attributes["results"])


@pytest.mark.parametrize("compliance_server", ["sqlite"], indirect=True)
@pytest.mark.parametrize("method, path, body, status", [
    ("GET", "/list/collection?page_size=1001", None, 400),
    ("GET", "/list/collection?page_size=0", None, 400),
    ("GET", "/list/collection?page=-1", None, 400),
    ("GET", "/list/collection?colour=red", None, 400),
    ("GET", "/list/attributes/colour", None, 404),
    ("GET", f"/collection/{BASE}?level=3", None, 400),
    ("GET", f"/collection/{BASE}?level=x", None, 400),
    ("GET", "/collection/..%2F..%2Fetc%2Fpasswd", None, 404),
    ("GET", "/collection/%3Cscript%3E", None, 404),
    ("GET", "/attribute/collection/sorted_name_length_pairs/x", None, 404),
    ("GET", "/comparison/nothing/nothing", None, 404),
    ("POST", f"/comparison/{BASE}", b"{not json", 400),
    ("POST", f"/comparison/{BASE}", b"[1, 2]", 400),
    ("POST", f"/comparison/{BASE}", b'{"names": [], "sequences": [], "lengths": [1.5]}', 400),
    ("POST", f"/comparison/{BASE}", b'{"names": [' * 100000 + b"]" * 100000 + b"}", 400),
    ("POST", f"/comparison/{BASE}", b" " * (65 << 20), 413),
    ("DELETE", f"/collection/{BASE}", None, 405),
    ("GET", "/nowhere", None, 404),
])
def test_bad_input_is_a_4xx_with_a_json_body(compliance_server, method, path, body, status):
    response = httpx.request(method, compliance_server.url + path, content=body, timeout=60)
    assert response.status_code == status
    assert response.headers["content-type"] == "application/json" and response.json()["message"]


def test_two_servers_on_one_postgresql_database(postgresql, tmp_path):
    """Two `serve` processes, one database: a collection added while they
    run is at once in both, they answer alike, and still do after
    PostgreSQL dropped their connections."""
    import psycopg

    database = postgresql.new_database()
    add(tmp_path, SEQCOL_FILES[0], database=database)
    servers = [Server(tmp_path, database=database), Server(tmp_path, "--workers", 2, database=database)]
    try:
        add(tmp_path, *SEQCOL_FILES[1:], database=database)
        paths = ["/list/collection", f"/collection/{BASE}", f"/comparison/{BASE}/sv7GIP1K0qcskIKF3iaBmQpaum21vH74",
                 "/sequence/SQ.iYtREV555dUFKg2_agSJW6suquUyPpMw?start=2&end=6", "/"]
        answers = [[httpx.get(server.url + path).content for path in paths] for server in servers]
        assert answers[0] == answers[1]
        assert json.loads(answers[0][0])["pagination"]["total"] == len(SEQCOL_FILES)
        with psycopg.connect(postgresql.url(), autocommit=True) as connection:
            dropped = connection.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = %s",
                                         (database.rsplit("/", 1)[1],)).fetchall()
        assert len(dropped) >= 3  # one connection a worker
        for server in servers:
            for _ in range(2):  # both workers of the second, whichever answers
                assert [httpx.get(server.url + path).content for path in paths[:2]] == answers[0][:2]
    finally:
        assert [server.stop() for server in servers] == [0, 0]


def test_a_slow_store_call_holds_only_its_own_request(compliance_server):
    """One request waits in a store call while 32 others are answered, in
    process: on the one event loop that must not wait with it. On
    PostgreSQL the wait is a query of 3 s on a connection of its own."""
    from seqtally_tools import Store
    from seqtally_tools.service import app

    held_md5 = hashlib.md5(REFGET_BASES["VI"].encode()).hexdigest()
    entered, released = threading.Event(), threading.Event()

    class Slow(Store):
        def sequence(self, **key):
            if key.get("md5") == held_md5:
                entered.set()
                if compliance_server.database:
                    self._db.one("SELECT pg_sleep(3)")
                else:
                    released.wait(10)  # waits its 10 s out when the loop waits with it
            return super().sequence(**key)

    rng = random.Random(32)
    others = []
    for name in ("I", "NC_001422.1"):
        bases = REFGET_BASES[name]
        md5 = hashlib.md5(bases.encode()).hexdigest()
        for _ in range(10):
            start = rng.randrange(len(bases) - 100)
            others.append((f"/sequence/{md5}?start={start}&end={start + 100}", bases[start:start + 100].encode()))
        others += [(f"/sequence/{md5}/metadata", None)] * 4
    others += [(f"/collection/{BASE}?level=1", None), ("/list/collection", None), ("/", None),
               ("/sequence/service-info", None)]
    assert len(others) == 32

    async def run(service):
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=service), base_url="http://service",
                                     timeout=30) as http:
            held = asyncio.ensure_future(http.get(f"/sequence/{held_md5}?start=0&end=4"))
            assert await asyncio.to_thread(entered.wait, 10)
            started = time.monotonic()
            answers = await asyncio.wait_for(asyncio.gather(*(http.get(path) for path, _ in others)), 20)
            meanwhile = not held.done()
            seconds = time.monotonic() - started
            released.set()
            return meanwhile, seconds, answers, await held

    with Slow(compliance_server.store, database=compliance_server.database) as store:
        meanwhile, seconds, answers, held = asyncio.run(run(app(store)))
    wrong = [(path, answer.status_code) for (path, body), answer in zip(others, answers)
             if answer.status_code != 200 or body is not None and answer.content != body]
    assert (meanwhile, wrong) == (True, [])
    assert (held.status_code, held.text) == (200, REFGET_BASES["VI"][:4])
    print(f"32 requests answered in {seconds * 1000:.0f} ms while one waited in the store")


@pytest.mark.parametrize("where", ["page cache", "disk", "memory"])
def test_bases_alike_from_the_page_cache_the_disk_and_memory(tmp_path, where):
    """A read of bases takes the page cache or a file system in memory on
    the event loop, or the disk in a worker thread (a file the page cache
    dropped): the same bytes, in part and whole (streamed: 1 MiB)."""
    from starlette.testclient import TestClient

    from seqtally_tools import Store
    from seqtally_tools.service import app

    folder = tmp_path
    if where == "memory":
        if not os.path.isdir("/dev/shm"):
            pytest.skip("no /dev/shm")
        folder = Path(tempfile.mkdtemp(dir="/dev/shm"))
    rng = random.Random(1)
    bases = "".join(rng.choice("ACGT") for _ in range(1 << 20))
    (tmp_path / "r.fa").write_text(">r\n" + "\n".join(bases[i:i + 70] for i in range(0, len(bases), 70)) + "\n")
    md5 = hashlib.md5(bases.encode()).hexdigest()
    try:
        add(folder / "store", tmp_path / "r.fa")
        with Store(folder / "store") as store:
            fd = os.open(store.sequence_path(md5), os.O_RDONLY)
            try:
                if where == "disk":
                    os.fsync(fd)
                    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                    with pytest.raises(BlockingIOError):  # as the service will find it
                        os.preadv(fd, [bytearray(1024)], 500_000, os.RWF_NOWAIT)
            finally:
                os.close(fd)
            requests = [("?start=500000&end=501024", {}, bases[500_000:501_024]),
                        ("", {"Range": "bytes=10-300009"}, bases[10:300_010]), ("", {}, bases)]
            service = TestClient(app(store))
            answers = [service.get(f"/sequence/{md5}{query}", headers=headers) for query, headers, _ in requests]
    finally:
        if folder != tmp_path:
            shutil.rmtree(folder)
    assert [(a.status_code, a.text == expected) for a, (_, _, expected) in zip(answers, requests)] == [
        (200, True), (206, True), (200, True)]
