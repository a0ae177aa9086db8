"""gzip input (our own member framing) and gzip output, checked with Python's
gzip/zlib, the gzip tool and bgzip."""
import gzip
import shutil
import struct
import subprocess
import zlib

import pytest

import seqtally
from conftest import PanicException

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
READ_ERROR = "Error reading record: Io("
FASTA = b"".join(b">r%d desc\n" % i + b"ACGTGGCCNN" * (i * 37 % 200) + b"\n" for i in range(300))


def member(data, flags=0, extra=b"", name=b"", comment=b"", header_crc=None, mtime=0, xfl=0, os_byte=3,
           crc=None, size=None, deflate=True):
    header = struct.pack("<BBBBIBB", 0x1F, 0x8B, 8, flags, mtime, xfl, os_byte)
    if flags & 0x04:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 0x08:
        header += name + b"\0"
    if flags & 0x10:
        header += comment + b"\0"
    if flags & 0x02:
        header += struct.pack("<H", header_crc if header_crc is not None else zlib.crc32(header) & 0xFFFF)
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = compressor.compress(data) + compressor.flush() if deflate else data
    trailer = struct.pack("<II", zlib.crc32(data) if crc is None else crc, len(data) if size is None else size)
    return header + body + trailer


def track_of(tmp_path, content, name="in.fa.gz"):
    path = tmp_path / name
    path.write_bytes(content)
    out = tmp_path / "o.wig"
    seqtally.write_seqtally_to_file(str(path), str(out), 6, 50, False, "x", False, False)
    return out.read_bytes()


@pytest.fixture
def plain_track(tmp_path):
    return track_of(tmp_path, FASTA, "plain.fa")


@pytest.mark.parametrize(
    "make",
    [
        lambda: gzip.compress(FASTA),
        lambda: gzip.compress(FASTA, 9, mtime=12345),
        # Members split in the middle of records and lines.
        lambda: b"".join(member(FASTA[i:i + 7777]) for i in range(0, len(FASTA), 7777)),
        lambda: member(FASTA[:10]) + member(b"") + member(FASTA[10:]),
        lambda: member(FASTA, flags=0x1F, extra=b"BC\x02\x00\x1b\x00", name=b"n" * 65535, comment=b"c",
                       mtime=0xFFFFFFFF, xfl=0xFF, os_byte=0xFF),
    ],
)
def test_gzip_inputs_decode(tmp_path, plain_track, make):
    assert track_of(tmp_path, make()) == plain_track


def test_bgzip_and_gzip_tool_files(tmp_path, plain_track):
    source = tmp_path / "genome.fa"
    source.write_bytes(FASTA * 4)
    expected = track_of(tmp_path, FASTA * 4, "plain4.fa")
    for tool in (["gzip", "-k", "-f"], ["gzip", "-9", "-k", "-f"], ["bgzip", "-f", "-k"]):
        if shutil.which(tool[0]) is None:
            pytest.fail(f"{tool[0]} is missing; the test command installs it")
        subprocess.run([*tool, str(source)], check=True)
        content = (tmp_path / "genome.fa.gz").read_bytes()
        if tool[0] == "bgzip":
            assert content.count(b"BC\x02\x00") > 1  # many members, each with an extra field
        assert track_of(tmp_path, content) == expected


@pytest.mark.parametrize(
    "content, description",
    [
        (b"", "Kind(UnexpectedEof)"),
        (FASTA[:100], 'Custom { kind: InvalidInput, error: "invalid gzip header" }'),
        (gzip.compress(FASTA) + b"\0" * 10, 'Custom { kind: InvalidInput, error: "invalid gzip header" }'),
        (gzip.compress(FASTA) + b"\0" * 9, "Kind(UnexpectedEof)"),
        (gzip.compress(FASTA)[:-1], "Kind(UnexpectedEof)"),
        (gzip.compress(FASTA)[:-20], 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }'),
        (member(FASTA, crc=zlib.crc32(FASTA) ^ 1),
         'Custom { kind: InvalidInput, error: "corrupt gzip stream does not have a matching checksum" }'),
        (member(FASTA, size=len(FASTA) + 1),
         'Custom { kind: InvalidInput, error: "corrupt gzip stream does not have a matching checksum" }'),
        (member(FASTA, flags=0x02, header_crc=1),
         'Custom { kind: InvalidInput, error: "corrupt gzip stream does not have a matching checksum" }'),
        (member(FASTA, flags=0x08, name=b"n" * 65536),
         'Custom { kind: InvalidInput, error: "gzip header field too long" }'),
        (member(FASTA, flags=0x10, comment=b"c" * 70000),
         'Custom { kind: InvalidInput, error: "gzip header field too long" }'),
        (member(FASTA, flags=0x20), 'Custom { kind: InvalidInput, error: "invalid gzip header" }'),
        (b"\x1f\x8b\x07" + member(FASTA)[3:], 'Custom { kind: InvalidInput, error: "invalid gzip header" }'),
        (member(FASTA, flags=0x04, extra=b"abc")[:14], "Kind(UnexpectedEof)"),
        (member(b"\xff" * 50, deflate=False), 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }'),
    ],
)
def test_gzip_input_errors(tmp_path, content, description):
    with pytest.raises(PanicException) as caught:
        track_of(tmp_path, content)
    assert str(caught.value) == READ_ERROR + description + ")"


def test_gzip_file_not_decoded_elsewhere(tmp_path):
    compressed = gzip.compress(FASTA)
    for name in ("reads.fa.GZ", "reads.fa"):
        with pytest.raises(PanicException) as caught:
            track_of(tmp_path, compressed, name)
        assert str(caught.value) == "Error reading record: InvalidStart { line: 1, found: 31 }"
    path = tmp_path / "reads.fa.gz"
    path.write_bytes(compressed)
    with pytest.raises(PanicException) as caught:
        seqtally.checksum(str(path))
    assert str(caught.value) == UNWRAP + "InvalidStart { line: 1, found: 31 }"


@pytest.mark.parametrize("level, xfl", [(0, 4), (1, 4), (2, 0), (6, 0), (8, 0), (9, 2), (10, 2), (255, 2),
                                        (256, 2), (300, 2), (2**32 - 1, 2)])
def test_gzip_output_header_and_content(tmp_path, plain_track, level, xfl):
    path = tmp_path / "plain.fa"
    path.write_bytes(FASTA)
    out = tmp_path / "track.wig.gz"
    seqtally.write_seqtally_to_file(str(path), str(out), level, 50, False, "x", False, False)
    raw = out.read_bytes()
    assert raw[:10] == bytes([0x1F, 0x8B, 8, 0, 0, 0, 0, 0, xfl, 0xFF])
    assert gzip.decompress(raw) == plain_track
    assert struct.unpack("<II", raw[-8:]) == (zlib.crc32(plain_track), len(plain_track))
    subprocess.run(["gzip", "-t", str(out)], check=True)
    if level == 0:
        assert len(raw) > len(plain_track)


def test_levels_change_only_compressed_bytes(tmp_path):
    path = tmp_path / "plain.fa"
    path.write_bytes(FASTA * 20)
    sizes = {}
    for level in (1, 9, 256):
        out = tmp_path / f"l{level}.wig.gz"
        seqtally.write_seqtally_to_file(str(path), str(out), level, 5, False, "x", False, False)
        sizes[level] = out.read_bytes()
    assert gzip.decompress(sizes[1]) == gzip.decompress(sizes[9])
    # 256 and above compress as level 1; only the XFL byte differs.
    assert sizes[256][10:] == sizes[1][10:]
