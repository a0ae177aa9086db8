"""The library's error, and the one place where a failure of the module
becomes it."""
from __future__ import annotations

from collections.abc import Callable
from typing import TypeVar

T = TypeVar("T")


class SeqtallyError(Exception):
    """A failed operation.

    `message` is the module's own message for a failure inside the module,
    or ours for a problem found around it (a damaged gzip stream, an output
    that names the input); str() of the error is exactly that message.
    `path` names the input or output it concerns, when there is one; `hint`
    is a suggestion for the user (for example another compression format
    recognised in the first bytes), or None.
    """

    def __init__(self, message: str, path: str | None = None, hint: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.path = path
        self.hint = hint

    def __str__(self) -> str:
        return self.message

    # The default reduction passes only args to __init__, which would drop
    # path and hint on the way back from a worker process.
    def __reduce__(self) -> tuple[type[SeqtallyError], tuple[str, str | None, str | None]]:
        return (type(self), (self.message, self.path, self.hint))

    def describe(self) -> str:
        """One line for a person: path, message and hint."""
        text = self.message if self.path is None else f"{self.path}: {self.message}"
        return text if self.hint is None else f"{text} ({self.hint})"


def is_module_failure(error: BaseException) -> bool:
    """The module's PanicException is not reachable as an attribute; it is
    known by its qualified name."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def call(function: Callable[..., T], *args: object, path: str | None = None) -> T:
    """function(*args), with a failure of the module raised as SeqtallyError
    (chained, so the original stays reachable). Everything else, argument
    errors (TypeError, OverflowError) and KeyboardInterrupt included,
    passes unchanged."""
    try:
        return function(*args)
    except BaseException as error:
        if not is_module_failure(error):
            raise
        raise SeqtallyError(str(error), path) from error
