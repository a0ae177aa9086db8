"""The library's engine seen from Python: every way of naming an input, a
plain program's Ctrl-C in the middle of a file, reads and writes that
signals interrupt, one naming rule for every output, and work handed to a
Dask cluster."""
import gzip
import os
import json
import random
import subprocess
import sys

import pytest

import seqtally
import seqtally_tools
from conftest import bgzf, module_track, raised, written

LONG = bytes(random.Random(61).choices(b"ACGTacgtN", k=2_800_000))
# Large enough that gzip input is inflated by the engine's own thread (it
# reads small regular files inline) and reads cross many blocks; the last
# record is long enough for MD5 on the second core and to be digested in
# parts while it is gathered.
RECORDS = b"".join(b">r%d some words\n" % i + b"\n".join(
    bytes(random.Random(i).choices(b"ACGTacgtN", k=60)) for _ in range(900)) + b"\n" for i in range(60)) + (
    b">long\n" + b"\n".join(LONG[i:i + 70] for i in range(0, len(LONG), 70)) + b"\n")
KINDS = {
    "plain": lambda data: data,
    "gzip": lambda data: gzip.compress(data, 6),
    "multi-member": lambda data: b"".join(gzip.compress(data[i:i + 333_333]) for i in range(0, len(data), 333_333)),
    "BGZF": bgzf,
}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Each kind's file (named so that no name tells its kind), and the
    module's values of the plain one."""
    folder = tmp_path_factory.mktemp("kinds")
    for kind, encode in KINDS.items():
        (folder / f"{kind}.data").write_bytes(encode(RECORDS))
    return folder, [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(str(folder / "plain.data"))]


