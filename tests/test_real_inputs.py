"""The ways real inputs fail: damaged gzip, other compressions, FASTQ, by
their kind and fault in the library's fields, and as one line of the
command with no row printed. (Every kind of source, read by content, is in
test_engine.py; the gzip reader's damaged members in the C++ input tests
and the gzip fuzz target.)"""
import gzip

import pytest

import seqtally_tools
from conftest import FASTQ, cli, raised, written

RECORDS = b"".join(b">r%d some description\n" % i
                   + b"\n".join([b"ACGTacgtNNGGCC"[i % 5:] * 4] * (i % 40 + 1)) + b"\n" for i in range(400))
GZ = gzip.compress(RECORDS)


@pytest.mark.parametrize("content, kind, fault, words", [
    (GZ[:-4], "gzip", "truncated", "truncated gzip stream"),
    (GZ[:-9], "gzip", "bad-data", "invalid compressed data"),
    (GZ[:-8] + bytes([GZ[-8] ^ 1]) + GZ[-7:], "gzip", "checksum", "CRC-32"),
    (GZ[:12] + b"\xff" * 16 + GZ[28:], "gzip", "bad-data", "invalid compressed data"),
    (GZ + b"junk after the last member", "gzip", "trailing-data", "after the last member"),
    (b"(\xb5/\xfd\x00", "format", "unsupported", "zstd"),
    (b"@r1\nACGT\n+\nIIII\n", "format", "not-fasta", FASTQ),
])
def test_a_damaged_input_fails_with_its_kind_and_fault(tmp_path, content, kind, fault, words):
    path = written(tmp_path / "in.fa.gz", content)
    error = raised(lambda: seqtally_tools.checksum(path))
    assert (error.kind, error.fault, error.path) == (kind, fault, str(path)) and words in error.describe()


def test_the_command_says_a_damaged_input_in_one_line_and_prints_no_row():
    out = cli("checksum", "-", input=GZ[:len(GZ) // 2])
    assert (out.returncode, out.stdout) == (1, b"")
    line = out.stderr.decode()
    assert line.startswith("seqtally: error: standard input: damaged gzip") and line.count("\n") == 1, line
