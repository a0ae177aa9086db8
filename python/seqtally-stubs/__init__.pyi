"""Type stubs for the native seqtally module.

Failures inside either function raise PanicException, which derives from
BaseException, not Exception: `except Exception` does not catch it. It is
not an attribute of the module (its qualified name is
"pyo3_runtime.PanicException"); catch BaseException and re-raise
KeyboardInterrupt and SystemExit, or compare type(error).__name__. Wrong
arguments raise TypeError or OverflowError before any work starts.
"""
from typing import final

__all__ = ["checksum", "write_seqtally_to_file"]

# Not an attribute of the module at run time: met only in checksum() results.
# Use it in annotations only.
@final
class ChecksumResult:
    """One FASTA record: identifier, sequence length and digests of the uppercased sequence."""

    id: str
    length: int
    sha512: str  # first 24 bytes of SHA-512, base64url without padding ("SQ." + sha512 is a refget id)
    md5: str  # lowercase hex

def checksum(file: str, verbose: bool | None = None) -> list[ChecksumResult]:
    """Identifier, length and digests of every record of a plain FASTA file, in file order."""

def write_seqtally_to_file(
    input: str,
    output: str,
    compression_level: int,
    window_size: int,
    omit_tail: bool,
    chrom_sizes_path: str,
    write_chrom_sizes: bool,
    verbose: bool,
) -> None:
    """G/C percentage per window as a variableStep wiggle track; gzip in or out for names ending in .gz."""
