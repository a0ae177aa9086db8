"""G/C tracks (wiggle, bedGraph, bigWig) and chrom.sizes files, from any
input, into outputs that appear only when complete."""
from __future__ import annotations

import contextlib
import os
import sys
from pathlib import Path
from typing import NamedTuple

from . import _engine
from ._checksum import reporter
from ._engine import Progress
from ._errors import SeqtallyError, cancelled, from_failure, os_error
from ._inputs import Source, label_of
from ._outputs import STDOUT, Target, check_distinct, committed, has_gz_extension, stdout_wants_gzip
from ._tracks import ACGT, BEDGRAPH, BIGWIG, FORMATS, SKEW, UPPER, format_of, write_bigwig

COUNTS = (UPPER, ACGT)
DEFAULT_MIN_ACGT = 0.25


class GcSummary(NamedTuple):
    """What a gc_track call read: the bases of all records, and how many of
    them are lowercase letters (a-z: soft-masked, in most assemblies), and
    the tabix index written beside a gzip bedGraph track (its .tbi, or .csi
    when a record is longer than 2^29 bases), None for every other track."""

    bases: int
    lowercase: int
    tabix_index: Path | None = None


def gc_track(source: Source, output: str | os.PathLike[str], *, window: int = 100, omit_tail: bool = False,
             chrom_sizes: str | os.PathLike[str] | None = None, level: int = -1, gzip: bool | None = None,
             verbose: bool = False, format: str | None = None, track_line: bool = False,
             progress: Progress | None = None, count: str | None = None, min_acgt: float | None = None,
             skew: bool = False) -> GcSummary:
    """Writes the G/C percentage of consecutive windows of every record of
    `source` as a track: a variableStep wiggle track, or bedGraph or bigWig.
    Returns the bases read and how many are lowercase. `window`: bases per
    window, 1 to 2^31 - 1 whatever the format (OverflowError above).

    `count`: "upper" (the default: the seqtally module's count, the bytes G and C over
    every byte of the window; values truncated to whole percents) or "acgt"
    (G and C in either case over A, C, G and T in either case; N and every
    other byte outside the denominator; values in tenths of a percent,
    rounded half up). With "acgt" a window has no value when fewer than
    `min_acgt` (0 to 1, default 0.25) of its bases, the last window's clipped length, are
    A/C/G/T; its line is left out (a gap in a bigWig track). `min_acgt` is
    taken to a millionth and compared exactly: a window of exactly that share
    has a value. `skew`: instead of G/C, the GC skew (G - C) / (G + C), both
    bases in either case, at most four decimals (rounded half away from
    zero), no value where G + C = 0; it has no count of its own, so a
    `count` or `min_acgt` with it is refused. check_gc_arguments() applies
    the same rules without reading anything.

    `source`: FASTA, plain or gzip (multi-member and BGZF included, told by
    content): a path, "-" for standard input, a descriptor or a binary
    file. `output`: the track, gzip when its name ends in .gz (BGZF,
    compressed on every core: one gzip stream to any reader, and what
    tabix indexes); "-" for standard output, plain unless `gzip` is true
    (None: gzip when standard output is a file named `*.gz`). A gzip bedGraph
    file also gets its tabix index in the same pass, OUTPUT.tbi (or
    OUTPUT.csi when a record is longer than 2^29 bases), the index `tabix -p
    bed` (-C) builds for it; its record names must then be distinct (tabix
    refuses repeats), and `track_line` is refused (tabix would take the
    line for data). `chrom_sizes`: also write a chrom.sizes
    file there. `level`: a gzip track's level, 0 to 9 as bgzip's -l (-1: 5, as `index`'s copy:
    one step faster than bgzip's default, the track a little larger). `verbose`:
    one line per record on sys.stderr as it is done. `format`: "wig",
    "bedgraph" or "bigwig"; None: by `output`'s name (.bw, .bigWig: bigWig;
    .bedGraph, .bg, perhaps with .gz: bedGraph; anything else: wiggle).
    bedGraph and bigWig intervals are 0-based and half-open, one per
    window; a record's last, shorter window ends at the record's end.
    `track_line`: a bedGraph track starts with "track type=bedGraph".
    `progress`: counts the bytes read; cancel() ends the call.

    The track and the chrom.sizes file appear under their names only when
    complete; on any failure neither is left behind, and files of those
    names are untouched. A failure raises SeqtallyError; an output that
    names the input, or the other output, is refused before anything is
    written. Standard output closed by its reader raises BrokenPipeError.
    """
    engine_count, share = _checked(window, level, count, min_acgt, skew)
    name = os.fspath(output)
    form = _form_of(name, format, track_line)
    if form == BIGWIG and name == STDOUT:
        raise SeqtallyError("a bigWig track needs a file, which it fills out of order", "standard output")
    track = None if name == STDOUT else Target.for_path(name)
    sizes = None if chrom_sizes is None else Target.for_path(os.fspath(chrom_sizes))
    check_distinct(source, track, sizes)
    compressed = (stdout_wants_gzip() if gzip is None else gzip) if track is None else has_gz_extension(name)
    # An index names the file it indexes: none for standard output, a
    # device or a FIFO.
    index = Target.for_path(name + ".tbi") if form == BEDGRAPH and compressed and track and track.temporary else None
    label = label_of(source)
    on_record = reporter(label) if verbose else None
    outputs = [track, sizes, index]  # the index's name is known once written
    with committed(outputs):
        try:
            if form == BIGWIG:
                assert track is not None
                records, sizes_text = _engine.gc_values(source, window, omit_tail, progress, on_record,
                                                        engine_count, share, distinct=True)
                if sizes is not None:
                    _write_sizes(sizes, sizes_text)
                write_bigwig(track.write_to, track.final, records, window, progress, engine_count)
                summary = GcSummary(sum(record.length for record in records), sum(record.lowercase for record in records))
            else:
                if track is None and sys.stdout is not None:
                    sys.stdout.flush()  # what the caller printed comes first
                bases, lowercase, index_form = _engine.write_track(
                    source, 1 if track is None else track.write_to, form, window, omit_tail,
                    level if compressed else None, None if sizes is None else sizes.write_to,
                    track_line and form == BEDGRAPH, progress, on_record, engine_count, share,
                    None if index is None else index.write_to)
                if index is not None and index_form is not None:
                    index = outputs[2] = Target(f"{name}.{index_form}", index.write_to)
                summary = GcSummary(bases, lowercase, None if index is None else Path(index.final))
        except _engine.Failure as failure:
            purpose = ("a bigWig track cannot hold two chromosomes of one name" if form == BIGWIG
                       else "tabix indexes no track with two records of one name")
            raise from_failure(failure, label, "standard output" if track is None else track.final,
                               None if sizes is None else sizes.final, purpose=purpose,
                               index=None if index is None else index.final) from failure
        # Cancelled as the work ended: the caller has given up on it.
        if progress is not None and progress.cancelled:
            raise cancelled()
    if index is not None:
        # An index of the other form would describe the track replaced.
        stale = name + (".csi" if index.final.endswith(".tbi") else ".tbi")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(stale)
    return summary


