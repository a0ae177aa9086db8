"""How FASTA input is split into records, seen through checksum(). The
fasta_reader fuzz target checks the rules over many more inputs."""
import hashlib

import pytest

import seqtally


def digest_of(sequence: bytes):
    upper = sequence.upper()
    return len(upper), hashlib.md5(upper).hexdigest()


def records(path):
    return [(r.id, r.length, r.md5) for r in seqtally.checksum(path)]


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"\n\r\n>a b\nAC\r\nGT", [("a", b"ACGT")]),
        (b">a\nAC\n\nGT\n>b\n", [("a", b"ACGT"), ("b", b"")]),
        (b">a\nAC>GT\n", [("a", b"AC>GT")]),
        (b">a\nAC\r\r\n", [("a", b"AC\r")]),
    ],
)
def test_record_splitting(fasta, content, expected):
    assert records(fasta(content)) == [(name, *digest_of(seq)) for name, seq in expected]


def test_large_record_and_many_small_records(fasta):
    big = b"ACGT" * 50_000
    small = [(f"r{i}", b"GATTACA" * (i % 13)) for i in range(20_000)]
    content = b">big\n" + big + b"\n" + b"".join(b">" + n.encode() + b" d\n" + s + b"\n" for n, s in small)
    got = records(fasta(content))
    assert got[0] == ("big", *digest_of(big))
    assert got[1:] == [(n, *digest_of(s)) for n, s in small]
