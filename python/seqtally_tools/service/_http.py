"""What every route shares: failures as JSON, numbers from the query, a
bounded cache of bodies, the worker threads that run what may block, and
the one application state."""
from __future__ import annotations

import contextlib
import functools
import json
import os
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from typing import Any, NamedTuple, TypeVar
from urllib.parse import unquote_plus

import anyio.to_thread
from anyio import CapacityLimiter
from anyio.lowlevel import RunVar
from starlette.requests import Request
from starlette.responses import Response

from .._store import Store, StoredSequence
from ._conditional import entity_tag, not_modified
from .refget_rules import Lookup, lookup_of

JSON = "application/json"


class HTTPError(Exception):
    """Ends a request with `status` and a JSON body saying why (and, for
    a 300, the `details` that list the choices)."""

    def __init__(self, status: int, message: str, details: dict[str, Any] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.details = details or {}


def json_bytes(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()


def error_response(status: int, message: str, details: dict[str, Any] | None = None) -> Response:
    headers = {}
    if status == 300:
        # What an alias names may change: a cache asks again (300 is
        # cacheable by default).
        headers["cache-control"] = "no-cache"
    return Response(json_bytes({"status_code": status, "message": message, **(details or {})}), status,
                    headers, media_type=JSON)


def tagged_response(if_none_match: str | None, body: bytes, media: str, tag: bytes, cache_control: bytes,
                    vary_accept: bool = False) -> Response:
    """The answer with its entity tag and Cache-Control, or a 304 with the
    same headers when the GET's If-None-Match names the tag. `vary_accept`:
    the media type came from the Accept header, so a cache keys on it."""
    headers = {"etag": tag.decode(), "cache-control": cache_control.decode()}
    if vary_accept:
        headers["vary"] = "Accept"
    if not_modified(if_none_match, tag):
        return Response(status_code=304, headers=headers)
    return Response(body, headers=headers, media_type=media)


async def bounded_body(request: Request) -> bytearray:
    """The request's body, 413 past the server's limit: refused by its
    Content-Length before a byte is read, or as soon as a body without one
    (chunked) grows past it."""
    limit = state_of(request).settings.body_limit
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise HTTPError(413, f"the body is over this server's limit of {limit} bytes")
    received = bytearray()
    async for chunk in request.stream():
        received += chunk
        if len(received) > limit:
            raise HTTPError(413, f"the body is over this server's limit of {limit} bytes")
    return received


def query_values(query: bytes, *names: str) -> tuple[str | None, ...]:
    """Some values of a query string (the last of each, as Starlette reads
    a query), read without building Starlette's query dictionary: that
    costs a quarter of a small request's time."""
    if not query:
        return (None,) * len(names)
    text = query.decode("latin-1")
    pairs = {}
    for pair in text.split("&"):
        name, _, value = pair.partition("=")
        pairs[name] = value
    if "%" in text or "+" in text:
        return tuple(None if (found := pairs.get(name)) is None else unquote_plus(found) for name in names)
    return tuple(map(pairs.get, names))


def number(request: Request, name: str, default: int, highest: int | None = None) -> int:
    """A whole number 0 or more from the query, at most `highest`."""
    text = query_values(request.scope["query_string"], name)[0]
    if text is None:
        return default
    if not text.isascii() or not text.isdigit() or len(text) > 18:
        raise HTTPError(400, f"{name} must be a whole number, 0 or more")
    value = int(text)
    if highest is not None and value > highest:
        raise HTTPError(400, f"{name} must be at most {highest}")
    return value


class BodyCache:
    """Response bodies that never change (they are named by content
    digests), least recently used first out, at most `limit` bytes. Used
    from the event loop only."""

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._size = 0
        self._bodies: OrderedDict[tuple[str, ...], bytes] = OrderedDict()
        self._tags: dict[tuple[str, ...], bytes] = {}

    def tag(self, key: tuple[str, ...], body: bytes) -> bytes:
        """The entity tag of the body kept under `key` (or of `body`, which
        is not kept): hashed once, as a level-2 collection of thousands of
        records takes half a millisecond to hash."""
        tag = self._tags.get(key)
        if tag is None:
            tag = entity_tag(body)
            if self._bodies.get(key) is body:
                self._tags[key] = tag
        return tag

    def get(self, key: tuple[str, ...]) -> bytes | None:
        body = self._bodies.get(key)
        if body is not None:
            self._bodies.move_to_end(key)
        return body

    def put(self, key: tuple[str, ...], body: bytes) -> None:
        if len(body) > self._limit // 4 or key in self._bodies:
            return
        self._bodies[key] = body
        self._size += len(body)
        while self._size > self._limit:
            gone, dropped = self._bodies.popitem(last=False)
            self._tags.pop(gone, None)
            self._size -= len(dropped)


# A sequence found by an identifier is kept this long: its bases and digests
# never change, but a later add may mark it circular, and aliases may come.
_FOUND_SECONDS = 5.0
_FOUND_KEPT = 4096
# Files of sequences kept open (their bases never change: an open file
# stays right), so that a request for a few bases costs one pread.
_OPEN_FILES = 64
# The service's worker threads, its own (a host application's pool is left
# alone): every store query and every read the page cache cannot answer
# at once runs in one. On two cores more would only queue on the GIL; 16
# lets 15 requests wait on slow queries while another is answered.
THREADS = 16
_LIMITER: RunVar[CapacityLimiter] = RunVar("seqtally_service_threads")
_T = TypeVar("_T")


def _limiter() -> CapacityLimiter:
    # One per event loop, as anyio keeps its default one.
    try:
        return _LIMITER.get()
    except LookupError:
        limiter = CapacityLimiter(THREADS)
        _LIMITER.set(limiter)
        return limiter


async def in_thread(call: Callable[..., _T], *args: Any) -> _T:
    """call(*args) in one of the service's worker threads: blocking work
    (a query, a read from the disk) never holds the event loop."""
    return await anyio.to_thread.run_sync(call, *args, limiter=_limiter())


class Settings:
    """How a service is set up: where its store is, and its limits."""

    def __init__(self, store: str | Store, database: str | None = None, *, subsequence_limit: int | None = None,
                 page_size_limit: int = 1000, body_limit: int = 64 << 20, cache_bytes: int = 64 << 20) -> None:
        self.store = store
        self.database = database
        self.subsequence_limit = subsequence_limit
        self.page_size_limit = page_size_limit
        self.body_limit = body_limit
        self.cache_bytes = cache_bytes


class State:
    """The application's one state: the store, opened once (at startup,
    or at the first request when a host application mounts this one and
    runs no lifespan of ours), and what is kept in memory. The store is
    only used in worker threads (see in_thread); what is kept in memory,
    only on the event loop."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.cache = BodyCache(settings.cache_bytes)
        self._store: Store | None = settings.store if isinstance(settings.store, Store) else None
        self._opening = threading.Lock()
        self._found: dict[str, tuple[StoredSequence, float]] = {}
        self._files: OrderedDict[str, SequenceFile] = OrderedDict()

    @property
    def store(self) -> Store:
        """The store; opened at the first use (in a worker thread)."""
        with self._opening:
            if self._store is None:
                assert not isinstance(self.settings.store, Store)
                self._store = Store(self.settings.store, database=self.settings.database)
            return self._store

    def open(self) -> None:
        _ = self.store

    def close(self) -> None:
        while self._files:
            os.close(self._files.popitem()[1].fd)
        # A store handed in belongs to the caller.
        if self._store is not None and not isinstance(self.settings.store, Store):
            self._store.close()
            self._store = None

    async def kept(self, key: tuple[str, ...], make: Callable[[], bytes | None]) -> bytes | None:
        """The body kept under `key`, or make() run in a worker thread
        (and kept)."""
        body = self.cache.get(key)
        if body is None:
            body = await in_thread(make)
            if body is not None:
                self.cache.put(key, body)
        return body

    def kept_sequence(self, identifier: str) -> StoredSequence | None:
        """The sequence an identifier named a moment ago, or None."""
        kept = self._found.get(identifier)
        return kept[0] if kept is not None and kept[1] > time.monotonic() else None

    async def sequence(self, identifier: str) -> StoredSequence | None:
        """The sequence a refget identifier names, or None."""
        kept = self.kept_sequence(identifier)
        if kept is not None:
            return kept
        lookup = lookup_of(identifier)
        if lookup is None:
            return None
        found = await in_thread(self._look_up, lookup)
        if found is not None:
            if len(self._found) >= _FOUND_KEPT:
                self._found.clear()
            self._found[identifier] = (found, time.monotonic() + _FOUND_SECONDS)
        return found

    def _look_up(self, lookup: Lookup) -> StoredSequence | None:
        if isinstance(lookup.key, tuple):
            named = self.store.aliased(*lookup.key)
            if len(named) > 1:
                raise multiple_choices(":".join(lookup.key), named)
            return named[0] if named else None
        if lookup.by == "md5":
            return self.store.sequence(md5=lookup.key)
        return self.store.sequence(sha512t24u=lookup.key)

    def kept_file(self, md5: str) -> SequenceFile | None:
        """The sequence's file if it is open (see sequence_file), or None."""
        file = self._files.get(md5)
        if file is not None:
            self._files.move_to_end(md5)
        return file

    async def sequence_file(self, md5: str) -> SequenceFile:
        """The open file of the sequence's bases: the state's, good until
        the caller's next await (then it may be closed), so duplicate its
        descriptor to keep it longer. OSError when it cannot be opened."""
        file = self.kept_file(md5)
        if file is None:
            opened = await in_thread(lambda: _opened(self.store.sequence_path(md5)))
            # Another request may have opened it meanwhile.
            file = self._files.setdefault(md5, opened)
            if file is not opened:
                os.close(opened.fd)
            elif len(self._files) > _OPEN_FILES:
                os.close(self._files.popitem(last=False)[1].fd)
        return file


def multiple_choices(identifier: str, named: list[StoredSequence]) -> HTTPError:
    """The 300 of an alias that names several sequences: each by its
    digests (what a client asks for next) and its length."""
    candidates = [{"id": "SQ." + found.sha512t24u, "md5": found.md5, "ga4gh": "SQ." + found.sha512t24u,
                   "length": found.length} for found in named]
    return HTTPError(300, f"{identifier} names {len(named)} sequences: ask for one by its digest",
                     {"candidates": candidates})


class SequenceFile(NamedTuple):
    fd: int
    # On a file system in memory (tmpfs), a read never waits for a device.
    in_memory: bool


def _opened(path: str) -> SequenceFile:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return SequenceFile(fd, _in_memory(os.fstat(fd).st_dev))
    except BaseException:
        os.close(fd)
        raise


@functools.cache
def _in_memory(device: int) -> bool:
    """Whether the file system of that device keeps its files in memory
    (tmpfs, ramfs), by the kernel's table of this process's mounts; False
    where there is none."""
    number = f"{os.major(device)}:{os.minor(device)}"
    with contextlib.suppress(OSError, ValueError, IndexError):
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as mounts:
            for line in mounts:
                # ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
                fields = line.split()
                if fields[2] == number:
                    return fields[fields.index("-") + 1] in ("tmpfs", "ramfs")
    return False


def state_of(request: Request) -> State:
    state: State = request.app.state.seqtally
    return state
