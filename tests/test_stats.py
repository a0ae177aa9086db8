"""seqtally stats against seqkit stats (Debian's) where both report a
number, and against counts made here with numpy and regular expressions
for the rest: per record bases, CpG, gaps, and the gaps' and lowercase
runs' BED, on awkward inputs."""
import gzip
import json
import random
import re
import subprocess

import numpy as np
import pytest

from conftest import EXAMPLES, bgzf, cli, raised, written
from seqtally_tools import stats

IUPAC = b"RYSWKMBDHVryswkmbdhv"


def records_of(data):
    """(name, sequence) per record, parsed here: the header's first word,
    the lines joined without their LF or CRLF."""
    found = []
    for chunk in data.split(b">")[1:]:
        header, _, body = chunk.partition(b"\n")
        words = header.rstrip(b"\r").split()
        found.append((words[0].decode() if words else "", b"".join(line.removesuffix(b"\r")
                                                                     for line in body.split(b"\n"))))
    return found


def counted(sequence, min_gap):
    folded = np.frombuffer(sequence, dtype=np.uint8) | 0x20
    row = {key: int(np.count_nonzero(folded == ord(key.lower()))) for key in "ACGTN"}
    row["iupac"] = sum(sequence.count(bytes([code])) for code in IUPAC)
    row["other"] = len(sequence) - sum(row.values())
    row["lowercase"] = len(re.findall(rb"[a-z]", sequence))
    row["cpg"] = len(re.findall(rb"[Cc][Gg]", sequence))
    gaps = [m.span() for m in re.finditer(rb"[Nn]+", sequence) if m.end() - m.start() >= min_gap]
    row.update(length=len(sequence), gaps=len(gaps), gap_length=sum(end - start for start, end in gaps))
    return row


def bed_of(data, pattern, min_gap=1):
    return "".join(f"{name}\t{m.start()}\t{m.end()}\n" for name, sequence in records_of(data)
                   for m in re.finditer(pattern, sequence) if m.end() - m.start() >= min_gap)


def wrapped(sequence, rng, crlf=False):
    out, at = [], 0
    while at < len(sequence):
        width = rng.choice((1, 15, 16, 17, 60, 63, 64, 65, 200))
        out.append(sequence[at:at + width])
        at += width
    return b"".join(line + (b"\r\n" if crlf else b"\n") for line in out)


def random_fasta(seed, records=40):
    rng = random.Random(seed)
    alphabet = b"ACGTACGTACGTacgtNnRYkmX-* "
    parts = []
    for i in range(records):
        pieces = [bytes(rng.choices(alphabet, k=rng.randrange(0, 300)))]
        if i % 3 == 0:  # long runs of N and of lowercase, over 64-byte edges, at either end too
            pieces = [b"N" * rng.randrange(1, 150), *pieces, b"acgt" * rng.randrange(1, 40), b"n" * rng.randrange(1, 90)]
        parts.append(b">r%d some words\n" % i + wrapped(b"".join(pieces), rng, crlf=i % 4 == 1))
    return b"".join(parts)


def long_record(seed):
    """Two records of 3 MB, read in parts as the reader gathers them: runs
    and CpG pairs across the parts' edges."""
    rng = random.Random(seed)
    pieces = [bytes(rng.choices(b"ACGTacgtN", k=1 << 14)) + b"N" * rng.randrange(0, 3000) +
              b"acg" * rng.randrange(0, 3000) for _ in range(180)]
    sequence = b"".join(pieces)
    return b"".join(b">long%d\n" % i + b"".join(sequence[at:at + 61] + b"\n" for at in range(0, len(sequence), 61))
                    for i in range(2))


AWKWARD = (b">empty\n>only_n\nNNNN\nNN\n>ends\nNAC\nGTn\n>masked\nACgt\nacGT\nTTaa\n>crlf\r\nACcg\r\nNNAA\r\n"
           b">cpg_across\nAC\nGT\n")
INPUTS = {
    "random": random_fasta(1),
    "long records": long_record(3),
    "awkward": AWKWARD,
    "tiny records": b"".join(b">t%d\n%s\n" % (i, b"ACGTNacgtn"[i % 10:][:i % 4]) for i in range(100_000)),
    "empty file": b"",
    "header only": b">only\n",
    "phix174": (EXAMPLES / "phix174.fa").read_bytes(),
}


def seqkit(path):
    out = subprocess.run(["seqkit", "stats", "-a", "-T", path], capture_output=True, text=True, check=True).stdout
    header, row = out.splitlines()[:2]
    return dict(zip(header.split("\t"), row.split("\t")))


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize("min_gap", [1, 3])
def test_counts_and_runs_agree_with_seqkit_and_a_count_made_here(tmp_path, name, min_gap):
    data = INPUTS[name]
    path = written(tmp_path / "in.fa", data)
    done = stats(path, min_gap=min_gap, gaps=tmp_path / "gaps.bed", masked=tmp_path / "masked.bed")
    expected = [counted(sequence, min_gap) for _, sequence in records_of(data)]
    assert list(done.detail.names) == [record_name for record_name, _ in records_of(data)]
    for key in ("length", "A", "C", "G", "T", "N", "iupac", "other", "lowercase", "cpg", "gaps", "gap_length"):
        column = getattr(done.detail, key.lower()).tolist()
        assert column == [row[key] for row in expected], key
        assert getattr(done, key.lower()) == sum(row[key] for row in expected), key
    assert (tmp_path / "gaps.bed").read_text() == bed_of(data, rb"[Nn]+", min_gap)
    assert (tmp_path / "masked.bed").read_text() == bed_of(data, rb"[a-z]+")
    assert done.effective_size == done.length - done.n

    theirs = seqkit(str(path))
    assert (done.records, done.length) == (int(theirs["num_seqs"]), int(theirs["sum_len"]))
    lengths = done.detail.length
    assert int(theirs["min_len"]) == (int(lengths.min()) if done.records else 0)
    assert int(theirs["max_len"]) == (int(lengths.max()) if done.records else 0)
    assert float(theirs["avg_len"]) == pytest.approx(done.length / done.records if done.records else 0, abs=0.05)
    assert int(theirs["N50"]) == done.nx[50][0]
    if done.length:  # seqkit's GC(%): G and C in either case over every byte
        assert float(theirs["GC(%)"]) == pytest.approx(100 * (done.g + done.c) / done.length, abs=0.005)


