"""Digests and lengths against hashlib and published values."""
import base64
import hashlib

import pytest

import seqtally


def reference(sequence: bytes):
    upper = bytes(b - 32 if 97 <= b <= 122 else b for b in sequence)
    sha = base64.urlsafe_b64encode(hashlib.sha512(upper).digest()[:24]).decode()
    return len(upper), sha, hashlib.md5(upper).hexdigest()


def test_published_refget_values(fasta):
    # refget's own test vector and the phiX174 genome bundled with the examples.
    acgt = seqtally.checksum(fasta(b">v\nACGT\n"))[0]
    assert (acgt.sha512, acgt.md5) == ("aKF498dAxcJAqme6QYQ7EZ07-fiw8Kw2", "f1f8f4bf413b16ad135722aa4591043e")
    from pathlib import Path

    phix = seqtally.checksum(str(Path(__file__).parent.parent / "examples" / "phix174.fa"))
    assert [(r.id, r.length, r.sha512, r.md5) for r in phix] == [
        ("NC_001422.1", 5386, "IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF", "3332ed720ac7eaa9b3655c06f6b9e196")
    ]


@pytest.mark.parametrize(
    "lines",
    [
        [b"acgt"], [b"acgt" * 5, b"Tt"], [bytes(range(256)).replace(b"\n", b"")], [b"zZ{`@["],
    ],
)
def test_digest_matches_hashlib(fasta, lines):
    result = seqtally.checksum(fasta(b">r\n" + b"\n".join(lines) + (b"\n" if lines else b"")))[0]
    assert (result.length, result.sha512, result.md5) == reference(b"".join(lines))


