"""Answers that caches may keep: entity tags, Cache-Control, and the 304
of a GET whose If-None-Match names the tag (RFC 9110, sections 8.8.3 and
13.1.2). Plain data in and out, as refget_rules is."""
from __future__ import annotations

import hashlib
import re

# An answer named by content digests never changes: the bases of an MD5,
# a collection of a level-2 digest.
IMMUTABLE = b"public, max-age=31536000, immutable"
# An answer that may grow (a sequence's aliases, what an alias names): kept,
# but asked about again each time; a matching tag makes that a 304.
REVALIDATE = b"public, no-cache"

# entity-tag = [ "W/" ] DQUOTE *etagc DQUOTE; etagc = %x21 / %x23-7E / obs-text
_ENTITY_TAG = r'(?:W/)?"[\x21\x23-\x7e\x80-\xff]*"'
# If-None-Match = "*" / #entity-tag: a list whose empty elements a recipient
# accepts ("a, , b"), with optional white space around the commas.
_LIST = re.compile(rf"[ \t]*(?:{_ENTITY_TAG}[ \t]*)?(?:,[ \t]*(?:{_ENTITY_TAG}[ \t]*)?)*")
_TAGS = re.compile(_ENTITY_TAG)


def entity_tag(*parts: bytes) -> bytes:
    """A strong tag for the bytes of an answer and whatever else tells its
    representations apart (the media type)."""
    digest = hashlib.blake2b(digest_size=16)
    for part in parts:
        digest.update(len(part).to_bytes(8, "little"))
        digest.update(part)
    return b'"' + digest.hexdigest().encode() + b'"'


def not_modified(if_none_match: str | None, tag: bytes) -> bool:
    """Whether a GET with this If-None-Match is answered 304 for an answer
    tagged `tag`: "*", or a listed tag equal to it by the weak comparison
    (W/ ignored). A field that is not a list of entity tags is ignored, as
    a field that cannot be parsed is."""
    if if_none_match is None:
        return False
    field = if_none_match.strip(" \t")
    if field == "*":
        return True
    if not _LIST.fullmatch(field):
        return False
    wanted = tag.decode("latin-1").removeprefix("W/")
    return any(found.removeprefix("W/") == wanted for found in _TAGS.findall(field))
