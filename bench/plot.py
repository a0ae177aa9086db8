"""Bar chart of a benchmark run: seqtally next to the peers and the limits.

    .venv/bin/python bench/plot.py [bench/results/latest.json] [docs/performance.png]
"""
import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).resolve().parent


def groups(report):
    rows, limits = report["rows"], report["limits"]

    def rate(name):
        return next((r["mb_per_s"] for r in rows if r["name"] == name), None)

    genome = [
        ("limit: SHA-512 + MD5", limits["digest"], "limit"),
        ("seqtally checksum", rate("seqtally checksum, genome"), "seqtally"),
        ("seqkit fx2tab -s (MD5 only, 2 threads)", rate("seqkit fx2tab -n -l -s (MD5 only), genome"), "peer"),
        ("Biopython + hashlib", rate("Biopython SeqIO + hashlib, genome"), "peer"),
        ("Python hashlib script", rate("Python hashlib script, genome"), "peer"),
    ]
    reads = [
        ("limit: SHA-512 + MD5, 150 B", limits["digest150"], "limit"),
        ("seqtally checksum", rate("seqtally checksum, 1M reads"), "seqtally"),
        ("seqkit fx2tab -s (MD5 only, 2 threads)", rate("seqkit fx2tab -n -l -s (MD5 only), 1M reads"), "peer"),
        ("Biopython + hashlib", rate("Biopython SeqIO + hashlib, 1M reads"), "peer"),
        ("Python hashlib script", rate("Python hashlib script, 1M reads"), "peer"),
    ]
    wiggle = [
        ("limit: zlib inflate (for gzip in)", limits["inflate"], "limit"),
        ("seqtally, plain", rate("seqtally plain in, plain out, window 100"), "seqtally"),
        ("seqtally, gzip in", rate("seqtally gzip in (gzip -6), window 100"), "seqtally"),
        ("seqtally, gzip out level 6", rate("seqtally gzip out level 6, window 100"), "seqtally"),
        ("seqkit sliding | fx2tab -g", rate("seqkit sliding | seqkit fx2tab -n -g, window 100"), "peer"),
        ("bedtools makewindows | nuc", rate("bedtools makewindows | bedtools nuc, window 100"), "peer"),
    ]
    return [("checksum, 256 MiB genome", genome), ("checksum, 1M reads of 150 bases", reads),
            ("G/C track, window 100, 256 MiB genome", wiggle)]


def main():
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "results" / "latest.json"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else HERE.parent / "docs" / "performance.png"
    report = json.loads(source.read_text())
    colours = {"seqtally": "#1b7837", "peer": "#999999", "limit": "#2166ac"}
    panels = groups(report)
    figure, axes = plt.subplots(len(panels), 1, figsize=(8, 8.5), constrained_layout=True)
    for axis, (title, bars) in zip(axes, panels):
        bars = [b for b in bars if b[1] is not None]
        names = [b[0] for b in bars][::-1]
        values = [b[1] for b in bars][::-1]
        axis.barh(names, values, color=[colours[b[2]] for b in bars][::-1])
        for y, value in enumerate(values):
            axis.text(value, y, f" {value:,.0f}", va="center", fontsize=8)
        axis.set_title(title, fontsize=10, loc="left")
        axis.set_xlabel("MB/s of FASTA input (higher is better)", fontsize=8)
        axis.set_xlim(0, max(values) * 1.18)
        axis.tick_params(labelsize=8)
    machine = report["machine"]
    figure.suptitle(f"seqtally {machine['date']}: green seqtally, grey other tools, blue the machine's limit\n"
                    f"{machine['cpu']}, one core for seqtally", fontsize=9)
    figure.savefig(target, dpi=110)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
