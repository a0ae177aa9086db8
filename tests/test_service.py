"""seqcol v1.0 over `seqtally serve`: the GA4GH compliance checks on SQLite
and PostgreSQL, lists and bad input; two servers on one PostgreSQL database.
(Bodies byte for byte as `seqtally seqcol` gives them: test_service_load.py.)"""
import json

import httpx
import pytest

from servers import SEQCOL_FILES, Server

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

    from servers import add

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
