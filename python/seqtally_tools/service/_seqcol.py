"""seqcol v1.0.0 over the store: service-info with the schema, collections
at levels 1 and 2, comparisons, lists and attributes. Bodies are the
canonical JSON that `seqtally seqcol` and `seqtally compare` compute;
those named by digests are cached as bytes."""
from __future__ import annotations

import json
import re
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from .._canonical import canonical_json
from .._errors import SeqtallyError
from .._seqcol import comparison, load_collection
from .._store import ARRAYS, ATTRIBUTES, TRANSIENT
from .._version import version
from ._conditional import IMMUTABLE
from ._http import JSON, HTTPError, bounded_body, in_thread, json_bytes, number, state_of, tagged_response

_DIGEST = re.compile(r"[A-Za-z0-9_-]{1,64}")
DEFAULT_PAGE_SIZE = 100


def _array(items: dict[str, Any], collated: bool, description: str) -> dict[str, Any]:
    return {"type": "array", "collated": collated, "description": description, "items": items}


# The seqcol v1.0 schema of what this server computes, with the standard's
# qualifiers: which attributes make the digest (inherent), which have no
# level-2 array (transient), which are aligned with the records (collated).
SCHEMA: dict[str, Any] = {
    "$id": "https://ga4gh.github.io/refget/schemas/seqcol.json",
    "description": "A collection of biological sequences (seqcol v1.0).",
    "type": "object",
    "properties": {
        "lengths": _array({"type": "integer"}, True, "The number of bases of each sequence."),
        "names": _array({"type": "string"}, True, "The name of each sequence (its header's first word)."),
        "sequences": _array({"type": "string"}, True, "The refget identifier (SQ. and sha512t24u) of each sequence."),
        "sorted_sequences": _array({"type": "string"}, False, "The sequences' identifiers, sorted."),
        "name_length_pairs": _array({"type": "object", "properties": {
            "name": {"type": "string"}, "length": {"type": "integer"}}}, True, "Each sequence's name and length."),
        "sorted_name_length_pairs": _array({"type": "string"}, False,
                                           "The sorted digests of the name_length_pairs objects."),
    },
    "required": ["names", "lengths", "sequences"],
    "ga4gh": {"inherent": ["names", "sequences"], "transient": list(TRANSIENT), "passthru": []},
}


def checked_digest(digest: str) -> str:
    """A digest as given, when it can be one (else 404: an id is never a
    path, a query or markup)."""
    if not _DIGEST.fullmatch(digest):
        raise HTTPError(404, f"no collection {digest}")
    return digest


def _json(body: bytes) -> Response:
    return Response(body, media_type=JSON)


def _immutable(request: Request, key: tuple[str, ...], body: bytes) -> Response:
    """An answer named by collection or array digests alone (kept under
    `key`): it never changes, and caches may keep it a year."""
    tag = state_of(request).cache.tag(key, body)
    return tagged_response(request.headers.get("if-none-match"), body, JSON, tag, IMMUTABLE)


async def service_info(request: Request) -> Response:
    body = {"id": "org.seqtally.seqcol", "name": "seqtally seqcol", "description": "GA4GH sequence collections "
            "(seqcol v1.0.0) over a seqtally store", "type": {"group": "org.ga4gh", "artifact": "refget-seqcol",
                                                             "version": "1.0.0"},
            "organization": {"name": "seqtally", "url": "https://pypi.org/project/seqtally/"},
            "version": version(), "seqcol": {"schema": SCHEMA, "sorted_name_length_pairs": True}}
    return _json(json_bytes(body))


def _collection_key(digest: str, level: int) -> tuple[str, ...]:
    return ("collection", digest, str(level))


async def collection_body(request: Request, digest: str, level: int) -> bytes:
    state = state_of(request)
    body = await state.kept(_collection_key(digest, level), lambda: state.store.collection_json(digest, level))
    if body is None:
        raise HTTPError(404, f"no collection {digest}")
    return body


