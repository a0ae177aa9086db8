"""The library's engine: the native core of seqtally bound for
seqtally_tools (a private extension module, not the `seqtally` module).

Every call releases the interpreter lock while it reads and computes, and
takes it back every few MiB of input (and every 50 ms while it waits for
input) to let signal handlers run: Ctrl-C in the main thread ends a call
with KeyboardInterrupt. A call never writes to descriptor 2.

Sources: a path (str, bytes or os.PathLike; "-" is standard input), a file
descriptor (int; read from its current offset, never closed), or an object
with fileno() (a binary file). Plain FASTA, gzip (one member or many) and
BGZF are told apart by content. Gzip input is inflated by a second thread
with a bounded read-ahead; the CRC-32 and ISIZE of every member are
checked, and a damaged stream fails the call: no partial result is given.

Outputs: a path (created, or truncated when it exists, 0666 before the
umask) or a file descriptor (written through a duplicate; the caller's
descriptor stays open). Closing an output is part of the call: a failure to
finish it fails the call.
"""
import os
from collections.abc import Callable
from typing import NamedTuple, Protocol, TypeVar

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int | _HasFileno
Output = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int

T = TypeVar("T", bound=tuple[object, ...])

class Failure(Exception):
    """A failed call. args[0] is `message`.

    kind: "format" (the input is not FASTA, or a record has no name or a
          name twice where that is refused: `line`, and `byte` the first
          byte of that line, `record` the record from 1, `first` the earlier
          record of a name given twice), "encoding" (a record's name is not
          UTF-8: `line` of its header, `record` its number from 1), "gzip"
          (a damaged or truncated gzip stream or BGZF block), "index" (a
          .fai or .gzi that does not fit its file), "os" (`errno`),
          "cancelled" (Progress.cancel() was called), "interval" (an
          interval that cannot be read: `record` its index from 0, `line`
          its BED line), or "internal" (a fault of the engine or of a
          library it calls, such as a digest or a deflater that cannot be
          set up: `message` says which). Memory that runs out raises
          MemoryError instead.
    fault: exactly what, for programs: "not-fasta", "unsupported",
          "not-utf8", "unnamed", "duplicate", "truncated", "bad-header",
          "bad-data", "trailing-data", "checksum", "index-stale",
          "index-malformed", "index-mismatch", "index-missing", "cancelled", "not-bed" (a
          malformed BED line: kind "format"), "unknown-contig", "past-end",
          "start-after-end"; None for an error of the system.
    which: what the failure concerns: "input", "output", "sizes", "bed" or
          "index" (a track's tabix index).
    message: plain words, without the path, e.g. "line 1 starts with '@',
          not '>'" or "No such file or directory".
    """

    kind: str
    fault: str | None
    which: str
    message: str
    errno: int | None
    line: int | None
    byte: int | None
    record: int | None
    first: int | None

class Progress:
    """Shared between a call (or several) and whoever watches it."""

    def __init__(self) -> None: ...
    @property
    def bytes_read(self) -> int:
        """Bytes of input read so far, as stored (compressed bytes for gzip)."""
    @property
    def cancelled(self) -> bool: ...
    def cancel(self) -> None:
        """Calls using this object end soon with Failure(kind="cancelled")."""

def checksum(source: Source, record_type: type[T], progress: Progress | None = None,
             on_record: Callable[[str, int], object] | None = None) -> list[T]:
    """Per record, in file order: record_type((name, length, sha512t24u,
    md5)) made with tuple.__new__. The digests are the seqtally module's for
    the same bytes. A record's name is its header's first word (leading
    spaces and tabs skipped, ended by a space, tab, vertical tab, form feed
    or carriage return). on_record(name, length) is called after each
    record, with the interpreter lock held."""

MAX_WINDOW: int
"""The largest window of every track (gc_values and write_track alike):
a larger one raises OverflowError, one below 1 ValueError."""

class WindowValues(NamedTuple):
    """One record's window values, as gc_values() says."""

    name: str
    length: int
    values: bytes
    lowercase: int

def gc_values(source: Source, window: int, omit_tail: bool, progress: Progress | None = None,
              on_record: Callable[[str, int], object] | None = None, count: str = "upper",
              min_acgt: float = 0.25, distinct: bool = False) -> tuple[list[WindowValues], bytes]:
    """(records, sizes): per record WindowValues(name, length, values, lowercase),
    window i covering bases [i * window, min((i + 1) * window, length)), and
    lowercase the record's letters a-z (counted in the same pass); sizes is
    the chrom.sizes text of the records. 1 <= window <= MAX_WINDOW. A record without a
    name fails the call (kind "format", with its record and line), and so
    does a name given twice with `distinct`.

    count "upper": values one byte per window (0 to 100, as the wiggle track
    gives them). "acgt": one native-endian int16 per window, tenths of a
    percent of G/C (either case) among A/C/G/T (either case), rounded half
    up, or -32768 where fewer than min_acgt (0 to 1, taken to a millionth)
    of the window's bases are A/C/G/T. "skew": one int16 per window, (G - C)
    / (G + C) in ten-thousandths, rounded half away from zero, or -32768
    where G + C = 0."""

