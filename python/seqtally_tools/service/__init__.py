"""The reference service: refget Sequences v2.0.0 and seqcol v1.0.0 over a
store, read-only, as an ASGI application (Starlette).

    from seqtally_tools.service import app
    application = app("/data/store")          # uvicorn, or mounted in your own app

`seqtally serve STORE` runs it under uvicorn."""
from __future__ import annotations

import contextlib
import os
from collections.abc import AsyncIterator

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from .._errors import SeqtallyError
from .._store import Store
from ._cors import AnyOrigin
from ._http import HTTPError, Settings, State, error_response, in_thread
from ._routes import ALL, Endpoint, openapi_document

__all__ = ["Settings", "app", "from_environment", "openapi_document"]

# How `seqtally serve` hands its options to worker processes, which build
# their application from the environment.
ENVIRONMENT = {"store": "SEQTALLY_STORE", "database": "SEQTALLY_DATABASE",
               "subsequence_limit": "SEQTALLY_SUBSEQUENCE_LIMIT"}


async def _http_error(_: object, error: Exception) -> Response:
    assert isinstance(error, HTTPError)
    return error_response(error.status, error.message, error.details)


async def _starlette_error(_: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return error_response(error.status_code, str(error.detail))


async def _store_error(_: object, error: Exception) -> Response:
    # The store cannot answer (its database went away): the server's
    # trouble, not the request's.
    assert isinstance(error, SeqtallyError)
    return error_response(503, error.describe())


class _Direct:
    """A route's function run as an ASGI application of its own, given the
    state and the scope: no Starlette per-route wrapper (a second Request
    and exception frame), no Request, no lookup of the state. It is routed,
    and its exceptions answered, as every other route's. For 1 kb of bases
    over HTTP: 0.81x the rate of a constant answer this way, 0.76x through
    a Request endpoint (wrk, medians of 5 pairs)."""

    def __init__(self, endpoint: Endpoint, state: State) -> None:
        self.endpoint = endpoint
        self.state = state

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        response = await self.endpoint(self.state, scope)
        await response(scope, receive, send)


def app(store: str | os.PathLike[str] | Store, *, database: str | None = None, subsequence_limit: int | None = None,
        page_size_limit: int = 1000, body_limit: int = 64 << 20, cache_bytes: int = 64 << 20) -> Starlette:
    """The service over a store: a folder (opened when the application
    starts, closed when it stops; `database` as for Store) or a Store
    (which stays the caller's). `subsequence_limit`: the most bases a
    start/end or Range request may ask for (416 above). `page_size_limit`
    (400 above), `body_limit` (bytes of a POSTed collection, 413 above),
    `cache_bytes` (the bodies kept in memory)."""
    location = store if isinstance(store, Store) else os.fspath(store)
    state = State(Settings(location, database, subsequence_limit=subsequence_limit, page_size_limit=page_size_limit,
                           body_limit=body_limit, cache_bytes=cache_bytes))

    @contextlib.asynccontextmanager
    async def lifespan(_: Starlette) -> AsyncIterator[None]:
        state.open()
        try:
            yield
        finally:
            state.close()

    routes = [Route(operation.path, _Direct(operation.endpoint, state) if operation.direct else operation.endpoint,
                    methods=[operation.method.upper()]) for operation in ALL]
    application = Starlette(routes=routes, lifespan=lifespan, middleware=[Middleware(AnyOrigin)], exception_handlers={
        HTTPError: _http_error, HTTPException: _starlette_error, SeqtallyError: _store_error})
    application.state.seqtally = state
    return application


def from_environment() -> Starlette:
    """app() as `seqtally serve` configured it (for uvicorn's workers)."""
    limit = os.environ.get(ENVIRONMENT["subsequence_limit"])
    return app(os.environ[ENVIRONMENT["store"]], database=os.environ.get(ENVIRONMENT["database"]) or None,
               subsequence_limit=int(limit) if limit else None)
