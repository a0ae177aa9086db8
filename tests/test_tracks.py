"""bedGraph and bigWig tracks: read back with pyBigWig and bedtools, and
checked window by window against the module's own wiggle track."""
import gzip
import os
import subprocess

import pyBigWig
import pytest

import seqtally
import seqtally_tools
from conftest import cli, lambda_phage

MANY = b"".join(b">r%d\n%s\n" % (i, b"ACGTTGCAGG"[i % 7:] * (i % 13 + 1) + b"acgtN" * (i % 5)) for i in range(300))


def wiggle_intervals(fasta, window, omit_tail, tmp_path):
    """(name, start, end, value) per window, from the module's wiggle track
    and chrom.sizes: 0-based, the last window clipped at the record's end."""
    track, sizes = tmp_path / "ref.wig", tmp_path / "ref.sizes"
    seqtally.write_seqtally_to_file(str(fasta), str(track), 6, window, omit_tail, str(sizes), True, False)
    lengths = dict(line.split("\t") for line in sizes.read_text().splitlines())
    found, name = [], None
    for line in track.read_text().splitlines()[1:]:
        if line.startswith("variableStep"):
            name = line.split("chrom=")[1].rsplit(" span=", 1)[0]
            continue
        position, value = map(int, line.split("\t"))
        found.append((name, position - 1, min(position - 1 + window, int(lengths[name])), value))
    return found, [(name, int(length)) for name, length in (l.split("\t") for l in sizes.read_text().splitlines())]


def bigwig_intervals(path, chroms):
    track = pyBigWig.open(str(path))
    assert list(track.chroms().items()) == chroms
    found = [(name, s, e, int(v)) for name, length in chroms if length
             for s, e, v in (track.intervals(name) or ())]
    track.close()
    return found


def bedgraph_intervals(source):
    """(name, start, end, value) of a bedGraph file (gzip when named so) or text."""
    if not isinstance(source, bytes):
        source = gzip.decompress(source.read_bytes()) if source.suffix == ".gz" else source.read_bytes()
    lines = [line.split("\t") for line in source.decode().splitlines() if not line.startswith("track")]
    return [(n, int(s), int(e), int(v)) for n, s, e, v in lines]


@pytest.fixture(params=["lambda phage", "300 records"])
def genome(request, tmp_path):
    path = tmp_path / "genome.fa"
    path.write_bytes(lambda_phage() if request.param == "lambda phage" else MANY)
    return path


@pytest.mark.parametrize("window, omit_tail", [(100, False), (100, True), (37, False), (1000, False)])
def test_every_window_read_back_agrees_with_the_wiggle_track(genome, tmp_path, window, omit_tail):
    expected, chroms = wiggle_intervals(genome, window, omit_tail, tmp_path)
    tail = ["--omit-tail"] if omit_tail else []
    for name, read_back in (("t.bw", lambda p: bigwig_intervals(p, chroms)), ("t.bedGraph", bedgraph_intervals),
                            ("t.bg.gz", bedgraph_intervals)):
        out = cli("gc", genome, tmp_path / name, "--window", window, "-q", *tail)
        assert out.returncode == 0, out.stderr
        assert read_back(tmp_path / name) == expected, name
    assert all(end - start == window or (not omit_tail and end - start < window) for _, start, end, _ in expected)


@pytest.mark.parametrize("content, window, intervals", [
    (b">empty\n>short\nGGCA\n>long\nGCGCGCAT\n", 5, [("short", 0, 4, 75), ("long", 0, 5, 100), ("long", 5, 8, 33)]),
    (b">w\nGAC\n", 1, [("w", 0, 1, 100), ("w", 1, 2, 0), ("w", 2, 3, 100)]),
    (b">exact\nGGAATT\n", 3, [("exact", 0, 3, 66), ("exact", 3, 6, 0)]),
])
@pytest.mark.parametrize("compressed", [False, True])
def test_edge_cases(tmp_path, content, window, intervals, compressed):
    fasta = tmp_path / "in.fa"
    fasta.write_bytes(gzip.compress(content) if compressed else content)
    names = [line[1:].decode() for line in content.splitlines() if line.startswith(b">")]
    for name in ("t.bw", "t.bedgraph"):
        assert cli("gc", fasta, tmp_path / name, "--window", window, "-q").returncode == 0
    track = pyBigWig.open(str(tmp_path / "t.bw"))
    assert list(track.chroms()) == names  # an empty record too
    track.close()
    assert bedgraph_intervals(tmp_path / "t.bedgraph") == intervals
    omitted = cli("gc", fasta, "-", "--format", "bedgraph", "--window", window, "--omit-tail", "-q")
    assert bedgraph_intervals(omitted.stdout) == [i for i in intervals if i[2] - i[1] == window]


def test_duplicate_names_and_failures_leave_nothing(tmp_path):
    fasta = tmp_path / "dup.fa"
    fasta.write_bytes(b">a\nACGT\n>b\nGG\n>a\nTT\n")
    out = cli("gc", fasta, tmp_path / "t.bw", "--chrom-sizes", tmp_path / "t.sizes", "-q")
    assert (out.returncode, out.stderr.decode()) == (
        1, f"seqtally: error: {fasta}: records 1 and 3 are both named 'a': a bigWig track cannot hold two "
           "chromosomes of one name\n")
    assert cli("gc", fasta, tmp_path / "t.bedGraph", "-q").returncode == 0  # text can hold both
    bad = tmp_path / "bad.fa"
    bad.write_bytes(b">a\nACGT\n>\xff\nGG\n")
    (tmp_path / "old.bw").write_bytes(b"keep me")
    for name in ("old.bw", "new.bg.gz"):
        assert cli("gc", bad, tmp_path / name, "-q").returncode == 1
    assert (tmp_path / "old.bw").read_bytes() == b"keep me"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "dup.fa", "old.bw", "t.bedGraph"]
    with pytest.raises(seqtally_tools.SeqtallyError):
        seqtally_tools.gc_track(fasta, "-", format="bigwig")


def test_format_flag_overrides_the_name_and_the_library_agrees(tmp_path):
    fasta = tmp_path / "in.fa"
    fasta.write_bytes(MANY)
    assert cli("gc", fasta, tmp_path / "t.wig", "--format", "bigwig", "-q").returncode == 0
    assert pyBigWig.open(str(tmp_path / "t.wig")).isBigWig()
    seqtally_tools.gc_track(fasta, tmp_path / "lib.bedGraph", window=100, track_line=True)
    command = cli("gc", fasta, "-", "--format", "bedgraph", "--track-line", "-q").stdout
    assert (tmp_path / "lib.bedGraph").read_bytes() == command and command.startswith(b"track type=bedGraph\nr0\t0\t")


def test_a_stream_read_twice_is_kept_first(tmp_path):
    """bigWig needs the lengths before the values: a FIFO or standard input
    must not come back empty the second time."""
    fasta = tmp_path / "in.fa"
    fasta.write_bytes(MANY)
    expected, chroms = wiggle_intervals(fasta, 100, False, tmp_path)
    fifo = tmp_path / "stream"
    os.mkfifo(fifo)
    feeder = subprocess.Popen(["sh", "-c", f"gzip -c '{fasta}' > '{fifo}'"])
    assert cli("gc", fifo, tmp_path / "f.bw", "-q").returncode == 0 and feeder.wait() == 0
    assert bigwig_intervals(tmp_path / "f.bw", chroms) == expected
    assert cli("gc", "-", tmp_path / "s.bw", "-q", input=MANY).returncode == 0
    assert bigwig_intervals(tmp_path / "s.bw", chroms) == expected
