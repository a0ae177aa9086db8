"""Every message the module gives, one table per subject: how each case is
set up, the call, the exact message, and what the files hold afterwards.
Progress messages and failure reports go to descriptor 2, which capfd reads."""
import errno
import gzip
import os

import pytest

import seqtally
from conftest import UNWRAP, failure_of, gzip_member, os_text, write_track, written

NOT_FOUND = os_text(errno.ENOENT, "NotFound")
FULL = os_text(errno.ENOSPC, "StorageFull")
SAME_OUTPUT = 'creation failed: Custom { kind: InvalidInput, error: "output file is the input file" }'
SAME_SIZES = 'Creation failed: Custom { kind: InvalidInput, error: "chrom.sizes file is the input or the output file" }'
READ = "Error reading record: "
CLOSE_TRACK = "Could not close wig output file: "
FASTA = b"".join(b">r%d desc\n" % i + b"ACGTGGCCNN" * (i * 37 % 200) + b"\n" for i in range(300))


def check(path, content):
    return lambda d: (d / path).read_bytes() == content


def checksum(d, name):
    return seqtally.checksum(str(d / name))


def write(d, source, output, sizes="unused", write_sizes=False, window=100, content=None):
    if content is not None:
        (d / source).write_bytes(content)
    write_track(d / source, d / output, window, sizes=d / sizes, write_sizes=write_sizes)


INPUT_KEPT = check("in.fa", b">a\nGGCC\n")
def empty_member(d):
    return gzip.decompress(raw := (d / "o.wig.gz").read_bytes()) == b"" and raw[-8:] == bytes(8)
IS_A_DIRECTORY = f"Io({os_text(errno.EISDIR, 'IsADirectory')})"
# name: (call in a folder d holding in.fa (>a GGCC), big.fa (5,000 records) and
# full.wig, full.wig.gz (links to /dev/full); message; what d holds after)
CASES = {
    "checksum, missing file": (lambda d: checksum(d, "secret-name.fa"), UNWRAP + NOT_FOUND, None),
    "checksum, NUL in the name": (lambda d: checksum(d, "a\0b"), UNWRAP + 'Error { kind: InvalidInput, message: '
                                  '"file name contained an unexpected NUL byte" }', None),
    "checksum, a folder": (lambda d: checksum(d, "."), UNWRAP + IS_A_DIRECTORY, None),
    "write, missing input": (lambda d: write(d, "missing.fa", "o.wig", "s", True), UNWRAP + NOT_FOUND,
                             lambda d: not (d / "o.wig").exists() and not (d / "s").exists()),
    "write, input is a folder": (lambda d: write(d, ".", "o.wig"), READ + IS_A_DIRECTORY, None),
    "write, track in a missing folder": (lambda d: write(d, "in.fa", "no/o.wig"), "creation failed: " + NOT_FOUND,
                                         None),
    "write, sizes in a missing folder": (lambda d: write(d, "in.fa", "o.wig", "no/s", True),
                                         "Creation failed: " + NOT_FOUND, check("o.wig", b"")),
    "write, sizes in a missing folder, gzip track": (lambda d: write(d, "in.fa", "o.wig.gz", "no/s", True),
                                                     "Creation failed: " + NOT_FOUND, empty_member),
    "write, track is the input": (lambda d: write(d, "in.fa", "in.fa", "s", True), SAME_OUTPUT, INPUT_KEPT),
    "write, track is the input by another path": (lambda d: write(d, "in.fa", f"../{d.name}/in.fa", "s", True),
                                                  SAME_OUTPUT, INPUT_KEPT),
    "write, sizes are the input": (lambda d: write(d, "in.fa", "o.wig", "in.fa", True), SAME_SIZES, INPUT_KEPT),
    "write, sizes are the track": (lambda d: write(d, "in.fa", "o.wig", "o.wig", True), SAME_SIZES, None),
    # A small track reaches the disk only at the flush; a large one fails on a write.
    "write, small track, full disk": (lambda d: write(d, "in.fa", "full.wig"), CLOSE_TRACK + FULL, None),
    "write, small gzip track, full disk": (lambda d: write(d, "in.fa", "full.wig.gz"), CLOSE_TRACK + FULL, None),
    "write, large track, full disk": (lambda d: write(d, "big.fa", "full.wig", window=5), "Write failed: " + FULL,
                                      None),
    "write, large gzip track, full disk": (lambda d: write(d, "big.fa", "full.wig.gz", window=5),
                                           "Write failed: " + FULL, None),
    # The track was flushed before the chrom sizes stream failed.
    "write, sizes, full disk": (lambda d: write(d, "in.fa", "o.wig", "full.wig", True),
                                "Could not close chrom sizes stream: " + FULL,
                                check("o.wig", b"track type=wiggle_0\nvariableStep chrom=a span=100\n1\t100\n")),
    "write, invalid start keeps the track line": (
        lambda d: write(d, "bad.fa", "o.wig.gz", "s", True, content=b"ACGT\n>a\n"),
        READ + "InvalidStart { line: 1, found: 65 }",
        lambda d: gzip.decompress((d / "o.wig.gz").read_bytes()) == b"track type=wiggle_0\n" and check("s", b"")(d)),
    "write, bad identifier keeps earlier records": (
        lambda d: write(d, "bad.fa", "o.wig", "s", True, content=b">first\nGGCC\n>\xffbad\nAC\n"),
        UNWRAP + "Utf8Error { valid_up_to: 0, error_len: Some(1) }",
        lambda d: check("o.wig", b"track type=wiggle_0\nvariableStep chrom=first span=100\n1\t100\n")(d)
        and check("s", b"first\t4\n")(d)),
}


