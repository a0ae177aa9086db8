"""Type stubs for the native seqtally module."""
from typing import final

__all__ = ["checksum", "write_seqtally_to_file"]

# Not an attribute of the module at run time: met only in checksum() results.
@final
class ChecksumResult:
    """One FASTA record: identifier, sequence length and digests of the uppercased sequence."""

    id: str
    length: int
    sha512: str  # first 24 bytes of SHA-512, base64url without padding
    md5: str  # lowercase hex

def checksum(file: str, verbose: bool | None = None) -> list[ChecksumResult]: ...
def write_seqtally_to_file(
    input: str,
    output: str,
    compression_level: int,
    window_size: int,
    omit_tail: bool,
    chrom_sizes_path: str,
    write_chrom_sizes: bool,
    verbose: bool,
) -> None: ...
