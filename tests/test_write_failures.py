"""Failures of write_seqtally_to_file(): messages, and what each file holds after."""
import errno
import gzip
import os

import pytest

import seqtally
from conftest import PanicException, run_python

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def os_text(code, kind):
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def run(input_path, output, sizes="unused", write_sizes=False, window=100, verbose=False):
    with pytest.raises(PanicException) as caught:
        seqtally.write_seqtally_to_file(str(input_path), str(output), 6, window, False, str(sizes), write_sizes,
                                        verbose)
    return str(caught.value)


def test_missing_input_creates_nothing(tmp_path):
    out, sizes = tmp_path / "o.wig", tmp_path / "s"
    assert run(tmp_path / "missing.fa", out, sizes, True) == UNWRAP + os_text(errno.ENOENT, "NotFound")
    assert not out.exists() and not sizes.exists()


@pytest.mark.parametrize("name", ["o.wig", "o.wig.gz"])
def test_output_in_missing_directory(tmp_path, fasta, name):
    message = run(fasta(b">a\nA\n"), tmp_path / "nodir" / name)
    assert message == "creation failed: " + os_text(errno.ENOENT, "NotFound")


@pytest.mark.parametrize("name, content", [("o.wig", b""), ("o.wig.gz", None)])
def test_chrom_sizes_in_missing_directory(tmp_path, fasta, name, content):
    out = tmp_path / name
    message = run(fasta(b">a\nA\n"), out, tmp_path / "nodir" / "sizes", True)
    assert message == "Creation failed: " + os_text(errno.ENOENT, "NotFound")
    if content is None:
        # A complete member of empty content: header, empty final block, zero trailer.
        raw = out.read_bytes()
        assert gzip.decompress(raw) == b"" and raw[-8:] == bytes(8)
    else:
        assert out.read_bytes() == content


@pytest.mark.parametrize("name", ["o.wig", "o.wig.gz"])
def test_reader_failures_keep_what_was_written(tmp_path, fasta, name):
    out, sizes = tmp_path / name, tmp_path / "sizes"
    message = run(fasta(b"ACGT\n>a\n"), out, sizes, True)
    assert message == "Error reading record: InvalidStart { line: 1, found: 65 }"
    read = gzip.decompress if name.endswith(".gz") else bytes
    assert read(out.read_bytes()) == b"track type=wiggle_0\n"
    assert sizes.read_bytes() == b""

    message = run(fasta(b">first\nGGCC\n>\xffbad\nAC\n"), out, sizes, True)
    assert message == UNWRAP + "Utf8Error { valid_up_to: 0, error_len: Some(1) }"
    assert read(out.read_bytes()) == b"track type=wiggle_0\nvariableStep chrom=first span=100\n1\t100\n"
    assert sizes.read_bytes() == b"first\t4\n"

    assert run(tmp_path, out).startswith(f"Error reading record: Io(Os {{ code: {errno.EISDIR}")


def test_bad_identifier_progress_lines(tmp_path):
    path = tmp_path / "in.fa"
    path.write_bytes(b">first\nGG\n>\xff\nAC\n")
    _, err = run_python(
        f"""
        import seqtally
        try:
            seqtally.write_seqtally_to_file({str(path)!r}, {str(tmp_path / 'o.wig')!r}, 6, 100, False, "s",
                                            False, True)
        except BaseException:
            pass
        """
    )
    assert err.decode().startswith('==> Processing region "first" ... done\nthread \'main\' panicked at ')


def full_disk_link(tmp_path, name):
    link = tmp_path / name
    link.symlink_to("/dev/full")
    return link


@pytest.mark.parametrize("name", ["o.wig", "o.wig.gz"])
@pytest.mark.parametrize("records, fixed_text", [(1, "Could not close wig output file"), (5000, "Write failed")])
def test_full_disk_for_track(tmp_path, fasta, name, records, fixed_text):
    # A small track only reaches the disk at the flush; a large one fails on a write.
    content = b"".join(b">r%d\n" % i + b"ACGT" * 50 + b"\n" for i in range(records))
    message = run(fasta(content), full_disk_link(tmp_path, name), window=5)
    assert message == f"{fixed_text}: " + os_text(errno.ENOSPC, "StorageFull")


def test_full_disk_for_chrom_sizes(tmp_path, fasta):
    out = tmp_path / "o.wig"
    message = run(fasta(b">a\nAC\n"), out, full_disk_link(tmp_path, "sizes"), True)
    assert message == "Could not close chrom sizes stream: " + os_text(errno.ENOSPC, "StorageFull")
    # The track was flushed before the chrom sizes stream failed.
    assert out.read_text() == "track type=wiggle_0\nvariableStep chrom=a span=100\n1\t50\n"


def test_failure_to_finish_gzip_member_is_reported(tmp_path):
    """Flush succeeds, but the final block and trailer hit the file size limit."""
    path = tmp_path / "in.fa"
    path.write_bytes(b">a\n" + b"ACGT" * 1000 + b"\n")
    out = tmp_path / "o.wig.gz"
    seqtally.write_seqtally_to_file(str(path), str(out), 6, 5, False, "s", False, False)
    complete = out.stat().st_size
    stdout, _ = run_python(
        f"""
        import resource, signal, seqtally
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({complete - 5}, resource.RLIM_INFINITY))
        try:
            seqtally.write_seqtally_to_file({str(path)!r}, {str(out)!r}, 6, 5, False, "s", False, False)
            print("returned")
        except BaseException as error:
            print(error)
        """
    )
    assert stdout.decode().strip() == "Could not close wig output file: " + os_text(errno.EFBIG, "FileTooLarge")


def test_outputs_never_overwrite_the_input(tmp_path, fasta):
    """Creating an output truncates it: naming the input (by any path) as an
    output would destroy the input and report success."""
    path = fasta(b">a\nGGCC\n")
    alias = str(tmp_path / ".." / tmp_path.name / os.path.basename(path))
    out = tmp_path / "o.wig"
    for output, sizes, message in [
        (path, tmp_path / "s", 'creation failed: Custom { kind: InvalidInput, error: "output file is the input file" }'),
        (alias, tmp_path / "s", 'creation failed: Custom { kind: InvalidInput, error: "output file is the input file" }'),
        (out, path, 'Creation failed: Custom { kind: InvalidInput, error: "chrom.sizes file is the input or the output file" }'),
        (out, out, 'Creation failed: Custom { kind: InvalidInput, error: "chrom.sizes file is the input or the output file" }'),
    ]:
        assert run(path, output, sizes, True) == message
    with open(path, "rb") as f:
        assert f.read() == b">a\nGGCC\n"
