"""refget Sequences v2: the status rules (seqtally_tools/service/refget_rules.py)
as the GA4GH compliance suite checks them, request by request, against
`seqtally serve` over the three compliance sequences. Bases are compared
with the FASTA files read here."""
import httpx
import pytest

from conftest import VERSION
from servers import INSDC, REFGET_BASES, Server

pytestmark = pytest.mark.parametrize("compliance_server", ["sqlite"], indirect=True)

YEAST_I = "6681ac2f62509cfc220d78751b8dc524"
V1_PLAIN, V2_PLAIN = "text/vnd.ga4gh.refget.v1.0.0+plain", "text/vnd.ga4gh.refget.v2.0.0+plain"
V1_JSON, V2_JSON = "application/vnd.ga4gh.refget.v1.0.0+json", "application/vnd.ga4gh.refget.v2.0.0+json"


I, PHI = REFGET_BASES["I"], REFGET_BASES["NC_001422.1"]

# (sequence id, query, request headers) -> (status, body; or the
# Content-Range of a 206). The PyPI suite below checks every start/end,
# Range and circular edge of its own (empty, reversed and wrapped slices
# included) with v1 media types and bodies alone; these are the v2
# default, Content-Range, the headers and what it does not ask.
CASES = [
    (YEAST_I, "?start=10&end=20", {}, 200, I[10:20]),
    (YEAST_I, "", {}, 200, I),
    (YEAST_I, "?start=1.5", {}, 400, None),
    (YEAST_I, "?start=10&end=20", {"Range": "bytes=10-19"}, 400, None),
    # Range: inclusive, clipped at the end, answered 206
    (YEAST_I, "", {"Range": "bytes=10-999999"}, 206, "bytes 10-230217/230218"),
    (YEAST_I, "", {"Range": "bytes=0-0"}, 206, "bytes 0-0/230218"),
    # media types: v2 and v1, the plain ones; 406 for anything else
    (YEAST_I, "?end=4", {"Accept": V1_PLAIN}, 200, I[:4]),
    (YEAST_I, "?end=4", {"Accept": "text/plain"}, 200, I[:4]),
    (YEAST_I, "?end=4", {"Accept": "application/json"}, 406, None),
    # identifiers
    ("f" * 32, "", {}, 404, None),
    ("SQ." + "A" * 32, "", {}, 404, None),
    (YEAST_I.upper(), "?end=4", {}, 200, I[:4]),
    ("md5:" + YEAST_I, "?end=4", {}, 200, I[:4]),
    ("SQ.lZyxiD_ByprhOUzrR1o1bq0ezO_1gkrn", "?end=4", {}, 200, I[:4]),
    ("ga4gh:SQ.lZyxiD_ByprhOUzrR1o1bq0ezO_1gkrn", "?end=4", {}, 200, I[:4]),
    ("insdc:BK006935.2", "?end=4", {}, 200, I[:4]),
    ("insdc:NC_001422.1", "?end=4", {}, 200, PHI[:4]),
    ("insdc:XX000000.1", "", {}, 404, None),
]


@pytest.mark.parametrize("identifier, query, headers, status, expected", CASES)
def test_sequence_requests(compliance_server, identifier, query, headers, status, expected):
    response = httpx.get(f"{compliance_server.url}/sequence/{identifier}{query}", headers=headers)
    assert response.status_code == status, response.text
    if status >= 400:
        assert response.headers["content-type"] == "application/json" and response.json()["message"]
        return
    body = response.text
    assert int(response.headers["content-length"]) == len(body)
    assert response.headers["content-type"] == headers.get("Accept", V2_PLAIN) + "; charset=us-ascii"
    if status == 206:
        assert response.headers["content-range"] == expected
        first, last = map(int, expected.split()[1].split("/")[0].split("-"))
        assert body == I[first:last + 1]
    else:
        assert body == expected


def test_mounted_in_a_host_application_it_answers_as_served(compliance_server):
    """Mounted under a path, requests for bases take the route (`serve`
    answers them before the router): the same statuses, types and bodies."""
    from starlette.applications import Starlette
    from starlette.routing import Mount
    from starlette.testclient import TestClient

    from seqtally_tools.service import app

    host = TestClient(Starlette(routes=[Mount("/refget", app(compliance_server.store))]))
    for path, headers in ((f"/sequence/{identifier}{query}", headers) for identifier, query, headers, *_ in CASES):
        answer = host.get("/refget" + path, headers=headers)
        served = httpx.get(compliance_server.url + path, headers=headers)
        assert (answer.status_code, answer.headers["content-type"], answer.content) == (
            served.status_code, served.headers["content-type"], served.content), path


