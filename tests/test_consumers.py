"""What seqtally writes, read back by third-party readers, on a real genome:
the lambda phage assembly shipped by Debian's bowtie2-examples package."""
import gzip
import struct

import pytest

import seqtally
from conftest import LAMBDA, lambda_phage

WINDOW = 100


@pytest.fixture(scope="module")
def genome():
    lambda_phage()  # skips when it is missing
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
