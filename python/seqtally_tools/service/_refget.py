"""refget Sequences v2.0.0 over the store: service-info, a sequence's
bases and its metadata. The bases come from the store's folder, a piece at
a time by pread: a whole chromosome is streamed, never held."""
from __future__ import annotations

import asyncio
import contextlib
import os
from typing import Any

from starlette.requests import Request
from starlette.responses import Response
from starlette.types import Receive, Scope, Send

from .._store import StoredSequence
from .._version import version
from ._conditional import IMMUTABLE, REVALIDATE, entity_tag, not_modified
from ._http import HTTPError, SequenceFile, State, in_thread, json_bytes, query_values, state_of, tagged_response
from .refget_rules import JSON_TYPES, SEQUENCE_TYPES, V1_JSON, answer, by_digest, media_type, trunc512_of

# Read and sent at a time: large enough that a whole chromosome goes at
# the socket's speed, small enough that 64 clients cost 16 MiB.
CHUNK = 256 << 10
ALGORITHMS = ["md5", "ga4gh", "trunc512"]


def _accepted_type(accept: str | None, offers: tuple[str, ...]) -> str:
    media = media_type(accept, offers)
    if media is None:
        raise HTTPError(406, f"this resource is served as {', '.join(offers)}")
    return media


def _accepted(request: Request, offers: tuple[str, ...]) -> str:
    return _accepted_type(request.headers.get("accept"), offers)


async def _found(identifier: str, state: State) -> StoredSequence:
    found = await state.sequence(identifier)
    if found is None:
        raise HTTPError(404, f"no sequence {identifier}")
    return found


async def service_info(request: Request) -> Response:
    media = _accepted(request, JSON_TYPES)
    state = state_of(request)
    limit = state.settings.subsequence_limit
    authorities = await in_thread(lambda: state.store.naming_authorities())
    if media == V1_JSON:
        # refget v1.0.0's own form, for clients that ask for it.
        body: dict[str, Any] = {"service": {"circular_supported": True, "algorithms": ALGORITHMS,
                                            "subsequence_limit": limit, "supported_api_versions": ["1.0.0", "2.0.0"],
                                            "identifier_types": authorities}}
    else:
        body = {"id": "org.seqtally.refget", "name": "seqtally refget", "description": "refget Sequences v2.0.0 "
                "over a seqtally store", "type": {"group": "org.ga4gh", "artifact": "refget", "version": "2.0.0"},
                "organization": {"name": "seqtally", "url": "https://pypi.org/project/seqtally/"},
                "version": version(),
                "refget": {"circular_supported": True, "subsequence_limit": limit, "algorithms": ALGORITHMS,
                           "identifier_types": authorities}}
    return Response(json_bytes(body), media_type=media)


async def sequence_metadata(request: Request) -> Response:
    media = _accepted(request, JSON_TYPES)
    state = state_of(request)
    found = await _found(request.path_params["id"], state)
    aliases = [{"alias": alias, "naming_authority": authority}
               for alias, authority in await in_thread(lambda: state.store.aliases(found.md5))]
    body = json_bytes({"metadata": {"id": "SQ." + found.sha512t24u, "md5": found.md5,
                                    "ga4gh": "SQ." + found.sha512t24u, "trunc512": trunc512_of(found.sha512t24u),
                                    "length": found.length, "aliases": aliases}})
    # Named by a digest, yet not immutable: its aliases grow as the store
    # does. Its tag follows its bytes, so asking again costs a 304.
    return tagged_response(request.headers.get("if-none-match"), body, media, entity_tag(body, media.encode()),
                           REVALIDATE, vary_accept=True)


async def sequence(state: State, scope: Scope) -> Response | BasesResponse:
    # The busiest route, run without a Request (see _Direct): its three
    # headers read in one pass, the query from its bytes.
    accept = range_header = if_none_match = None
    for name, value in scope["headers"]:
        if name == b"accept":
            accept = value.decode("latin-1")
        elif name == b"range":
            range_header = value.decode("latin-1")
        elif name == b"if-none-match":
            if_none_match = value.decode("latin-1")
    media = _accepted_type(accept, SEQUENCE_TYPES)
    identifier = scope["path_params"]["id"]
    # What the last requests found and opened is taken without an await:
    # each costs this route a coroutine.
    found = state.kept_sequence(identifier) or await _found(identifier, state)
    start, end = query_values(scope["query_string"], "start", "end")
    planned = answer(found.length, found.circular, start, end, range_header, state.settings.subsequence_limit)
    if planned.status >= 400:
        raise HTTPError(planned.status, planned.reason)
    # A Range is served from the whole sequence's representation, so its
    # 206 bears that tag; start and end name a representation of their own
    # (and take no Range).
    tag = _sequence_tag(found.md5, media, start, end, found.length)
    # The bases of a digest never change; what an alias names may.
    caching = IMMUTABLE if by_digest(identifier) else REVALIDATE
    cache_headers = [(b"etag", tag), (b"cache-control", caching), (b"vary", b"Accept")]
    if not_modified(if_none_match, tag):
        return Response(status_code=304, headers={name.decode(): value.decode() for name, value in cache_headers})
    headers = [(b"content-type", _CONTENT_TYPES[media]), (b"content-length", b"%d" % planned.size),
               (b"accept-ranges", b"none" if start is not None or end is not None else b"bytes"), *cache_headers]
    if planned.content_range is not None:
        headers.append((b"content-range", planned.content_range.encode()))
    try:
        file = state.kept_file(found.md5) or await state.sequence_file(found.md5)
    except OSError as error:
        raise HTTPError(503, f"the store's file of this sequence cannot be read: {error.strerror}") from None
    return BasesResponse(file, planned.status, headers, planned.pieces)


