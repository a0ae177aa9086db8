"""seqtally_tools as a library: its errors, plain data, threads and
executors, cancelling, and what a call leaves behind (nothing)."""
import concurrent.futures
import contextlib
import errno
import gzip
import multiprocessing
import os
import pickle
import random
import threading
import time
import types

import pytest

import seqtally_tools
from conftest import raised
from seqtally_tools import Progress, SeqtallyError

FASTQ_HINT = "it looks like FASTQ: seqtally reads FASTA only"


def test_failures_name_what_they_concern_with_their_cause(tmp_path, capfd):
    files = {"in.fa": b">a\nACGT\n", "reads.fq": b"@r1\nACGT\n+\nIIII\n", "name.fa": b">a\nAC\n>\xff\nGT\n",
             "cut.fa.gz": gzip.compress(b">a\nACGT\n" * 100)[:-6]}
    for name, content in files.items():
        (tmp_path / name).write_bytes(content)
    (tmp_path / "folder").mkdir()
    source, folder, reads = tmp_path / "in.fa", tmp_path / "folder", tmp_path / "reads.fq"
    missing, nowhere = tmp_path / "missing.fa", tmp_path / "nowhere" / "t.wig"
    st = seqtally_tools
    # call, path, kind, errno, line, byte, hint, words the message holds
    cases = [
        (lambda: st.checksum(missing), missing, "os", errno.ENOENT, None, None, None, "No such file or directory"),
        (lambda: st.checksum(folder), folder, "os", errno.EISDIR, None, None, None, "Is a directory"),
        (lambda: st.checksum(reads), reads, "format", None, 1, 64, FASTQ_HINT, "line 1 starts with '@'"),
        (lambda: st.checksum(tmp_path / "name.fa"), tmp_path / "name.fa", "encoding", None, 3, None, None, ""),
        (lambda: st.seqcol(tmp_path / "cut.fa.gz"), tmp_path / "cut.fa.gz", "gzip", None, None, None, None, "gzip"),
        (lambda: st.gc_track(source, nowhere), nowhere, "os", errno.ENOENT, None, None, None,
         f"the folder {nowhere.parent} does not exist"),
        (lambda: st.gc_track(source, folder), folder, "os", errno.EISDIR, None, None, None, ""),
        (lambda: st.gc_track(source, tmp_path / "t.wig", chrom_sizes=folder), folder, "os", errno.EISDIR, None, None,
         None, ""),
        (lambda: st.gc_track(source, tmp_path / "t.bw", chrom_sizes=folder), folder, "os", errno.EISDIR, None, None,
         None, ""),
        (lambda: st.gc_track(missing, tmp_path / "t.bw"), missing, "os", errno.ENOENT, None, None, None, ""),
        (lambda: st.sequence_dictionary(reads), reads, "format", None, 1, 64, FASTQ_HINT, ""),
    ]
    for number, (call, path, kind, code, line, byte, hint, words) in enumerate(cases):
        error = raised(call)
        assert isinstance(error, Exception) and str(error) == error.message, number
        assert (error.path, error.kind, error.errno, error.line, error.byte, error.hint) == \
            (str(path), kind, code, line, byte, hint), (number, error.describe())
        assert words in error.message and str(path) not in error.message, number
        copy = pickle.loads(pickle.dumps(error))
        assert vars(copy) == vars(error) and copy.describe() == error.describe(), number
    assert raised(lambda: st.checksum(tmp_path / "name.fa")).record == 2
    assert sorted(os.listdir(tmp_path)) == ["cut.fa.gz", "folder", "in.fa", "name.fa", "reads.fq"]
    assert capfd.readouterr() == ("", "")  # no report, no message, on descriptor 2 or anywhere else


def forkserver_pool():
    return concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver"))


@pytest.mark.parametrize("how", ["serial", "2 threads", "thread executor", "process executor"])
def test_checksum_files_in_order_and_stops_at_a_failure_after_the_files_before_it(tmp_path, how):
    files = [tmp_path / f"f{i}.fa" for i in range(150)]
    for i, path in enumerate(files):
        path.write_bytes(b">r%d\n%s\n" % (i, b"ACGT" * i))
    serial = [seqtally_tools.FileChecksums(str(f), seqtally_tools.checksum(f)) for f in files]
    files.insert(95, tmp_path / "missing.fa")
    executor = {"thread executor": lambda: concurrent.futures.ThreadPoolExecutor(3),
                "process executor": forkserver_pool}.get(how)
    with executor() if executor else contextlib.nullcontext() as pool:
        kwargs = {"executor": pool} if executor else {"jobs": 2 if how == "2 threads" else 1}
        assert list(seqtally_tools.checksum_files(files[:95], **kwargs)) == serial[:95]
        seen = []
        with pytest.raises(SeqtallyError) as caught:
            seen.extend(seqtally_tools.checksum_files(files, **kwargs))
    assert seen == serial[:95]
    assert (caught.value.path, caught.value.errno) == (str(tmp_path / "missing.fa"), errno.ENOENT)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """One small record, then one large enough that a call takes a while."""
    bases = random.Random(1).randbytes(48 << 20).translate(bytes(b"ACGT"[i % 4] for i in range(256)))
    path = tmp_path_factory.mktemp("large") / "large.fa.gz"
    path.write_bytes(gzip.compress(b">first\nACGT\n>second\n" + bases + b"\n", 1))
    return path


def test_threads_run_side_by_side_and_agree(large):
    serial = seqtally_tools.checksum(large)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        calls = [pool.submit(seqtally_tools.checksum, large) for _ in range(2)]
        # While both run, this thread still gets its turns.
        turns = 0
        while not all(call.done() for call in calls):
            turns += 1
            time.sleep(0.001)
        assert [call.result() for call in calls] == [serial] * 2
    assert turns > 10


@pytest.mark.parametrize("what", ["checksum", "checksum_files", "wig", "bigwig", "dict of a silent pipe",
                                  "index --bgzip"])
def test_cancel_ends_a_call_soon_and_leaves_nothing(tmp_path, large, monkeypatch, what):
    progress = Progress()
    # Cancelled at the first message, once the first record is done: the
    # second, large one is then under way (messages that came only at the
    # end would leave nothing to cancel).
    monkeypatch.setattr("sys.stderr", types.SimpleNamespace(write=lambda _: progress.cancel(), flush=lambda: None))
    silent_read, silent_write = os.pipe()
    calls = {
        "checksum": lambda: seqtally_tools.checksum(large, verbose=True, progress=progress),
        "checksum_files": lambda: list(seqtally_tools.checksum_files([large] * 8, jobs=2, progress=progress)),
        "wig": lambda: seqtally_tools.gc_track(large, tmp_path / "t.wig.gz", window=1, chrom_sizes=tmp_path / "s",
                                               verbose=True, progress=progress),
        "bigwig": lambda: seqtally_tools.gc_track(large, tmp_path / "t.bw", window=1, verbose=True, progress=progress),
        "dict of a silent pipe": lambda: seqtally_tools.sequence_dictionary(silent_read, progress=progress),
        # Cancelled once the first record is read, its copy under way.
        "index --bgzip": lambda: seqtally_tools.index(large, bgzip=tmp_path / "copy.fa.gz", progress=progress,
                                                      on_record=lambda *_: progress.cancel()),
    }
    if what in ("checksum_files", "dict of a silent pipe"):  # no messages: a cancel from another thread
        threading.Timer(0.05, progress.cancel).start()
    error = raised(calls[what])
    assert error.kind == "cancelled" and progress.cancelled
    assert os.listdir(tmp_path) == []
    os.close(silent_read)
    os.close(silent_write)
