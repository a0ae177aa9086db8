"""Failures of checksum(): exact messages, nothing leaked, the module still usable."""
import errno
import os

import pytest

import seqtally
from conftest import SANITIZED, PanicException, run_python

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def failure_message(call):
    with pytest.raises(PanicException) as caught:
        call()
    return str(caught.value)


def test_missing_file(tmp_path):
    missing = tmp_path / "secret-name.fa"
    message = failure_message(lambda: seqtally.checksum(str(missing)))
    assert message == UNWRAP + f'Os {{ code: 2, kind: NotFound, message: "{os.strerror(errno.ENOENT)}" }}'
    assert "secret-name" not in message


@pytest.mark.parametrize(
    "make_path, description",
    [
        (lambda d: str(d / "a\0b"),
         'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
        (lambda d: str(d),
         f'Io(Os {{ code: {errno.EISDIR}, kind: IsADirectory, message: "{os.strerror(errno.EISDIR)}" }})'),
        (lambda d: str(d / "missing" / "x.fa"),
         f'Os {{ code: 2, kind: NotFound, message: "{os.strerror(errno.ENOENT)}" }}'),
    ],
)
def test_path_failures(tmp_path, make_path, description):
    assert failure_message(lambda: seqtally.checksum(make_path(tmp_path))) == UNWRAP + description


@pytest.mark.parametrize(
    "identifier, description",
    [
        (b"\xc3\x28", "Utf8Error { valid_up_to: 0, error_len: Some(1) }"),
        (b"ab\xc3", "Utf8Error { valid_up_to: 2, error_len: None }"),
        (b"abc\xff", "Utf8Error { valid_up_to: 3, error_len: Some(1) }"),
        (b"\xe2\x82", "Utf8Error { valid_up_to: 0, error_len: None }"),
        (b"\xe2\x82A", "Utf8Error { valid_up_to: 0, error_len: Some(2) }"),
        (b"\xf0\x9f\x98A", "Utf8Error { valid_up_to: 0, error_len: Some(3) }"),
        (b"\xed\xa0\x80", "Utf8Error { valid_up_to: 0, error_len: Some(1) }"),  # surrogate
        (b"\xc0\xaf", "Utf8Error { valid_up_to: 0, error_len: Some(1) }"),  # overlong
        (b"\xf4\x90\x80\x80", "Utf8Error { valid_up_to: 0, error_len: Some(1) }"),  # above U+10FFFF
        (b"ok\xf0\x9f\x98\x80\xff", "Utf8Error { valid_up_to: 6, error_len: Some(1) }"),
    ],
)
def test_identifier_not_utf8(fasta, identifier, description):
    path = fasta(b">" + identifier + b" desc\nAC\n")
    assert failure_message(lambda: seqtally.checksum(path)) == UNWRAP + description


def test_invalid_bytes_after_the_first_space_are_fine(fasta):
    assert seqtally.checksum(fasta(b">id \xff\xfe\nAC\n"))[0].id == "id"


def test_failure_in_third_record_keeps_earlier_progress(tmp_path):
    path = tmp_path / "three.fa"
    path.write_bytes(b">a\nAC\n>b\nGG\n>\xff\nTT\n")
    out, err = run_python(
        f"""
        import seqtally
        try:
            print(seqtally.checksum({str(path)!r}, True))
        except BaseException as error:
            print(type(error).__name__)
        """
    )
    assert out.strip() == b"PanicException"
    text = err.decode()
    assert text.startswith('==> Processing region "a" ... ==> Processing region "b" ... thread \'main\' panicked at ')
    assert "\n" + UNWRAP + "Utf8Error { valid_up_to: 0, error_len: Some(1) }\n" in text


def test_stderr_full_fails_the_call(tmp_path):
    path = tmp_path / "a.fa"
    path.write_bytes(b">a\nACGT\n")
    with open("/dev/full", "wb") as full:
        out, _ = run_python(
            f"""
            import seqtally
            try:
                seqtally.checksum({str(path)!r}, True)
            except BaseException as error:
                print(error)
            print(seqtally.checksum({str(path)!r}, False)[0].length)
            """,
            stderr_target=full,
        )
    assert out.decode().splitlines() == [
        f"failed printing to stderr: {os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})", "4"]


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
def test_out_of_memory_is_a_panic_not_an_abort(tmp_path):
    path = tmp_path / "huge.fa"
    with open(path, "wb") as f:
        f.write(b">huge\n")
        f.write(b"A" * (256 << 20))
    out, _ = run_python(
        f"""
        import resource, seqtally
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), resource.RLIM_INFINITY))
        try:
            seqtally.checksum({str(path)!r})
        except BaseException as error:
            print(type(error).__name__, error)
        small = {str(path)!r}.replace("huge", "small")
        open(small, "wb").write(b">s\\nAC\\n")
        print(seqtally.checksum(small)[0].length)
        """
    )
    lines = out.decode().splitlines()
    assert lines[0].startswith("PanicException memory allocation of ") and lines[0].endswith(" bytes failed")
    assert lines[1] == "2"
