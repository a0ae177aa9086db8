"""The store's database: SQLite in the store's folder by default, or
PostgreSQL (psycopg 3) for several servers on one store. Both take the same
schema (schema.sql) and the same SQL text, written with %s parameters:
SQLite's ? is put in once per statement text."""
from __future__ import annotations

import contextlib
import functools
import json
import os
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    import sqlite3

from .._errors import SeqtallyError

SQLITE_NAME = "seqtally.sqlite"
# A writer waits this long for another (an add beside it) before failing.
_BUSY_SECONDS = 60
# Any number: PostgreSQL's advisory lock that serialises creating the schema,
# which CREATE ... IF NOT EXISTS alone does not make safe between sessions.
_SCHEMA_LOCK = 7_233_482_165
# The most connections open at once: as many as the service's worker
# threads (service/_http.py THREADS), so that none of them waits for one;
# a few worker processes on one PostgreSQL stay under its 100.
CONNECTIONS = 16

Row = tuple[Any, ...]
_Result = TypeVar("_Result")


def database_error(error: Exception, where: str) -> SeqtallyError:
    return SeqtallyError(f"database: {error}".rstrip(), where, kind="database")


@functools.cache
def _sqlite_text(sql: str) -> str:
    return sql.replace("%s", "?")


class Database:
    """Connections lent to one thread at a time, made as threads need them
    (at most CONNECTIONS at once, the rest wait): a server answers from
    several worker threads, and neither driver lets two threads share one
    connection safely. A transaction keeps its thread's connection until
    it ends. Statements outside transaction() commit on their own."""

    def __init__(self, folder: str, url: str | None, *, create: bool) -> None:
        self.postgresql = url is not None and url.startswith(("postgresql:", "postgres:"))
        self.where = url if url is not None else os.path.join(folder, SQLITE_NAME)
        if url is not None and not self.postgresql:
            raise SeqtallyError("the database must be a postgresql:// URL (or none: SQLite in the store)", url)
        self._idle: list[Any] = []  # the last one given back first: its server session is warm
        self._lock = threading.Lock()
        self._free = threading.BoundedSemaphore(CONNECTIONS)
        self._closed = False
        # The connection of this thread's transaction, when it is in one.
        self._held = threading.local()
        try:
            self._idle.append(self._connect(create))
            if create:
                self._create_schema()
        except SeqtallyError:
            self.close()
            raise
        except Exception as error:  # noqa: BLE001 - the two drivers' errors share no base
            self.close()
            raise database_error(error, self.where) from None

    def _connect(self, create: bool = False) -> Any:
        return self._postgresql(self.where) if self.postgresql else self._sqlite(create)

    def _sqlite(self, create: bool) -> sqlite3.Connection:
        # Imported here, as psycopg is: every run of the command imports this
        # module, and only a store's commands open a database.
        import sqlite3

        if not create and not os.path.exists(self.where):
            raise SeqtallyError("no store here (seqtally store add creates one)", self.where, kind="os",
                                errno=2)
        # Lent from thread to thread, never used by two at once.
        connection = sqlite3.connect(self.where, timeout=_BUSY_SECONDS, autocommit=True, check_same_thread=False)
        # WAL: readers (the servers) never wait for a writer, nor it for them.
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA foreign_keys = ON")
        return connection

    @staticmethod
    def _postgresql(url: str) -> Any:
        try:
            import psycopg
        except ImportError:
            raise SeqtallyError("PostgreSQL needs psycopg: pip install 'seqtally[postgresql]'", url) from None
        return psycopg.connect(url, autocommit=True)

    def _create_schema(self) -> None:
        with open(os.path.join(os.path.dirname(__file__), "schema.sql"), encoding="utf-8") as file:
            schema = file.read()
        text = "\n".join(line for line in schema.splitlines() if not line.lstrip().startswith("--"))
        statements = [s.strip() for s in text.split(";") if s.strip()]
        with self.transaction():
            if self.postgresql:
                self.run("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
            for statement in statements:
                self.run(statement)

    def among(self, column: str) -> str:
        """SQL for "`column` is one of a list" that takes the whole list as
        one parameter, made by listed(): a draft assembly's 100,000 names
        would pass either driver's limit on parameters (PostgreSQL's
        65,535, SQLite's 250,000 in Debian's build)."""
        return f"{column} = ANY(%s)" if self.postgresql else f"{column} IN (SELECT value FROM json_each(%s))"

    def listed(self, values: Iterable[str | int]) -> object:
        return list(values) if self.postgresql else json.dumps(list(values))

    def _text(self, sql: str) -> str:
        return sql if self.postgresql else _sqlite_text(sql)

    @contextlib.contextmanager
    def _lent(self) -> Iterator[list[Any]]:
        """A connection for this thread, in a one-item list: a statement
        may replace a dropped one."""
        held: list[Any] | None = getattr(self._held, "connection", None)
        if held is not None:
            yield held
            return
        with self._free:
            with self._lock:
                lent = [self._idle.pop()] if self._idle else None
            if lent is None:
                lent = [self._connect()]
            try:
                yield lent
            finally:
                with self._lock:
                    if self._closed:
                        lent[0].close()
                    else:
                        self._idle.append(lent[0])

    def _statement(self, sql: str, parameters: Sequence[Any], result: Callable[[Any], _Result]) -> _Result:
        with _translated(self.where), self._lent() as lent:
            try:
                return result(lent[0].execute(self._text(sql), parameters))
            except Exception:
                # PostgreSQL restarted, or dropped the connection: a server
                # would fail every request on it. Outside a transaction the
                # statement is made again, once, on a new connection.
                if not self.postgresql or not lent[0].closed or getattr(self._held, "connection", None):
                    raise
                lent[0] = self._postgresql(self.where)
                return result(lent[0].execute(self._text(sql), parameters))

    def all(self, sql: str, parameters: Sequence[Any] = ()) -> list[Row]:
        return self._statement(sql, parameters, lambda cursor: list(cursor.fetchall()))

    def one(self, sql: str, parameters: Sequence[Any] = ()) -> Row | None:
        row: Row | None = self._statement(sql, parameters, lambda cursor: cursor.fetchone())
        return row

    def run(self, sql: str, parameters: Sequence[Any] = ()) -> int:
        """Runs a statement; the rows it changed."""
        return self._statement(sql, parameters, lambda cursor: int(cursor.rowcount))

    def run_many(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        with _translated(self.where), self._lent() as lent:
            lent[0].cursor().executemany(self._text(sql), rows)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        """All or nothing. SQLite's is IMMEDIATE: writers queue at its start,
        so that what a transaction read stays true until it commits."""
        assert not getattr(self._held, "connection", None), "transactions do not nest"
        with _translated(self.where), self._lent() as lent:
            self._held.connection = lent
            try:
                connection = lent[0]
                if self.postgresql:
                    with connection.transaction():
                        yield
                    return
                connection.execute("BEGIN IMMEDIATE")
                try:
                    yield
                except BaseException:
                    connection.execute("ROLLBACK")
                    raise
                connection.execute("COMMIT")
            finally:
                self._held.connection = None

    def close(self) -> None:
        """Closes the idle connections now, those lent when they come back."""
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for connection in idle:
            with contextlib.suppress(Exception):
                connection.close()


@contextlib.contextmanager
def _translated(where: str) -> Iterator[None]:
    try:
        yield
    except Exception as error:
        if type(error).__module__.startswith(("sqlite3", "psycopg")):
            raise database_error(error, where) from None
        raise
