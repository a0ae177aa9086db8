"""aliases: the records of several references matched by content, as a
chromAlias table, with what does not match said on standard error."""
from __future__ import annotations

import argparse

from seqtally_tools import Progress, aliases, atomic_output

from ._work import Bar, Commands, UsageError, emit, encode, in_a_thread, note, quiet_argument, sizes_of


def _run_aliases(options: argparse.Namespace) -> int:
    if options.label and len(options.label) != len(options.inputs):
        raise UsageError(f"{len(options.label)} --label for {len(options.inputs)} inputs: give one per input")
    if options.inputs.count("-") > 1:
        raise UsageError("standard input can be read only once")

    def work(progress: Progress, bar: Bar) -> int:
        table = aliases(options.inputs, labels=options.label or None, progress=progress)
        for only in table.only_in:
            note(f"only in {', '.join(only.present)}: {only.name} ({only.length} bases), not in {', '.join(only.absent)}")
        for clash in table.clashes:
            if clash.same_length:
                note(f"{clash.name}: the same name and length ({clash.length_a} bases) in {clash.label_a} and "
                     f"{clash.label_b}, but other content")
            else:
                note(f"{clash.name} names different sequences in {clash.label_a} ({clash.length_a} bases) and "
                     f"{clash.label_b} ({clash.length_b} bases)")
        if options.output in (None, "-"):
            emit(encode(table.text))
        else:
            with atomic_output(options.output) as written:
                written.write(encode(table.text))
        return 0

    return in_a_thread(work, sizes_of(options.inputs), options.quiet)


def register(commands: Commands) -> None:
    command = commands.add_parser(
        "aliases",
        help="contig names of several references matched by sequence content, as a chromAlias table",
        description="Matches the records of the inputs by sequence digest and prints a chromAlias table as UCSC "
        "writes it: a # line of the labels, then one tab-separated row per sequence in the first input's order "
        "(the sequences the first lacks after them), an empty field where an input lacks the sequence. Standard "
        "error says the sequences some inputs lack, names that two inputs give to different sequences, and "
        "names and lengths that agree while the content does not. An input may be FASTA (plain, gzip, BGZF), a "
        "sequence dictionary (.dict, matched by M5) or a saved level-2 seqcol JSON.")
    command.add_argument("inputs", nargs="+", metavar="INPUT", help="FASTA, .dict or seqcol JSON; two or more")
    command.add_argument("--label", action="append", metavar="NAME",
                         help="the name of each input's column, once per input (default: the file names)")
    command.add_argument("-o", "--output", metavar="OUT", help="write the table there (default: standard output)")
    quiet_argument(command)
    command.set_defaults(run=_run_aliases)
