"""The inputs users have through the command (a gzip file named .fasta, a
plain one named .gz, gzip on standard input), each checked against the
module on the plain file, and the ways such inputs fail: in the library's
fields, and as one line of the command with nothing written. (Every kind
of source through the library is in test_engine.py; the gzip reader's
damaged members in the C++ input tests and the gzip fuzz target.)"""
import gzip
import os

import pytest

import seqtally
import seqtally_tools
from conftest import cli, module_track

RECORDS = b"".join(b">r%d some description\n" % i
                   + b"\n".join([b"ACGTacgtNNGGCC"[i % 5:] * 4] * (i % 40 + 1)) + b"\n" for i in range(400))
GZ = gzip.compress(RECORDS)


@pytest.mark.parametrize("name, content, stdin", [
    ("records.fasta", GZ, False), ("plain.fa.gz", RECORDS, False), ("-", GZ, True)])
def test_the_command_reads_by_content_not_by_name(tmp_path, name, content, stdin):
    plain = tmp_path / "records.fa"
    plain.write_bytes(RECORDS)
    path = name if stdin else tmp_path / name
    if not stdin:
        path.write_bytes(content)
    out = cli("checksum", path, input=content if stdin else None)
    assert out.returncode == 0 and out.stderr == b""
    assert [tuple(line.split("\t")[1:]) for line in out.stdout.decode().splitlines()[1:]] == \
        [(r.id, str(r.length), r.sha512, r.md5) for r in seqtally.checksum(str(plain))]
    reference = module_track(plain, 70, tmp_path)
    to_stdout = cli("gc", path, "-", "--window", 70, "--quiet", "--gzip", input=content if stdin else None)
    assert gzip.decompress(to_stdout.stdout) == reference


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
