"""seqtally_tools: checksums, sequence collections, sequence dictionaries,
G/C tracks (wiggle, bedGraph, bigWig) and assembly statistics of FASTA
files, as plain data.

Every operation reads plain or gzip FASTA (multi-member and BGZF included,
told by content) from a path, standard input ("-"), a descriptor or a
binary file. The work runs outside the interpreter lock: other threads
keep running, and Ctrl-C ends a call. Results are plain, picklable values;
every failure of an operation raises SeqtallyError (an Exception), with
the cause in plain words and as fields. For example::

    from seqtally_tools import checksum
    for record in checksum("genome.fa.gz"):
        print(record.id, record.length, record.refget_id, record.md5)
"""
from typing import TYPE_CHECKING

from ._aliases import AliasTable, NameClash, OnlyIn, aliases
from ._canonical import canonical_json, sha512t24u
from ._checksum import FileChecksums, SequenceChecksum, checksum, checksum_files
from ._dictionary import SequenceDictionary, sequence_dictionary
from ._engine import Progress
from ._errors import SeqtallyError
from ._inputs import reference_base
from ._interval_output import IntervalNote, RegionNote, composition, write_intervals, write_nuc, write_regions
from ._intervals import IntervalError, Sequences
from ._identify import Conflict, Identified, Match, Reference, identify, repaired_header
from ._headers import Contig, Declared, declared
from ._gc import GcSummary, check_gc_arguments, gc_track
from ._outputs import atomic_output
from ._reference import FastaFile, FastaIndex, IndexRecord, RegionError, UnknownSequence, index
from ._stats import FileStats, RecordColumns, check_stats_arguments, record_rows, stats, stats_files
from ._seqcol import compare, load_collection, seqcol, seqcol_of, verdict
from ._store import AddedCollection, Store


if TYPE_CHECKING:
    __version__: str
else:

    def __getattr__(name: str) -> str:
        # The version is looked up when asked for: importlib.metadata would
        # cost every import of the library 30 ms. Type checkers see only
        # __version__, so that a misspelt name stays an error to them.
        if name == "__version__":
            from ._version import version

            return version()
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "AddedCollection",
    "AliasTable",
    "Conflict",
    "Contig",
    "Declared",
    "FastaFile",
    "FastaIndex",
    "FileChecksums",
    "FileStats",
    "GcSummary",
    "Identified",
    "IndexRecord",
    "IntervalError",
    "IntervalNote",
    "Match",
    "NameClash",
    "OnlyIn",
    "Progress",
    "RecordColumns",
    "Reference",
    "RegionError",
    "RegionNote",
    "SeqtallyError",
    "SequenceChecksum",
    "SequenceDictionary",
    "Sequences",
    "Store",
    "UnknownSequence",
    "aliases",
    "atomic_output",
    "canonical_json",
    "check_gc_arguments",
    "check_stats_arguments",
    "checksum",
    "checksum_files",
    "compare",
    "composition",
    "declared",
    "gc_track",
    "identify",
    "index",
    "load_collection",
    "record_rows",
    "reference_base",
    "repaired_header",
    "seqcol",
    "seqcol_of",
    "sequence_dictionary",
    "sha512t24u",
    "stats",
    "stats_files",
    "verdict",
    "write_intervals",
    "write_nuc",
    "write_regions",
]