async def collection(request: Request) -> Response:
    level = number(request, "level", 2)
    if level not in (1, 2):
        raise HTTPError(400, "level must be 1 or 2")
    digest = checked_digest(request.path_params["digest"])
    return _immutable(request, _collection_key(digest, level), await collection_body(request, digest, level))


def _level2(body: bytes) -> dict[str, Any]:
    loaded: dict[str, Any] = json.loads(body)
    return loaded


def _compared(a: dict[str, Any], b: dict[str, Any]) -> bytes:
    try:
        return canonical_json(comparison(a, b))
    except (TypeError, ValueError, RecursionError) as error:  # no canonical form: floats, huge numbers, depth
        raise HTTPError(400, f"the collection cannot be compared: {error}") from None


async def comparison_of_two(request: Request) -> Response:
    a, b = checked_digest(request.path_params["digest1"]), checked_digest(request.path_params["digest2"])
    state = state_of(request)
    a_body, b_body = await collection_body(request, a, 2), await collection_body(request, b, 2)
    key = ("comparison", a, b)
    body = await state.kept(key, lambda: _compared(_level2(a_body), _level2(b_body)))
    assert body is not None
    return _immutable(request, key, body)


async def comparison_with_posted(request: Request) -> Response:
    a_body = await collection_body(request, checked_digest(request.path_params["digest1"]), 2)
    received = await bounded_body(request)
    # Reading and comparing a genome's collection takes a while: not on the
    # event loop.
    return _json(await in_thread(_compared_with_posted, a_body, received))


def _compared_with_posted(a_body: bytes, received: bytearray) -> bytes:
    try:
        posted = json.loads(received)
    except (ValueError, RecursionError):
        raise HTTPError(400, "the body is not JSON") from None
    if not isinstance(posted, dict):
        raise HTTPError(400, "the body must be a level-2 collection: an object of arrays")
    try:
        posted = load_collection(posted)
    except SeqtallyError as error:
        raise HTTPError(400, error.message) from None
    return _compared(_level2(a_body), posted)


def _page(request: Request) -> tuple[int, int]:
    highest = state_of(request).settings.page_size_limit
    page_size = number(request, "page_size", DEFAULT_PAGE_SIZE, highest)
    if page_size < 1:
        raise HTTPError(400, "page_size must be 1 or more")
    return number(request, "page", 0, 10**12), page_size


def _listed(results: list[str], page: int, page_size: int, total: int) -> Response:
    return _json(json_bytes({"results": results, "pagination": {"page": page, "page_size": page_size,
                                                                "total": total}}))


async def list_collections(request: Request) -> Response:
    page, page_size = _page(request)
    filters: dict[str, str] = {}
    for name, value in request.query_params.multi_items():
        if name in ("page", "page_size"):
            continue
        if name not in ATTRIBUTES:
            raise HTTPError(400, f"no attribute {name} to filter by (attributes: {', '.join(ATTRIBUTES)})")
        if name in filters and filters[name] != value:
            return _listed([], page, page_size, 0)
        filters[name] = value
    state = state_of(request)
    results, total = await in_thread(lambda: state.store.list_collections(filters, page, page_size))
    return _listed(results, page, page_size, total)


async def list_attributes(request: Request) -> Response:
    attribute = request.path_params["attribute"]
    if attribute not in ATTRIBUTES:
        raise HTTPError(404, f"no attribute {attribute}")
    page, page_size = _page(request)
    state = state_of(request)
    results, total = await in_thread(lambda: state.store.list_attribute(attribute, page, page_size))
    return _listed(results, page, page_size, total)


async def attribute(request: Request) -> Response:
    name, digest = request.path_params["attribute"], checked_digest(request.path_params["digest"])
    if name not in ARRAYS:
        reason = "a transient attribute has no array" if name in TRANSIENT else "no such attribute"
        raise HTTPError(404, f"{name}: {reason}")
    state = state_of(request)
    key = ("attribute", name, digest)
    body = await state.kept(key, lambda: state.store.attribute_json(name, digest))
    if body is None:
        raise HTTPError(404, f"no {name} array {digest}")
    return _immutable(request, key, body)
