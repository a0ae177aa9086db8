"""Every command of the `seqtally` command, walked from its own argparse
parser: what the site's command reference is made of, and what the tests
check the site against. Needs argparse and seqtally_cli only."""
from __future__ import annotations

import argparse
from collections.abc import Iterator


def full_parser() -> argparse.ArgumentParser:
    """The parser with every command built: a run builds only the parser of
    the command it names, and an empty argument list names none."""
    from seqtally_cli import _parser

    return _parser([])


def commands(parser: argparse.ArgumentParser, path: tuple[str, ...] = ()) -> Iterator[
        tuple[tuple[str, ...], argparse.ArgumentParser, str]]:
    """(words after `seqtally`, parser, one-line help) of every command and
    subcommand, in the order `--help` lists them."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {choice.dest: choice.help or "" for choice in action._choices_actions}
            for name, command in action.choices.items():
                yield (*path, name), command, helps.get(name, "")
                yield from commands(command, (*path, name))


def label(path: tuple[str, ...]) -> str:
    return "command-" + "-".join(path)
