"""G/C tracks: the module's wiggle writer, from any input, into outputs
that appear only when complete."""
from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from dataclasses import dataclass

import seqtally

from . import _progress
from ._errors import SeqtallyError, call
from ._helper import READER_GONE
from ._inputs import describe, inherited_fds, plain_input, rereadable
from ._outputs import STDOUT, Target, check_distinct, stdout_path, stdout_wants_gzip
from ._processes import PIPE, start
from ._stderr import enlarge_pipe, module_stderr
from ._tracks import BEDGRAPH, BIGWIG, FORMATS, WIG, duplicate_name, format_of, read_sizes

# Which output a failure of the module concerns, by the start of its message.
_TRACK_FAILURES = ("creation failed", "Could not close wig output file")
_SIZES_FAILURES = ("Creation failed", "Could not close chrom sizes stream")
_INPUT_FAILURES = ("Error reading record", "called `Result::unwrap()`")
_WRITE_FAILURES = ("Write failed", "Could not close wig output file")
LONGEST_WINDOW = 2**31 - 1


@contextlib.contextmanager
def _memory_file(name: str) -> Iterator[str]:
    fd = os.memfd_create(name, os.MFD_CLOEXEC)
    try:
        yield f"/dev/fd/{fd}"
    finally:
        os.close(fd)


class Converter:
    """The process that turns the module's wiggle track, read from a pipe,
    into bedGraph or bigWig."""

    def __init__(self, job: GcJob, output: str, lengths: str) -> None:
        read_end, self._write_end = os.pipe2(os.O_CLOEXEC)
        enlarge_pipe(self._write_end)
        args = [job.form, output, lengths, str(job.window), str(int(job.omit_tail)), str(int(job.track_line)),
                str(int(job.gzip)), str(job.level), str(os.getpid())]
        try:
            self._process = start("seqtally_tools._tracks.convert", args, stdin=read_end, stderr=PIPE,
                                  keep=inherited_fds(lengths))
        except BaseException:
            os.close(self._write_end)
            raise
        finally:
            os.close(read_end)
        self.wig_path = f"/dev/fd/{self._write_end}"
        self._output = "standard output" if output == STDOUT else job.track.final if job.track else output

    def __enter__(self) -> Converter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, _: object) -> None:
        if kind is not None and not isinstance(error, SeqtallyError):
            self._process.kill()
        # The module closed its own descriptor: with ours closed, the
        # converter sees the end of the track.
        os.close(self._write_end)
        said = self._process.communicate().decode(errors="replace").strip().splitlines()
        status = self._process.wait()
        if kind is not None and not isinstance(error, SeqtallyError):
            return
        if status == READER_GONE:
            raise BrokenPipeError("standard output was closed")
        # A module that could not write its track failed because the
        # converter did: its reason is the one to give. Any other failure
        # of the module is the cause, and a converter that then saw the
        # track end early says nothing new.
        if status != 0 and (not isinstance(error, SeqtallyError) or error.message.startswith(_WRITE_FAILURES)):
            message = said[-1] if said else f"the track converter ended with status {status}"
            raise SeqtallyError(message, self._output) from error


