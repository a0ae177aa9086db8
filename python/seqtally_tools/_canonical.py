"""RFC 8785 (JSON Canonicalization Scheme) for the values a sequence
collection holds, and the digest GA4GH builds on it."""
from __future__ import annotations

import base64
import hashlib
import json
from collections.abc import Mapping, Sequence

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


def _write(value: JsonValue, out: list[str]) -> None:
    if value is None or isinstance(value, bool):
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
