"""The seqtally command: argument parsing, output formats and exit statuses.
The work is done by seqtally_tools in a thread of its own, while the main
thread shows the progress bar and takes Ctrl-C. Each command lives in the
module of its family and registers its own options.

Exit status: 0 done, 1 a failure (one line on standard error), 2 a usage
error, 130 Ctrl-C, 141 standard output closed by its reader.
"""
from __future__ import annotations

import argparse
import os
import signal
import sys
import warnings
from collections.abc import Callable, Sequence
from types import FrameType
from typing import Any

from seqtally_tools import SeqtallyError, checksum

from . import _aliases, _collections, _identify, _intervals, _reference, _service, _stats, _tracks
from ._work import INTERRUPTED, PIPE_CLOSED, UsageError, fail, library_notes

__all__ = ["main", "checksum_records", "SeqtallyError"]

# Each family of commands, in the order `seqtally --help` lists them.
_FAMILIES = (_collections, _reference, _intervals, _aliases, _identify, _tracks, _stats, _service)


def checksum_records(path: str) -> list[dict[str, Any]]:
    """Deprecated: use seqtally_tools.checksum, which returns
    SequenceChecksum records. This gives the same values as dictionaries
    with the keys file, id, length, sha512t24u and md5."""
    warnings.warn("seqtally_cli.checksum_records is deprecated; use seqtally_tools.checksum",
                  DeprecationWarning, stacklevel=2)
    return [{"file": path, **record._asdict()} for record in checksum(path)]


class _Version(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        from seqtally_tools import __version__

        print(f"{parser.prog} {__version__}")
        parser.exit()


class _CommandParser(argparse.ArgumentParser):
    """A command's parser: it refuses what it does not know itself, so that
    the usage printed is the command's, not the top level's, and it leaves
    itself in the options for usage errors found later (the innermost
    command's parser wins: `store add`, not `store`)."""

    def parse_known_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                         namespace: argparse.Namespace | None = None) -> tuple[argparse.Namespace, list[str]]:
        options, unknown = super().parse_known_args(args, namespace)
        if unknown:
            self.error(f"unrecognized arguments: {' '.join(unknown)}")
        if getattr(options, "command_parser", None) is None:
            options.command_parser = self
        return options, unknown


class _Skipped:
    """Stands for a command's parser that this run does not need: whatever
    its family's register() calls on it does nothing."""

    def __getattr__(self, _: str) -> Callable[..., _Skipped]:
        return lambda *_, **__: self


class _OnlyCommand:
    """The subparsers action, passing on only the command named (every one
    when `name` is None)."""

    def __init__(self, commands: Any, name: str | None) -> None:
        self.commands = commands
        self.name = name
        self.found = False

    def add_parser(self, name: str, **options: Any) -> Any:
        if self.name is not None and name != self.name:
            return _Skipped()
        self.found = True
        return self.commands.add_parser(name, **options)


def _parser(argv: Sequence[str] | None = None) -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="seqtally", description="Checksums, sequence collections, sequence "
                                  "dictionaries, G/C content tracks and statistics of FASTA files.")
    top.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_CommandParser)
    # Python 3.12's argparse makes a help formatter for every option it is
    # given: the parsers of all the commands cost each run 15 ms, more than
    # some commands' work. A run that names its command first builds only
    # that one; any other (help, a version, a misspelt command) builds all.
    args = sys.argv[1:] if argv is None else list(argv)
    only = _OnlyCommand(commands, args[0] if args else None)
    for family in _FAMILIES:
        family.register(only)
    if not only.found:  # not a command's name: nothing was built
        everything = _OnlyCommand(commands, None)
        for family in _FAMILIES:
            family.register(everything)
    return top


def _terminate(signum: int, _: FrameType | None) -> None:
    # Like Ctrl-C: the work is cancelled, and temporary files go.
    raise SystemExit(128 + signum)


def main(argv: Sequence[str] | None = None) -> int:
    options = _parser(argv).parse_args(argv)
    library_notes()
    previous: Callable[..., Any] | int | None = signal.signal(signal.SIGTERM, _terminate)
    try:
        return int(options.run(options))
    except UsageError as error:
        options.command_parser.error(str(error))
    except SeqtallyError as error:
        return INTERRUPTED if error.kind == "cancelled" else fail(error)
    except KeyboardInterrupt:
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`seqtally checksum ... | head`): end quietly,
        # with the status a process killed by SIGPIPE would have.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return PIPE_CLOSED
    except MemoryError:
        return fail(SeqtallyError("out of memory", hint="the largest record, or all of a bigWig track's values, "
                                  "must fit in the memory this process may use"))
    except OSError as error:
        path = None if error.filename is None else os.fsdecode(error.filename)
        return fail(SeqtallyError(error.strerror or str(error), path, kind="os", errno=error.errno))
    except Exception as error:  # noqa: BLE001 - one line, never a traceback, whatever went wrong
        # The library's argument errors land here too: the command passed on
        # a value that it should have refused as a usage error.
        return fail(SeqtallyError(f"{type(error).__name__}: {error}",
                                  hint="a fault of seqtally, not of its input: please report it"))
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 2  # not reached: parser.error exits
