"""The ways real inputs fail: damaged gzip, other compressions, FASTQ, by
their kind and fault in the library's fields, and as one line of the
command with nothing written. (Every kind of source, read by content, is in
test_engine.py; the gzip reader's damaged members in the C++ input tests
and the gzip fuzz target.)"""
import gzip
import os

import pytest

import seqtally_tools
from conftest import cli

RECORDS = b"".join(b">r%d some description\n" % i
                   + b"\n".join([b"ACGTacgtNNGGCC"[i % 5:] * 4] * (i % 40 + 1)) + b"\n" for i in range(400))
GZ = gzip.compress(RECORDS)


FASTQ = "line 1 starts with '@', not '>' (it looks like FASTQ: seqtally reads FASTA only)"


@pytest.mark.parametrize("content, kind, fault, words", [
    (GZ[:-4], "gzip", "truncated", "truncated gzip stream"),
    (GZ[:-9], "gzip", "bad-data", "invalid compressed data"),
    (GZ[:-8] + bytes([GZ[-8] ^ 1]) + GZ[-7:], "gzip", "checksum", "CRC-32"),
    (GZ[:-4] + bytes([GZ[-4] ^ 1]) + GZ[-3:], "gzip", "checksum", "CRC-32"),
    (GZ[:12] + b"\xff" * 16 + GZ[28:], "gzip", "bad-data", "invalid compressed data"),
    (GZ + b"junk after the last member", "gzip", "trailing-data", "after the last member"),
    (b"\xfd7zXZ\x00\x00\x04", "format", "unsupported", "xz"),
    (b"BZh91AY&SY", "format", "unsupported", "bzip2"),
    (b"(\xb5/\xfd\x00", "format", "unsupported", "zstd"),
    (b"@r1\nACGT\n+\nIIII\n", "format", "not-fasta", FASTQ),
])
def test_a_damaged_input_fails_with_its_kind_and_fault(tmp_path, content, kind, fault, words):
    path = tmp_path / "in.fa.gz"
    path.write_bytes(content)
    with pytest.raises(seqtally_tools.SeqtallyError) as caught:
        seqtally_tools.checksum(path)
    error = caught.value
    assert (error.kind, error.fault, error.path) == (kind, fault, str(path)) and words in error.describe()


def test_the_command_says_a_damaged_input_in_one_line_and_writes_nothing(tmp_path):
    content = GZ[:len(GZ) // 2]
    for args in (["checksum", "-"], ["gc", "--quiet", "-", tmp_path / "track.wig"],
                 ["gc", "--quiet", "-", tmp_path / "track.bw"]):
        out = cli(*args, input=content)
        assert (out.returncode, out.stdout) == (1, b""), args
        line = out.stderr.decode()
        assert line.startswith("seqtally: error: standard input: damaged gzip") and line.count("\n") == 1, line
    assert os.listdir(tmp_path) == []
