"""refget Sequences v2.0.0: which identifiers name a sequence, which media
types a client may ask for, and what a request for bases is answered with.
These are the status rules of the GA4GH compliance suite (where the
standard's text reads otherwise, the suite is what clients meet); the table
of cases that pins them is tests/test_refget_rules.py.

Everything here is plain data in and out: no HTTP objects, no store."""
from __future__ import annotations

import base64
import binascii
import re
from typing import NamedTuple

SEQUENCE_TYPES = ("text/vnd.ga4gh.refget.v2.0.0+plain", "text/vnd.ga4gh.refget.v1.0.0+plain", "text/plain")
JSON_TYPES = ("application/vnd.ga4gh.refget.v2.0.0+json", "application/vnd.ga4gh.refget.v1.0.0+json",
              "application/json")
V1_JSON = JSON_TYPES[1]

_DIGEST_NAMESPACES = ("md5", "ga4gh", "trunc512")
_MD5 = re.compile(r"[0-9a-fA-F]{32}")
_TRUNC512 = re.compile(r"[0-9a-fA-F]{48}")
_SHA512T24U = re.compile(r"[A-Za-z0-9_-]{32}")
# A namespaced identifier of another authority (insdc:BK006935.2).
_NAMESPACED = re.compile(r"([a-z][a-z0-9_.-]{0,31}):([!-~]{1,128})")
_RANGE = re.compile(r"bytes=([0-9]{1,19})-([0-9]{1,19})")


class Lookup(NamedTuple):
    """How the store finds a sequence: by "md5" (lowercase hex),
    "sha512t24u" (without SQ.) or "alias" (naming_authority, alias)."""

    by: str
    key: str | tuple[str, str]


def lookup_of(identifier: str) -> Lookup | None:
    """The lookup an identifier asks for, or None when it cannot name a
    sequence: MD5 (any case), SQ. digest, TRUNC512 (48 hex digits), and
    the namespaced md5:, ga4gh:, trunc512: and AUTHORITY:ALIAS forms."""
    prefix, colon, rest = identifier.partition(":")
    if colon and prefix.lower() in _DIGEST_NAMESPACES:
        identifier = rest
    elif colon:
        found = _NAMESPACED.fullmatch(identifier)
        return Lookup("alias", (found[1], found[2])) if found else None
    if _MD5.fullmatch(identifier):
        return Lookup("md5", identifier.lower())
    if _TRUNC512.fullmatch(identifier):
        return Lookup("sha512t24u", base64.urlsafe_b64encode(bytes.fromhex(identifier)).decode())
    if identifier.startswith("SQ.") and _SHA512T24U.fullmatch(identifier[3:]):
        return Lookup("sha512t24u", identifier[3:])
    return None


def by_digest(identifier: str) -> bool:
    """Whether an identifier that names a sequence names it by a digest of
    its bases (what it names never changes), not by an alias."""
    prefix, colon, _ = identifier.partition(":")
    return not colon or prefix.lower() in _DIGEST_NAMESPACES


def trunc512_of(sha512t24u: str) -> str:
    try:
        return base64.urlsafe_b64decode(sha512t24u).hex()
    except (binascii.Error, ValueError):
        return ""


def media_type(accept: str | None, offers: tuple[str, ...]) -> str | None:
    """The type of `offers` to answer with for an Accept header, or None
    (406). The first offer is the default, for no header and for
    wildcards; among types named, the highest quality wins, and at equal
    quality the order of `offers` (v2 before v1)."""
    if accept is None or not accept.strip():
        return offers[0]
    best: tuple[float, int] | None = None
    major = offers[0].split("/")[0]
    for item in accept.split(","):
        kind, *parameters = (part.strip() for part in item.split(";"))
        quality = 1.0
        for parameter in parameters:
            name, _, value = parameter.partition("=")
            if name.strip() == "q":
                try:
                    quality = float(value)
                except ValueError:
                    quality = 0.0
        kind = kind.lower()
        if quality <= 0:
            continue
        if kind in offers:
            rank = offers.index(kind)
        elif kind in ("*/*", f"{major}/*"):
            rank = 0
        else:
            continue
        candidate = (quality, -rank)
        if best is None or candidate > best:
            best = candidate
    return None if best is None else offers[-best[1]]


class Answer(NamedTuple):
    """What a request for bases gets: a status, and for 200 and 206 the
    pieces of the sequence to send, in order ([begin, end) each; two for a
    circular wrap) and how many bases they hold; for 206 also the
    Content-Range; for errors a reason."""

    status: int
    pieces: tuple[tuple[int, int], ...] = ()
    size: int = 0
    content_range: str | None = None
    reason: str = ""


def _refused(status: int, reason: str) -> Answer:
    return Answer(status, reason=reason)


def answer(length: int, circular: bool, start: str | None, end: str | None, range_header: str | None,
           limit: int | None = None) -> Answer:
    """The answer for the bases of a sequence of `length`, given the query's
    start and end (texts, None when absent) and the Range header.

    start/end are 0-based and half-open: start alone runs to the end, end
    alone starts at 0, start == end is empty. start > end wraps around the
    origin of a circular sequence. A Range is inclusive, answered 206 and
    clipped at the end, never wrapped. `limit` (subsequence_limit) caps
    what start/end and Range may ask for."""
    if range_header is not None:
        if start is not None or end is not None:
            return _refused(400, "give start and end, or a Range header, not both")
        return _ranged(length, range_header, limit)
    if start is None and end is None:
        return Answer(200, ((0, length),), length)
    first, last = _whole(start, 0), _whole(end, length)
    if first is None or last is None:
        return _refused(400, f"{'start' if first is None else 'end'} must be a whole number, 0 or more")
    if first >= length and not (first == 0 and last == 0):
        return _refused(416, f"start {first} is not within the sequence's {length} bases")
    if last > length:
        return _refused(416, f"end {last} is past the sequence's {length} bases")
    if first > last and not circular:
        return _refused(416, f"start {first} is after end {last}, and the sequence is not circular")
    size = last - first if first <= last else length - first + last
    if limit is not None and size > limit:
        return _refused(416, f"{size} bases asked for; this server's subsequence limit is {limit}")
    if first <= last:
        return Answer(200, ((first, last),) if last > first else (), size)
    return Answer(200, tuple(piece for piece in ((first, length), (0, last)) if piece[1] > piece[0]), size)


def _whole(text: str | None, default: int) -> int | None:
    """A position given as a whole number, 0 or more; None when it is not."""
    if text is None:
        return default
    return int(text) if len(text) <= 19 and text.isascii() and text.isdigit() else None


def _ranged(length: int, header: str, limit: int | None) -> Answer:
    found = _RANGE.fullmatch(header.strip())
    if found is None:
        return _refused(400, "a Range header must be bytes=FIRST-LAST")
    first, last = int(found[1]), int(found[2])
    if first > last:
        return _refused(416, f"the range's first byte {first} is after its last {last}")
    if first >= length:
        return _refused(416, f"the range starts at {first}, past the sequence's {length} bases")
    last = min(last, length - 1)
    if limit is not None and last + 1 - first > limit:
        return _refused(416, f"{last + 1 - first} bases asked for; this server's subsequence limit is {limit}")
    return Answer(206, ((first, last + 1),), last + 1 - first, f"bytes {first}-{last}/{length}")
