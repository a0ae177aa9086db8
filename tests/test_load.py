"""Load: many calls keep memory, descriptors and threads flat, for the module
and for the library's engine. How much memory many records and one huge
record take is measured by the benchmarks (bench/suite.py), not here."""
import gzip
import os
import random

from conftest import SANITIZED, run_python

CALLS = 10_000 if SANITIZED else 20_000
# Rounds of the library's loop after its warm-up (about 0.3 s each);
# SEQTALLY_LOAD_ROUNDS asks for a longer run.
ROUNDS = int(os.environ.get("SEQTALLY_LOAD_ROUNDS", "10"))

# What a child process measures of itself: resident memory in KiB, open
# descriptors, threads.
MEASURES = """
import os
def rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
def usage():
    return rss(), len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
"""


def flat(before, after, calls, slack_kib=1024):
    """Descriptors and threads exactly as before; memory within the slack."""
    (rss_before, fds_before, threads_before), (rss_after, fds_after, threads_after) = before, after
    assert (fds_after, threads_after) == (fds_before, threads_before)
    if not SANITIZED:  # ASan's quarantine holds freed memory on purpose
        # A leak of slack / calls bytes a call would pass the mark.
        growth = rss_after - rss_before
        assert growth < slack_kib, f"resident memory grew by {growth} KiB in {calls} calls"


def test_repeated_calls_keep_memory_and_descriptors_flat(tmp_path):
    good, bad = tmp_path / "good.fa", tmp_path / "bad.fa"
    good.write_bytes(b">a\nACGT\n>b\nGG\n")
    bad.write_bytes(b"ACGT\n")
    out, _ = run_python(
        MEASURES + f"""
import os, sys, seqtally
os.chdir({str(tmp_path)!r})
os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # a failure report per failing call
def calls(count):
    for i in range(count):
        source = {str(bad)!r} if i % 4 < 2 else {str(good)!r}
        try:
            if i % 2:
                seqtally.checksum(source)
            else:
                seqtally.write_seqtally_to_file(source, "o.wig.gz", 1, 3, False, "s", True, False)
        except BaseException:
            pass
calls(2000)
before = usage()
calls({CALLS} * 2)
print(*before, *usage())
"""
    )
    values = list(map(int, out.split()))
    flat(values[:3], values[3:], CALLS * 2)


def test_library_calls_keep_memory_descriptors_and_threads_flat(tmp_path):
    """Every kind of engine call in a loop, gzip input on the second core
    (long records, more than the 1 MiB read inline), failures of each
    kind, and calls cancelled from another thread while they run."""
    rng = random.Random(5)
    records = [bytes(rng.choices(b"ACGTacgtN", k=1_500_000 + 100_000 * i)) for i in range(3)]
    plain = b"".join(b">r%d x\n" % i + b"\n".join(r[j:j + 60] for j in range(0, len(r), 60)) + b"\n"
                     for i, r in enumerate(records))
    (tmp_path / "g.fa").write_bytes(plain)
    (tmp_path / "g.fa.gz").write_bytes(gzip.compress(plain, 1))
    damaged = bytearray(gzip.compress(plain, 1))
    damaged[len(damaged) // 2] ^= 0xFF
    (tmp_path / "damaged.fa.gz").write_bytes(bytes(damaged))
    (tmp_path / "reads.fq").write_bytes(b"@r1\nACGT\n+\nIIII\n")
    out, _ = run_python(
        MEASURES + f"""
import os, threading, time
import seqtally_tools as st
os.chdir({str(tmp_path)!r})
st.index("g.fa", force=True)
fasta = st.FastaFile("g.fa")
landed = 0
def cancelled_soon(call):  # from another thread, once the call has begun reading
    global landed
    progress = st.Progress()
    def cancel():
        deadline = time.monotonic() + 5
        while progress.bytes_read == 0 and time.monotonic() < deadline:
            time.sleep(0.0002)
        progress.cancel()
    canceller = threading.Thread(target=cancel)
    canceller.start()
    try:
        call(progress)
    except st.SeqtallyError as error:
        assert error.kind == "cancelled", error
        landed += 1
    canceller.join()
def round_of_calls(n):
    assert len(st.checksum("g.fa.gz" if n % 2 else "g.fa")) == 3
    st.gc_track("g.fa.gz", "t.wig.gz", window=50, chrom_sizes="t.sizes")
    st.gc_track("g.fa.gz", "t.bw", count="acgt")
    st.index("g.fa.gz", force=True)
    assert len(fasta.fetch("r1", n * 1000, n * 1000 + 500)) == 500
    for source, kind in (("damaged.fa.gz", "gzip"), ("missing.fa", "os"), ("reads.fq", "format")):
        try:
            st.checksum(source)
        except st.SeqtallyError as error:
            assert error.kind == kind, error
        else:
            raise AssertionError(source)
    cancelled_soon(lambda progress: st.checksum("g.fa.gz", progress=progress))
    cancelled_soon(lambda progress: st.gc_track("g.fa.gz", "c.bw", progress=progress))
    cancelled_soon(lambda progress: st.index("g.fa.gz", force=True, progress=progress))
for n in range(6):
    round_of_calls(n)
before = usage()
for n in range({ROUNDS}):
    round_of_calls(n)
print(*before, *usage(), landed)
"""
    )
    *values, landed = map(int, out.split())
    assert landed > 0, "no cancel landed inside a call"
    # The heap's size moves by about 1 MiB from round to round (cancels
    # land anywhere; bigWig writes allocate in large pieces); what one call
    # leaks of its blocks (256 KiB and up) adds up far beyond that.
    flat(values[:3], values[3:], ROUNDS * 12, slack_kib=4096)
