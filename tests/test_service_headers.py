"""What refget asks of a public server, over `seqtally serve` on loopback:
CORS for a page of any origin (its preflights included), entity tags and
Cache-Control on answers named by digests with the 304 of If-None-Match
(RFC 9110's weak and list forms), Accept-Ranges: none for start/end, 300
listing what an ambiguous alias names, and 413 past the body limit; and
Chromium, as a page of another origin, reading it all."""
import asyncio
import hashlib
import json
import subprocess

import httpx
import pytest

from conftest import COMMAND
from servers import REFGET_BASES, REFGET_FILES, SEQCOL_FILES, Server, add

ORIGIN = "https://genome-browser.example"
MD5 = {name: hashlib.md5(bases.encode()).hexdigest() for name, bases in REFGET_BASES.items()}
I = MD5["I"]
BASE, SUBSET = "XZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk", "sv7GIP1K0qcskIKF3iaBmQpaum21vH74"
IMMUTABLE, REVALIDATE = "public, max-age=31536000, immutable", "public, no-cache"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """The refget sequences and two seqcol collections; I has an INSDC
    accession, and the UCSC name chrDup was given to both I and VI."""
    store = tmp_path_factory.mktemp("headers")
    add(store, *REFGET_FILES, SEQCOL_FILES[0], next(f for f in SEQCOL_FILES if f.name == "subset.fa"))
    _alias(store, f"I\tinsdc\tBK006935.2\n{I}\tucsc\tchrDup\n{MD5['VI']}\tucsc\tchrDup\n")
    server = Server(store)
    server.store = store
    yield server
    server.stop()


def _alias(store, table):
    (store / "aliases.tsv").write_text(table)
    assert subprocess.run([COMMAND, "store", "alias", store, store / "aliases.tsv"], timeout=60).returncode == 0


# (method, path, request headers) -> status, response headers expected (None: absent)
HEADERS = [
    ("GET", f"/sequence/{I}?start=10&end=20", {},
     200, {"accept-ranges": "none", "cache-control": IMMUTABLE, "etag": f'"{I}.10-20"', "vary": "Accept"}),
    ("GET", f"/sequence/SQ.lZyxiD_ByprhOUzrR1o1bq0ezO_1gkrn?end=4", {},
     200, {"accept-ranges": "none", "cache-control": IMMUTABLE, "etag": f'"{I}.0-4"'}),
    ("HEAD", f"/sequence/{I}", {}, 200, {"accept-ranges": "bytes", "cache-control": IMMUTABLE, "etag": f'"{I}"'}),
    # a Range is served from the whole sequence: its tag
    ("GET", f"/sequence/{I}", {"Range": "bytes=0-9"},
     206, {"accept-ranges": "bytes", "etag": f'"{I}"', "content-range": "bytes 0-9/230218"}),
    ("GET", f"/sequence/{I}?end=4", {"Accept": "text/plain"}, 200, {"etag": f'"{I}.0-4.2"'}),
    # what an alias names may change
    ("GET", "/sequence/insdc:BK006935.2?end=4", {}, 200, {"cache-control": REVALIDATE, "etag": f'"{I}.0-4"'}),
    ("GET", f"/sequence/{I}/metadata", {}, 200, {"cache-control": REVALIDATE, "vary": "Accept"}),
    ("GET", f"/collection/{BASE}", {}, 200, {"cache-control": IMMUTABLE, "vary": None}),
    ("GET", f"/collection/{BASE}?level=1", {}, 200, {"cache-control": IMMUTABLE}),
    ("GET", f"/comparison/{BASE}/{SUBSET}", {}, 200, {"cache-control": IMMUTABLE}),
    ("GET", f"/attribute/collection/lengths/cGRMZIb3AVgkcAfNv39RN7hnT5Chk7RX", {}, 200, {"cache-control": IMMUTABLE}),
    # answers that change as the store grows, and failures: no tag
    ("GET", "/list/collection", {}, 200, {"cache-control": None, "etag": None}),
    ("GET", "/sequence/service-info", {}, 200, {"etag": None}),
    ("GET", f"/sequence/{'f' * 32}", {}, 404, {"etag": None, "cache-control": None}),
    ("GET", f"/sequence/{I}?start=300000", {}, 416, {"etag": None}),
    ("POST", f"/comparison/{BASE}", {"Content-Type": "application/json"}, 400, {"etag": None}),
    ("DELETE", f"/collection/{BASE}", {}, 405, {}),
]


