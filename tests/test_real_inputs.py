"""The inputs users have (plain, gzip, multi-member, BGZF, large, standard
input, a FIFO) through the library and both commands, each checked against
the module on the plain file; and the ways such inputs fail."""
import gzip
import json
import os
import random
import subprocess
import sys

import pytest

import seqtally
import seqtally_tools
from conftest import cli, module_track

RECORDS = b"".join(b">r%d some description\n" % i
                   + b"\n".join([b"ACGTacgtNNGGCC"[i % 5:] * 4] * (i % 40 + 1)) + b"\n" for i in range(400))


def random_genome(size):
    rng = random.Random(5)
    bases = rng.randbytes(size).translate(bytes(b"ACGT"[i % 4] for i in range(256)))
    return b">big one\n" + b"\n".join(bases[i:i + 60] for i in range(0, size, 60)) + b"\n>tail\nGATTACA\n"


def members(data, cuts):
    """Several gzip members, cut at arbitrary points (inside records, too)."""
    points = [0, *cuts, len(data)]
    return b"".join(gzip.compress(data[a:b], 1) for a, b in zip(points, points[1:]))


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Per kind: (path or "-", bytes for standard input or None, the plain file with the same records)."""
    folder = tmp_path_factory.mktemp("inputs")
    plain = folder / "records.fa"
    plain.write_bytes(RECORDS)
    # Larger than the inflater's read-ahead.
    large_plain = folder / "large.fa"
    large_plain.write_bytes(random_genome(20 << 20))
    made = {
        "plain": (plain, None, plain),
        "gzip": (folder / "records.fa.gz", gzip.compress(RECORDS), plain),
        "gzip without .gz": (folder / "records.fasta", gzip.compress(RECORDS), plain),
        "plain named .gz": (folder / "plain.fa.gz", RECORDS, plain),
        "multi-member": (folder / "multi.fa.gz", members(RECORDS, [1, 777, 5000, 5001]), plain),
        "large gzip": (folder / "large.fa.gz", gzip.compress(large_plain.read_bytes(), 1), large_plain),
        "plain on stdin": ("-", RECORDS, plain),
        "gzip on stdin": ("-", gzip.compress(RECORDS), plain),
    }
    for path, content, _ in made.values():
        if path != "-" and content is not None:
            path.write_bytes(content)
    bgzf = folder / "records.bgzf.gz"  # bgzip comes with tabix, which the test command installs
    bgzf.write_bytes(subprocess.run(["bgzip", "-c", str(plain)], capture_output=True, check=True).stdout)
    made["bgzf"] = (bgzf, None, plain)
    return made


def library_checksum(path, stdin):
    if stdin is None:
        return [tuple(r) for r in seqtally_tools.checksum(path)]
    code = "import json, seqtally_tools; print(json.dumps(seqtally_tools.checksum('-')))"
    out = subprocess.run([sys.executable, "-c", code], input=stdin, capture_output=True, check=True)
    return [tuple(r) for r in json.loads(out.stdout)]


def command_checksum(path, stdin):
    out = cli("checksum", path, input=stdin)
    assert out.returncode == 0 and out.stderr == b"", out.stderr
    lines = out.stdout.decode().splitlines()
    assert lines[0] == "file\tid\tlength\tsha512t24u\tmd5"
    return [(f[1], int(f[2]), f[3], f[4]) for f in (line.split("\t") for line in lines[1:]) if f[0] == str(path)]


@pytest.mark.parametrize("kind", ["plain", "gzip", "plain named .gz", "gzip without .gz", "multi-member", "large gzip",
                                  "bgzf", "plain on stdin", "gzip on stdin"])
@pytest.mark.parametrize("how", ["library", "command"])
def test_checksum_of_every_kind_of_input_equals_the_plain_file(inputs, kind, how):
    path, stdin, plain = inputs[kind]
    expected = [(r.id, r.length, r.sha512, r.md5) for r in seqtally.checksum(str(plain))]
    run = library_checksum if how == "library" else command_checksum
    assert run(path, stdin) == expected


@pytest.mark.parametrize("kind", ["plain", "plain named .gz", "gzip without .gz", "multi-member", "large gzip",
                                  "gzip on stdin"])
def test_gc_of_every_kind_of_input_equals_the_plain_file(inputs, tmp_path, kind):
    path, stdin, plain = inputs[kind]
    reference = module_track(plain, 70, tmp_path)
    out = cli("gc", path, tmp_path / "track.wig", "--window", 70, "--quiet", input=stdin)
    assert out.returncode == 0 and out.stderr == b"", out.stderr
    assert (tmp_path / "track.wig").read_bytes() == reference
    to_stdout = cli("gc", path, "-", "--window", 70, "--quiet", "--gzip", input=stdin)
    assert gzip.decompress(to_stdout.stdout) == reference
    assert os.listdir(tmp_path) == ["track.wig"]


def corrupt_crc(data):
    return data[:-8] + bytes([data[-8] ^ 1]) + data[-7:]


GZ = gzip.compress(RECORDS)
FASTQ = "line 1 starts with '@', not '>' (it looks like FASTQ: seqtally reads FASTA only)"


@pytest.mark.parametrize("content, kind, words", [
    (GZ[:-9], "gzip", "gzip"),
    (GZ[:-4], "gzip", "gzip"),
    (corrupt_crc(GZ), "gzip", "gzip"),
    (GZ[:-4] + bytes([GZ[-4] ^ 1]) + GZ[-3:], "gzip", "gzip"),
    (GZ[:12] + b"\xff" * 16 + GZ[28:], "gzip", "gzip"),
    (b"\xfd7zXZ\x00\x00\x04", "format", "xz"),
    (b"BZh91AY&SY", "format", "bzip2"),
    (b"(\xb5/\xfd\x00", "format", "zstd"),
    (b"@r1\nACGT\n+\nIIII\n", "format", FASTQ),
])
@pytest.mark.parametrize("where", ["file", "stdin"])
def test_a_damaged_input_fails_with_one_line_and_no_rows(tmp_path, content, kind, words, where):
    path = tmp_path / "in.fa.gz"
    path.write_bytes(content)
    name, source = ("standard input", "-") if where == "stdin" else (str(path), path)
    for args in (["checksum", source], ["gc", "--quiet", source, tmp_path / "track.wig"],
                 ["gc", "--quiet", source, tmp_path / "track.bw"]):
        out = cli(*args, input=content if where == "stdin" else None)
        assert (out.returncode, out.stdout) == (1, b""), args
        line = out.stderr.decode()
        assert line.startswith(f"seqtally: error: {name}: ") and words in line and line.count("\n") == 1, line
    assert os.listdir(tmp_path) == ["in.fa.gz"]
    with pytest.raises(seqtally_tools.SeqtallyError) as caught:
        seqtally_tools.checksum(path)
    assert (caught.value.kind, caught.value.path) == (kind, str(path)) and words in caught.value.describe()


def test_a_damaged_large_gzip_gives_no_row(tmp_path):
    """Damage far into a large input, found long after its first records
    were digested: still a failure, and nothing of it is printed."""
    data = gzip.compress(random_genome(20 << 20), 1)
    path = tmp_path / "big.fa.gz"
    for damaged in (data[:len(data) // 2], corrupt_crc(data)):
        path.write_bytes(damaged)
        out = cli("checksum", path)
        assert (out.returncode, out.stdout) == (1, b"")
        assert out.stderr.decode().startswith(f"seqtally: error: {path}: ") and b"gzip" in out.stderr