@pytest.mark.parametrize("name", CASES)
def test_call_failures(tmp_path, name):
    call, expected, after = CASES[name]
    (tmp_path / "in.fa").write_bytes(b">a\nGGCC\n")
    (tmp_path / "big.fa").write_bytes(b"".join(b">r%d\n" % i + b"ACGT" * 50 + b"\n" for i in range(5000)))
    for link in ("full.wig", "full.wig.gz"):
        (tmp_path / link).symlink_to("/dev/full")
    message = failure_of(lambda: call(tmp_path))
    assert message == expected and "secret-name" not in message
    assert after is None or after(tmp_path)


def utf8_failure(identifier):
    """The module's Utf8Error for these bytes, from Python's own decoder."""
    try:
        identifier.decode("utf-8")
    except UnicodeDecodeError as error:
        length = "None" if error.reason == "unexpected end of data" else f"Some({error.end - error.start})"
        return f"Utf8Error {{ valid_up_to: {error.start}, error_len: {length} }}"
    return None


@pytest.mark.parametrize("header", [
    b"\xc3\x28", b"ab\xc3", b"abc\xff", b"\xe2\x82", b"\xe2\x82A", b"\xf0\x9f\x98A",
    b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80", b"ok\xf0\x9f\x98\x80\xff", b"\xe0\x80\xaf",
    # Eight bytes and more go through the word-at-a-time check first.
    b"abcdefg\xff", b"abcdefg\xc3\xa9", b"scaffold_12345\xed\xa0\x80", b"\xe2\x82\xacuro-long-name\xc3",
    b"chromosome_\xf0\x9f\x98\x80_end", b"12345678" * 3 + b"\x80",
    b"id \xff\xfe",  # only the identifier is checked
])
def test_identifiers_must_be_utf8(fasta, header):
    identifier = header.split(b" ")[0]
    path = fasta(b">" + header + b"\nAC\n")
    expected = utf8_failure(identifier)
    if expected is None:
        assert seqtally.checksum(path)[0].id == identifier.decode()
    else:
        assert failure_of(lambda: seqtally.checksum(path)) == UNWRAP + expected


@pytest.mark.parametrize("content, line, found", [
    (b"ACGT\n>a\n", 1, 65),
    (b"\r\r\n>a\n", 1, 13),
    # Blank lines spanning several buffer fills keep their count.
    (b"\n" * 200_000 + b"x\n", 200_001, 120),
    (b"\r\n" * 70_000 + b"y", 70_001, 121),
])
def test_invalid_start(fasta, content, line, found):
    expected = UNWRAP + f"InvalidStart {{ line: {line}, found: {found} }}"
    assert failure_of(lambda: seqtally.checksum(fasta(content))) == expected


def custom(text):
    return f'Custom {{ kind: InvalidInput, error: "{text}" }}'


MISMATCH = custom("corrupt gzip stream does not have a matching checksum")


# One row for each text the module builds around the gzip reader's errors
# (their texts, for every fault, are checked in gzip_member_reader_test.cpp).
@pytest.mark.parametrize("content, description", [
    (b"", "Kind(UnexpectedEof)"),
    (FASTA[:100], custom("invalid gzip header")),
    (gzip.compress(FASTA) + b"\0" * 10, custom("invalid gzip header")),
    (gzip.compress(FASTA)[:-20], custom("corrupt deflate stream")),
    (gzip_member(FASTA, crc=0x12345678), MISMATCH),
    (gzip_member(FASTA, size=len(FASTA) + 1), MISMATCH),
    (gzip_member(FASTA, flags=0x08, name=b"n" * 65536), custom("gzip header field too long")),
])
def test_gzip_input_errors(tmp_path, content, description):
    path = written(tmp_path / "in.fa.gz", content)
    assert failure_of(lambda: write_track(path, tmp_path / "o.wig", 50)) == READ + "Io(" + description + ")"