def through(how, path):
    """checksum() of `path` given as `how`, in this process or (standard
    input) in a fresh one."""
    if how == "path":
        return seqtally_tools.checksum(path)
    if how == "descriptor":
        fd = os.open(path, os.O_RDONLY)
        records = seqtally_tools.checksum(fd)
        os.close(fd)  # still the caller's and open: closing it again would fail
        return records
    if how == "file object":
        with open(path, "rb") as stream:
            return seqtally_tools.checksum(stream)
    with open(path, "rb") as stream:
        out = subprocess.run([sys.executable, "-c", "import json, seqtally_tools; "
                              "print(json.dumps(seqtally_tools.checksum('-')))"], stdin=stream, capture_output=True,
                             check=True)
    return [tuple(record) for record in json.loads(out.stdout)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("how", ["path", "-", "descriptor", "file object"])
def test_every_source_of_every_kind_gives_the_module_values(inputs, kind, how):
    folder, expected = inputs
    assert [tuple(record) for record in through(how, str(folder / f"{kind}.data"))] == expected


INTERRUPTED = r"""
import os, signal, sys, threading, time
from seqtally_tools import checksum
# Started in the background by a shell, a program inherits Ctrl-C ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
path = sys.argv[1]
finished = []
def interrupt():
    time.sleep(0.3)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    checksum(path)
    finished.append(1)
    checksum(path)  # a fast machine may finish once before the signal
    finished.append(2)
except KeyboardInterrupt:
    print("interrupted", len(finished))
"""


@pytest.mark.parametrize("compressed", [False, True])
def test_ctrl_c_raises_keyboard_interrupt_inside_a_call(tmp_path, compressed):
    """A plain program, the signal sent 0.3 s into calls of a few seconds
    each: the second call never completes."""
    block = bytes(random.Random(5).choices(b"ACGT", k=1 << 20))
    path = tmp_path / ("big.fa.gz" if compressed else "big.fa")
    data = b">one long record\n" + block * 600 + b"\n>two\n" + block * 100 + b"\n"
    path.write_bytes(gzip.compress(data, 1) if compressed else data)
    out = subprocess.run([sys.executable, "-c", INTERRUPTED, str(path)], capture_output=True, timeout=120)
    assert out.stdout.split()[0] == b"interrupted" and out.stdout.split()[1] in (b"0", b"1")
    assert out.stderr == b""


SLOW_COPY = r"""
import os, sys, time
fd = int(sys.argv[1])
while chunk := os.read(fd, 4096):
    time.sleep(0.0002)
    sys.stdout.buffer.write(chunk)
"""


TIMED_WRITER = r"""
import os, signal, sys, seqtally_tools
ticks = []
signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
seqtally_tools.gc_track("-", "-", window=5)
signal.setitimer(signal.ITIMER_REAL, 0, 0)
assert len(ticks) > 10, len(ticks)
"""


def slow_copy(fd, **kwargs):
    return subprocess.Popen([sys.executable, "-c", SLOW_COPY, str(fd)], pass_fds=(fd,), **kwargs)


@pytest.mark.parametrize("compressed", [False, True])
def test_reads_and_writes_on_slow_pipes_survive_a_signal_timer(tmp_path, fasta, compressed):
    """The track from a pipe fed slowly to a pipe drained slowly, while a
    timer interrupts the reads and the writes: every byte arrives, once."""
    path = fasta(RECORDS)
    source = os.open(fasta(gzip.compress(RECORDS, 1)) if compressed else path, os.O_RDONLY)
    feeder = slow_copy(source, stdout=subprocess.PIPE)
    os.close(source)
    read_end, write_end = os.pipe()
    reader = slow_copy(read_end, stdout=subprocess.PIPE)
    os.close(read_end)
    writer = subprocess.Popen([sys.executable, "-c", TIMED_WRITER], stdin=feeder.stdout, stdout=write_end,
                              stderr=subprocess.PIPE)
    feeder.stdout.close()
    os.close(write_end)
    received = reader.communicate(timeout=300)[0]
    assert writer.wait(timeout=300) == feeder.wait(timeout=60) == 0, writer.stderr.read()
    assert received == module_track(path, 5, tmp_path)


def test_a_dask_cluster_runs_checksum_files(inputs):
    distributed = pytest.importorskip("distributed")
    folder, expected = inputs
    sources = [str(folder / f"{kind}.data") for kind in KINDS] * 3
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as \
            cluster, distributed.Client(cluster) as client:
        done = list(seqtally_tools.checksum_files(sources, executor=client.get_executor()))
    assert [f.file for f in done] == sources
    assert all([tuple(r) for r in f.records] == expected for f in done)


# header, the library's name (its first word), the module's (up to the first space)
NAMES = [
    (b"a b", "a", "a"),
    (b" pig1 desc", "pig1", ""),
    (b"\tpig2\tx", "pig2", "\tpig2\tx"),
    (b"chr1\tdesc", "chr1", "chr1\tdesc"),
    (b"v\x0bb c", "v", "v\x0bb"),
    (b"a\x01b", "a\x01b", "a\x01b"),
    (b"crlf\r", "crlf", "crlf"),
]


def test_one_naming_rule_for_every_output_of_the_library(tmp_path):
    import pyBigWig

    path = written(tmp_path / "names.fa", b"".join(b">%s\nACGTGC\n" % header for header, _, _ in NAMES))
    words = [word for _, word, _ in NAMES]
    assert [r.id for r in seqtally.checksum(str(path))] == [module for _, _, module in NAMES]
    assert [r.id for r in seqtally_tools.checksum(path)] == words
    seqtally_tools.gc_track(path, tmp_path / "t.wig", window=4, chrom_sizes=tmp_path / "s")
    sections = [line for line in (tmp_path / "t.wig").read_text().splitlines() if line.startswith("variableStep")]
    assert sections == [f"variableStep chrom={word} span=4" for word in words]
    assert (tmp_path / "s").read_text() == "".join(f"{word}\t6\n" for word in words)
    seqtally_tools.gc_track(path, tmp_path / "t.bedGraph", window=4)
    assert [line.split("\t")[0] for line in (tmp_path / "t.bedGraph").read_text().splitlines()] == \
        [w for w in words for _ in range(2)]
    seqtally_tools.gc_track(path, tmp_path / "t.bw", window=4)
    with pyBigWig.open(str(tmp_path / "t.bw")) as track:
        assert list(track.chroms()) == words


def test_a_record_without_a_name_where_one_is_needed(tmp_path):
    path = written(tmp_path / "unnamed.fa", b">a\nAC\n> \t\nGG\n")
    assert [r.id for r in seqtally_tools.checksum(path)] == ["a", ""]
    for call in (lambda: seqtally_tools.gc_track(path, tmp_path / "t.wig"),
                 lambda: seqtally_tools.gc_track(path, tmp_path / "t.bw"),
                 lambda: seqtally_tools.sequence_dictionary(path)):
        error = raised(call)
        assert error.kind == "format" and error.record == 2 and "record 2 has no name" in str(error)
    assert os.listdir(tmp_path) == ["unnamed.fa"]
