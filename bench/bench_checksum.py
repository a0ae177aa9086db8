"""checksum() throughput and peak memory next to the digest library's limit.

    python bench/bench_checksum.py [FASTA]   (generates bench/data/genome.fa if absent)

The limit is the single-core rate of SHA-512 and MD5 run one after the other
over the same bytes, 1/(1/sha512 + 1/md5), measured here with hashlib, which
calls the same OpenSSL library.
"""
import hashlib
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def genome(argv):
    if len(argv) > 1:
        return Path(argv[1])
    path = HERE / "data" / "genome.fa"
    if not path.exists():
        path.parent.mkdir(exist_ok=True)
        subprocess.run([sys.executable, str(HERE / "gen_fasta.py"), str(path), "256"], check=True)
    return path


def best_of(runs, action):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def digest_rate(data, name):
    view = memoryview(data)
    seconds = best_of(3, lambda: hashlib.new(name, view).digest())
    return len(data) / seconds


def peak_memory(path):
    # VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the parent across exec.
    code = (
        "import sys, seqtally\n"
        "def hwm():\n"
        "    with open('/proc/self/status') as f:\n"
        "        return next(int(l.split()[1]) for l in f if l.startswith('VmHWM:'))\n"
        "before = hwm()\n"
        "seqtally.checksum(sys.argv[1])\n"
        "print(before, hwm())\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    before, after = map(int, out.stdout.split())
    return before * 1024, after * 1024


def largest_record(path):
    largest = current = 0
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b">"):
                largest = max(largest, current)
                current = 0
            current += len(line)
    return max(largest, current)


def main():
    import seqtally

    path = genome(sys.argv)
    size = path.stat().st_size
    data = path.read_bytes()  # also brings the file into the page cache
    mb = 1e6
    sha = digest_rate(data, "sha512")
    md5 = digest_rate(data, "md5")
    limit = 1 / (1 / sha + 1 / md5)
    del data
    seconds = best_of(3, lambda: seqtally.checksum(str(path)))
    rate = size / seconds
    before, after = peak_memory(path)
    record = largest_record(path)
    print(f"file                  {size / mb:10.1f} MB  ({path})")
    print(f"OpenSSL SHA-512       {sha / mb:10.1f} MB/s")
    print(f"OpenSSL MD5           {md5 / mb:10.1f} MB/s")
    print(f"limit (both, 1 core)  {limit / mb:10.1f} MB/s")
    print(f"seqtally.checksum     {rate / mb:10.1f} MB/s  = {100 * rate / limit:.1f}% of the limit (target 75%)")
    print(f"peak RSS growth       {(after - before) / 2**20:10.1f} MiB  (largest record {record / 2**20:.1f} MiB, "
          f"budget {record / 2**20 + 16:.1f} MiB)")


if __name__ == "__main__":
    main()