@pytest.mark.parametrize("lengths, nx, expected", [
    ([2, 1, 1, 0], 50, (2, 1)),   # reaching half exactly counts, as seqkit's N50
    ([2, 1, 1, 0], 90, (1, 3)),
    ([5, 3, 2], 51, (3, 2)),
    ([], 50, (0, 0)),
])
def test_nx_and_lx_take_the_first_length_reaching_the_share(fasta, lengths, nx, expected):
    done = stats(fasta(b"".join(b">r%d\n%s\n" % (i, b"A" * n) for i, n in enumerate(lengths))), nx=[nx])
    assert done.nx[nx] == expected
    assert done.aun == (sum(n * n for n in lengths) / sum(lengths) if lengths else 0)


@pytest.mark.parametrize("form", ["plain", "gzip", "bgzf", "stdin"])
def test_every_kind_of_input_gives_the_same_json(tmp_path, form):
    data = random_fasta(2)
    expected = stats(written(tmp_path / "in.fa", data)).as_dict()
    path = written(tmp_path / "in.fa.gz", {"plain": lambda d: d, "gzip": gzip.compress, "bgzf": bgzf,
                                          "stdin": lambda d: d}[form](data))
    run = cli("stats", "--json", "-q", "-" if form == "stdin" else path, input=data if form == "stdin" else None)
    assert run.returncode == 0, run.stderr
    [shown] = json.loads(run.stdout)
    assert {**shown, "file": None} == {**expected, "file": None}


def test_an_empty_file_gives_zeros_and_undefined_shares(fasta):
    path = fasta(b">only\n")
    [shown] = json.loads(cli("stats", "--json", "-q", path).stdout)
    assert (shown["records"], shown["length"], shown["n50"], shown["gc_upper"], shown["gc_acgt"]) == (1, 0, 0, None,
                                                                                                      None)
    header, row = cli("stats", "-q", path).stdout.decode().splitlines()
    assert dict(zip(header.split("\t"), row.split("\t")))["gc_acgt"] == "NA"


def test_effective_size_leaves_out_named_records_and_intervals(fasta, tmp_path):
    data = b">chr1\nNNACGTACGTNN\nACGT\n>chr1_alt\nACGT\n>chrEBV\nAAAA\n"
    # Overlapping intervals, one over N: 0-6 and 4-8 cover 8 bases, 2 of them N.
    bed = written(tmp_path / "x.bed", "chr1\t0\t6\nchr1\t4\t8\nchrEBV\t0\t1\n")
    done = stats(fasta(data), exclude=r"_alt$|EBV", exclude_bed=bed)
    assert done.effective_size == 12 - (8 - 2)
    assert done.detail.included.tolist() == [True, False, False]


@pytest.mark.parametrize("bed, line, fault", [
    ("chr1\t0\t4\n#\nchrZ\t0\t1\n", 3, "unknown-contig"),
    ("chr1\t0\t4\nchr1\tx\t9\n", 2, "not-bed"),
    ("chr1\t0\t4\nchr1\t0\t99\n", 2, "past-end"),
])
def test_exclude_bed_errors_name_the_line(fasta, tmp_path, bed, line, fault):
    path = written(tmp_path / "x.bed", bed)
    source = fasta(b">chr1\nACGTACGT\n")
    error = raised(lambda: stats(source, exclude_bed=path, gaps=tmp_path / "gaps.bed"))
    assert (error.line, error.fault, error.path) == (line, fault, str(path))
    assert not list(tmp_path.glob("gaps.bed*"))  # nothing left behind
    run = cli("stats", "-q", "--exclude-bed", path, source)
    assert run.returncode == 1 and f"line {line}" in run.stderr.decode()


@pytest.mark.parametrize("output", ["gaps", "masked"])
def test_a_full_disk_or_a_cancel_names_the_output_and_leaves_nothing(fasta, tmp_path, output):
    from seqtally_tools import Progress

    source = fasta(random_fasta(4))
    error = raised(lambda: stats(source, **{output: "/dev/full"}))
    assert (error.errno, error.path) == (28, "/dev/full")
    progress = Progress()
    progress.cancel()
    error = raised(lambda: stats(source, progress=progress, **{output: tmp_path / "runs.bed"}))
    assert error.kind == "cancelled"
    assert [path.name for path in tmp_path.iterdir()] == ["input0.fa"]


@pytest.mark.parametrize("args", [["--exclude", "("], ["--min-gap", "0"], ["--nx", "0"], ["--nx", "x"],
                                  ["--gaps", "g.bed", "second.fa"]])
def test_usage_errors_exit_2_before_reading(fasta, args):
    run = cli("stats", *args[:2], fasta(b">a\nAC\n"), *args[2:])
    assert run.returncode == 2 and b"error:" in run.stderr and b"Traceback" not in run.stderr
