"""Every route of the service with its OpenAPI operation: /openapi.json is
made from this table, so it lists what is served and nothing else. Every
route answers a page of any origin (CORS: _cors.py, which also answers
the preflights before any route)."""
from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any, NamedTuple

from starlette.requests import Request
from starlette.responses import Response

from .._store import ATTRIBUTES
from .._version import version
from . import _identify, _page, _refget, _seqcol
from ._http import JSON, json_bytes
from .refget_rules import JSON_TYPES, SEQUENCE_TYPES

# A route's function: given the Request; or, for a route served directly,
# given the application's state and the scope (see _Direct).
Endpoint = Callable[..., Awaitable[Any]]


class Operation(NamedTuple):
    path: str
    method: str
    endpoint: Endpoint
    summary: str
    parameters: tuple[dict[str, Any], ...] = ()
    responses: tuple[tuple[int, str, str], ...] = ()  # status, media type, description
    body: dict[str, Any] | None = None  # media type: schema
    direct: bool = False  # served directly (the busiest route)
    answer: dict[str, Any] | None = None  # the schema of a 200's body


def _path(name: str, pattern: str | None = None, enum: tuple[str, ...] | None = None) -> dict[str, Any]:
    schema: dict[str, Any] = {"type": "string"}
    if pattern:
        schema["pattern"] = pattern
    if enum:
        schema["enum"] = list(enum)
    return {"name": name, "in": "path", "required": True, "schema": schema}


def _query(name: str, kind: str = "integer", description: str = "") -> dict[str, Any]:
    schema: dict[str, Any] = {"type": kind}
    if kind == "integer":
        schema["minimum"] = 0
    return {"name": name, "in": "query", "required": False, "schema": schema, "description": description}


_ERRORS = {400: "bad input", 404: "not found", 406: "no acceptable media type", 413: "body too large",
           415: "a body of another media type", 416: "not within the sequence"}
_DIGEST = _path("digest", "^[A-Za-z0-9_-]{1,64}$")
_PAGES = (_query("page", description="from 0"), _query("page_size", description="at most the server's limit"))
_ACCEPT = {"name": "Accept", "in": "header", "required": False, "schema": {"type": "string"}}
_IF_NONE_MATCH = {"name": "If-None-Match", "in": "header", "required": False, "schema": {"type": "string"},
                  "description": "entity tags (RFC 9110) of answers kept: 304 when one is this answer's"}
_NOT_MODIFIED = (304, JSON, "not modified: the If-None-Match named this answer's tag (no body)")
_CHOICES = (300, JSON, "an alias that names several sequences: the candidates")
# The body of a 300: an error's, with the sequences to choose from.
_SCHEMAS = {300: {"type": "object", "required": ["status_code", "message", "candidates"], "properties": {
    "status_code": {"type": "integer"}, "message": {"type": "string"},
    "candidates": {"type": "array", "items": {"type": "object", "properties": {
        "id": {"type": "string"}, "md5": {"type": "string"}, "ga4gh": {"type": "string"},
        "length": {"type": "integer"}}}}}}}


def _errors(*statuses: int) -> tuple[tuple[int, str, str], ...]:
    return tuple((status, JSON, _ERRORS[status]) for status in statuses)