@pytest.mark.parametrize("method, path, headers, status, expected", HEADERS)
def test_headers_of_each_answer(served, method, path, headers, status, expected):
    response = httpx.request(method, served.url + path, headers={"Origin": ORIGIN, **headers}, content=b"{")
    assert response.status_code == status, response.text
    # every answer, failures too, may be read by a page of any origin
    assert response.headers["access-control-allow-origin"] == "*"
    assert {"ETag", "Content-Range", "Accept-Ranges"} <= set(
        response.headers["access-control-expose-headers"].replace(" ", "").split(","))
    assert {name: response.headers.get(name) for name in expected} == expected


@pytest.mark.parametrize("path, method, request_headers", [
    (f"/sequence/{I}", "GET", "range,if-none-match"),  # the bases, by a genome browser
    ("/sequence/insdc:BK006935.2/metadata", "GET", "accept,if-none-match"),
    (f"/comparison/{BASE}", "POST", "content-type"),  # a JSON body is not a simple request
    (f"/collection/{BASE}", "GET", "x-requested-with"),
])
def test_a_browser_preflight_is_allowed(served, path, method, request_headers):
    """OPTIONS as a browser sends it before a request it may not make
    unasked: allowed, for a day, with the headers it asked for (any: the
    service ignores those it does not read)."""
    response = httpx.options(served.url + path, headers={
        "Origin": ORIGIN, "Access-Control-Request-Method": method, "Access-Control-Request-Headers": request_headers})
    assert method in response.headers["access-control-allow-methods"].split(", ")
    assert (response.status_code, *map(response.headers.get, ("access-control-allow-origin",
            "access-control-allow-headers", "access-control-max-age"))) == (204, "*", request_headers, "86400")


def _tag(response):
    return response.headers["etag"]


# If-None-Match, from the answer's tag -> 304 or 200
IF_NONE_MATCH = [
    ("{tag}", 304),
    ("W/{tag}", 304),  # the weak comparison
    ('"other", {tag}', 304),
    (",, W/{tag} ,", 304),  # empty list elements and white space
    ("*", 304),
    ('"other"', 200),
    ("{bare}", 200),  # not an entity tag: the field is ignored
    ("{tag} junk", 200),
    ("", 200),
]


@pytest.mark.parametrize("path", [f"/sequence/{I}?start=5&end=25", f"/sequence/{I}/metadata", f"/collection/{BASE}"])
@pytest.mark.parametrize("condition, status", IF_NONE_MATCH)
def test_if_none_match_round_trip(served, path, condition, status):
    first = httpx.get(served.url + path)
    again = httpx.get(served.url + path, headers={"If-None-Match": condition.format(tag=_tag(first), bare=_tag(first).strip('"'))})
    assert again.status_code == status
    if status == 304:
        assert again.content == b""
        assert {name: again.headers[name] for name in ("etag", "cache-control")} == {
            name: first.headers[name] for name in ("etag", "cache-control")}
    else:
        assert again.content == first.content


def test_tags_tell_representations_apart(served):
    """A tag names one representation: another media type, another part of
    the sequence, or the sequence since it gained an alias does not match."""
    url = served.url
    v2 = httpx.get(f"{url}/sequence/{I}?end=10")
    assert httpx.get(f"{url}/sequence/{I}?end=10", headers={
        "Accept": "text/plain", "If-None-Match": _tag(v2)}).status_code == 200
    assert httpx.get(f"{url}/sequence/{I}?end=11", headers={"If-None-Match": _tag(v2)}).status_code == 200
    # a Range request revalidates against the whole sequence's tag
    whole = httpx.head(f"{url}/sequence/{I}")
    assert httpx.get(f"{url}/sequence/{I}", headers={"Range": "bytes=0-9", "If-None-Match": _tag(whole)}
                     ).status_code == 304
    before = httpx.get(f"{url}/sequence/{I}/metadata")
    _alias(served.store, f"{I}\tensembl\tI\n")
    after = httpx.get(f"{url}/sequence/{I}/metadata", headers={"If-None-Match": _tag(before)})
    assert after.status_code == 200 and {"alias": "I", "naming_authority": "ensembl"} in after.json()["metadata"][
        "aliases"]


