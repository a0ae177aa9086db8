"""The module's gzip input (its own member framing) on members split
anywhere and every header field, and its gzip output, checked with Python's
gzip and zlib and the gzip tool. (Files of bgzip and gzip through every kind
of source: test_engine.py; damaged members: the C++ tests and the gzip
fuzz target.)"""
import gzip
import struct
import subprocess
import zlib

import pytest

import seqtally
from conftest import gzip_member, module_track, written

FASTA = b"".join(b">r%d desc\n" % i + b"ACGTGGCCNN" * (i * 37 % 200) + b"\n" for i in range(300))


def track_of(tmp_path, content, name="in.fa.gz"):
    return module_track(written(tmp_path / name, content), 50, tmp_path)


@pytest.fixture
def plain_track(tmp_path):
    return track_of(tmp_path, FASTA, "plain.fa")


@pytest.mark.parametrize(
    "make",
    [
        # Members split in the middle of records and lines.
        lambda: b"".join(gzip_member(FASTA[i:i + 7777]) for i in range(0, len(FASTA), 7777)),
        lambda: gzip_member(FASTA[:10]) + gzip_member(b"") + gzip_member(FASTA[10:]),
        lambda: gzip_member(FASTA, flags=0x1F, extra=b"BC\x02\x00\x1b\x00", name=b"n" * 65535, comment=b"c",
                       mtime=0xFFFFFFFF, xfl=0xFF, os_byte=0xFF),
    ],
)
def test_gzip_inputs_decode(tmp_path, plain_track, make):
    assert track_of(tmp_path, make()) == plain_track


def test_gzip_output(tmp_path, plain_track):
    """Every level gives the same content in one valid member; XFL says what
    gzip(1) says for its -1 and -9; levels of 256 and more compress as 1."""
    path = written(tmp_path / "plain.fa", FASTA)
    members = {}
    for level in (0, 1, 6, 9, 256, 2**32 - 1):
        out = tmp_path / f"l{level}.wig.gz"
        seqtally.write_seqtally_to_file(str(path), str(out), level, 50, False, "x", False, False)
        raw = members[level] = out.read_bytes()
        assert raw[:8] == bytes([0x1F, 0x8B, 8, 0, 0, 0, 0, 0]) and raw[9] == 0xFF  # no name or time, OS unknown
        assert gzip.decompress(raw) == plain_track
        assert struct.unpack("<II", raw[-8:]) == (zlib.crc32(plain_track), len(plain_track))
    subprocess.run(["gzip", "-t", *(str(tmp_path / f"l{level}.wig.gz") for level in members)], check=True)
    for level in (1, 9):
        theirs = subprocess.run(["gzip", f"-{level}", "-c"], input=plain_track, capture_output=True, check=True).stdout
        assert members[level][8] == theirs[8]
    assert members[6][8] == 0 and len(members[0]) > len(plain_track)
    assert members[256][10:] == members[1][10:] == members[2**32 - 1][10:]
