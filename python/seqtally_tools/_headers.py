"""The sequence list a file declares: the @SQ lines of SAM, BAM and CRAM
headers and the ##contig lines of VCF and BCF headers (read by pysam, a
CRAM's without its reference), the chromosome list of bigWig and bigBed
(pyBigWig), .fai, chrom.sizes, BED and bedGraph (each name with its
largest end, a lower bound of its length), and the records of FASTA, .dict
and saved seqcol JSON as the aliases reader takes them.

The kind is told by content (magic numbers, first line), not by the
file's name, except that a .dict is a SAM header read as a dictionary."""
from __future__ import annotations

import contextlib
import gzip
import os
import re
import tempfile
import zlib
from collections.abc import Iterator
from typing import Any, NamedTuple

from ._aliases import read_named
from ._errors import SeqtallyError, os_error


class Contig(NamedTuple):
    """One sequence a file names: its length (None where the header gives
    none; a lower bound where `bounded`, from intervals) and the digests it
    gives."""

    name: str
    length: int | None
    md5: str | None = None
    sha512t24u: str | None = None
    bounded: bool = False


class Declared(NamedTuple):
    """A file's sequences in its order, and what kind of file said so:
    "sam", "bam", "cram", "vcf", "bcf", "bigwig", "bigbed", "fai",
    "chrom.sizes", "bed", "fasta", "dict" or "seqcol"."""

    kind: str
    contigs: tuple[Contig, ...]
    header: str | None = None  # an alignment or variant header, as text

    @property
    def intervals(self) -> bool:
        return self.kind == "bed"


_BIGWIG = (0x888FFC26).to_bytes(4, "little")
_BIGBED = (0x8789F2EB).to_bytes(4, "little")


def declared(path: str | os.PathLike[str]) -> Declared:
    """The sequences that the file at `path` declares."""
    name = os.fspath(path)
    head = _head(name)
    if head[:4] in (_BIGWIG, _BIGBED):
        return _big(name, "bigwig" if head[:4] == _BIGWIG else "bigbed")
    if head.startswith((b"BAM\x01", b"CRAM")) or (head.startswith(b"@") and not name.endswith(".dict")):
        return _alignment_header(name, "cram" if head.startswith(b"CRAM") else "bam" if head[:3] == b"BAM" else "sam")
    if head.startswith((b"BCF\x02", b"##fileformat=VCF")):
        return _variant_header(name, "bcf" if head.startswith(b"BCF") else "vcf")
    if head.startswith(b"@") and b"\tM5:" not in head:
        # A dictionary without M5 is still a SAM header: its names and
        # lengths identify it, where the aliases reader needs digests.
        return _alignment_header(name, "dict")
    if head.startswith((b">", b"{", b"@")):
        kind = {b">": "fasta", b"{": "seqcol", b"@": "dict"}[head[:1]]
        return Declared(kind, tuple(Contig(r.name, r.length, r.md5, r.sha512t24u) for r in read_named([name])[0]))
    return _table(name)


# A name: anything printable without white space (SAM's rule is
# narrower; names come from FASTA headers, which are not).
_NAME = re.compile(r"[^\s\x00-\x1f\x7f]{1,4096}")
_MD5 = re.compile(r"[0-9A-Fa-f]{32}")
_SHA512T24U = re.compile(r"(?:SQ\.)?[A-Za-z0-9_-]{32}")
_VCF_COLUMNS = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"


def contigs_of(records: object) -> tuple[Contig, ...]:
    """The sequences of a list of objects with a `name`, a `length` (may
    be absent or null) and, where known, an `md5` and a `sha512t24u`
    (with or without SQ.): what the service takes as JSON. A record that
    is not one is an error naming it by its place."""
    if not isinstance(records, list) or not records:
        raise SeqtallyError("the sequences must be a non-empty list of objects", "the list", kind="format")
    contigs = []
    for number, record in enumerate(records, 1):
        if not isinstance(record, dict) or not set(record) <= {"name", "length", "md5", "sha512t24u"}:
            raise SeqtallyError(f"sequence {number}: not an object of name, length, md5 and sha512t24u",
                                "the list", kind="format")
        name, length = record.get("name"), record.get("length")
        md5, sha = record.get("md5"), record.get("sha512t24u")
        problem = ("the name must be printable text without white space"
                   if not isinstance(name, str) or not _NAME.fullmatch(name) or not _utf8(name) else
                   "the length must be a whole number from 0 to 2^63 - 1"
                   if length is not None and (type(length) is not int or not 0 <= length < 1 << 63) else
                   "the md5 must be 32 hexadecimal digits"
                   if md5 is not None and (not isinstance(md5, str) or not _MD5.fullmatch(md5)) else
                   "the sha512t24u must be 32 base64url characters, SQ. before them or not"
                   if sha is not None and (not isinstance(sha, str) or not _SHA512T24U.fullmatch(sha)) else None)
        if problem:
            raise SeqtallyError(f"sequence {number}: {problem}", "the list", kind="format")
        assert isinstance(name, str)
        contigs.append(Contig(name, length, md5.lower() if isinstance(md5, str) else None,
                              sha.removeprefix("SQ.") if isinstance(sha, str) else None))
    return tuple(contigs)


