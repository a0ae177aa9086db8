"""What seqtally writes, read back by third-party readers, on a real genome:
the lambda phage assembly shipped by Debian's bowtie2-examples package."""
import gzip
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import seqtally

LAMBDA = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")
WINDOW = 100


@pytest.fixture(scope="module")
def genome():
    if not LAMBDA.exists():
        pytest.skip("Debian's bowtie2-examples is not installed (scripts/test installs it)")
    return LAMBDA


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def reference_windows(path):
    """(chrom, start, end, percent) per window, counted here in Python."""
    name, sequence = None, []
    for line in gzip.open(path, "rt"):
        if line.startswith(">"):
            name = line[1:].split(" ")[0].rstrip("\n")
        else:
            sequence.append(line.rstrip("\n"))
    text = "".join(sequence)
    windows = []
    for start in range(0, len(text), WINDOW):
        piece = text[start:start + WINDOW]
        gc = sum(base in "GC" for base in piece)
        # The track's single-precision arithmetic: each step rounded to float32
        # (exact in double first, so rounding once gives the float32 result).
        percent = int(f32(f32(gc / len(piece)) * 100))
        windows.append((name, start, start + WINDOW, percent))
    return name, len(text), windows


def test_bx_python_reads_every_window(genome, tmp_path):
    from bx.wiggle import IntervalReader

    track = tmp_path / "lambda.wig"
    seqtally.write_seqtally_to_file(str(genome), str(track), 6, WINDOW, False, "", False, False)
    name, length, expected = reference_windows(genome)
    with open(track) as f:
        read = [(chrom, start, end, int(value)) for chrom, start, end, _strand, value in IntervalReader(f)]
    assert len(read) == (length + WINDOW - 1) // WINDOW == 486
    assert read == expected


def test_bedtools_accepts_chrom_sizes(genome, tmp_path):
    if shutil.which("bedtools") is None:
        pytest.skip("bedtools is not installed (scripts/test installs it)")
    sizes = tmp_path / "lambda.sizes"
    track = tmp_path / "lambda.wig"
    seqtally.write_seqtally_to_file(str(genome), str(track), 6, WINDOW, False, str(sizes), True, False)
    name, length, expected = reference_windows(genome)
    assert sizes.read_text() == f"{name}\t{length}\n"
    out = subprocess.run(["bedtools", "makewindows", "-g", str(sizes), "-w", str(WINDOW)], capture_output=True,
                         text=True, check=True)
    windows = [line.split("\t") for line in out.stdout.splitlines()]
    # bedtools clips the last window at the record's end; starts agree with the track's positions.
    assert [(c, int(s)) for c, s, _ in windows] == [(c, s) for c, s, _, _ in expected]
    assert int(windows[-1][2]) == length


def test_gzip_readers_accept_the_compressed_track(genome, tmp_path):
    plain, packed = tmp_path / "t.wig", tmp_path / "t.wig.gz"
    seqtally.write_seqtally_to_file(str(genome), str(plain), 6, WINDOW, False, "", False, False)
    for level in (0, 1, 6, 9):
        seqtally.write_seqtally_to_file(str(genome), str(packed), level, WINDOW, False, "", False, False)
        assert gzip.decompress(packed.read_bytes()) == plain.read_bytes()
        assert subprocess.run(["gzip", "-t", str(packed)]).returncode == 0
