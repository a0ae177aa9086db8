"""G/C as the field counts it (--count acgt) and GC skew (--skew): every
track format against bedtools nuc's base counts of the same windows (made
into values here with exact decimals); the options at their edges; the
hint on soft-masked input."""
import random
import subprocess
from decimal import ROUND_HALF_UP, Decimal
from fractions import Fraction

import numpy as np
import pyBigWig
import pytest

import seqtally_tools
from conftest import cli, lambda_phage


def soft_masked():
    """Records of uppercase, lowercase and N runs (and a few other letters),
    lengths that leave clipped last windows."""
    rng = random.Random(20)
    records = []
    for number, length in enumerate((5_003, 12_345, 777, 64, 2_999)):
        sequence = bytearray()
        while len(sequence) < length:
            kind = rng.choice((b"ACGT", b"acgt", b"N", b"n", b"ACGTRYacgtn", b"GGCCA"))
            sequence += bytes(rng.choices(kind, k=rng.choice((1, 37, 99, 100, 250, 1000))))
        records.append(b">r%d masked\n" % number + b"\n".join(sequence[i:i + 60] for i in range(0, length, 60)) + b"\n")
    records.append(b">lower\n" + bytes(rng.choices(b"acgtn", k=1_001)) + b"\n")
    return b"".join(records)


INPUTS = {"lambda phage": lambda_phage, "soft-masked with N runs": soft_masked}


def text_of(value):
    """A decimal as the tracks print it: no trailing zeros, never "-0"."""
    if value == 0:
        return "0"
    text = str(value)
    return text.rstrip("0").rstrip(".") if "." in text else text


def acgt_text(gc, acgt, bases, min_acgt):
    if acgt == 0 or Fraction(acgt, bases) < min_acgt:
        return None
    return text_of((Decimal(100 * gc) / Decimal(acgt)).quantize(Decimal("0.1"), ROUND_HALF_UP))


def skew_text(g, c):
    if g + c == 0:
        return None
    return text_of((Decimal(g - c) / Decimal(g + c)).quantize(Decimal("0.0001"), ROUND_HALF_UP))


def expected(path, sizes, window, mode, omit_tail):
    """(name, start, end, text) of every window that has a value, from
    bedtools nuc's base counts in the windows of bedtools makewindows."""
    windows = subprocess.run(["bedtools", "makewindows", "-g", sizes, "-w", str(window)], check=True,
                             capture_output=True).stdout
    nuc = subprocess.run(["bedtools", "nuc", "-fi", path, "-bed", "-"], input=windows, check=True,
                         capture_output=True).stdout.decode()
    found = []
    for row in nuc.splitlines()[1:]:
        name, start, end, _, _, a, c, g, t, _, _, length = row.split("\t")
        a, c, g, t, length = map(int, (a, c, g, t, length))
        text = skew_text(g, c) if mode == "skew" else acgt_text(g + c, a + c + g + t, length, Fraction(1, 4))
        if text is not None and (length == window or not omit_tail):
            found.append((name, int(start), int(end), text))
    return found


def read_wiggle(text, lengths):
    found, name, span = [], None, None
    for line in text.splitlines()[1:]:
        if line.startswith("variableStep"):
            name, span = line.split("chrom=")[1].split(" span=")
            continue
        position, value = line.split("\t")
        start = int(position) - 1
        found.append((name, start, min(start + int(span), lengths[name]), value))
    return found


def read_bedgraph(text):
    return [(n, int(s), int(e), v) for n, s, e, v in (line.split("\t") for line in text.splitlines())]


def read_bigwig(path):
    with pyBigWig.open(str(path)) as track:
        return [(name, s, e, v) for name, length in track.chroms().items() if length
                for s, e, v in track.intervals(name) or ()]