@pytest.mark.parametrize("route", ["", "/metadata"])
def test_an_alias_of_several_sequences_answers_300_with_the_candidates(served, route):
    response = httpx.get(f"{served.url}/sequence/ucsc:chrDup{route}", headers={"Origin": ORIGIN})
    assert (response.status_code, *map(response.headers.get, ("content-type", "access-control-allow-origin",
            "cache-control"))) == (300, "application/json", "*", "no-cache")
    candidates = response.json()["candidates"]
    assert sorted((c["md5"], c["length"]) for c in candidates) == sorted(
        (MD5[name], len(REFGET_BASES[name])) for name in ("I", "VI"))
    # each candidate by its digest is the sequence
    for candidate in candidates:
        assert httpx.get(f"{served.url}/sequence/{candidate['ga4gh']}?end=8").text == REFGET_BASES[
            "I" if candidate["md5"] == I else "VI"][:8]


@pytest.mark.parametrize("declared", [True, False])
def test_a_body_past_the_limit_is_413(served, declared):
    """Refused by its Content-Length, or (chunked, none given) as soon as
    it grows past the limit: never read whole."""
    from seqtally_tools import Store
    from seqtally_tools.service import app

    sent = []

    async def chunks():
        for _ in range(1000):
            sent.append(1)
            yield b" " * 1000

    async def posted(service):
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=service), base_url="http://service") as http:
            body = b" " * 1_000_000 if declared else chunks()
            return await http.post(f"/comparison/{BASE}", content=body, headers={"Origin": ORIGIN})

    with Store(served.store) as store:
        response = asyncio.run(posted(app(store, body_limit=10_000)))
    assert (response.status_code, response.json()["message"], response.headers["access-control-allow-origin"]) == (
        413, "the body is over this server's limit of 10000 bytes", "*")
    assert declared or len(sent) <= 11


PAGE = """<!doctype html><html><body><script>
(async () => {
  const base = "SERVICE", seen = [];
  const note = (what, r, extra) => seen.push([what, r.status, extra]);
  // If-None-Match is no header a page sends unasked: a preflight first
  let r = await fetch(`${base}/sequence/MD5?start=0&end=10`, {headers: {"If-None-Match": '"old"'}});
  const tag = r.headers.get("ETag");
  note("bases", r, [await r.text(), tag, r.headers.get("Accept-Ranges")]);
  r = await fetch(`${base}/sequence/MD5?start=0&end=10`, {headers: {"If-None-Match": tag}});
  note("again", r, (await r.text()).length);
  r = await fetch(`${base}/sequence/MD5`, {headers: {"Range": "bytes=5-9"}});
  note("range", r, [await r.text(), r.headers.get("Content-Range")]);
  r = await fetch(`${base}/comparison/BASE`, {method: "POST", headers: {"Content-Type": "application/json"},
                                               body: "{not json"});
  note("posted", r, (await r.json()).status_code);
  r = await fetch(`${base}/sequence/ucsc:chrDup/metadata`);
  note("alias", r, (await r.json()).candidates.length);
  document.body.textContent = JSON.stringify(seen);
})().catch(error => { document.body.textContent = "failed: " + error; });
</script></body></html>"""


def test_chromium_reads_the_service_from_a_page_of_another_origin(served, tmp_path):
    """A page served from another port (another origin) fetches bases with
    a conditional header (a preflight), revalidates them (304), asks for a
    Range, posts JSON and meets a 300: Chromium enforces CORS on each."""
    import functools
    import http.server
    import shutil
    import threading

    from servers import foreign_environment

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("Debian's chromium is not installed (scripts/test installs it)")
    (tmp_path / "page.html").write_text(PAGE.replace("SERVICE", served.url).replace("MD5", I).replace("BASE", BASE))
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as pages:
        threading.Thread(target=pages.serve_forever, daemon=True).start()
        try:
            done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                   f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=20000",
                                   "--dump-dom", f"http://127.0.0.1:{pages.server_address[1]}/page.html"],
                                  capture_output=True, timeout=120, env=foreign_environment())
        finally:
            pages.shutdown()
    assert done.returncode == 0, done.stderr[-2000:]
    body = done.stdout.decode()
    text = body[body.index("<body>") + 6:body.index("</body>")]
    assert not text.startswith("failed"), text  # what the browser refused
    seen = json.loads(text)
    assert seen == [["bases", 200, [REFGET_BASES["I"][:10], f'"{I}.0-10"', "none"]], ["again", 304, 0],
                    ["range", 206, [REFGET_BASES["I"][5:10], "bytes 5-9/230218"]], ["posted", 400, 400],
                    ["alias", 300, 2]]
