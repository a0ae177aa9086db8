"""FASTA sources, and what names them in messages.

The engine reads every kind of source itself (a path, "-", a descriptor, a
binary file object; plain, gzip or BGZF by content), each once.
"""
from __future__ import annotations

import os
from typing import Protocol


STDIN = "-"
FASTA_SUFFIXES = (".fa", ".fasta", ".fna", ".fas", ".fsa", ".ffn", ".frn", ".mfa", ".seq")
GZIP_SUFFIXES = (".gz", ".bgz", ".bgzf")


class HasFileno(Protocol):
    def fileno(self) -> int: ...


Source = str | os.PathLike[str] | int | HasFileno
"""A path ("-" is standard input), a descriptor, or a binary file."""


def path_of(source: Source) -> str | None:
    """The path a source names, or None for a descriptor or a file object."""
    if isinstance(source, int):
        return None
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    return None


def label_of(source: Source) -> str:
    """The source's name in messages and in FileChecksums.file."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        return "standard input" if path == STDIN else path
    if isinstance(source, int):
        return "standard input" if source == 0 else f"descriptor {source}"
    name = getattr(source, "name", None)
    if isinstance(name, str) and name:
        return "standard input" if name == "<stdin>" else name
    try:
        number = source.fileno()
    except (OSError, ValueError):
        return "the file object"
    return "standard input" if number == 0 else f"descriptor {number}"


def reference_base(path: str) -> str:
    """The name without its gzip and FASTA extensions (genome.fa.gz:
    genome): what index() names the .dict, .chrom.sizes and .seqcol.json
    it writes after."""
    name = path
    for suffixes in (GZIP_SUFFIXES, FASTA_SUFFIXES):
        for suffix in suffixes:
            if name.lower().endswith(suffix) and len(name) > len(suffix):
                name = name[:-len(suffix)]
                break
    return name
