"""seqtally_tools: checksums, sequence collections, sequence dictionaries
and G/C tracks (wiggle, bedGraph, bigWig) of FASTA files, as plain data.

The operations of the seqtally extension module for the files users have:
plain or gzip FASTA (multi-member and BGZF included, told by content),
standard input and pipes, many files at once in worker processes. Results
are plain, picklable values; every failure of an operation raises
SeqtallyError (an Exception) with the module's message.

    from seqtally_tools import checksum
    for record in checksum("genome.fa.gz"):
        print(record.id, record.length, record.refget_id, record.md5)
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._canonical import canonical_json, sha512t24u
    from ._checksum import FileChecksums, SequenceChecksum, checksum, checksum_files
    from ._dictionary import SequenceDictionary, sequence_dictionary
    from ._errors import SeqtallyError
    from ._gc import gc_track
    from ._seqcol import compare, seqcol

__all__ = [
    "FileChecksums",
    "SeqtallyError",
    "SequenceChecksum",
    "SequenceDictionary",
    "canonical_json",
    "checksum",
    "checksum_files",
    "compare",
    "gc_track",
    "seqcol",
    "sequence_dictionary",
    "sha512t24u",
]

# Names are loaded on first use: the helper processes that inflate input
# import one small module of this package, and start in a few milliseconds
# instead of tens.
_HOMES = {
    "canonical_json": "_canonical",
    "sha512t24u": "_canonical",
    "SequenceDictionary": "_dictionary",
    "sequence_dictionary": "_dictionary",
    "compare": "_seqcol",
    "seqcol": "_seqcol",
    "FileChecksums": "_checksum",
    "SequenceChecksum": "_checksum",
    "checksum": "_checksum",
    "checksum_files": "_checksum",
    "SeqtallyError": "_errors",
    "gc_track": "_gc",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'seqtally_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(__all__)