def check_gc_arguments(*, window: int = 100, level: int = -1, count: str | None = None,
                       min_acgt: float | None = None, skew: bool = False,
                       output: str | os.PathLike[str] | None = None, format: str | None = None,
                       track_line: bool = False) -> None:
    """Raises the TypeError, ValueError or OverflowError that gc_track
    would for these arguments (`output`, `format` and `track_line` checked
    when `output` is given), without reading or writing anything (a command
    checks its options so before it starts)."""
    _checked(window, level, count, min_acgt, skew)
    if output is not None:
        _form_of(os.fspath(output), format, track_line)


def _form_of(name: str, format: str | None, track_line: bool) -> str:
    """The track's format; refuses a track line where tabix would index it."""
    form = format or format_of(name)
    if form not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {form!r}")
    if track_line and form == BEDGRAPH and name != STDOUT and has_gz_extension(name):
        raise ValueError("a gzip bedGraph track is indexed with tabix, which would read a track line as data: "
                         "leave the track line out (a genome browser takes the track's settings from its own "
                         "configuration), or write the track uncompressed")
    return form


def _checked(window: int, level: int, count: str | None, min_acgt: float | None, skew: bool) -> tuple[str, float]:
    """The engine's name for what a track holds and its share of A/C/G/T;
    refuses what is out of range or would be ignored."""
    # The wiggle writer would take 0, and write one empty window per record.
    for name, value in (("window", window), ("level", level)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if window < 1:
        raise ValueError(f"window must be 1 or more, not {window}")
    if window > _engine.MAX_WINDOW:
        raise OverflowError(f"window must be at most {_engine.MAX_WINDOW}, not {window}")
    if not -1 <= level <= 9:
        raise ValueError(f"level must be from 0 to 9, or -1 for the default, not {level}")
    if count is not None and count not in COUNTS:
        raise ValueError(f"count must be one of {', '.join(COUNTS)}, not {count!r}")
    if min_acgt is not None and (isinstance(min_acgt, bool) or not isinstance(min_acgt, (int, float))
                                 or not 0 <= min_acgt <= 1):
        raise ValueError(f"min_acgt must be a number from 0 to 1, not {min_acgt!r}")
    if skew and count is not None:
        raise ValueError("skew counts G and C in either case by itself: count does not apply to it")
    if min_acgt is not None and count != ACGT:
        raise ValueError("min_acgt applies only to count='acgt'")
    return SKEW if skew else count or UPPER, DEFAULT_MIN_ACGT if min_acgt is None else float(min_acgt)


def _write_sizes(sizes: Target, text: bytes) -> None:
    try:
        with open(sizes.write_to, "wb") as written:
            written.write(text)
    except OSError as error:
        raise os_error(error, sizes.final) from None
