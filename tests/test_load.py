"""Load and resources: many calls, threads, many records, one huge record."""
import hashlib
import base64
import threading

import pytest

import seqtally
from conftest import SANITIZED, run_python

CALLS = 10_000 if SANITIZED else 100_000


def test_repeated_calls_keep_memory_and_descriptors_flat(tmp_path):
    good, bad = tmp_path / "good.fa", tmp_path / "bad.fa"
    good.write_bytes(b">a\nACGT\n>b\nGG\n")
    bad.write_bytes(b"ACGT\n")
    out, _ = run_python(
        f"""
        import os, sys, seqtally
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # a failure report per failing call
        def rss():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        def calls(count):
            for i in range(count):
                try:
                    if i % 2:
                        seqtally.checksum({str(bad)!r} if i % 4 == 1 else {str(good)!r})
                    else:
                        source = {str(bad)!r} if i % 4 == 0 else {str(good)!r}
                        seqtally.write_seqtally_to_file(source, {str(tmp_path / 'o.wig.gz')!r}, 1, 3, False,
                                                        {str(tmp_path / 's')!r}, True, False)
                except BaseException:
                    pass
        calls(2000)
        before = (rss(), len(os.listdir("/proc/self/fd")))
        calls({CALLS} * 2)
        after = (rss(), len(os.listdir("/proc/self/fd")))
        print(before[0], after[0], before[1], after[1])
        """
    )
    rss_before, rss_after, fds_before, fds_after = map(int, out.split())
    assert fds_after == fds_before
    if not SANITIZED:  # ASan's quarantine holds freed memory on purpose
        assert rss_after - rss_before < 2048, f"resident memory grew by {rss_after - rss_before} KiB"


def test_threads_get_the_same_results_as_serial_calls(tmp_path):
    inputs = []
    for t in range(8):
        path = tmp_path / f"in{t}.fa"
        path.write_bytes(b"".join(b">t%dr%d\n" % (t, i) + b"ACGTGC"[t:] * (50 + i * t) + b"\n" for i in range(200)))
        inputs.append(str(path))

    def run_once(t, suffix):
        results = [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(inputs[t])]
        out = tmp_path / f"o{t}{suffix}.wig.gz"
        seqtally.write_seqtally_to_file(inputs[t], str(out), 6, 10, False, str(tmp_path / f"s{t}{suffix}"), True,
                                        False)
        return results, out.read_bytes(), (tmp_path / f"s{t}{suffix}").read_bytes()

    serial = [run_once(t, "serial") for t in range(8)]
    threaded = [None] * 8

    def worker(t):
        for _ in range(5):
            threaded[t] = run_once(t, "thread")

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert threaded == serial


def test_a_million_records(tmp_path):
    path = tmp_path / "many.fa"
    with open(path, "wb") as f:
        for i in range(1_000_000):
            f.write(b">r%d\n%s\n" % (i, b"ACGTG"[: 1 + i % 5]))
    results = seqtally.checksum(str(path))
    assert len(results) == 1_000_000
    for i in (0, 1, 4, 999_999):
        sequence = b"ACGTG"[: 1 + i % 5]
        assert (results[i].id, results[i].length, results[i].md5) == (
            f"r{i}", len(sequence), hashlib.md5(sequence).hexdigest())
    del results
    out, _ = run_python(
        f"""
        import seqtally
        def hwm():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
        before = hwm()
        seqtally.write_seqtally_to_file({str(path)!r}, {str(tmp_path / 'o.wig')!r}, 6, 2, False,
                                        {str(tmp_path / 's')!r}, True, False)
        print(hwm() - before)
        """
    )
    # Memory does not grow with the number of records.
    if not SANITIZED:
        assert int(out) < 16 * 1024
    sizes = (tmp_path / "s").read_text().splitlines()
    assert len(sizes) == 1_000_000 and sizes[-1] == "r999999\t5"


@pytest.mark.skipif(SANITIZED, reason="a gigabyte record takes minutes under the sanitizers")
def test_a_one_gibibyte_record_on_one_line(tmp_path):
    path = tmp_path / "huge.fa"
    block = b"ACGTacgtNN" * 104_858  # 1,048,580 bytes
    sha, md5 = hashlib.sha512(), hashlib.md5()
    upper = block.upper()
    with open(path, "wb") as f:
        f.write(b">huge\n")
        for _ in range(1024):
            f.write(block)
            sha.update(upper)
            md5.update(upper)
        f.write(b"\n")
    length = len(block) * 1024
    out, _ = run_python(
        f"""
        import seqtally
        def hwm():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) * 1024
        before = hwm()
        (result,) = seqtally.checksum({str(path)!r})
        print(result.length, result.sha512, result.md5, hwm() - before)
        seqtally.write_seqtally_to_file({str(path)!r}, {str(tmp_path / 'o.wig')!r}, 6, 1 << 20, False, "s", False,
                                        False)
        """
    )
    got_length, got_sha, got_md5, growth = out.split()
    assert int(got_length) == length
    assert got_sha.decode() == base64.urlsafe_b64encode(sha.digest()[:24]).decode()
    assert got_md5.decode() == md5.hexdigest()
    # The buffer grows in 8 MiB steps to the first size above the record.
    assert int(growth) <= length + (24 << 20)
    lines = (tmp_path / "o.wig").read_text().splitlines()
    assert len(lines) == 2 + 1025 and lines[2] == "1\t20"
    assert {line.split("\t")[1] for line in lines[2:]} <= {"19", "20"}
