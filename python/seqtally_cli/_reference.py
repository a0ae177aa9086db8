"""dict, index and fetch: reference files as samtools and Picard write
them, and regions as samtools faidx prints them."""
from __future__ import annotations

import argparse
import errno
import os
import sys

from seqtally_tools import (
    FastaFile,
    Progress,
    RegionError,
    SeqtallyError,
    UnknownSequence,
    atomic_output,
    index,
    reference_base,
    sequence_dictionary,
)

from ._work import Bar, Commands, emit, encode, in_a_thread, note, quiet_argument, sizes_of


def _run_dict(options: argparse.Namespace) -> int:
    source = options.input
    # The input's name with its FASTA and gzip extensions replaced by .dict.
    output = options.output or ("-" if source == "-" else reference_base(source) + ".dict")
    if output != "-" and os.path.lexists(output) and not options.force:
        raise SeqtallyError("exists already; --force replaces it", output)

    def work(progress: Progress, bar: Bar) -> int:
        made = sequence_dictionary(source, uri=options.uri, assembly=options.assembly, species=options.species,
                                   progress=progress)
        for said in made.notes:
            note(said)
        if output == "-":
            emit(encode(made.text))
        else:
            with atomic_output(output) as written:
                written.write(encode(made.text))
        return 0

    return in_a_thread(work, sizes_of([source]), options.quiet)


def _run_index(options: argparse.Namespace) -> int:
    def work(progress: Progress, bar: Bar) -> int:
        try:
            done = index(options.input, force=options.force, progress=progress)
        except SeqtallyError as error:
            if error.errno == errno.EEXIST:
                error.hint = "--force replaces it"
            raise
        for said in done.notes:
            note(said)
        return 0

    return in_a_thread(work, sizes_of([options.input]), options.quiet)


def _run_fetch(options: argparse.Namespace) -> int:
    """What samtools faidx prints for each region; a region that fails is
    said on standard error, and the others are still printed."""
    status = 0
    with FastaFile(options.input) as fasta:
        for region in options.regions:
            try:
                reference, start, end = fasta.parse_region(region)
                length = fasta.get_reference_length(reference)
            except (UnknownSequence, RegionError) as error:
                sys.stderr.write(f"seqtally: error: {options.input}: {region}: {error.reason}\n")
                status = 1
                continue
            emit(encode(f">{region}\n"))
            for lines in fasta.wrapped(reference, start, end):
                emit(encode(lines))
            if (start or 0) >= length:
                note(f"{region}: starts after the end of {reference} ({length} bases): no bases")
            elif end is not None and end > length:
                note(f"{region}: cut at the end of {reference} ({length} bases)")
    return status


def register(commands: Commands) -> None:
    dict_command = commands.add_parser(
        "dict",
        help="sequence dictionary (SAM header), as samtools dict and Picard write it",
        description="Writes @HD and one @SQ line per record (SN, LN, M5, UR; AS and SP when given) to the input's "
        "name with its FASTA and gzip extensions replaced by .dict, or to -o.")
    dict_command.add_argument("input", metavar="FILE", help="FASTA file, plain or gzip; - for standard input")
    dict_command.add_argument("-o", "--output", metavar="OUT", help="where to write it; - for standard output")
    dict_command.add_argument("--uri", help="UR of every @SQ line (default: file: URL of the input's absolute path)")
    dict_command.add_argument("--assembly", help="AS of every @SQ line")
    dict_command.add_argument("--species", help="SP of every @SQ line")
    dict_command.add_argument("--force", action="store_true", help="replace an existing output file")
    quiet_argument(dict_command)
    dict_command.set_defaults(run=_run_dict)

    index_command = commands.add_parser(
        "index",
        help="FASTA index, BGZF index, dictionary, chrom.sizes and seqcol in one read",
        description="Reads FASTA once and writes beside it FASTA.fai (and FASTA.gzi for BGZF), as samtools faidx "
        "writes them, and BASE.dict, BASE.chrom.sizes and BASE.seqcol.json, BASE being its name without FASTA "
        "and gzip extensions. Plain gzip gets no .fai or .gzi (it cannot be read at random). Files appear only "
        "complete; existing ones are replaced only with --force.")
    index_command.add_argument("input", metavar="FASTA", help="FASTA file: plain, BGZF or gzip")
    index_command.add_argument("--force", action="store_true", help="replace existing files")
    quiet_argument(index_command)
    index_command.set_defaults(run=_run_index)

    fetch_command = commands.add_parser(
        "fetch",
        help="bases of regions, as samtools faidx prints them",
        description="Prints each REGION (NAME, NAME:BEGIN-END, NAME:BEGIN, 1-based and inclusive; {NAME}:... for "
        "names with colons) as >REGION and its bases 60 a line. Reads FASTA.fai and FASTA.gzi when present, "
        "otherwise indexes the file in memory. A region that fails is said on standard error, the others are "
        "still printed, and the exit status is 1.")
    fetch_command.add_argument("input", metavar="FASTA", help="FASTA file: plain or BGZF")
    fetch_command.add_argument("regions", nargs="+", metavar="REGION", help="regions to print")
    fetch_command.set_defaults(run=_run_fetch)
