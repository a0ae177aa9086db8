"""seqtally index, FastaFile and seqtally fetch against samtools faidx and
pysam, which are independent of seqtally: the .fai and .gzi byte for
byte, the bases of every region."""
import gzip
import json
import os
import random
import shutil
import subprocess
from pathlib import Path

import pysam
import pytest

import seqtally_tools as st
from conftest import bgzf, cli, lambda_phage, raised, written

pytestmark = pytest.mark.skipif(shutil.which("samtools") is None or shutil.which("bgzip") is None,
                                reason="samtools and bgzip (Debian) compare what seqtally writes")

# Files of awkward shapes; each either samtools indexes (and so must
# seqtally, byte for byte), or the outcome is given.
SHAPES = {
    "lines of 4, a shorter last": b">a desc\nACGT\nACGT\nAC\n>b\nAAA\n",
    "CRLF": b">a\r\nACGT\r\nACGT\r\nAC\r\n",
    "no newline at the end": b">a\nACGT\nAC",
    "one line, no newline": b">a\nACGT",
    "empty lines after a record": b">a\nACGT\nAC\n\n>b\nA\n",
    "CRLF empty lines after a record": b">a\r\nACGT\r\nAC\r\n\r\n>b\r\nA\r\n",
    "the last line CRLF, shorter": b">a\nACGT\nACG\r\n>b\nA\n",
    "a record without sequence first": b">a\n>b\nACGT\n",
    "name after spaces and a tab": b"> \tpig1 x\nACGT\n",
    "soft-masked, N": b">chr1\nacgtNNNN\nACgt\n",
    "empty lines before the first record": b"\n\n>a\nACGT\n",
}
# (content, what seqtally says) where samtools fails or counts otherwise.
DIFFERENT = {
    # samtools cannot index a file whose last record is empty; it is left
    # out of the .fai like any empty record.
    "an empty last record": (b">a\nAC\n>b\n", "a\t2\t3\t2\t3\n"),
    # samtools counts 9 bases where the record has 10: refused.
    "a space inside a line": (b">a\nAC GT\nACGTA\n", "line 2 holds a space"),
}
REFUSED = {
    "a longer last line": (b">a\nACGT\nACGTA\n>b\nA\n", "line 3 has 5 bases"),
    "a shorter line inside": (b">a\nACGT\nAC\nACGT\n", "line 3 has 2 bases"),
    "an empty line inside": (b">a\nACGT\n\nACGT\n", "line 3 is empty"),
    "mixed line ends": (b">a\nACGT\nACGT\r\nAC\n", "line 3 has 4 bases in 6 bytes"),
    "the last line CRLF, as long": (b">a\nACGT\nACGT\r\n>b\nA\n", "line 3 has 4 bases in 6 bytes"),
    "two records of one name": (b">a\nAC\n>a x\nGT\n", "records 1 and 2 are both named 'a'"),
}


def samtools_fai(path):
    result = subprocess.run(["samtools", "faidx", str(path), "--fai-idx", f"{path}.samtools.fai"],
                            capture_output=True)
    return Path(f"{path}.samtools.fai").read_text() if result.returncode == 0 else None


def bgzip(path):
    return written(Path(f"{path}.gz"), bgzf(path.read_bytes()))


GENOME = "a real genome in many blocks"


@pytest.mark.parametrize("shape", [*SHAPES, GENOME])
def test_fai_and_gzi_as_samtools_writes_them(tmp_path, shape):
    # The genome three times under other names: more than one BGZF block of 64 KiB.
    content = SHAPES.get(shape) or b"".join(lambda_phage().replace(b">gi", b">copy%d gi" % i, 1) for i in range(3))
    path = written(tmp_path / "x.fa", content)
    expected = samtools_fai(path)
    assert expected is not None
    done = st.index(path)
    assert (tmp_path / "x.fa.fai").read_text() == expected
    assert done.files == [f"{path}.fai", f"{tmp_path}/x.dict", f"{tmp_path}/x.chrom.sizes", f"{tmp_path}/x.seqcol.json"]
    assert json.loads((tmp_path / "x.seqcol.json").read_text()) == st.seqcol(path, level=2)
    checksums = st.checksum(path)
    assert (tmp_path / "x.chrom.sizes").read_text() == "".join(f"{c.id}\t{c.length}\n" for c in checksums)
    packed = bgzip(path)
    packed_done = st.index(packed, force=True)
    subprocess.run(["samtools", "faidx", str(packed), "--fai-idx", f"{tmp_path}/s.fai", "--gzi-idx",
                    f"{tmp_path}/s.gzi"], check=True)
    assert Path(f"{packed}.fai").read_text() == expected
    gzi = Path(f"{packed}.gzi").read_bytes()
    assert gzi == Path(f"{tmp_path}/s.gzi").read_bytes() and (shape != GENOME or len(gzi) > 8 + 16)
    # One read gives what the separate operations give.
    assert [(r.name, r.length, r.sha512t24u, r.md5) for r in done.records] == [tuple(c) for c in checksums] == \
        [(r.name, r.length, r.sha512t24u, r.md5) for r in packed_done.records]
    assert (tmp_path / "x.dict").read_text() == st.sequence_dictionary(packed).text


