"""dict, index and fetch: reference files as samtools and Picard write
them, and regions as samtools faidx prints them."""
from __future__ import annotations

import argparse
import errno
import os
import sys

from seqtally_tools import (
    FastaFile,
    IntervalNote,
    Progress,
    SeqtallyError,
    atomic_output,
    index,
    reference_base,
    sequence_dictionary,
    write_intervals,
    write_regions,
)

from ._work import Bar, Commands, UsageError, emit, encode, in_a_thread, note, quiet_argument, read_listing, sizes_of


def _run_dict(options: argparse.Namespace) -> int:
    source = options.input
    # The input's name with its FASTA and gzip extensions replaced by .dict.
    output = options.output or ("-" if source == "-" else reference_base(source) + ".dict")
    if output != "-" and os.path.lexists(output) and not options.force:
        raise SeqtallyError("exists already; --force replaces it", output)

    def work(progress: Progress, bar: Bar) -> int:
        made = sequence_dictionary(source, uri=options.uri, assembly=options.assembly, species=options.species,
                                   alias_from=options.alias_from, progress=progress)
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
    if options.level != -1 and options.bgzip is False:
        raise UsageError("--level goes with --bgzip")
    def work(progress: Progress, bar: Bar) -> int:
        try:
            done = index(options.input, force=options.force, progress=progress, bgzip=options.bgzip,
                         level=options.level)
        except SeqtallyError as error:
            if error.errno == errno.EEXIST:
                error.hint = "--force replaces it"
            raise
        for said in done.notes:
            note(said)
        return 0

    return in_a_thread(work, sizes_of([options.input]), options.quiet)


def _run_fetch(options: argparse.Namespace) -> int:
    """What samtools faidx prints for each region (-i: reverse complemented),
    or bedtools getfasta for a BED file; a region or interval that fails is
    said on standard error, the others are still printed, and the status
    is 1."""
    sources = [bool(options.regions), options.bed is not None, options.regions_file is not None]
    if sum(sources) != 1:
        raise UsageError("give regions, --regions FILE or --bed BED (one of them)")
    if options.bed is None and (options.strand or options.name or options.name_only or options.tab):
        raise UsageError("--strand, --name, --name-only and --tab go with --bed")
    if options.bed is not None and options.reverse_complement:
        raise UsageError("-i goes with regions; with --bed, --strand reverse complements the intervals on -")
    if options.name and options.name_only:
        raise UsageError("--name or --name-only, not both")

    def work(progress: Progress, bar: Bar) -> int:
        with FastaFile(options.input) as fasta:
            if options.bed is not None:
                header = "name" if options.name else "name_only" if options.name_only else "position"
                return interval_status(options.bed, write_intervals(fasta, options.bed, strand=options.strand,
                                                                    header=header, tab=options.tab,
                                                                    progress=progress))
            if options.regions_file is not None:
                regions = _region_lines(options.regions_file)
                where = [f"{options.regions_file}: line {number}: " for number in range(1, len(regions) + 1)]
            else:
                regions = options.regions
                where = [f"{options.input}: "] * len(regions)
            status = 0
            for said in write_regions(fasta, regions, reverse_complement=options.reverse_complement,
                                      progress=progress):
                if said.printed:
                    note(f"{said.region}: {said.text}")
                else:
                    sys.stderr.write(f"seqtally: error: {where[said.number]}{said.region}: {said.text}\n")
                    status = 1
            return status

    return in_a_thread(work, [], True)


def _region_lines(path: str) -> list[str]:
    """The lines of a region file as samtools faidx -r reads them (a CR
    before the line end dropped)."""
    lines = read_listing(path, "the regions").split(b"\n")
    if lines and not lines[-1]:
        lines.pop()
    return [line.removesuffix(b"\r").decode("utf-8", "surrogateescape") for line in lines]