def _utf8(text: str) -> bool:
    # JSON may carry lone surrogates, which no database stores.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def declared_text(text: str) -> Declared:
    """The sequences that a header pasted as text declares: a SAM header
    or its @SQ lines, a VCF header or its ##contig lines alone, .fai,
    chrom.sizes, BED or .dict lines, seqcol JSON. Taken as a browser sends
    a form (CRLF) and as a terminal copies a table (spaces for its tabs:
    no name holds white space)."""
    if any(c < " " and c not in "\t\r\n" for c in text) or "\x7f" in text or not _utf8(text):
        raise SeqtallyError("the text holds control characters: not a header", "the text", kind="format")
    lines = [line.strip() for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]
    lines = [line for line in lines if line]
    if not lines:
        raise SeqtallyError("no sequences listed", "the text", kind="format")
    if lines[0].startswith("##") and not lines[0].startswith("##fileformat="):
        lines.insert(0, "##fileformat=VCFv4.2")
    vcf = lines[0].startswith("##fileformat=VCF")
    if vcf and not any(line.startswith("#CHROM") for line in lines):
        lines.append(_VCF_COLUMNS)
    if not lines[0].startswith(("{", ">")):
        # A terminal's copy: no tabs left. The @PG, @RG and @CO lines hold
        # spaces of their own (a command line), and say nothing of the
        # sequences: left out.
        lines = [line if line.startswith("##") or "\t" in line else re.sub(r" +", "\t", line) for line in lines
                 if "\t" in line or not line.startswith("@") or line.startswith(("@HD", "@SQ"))]
    # The field's readers (pysam) take files.
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt", delete=False) as file:
        file.write("\n".join(lines) + "\n")
    try:
        return declared(file.name)
    except SeqtallyError as error:
        if error.kind != "format":
            raise
        raise SeqtallyError(error.message, "the text", kind="format", line=error.line) from None
    finally:
        os.unlink(file.name)


def _head(path: str) -> bytes:
    """The first bytes of the file, inflated where it is gzip (BAM and BCF
    are BGZF): what tells the kinds apart."""
    try:
        with open(path, "rb") as stream:
            data = stream.read(65536)
    except OSError as error:
        raise os_error(error, path) from None
    if data[:2] == b"\x1f\x8b":
        try:
            data = zlib.decompressobj(31).decompress(data, 4096)
        except zlib.error:
            raise SeqtallyError("damaged gzip data", path, kind="format") from None
    return data


def _alignment_header(path: str, kind: str) -> Declared:
    import pysam

    try:
        # check_sq=False: an unaligned BAM has no @SQ lines, and says so by
        # an empty list. A CRAM's header is read without its reference.
        with _quiet(pysam), pysam.AlignmentFile(path, "r", check_sq=False) as alignments:
            header = alignments.header
            text = str(header)
            lines = header.to_dict().get("SQ", [])
    except (OSError, ValueError) as error:
        raise SeqtallyError(f"cannot read the {kind.upper()} header: {error}", path, kind="format") from None
    contigs = tuple(Contig(str(line["SN"]), int(line["LN"]), _lower(line.get("M5"))) for line in lines)
    return Declared(kind, contigs, text)


