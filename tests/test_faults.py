"""Faults from outside: full disks, too little memory, a file size limit.
(Signals interrupting reads and writes: test_engine.py.)"""
import errno
import gzip
import os
import subprocess
import tempfile
import zlib

import pytest

import seqtally
from conftest import SANITIZED, failure_of, module_track, os_text, run_python, write_track

ROOT = os.geteuid() == 0
TRACK_FASTA = b"".join(b">r%d\n" % i + b"ACGTGGCCAT" * 300 + b"\n" for i in range(400))


def mounted_tmpfs(options):
    if not ROOT:
        pytest.skip("mounting a tmpfs needs root")
    folder = tempfile.mkdtemp()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", folder]).returncode != 0:
        pytest.skip("tmpfs cannot be mounted here")
    yield folder
    subprocess.run(["umount", folder], check=True)
    os.rmdir(folder)


@pytest.fixture
def small_tmpfs():
    yield from mounted_tmpfs("size=64k")


def test_a_read_only_file_system(fasta):
    """EROFS has a kind of its own in the message, not Other."""
    for folder in mounted_tmpfs("ro,size=64k"):
        text = failure_of(lambda: seqtally.write_seqtally_to_file(fasta(b">r\nACGT\n"), f"{folder}/o.wig", 6, 5, False,
                                                                  "x", False, False))
        assert text == "creation failed: " + os_text(errno.EROFS, "ReadOnlyFilesystem")


# (records, track name, level, chrom.sizes on the small disk too, what the track holds after)
FILLS = {
    "plain track": (TRACK_FASTA, "o.wig", 6, False, lambda raw: raw),
    # No room for the final block and trailer, but what is there decodes.
    "gzip track": (TRACK_FASTA * 3, "o.wig.gz", 0, False, lambda raw: zlib.decompressobj(31).decompress(raw)),
    # The sizes fill the disk: the track (elsewhere) is still one complete member.
    "chrom.sizes": (b"".join(b">%s\nGC\n" % (b"n" * 200 + b"%d" % i) for i in range(400)), "o.wig.gz", 6, True,
                    gzip.decompress),
}


@pytest.mark.parametrize("name", FILLS)
def test_a_disk_that_fills(tmp_path, fasta, small_tmpfs, name):
    records, track, level, sizes_there, decoded = FILLS[name]
    path = fasta(records)
    out = tmp_path / track if sizes_there else os.path.join(small_tmpfs, track)
    sizes = os.path.join(small_tmpfs, "sizes") if sizes_there else "x"
    text = failure_of(lambda: seqtally.write_seqtally_to_file(path, str(out), level, 5, False, sizes, sizes_there,
                                                              False))
    assert text == "Write failed: " + os_text(errno.ENOSPC, "StorageFull")
    written, full = decoded(open(out, "rb").read()), module_track(path, 5, tmp_path)
    assert 0 < len(written) < len(full) and full.startswith(written)
    assert not sizes_there or written.startswith(b"track type=wiggle_0\nvariableStep chrom=")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
def test_out_of_memory_is_a_panic_not_an_abort(tmp_path):
    (tmp_path / "huge.fa").write_bytes(b">huge\n" + b"A" * (256 << 20))
    (tmp_path / "small.fa").write_bytes(b">s\nAC\n")
    out, _ = run_python(f"""
        import os, resource, seqtally
        os.chdir({str(tmp_path)!r})
        vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), resource.RLIM_INFINITY))
        try:
            seqtally.checksum("huge.fa")
        except BaseException as error:
            print(type(error).__name__, error)
        print(seqtally.checksum("small.fa")[0].length)
        """)
    failure, length = out.decode().splitlines()
    assert failure.startswith("PanicException memory allocation of ") and failure.endswith(" bytes failed")
    assert length == "2"


# A call whose track's final block and trailer overrun the file size limit,
# and what it says.
UNFINISHED = {
    "module": ('seqtally.write_seqtally_to_file("in.fa", "o.wig.gz", 6, 5, False, "s", False, False)',
               "Could not close wig output file: " + os_text(errno.EFBIG, "FileTooLarge")),
    # The chrom.sizes file fails as well, at its flush, before the track's
    # member is finished: its failure is the one reported.
    "library": ('seqtally_tools.gc_track("in.fa", "o.wig.gz", window=5, chrom_sizes="/dev/full")',
                "/dev/full: " + os.strerror(errno.ENOSPC)),
}


@pytest.mark.parametrize("name", UNFINISHED)
def test_failure_to_finish_gzip_member_is_reported(tmp_path, name):
    """Flush succeeds, but the final block and trailer hit the file size limit."""
    call, said = UNFINISHED[name]
    (tmp_path / "in.fa").write_bytes(b">a\n" + b"ACGT" * 1000 + b"\n")
    write_track(tmp_path / "in.fa", tmp_path / "o.wig.gz", 5, sizes="s")
    out, _ = run_python(f"""
        import os, resource, signal, seqtally, seqtally_tools
        os.chdir({str(tmp_path)!r})
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.stat("o.wig.gz").st_size - 5, resource.RLIM_INFINITY))
        try:
            {call}
        except BaseException as error:
            print(error.describe() if isinstance(error, seqtally_tools.SeqtallyError) else error)
        """)
    assert out.decode().strip() == said
