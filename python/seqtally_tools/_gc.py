"""G/C tracks: the module's wiggle writer, from any input, into outputs
that appear only when complete."""
from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass

import seqtally

from . import _progress
from ._errors import SeqtallyError, call
from ._inputs import describe, plain_input
from ._outputs import STDOUT, Target, check_distinct, stdout_path, stdout_wants_gzip
from ._stderr import module_stderr

# Which output a failure of the module concerns, by the start of its message.
_TRACK_FAILURES = ("creation failed", "Could not close wig output file")
_SIZES_FAILURES = ("Creation failed", "Could not close chrom sizes stream")


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
    gzip_stdout: bool
    verbose: bool

    @classmethod
    def prepare(cls, source: str, output: str, *, window: int, omit_tail: bool, chrom_sizes: str | None,
                level: int, gzip: bool | None, verbose: bool) -> GcJob:
        track = None if output == STDOUT else Target.for_path(output)
        sizes = None if chrom_sizes is None else Target.for_path(chrom_sizes, keep_extension=False)
        check_distinct(source, track, sizes)
        gzip_stdout = track is None and (stdout_wants_gzip() if gzip is None else gzip)
        return cls(source, track, sizes, window, omit_tail, level, gzip_stdout, verbose)

    def run(self, plain: str | None = None) -> None:
        """The module's call, into the temporary names. `plain`: the input as
        open_input gave it, when it was opened elsewhere."""
        _progress.file_started(0)
        with self.open_input() if plain is None else contextlib.nullcontext(plain) as plain, \
                self._track_path() as track_path, module_stderr(live=self.verbose):
            try:
                call(seqtally.write_seqtally_to_file, plain, track_path, self.level, self.window, self.omit_tail,
                     "" if self.sizes is None else self.sizes.write_to, self.sizes is not None, self.verbose)
            except SeqtallyError as error:
                error.path = self._concerned(error.message)
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
            return stdout_path(self.gzip_stdout)
        return contextlib.nullcontext(self.track.write_to)

    def _concerned(self, message: str) -> str | None:
        if message.startswith(_TRACK_FAILURES):
            return "standard output" if self.track is None else self.track.final
        if message.startswith(_SIZES_FAILURES) and self.sizes is not None:
            return self.sizes.final
        if message.startswith(("Error reading record", "called `Result::unwrap()`")):
            return describe(self.source)
        return None


def gc_track(source: str | os.PathLike[str], output: str | os.PathLike[str], *, window: int = 100,
             omit_tail: bool = False, chrom_sizes: str | os.PathLike[str] | None = None, level: int = 6,
             gzip: bool | None = None, verbose: bool = False) -> None:
    """Writes the G/C percentage of consecutive windows of every record of
    `source` as a variableStep wiggle track.

    `source`: FASTA, plain or gzip (multi-member and BGZF included, told by
    content), or "-" for standard input. `output`: the track, gzip when its
    name ends in .gz; "-" for standard output, plain unless `gzip` is true
    (None: gzip when standard output is a file named *.gz). `chrom_sizes`:
    also write a chrom.sizes file there. `level`: gzip level of a gzip
    track. `verbose`: the module's progress messages on standard error.

    The track and the chrom.sizes file appear under their names only when
    complete; on any failure neither is left behind, and files of those
    names are untouched. A failure raises SeqtallyError; an output that
    names the input, or the other output, is refused before anything is
    written. Standard output closed by its reader raises BrokenPipeError.
    """
    job = GcJob.prepare(os.fspath(source), os.fspath(output), window=window, omit_tail=omit_tail,
                        chrom_sizes=None if chrom_sizes is None else os.fspath(chrom_sizes), level=level,
                        gzip=gzip, verbose=verbose)
    try:
        job.run()
        job.commit()
    except BaseException:
        job.discard()
        raise

