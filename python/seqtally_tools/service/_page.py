"""The page for people: what the store holds, one collection's records,
and the comparison of two collections as a table. Plain HTML with its
style inline: nothing to fetch, it works offline."""
from __future__ import annotations

import html
import json
from collections.abc import Iterable
from urllib.parse import parse_qs, urlencode

from starlette.requests import Request
from starlette.responses import HTMLResponse, Response

from .._identify import Identified
from .._seqcol import comparison, verdict
from ._http import HTTPError, bounded_body, in_thread, number, state_of
from ._identify import DEFAULT_LIMIT, TEXT, identified, media_of
from ._seqcol import checked_digest, collection_body

PAGE_SIZE = 50
_STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 72em; padding: 0 1em; color: #1d2430; }
h1 { font-size: 1.5em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; width: 100%; margin: .6em 0; }
th, td { text-align: left; padding: .3em .6em; border-bottom: 1px solid #d8dde6; vertical-align: top; }
th { background: #eef1f6; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
code { font: 13px ui-monospace, monospace; } a { color: #1557b0; }
.yes { color: #17723a; font-weight: 600; } .no { color: #a3261b; font-weight: 600; } .none { color: #687385; }
form { margin: 1em 0; } select, button { font: inherit; margin-right: .5em; }
nav { margin: .8em 0; } .note { color: #687385; }
textarea { width: 100%; box-sizing: border-box; font: 13px ui-monospace, monospace; margin-bottom: .5em; }
.error { color: #a3261b; }
"""


def _page(title: str, body: Iterable[str], status: int = 200) -> Response:
    text = (f"<!doctype html><html lang=en><head><meta charset=utf-8><title>{html.escape(title)}</title>"
            f"<meta name=viewport content='width=device-width, initial-scale=1'><style>{_STYLE}</style></head>"
            f"<body><p><a href='/'>seqtally store</a></p><h1>{html.escape(title)}</h1>{''.join(body)}</body></html>")
    return HTMLResponse(text, status)


def _table(head: Iterable[str], rows: Iterable[Iterable[str]], numeric: Iterable[int] = ()) -> str:
    right = set(numeric)
    cells = "".join("<tr>" + "".join(f"<td class=n>{c}</td>" if i in right else f"<td>{c}</td>"
                                     for i, c in enumerate(row)) + "</tr>" for row in rows)
    return "<table><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in head) + f"</tr>{cells}</table>"


def _link(digest: str) -> str:
    return f"<a href='/page/collection/{html.escape(digest)}'><code>{html.escape(digest)}</code></a>"


async def home(request: Request) -> Response:
    page = number(request, "page", 0, 10**9)
    state = state_of(request)
    summaries, total = await in_thread(lambda: state.store.summaries(page, PAGE_SIZE))
    pages = max(1, -(-total // PAGE_SIZE))
    rows = [(_link(s.digest), f"{s.records:,}", html.escape(s.source), html.escape(s.added)) for s in summaries]
    options = "".join(f"<option value='{html.escape(s.digest)}'>{html.escape(s.digest)} "
                      f"({html.escape(s.source.rsplit('/', 1)[-1])})</option>" for s in summaries)
    nav = []
    if page > 0:
        nav.append(f"<a href='/?page={page - 1}'>previous</a>")
    nav.append(f"page {page + 1} of {pages}")
    if page + 1 < pages:
        nav.append(f"<a href='/?page={page + 1}'>next</a>")
    body = [f"<p>{total:,} collections. The APIs: <a href='/service-info'>seqcol</a>, "
            "<a href='/sequence/service-info'>refget</a>, <a href='/openapi.json'>OpenAPI</a>.</p>",
            "<h2>Collections</h2>", _table(("digest", "records", "source file", "added"), rows, (1,)),
            f"<nav>{' · '.join(nav)}</nav>"]
    if len(summaries) > 1:
        body += ["<h2>Compare two collections</h2><form action='/page/comparison' method=get>",
                 f"<label>A <select name=a>{options}</select></label> ",
                 f"<label>B <select name=b>{options}</select></label> <button>compare</button></form>"]
    body.append(_identify_box(""))
    return _page("Sequence collections in this store", body)


_FORM = "application/x-www-form-urlencoded"


def _identify_box(text: str) -> str:
    return ("<h2 id=identify>Which collection is this header's?</h2><form action='/page/identify' method=post>"
            "<label for=header class=note>Paste a SAM header or its @SQ lines (samtools view -H), VCF ##contig "
            "lines (bcftools view -h), or .fai, chrom.sizes or BED lines.</label>"
            f"<textarea id=header name=header rows=10 spellcheck=false>{html.escape(text)}</textarea>"
            "<button>identify</button></form>")


async def identify_page(request: Request) -> Response:
    """The box's answer: the verdict and the ranked matches, or what is
    wrong with the text (400), with the text in the box again."""
    received = bytes(await bounded_body(request))
    if media_of(request) != _FORM:
        raise HTTPError(415, f"the body must be a form ({_FORM})")
    try:
        fields = parse_qs(received.decode("ascii"), max_num_fields=8, errors="strict")
    except (UnicodeDecodeError, ValueError):
        raise HTTPError(400, "the body is not a form") from None
    text = fields.get("header", [""])[-1]
    state = state_of(request)
    try:
        found = await in_thread(identified, state.store, text.encode(), TEXT, DEFAULT_LIMIT)
    except HTTPError as error:
        if error.status != 400:
            raise
        return _page("Which collection is this?", [f"<p class=error>{html.escape(error.message)}</p>",
                                                   _identify_box(text)], 400)
    return _page("Which collection is this?", [*_identified(found), _identify_box(text)])


def _identified(found: Identified) -> list[str]:
    def names(items: Iterable[str]) -> str:
        listed = list(items)
        shown = ", ".join(html.escape(n) for n in listed[:20])
        return (shown + (f" and {len(listed) - 20:,} more" if len(listed) > 20 else "")) or "<span class=none>none</span>"

    rows = []
    for m in found.matches:
        renamed = names(f"{a} → {b}" for a, b in m.renamed)
        conflicts = names(f"{c.name}: {c.file_length if c.file_length is not None else 'no length'} against "
                          f"{c.reference_length}" if c.file_length != c.reference_length else
                          f"{c.name}: MD5 {c.file_md5} against {c.reference_md5}" for c in m.conflicts)
        rows.append((_link(m.digest), html.escape(m.relation), f"{m.shared:,}", names(m.only_in_file),
                     names(m.only_in_reference), renamed, conflicts))
    return [f"<p><strong>{html.escape(found.summary)}</strong></p>",
            f"<p class=note>{found.records:,} sequences read as {html.escape(found.kind)}.</p>",
            _table(("collection", "relation", "shared", "only in the header", "only in the collection",
                    "renamed (header → collection)", "conflicts"), rows, (2,)) if rows else ""]


async def collection_page(request: Request) -> Response:
    digest = checked_digest(request.path_params["digest"])
    state = state_of(request)
    summary, members = await in_thread(lambda: (state.store.summary(digest), state.store.members(digest)))
    if summary is None:
        raise HTTPError(404, f"no collection {digest}")
    rows = [(html.escape(m.name), f"{m.length:,}",
             f"<a href='/sequence/SQ.{m.sha512t24u}/metadata'><code>SQ.{html.escape(m.sha512t24u)}</code></a>",
             f"<code>{m.md5}</code>") for m in members]
    body = [f"<p>From <code>{html.escape(summary.source)}</code>, added {html.escape(summary.added)}: "
            f"{summary.records:,} records, {sum(m.length for m in members):,} bases. As JSON: "
            f"<a href='/collection/{digest}?level=1'>level 1</a>, <a href='/collection/{digest}'>level 2</a>.</p>",
            _table(("name", "length", "sequence (refget)", "MD5"), rows, (1,))]
    return _page(f"Collection {digest}", body)


def _shared(a: list[object], b: list[object]) -> tuple[list[object], list[object], list[object]]:
    """Name-length pairs in both, only in A, only in B."""
    def key(pair: object) -> str:
        return json.dumps(pair, sort_keys=True)
    in_a, in_b = set(map(key, a)), set(map(key, b))
    return [x for x in a if key(x) in in_b], [x for x in a if key(x) not in in_b], [x for x in b if key(x) not in in_a]


def _order(value: object) -> str:
    if value is None:
        return "<span class=none>not defined</span>"
    return "<span class=yes>yes</span>" if value else "<span class=no>no</span>"


async def comparison_page(request: Request) -> Response:
    a_digest = checked_digest(request.query_params.get("a", ""))
    b_digest = checked_digest(request.query_params.get("b", ""))
    a = json.loads(await collection_body(request, a_digest, 2))
    b = json.loads(await collection_body(request, b_digest, 2))
    result = await in_thread(comparison, a, b)
    elements = result["array_elements"]
    rows = [(html.escape(name), f"{elements['a_count'][name]:,}", f"{elements['b_count'][name]:,}",
             f"{elements['a_and_b_count'][name]:,}", _order(elements["a_and_b_same_order"][name]))
            for name in result["attributes"]["a_and_b"]]
    shared, only_a, only_b = _shared(a["name_length_pairs"], b["name_length_pairs"])

    def pairs(items: list[object]) -> str:
        shown = ", ".join(f"{html.escape(str(p['name']))} ({p['length']:,})" for p in items[:200]
                          if isinstance(p, dict))
        more = f" and {len(items) - 200:,} more" if len(items) > 200 else ""
        return (shown + more) or "<span class=none>none</span>"

    link = "/comparison/" + a_digest + "/" + b_digest
    body = [f"<p><strong>{html.escape(verdict(a, b))}</strong></p><p>A: {_link(a_digest)}<br>B: {_link(b_digest)}</p>",
            "<h2>Attributes</h2>", _table(("attribute", "in A", "in B", "shared", "same order"), rows, (1, 2, 3)),
            "<h2>Records (name and length)</h2>",
            _table(("", "records"), [("shared", pairs(shared)), ("only in A", pairs(only_a)),
                                     ("only in B", pairs(only_b))]),
            f"<p class=note>Only in A: {', '.join(result['attributes']['a_only']) or 'no attribute'}; only in B: "
            f"{', '.join(result['attributes']['b_only']) or 'no attribute'}. As JSON: "
            f"<a href='{html.escape(link)}'>{html.escape(link)}</a>. "
            f"<a href='/page/comparison?{html.escape(urlencode({'a': b_digest, 'b': a_digest}))}'>B against A</a>"
            "</p>"]
    return _page("Comparison", body)
