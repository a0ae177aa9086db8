"""The `seqtally-commands` directive: the command reference, made from the
command's own argparse parser, so that every command and option the
command accepts is in the site and says what `--help` says.

Each command (`store add` included) becomes a section labelled
`command-NAME` (`command-store-add`), with its usage, its description and
its arguments; a command with subcommands lists them and is followed by
theirs."""
from __future__ import annotations

import argparse

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

from command_walk import commands, full_parser, label


def _help(parser: argparse.ArgumentParser, action: argparse.Action) -> str:
    formatter = parser._get_formatter()
    return formatter._expand_help(action) if action.help else ""


def _invocation(parser: argparse.ArgumentParser, action: argparse.Action) -> str:
    return parser._get_formatter()._format_action_invocation(action)


class CommandReference(SphinxDirective):
    has_content = False

    def run(self) -> list[nodes.Node]:
        top = full_parser()
        sections: list[nodes.Node] = [self._usage(top), self._arguments(top)]
        for path, parser, summary in commands(top):
            sections.append(self._section(path, parser, summary))
        return sections

    def _section(self, path: tuple[str, ...], parser: argparse.ArgumentParser, summary: str) -> nodes.section:
        name = label(path)
        section = nodes.section(ids=[name], names=[name])
        section += nodes.title(text="seqtally " + " ".join(path))
        self.state.document.note_explicit_target(section)
        if summary:
            section += nodes.paragraph(text=summary[:1].upper() + summary[1:] + ".")
        section += self._usage(parser)
        if parser.description:
            section += nodes.paragraph(text=parser.description)
        section += self._arguments(parser)
        return section

    @staticmethod
    def _usage(parser: argparse.ArgumentParser) -> nodes.literal_block:
        # argparse indents the lines after the first under "usage: ", which goes.
        lines = parser.format_usage().rstrip().splitlines()
        return nodes.literal_block(text="\n".join(line[len("usage: "):] for line in lines), language="none")

    def _arguments(self, parser: argparse.ArgumentParser) -> nodes.definition_list:
        listed = nodes.definition_list()
        for action in parser._actions:
            if action.help == argparse.SUPPRESS:
                continue
            if isinstance(action, argparse._SubParsersAction):
                term = action.metavar or "{" + ",".join(action.choices) + "}"
                text = "one of: " + ", ".join(action.choices)
            else:
                term, text = _invocation(parser, action), _help(parser, action)
            item = nodes.definition_list_item()
            item += nodes.term("", "", nodes.literal(text=term))
            definition = nodes.definition()
            if text:
                definition += nodes.paragraph(text=text)
            item += definition
            listed += item
        return listed


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("seqtally-commands", CommandReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
