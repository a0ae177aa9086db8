"""Figure for the README: the G/C track seqtally writes for a real genome,
the lambda phage assembly from Debian's bowtie2-examples package.

    .venv/bin/python docs/plot_gc_track.py [docs/gc_track.png]
"""
import gzip
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import seqtally  # noqa: E402

GENOME = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")


def read_track(path):
    positions, values = [], []
    with open(path) as f:
        for line in f:
            if line[0].isdigit():
                position, value = line.split("\t")
                positions.append(int(position))
                values.append(int(value))
    return positions, values


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "gc_track.png"
    with tempfile.TemporaryDirectory() as tmp:
        tracks = {}
        for window in (100, 1000):
            track = Path(tmp) / f"w{window}.wig"
            seqtally.write_seqtally_to_file(str(GENOME), str(track), 6, window, False, "", False, False)
            tracks[window] = read_track(track)
    sequence = "".join(line.strip() for line in gzip.open(GENOME, "rt") if not line.startswith(">"))
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 4.2), sharex=True, constrained_layout=True,
                                         gridspec_kw={"height_ratios": [5, 1]})
    for window, colour in ((100, "#9ecae1"), (1000, "#08519c")):
        positions, values = tracks[window]
        top.step(positions, values, where="post", color=colour, lw=1 if window == 100 else 1.8,
                 label=f"window {window}")
    overall = 100 * sum(base in "GC" for base in sequence) / len(sequence)
    top.axhline(overall, color="#d6604d", lw=1, ls="--", label=f"whole genome {overall:.1f}%")
    top.set_ylabel("G/C %")
    top.legend(fontsize=8, loc="lower left", ncol=3)
    top.set_title("seqtally gc on the lambda phage genome (NC_001416.1, 48,502 bases)", fontsize=10, loc="left")
    # The windows themselves: each variableStep line covers `span` bases from its position.
    positions = tracks[1000][0]
    for i, start in enumerate(positions):
        end = min(start + 1000, len(sequence) + 1)
        bottom.axvspan(start, end, color="#08519c" if i % 2 else "#6baed6", alpha=0.6, lw=0)
    bottom.set_yticks([])
    bottom.set_ylabel("windows\n(1000)", fontsize=8)
    bottom.set_xlabel("position (bases, 1-based)")
    bottom.set_xlim(1, len(sequence) + 1)
    figure.savefig(target, dpi=110)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
