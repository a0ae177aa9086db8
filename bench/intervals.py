"""The interval rows of bench/suite.py: 100,000 intervals of 1 kb at random
places of the bench genome, both strands, through seqtally nuc and fetch
against bedtools nuc, bedtools getfasta -s and samtools faidx -r on the same
intervals, and aliases of two renamed copies of the genome against one
seqcol of both. Runs alternate between the tools, so that a shared
machine's drift falls on all alike; each ratio is the median of the runs'
own ratios."""
import random
import shutil
import statistics
import subprocess
import time

COUNT = 100_000
LENGTH = 1000


def _seconds(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def _inputs(genome, bgzf, work):
    """Copies of both genomes with samtools' indexes, the BED file and the
    same intervals as samtools regions (1-based, inclusive)."""
    plain, packed = work / "intervals.fa", work / "intervals.fa.gz"
    shutil.copyfile(genome, plain)
    shutil.copyfile(bgzf, packed)
    for fasta in (plain, packed):
        subprocess.run(["samtools", "faidx", str(fasta)], check=True)
    sizes = [line.split("\t")[:2] for line in (work / "intervals.fa.fai").read_text().splitlines()]
    rng = random.Random(26)
    names = [name for name, _ in sizes]
    weights = [int(length) for _, length in sizes]
    bed, regions = [], []
    for i, name in enumerate(rng.choices(names, weights=weights, k=COUNT)):
        start = rng.randrange(int(dict(sizes)[name]) - LENGTH)
        bed.append(f"{name}\t{start}\t{start + LENGTH}\tp{i}\t0\t{rng.choice('+-')}\n")
        regions.append(f"{name}:{start + 1}-{start + LENGTH}\n")
    (work / "intervals.bed").write_text("".join(bed))
    (work / "intervals.txt").write_text("".join(regions))
    return plain, packed, work / "intervals.bed", work / "intervals.txt"


def interval_rows(reps, inputs, size, work, row, seqtally):
    """`seqtally` is the command's path."""
    print("intervals:", flush=True)
    plain, packed, bed, regions = _inputs(inputs["genome"], inputs["genome_bgzf"], work)
    size["intervals"] = COUNT * LENGTH
    runs = {
        "seqtally nuc, plain": [seqtally, "nuc", plain, bed],
        "seqtally nuc, BGZF": [seqtally, "nuc", packed, bed],
        "bedtools nuc, plain": ["bedtools", "nuc", "-fi", plain, "-bed", bed],
        "seqtally fetch --bed --strand, plain": [seqtally, "fetch", plain, "--bed", bed, "--strand"],
        "seqtally fetch --bed --strand, BGZF": [seqtally, "fetch", packed, "--bed", bed, "--strand"],
        "bedtools getfasta -s, plain": ["bedtools", "getfasta", "-fi", plain, "-bed", bed, "-s"],
        "seqtally fetch --regions, BGZF": [seqtally, "fetch", packed, "--regions", regions],
        "samtools faidx -r, BGZF": ["samtools", "faidx", packed, "-r", regions],
    }
    seconds = {name: [] for name in runs}
    for _ in range(reps):
        for name, command in runs.items():
            seconds[name].append(_seconds([str(part) for part in command]))

    def ratio(ours, theirs):
        return statistics.median(b / a for a, b in zip(seconds[ours], seconds[theirs]))

    against = {"seqtally nuc, plain": "bedtools nuc, plain", "seqtally nuc, BGZF": "seqtally nuc, plain",
               "seqtally fetch --bed --strand, plain": "bedtools getfasta -s, plain",
               "seqtally fetch --bed --strand, BGZF": "samtools faidx -r, BGZF",
               "seqtally fetch --regions, BGZF": "samtools faidx -r, BGZF"}
    for name in runs:
        kind = "seqtally" if name.startswith("seqtally") else "peer"
        peer = against.get(name)
        # For the nuc BGZF row the ratio is its time over the plain run's
        # (the target is at most 1.3); elsewhere the peer's time over ours.
        value = ratio(peer, name) if name == "seqtally nuc, BGZF" else ratio(name, peer) if peer else None
        limit = None if peer is None else "own plain" if name == "seqtally nuc, BGZF" else "faster than " + peer
        row("intervals", name + ", 100k x 1 kb", statistics.median(seconds[name]), "intervals", kind, limit,
            ratio=value)

    renamed = work / "renamed.fa"
    with open(inputs["genome"], "rb") as source, open(renamed, "wb") as out:
        for line in source:
            out.write(b">NC_" + line[1:] if line.startswith(b">") else line)
    pairs = [(_seconds([seqtally, "seqcol", str(inputs["genome"]), str(renamed)]),
              _seconds([seqtally, "aliases", str(inputs["genome"]), str(renamed)])) for _ in range(reps)]
    size["genome_pair"] = 2 * size["genome"]
    row("intervals", "seqtally aliases, two renamed genomes", statistics.median(b for _, b in pairs), "genome_pair",
        "seqtally", "seqcol", ratio=statistics.median(b / a for a, b in pairs))
