"""write_seqtally_to_file() throughput, each figure next to its limit measured
in the same run.

    python bench/bench_write.py [FASTA]   (generates bench/data/genome.fa if absent)

- plain in, plain out: input MB/s next to `cat FILE > /dev/null`;
- gzip in (gzip -6 of the same file): decompressed MB/s next to zlib's own
  inflate of that file in memory;
- gzip out at levels 1 and 6, windows 100 and 5: total time next to zlib's own
  deflate of the same track bytes; what the writer adds is the total less the
  plain-output run and less zlib's time.
"""
import os
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_checksum import best_of, genome  # noqa: E402

import seqtally  # noqa: E402

MB = 1e6


def timed(action, runs=3):
    return best_of(runs, action)


def write(inp, out, level, window):
    seqtally.write_seqtally_to_file(str(inp), str(out), level, window, False, "unused", False, False)


def main():
    fasta = genome(sys.argv)
    size = fasta.stat().st_size
    gz = fasta.with_suffix(".fa.gz")
    if not gz.exists():
        with open(gz, "wb") as f:
            subprocess.run(["gzip", "-6", "-c", str(fasta)], stdout=f, check=True)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        cat = timed(lambda: subprocess.run(f"cat {fasta} > /dev/null", shell=True, check=True))
        plain = {w: timed(lambda w=w: write(fasta, tmp / "t.wig", 0, w)) for w in (100, 5)}
        print(f"input                 {size / MB:10.1f} MB  ({fasta})")
        print(f"cat > /dev/null       {size / cat / MB:10.1f} MB/s")
        print(f"plain in, plain out   {size / plain[100] / MB:10.1f} MB/s  window 100 (target >= 1000)")
        print(f"plain in, plain out   {size / plain[5] / MB:10.1f} MB/s  window 5")

        compressed = gz.read_bytes()
        inflate = timed(lambda: zlib.decompress(compressed, 31))
        gz_in = timed(lambda: write(gz, tmp / "t.wig", 0, 100))
        print(f"zlib inflate (memory) {size / inflate / MB:10.1f} MB/s  of {len(compressed) / MB:.1f} MB gzip -6")
        print(f"gzip in, plain out    {size / gz_in / MB:10.1f} MB/s  = {100 * inflate / gz_in:.1f}% of zlib "
              f"(target >= 75%)")
        del compressed

        for window in (100, 5):
            write(fasta, tmp / "t.wig", 0, window)
            track = (tmp / "t.wig").read_bytes()
            for level in (1, 6):
                def deflate():
                    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
                    compressor.compress(track)
                    compressor.flush()

                zlib_time = timed(deflate, runs=2)
                total = timed(lambda: write(fasta, tmp / "t.wig.gz", level, window), runs=2)
                added = total - plain[window] - zlib_time
                print(f"gzip out level {level} w{window:<4} total {total:6.2f} s  zlib alone {zlib_time:6.2f} s  "
                      f"plain run {plain[window]:5.2f} s  writer adds {100 * added / zlib_time:5.1f}% "
                      f"(target <= 10%), track {len(track) / MB:.0f} MB")
            del track


if __name__ == "__main__":
    main()
