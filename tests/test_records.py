"""Records and their digests, seen through checksum(): how input is split,
and lengths and digests against hashlib and published values. The fuzz
targets check the same rules over many more inputs."""
import base64
import hashlib

import pytest

import seqtally
from conftest import EXAMPLES


def reference(sequence: bytes):
    """Length, sha512t24u and MD5 of the sequence capitalised (ASCII only)."""
    upper = sequence.upper()
    sha = base64.urlsafe_b64encode(hashlib.sha512(upper).digest()[:24]).decode()
    return len(upper), sha, hashlib.md5(upper).hexdigest()


def records(path):
    return [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(path)]


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
    assert records(fasta(content)) == [(name, *reference(seq)) for name, seq in expected]


def test_large_record_and_many_small_records(fasta):
    big = b"ACGT" * 50_000
    small = [(f"r{i}", b"GATTACA" * (i % 13)) for i in range(20_000)]
    content = b">big\n" + big + b"\n" + b"".join(b">" + n.encode() + b" d\n" + s + b"\n" for n, s in small)
    got = records(fasta(content))
    assert got[0] == ("big", *reference(big))
    assert got[1:] == [(n, *reference(s)) for n, s in small]


def test_published_refget_values(fasta):
    # refget's own test vector and the phiX174 genome bundled with the examples.
    assert records(fasta(b">v\nACGT\n")) == [
        ("v", 4, "aKF498dAxcJAqme6QYQ7EZ07-fiw8Kw2", "f1f8f4bf413b16ad135722aa4591043e")]
    assert records(str(EXAMPLES / "phix174.fa")) == [
        ("NC_001422.1", 5386, "IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF", "3332ed720ac7eaa9b3655c06f6b9e196")
    ]


@pytest.mark.parametrize("lines", [[b"acgt"], [b"acgt" * 5, b"Tt"], [bytes(range(256)).replace(b"\n", b"")], [b"zZ{`@["]])
def test_digest_matches_hashlib(fasta, lines):
    assert records(fasta(b">r\n" + b"\n".join(lines) + b"\n")) == [("r", *reference(b"".join(lines)))]


