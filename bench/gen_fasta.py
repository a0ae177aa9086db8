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


if __name__ == "__main__":
    write_genome(sys.argv[1], int(sys.argv[2]) << 20 if len(sys.argv) > 2 else 256 << 20)
