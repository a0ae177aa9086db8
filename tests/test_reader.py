"""How FASTA input is split into records, seen through checksum()."""
import hashlib

import pytest

import seqtally
from conftest import PanicException


def digest_of(sequence: bytes):
    upper = sequence.upper()
    return len(upper), hashlib.md5(upper).hexdigest()


def records(path):
    return [(r.id, r.length, r.md5) for r in seqtally.checksum(path)]


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", []),
        (b"\n\r\n\n", []),
        (b"\n\r\n>a b\nAC\r\nGT", [("a", b"ACGT")]),
        (b">a\nAC\n\nGT\n>b\n", [("a", b"ACGT"), ("b", b"")]),
        (b">a\nAC>GT\n", [("a", b"AC>GT")]),
        (b">a\nACGT", [("a", b"ACGT")]),
        (b">a\nACGT\n\n", [("a", b"ACGT")]),
        (b">a\nAC\n>", [("a", b"AC"), ("", b"")]),
        (b">a\n>b\nGG\n", [("a", b""), ("b", b"GG")]),
        (b">a\nAC\r\r\n", [("a", b"AC\r")]),
        (b">a\tb c\nA\n", [("a\tb", b"A")]),
        (b"> lead\nA\n", [("", b"A")]),
        (b">a\r\nA\r\n>b\r\nC\r\n", [("a", b"A"), ("b", b"C")]),
        (b">x\n>x\n", [("x", b""), ("x", b"")]),
    ],
)
def test_record_splitting(fasta, content, expected):
    assert records(fasta(content)) == [(name, *digest_of(seq)) for name, seq in expected]


@pytest.mark.parametrize(
    "content, line, found",
    [
        (b"ACGT\n>a\n", 1, 65),
        (b"\n\n AC\n", 3, 32),
        (b"\r\r\n>a\n", 1, 13),
        (b"\x1f\x8b\x08\x00", 1, 31),
        # Blank lines spanning several buffer fills keep their count.
        (b"\n" * 200_000 + b"x\n", 200_001, 120),
        (b"\r\n" * 70_000 + b"y", 70_001, 121),
    ],
)
def test_invalid_start(fasta, content, line, found):
    with pytest.raises(PanicException) as caught:
        seqtally.checksum(fasta(content))
    assert str(caught.value) == (
        f"called `Result::unwrap()` on an `Err` value: InvalidStart {{ line: {line}, found: {found} }}"
    )


def test_large_record_and_many_small_records(fasta):
    big = b"ACGT" * 50_000
    small = [(f"r{i}", b"GATTACA" * (i % 13)) for i in range(20_000)]
    content = b">big\n" + big + b"\n" + b"".join(b">" + n.encode() + b" d\n" + s + b"\n" for n, s in small)
    got = records(fasta(content))
    assert got[0] == ("big", *digest_of(big))
    assert got[1:] == [(n, *digest_of(s)) for n, s in small]