@pytest.mark.parametrize("source", INPUTS)
@pytest.mark.parametrize("mode", ["acgt", "skew"])
# Window 1 leaves gaps between short runs, which bigWig takes as positioned entries.
@pytest.mark.parametrize("window, omit_tail", [(100, False), (37, True), (1000, False), (1, False)])
def test_every_format_gives_what_bedtools_nuc_counts(tmp_path, source, mode, window, omit_tail):
    path, sizes = tmp_path / "in.fa", tmp_path / "sizes"
    path.write_bytes(INPUTS[source]())
    options = (["--skew"] if mode == "skew" else ["--count", "acgt"]) + (["--omit-tail"] if omit_tail else [])
    for name in ("t.wig", "t.bedGraph", "t.bw"):
        out = cli("gc", path, tmp_path / name, "--window", window, "-q", "--chrom-sizes", sizes, *options)
        assert out.returncode == 0 and out.stderr == b"", out.stderr
    lengths = {name: int(length) for name, length in (line.split("\t") for line in sizes.read_text().splitlines())}
    want = expected(path, sizes, window, mode, omit_tail)
    if source != "lambda phage":  # windows with values and gaps both
        assert 0 < len(want) < sum(-(-length // window) for length in lengths.values())
    assert read_wiggle((tmp_path / "t.wig").read_text(), lengths) == want
    assert read_bedgraph((tmp_path / "t.bedGraph").read_text()) == want
    bigwig = read_bigwig(tmp_path / "t.bw")
    assert [row[:3] for row in bigwig] == [row[:3] for row in want]
    assert np.allclose([row[3] for row in bigwig], [float(row[3]) for row in want], rtol=1e-6, atol=1e-7)


# The options at their edges (the arithmetic's are the C++ tests'): content,
# window, arguments, bedGraph lines.
EDGES = [
    ("a window of all N", b"NNNNACGT", 4, ["--count", "acgt"], ["r\t4\t8\t50"]),
    ("a share above the mark", b"NNNNNNGCNNNNNNNA", 8, ["--count", "acgt", "--min-acgt", "0.26"], []),
    ("no share needed", b"NNNNNNGCNNNNNNNA", 8, ["--count", "acgt", "--min-acgt", "0"],
     ["r\t0\t8\t100", "r\t8\t16\t0"]),
    ("the tail judged at its clipped length", b"AAAAAAAAGNN", 8, ["--count", "acgt"],
     ["r\t0\t8\t0", "r\t8\t11\t100"]),
    ("the tail omitted", b"AAAAAAAAGNN", 8, ["--count", "acgt", "--omit-tail"], ["r\t0\t8\t0"]),
    ("G+C = 0 has no skew", b"AATTggcaNN", 4, ["--skew"], ["r\t4\t8\t0.3333"]),
]


@pytest.mark.parametrize("label, sequence, window, arguments, lines", EDGES, ids=[e[0] for e in EDGES])
def test_edge_cases(fasta, label, sequence, window, arguments, lines):
    out = cli("gc", fasta(b">r\n" + sequence + b"\n"), "-", "--format", "bedgraph", "--window", window, "-q",
              *arguments)
    assert (out.returncode, out.stdout.decode().splitlines()) == (0, lines)


HINT = b"--count acgt counts G and C in either case"


@pytest.mark.parametrize("lowercase, arguments, output, hinted", [
    (10, [], "t.wig", True),
    (10, [], "t.bw", True),
    (9, [], "t.wig", False),
    (10, ["-q"], "t.wig", False),
    (10, ["--count", "acgt"], "t.wig", False),
    (10, ["--skew"], "t.bw", False),
])
def test_a_hint_on_soft_masked_input(tmp_path, fasta, lowercase, arguments, output, hinted):
    # Two records, the lowercase in the second: the share is the input's.
    path = fasta(b">a\n" + b"A" * 50 + b"\n>b\n" + b"c" * lowercase + b"G" * (50 - lowercase) + b"\n")
    out = cli("gc", path, tmp_path / output, *arguments)
    assert out.returncode == 0
    assert out.stderr.count(b"seqtally: hint:") == out.stderr.count(HINT) == hinted, out.stderr
    summary = seqtally_tools.gc_track(path, tmp_path / output, count=arguments[1] if "--count" in arguments else None,
                                      skew="--skew" in arguments)
    assert summary == seqtally_tools.GcSummary(100, lowercase)


def test_arguments_that_would_be_ignored_or_are_out_of_range(tmp_path, fasta):
    path = fasta(b">r\nACGT\n")
    for arguments, message in (
            ({"count": "ACGT"}, "count must be one of upper, acgt, not 'ACGT'"),
            ({"count": "acgt", "min_acgt": float("nan")}, "min_acgt must be a number from 0 to 1, not nan"),
            ({"count": "acgt", "skew": True}, "skew counts G and C in either case by itself"),
            ({"min_acgt": 0.5}, "min_acgt applies only to count='acgt'"),
            ({"format": "bam", "output": "t.bw"}, "format must be one of wig, bedgraph, bigwig, not 'bam'"),
            ({"level": 10, "output": "t.wig.gz"}, "level must be from 0 to 9, or -1 for the default, not 10")):
        with pytest.raises(ValueError, match=message):
            seqtally_tools.gc_track(path, tmp_path / arguments.pop("output", "t.wig"), **arguments)
    # The command says what the library would, before it reads anything.
    for arguments, message in ((["--skew", "--count", "upper"], b"count does not apply"),
                               (["--count", "acgt", "--min-acgt", "-0.1"], b"from 0 to 1, not -0.1")):
        out = cli("gc", path, tmp_path / "t.wig", *arguments)
        assert out.returncode == 2 and message in out.stderr, out.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.rsplit("/", 1)[1]]
