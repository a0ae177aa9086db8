"""Digests and lengths against hashlib, and the progress messages of checksum()."""
import base64
import hashlib

import pytest

import seqtally
from conftest import run_python


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
        [b"acgt"], [b"ACGT"], [b"AC", b"GT"], [b"ACGT", b""], [b"acg-n*"], [b"AC GT"], [b"A\rC"],
        [b"\xc3\xa9t\xc3\xa9"], [bytes(range(256)).replace(b"\n", b"")], [], [b""], [b"", b""],
        [b"zZ{`@["],
    ],
)
def test_digest_matches_hashlib(fasta, lines):
    result = seqtally.checksum(fasta(b">r\n" + b"\n".join(lines) + (b"\n" if lines else b"")))[0]
    assert (result.length, result.sha512, result.md5) == reference(b"".join(lines))


@pytest.mark.parametrize(
    "header, shown",
    [
        (b"a", '"a"'),
        (b"a\tb desc", '"a\\tb"'),
        (b'q"b\\s', '"q\\"b\\\\s"'),
        (b"it's", '"it\'s"'),
        (b"esc\x1b", '"esc\\u{1b}"'),
        (b"\xc3\xa9", '"\u00e9"'),
        (b"nb\xc2\xa0sp", '"nb\\u{a0}sp"'),
        (b"comb\xcc\x81", '"comb\\u{301}"'),
        (b"zw\xe2\x80\x8b", '"zw\\u{200b}"'),
        (b"bell\x07\x7f", '"bell\\u{7}\\u{7f}"'),
        (b"", '""'),
    ],
)
def test_progress_message_quotes_identifier(tmp_path, header, shown):
    path = tmp_path / "q.fa"
    path.write_bytes(b">" + header + b"\nAC\n")
    _, err = run_python(f"import seqtally; seqtally.checksum({str(path)!r}, True)")
    assert err.decode() == f"==> Processing region {shown} ... "


def test_progress_messages_follow_one_another_without_newline(tmp_path):
    path = tmp_path / "two.fa"
    path.write_bytes(b">a\nAC\n>b\nGT\n")
    for verbose in ("True", "False", "None"):
        out, err = run_python(
            f"""
            import sys, io, seqtally
            sys.stderr = io.StringIO()  # not used: messages go to descriptor 2
            print(len(seqtally.checksum({str(path)!r}, {verbose})))
            """
        )
        assert out.strip() == b"2"
        expected = b'==> Processing region "a" ... ==> Processing region "b" ... ' if verbose == "True" else b""
        assert err == expected