_CONTENT_TYPES = {media: f"{media}; charset=us-ascii".encode() for media in SEQUENCE_TYPES}
_MEDIA_TAGS = {media: "" if number == 0 else f".{number}" for number, media in enumerate(SEQUENCE_TYPES)}


def _sequence_tag(md5: str, media: str, start: str | None, end: str | None, length: int) -> bytes:
    """The entity tag of bases: the MD5 names them, so no hash of bytes
    that may be gigabytes. The part asked for by start/end and the media
    type follow it, for their representations differ."""
    part = "" if start is None and end is None else f".{int(start or 0)}-{int(end) if end else length}"
    return f'"{md5}{part}{_MEDIA_TAGS[media]}"'.encode()


async def _disconnect(receive: Receive) -> None:
    # The request's own (empty) body comes first.
    while (await receive())["type"] != "http.disconnect":
        pass


class BasesResponse:
    """Pieces of a sequence's file, sent as they are read. A client that
    goes away ends the sending at the next piece."""

    def __init__(self, file: SequenceFile, status: int, headers: list[tuple[bytes, bytes]],
                 pieces: tuple[tuple[int, int], ...]) -> None:
        self.file = file  # the state's: used before the first await only
        self.status = status
        self.headers = headers
        self.pieces = pieces

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        start = {"type": "http.response.start", "status": self.status, "headers": self.headers}
        head = scope["method"] == "HEAD"
        if head or len(self.pieces) == 0 or len(self.pieces) == 1 and self.pieces[0][1] - self.pieces[0][0] <= CHUNK:
            data = b""
            if not head and self.pieces:
                at, stop = self.pieces[0]
                found = _read_at_once(self.file, at, stop)
                data = found if found is not None else await _read_waiting(self.file, at, stop)
            await send(start)
            await send({"type": "http.response.body", "body": data})
            return
        chunks = [(at, min(at + CHUNK, end)) for begin, end in self.pieces for at in range(begin, end, CHUNK)]
        own = self.file._replace(fd=os.dup(self.file.fd))  # this response's, for as long as it sends
        gone = asyncio.ensure_future(_disconnect(receive))
        try:
            await send(start)
            for number, (at, stop) in enumerate(chunks):
                last = number == len(chunks) - 1
                body = _read_at_once(own, at, stop)
                if body is None:
                    body = await _read_waiting(own, at, stop)
                await send({"type": "http.response.body", "body": body, "more_body": not last})
                if gone.done():
                    return
        finally:
            os.close(own.fd)
            gone.cancel()


def _read_at_once(file: SequenceFile, at: int, stop: int) -> bytes | None:
    """The bytes at..stop of the file if reading them cannot wait for a
    device: the file system is in memory, or the page cache holds them all
    (RWF_NOWAIT: the kernel answers from memory or refuses); else None, and
    _read_waiting reads them in a worker thread. A hop to a thread and back
    costs a request for 1 kb more than all its other work (80 us against
    0.5 us for the read); a reference being served stays in the page cache."""
    if file.in_memory:
        return _pread(file.fd, at, stop)
    if _NOWAIT is not None:
        buffer = bytearray(stop - at)
        with contextlib.suppress(OSError):  # EAGAIN: not all of it cached; EOPNOTSUPP: not on this file system
            if os.preadv(file.fd, [buffer], at, _NOWAIT) == stop - at:
                return bytes(buffer)
    return None


async def _read_waiting(file: SequenceFile, at: int, stop: int) -> bytes:
    fd = os.dup(file.fd)  # the caller's may be closed while the thread reads
    try:
        return await in_thread(_pread, fd, at, stop)
    finally:
        os.close(fd)


_NOWAIT: int | None = getattr(os, "RWF_NOWAIT", None)  # Linux only


def _pread(fd: int, at: int, stop: int) -> bytes:
    data = os.pread(fd, stop - at, at)
    if len(data) != stop - at:
        raise OSError("the store's file is shorter than its sequence")
    return data