class _Tagged:
    """A host's middleware: a header on every answer it passes."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        async def tagged(message):
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message["headers"], (b"x-host", b"seen")]}
            await send(message)

        await self.app(scope, receive, send if scope["type"] != "http" else tagged)


@pytest.mark.parametrize("setup", ["host middleware", "added middleware", "replaced handler"])
def test_a_host_application_applies_to_requests_for_bases(compliance_server, setup):
    """Requests for bases take the routes, middleware and exception handlers
    of every other request: a host's middleware sees them, and a handler it
    puts in place of the service's answers their failures."""
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.responses import PlainTextResponse
    from starlette.routing import Mount
    from starlette.testclient import TestClient

    from seqtally_tools import SeqtallyError, Store
    from seqtally_tools.service import app

    class Gone(Store):
        def sequence(self, **key):
            raise SeqtallyError("database: the server went away", "postgresql://nowhere", kind="database")

    if setup == "replaced handler":
        service = app(Gone(compliance_server.store))
        service.add_exception_handler(SeqtallyError, lambda request, error: PlainTextResponse("host's own", 502))
        host = service
    else:
        service = app(compliance_server.store)
        if setup == "added middleware":
            service.add_middleware(_Tagged)
            host = service
        else:
            host = Starlette(routes=[Mount("/", service)], middleware=[Middleware(_Tagged)])
    response = TestClient(host).get(f"/sequence/{YEAST_I}?start=10&end=20")
    if setup == "replaced handler":
        assert (response.status_code, response.text) == (502, "host's own")
    else:
        assert (response.status_code, response.headers.get("x-host"), response.text) == (200, "seen", I[10:20])


@pytest.mark.parametrize("identifier, accept, status, media", [
    (YEAST_I, None, 200, V2_JSON),
    ("insdc:BK006935.2", V1_JSON, 200, V1_JSON),
    ("959cb1883fc1ca9ae1394ceb475a356ead1ecceff5824ae7", f"{V1_JSON}, {V2_JSON}", 200, V2_JSON),
    (YEAST_I, "application/json", 200, "application/json"),
    (YEAST_I, "embl/some_json", 406, "application/json"),
    ("some1111garbage1111ID", None, 404, "application/json"),
])
def test_metadata(compliance_server, identifier, accept, status, media):
    response = httpx.get(f"{compliance_server.url}/sequence/{identifier}/metadata",
                         headers={"Accept": accept} if accept else {})
    assert (response.status_code, response.headers["content-type"]) == (status, media)
    if status == 200:
        metadata = response.json()["metadata"]
        assert {k: metadata[k] for k in ("md5", "ga4gh", "trunc512", "length")} == {
            "md5": YEAST_I, "ga4gh": "SQ.lZyxiD_ByprhOUzrR1o1bq0ezO_1gkrn",
            "trunc512": "959cb1883fc1ca9ae1394ceb475a356ead1ecceff5824ae7", "length": 230218}
        assert {"alias": INSDC["I"], "naming_authority": "insdc"} in metadata["aliases"]
        assert {"alias": "I", "naming_authority": "seqcol:p7YWCg-IVdgeGuiXqNqPjoDO6XbGI4Cj"} in metadata["aliases"]


def test_service_info_advertises_every_capability(compliance_server):
    v2 = httpx.get(compliance_server.url + "/sequence/service-info").json()
    assert v2["type"] == {"group": "org.ga4gh", "artifact": "refget", "version": "2.0.0"}
    assert v2["version"] == VERSION
    assert v2["refget"] == {"circular_supported": True, "subsequence_limit": None,
                            "algorithms": ["md5", "ga4gh", "trunc512"], "identifier_types": ["insdc"]}
    v1 = httpx.get(compliance_server.url + "/sequence/service-info", headers={"Accept": V1_JSON}).json()
    assert v1["service"]["circular_supported"] and v1["service"]["supported_api_versions"] == ["1.0.0", "2.0.0"]


def test_subsequence_limit(compliance_server, tmp_path):
    limited = Server(compliance_server.store, "--subsequence-limit", 100, database=compliance_server.database)
    try:
        url = f"{limited.url}/sequence/{YEAST_I}"
        assert httpx.get(limited.url + "/sequence/service-info").json()["refget"]["subsequence_limit"] == 100
        statuses = [httpx.get(url + query, headers=headers).status_code for query, headers in (
            ("?start=0&end=100", {}), ("?start=0&end=101", {}), ("", {"Range": "bytes=0-100"}),
            ("", {"Range": "bytes=5-104"}), ("", {}))]
        assert statuses == [200, 416, 416, 206, 200]  # the whole sequence is no subsequence
    finally:
        limited.stop()


def test_pypi_refget_compliance_suite(compliance_server):
    """The GA4GH suite on PyPI (refget-compliance, written for v1.0.0): every
    check passes but the one for servers without circular support."""
    from compliance_suite.test_runner import TestRunner

    runner = TestRunner(compliance_server.url + "/")
    runner.run_tests()
    outcomes = {result["name"]: result["result"] for result in runner.results}
    assert {name for name, outcome in outcomes.items() if outcome != 1} == {
        "test_sequence_circular_support_false_errors"}
    assert runner.total_tests_passed == len(outcomes) - 1


