"""The store's database: SQLite in the store's folder by default, or
PostgreSQL (psycopg 3) for several servers on one store. Both take the same
schema (schema.sql) and the same SQL text, written with %s parameters:
SQLite's ? is put in once per statement text."""
from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import sqlite3

from .._errors import SeqtallyError

SQLITE_NAME = "seqtally.sqlite"
# A writer waits this long for another (an add beside it) before failing.
_BUSY_SECONDS = 60
# Any number: PostgreSQL's advisory lock that serialises creating the schema,
# which CREATE ... IF NOT EXISTS alone does not make safe between sessions.
_SCHEMA_LOCK = 7_233_482_165

Row = tuple[Any, ...]


def database_error(error: Exception, where: str) -> SeqtallyError:
    return SeqtallyError(f"database: {error}".rstrip(), where, kind="database")


@functools.cache
def _sqlite_text(sql: str) -> str:
    return sql.replace("%s", "?")


class Database:
    """One connection, used by one thread at a time. Statements outside
    transaction() commit on their own."""

    def __init__(self, folder: str, url: str | None, *, create: bool) -> None:
        self.postgresql = url is not None and url.startswith(("postgresql:", "postgres:"))
        self.where = url if url is not None else os.path.join(folder, SQLITE_NAME)
        self._in_transaction = False
        if url is not None and not self.postgresql:
            raise SeqtallyError("the database must be a postgresql:// URL (or none: SQLite in the store)", url)
        try:
            self._connection: Any = self._postgresql(self.where) if self.postgresql else self._sqlite(create)
            if create:
                self._create_schema()
        except SeqtallyError:
            raise
        except Exception as error:  # noqa: BLE001 - the two drivers' errors share no base
            raise database_error(error, self.where) from None

    def _sqlite(self, create: bool) -> sqlite3.Connection:
        # Imported here, as psycopg is: every run of the command imports this
        # module, and only a store's commands open a database.
        import sqlite3

        if not create and not os.path.exists(self.where):
            raise SeqtallyError("no store here (seqtally store add creates one)", self.where, kind="os",
                                errno=2)
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

    def _text(self, sql: str) -> str:
        return sql if self.postgresql else _sqlite_text(sql)

    def _failing(self) -> contextlib.AbstractContextManager[None]:
        return _translated(self.where)

    def _executed(self, sql: str, parameters: Sequence[Any]) -> Any:
        try:
            return self._connection.execute(self._text(sql), parameters)
        except Exception:
            # PostgreSQL restarted, or dropped the connection: a server would
            # fail every request after it. Outside a transaction the
            # statement is made again, once, on a new connection.
            if not self.postgresql or not self._connection.closed or self._in_transaction:
                raise
            self._connection = self._postgresql(self.where)
            return self._connection.execute(self._text(sql), parameters)

    def all(self, sql: str, parameters: Sequence[Any] = ()) -> list[Row]:
        with self._failing():
            return list(self._executed(sql, parameters).fetchall())

    def one(self, sql: str, parameters: Sequence[Any] = ()) -> Row | None:
        with self._failing():
            row: Row | None = self._executed(sql, parameters).fetchone()
            return row

    def run(self, sql: str, parameters: Sequence[Any] = ()) -> int:
        """Runs a statement; the rows it changed."""
        with self._failing():
            count: int = self._executed(sql, parameters).rowcount
            return count

    def run_many(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        with self._failing():
            self._connection.cursor().executemany(self._text(sql), rows)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        """All or nothing. SQLite's is IMMEDIATE: writers queue at its start,
        so that what a transaction read stays true until it commits."""
        with self._failing():
            self._in_transaction = True
            try:
                if self.postgresql:
                    with self._connection.transaction():
                        yield
                    return
                self._connection.execute("BEGIN IMMEDIATE")
                try:
                    yield
                except BaseException:
                    self._connection.execute("ROLLBACK")
                    raise
                self._connection.execute("COMMIT")
            finally:
                self._in_transaction = False

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self._connection.close()


@contextlib.contextmanager
def _translated(where: str) -> Iterator[None]:
    try:
        yield
    except Exception as error:
        if type(error).__module__.startswith(("sqlite3", "psycopg")):
            raise database_error(error, where) from None
        raise
