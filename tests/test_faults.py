"""Faults from outside: full disks, missing permissions, signals
interrupting reads, too little memory, a file size limit."""
import errno
import gzip
import os
import subprocess
import sys
import tempfile
import zlib

import pytest

import seqtally
from conftest import SANITIZED, PanicException, os_text, run_python

ROOT = os.geteuid() == 0
TRACK_FASTA = b"".join(b">r%d\n" % i + b"ACGTGGCCAT" * 300 + b"\n" for i in range(400))


@pytest.fixture
def small_tmpfs():
    if not ROOT:
        pytest.skip("mounting a tmpfs needs root")
    folder = tempfile.mkdtemp()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder]).returncode != 0:
        pytest.skip("tmpfs cannot be mounted here")
    yield folder
    subprocess.run(["umount", folder], check=True)
    os.rmdir(folder)


def expected_track(tmp_path, fasta_path):
    reference = tmp_path / "reference.wig"
    seqtally.write_seqtally_to_file(fasta_path, str(reference), 6, 5, False, "x", False, False)
    return reference.read_bytes()


def test_plain_track_on_a_disk_that_fills(tmp_path, fasta, small_tmpfs):
    path = fasta(TRACK_FASTA)
    full = expected_track(tmp_path, path)
    out = os.path.join(small_tmpfs, "o.wig")
    with pytest.raises(PanicException) as caught:
        seqtally.write_seqtally_to_file(path, out, 6, 5, False, "x", False, False)
    assert str(caught.value) == "Write failed: " + os_text(errno.ENOSPC, "StorageFull")
    written = open(out, "rb").read()
    assert 0 < len(written) < len(full) and full.startswith(written)


def test_gzip_track_on_a_disk_that_fills(tmp_path, fasta, small_tmpfs):
    path = fasta(TRACK_FASTA * 3)
    full = expected_track(tmp_path, path)
    out = os.path.join(small_tmpfs, "o.wig.gz")
    with pytest.raises(PanicException) as caught:
        seqtally.write_seqtally_to_file(path, out, 0, 5, False, "x", False, False)
    assert str(caught.value) == "Write failed: " + os_text(errno.ENOSPC, "StorageFull")
    # No room is left for the final block and trailer, but what is there
    # decodes to a prefix of the track.
    decoded = zlib.decompressobj(31).decompress(open(out, "rb").read())
    assert 0 < len(decoded) < len(full) and full.startswith(decoded)


def test_chrom_sizes_filling_the_disk_leaves_a_complete_track_member(tmp_path, fasta, small_tmpfs):
    records = b"".join(b">%s\nGC\n" % (b"n" * 200 + b"%d" % i) for i in range(400))
    path = fasta(records)
    out = tmp_path / "o.wig.gz"
    with pytest.raises(PanicException) as caught:
        seqtally.write_seqtally_to_file(path, str(out), 6, 5, False, os.path.join(small_tmpfs, "sizes"), True, False)
    assert str(caught.value) == "Write failed: " + os_text(errno.ENOSPC, "StorageFull")
    content = gzip.decompress(out.read_bytes())  # a complete member, trailer checked
    assert content.startswith(b"track type=wiggle_0\nvariableStep chrom=")
    assert expected_track(tmp_path, path).startswith(content)


@pytest.mark.skipif(not ROOT, reason="needs root to drop to another user")
def test_permission_denied(tmp_path):
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o755)
    readable = os.path.join(folder, "in.fa")
    with open(readable, "wb") as f:
        f.write(b">a\nAC\n")
    secret = os.path.join(folder, "secret.fa")
    with open(secret, "wb") as f:
        f.write(b">a\nAC\n")
    os.chmod(secret, 0o600)
    out, _ = run_python(
        f"""
        import os, seqtally
        os.setgid(65534); os.setuid(65534)
        calls = [
            lambda: seqtally.checksum({secret!r}),
            lambda: seqtally.write_seqtally_to_file({readable!r}, {folder!r} + "/o.wig", 6, 5, False, "s", False, False),
            lambda: seqtally.write_seqtally_to_file({readable!r}, "/tmp/seqtally-o.wig", 6, 5, False,
                                                    {folder!r} + "/s", True, False),
        ]
        for call in calls:
            try:
                call()
            except BaseException as error:
                print(error)
        """
    )
    denied = os_text(errno.EACCES, "PermissionDenied")
    assert out.decode().splitlines() == [
        "called `Result::unwrap()` on an `Err` value: " + denied, "creation failed: " + denied,
        "Creation failed: " + denied]
    os.unlink("/tmp/seqtally-o.wig")
    for name in ("in.fa", "secret.fa"):
        os.unlink(os.path.join(folder, name))
    os.rmdir(folder)


def test_reads_interrupted_by_signals(tmp_path):
    content = b"".join(b">s%d\n" % i + b"ACGTNacgtn" * 2000 + b"\n" for i in range(60))
    plain = tmp_path / "plain.fa"
    plain.write_bytes(content)
    fifo = tmp_path / "slow.fa"
    os.mkfifo(fifo)
    feeder = (
        "import sys, time\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "with open(sys.argv[2], 'wb', buffering=0) as f:\n"
        "    for i in range(0, len(data), 4096):\n"
        "        f.write(data[i:i + 4096]); time.sleep(0.0005)\n"
    )
    out, err = run_python(
        f"""
        import signal, subprocess, sys, seqtally
        ticks = []
        signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
        def from_fifo(call):
            writer = subprocess.Popen([sys.executable, "-c", {feeder!r}, {str(plain)!r}, {str(fifo)!r}])
            signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
            try:
                return call()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0, 0)
                writer.wait()
        digests = lambda path: [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(path)]
        assert from_fifo(lambda: digests({str(fifo)!r})) == digests({str(plain)!r})
        for name, source in (("fifo.wig", {str(fifo)!r}), ("plain.wig", {str(plain)!r})):
            target = {str(tmp_path)!r} + "/" + name
            if source.endswith("slow.fa"):
                from_fifo(lambda: seqtally.write_seqtally_to_file(source, target, 6, 7, False, "x", False, False))
            else:
                seqtally.write_seqtally_to_file(source, target, 6, 7, False, "x", False, False)
        print(len(ticks) > 0)
        """
    )
    assert out.strip() == b"True" and err == b""
    assert (tmp_path / "fifo.wig").read_bytes() == (tmp_path / "plain.wig").read_bytes()


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
