"""store add, store alias and serve: a reference store filled in one read
per file, and the service (refget Sequences v2, seqcol v1.0) over it."""
from __future__ import annotations

import argparse
import os
import signal

from seqtally_tools import Progress, Store

from ._work import Bar, Commands, UsageError, emit, encode, in_a_thread, note, positive, quiet_argument, sizes_of


def _run_add(options: argparse.Namespace) -> int:
    if options.files.count("-") > 1:
        raise UsageError("standard input can be read only once")

    def work(progress: Progress, bar: Bar) -> int:
        marked: set[str] = set()
        with Store(options.store, database=options.database, create=True) as store:
            for added in store.add_files(options.files, circular=options.circular, jobs=options.jobs,
                                         progress=progress):
                bar.files_done += 1
                marked.update(added.circular)
                state = "added" if added.new else "already in the store"
                emit(encode(f"{added.digest}\t{added.records}\t{added.source}\t{state}\n"))
        unmarked = sorted(set(options.circular) - marked)
        if unmarked:
            note(f"no record named {', '.join(unmarked)}: nothing marked circular for it")
            return 1
        return 0

    return in_a_thread(work, sizes_of(options.files), options.quiet)


def _run_alias(options: argparse.Namespace) -> int:
    with Store(options.store, database=options.database) as store:
        added = store.alias(options.tsv)
    emit(encode(f"{added} aliases added\n"))
    return 0


def _run_serve(options: argparse.Namespace) -> int:
    import uvicorn

    from seqtally_tools.service import ENVIRONMENT

    # Opened once here, so that a wrong folder or database is said before
    # any worker starts.
    Store(options.store, database=options.database).close()
    os.environ[ENVIRONMENT["store"]] = os.path.abspath(options.store)
    os.environ[ENVIRONMENT["database"]] = options.database or ""
    os.environ[ENVIRONMENT["subsequence_limit"]] = str(options.subsequence_limit or "")
    # uvicorn answers the requests in flight on SIGTERM, then raises the
    # signal again for the handler it found: a clean stop is status 0.
    signal.signal(signal.SIGTERM, lambda *_: None)
    uvicorn.run("seqtally_tools.service:from_environment", factory=True, host=options.host, port=options.port,
                workers=options.workers, log_level="warning", access_log=False, timeout_graceful_shutdown=30)
    return 0


def port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535: {text}")
    return value


def _database_argument(command: argparse.ArgumentParser) -> None:
    command.add_argument("--database", metavar="URL",
                         help="postgresql://... to keep the tables in PostgreSQL (default: SQLite in STORE)")


def register(commands: Commands) -> None:
    store = commands.add_parser("store", help="a reference store: sequences by content, collections, aliases",
                                # A description is printed as written (argparse %-formats
                                # only help= texts, and a description naming %(prog)).
                                description="A folder of sequences by content, readable by samtools and htslib "
                                "as their reference cache (REF_CACHE=STORE/sequences/%2s/%2s/%s), and a database of "
                                "collections and aliases.")
    actions = store.add_subparsers(dest="action", required=True, metavar="ACTION")
    add = actions.add_parser("add", help="read FASTA files into the store, one read each",
                             description="Reads each FASTA file (plain, gzip or BGZF; - for standard input) once: "
                             "its sequences go into the store's folder, its collection (every seqcol v1.0 attribute) "
                             "and records into the database, a file completely or not at all. Prints per file the "
                             "seqcol digest, the record count, the file and whether it was new.")
    add.add_argument("store", metavar="STORE", help="the store's folder (created when missing)")
    add.add_argument("files", nargs="+", metavar="FASTA")
    add.add_argument("--circular", action="append", default=[], metavar="NAME",
                     help="mark the record NAME circular (may be repeated)")
    add.add_argument("--jobs", "-j", type=positive, default=1, metavar="N",
                     help="files read at once (default 1); output stays in input order")
    _database_argument(add)
    quiet_argument(add)
    add.set_defaults(run=_run_add)

    alias = actions.add_parser("alias", help="add aliases (such as INSDC accessions) from a TSV file",
                               description="Per line: a sequence (its MD5, SQ. digest, or a record's name in the "
                               "store), a naming authority and an alias, separated by tabs; # starts a comment.")
    alias.add_argument("store", metavar="STORE")
    alias.add_argument("tsv", metavar="TSV")
    _database_argument(alias)
    alias.set_defaults(run=_run_alias)

    serve = commands.add_parser("serve", help="serve a store: refget Sequences v2 and seqcol v1.0 over HTTP",
                                description="Serves the store read-only: refget Sequences v2.0.0 under /sequence, "
                                "seqcol v1.0.0, a page for people at /, and /openapi.json.")
    serve.add_argument("store", metavar="STORE")
    serve.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=port, default=8000, help="default 8000")
    serve.add_argument("--workers", type=positive, default=1, metavar="N", help="worker processes (default 1)")
    serve.add_argument("--subsequence-limit", type=positive, metavar="BASES",
                       help="the most bases one start/end or Range request may ask for (default: no limit)")
    _database_argument(serve)
    serve.set_defaults(run=_run_serve)