@pytest.mark.parametrize("case", list(DIFFERENT) + list(REFUSED))
def test_where_seqtally_differs_from_samtools_or_refuses(tmp_path, case):
    content, said = {**DIFFERENT, **REFUSED}[case]
    path = written(tmp_path / "x.fa", content)
    if said.endswith("\n"):
        done = st.index(path)
        assert (tmp_path / "x.fa.fai").read_text() == said
        assert any("no sequence" in note for note in done.notes)
        assert (tmp_path / "x.chrom.sizes").read_text().endswith("b\t0\n")
        return
    error = raised(lambda: st.index(path))
    assert said in error.message and error.kind == "format"
    assert sorted(os.listdir(tmp_path)) == ["x.fa"]  # nothing written


def test_plain_gzip_has_no_fai_and_existing_files_need_force(tmp_path):
    path = tmp_path / "g.fasta.gz"
    # A space in a line: no .fai to refuse it, and the dictionary holds
    # samtools' values, as `seqtally dict` writes them.
    path.write_bytes(gzip.compress(b">a\nAC GT\nAC\n>b\nA\n"))
    done = st.index(path)
    assert done.files == [f"{tmp_path}/g.dict", f"{tmp_path}/g.chrom.sizes", f"{tmp_path}/g.seqcol.json"]
    assert "bgzip" in done.notes[0]
    assert "LN:6\tM5:1617b7d879d437fa4c87da5875264b14" in (tmp_path / "g.dict").read_text() and len(done.notes) == 2
    before = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    result = cli("index", path)
    assert result.returncode == 1 and b"g.dict: exists already (--force replaces it)" in result.stderr
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == before
    assert cli("index", "--force", "-q", path).returncode == 0


