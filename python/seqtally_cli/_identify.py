"""identify: which stored or given reference each file's sequence list
belongs to, as TSV or JSON; with --header, the reference's contig lines
under the file's names."""
from __future__ import annotations

import argparse
import json
from seqtally_tools import Identified, Progress, Store, identify, repaired_header

from ._work import Bar, Commands, UsageError, emit, encode, in_a_thread, note, positive, quiet_argument

_COLUMNS = ("file", "relation", "digest", "shared", "only_in_file", "only_in_reference", "renamed", "conflicts")


def _as_rows(found: Identified) -> str:
    rows = []
    for m in found.matches:
        fields = (found.file, m.relation, m.digest, str(m.shared), str(len(m.only_in_file)),
                  str(len(m.only_in_reference)), ",".join(f"{a}={b}" for a, b in m.renamed),
                  ",".join(c.name for c in m.conflicts))
        rows.append("\t".join(fields) + "\n")
    return "".join(rows)


def _run_identify(options: argparse.Namespace) -> int:
    if options.header:
        if options.reference is None or len(options.files) != 1 or options.against:
            raise UsageError("--header takes one FILE and its reference from --reference (and --store for a digest)")
    elif options.reference:
        raise UsageError("--reference needs --header")
    elif (options.store is None) == (not options.against):
        raise UsageError("give --store STORE or --against REF...")
    if options.database and options.store is None:
        raise UsageError("--database needs --store")

    def work(progress: Progress, bar: Bar) -> int:
        store = Store(options.store, database=options.database) if options.store else None
        try:
            if options.header:
                emit(encode(repaired_header(options.files[0], options.reference, options.header, store=store)))
                return 0
            found = [identify(path, store if store is not None else options.against, limit=options.limit)
                     for path in options.files]
        finally:
            if store is not None:
                store.close()
        if options.json:
            # One line per file: a file's object is one grep away.
            objects = ",\n".join(json.dumps(f.as_dict(), ensure_ascii=False) for f in found)
            emit(encode(f"[\n{objects}\n]\n"))
        else:
            emit(encode("\t".join(_COLUMNS) + "\n" + "".join(_as_rows(f) for f in found)))
            for each in found:
                note(each.verdict)
        return 0

    return in_a_thread(work, [], options.quiet)


def register(commands: Commands) -> None:
    command = commands.add_parser(
        "identify",
        help="which reference a BAM, CRAM, VCF, BED, bigWig or index file was made against",
        description="Reads the sequences each file declares (SAM, BAM and CRAM headers, VCF and BCF headers, "
        "bigWig and bigBed chromosome lists, .fai, .dict, chrom.sizes, BED and bedGraph, FASTA, seqcol JSON) and "
        "relates them to the collections of a store, or to the references given, best first: identical, "
        "reordered, renamed (with the name map), compatible (intervals that fit), subset, superset, "
        "conflicting (a name given to another length or MD5) or none. TSV by default (the verdict of each file "
        "on standard error), --json for one object per file. With --header, prints the reference's contig "
        "lines under the file's names instead, ready for bcftools or samtools reheader.")
    command.add_argument("files", nargs="+", metavar="FILE")
    where = command.add_argument_group("references")
    where.add_argument("--store", metavar="STORE", help="match against the collections of this store")
    where.add_argument("--database", metavar="URL", help="the store's PostgreSQL database")
    where.add_argument("--against", nargs="+", metavar="REF", help="FASTA, .dict or seqcol JSON files instead")
    command.add_argument("--json", action="store_true", help="one JSON object per file, in an array")
    command.add_argument("--limit", type=positive, default=5, help="matches per file (default 5)")
    command.add_argument("--header", choices=("vcf", "sam"),
                         help="print ##contig (vcf) or @SQ (sam) lines of --reference under the file's names; "
                         "a header of that form is printed whole with those lines replaced")
    command.add_argument("--reference", metavar="DIGEST_OR_FILE",
                         help="the reference of --header: a collection of --store, or a FASTA, .dict or seqcol JSON")
    quiet_argument(command)
    command.set_defaults(run=_run_identify)
