"""Tracks read back by third-party readers, on a real genome (the lambda
phage of Debian's bowtie2-examples) and many small records: the module's
wiggle track read by bx-python against a count made here, and bedGraph and
bigWig (pyBigWig) window by window against that wiggle track."""
import gzip
import os
import struct
import subprocess

import pyBigWig
import pytest
from bx.wiggle import IntervalReader

import seqtally
import seqtally_tools
from conftest import cli, lambda_phage, written
from seqtally_tools import gc_track
from seqtally_tools._outputs import has_gz_extension

MANY = b"".join(b">r%d\n%s\n" % (i, b"ACGTTGCAGG"[i % 7:] * (i % 13 + 1) + b"acgtN" * (i % 5)) for i in range(300))


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def counted(fasta, window, omit_tail):
    """(name, start, end, percent) per window, counted here in the track's
    single-precision arithmetic: each step rounded to float32 (exact in
    double first, so rounding once gives the float32 result)."""
    found = []
    for chunk in fasta.read_bytes().split(b">")[1:]:
        header, _, body = chunk.partition(b"\n")
        bases = body.replace(b"\n", b"")
        for start in range(0, len(bases), window):
            piece = bases[start:start + window]
            if len(piece) == window or not omit_tail:
                gc = piece.count(b"G") + piece.count(b"C")
                found.append((header.split(b" ")[0].decode(), start, start + len(piece),
                              int(f32(f32(gc / len(piece)) * 100))))
    return found


def wiggle_intervals(fasta, window, omit_tail, tmp_path):
    """The module's wiggle track read by bx-python, the last window clipped
    at the record's end; and (name, length) per record from chrom.sizes."""
    track, sizes = tmp_path / "ref.wig", tmp_path / "ref.sizes"
    seqtally.write_seqtally_to_file(str(fasta), str(track), 6, window, omit_tail, str(sizes), True, False)
    chroms = [(name, int(length)) for name, length in (line.split("\t") for line in sizes.read_text().splitlines())]
    with open(track) as f:
        found = [(chrom, start, min(end, dict(chroms)[chrom]), int(value))
                 for chrom, start, end, _strand, value in IntervalReader(f)]
    return found, chroms


def bigwig_intervals(path, chroms):
    with pyBigWig.open(str(path)) as track:
        assert list(track.chroms().items()) == chroms
        return [(name, s, e, int(v)) for name, length in chroms if length for s, e, v in (track.intervals(name) or ())]


def bedgraph_intervals(path):
    """(name, start, end, value) of a bedGraph file, gzip when named so."""
    text = (gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()).decode()
    lines = [line.split("\t") for line in text.splitlines() if not line.startswith("track")]
    return [(n, int(s), int(e), int(v)) for n, s, e, v in lines]


@pytest.fixture(params=["lambda phage", "300 records"])
def genome(request, tmp_path):
    path = written(tmp_path / "genome.fa", lambda_phage() if request.param == "lambda phage" else MANY)
    return path


@pytest.mark.parametrize("window, omit_tail", [(100, False), (100, True), (37, False), (1000, False)])
def test_every_window_read_back_agrees_with_a_count_made_here(genome, tmp_path, window, omit_tail):
    expected, chroms = wiggle_intervals(genome, window, omit_tail, tmp_path)
    assert expected == counted(genome, window, omit_tail)
    tail = ["--omit-tail"] if omit_tail else []
    for name, read_back in (("t.bw", lambda p: bigwig_intervals(p, chroms)), ("t.bedGraph", bedgraph_intervals),
                            ("t.bg.gz", bedgraph_intervals)):
        out = cli("gc", genome, tmp_path / name, "--window", window, "-q", *tail)
        assert out.returncode == 0, out.stderr
        assert read_back(tmp_path / name) == expected, name


def test_duplicate_names_fail_only_a_bigwig_track(tmp_path):
    fasta = written(tmp_path / "dup.fa", b">a\nACGT\n>b\nGG\n>a\nTT\n")
    out = cli("gc", fasta, tmp_path / "t.bw", "--chrom-sizes", tmp_path / "t.sizes", "-q")
    assert (out.returncode, out.stderr.decode()) == (
        1, f"seqtally: error: {fasta}: records 1 and 3 are both named 'a': a bigWig track cannot hold two "
           "chromosomes of one name\n")
    assert cli("gc", fasta, tmp_path / "t.bedGraph", "-q").returncode == 0  # text can hold both
    assert sorted(os.listdir(tmp_path)) == ["dup.fa", "t.bedGraph"]


def test_format_flag_overrides_the_name_and_the_library_agrees(tmp_path):
    fasta = written(tmp_path / "in.fa", MANY)
    assert cli("gc", fasta, tmp_path / "t.wig", "--format", "bigwig", "-q").returncode == 0
    assert pyBigWig.open(str(tmp_path / "t.wig")).isBigWig()
    seqtally_tools.gc_track(fasta, tmp_path / "lib.bedGraph", window=100, track_line=True)
    command = cli("gc", fasta, "-", "--format", "bedgraph", "--track-line", "-q").stdout
    assert (tmp_path / "lib.bedGraph").read_bytes() == command and command.startswith(b"track type=bedGraph\nr0\t0\t")


def test_a_stream_read_twice_is_kept_first(tmp_path):
    """bigWig needs the lengths before the values: a FIFO or standard input
    must not come back empty the second time."""
    fasta, fifo = written(tmp_path / "in.fa", MANY), tmp_path / "stream"
    expected, chroms = wiggle_intervals(fasta, 100, False, tmp_path)
    os.mkfifo(fifo)
    feeder = subprocess.Popen(["sh", "-c", f"gzip -c '{fasta}' > '{fifo}'"])
    assert cli("gc", fifo, tmp_path / "f.bw", "-q").returncode == 0 and feeder.wait() == 0
    assert cli("gc", "-", tmp_path / "s.bw", "-q", input=MANY).returncode == 0
    assert bigwig_intervals(tmp_path / "f.bw", chroms) == bigwig_intervals(tmp_path / "s.bw", chroms) == expected


# tests/cpp/common_test.cpp's names: gzip by the seqtally module's rule,
# which the library asks of the core rather than keep a copy.
GZ_NAMES = {"a.gz": True, "a.gz/": True, "a.gz/.": True, "./a.gz": True, "a..gz": True, "dir/a.wig.gz": True,
            "a.GZ": False, ".gz": False, "dir/.gz": False, "a.gz/..": False, "a.gz.": False, "a.tgz": False}


@pytest.mark.parametrize("name, gzip_named", GZ_NAMES.items())
def test_the_library_and_the_module_gzip_the_same_names(tmp_path, name, gzip_named):
    assert has_gz_extension(name) == gzip_named
    if name.endswith(("/", ".", "..")) and not name.endswith("gz."):
        return  # a folder: no file to write
    fasta = written(tmp_path / "in.fa", b">a\nACGTACGTAC\n")
    for writer, folder in ((seqtally.write_seqtally_to_file, "module"), (None, "library")):
        track = tmp_path / folder / name
        track.parent.mkdir(parents=True, exist_ok=True)
        if writer is None:
            gc_track(str(fasta), str(track), window=5)
        else:
            writer(str(fasta), str(track), 6, 5, False, str(tmp_path / "sizes"), False, False)
        assert (track.read_bytes()[:2] == b"\x1f\x8b") == gzip_named, (folder, name)
