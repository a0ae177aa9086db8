"""Writes the small seed corpora in fuzz/corpus/. Each target reads a few
leading control bytes (chunk seed, buffer size, window) before its input."""
import gzip
import struct
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent / "corpus"

FASTA = [
    b">chr1 desc\nACGTacgtNNNN\nGGCC\n>chr2\n\n>\nAC>GT\r\nTT",
    b"\n\r\n>a\tb c\nGCGCGCATAT\r\n",
    b"ACGT\n>a\n",
    b">x\xc3\xa9 y\nSSSS\n>\xff\nAAAA\n\n",
]


def member(data, flags=0, extra=b"", name=b"", comment=b""):
    header = struct.pack("<BBBBIBB", 0x1F, 0x8B, 8, flags, 0, 0, 255)
    if flags & 0x04:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 0x08:
        header += name + b"\0"
    if flags & 0x10:
        header += comment + b"\0"
    if flags & 0x02:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    return header + compressor.compress(data) + compressor.flush() + struct.pack("<II", zlib.crc32(data), len(data))


def main():
    seeds = {
        "fasta_reader": [bytes([7, 3]) + f for f in FASTA] + [bytes([1, 200]) + f for f in FASTA],
        "operations": [bytes([4, 0, 9]) + f for f in FASTA] + [bytes([0xFB, 1, 3]) + FASTA[0], bytes([1, 2, 5]) + FASTA[1]],
        "gzip_reader": [
            bytes([0]) + gzip.compress(FASTA[0]),
            bytes([3]) + member(FASTA[0]) + member(FASTA[1]),
            bytes([1]) + member(FASTA[1], flags=0x1F, extra=b"BC\x02\x00\x10\x00", name=b"n.fa", comment=b"c"),
            bytes([9]) + member(b"") + member(FASTA[2]) + b"\0" * 3,
            bytes([2]) + member(FASTA[3] * 40, flags=0x04, extra=b"BC\x02\x00\xff\x00"),
        ],
    }
    for target, inputs in seeds.items():
        folder = HERE / target
        folder.mkdir(parents=True, exist_ok=True)
        for index, data in enumerate(inputs):
            (folder / f"seed{index}").write_bytes(data)


if __name__ == "__main__":
    main()