OPERATIONS = (
    Operation("/sequence/service-info", "get", _refget.service_info, "refget service-info", (_ACCEPT,),
              ((200, JSON_TYPES[0], "the service and its refget capabilities"), *_errors(406))),
    Operation("/sequence/{id}", "get", _refget.sequence, "a sequence's bases, whole or in part",
              (_path("id"), _query("start", description="0-based, inclusive"),
               _query("end", description="0-based, exclusive; below start wraps a circular sequence"),
               {"name": "Range", "in": "header", "required": False, "schema": {"type": "string"},
                "description": "bytes=FIRST-LAST, inclusive"}, _ACCEPT, _IF_NONE_MATCH),
              ((200, SEQUENCE_TYPES[0], "the bases"), (206, SEQUENCE_TYPES[0], "the bases of the Range"), _CHOICES,
               _NOT_MODIFIED, *_errors(400, 404, 406, 416)), direct=True),
    Operation("/sequence/{id}/metadata", "get", _refget.sequence_metadata, "a sequence's digests, length, aliases",
              (_path("id"), _ACCEPT, _IF_NONE_MATCH),
              ((200, JSON_TYPES[0], "the metadata"), _CHOICES, _NOT_MODIFIED, *_errors(404, 406))),
    Operation("/service-info", "get", _seqcol.service_info, "seqcol service-info, with the schema",
              responses=((200, JSON, "the service and its seqcol schema"),)),
    Operation("/collection/{digest}", "get", _seqcol.collection, "a sequence collection",
              (_DIGEST, {**_query("level", description="1 or 2 (default)"), "schema": {"type": "integer",
                                                                                        "enum": [1, 2]}},
               _IF_NONE_MATCH), ((200, JSON, "the collection"), _NOT_MODIFIED, *_errors(400, 404))),
    Operation("/comparison/{digest1}/{digest2}", "get", _seqcol.comparison_of_two, "compare two collections",
              ({**_DIGEST, "name": "digest1"}, {**_DIGEST, "name": "digest2"}, _IF_NONE_MATCH),
              ((200, JSON, "the comparison"), _NOT_MODIFIED, *_errors(404))),
    Operation("/comparison/{digest1}", "post", _seqcol.comparison_with_posted,
              "compare a collection with a level-2 collection given", ({**_DIGEST, "name": "digest1"},),
              ((200, JSON, "the comparison"), *_errors(400, 404, 413)),
              {JSON: {"type": "object", "additionalProperties": {"type": "array"}}}),
    Operation("/list/collection", "get", _seqcol.list_collections, "collections, filtered by attribute digests",
              (*_PAGES, *(_query(name, "string", "a level-1 digest") for name in ATTRIBUTES)),
              ((200, JSON, "one page of digests"), *_errors(400))),
    Operation("/list/attributes/{attribute}", "get", _seqcol.list_attributes, "the digests of one attribute",
              (_path("attribute", enum=ATTRIBUTES), *_PAGES), ((200, JSON, "one page of digests"), *_errors(400, 404))),
    Operation("/attribute/collection/{attribute}/{digest}", "get", _seqcol.attribute, "an attribute's array",
              (_path("attribute"), _DIGEST, _IF_NONE_MATCH), ((200, JSON, "the array"), _NOT_MODIFIED, *_errors(404))),
    # A route that takes a body reads it with bounded_body (413 past the
    # server's limit).
    Operation("/identify", "post", _identify.identify_posted,
              "which stored collections a list of sequences (JSON) or a pasted header (text) belongs to, best "
              "first: identical, reordered, renamed, compatible, subset, superset, conflicting or none",
              ({**_query("limit", description=f"matches, 1 to {_identify.MOST} (default {_identify.DEFAULT_LIMIT})"),
                "schema": {"type": "integer", "minimum": 1, "maximum": _identify.MOST}},),
              ((200, JSON, "the matches, best first, and the verdict"), *_errors(400, 413, 415)), _identify.BODY,
              answer=_identify.ANSWER),
    Operation("/", "get", _page.home, "the page: what the store holds", (_query("page"),),
              ((200, "text/html", "the page"), *_errors(400))),
    Operation("/page/collection/{digest}", "get", _page.collection_page, "the page of one collection", (_DIGEST,),
              ((200, "text/html", "the page"), *_errors(404))),
    Operation("/page/comparison", "get", _page.comparison_page, "the page comparing two collections",
              (_query("a", "string"), _query("b", "string")), ((200, "text/html", "the page"), *_errors(404))),
    Operation("/page/identify", "post", _page.identify_page, "the page of the header pasted into the page's box",
              responses=((200, "text/html", "the page"), (400, "text/html", "the page, saying what is wrong"),
                         *_errors(413, 415)),
              body={"application/x-www-form-urlencoded": {"type": "object", "properties": {
                  "header": {"type": "string"}}}}),
)


def openapi_document() -> dict[str, Any]:
    paths: dict[str, dict[str, Any]] = {}
    for operation in (*OPERATIONS, _OPENAPI):
        responses: dict[str, Any] = {}
        for status, media, description in operation.responses:
            responses[str(status)] = {"description": description}
            if status != 304:  # which has no body
                schema = operation.answer if status == 200 else _SCHEMAS.get(status)
                responses[str(status)]["content"] = {media: {"schema": schema} if schema else {}}
        entry: dict[str, Any] = {"summary": operation.summary, "parameters": list(operation.parameters),
                                 "responses": responses}
        if operation.body is not None:
            entry["requestBody"] = {"required": True, "content": {media: {"schema": schema}
                                                                  for media, schema in operation.body.items()}}
        paths.setdefault(operation.path, {})[operation.method] = entry
    return {"openapi": "3.0.3", "info": {"title": "seqtally reference service", "version": version(),
                                         "description": "refget Sequences v2.0.0 and seqcol v1.0.0 over a store"},
            "paths": paths}


async def openapi(request: Request) -> Response:
    return Response(json_bytes(openapi_document()), media_type=JSON)


_OPENAPI = Operation("/openapi.json", "get", openapi, "this document", responses=((200, JSON, "OpenAPI 3"),))
ALL = (*OPERATIONS, _OPENAPI)