def assemblies(path: str | os.PathLike[str]) -> dict[str, str]:
    """The assembly (AS) of each record of a sequence dictionary or SAM
    header that gives one, by name; empty for any other file."""
    name = os.fspath(path)
    if not _head(name).startswith(b"@"):
        return {}
    import pysam

    try:
        with _quiet(pysam), pysam.AlignmentFile(name, "r", check_sq=False) as alignments:
            lines = alignments.header.to_dict().get("SQ", [])
    except (OSError, ValueError) as error:
        raise SeqtallyError(f"cannot read the SAM header: {error}", name, kind="format") from None
    return {str(line["SN"]): str(line["AS"]) for line in lines if line.get("AS")}


def _variant_header(path: str, kind: str) -> Declared:
    import pysam

    try:
        with _quiet(pysam), pysam.VariantFile(path) as variants:
            text = str(variants.header)
            records = [dict(contig.header_record) for contig in variants.header.contigs.values()]
    except (OSError, ValueError) as error:
        raise SeqtallyError(f"cannot read the {kind.upper()} header: {error}", path, kind="format") from None
    contigs = []
    for record in records:
        length = record.get("length")
        contigs.append(Contig(str(record["ID"]), int(length) if length and length.isdigit() else None,
                              _lower(record.get("md5"))))
    return Declared(kind, tuple(contigs), text)


@contextlib.contextmanager
def _quiet(pysam: Any) -> Iterator[None]:
    """htslib's messages off: it says on standard error that a BAM, CRAM
    or BCF has no index, which reading the header alone never needs."""
    verbosity = pysam.set_verbosity(0)
    try:
        yield
    finally:
        pysam.set_verbosity(verbosity)


def _big(path: str, kind: str) -> Declared:
    import pyBigWig  # type: ignore[import-not-found]  # no stubs

    track = pyBigWig.open(path)
    if track is None:
        raise SeqtallyError(f"cannot read the {kind} file's chromosome list", path, kind="format")
    try:
        chroms = track.chroms()
    finally:
        track.close()
    return Declared(kind, tuple(Contig(str(name), int(length)) for name, length in chroms.items()))


def _table(path: str) -> Declared:
    """.fai (five or six columns), chrom.sizes (two), BED or bedGraph
    (three or more: a name's largest end bounds its length from below)."""
    opener = gzip.open if _head_bytes(path) == b"\x1f\x8b" else open
    lengths: dict[str, int] = {}
    kind = None
    try:
        with opener(path, "rt", encoding="utf-8", newline="") as lines:
            for number, line in enumerate(lines, 1):
                if not line.strip() or line.startswith(("#", "track", "browser")):
                    continue
                fields = line.rstrip("\r\n").split("\t")
                this = _row_kind(fields)
                if this is None or (kind is not None and this != kind):
                    raise SeqtallyError(f"line {number}: not a sequence list (FASTA, a SAM, BAM, CRAM, VCF or BCF "
                                        "header, bigWig, bigBed, .fai, .dict, chrom.sizes, BED or seqcol JSON)",
                                        path, kind="format", line=number)
                kind = this
                length = int(fields[2] if kind == "bed" else fields[1])
                if kind != "bed" and fields[0] in lengths:
                    raise SeqtallyError(f"line {number}: {fields[0]} listed twice", path, kind="format", line=number)
                lengths[fields[0]] = max(length, lengths.get(fields[0], 0))
    except (OSError, UnicodeDecodeError, EOFError, zlib.error) as error:
        if isinstance(error, OSError) and not isinstance(error, gzip.BadGzipFile):
            raise os_error(error, path) from None
        raise SeqtallyError(f"not a sequence list: {error}", path, kind="format") from None
    if kind is None:
        raise SeqtallyError("no sequences listed", path, kind="format")
    return Declared(kind, tuple(Contig(name, length, bounded=kind == "bed") for name, length in lengths.items()))


def _row_kind(fields: list[str]) -> str | None:
    numbers = [field.isdigit() for field in fields[1:]]
    if len(fields) == 2 and numbers[0]:
        return "chrom.sizes"
    if len(fields) in (5, 6) and all(numbers[:4]) and not (len(fields) == 6 and not numbers[4]):
        return "fai"
    if len(fields) >= 3 and numbers[0] and numbers[1] and int(fields[1]) <= int(fields[2]):
        return "bed"
    return None


def _head_bytes(path: str) -> bytes:
    with open(path, "rb") as stream:
        return stream.read(2)


def _lower(value: object) -> str | None:
    return str(value).lower() if value else None