def write_track(source: Source, output: Output, form: str, window: int, omit_tail: bool,
                gzip_level: int | None = None, sizes: Output | None = None, track_line: bool = False,
                progress: Progress | None = None,
                on_record: Callable[[str, int], object] | None = None, count: str = "upper",
                min_acgt: float = 0.25, index: Output | None = None) -> tuple[int, int, str | None]:
    """form "wig": the seqtally module's wiggle track, byte for byte, for the
    same window and omit_tail. form "bedgraph": "id<TAB>start<TAB>end<TAB>value"
    per window (0-based, half-open, the last window clipped at the record's
    end), after "track type=bedGraph" when track_line. 1 <= window <= MAX_WINDOW.
    gzip_level: BGZF at bgzip's level (0 to 9; -1: 5), compressed on every core, None:
    plain. index (a bedGraph track with gzip_level, no track line): its tabix
    index, written there once the track is complete; names must then be
    distinct (a repeat fails the call as distinct does for gc_values). sizes:
    also "id<TAB>length" per record. count and min_acgt as for gc_values:
    with "acgt" or "skew", values are printed with their decimals ("52.5",
    "50", "-0.3333"), and windows without a value have no line (the wiggle
    track stays variableStep, which needs no declaration after a gap).
    Returns (bases, lowercase, index form: "tbi", or "csi" when a line ends
    past 2^29; None without index) of the whole input. The library checks the
    arguments; this refuses only what the core cannot take."""

def sequence_stats(source: Source, min_gap: int = 1, gaps: Output | None = None, masked: Output | None = None,
                   exclude_bed: Source | None = None, progress: Progress | None = None,
                   on_record: Callable[[str, int], object] | None = None) -> tuple[list[str], bytes]:
    """(names, columns): every record's name (its first word) and its
    numbers, 14 native uint64 columns one after the other, a value per
    record each: length, A, C, G, T, N (each in either case), iupac (R Y S
    W K M B D H V, either case), other (every other byte), lowercase (a-z),
    cpg (C then G, either case, across line ends), upper_gc (the bytes G and
    C), gaps and gap_length (maximal runs of N/n at least min_gap long),
    excluded (bases other than N/n inside exclude_bed's intervals). gaps,
    masked: BED3 of those N runs and of lowercase runs, in file order. An
    exclude_bed line that is not BED fails with kind "format" (fault
    "not-bed"), one on a contig no record has or past its record's end
    with kind "interval" (fault "unknown-contig" or "past-end"), each with
    its line and which "bed"; a failure writing gaps has which "output",
    writing masked which "sizes"."""

class LayoutProblem(NamedTuple):
    """Why a record's lines cannot be addressed by .fai values: `line` (from 1) and `text`."""

    line: int
    text: str

class SamValues(NamedTuple):
    """A record as samtools dict reads it (SN, LN, M5)."""

    name: str
    length: int
    md5: str

class IndexEntry(NamedTuple):
    """One record of the index pass, named by its header's first word.
    offset, line_bases and line_bytes are its .fai values (offset in the
    decoded stream; zeros for a record without sequence, which samtools
    leaves out of the .fai); problem says why its lines cannot be
    addressed so; sam is set where samtools dict reads the record otherwise
    than seqtally. The digests are None when index() was asked for none."""

    name: str
    length: int
    offset: int
    line_bases: int
    line_bytes: int
    sha512t24u: str | None
    md5: str | None
    problem: LayoutProblem | None
    sam: SamValues | None

class Indexed(NamedTuple):
    """What index() read: compression "plain", "gzip" or "bgzf" (every
    member a BGZF block); `gzip_member_at` the byte where the first gzip
    member that is not a BGZF block starts (0 for plain gzip, more for a
    file that is BGZF up to there; None otherwise); `gzi` the .gzi of BGZF
    input, or of the BGZF copy when index() wrote one, as samtools writes
    it, None otherwise; `fai` and `sizes` the
    .fai (records with sequence) and chrom.sizes texts."""

    compression: str
    entries: list[IndexEntry]
    gzi: bytes | None
    fai: bytes
    sizes: bytes
    gzip_member_at: int | None

def index(source: Source, digests: bool = True, progress: Progress | None = None,
          on_record: Callable[[str, int], object] | None = None,
          distinct: bool = True,
          folder: str | os.PathLike[str] | None = None,
          bgzip: str | os.PathLike[str] | None = None, level: int = -1) -> Indexed:
    """One read of the input: an IndexEntry per record, in file order (a
    record without a name fails the call, and so does a name given twice
    with `distinct`).

    folder: a store's folder (htslib's REF_CACHE layout): each record's
    bases, uppercased and without line ends, are written to
    FOLDER/MD5[0:2]/MD5[2:4]/MD5[4:] as they are digested (a temporary file
    in FOLDER, locked while it is written, linked to that name at the
    record's end; a file there already is kept). A failure to write it is
    kind "os", which "output". Digests are then always made.

    bgzip: a path created (or truncated) for a BGZF copy of the decoded
    input, exactly its bytes, written as they are read, in bgzip's blocks
    at bgzip's `level` (0 to 9; -1: 5), compressed on every
    core; `gzi` is then the copy's. A failure to write it is kind "os",
    which "output"; on any failure the file is left incomplete for the
    caller to remove."""

