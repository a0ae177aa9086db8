"""The library's error, and the one place where a failure of the engine
becomes it."""
from __future__ import annotations

import errno as errno_codes
import os
from typing import Any

from . import _engine


class SeqtallyError(Exception):
    """A failed operation.

    `message`: what went wrong, in plain words, without the path (str() of
    the error is exactly that). `path`: the input or output it concerns,
    when there is one ("standard input", "standard output" for those).
    `hint`: a suggestion, or None.

    What the cause is, for programs: `kind` is "format" (the input is not
    FASTA, or it has no name or the same name twice where a name is needed;
    `line` is the line, `byte` its first byte, `record` the record from 1),
    "encoding" (a record's name is not UTF-8; `line` is its header's line,
    `record` its number), "gzip" (a damaged or truncated gzip stream, or
    BGZF block), "index" (a .fai or .gzi that does not fit its file), "os"
    (an error of the system; `errno`: EEXIST for an output that exists
    already and may not be replaced), "cancelled" (Progress.cancel() ended
    the call), "internal" (a fault of seqtally or of a library it uses, not
    of the input: the message says which; no path), or None for a problem
    found around the engine (an output that names the input, ...). Memory
    that runs out raises MemoryError, never this.

    `fault` says exactly what, where the engine found it: "not-fasta",
    "unsupported" (bzip2, xz or zstd), "not-utf8", "unnamed", "duplicate",
    "truncated", "bad-header", "bad-data", "trailing-data", "checksum",
    "index-stale", "index-malformed", "index-mismatch", "cancelled",
    "not-bed" (a BED line that is not BED); for kind "interval"
    (IntervalError) "unknown-contig", "past-end", "start-after-end"; None
    otherwise.
    """

    def __init__(self, message: str, path: str | None = None, hint: str | None = None, *, kind: str | None = None,
                 fault: str | None = None, errno: int | None = None, line: int | None = None,
                 byte: int | None = None, record: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.path = path
        self.hint = hint
        self.kind = kind
        self.fault = fault
        self.errno = errno
        self.line = line
        self.byte = byte
        self.record = record

    def __str__(self) -> str:
        return self.message

    # The default reduction passes only args to __init__, which would drop
    # every other field on the way back from another process.
    def __reduce__(self) -> tuple[Any, ...]:
        fields = {"kind": self.kind, "fault": self.fault, "errno": self.errno, "line": self.line, "byte": self.byte,
                  "record": self.record}
        return (_rebuilt, (type(self), self.message, self.path, self.hint, fields))

    def describe(self) -> str:
        """One line for a person: path, message and hint."""
        text = self.message if self.path is None else f"{self.path}: {self.message}"
        return text if self.hint is None else f"{text} ({self.hint})"


def _rebuilt(kind: type[SeqtallyError], message: str, path: str | None, hint: str | None,
             fields: dict[str, Any]) -> SeqtallyError:
    return kind(message, path, hint, **fields)


def cancelled() -> SeqtallyError:
    """What a call ended by Progress.cancel() raises, also where Python
    noticed it between two engine calls."""
    return SeqtallyError("cancelled", kind="cancelled", fault="cancelled")


def _hint(failure: _engine.Failure) -> str | None:
    if failure.fault == "not-fasta" and failure.line == 1 and failure.byte == ord("@"):
        return "it looks like FASTQ: seqtally reads FASTA only"
    return None


def from_failure(failure: _engine.Failure, input_label: str, output: str | None = None,
                 sizes: str | None = None, bed: str | None = None, *, purpose: str | None = None,
                 index: str | None = None) -> BaseException:
    """The exception for an engine failure, naming what `which` says it
    concerns: the input (`input_label`), the track (`output`), the
    chrom.sizes file (`sizes`), the intervals' BED file (`bed`) or the
    track's tabix index (`index`). `purpose`
    says why a record needs a name, or names must be distinct. A reader of
    an output that went away gives BrokenPipeError, as a write of Python's
    own would."""
    if failure.kind == "os" and failure.errno == errno_codes.EPIPE and failure.which != "input":
        return BrokenPipeError(errno_codes.EPIPE, failure.message)
    if failure.kind == "internal":
        return SeqtallyError(failure.message, kind="internal",
                             hint="a fault of seqtally or of a library it uses, not of the input: please report it")
    path = {"input": input_label, "output": output, "sizes": sizes, "bed": bed, "index": index}.get(failure.which)
    message = failure.message
    if failure.fault in ("unnamed", "duplicate") and purpose is not None:
        message = f"{message}: {purpose}"
    return SeqtallyError(message, path, _hint(failure), kind=failure.kind, fault=failure.fault,
                         errno=failure.errno, line=failure.line, byte=failure.byte, record=failure.record)


def os_error(error: OSError, path: str | None, what: str | None = None) -> SeqtallyError:
    """An OSError of Python's own I/O, as the engine would say it."""
    words = error.strerror or (os.strerror(error.errno) if error.errno else str(error))
    return SeqtallyError(words if what is None else f"{what}: {words}", path, kind="os", errno=error.errno)
