"""Runs seqtally on the bundled FASTA files and prints what it finds:
the checksums of every record, then a G/C wiggle track (gzip) and a
chrom.sizes file written next to each other in a temporary folder, then
what the seqtally_tools library adds: a gzip copy read by content, the
sequence collection digest, and a bigWig track read back."""
import gzip
import sys
import tempfile
from pathlib import Path

import seqtally

HERE = Path(__file__).resolve().parent


def show_checksums(fasta: Path) -> None:
    print(f"checksum({fasta.name!r}):")
    for result in seqtally.checksum(str(fasta)):
        print(f"  {result.id:<14} length {result.length:>6}  sha512t24u {result.sha512}  md5 {result.md5}")


def show_track(fasta: Path, folder: Path) -> None:
    track = folder / (fasta.stem + ".wig.gz")
    sizes = folder / (fasta.stem + ".chrom.sizes")
    print(f"\nwrite_seqtally_to_file({fasta.name!r}, window_size=500) -> {track.name}, {sizes.name}",
          flush=True)  # progress messages go straight to descriptor 2
    seqtally.write_seqtally_to_file(str(fasta), str(track), 6, 500, False, str(sizes), True, True)
    lines = gzip.decompress(track.read_bytes()).decode().splitlines()
    print(f"  {track.name} ({track.stat().st_size} bytes gzip, {len(lines)} lines), first lines:")
    for line in lines[:6]:
        print("    " + line.replace("\t", "  "))
    print(f"  {sizes.name}:")
    for line in sizes.read_text().splitlines():
        print("    " + line.replace("\t", "  "))


def show_library(fasta: Path, folder: Path) -> None:
    import pyBigWig
    import seqtally_tools

    packed = folder / (fasta.name + ".gz")
    packed.write_bytes(gzip.compress(fasta.read_bytes()))
    print(f"\nseqtally_tools on {packed.name} (gzip, told by content):")
    for record in seqtally_tools.checksum(packed):
        print(f"  {record.id:<14} length {record.length:>6}  {record.refget_id}")
    print(f"  seqcol digest {seqtally_tools.seqcol(packed)}")
    track = folder / (fasta.stem + ".gc.bw")
    seqtally_tools.gc_track(packed, track, window=1000)
    with pyBigWig.open(str(track)) as bigwig:
        name, length = next(iter(bigwig.chroms().items()))
        print(f"  {track.name}: {name} ({length} bases), first windows {bigwig.intervals(name)[:3]}")


def main() -> int:
    files = [Path(arg) for arg in sys.argv[1:]] or [HERE / "phix174.fa", HERE / "small.fa"]
    for fasta in files:
        show_checksums(fasta)
    with tempfile.TemporaryDirectory() as folder:
        for fasta in files:
            show_track(fasta, Path(folder))
        show_library(files[0], Path(folder))
    return 0


if __name__ == "__main__":
    sys.exit(main())