class FaiEntry(NamedTuple):
    """One line of a .fai file."""

    name: str
    length: int
    offset: int
    line_bases: int
    line_bytes: int

def read_fai(text: bytes) -> list[FaiEntry]:
    """The records of a .fai file's bytes, in file order, the first of two
    equal names kept. A line that is not a FASTA index line fails (kind
    "index", fault "index-malformed", `line`)."""

def gz_named(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bool:
    """Whether a name asks for gzip, by the seqtally module's rule: its last
    component that names something (empty and "." components skipped; not
    "..") ends in ".gz" after something."""

class RandomAccess:
    """The bases of a plain FASTA file, or of a BGZF one given its .gzi
    bytes, told apart by the file's first bytes (a .gzi given for a plain
    file is not used). Gzip that is not BGZF fails (kind "format", fault
    "unsupported"), and so does BGZF without its .gzi (kind "index", fault
    "index-missing"). Calls are serialised; fetches of 65,536 bases or more
    release the interpreter lock."""

    def __init__(self, path: str | os.PathLike[str], gzi: bytes | None = None) -> None: ...
    @property
    def bgzf(self) -> bool:
        """Whether the file is BGZF (read by its .gzi), not plain."""
    def fetch(self, offset: int, line_bases: int, line_bytes: int, begin: int, end: int) -> str:
        """Bases [begin, end) of the record with these .fai values, line ends
        left out (end at most its length; "" when end <= begin)."""
    def close(self) -> None: ...

class BedNote(NamedTuple):
    """A BED interval left out of a command's output."""

    line: int
    fault: str
    text: str


class IntervalReader:
    """Many intervals of a plain FASTA file, or of a BGZF one given its .gzi
    bytes, whose records `contigs` names ((name, length, offset, line_bases,
    line_bytes) each; the first of a name is kept): read in the order they
    lie in the file, a batch at a time, with the interpreter lock released.
    Calls are serialised. Intervals come as native-endian arrays:
    contig numbers (uint32, into `contigs`), starts and ends (uint64,
    0-based, half-open) and reverse (uint8: reverse complemented, IUPAC
    codes in either case). An interval that cannot be read fails the call
    with kind "interval", fault "start-after-end" or "past-end", record its
    index from 0. A BED source is a path, "-", a descriptor or a binary file;
    a malformed BED line fails with kind "format", fault "not-bed", which
    "bed" and its line."""

    def __init__(self, path: str | os.PathLike[str], gzi: bytes | None,
                 contigs: list[tuple[str, int, int, int, int]]) -> None: ...
    def read_bed(self, source: Source, strand: bool) -> tuple[bytes, bytes, bytes, bytes, bytes]:
        """(contigs, starts, ends, reverse, lines) of the BED intervals,
        lines (uint64) their BED lines; reverse on "-" with strand. An
        unknown contig or an end past it fails (kind "interval", fault
        "unknown-contig" or "past-end", record its index, line its line)."""
    def fetch_many(self, contigs: bytes, starts: bytes, ends: bytes, reverse: bytes) -> tuple[bytearray, bytes]:
        """(bases, offsets): interval i's bases at bases[offsets[i]:offsets[i + 1]]
        (offsets int64, one more than the intervals)."""
    def composition(self, contigs: bytes, starts: bytes, ends: bytes, reverse: bytes, pattern: str,
                    ignore_case: bool) -> bytes:
        """Per interval eight int64: A, C, G, T, N (either case), other bytes,
        length, and the occurrences of pattern (overlapping; 0 when pattern
        is empty; ASCII letters uppercased with ignore_case)."""
    def getfasta(self, bed: Source, output: Output, strand: bool, header: str, tab: bool,
                 progress: Progress | None = None) -> list[BedNote]:
        """What bedtools getfasta -fi FASTA -bed BED prints (-s with strand;
        header "position", "name" for -name, "name_only" for -nameOnly; -tab
        with tab) written to output as it is made. Intervals that are empty,
        on an unknown contig or past its end are left out, each one note
        (line, fault, text): fault "empty", "unknown-contig" or "past-end"."""
    def nuc(self, bed: Source, output: Output, strand: bool, seq: bool, pattern: str, ignore_case: bool,
            progress: Progress | None = None) -> list[BedNote]:
        """What bedtools nuc -fi FASTA -bed BED prints (-s, -seq, -pattern,
        -C), written to output; notes as for getfasta."""
    def faidx(self, contigs: bytes, starts: bytes, ends: bytes, reverse: bytes, headers: list[str],
              output: Output, progress: Progress | None = None) -> None:
        """What samtools faidx prints for regions: ">" + header (with "/rc"
        when reversed), then the bases 60 a line."""
