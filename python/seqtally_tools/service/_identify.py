"""Which stored collections a list of sequences belongs to: posted as
JSON (names, lengths, digests where known) or as a header pasted as text,
ranked as `seqtally identify --json` ranks a file's. Never cached: the
store's collections grow while the server runs."""
from __future__ import annotations

import json
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from .._errors import SeqtallyError
from .._headers import Declared, contigs_of, declared_text
from .._identify import Identified, identify
from .._store import Store
from ._http import JSON, HTTPError, bounded_body, in_thread, json_bytes, number, state_of

TEXT = "text/plain"
DEFAULT_LIMIT, MOST = 5, 50
_CONTIG = {"type": "object", "required": ["name"], "additionalProperties": False, "properties": {
    "name": {"type": "string"}, "length": {"type": "integer", "minimum": 0, "nullable": True},
    "md5": {"type": "string", "pattern": "^[0-9A-Fa-f]{32}$"},
    "sha512t24u": {"type": "string", "pattern": "^(SQ\\.)?[A-Za-z0-9_-]{32}$"}}}
# What the route takes: the list, bare or as "sequences" of an object.
BODY = {JSON: {"oneOf": [{"type": "array", "items": _CONTIG, "minItems": 1},
                         {"type": "object", "required": ["sequences"], "additionalProperties": False,
                          "properties": {"sequences": {"type": "array", "items": _CONTIG, "minItems": 1}}}]},
        TEXT: {"type": "string", "description": "a SAM header or its @SQ lines, VCF ##contig lines, .fai, "
                                                 "chrom.sizes or BED lines"}}
_STRINGS = {"type": "array", "items": {"type": "string"}}
ANSWER = {"type": "object", "required": ["file", "kind", "verdict", "matches"], "properties": {
    "file": {"type": "string"}, "kind": {"type": "string"}, "verdict": {"type": "string"},
    "matches": {"type": "array", "items": {"type": "object", "properties": {
        "digest": {"type": "string"}, "source": {"type": "string"},
        "relation": {"type": "string", "enum": ["identical", "reordered", "renamed", "compatible", "subset",
                                                "superset", "conflicting", "none"]},
        "shared": {"type": "integer"}, "only_in_file": _STRINGS, "only_in_reference": _STRINGS,
        "renamed": {"type": "array", "items": _STRINGS},
        "conflicts": {"type": "array", "items": {"type": "object", "properties": {
            "name": {"type": "string"}, "file_length": {"type": "integer", "nullable": True},
            "reference_length": {"type": "integer"}, "file_md5": {"type": "string", "nullable": True},
            "reference_md5": {"type": "string", "nullable": True}}}}}}}}}


def sequences_posted(received: bytes, media: str) -> Declared:
    """The sequences of a body of `media` (JSON or text); 400 where it
    holds none, 415 for another media type."""
    try:
        if media == TEXT:
            try:
                return declared_text(received.decode("utf-8"))
            except UnicodeDecodeError:
                raise HTTPError(400, "the text is not UTF-8") from None
        if media != JSON:
            raise HTTPError(415, f"the body must be {JSON} (a list of sequences) or {TEXT} (a header)")
        try:
            posted = json.loads(received)
        except (ValueError, RecursionError):
            raise HTTPError(400, "the body is not JSON") from None
        if isinstance(posted, dict) and set(posted) == {"sequences"}:
            posted = posted["sequences"]
        return Declared("list", contigs_of(posted))
    except SeqtallyError as error:
        # Only the input's faults are the request's; the store's are not
        # raised here.
        raise HTTPError(400, error.message) from None


def identified(store: Store, received: bytes, media: str, limit: int) -> Identified:
    return identify(sequences_posted(received, media), store, limit=limit, label="posted")


def media_of(request: Request) -> str:
    return request.headers.get("content-type", JSON).partition(";")[0].strip().lower()


def limit_of(request: Request) -> int:
    limit = number(request, "limit", DEFAULT_LIMIT, MOST)
    if limit < 1:
        raise HTTPError(400, "limit must be 1 or more")
    return limit


async def identify_posted(request: Request) -> Response:
    limit = limit_of(request)
    received = bytes(await bounded_body(request))
    state = state_of(request)
    found = await in_thread(identified, state.store, received, media_of(request), limit)
    answer: dict[str, Any] = found.as_dict()
    return Response(json_bytes(answer), media_type=JSON)