@dataclass(frozen=True)
class GcJob:
    """One track, prepared: outputs checked and named, nothing written yet.
    It pickles, so that one process can prepare, commit or discard it while
    another runs it."""

    source: str
    track: Target | None  # None: standard output
    sizes: Target | None
    window: int
    omit_tail: bool
    level: int
    gzip: bool  # for a bedGraph track, and any track on standard output
    verbose: bool
    form: str = WIG
    track_line: bool = False

    @classmethod
    def prepare(cls, source: str, output: str, *, window: int, omit_tail: bool, chrom_sizes: str | None,
                level: int, gzip: bool | None, verbose: bool, form: str | None = None,
                track_line: bool = False) -> GcJob:
        form = form or format_of(output)
        if form not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {form!r}")
        if form == BIGWIG and output == STDOUT:
            raise SeqtallyError("a bigWig track needs a file, which it fills out of order", "standard output")
        track = None if output == STDOUT else Target.for_path(output)
        sizes = None if chrom_sizes is None else Target.for_path(chrom_sizes, keep_extension=False)
        check_distinct(source, track, sizes)
        if track is None:
            gzip = stdout_wants_gzip() if gzip is None else gzip
        else:
            gzip = form == BEDGRAPH and output.endswith(".gz")
        return cls(source, track, sizes, window, omit_tail, level, gzip, verbose, form, track_line)

    @property
    def opens_input_once(self) -> bool:
        """A wiggle track reads its input once; the other formats read it a
        second time, for the record lengths they need first."""
        return self.form == WIG

    def run(self, plain: str | None = None) -> None:
        """The module's call, into the temporary names. `plain`: the input as
        open_input gave it, when it was opened elsewhere (a wiggle track only)."""
        _progress.file_started(0)
        if self.form != WIG:
            self._run_converted()
            return
        with self.open_input() if plain is None else contextlib.nullcontext(plain) as plain, \
                self._track_path() as track_path, module_stderr(live=self.verbose):
            self._call(plain, track_path)

    def _call(self, plain: str, track_path: str) -> None:
        try:
            call(seqtally.write_seqtally_to_file, plain, track_path, self.level, self.window, self.omit_tail,
                 "" if self.sizes is None else self.sizes.write_to, self.sizes is not None, self.verbose)
        except SeqtallyError as error:
            error.path = self._concerned(error.message)
            raise

    def _run_converted(self) -> None:
        with rereadable(self.source) as (readable, label), _memory_file("seqtally-sizes") as lengths:
            self._record_lengths(readable, lengths)
            if self.form == BIGWIG and (clash := duplicate_name(read_sizes(lengths))):
                name, first, second = clash
                raise SeqtallyError(f"records {first} and {second} are both named {name!r}: a bigWig track cannot "
                                    "hold two chromosomes of one name", describe(self.source))
            output = STDOUT if self.track is None else self.track.write_to
            with plain_input(readable, avoid_gz_name=True) as plain, \
                    Converter(self, output, lengths) as converter, module_stderr(live=self.verbose):
                self._call(plain, converter.wig_path)

    def _record_lengths(self, readable: str, lengths: str) -> None:
        """A chrom.sizes pass: one window longer than any record, left out."""
        with plain_input(readable, avoid_gz_name=True) as plain, module_stderr(live=False):
            try:
                call(seqtally.write_seqtally_to_file, plain, os.devnull, 0, LONGEST_WINDOW, True, lengths, True,
                     False)
            except SeqtallyError as error:
                error.path = describe(self.source) if error.message.startswith(_INPUT_FAILURES) else None
                raise

    def open_input(self) -> contextlib.AbstractContextManager[str]:
        return plain_input(self.source, avoid_gz_name=True)

    def commit(self) -> None:
        for target in (self.track, self.sizes):
            if target is not None:
                target.commit()

    def discard(self) -> None:
        for target in (self.track, self.sizes):
            if target is not None:
                target.discard()

    def _track_path(self) -> contextlib.AbstractContextManager[str]:
        if self.track is None:
            return stdout_path(self.gzip)
        return contextlib.nullcontext(self.track.write_to)

    def _concerned(self, message: str) -> str | None:
        if message.startswith(_TRACK_FAILURES):
            return "standard output" if self.track is None else self.track.final
        if message.startswith(_SIZES_FAILURES) and self.sizes is not None:
            return self.sizes.final
        if message.startswith(_INPUT_FAILURES):
            return describe(self.source)
        return None


def gc_track(source: str | os.PathLike[str], output: str | os.PathLike[str], *, window: int = 100,
             omit_tail: bool = False, chrom_sizes: str | os.PathLike[str] | None = None, level: int = 6,
             gzip: bool | None = None, verbose: bool = False, format: str | None = None,
             track_line: bool = False) -> None:
    """Writes the G/C percentage of consecutive windows of every record of
    `source` as a track: a variableStep wiggle track, or bedGraph or bigWig.

    `source`: FASTA, plain or gzip (multi-member and BGZF included, told by
    content), or "-" for standard input. `output`: the track, gzip when its
    name ends in .gz; "-" for standard output, plain unless `gzip` is true
    (None: gzip when standard output is a file named *.gz). `chrom_sizes`:
    also write a chrom.sizes file there. `level`: gzip level of a gzip
    track. `verbose`: the module's progress messages on standard error.
    `format`: "wig", "bedgraph" or "bigwig"; None: by `output`'s name (.bw,
    .bigWig: bigWig; .bedGraph, .bg, perhaps with .gz: bedGraph, gzip with
    .gz, ISA-L levels 0 to 3; anything else: wiggle). bedGraph and bigWig
    intervals are 0-based and half-open, one per window; a record's last,
    shorter window ends at the record's end. `track_line`: a bedGraph track
    starts with "track type=bedGraph".

    The track and the chrom.sizes file appear under their names only when
    complete; on any failure neither is left behind, and files of those
    names are untouched. A failure raises SeqtallyError; an output that
    names the input, or the other output, is refused before anything is
    written. Standard output closed by its reader raises BrokenPipeError.
    """
    job = GcJob.prepare(os.fspath(source), os.fspath(output), window=window, omit_tail=omit_tail,
                        chrom_sizes=None if chrom_sizes is None else os.fspath(chrom_sizes), level=level,
                        gzip=gzip, verbose=verbose, form=format, track_line=track_line)
    try:
        job.run()
        job.commit()
    except BaseException:
        job.discard()
        raise