RECORDS = (b">a\nACGTACGTAC\nGT\n", b">b\nTTTTGGGG\n")
# Files named x.fa whatever they hold: what the read finds decides, as
# samtools decides. `files`: the indexes written beside it, or None where
# index() and FastaFile refuse it, writing nothing.
LAYOUTS = {
    "plain": (lambda: b"".join(RECORDS), [".fai"]),
    "BGZF": (lambda: bgzf(b"".join(RECORDS)), [".fai", ".gzi"]),
    "gzip": (lambda: gzip.compress(b"".join(RECORDS)), []),
    # samtools faidx indexes `a` and leaves `b` out without a word.
    "BGZF, then a gzip member": (lambda: bgzf(RECORDS[0]) + gzip.compress(RECORDS[1]), None),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_compression_is_what_the_read_finds(tmp_path, layout):
    make, files = LAYOUTS[layout]
    path = written(tmp_path / "x.fa", make())
    random_access = files is not None and ".fai" in files
    with_samtools = samtools_fai(path)
    samtools_gzi = Path(f"{path}.gzi").read_bytes() if os.path.exists(f"{path}.gzi") else None
    for made in (Path(f"{path}.samtools.fai"), Path(f"{path}.gzi")):
        made.unlink(missing_ok=True)
    if files is None:
        assert with_samtools == "a\t12\t3\t10\t11\n"
        error = raised(lambda: st.index(path))
        assert "BGZF up to byte" in error.message and error.kind == "format"
        assert os.listdir(tmp_path) == ["x.fa"]
    else:
        done = st.index(path)
        assert done.files[:len(files)] == [f"{path}{suffix}" for suffix in files]
        assert bool(done.notes) == (not random_access)
        if random_access:
            assert (tmp_path / "x.fa.fai").read_text() == with_samtools
        if ".gzi" in files:
            assert (tmp_path / "x.fa.gzi").read_bytes() == samtools_gzi
    if not random_access:
        with pytest.raises(st.SeqtallyError, match="cannot be read at random"):
            st.FastaFile(path)
        return
    for keep in (True, False):  # the indexes on disk, or made in memory
        with st.FastaFile(path) as fasta:
            assert [fasta.fetch("a", 2, 11), fasta.fetch(region="b:2-3")] == ["GTACGTACG", "TT"]
        for suffix in files * (not keep):
            os.remove(f"{path}{suffix}")


def test_fetch_matches_pysam_from_plain_and_bgzf(tmp_path):
    crlf = lambda_phage().replace(b"\n", b"\r\n")
    # The whole genome twice: a record that spans BGZF blocks.
    data = crlf + crlf.replace(b">gi", b">copy gi", 1) + b">second\r\nacgtnACGTN\r\nAC\r\n"
    path = written(tmp_path / "l.fa", data)
    packed = bgzip(path)
    random.seed(7)
    for source in (path, packed):
        built = st.FastaFile(source)  # no index on disk: built in memory
        subprocess.run(["samtools", "faidx", str(source)], check=True)
        theirs = pysam.FastaFile(str(source))
        with st.FastaFile(source) as ours:
            assert ours.references == built.references == tuple(theirs.references)
            assert ours.lengths == built.lengths == tuple(theirs.lengths)
            for _ in range(300):
                name = random.choice(ours.references)
                start = random.randrange(0, ours.get_reference_length(name) + 5)
                end = start + random.randrange(0, 300)
                assert ours.fetch(name, start, end) == built.fetch(name, start, end) == theirs.fetch(name, start, end)
            assert [ours.fetch(name) for name in ours.references] == [theirs.fetch(name) for name in theirs.references]
            assert ours.fetch("second") == "acgtnACGTNAC"
            assert ours.fetch(region="second:2-4") == theirs.fetch(region="second:2-4") == "cgt"
        assert ours.closed
        with pytest.raises(ValueError):
            ours.fetch("second")


@pytest.mark.parametrize("call, error", [
    ({"reference": "nope"}, KeyError),
    ({"region": "nope:1-3"}, KeyError),
    ({"reference": "a", "start": -1, "end": 3}, ValueError),
    ({"reference": "a", "start": 4, "end": 2}, ValueError),
    ({"region": "a:4-2"}, ValueError),
    ({"region": "a:0-2"}, ValueError),
    ({"region": "a:1"}, ValueError),  # both "a:1" and "a" name records
    ({}, ValueError),
    ({"reference": "a", "region": "a"}, ValueError),
])
def test_fetch_errors_as_pysam_raises_them(fasta, call, error):
    with st.FastaFile(fasta(b">a:1\nACGT\n>a\nGGCC\n")) as ours, pytest.raises(error):
        ours.fetch(**call)


def test_regions_printed_as_samtools_faidx_prints_them(tmp_path):
    path = written(tmp_path / "r.fa", b">c1 x\n" + b"ACGTACGTAC" * 13 + b"\n>c:2\n" + b"GATTACA\n" * 20 + b">c\nTT\n")
    regions = ["c1", "c1:1-5", "c1:1-60", "c1:1-61", "c1:1,0-1,20", "c1:-3", "c1:120-", "c1:125-200",
               "c1:200-210", "{c:2}:3-9", "{c:2}", "c", "c:1"]
    for source in (path, bgzip(path)):
        ours = cli("fetch", source, *regions)
        theirs = subprocess.run(["samtools", "faidx", str(source), *regions], capture_output=True)
        assert ours.returncode == theirs.returncode == 0
        assert ours.stdout == theirs.stdout
    # A bad region is said and skipped; samtools stops at it.
    result = cli("fetch", path, "c1:1-3", "nope", "c1:9-2", "c:1-2")
    assert result.returncode == 1
    assert result.stdout == b">c1:1-3\nACG\n>c:1-2\nTT\n"
    assert result.stderr.decode().splitlines() == [
        f"seqtally: error: {path}: nope: sequence 'nope' not present",
        f"seqtally: error: {path}: c1:9-2: the end comes before the start"]


def test_damaged_bgzf_and_index_fail_clearly(tmp_path):
    path = written(tmp_path / "d.fa", b">d\n" + b"ACGTTGCA" * 40000 + b"\n")
    packed = bgzip(path)
    st.index(packed)
    gzi = Path(f"{packed}.gzi")
    saved = gzi.read_bytes()
    for damaged in (saved[:-3], (5).to_bytes(8, "little") + saved[8:]):
        gzi.write_bytes(damaged)
        with pytest.raises(st.SeqtallyError, match="malformed .gzi index"):
            st.FastaFile(packed)
    gzi.write_bytes(saved)
    st.index(path, force=True)
    path.write_bytes(path.read_bytes()[:1000])  # the file changed, its .fai did not
    with st.FastaFile(path) as ours, pytest.raises(st.SeqtallyError, match="index older than the file"):
        ours.fetch("d", 2000, 2010)
    data = packed.read_bytes()  # damaged compressed data
    packed.write_bytes(data[:100] + bytes([data[100] ^ 0xFF]) + data[101:])
    with st.FastaFile(packed) as ours, pytest.raises(st.SeqtallyError, match="BGZF block|damaged"):
        ours.fetch("d", 0, 10)
