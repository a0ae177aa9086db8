"""Runs seqtally on the bundled FASTA files and prints what it finds."""
import sys
from pathlib import Path

import seqtally

HERE = Path(__file__).resolve().parent


def show_checksums(fasta: Path) -> None:
    print(f"checksum({fasta.name!r}):")
    for result in seqtally.checksum(str(fasta)):
        print(f"  {result.id:<14} length {result.length:>6}  sha512t24u {result.sha512}  md5 {result.md5}")


def main() -> int:
    files = [Path(arg) for arg in sys.argv[1:]] or [HERE / "phix174.fa", HERE / "small.fa"]
    for fasta in files:
        show_checksums(fasta)
    return 0


if __name__ == "__main__":
    sys.exit(main())