def test_gzip_is_decoded_only_for_the_gz_extension_and_only_by_the_track(tmp_path):
    for name in ("reads.fa.GZ", "reads.fa", "reads.fa.gz"):
        (tmp_path / name).write_bytes(gzip.compress(FASTA))
    found = "InvalidStart { line: 1, found: 31 }"
    for name in ("reads.fa.GZ", "reads.fa"):
        assert failure_of(lambda: write_track(tmp_path / name, tmp_path / "o.wig")) == READ + found
    assert failure_of(lambda: checksum(tmp_path, "reads.fa.gz")) == UNWRAP + found


QUOTED = [
    (b"a", '"a"'), (b"a\tb desc", '"a\\tb"'), (b'q"b\\s', '"q\\"b\\\\s"'), (b"it's", '"it\'s"'),
    (b"esc\x1b", '"esc\\u{1b}"'), (b"\xc3\xa9", '"\u00e9"'), (b"nb\xc2\xa0sp", '"nb\\u{a0}sp"'),
    (b"comb\xcc\x81", '"comb\\u{301}"'), (b"zw\xe2\x80\x8b", '"zw\\u{200b}"'), (b"bell\x07\x7f", '"bell\\u{7}\\u{7f}"'),
    (b"", '""'),
]
REPORT = "thread 'main' panicked at "
BAD_ID = UNWRAP + "Utf8Error { valid_up_to: 0, error_len: Some(1) }"
DONE = '==> Processing region "first" ... done\n==> Processing region "it\'s" ... done\n'


def progress_cases(d):
    """(call, what descriptor 2 receives first, the failure or None); d holds
    in.fa (the quoted identifiers), two.fa, and bad.fa (bad at record 3)."""
    sizes, track = d / "it's.sizes", d / "o.wig"
    return [
        (lambda: seqtally.checksum(str(d / "in.fa"), True),
         "".join(f"==> Processing region {q} ... " for _, q in QUOTED), None),
        (lambda: seqtally.checksum(str(d / "in.fa"), None), "", None),
        (lambda: write_track(d / "two.fa", track, sizes=sizes, write_sizes=True, verbose=True),
         f'==> Will write chrom.sizes file to "{str(sizes).replace("\'", "\\\'")}"\n{DONE}'
         "==> Found and processed 2 regions.\n", None),
        (lambda: write_track(d / "two.fa", track, sizes="/no/s", verbose=True),
         DONE + "==> Found and processed 2 regions.\n", None),
        (lambda: write_track(d / "two.fa", track, sizes="/no/s"), "", None),
        (lambda: seqtally.checksum(str(d / "bad.fa"), True),
         '==> Processing region "first" ... ==> Processing region "it\'s" ... ' + REPORT, BAD_ID),
        (lambda: write_track(d / "bad.fa", track, verbose=True), DONE + REPORT, BAD_ID),
    ]


@pytest.mark.parametrize("index", range(7))
def test_progress_messages(tmp_path, capfd, index):
    (tmp_path / "in.fa").write_bytes(b"".join(b">" + header + b"\nAC\n" for header, _ in QUOTED))
    (tmp_path / "two.fa").write_bytes(b">first\nAC\n>it's\nGG\n")
    (tmp_path / "bad.fa").write_bytes(b">first\nAC\n>it's\nGG\n>\xff\nTT\n")
    call, shown, failure = progress_cases(tmp_path)[index]
    capfd.readouterr()
    if failure is None:
        call()
    else:
        assert failure_of(call) == failure
    err = capfd.readouterr().err
    assert err == shown if failure is None else err.startswith(shown) and f"\n{failure}\n" in err


@pytest.mark.parametrize("stderr", ["closed", "/dev/full"])
def test_standard_error_closed_or_full(tmp_path, stderr):
    """A closed descriptor 2 is no failure; a failing one fails the call,
    before the chrom.sizes file is created, and the module stays usable."""
    (tmp_path / "in.fa").write_bytes(b">a\nGGCC\n")
    saved = os.dup(2)
    os.close(2)
    if stderr != "closed":
        assert os.open(stderr, os.O_WRONLY) == 2
    try:
        call = lambda: write_track(tmp_path / "in.fa", tmp_path / "o.wig", 2, sizes=tmp_path / "s",  # noqa: E731
                                   write_sizes=True, verbose=True)
        outcome = call() if stderr == "closed" else failure_of(call)
        later = seqtally.checksum(str(tmp_path / "in.fa"), False)[0].length
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    if stderr == "closed":
        assert (tmp_path / "o.wig").read_text() == "track type=wiggle_0\nvariableStep chrom=a span=2\n1\t100\n3\t100\n"
    else:
        assert outcome == f"failed printing to stderr: {os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})"
        assert not (tmp_path / "s").exists()
    assert later == 4