def interval_status(bed: str, notes: list[IntervalNote]) -> int:
    """Says each interval a BED command left out (an empty one as a note,
    as bedtools skips it; the others as errors, which bedtools would pass
    over) and gives the exit status."""
    status = 0
    label = "standard input" if bed == "-" else bed
    for said in notes:
        if said.fault == "empty":
            note(f"{label}: line {said.line}: {said.text}")
        else:
            sys.stderr.write(f"seqtally: error: {label}: line {said.line}: {said.text}\n")
            status = 1
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
    dict_command.add_argument("--alias-from", metavar="REF",
                              help="AN tags (alternative names) from another reference: the names it gives the same "
                              "sequences (FASTA, .dict or seqcol JSON; matched by digest, as seqtally aliases)")
    dict_command.add_argument("--force", action="store_true", help="replace an existing output file")
    quiet_argument(dict_command)
    dict_command.set_defaults(run=_run_dict)

    index_command = commands.add_parser(
        "index",
        help="FASTA index, BGZF index, dictionary, chrom.sizes and seqcol in one read",
        description="Reads FASTA once and writes beside it FASTA.fai (and FASTA.gzi for BGZF), as samtools faidx "
        "writes them, and BASE.dict, BASE.chrom.sizes and BASE.seqcol.json, BASE being its name without FASTA "
        "and gzip extensions. Plain gzip gets no .fai or .gzi (it cannot be read at random). With --bgzip, the "
        "same read writes a BGZF copy (as bgzip does, on every core) and the files are named after the copy; "
        "without OUTPUT the copy is BASE.fa.gz beside the input, replacing a gzip input of that name once "
        "everything is complete. Files appear only complete; existing ones are replaced only with --force.")
    index_command.add_argument("input", metavar="FASTA",
                               help="FASTA file: plain, BGZF or gzip; - for standard input (with --bgzip OUTPUT)")
    index_command.add_argument("--bgzip", nargs="?", const=True, default=False, metavar="OUTPUT",
                               help="also write a BGZF copy (default BASE.fa.gz) and index that; BGZF input is "
                               "indexed as it is")
    index_command.add_argument("--level", type=int, default=-1, choices=range(10), metavar="N",
                               help="compression level of the copy, 0 to 9, as bgzip -l (default 5: one step faster than "
                               "bgzip's 6, the copy a little larger)")
    index_command.add_argument("--force", action="store_true", help="replace existing files")
    quiet_argument(index_command)
    index_command.set_defaults(run=_run_index)

    fetch_command = commands.add_parser(
        "fetch",
        help="bases of regions, as samtools faidx prints them, or of BED intervals, as bedtools getfasta",
        description="Prints each REGION (NAME, NAME:BEGIN-END, NAME:BEGIN, 1-based and inclusive; {NAME}:... for "
        "names with colons), or each line of --regions FILE, as >REGION and its bases 60 a line, as samtools "
        "faidx does; or, with --bed, the intervals of a BED file as bedtools getfasta -fi FASTA -bed BED prints "
        "them (0-based, half-open; one line of bases each). Reads FASTA.fai and FASTA.gzi when present, "
        "otherwise indexes the file in memory. A region or interval that fails (an unknown sequence, past its "
        "end) is said on standard error naming it, the others are still printed, and the exit status is 1.")
    fetch_command.add_argument("input", metavar="FASTA", help="FASTA file: plain or BGZF")
    fetch_command.add_argument("regions", nargs="*", metavar="REGION", help="regions to print")
    fetch_command.add_argument("--regions", dest="regions_file", metavar="FILE",
                               help="a file of regions, one a line (samtools faidx -r); - for standard input")
    fetch_command.add_argument("-i", "--reverse-complement", action="store_true",
                               help="regions reverse complemented, their headers ending in /rc (samtools -i)")
    fetch_command.add_argument("--bed", metavar="BED", help="print these intervals as bedtools getfasta does "
                               "(BED3 to BED12; - for standard input)")
    fetch_command.add_argument("-s", "--strand", action="store_true",
                               help="with --bed: reverse complement intervals on -, and the strand in the header "
                               "(bedtools -s)")
    fetch_command.add_argument("--name", action="store_true",
                               help="with --bed: headers NAME::CHROM:START-END (bedtools -name)")
    fetch_command.add_argument("--name-only", action="store_true",
                               help="with --bed: headers NAME (bedtools -nameOnly)")
    fetch_command.add_argument("--tab", action="store_true",
                               help="with --bed: HEADER<TAB>BASES lines (bedtools -tab)")
    fetch_command.set_defaults(run=_run_fetch)
