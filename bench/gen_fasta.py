"""Generates a genome-like FASTA file: 60-column lines, soft-masked lowercase
stretches, runs of N, a few dozen records of varied size.

    python bench/gen_fasta.py OUT.fa [SIZE_MIB]
"""
import random
import sys


def chromosome(rng, length):
    """Sequence bytes for one record, built from 1 MiB blocks for speed."""
    block = bytearray(rng.choices(b"ACGTACGTGC", k=1 << 20))
    out = bytearray()
    while len(out) < length:
        piece = bytearray(block[rng.randrange(0, 1 << 19):])
        # Soft-masked repeats and assembly gaps.
        for _ in range(20):
            start = rng.randrange(0, len(piece))
            end = min(len(piece), start + rng.randrange(100, 20_000))
            piece[start:end] = piece[start:end].lower()
        if rng.random() < 0.3:
            start = rng.randrange(0, len(piece))
            end = min(len(piece), start + rng.randrange(1_000, 50_000))
            piece[start:end] = b"N" * (end - start)
        out += piece
    return bytes(out[:length])


def write_genome(path, total):
    """About `total` bytes of records, the same for the same size."""
    rng = random.Random(42)
    written = 0
    index = 1
    with open(path, "wb") as f:
        while written < total:
            length = min(total - written, rng.choice([40, 25, 12, 6]) << 20)
            seq = chromosome(rng, length)
            f.write(b">chr%d simulated record\n" % index)
            f.write(b"\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)))
            f.write(b"\n")
            written += length + length // 60
            index += 1


def write_assemblies(folder, count):
    """`count` small assemblies of 25 to 300 records of 500 to 20,000
    bases (about 1.7 MB each), ten records of each drawn from 60 that all
    share, under the file's own names."""
    rng = random.Random(38)
    block = bytes(rng.choices(b"ACGT", k=1 << 20))

    def piece():
        length = rng.randrange(500, 20_000)
        at = rng.randrange(0, len(block) - length)
        return block[at:at + length]

    shared = [piece() for _ in range(60)]
    folder.mkdir(exist_ok=True)
    for i in range(count):
        records = [piece() for _ in range(rng.randrange(15, 290))] + rng.sample(shared, 10)
        with open(folder / f"asm{i:03}.fa", "wb") as f:
            for r, seq in enumerate(records):
                f.write(b">ctg%d_%d\n" % (i, r) + b"\n".join(seq[j:j + 60] for j in range(0, len(seq), 60)) + b"\n")


if __name__ == "__main__":
    write_genome(sys.argv[1], int(sys.argv[2]) << 20 if len(sys.argv) > 2 else 256 << 20)
