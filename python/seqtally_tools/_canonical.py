"""RFC 8785 (JSON Canonicalization Scheme) for the values a sequence
collection holds, and the digest GA4GH builds on it."""
from __future__ import annotations

import base64
import hashlib
import json
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

JsonValue = str | int | bool | None | Sequence["JsonValue"] | Mapping[str, "JsonValue"]

# Above this an integer has no exact IEEE 754 double, and RFC 8785 writes
# numbers as doubles: such a value has no canonical form.
_LARGEST_EXACT = 2 ** 53


def canonical_json(value: JsonValue) -> bytes:
    """The canonical UTF-8 text of `value`: no whitespace, object members
    sorted by the UTF-16 code units of their names, strings escaped as
    ECMAScript's JSON.stringify does (only the quote, the backslash and
    control characters, short forms where they exist, \\u00xx in lowercase
    hex otherwise)."""
    return "".join(_pieces(value)).encode("utf-8")


def _pieces(value: JsonValue) -> list[str]:
    out: list[str] = []
    _write(value, out)
    return out


def _plain(values: Iterable[Any]) -> bool:
    """Strings, and integers (no bools) that doubles hold exactly: what
    json.dumps writes as RFC 8785 does, with the same escaping."""
    kinds = {type(item) for item in values}
    if not kinds <= {str, int}:
        return False
    numbers = values if kinds == {int} else [item for item in values if type(item) is int]
    return max(map(abs, numbers), default=0) < _LARGEST_EXACT


def _write(value: JsonValue, out: list[str]) -> None:
    # A collection's arrays and name-length objects in one json.dumps each:
    # item by item, they took the most of a small file's add.
    if isinstance(value, (list, tuple)) and _plain(value):
        out.append(json.dumps(value, ensure_ascii=False, separators=(",", ":")))
    elif isinstance(value, dict) and all(name.isascii() for name in value) and _plain(value.values()):
        # ASCII names: code points sort as UTF-16 code units do.
        out.append(json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True))
    elif value is None or isinstance(value, bool):
        out.append(json.dumps(value))
    elif isinstance(value, int):
        if abs(value) >= _LARGEST_EXACT:
            raise ValueError(f"{value} has no exact canonical JSON form")
        out.append(str(value))
    elif isinstance(value, str):
        # Python's escaping for ensure_ascii=False is exactly the ECMAScript
        # one; a lone surrogate cannot be encoded and fails below.
        out.append(json.dumps(value, ensure_ascii=False))
    elif isinstance(value, Mapping):
        out.append("{")
        for index, name in enumerate(sorted(value, key=lambda key: key.encode("utf-16-be"))):
            if index:
                out.append(",")
            out.append(json.dumps(name, ensure_ascii=False))
            out.append(":")
            _write(value[name], out)
        out.append("}")
    elif isinstance(value, Sequence):
        out.append("[")
        for index, item in enumerate(value):
            if index:
                out.append(",")
            _write(item, out)
        out.append("]")
    else:
        raise TypeError(f"{type(value).__name__} has no canonical JSON form here")


def sha512t24u(data: bytes) -> str:
    """The first 24 bytes of SHA-512, unpadded base64url: GA4GH's digest."""
    return base64.urlsafe_b64encode(hashlib.sha512(data).digest()[:24]).decode("ascii")
