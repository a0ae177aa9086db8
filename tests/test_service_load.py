"""The service under load and bad input, on loopback: 64 clients of mixed
requests with every body checked, requests generated from /openapi.json
(no 5xx), and SIGTERM with requests in flight. Every loop is bounded in
count and time."""
import asyncio
import hashlib
import json
import random
import threading
import time

import httpx
import pytest
import schemathesis
from hypothesis import HealthCheck, given, settings
from schemathesis.checks import not_a_server_error

from conftest import cli
from servers import REFGET_BASES, SEQCOL_FILES, Server, add

pytestmark = pytest.mark.parametrize("compliance_server", ["sqlite"], indirect=True)


def test_generated_requests_find_no_server_error(compliance_server):
    """schemathesis over the served /openapi.json, 40 requests an operation."""
    url = compliance_server.url
    schema = schemathesis.openapi.from_url(url + "/openapi.json")
    operations = [result.ok() for result in schema.get_all_operations()]
    assert len(operations) >= 13  # every route (schemathesis leaves out the document itself)

    for operation in operations:
        @given(case=operation.as_strategy())
        @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck), database=None)
        def check(case):
            case.call_and_validate(base_url=url, checks=[not_a_server_error], timeout=30)

        check()


def _expected_bodies():
    """(path, headers, body) for mixed requests, the bodies from the command
    and the FASTA files, not from the service."""
    requests = []
    digests = {}
    for path in SEQCOL_FILES:
        digest = cli("seqcol", path).stdout.split()[-1].decode()
        digests[path.name] = digest
        # Byte for byte: the compliance checks compare these as JSON values.
        for level, query in (("1", "?level=1"), ("2", "")):
            requests.append((f"/collection/{digest}{query}", {}, cli("seqcol", "--level", level, path).stdout.rstrip()))
    base = SEQCOL_FILES[0]
    for other in SEQCOL_FILES[1:]:
        expected = json.loads(cli("compare", "--format", "json", base, other).stdout)
        requests.append((f"/comparison/{digests[base.name]}/{digests[other.name]}", {}, expected))
    rng = random.Random(25)
    for bases in REFGET_BASES.values():
        identifier = hashlib.md5(bases.encode()).hexdigest()
        for _ in range(8):
            start = rng.randrange(len(bases))
            end = min(len(bases), start + rng.randint(0, 1000))
            requests.append((f"/sequence/{identifier}?start={start}&end={end}", {}, bases[start:end].encode()))
            requests.append((f"/sequence/{identifier}", {"Range": f"bytes={start}-{end}"},
                             bases[start:end + 1].encode()))
        requests.append((f"/sequence/{identifier}", {}, bases.encode()))
    return requests


def test_64_clients_of_mixed_requests_get_every_body_right(compliance_server):
    requests = _expected_bodies()
    rng = random.Random(64)
    plan = [[rng.choice(requests) for _ in range(25)] for _ in range(64)]  # 1,600 requests

    async def client(http, mine):
        wrong = []
        for path, headers, expected in mine:
            response = await http.get(path, headers=headers)
            got = response.json() if isinstance(expected, dict) else response.content
            if response.status_code not in (200, 206) or got != expected:
                wrong.append((path, response.status_code))
        return wrong

    async def run():
        limits = httpx.Limits(max_connections=64)
        async with httpx.AsyncClient(base_url=compliance_server.url, limits=limits, timeout=60) as http:
            return await asyncio.wait_for(asyncio.gather(*(client(http, mine) for mine in plan)), 240)

    started = time.monotonic()
    outcomes = asyncio.run(run())
    assert [wrong for wrong in outcomes if wrong] == []
    print(f"1,600 requests from 64 clients in {time.monotonic() - started:.1f} s")


def test_sigterm_answers_the_requests_in_flight(tmp_path, compliance_server):
    rng = random.Random(15)
    bases = "".join(rng.choice("ACGT") for _ in range(1 << 22)) * 4  # 16 MiB
    (tmp_path / "long.fa").write_text(">long\n" + "\n".join(bases[i:i + 80] for i in range(0, len(bases), 80)) + "\n")
    add(tmp_path / "store", tmp_path / "long.fa")
    md5 = hashlib.md5(bases.encode()).hexdigest()
    server = Server(tmp_path / "store")
    bodies, started = {}, threading.Barrier(9)

    def download(number):
        with httpx.stream("GET", f"{server.url}/sequence/{md5}", timeout=60) as response:
            chunks = response.iter_bytes(1 << 16)
            received = [next(chunks)]
            started.wait(30)
            time.sleep(0.5)  # the server is stopping meanwhile
            received.extend(chunks)
            bodies[number] = (response.status_code, b"".join(received))

    threads = [threading.Thread(target=download, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    started.wait(30)
    status = server.stop()
    for thread in threads:
        thread.join(60)
    assert status == 0
    assert {n: (code, len(body), body == bases.encode()) for n, (code, body) in bodies.items()} == {
        n: (200, len(bases), True) for n in range(8)}
    with pytest.raises(httpx.ConnectError):
        httpx.get(server.url + "/service-info")
