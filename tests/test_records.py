"""Records and their digests, seen through checksum(): how input is split,
and lengths and digests against hashlib and published values. The fuzz
targets check the same rules over many more inputs."""
import base64
import hashlib

import pytest

import seqtally
from conftest import EXAMPLES

ALL_BYTES = bytes(range(256)).replace(b"\n", b"")


def reference(sequence: bytes):
    """Length, sha512t24u and MD5 of the sequence capitalised (ASCII only)."""
    upper = sequence.upper()
    sha = base64.urlsafe_b64encode(hashlib.sha512(upper).digest()[:24]).decode()
    return len(upper), sha, hashlib.md5(upper).hexdigest()


@pytest.mark.parametrize("content, expected", [
    (b"\n\r\n>a b\nAC\r\nGT", [("a", b"ACGT")]),
    (b">a\nAC\n\nGT\n>b\n", [("a", b"ACGT"), ("b", b"")]),
    (b">a\nAC>GT\n", [("a", b"AC>GT")]),
    (b">a\nAC\r\r\n", [("a", b"AC\r")]),
    (b">r\n" + ALL_BYTES + b"\nzZ{`@[\nacgt\n", [("r", ALL_BYTES + b"zZ{`@[acgt")]),
    (b">big\n" + b"ACGT" * 50_000 + b"\n>r1 d\nacgtTt\n", [("big", b"ACGT" * 50_000), ("r1", b"acgtTt")]),
])
def test_record_splitting_and_digests(fasta, content, expected):
    assert [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(fasta(content))] == \
        [(name, *reference(sequence)) for name, sequence in expected]


def test_published_refget_values(fasta):
    # refget's own test vector and the phiX174 genome bundled with the examples.
    found = [(r.id, r.length, r.sha512, r.md5) for path in (fasta(b">v\nACGT\n"), str(EXAMPLES / "phix174.fa"))
             for r in seqtally.checksum(path)]
    assert found == [("v", 4, "aKF498dAxcJAqme6QYQ7EZ07-fiw8Kw2", "f1f8f4bf413b16ad135722aa4591043e"),
                     ("NC_001422.1", 5386, "IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF", "3332ed720ac7eaa9b3655c06f6b9e196")]
