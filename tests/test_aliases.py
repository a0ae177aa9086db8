"""seqtally aliases on renamed copies of the lambda phage: UCSC against
Ensembl names, a dropped record, a changed base, a name given to another
sequence; a .dict and a saved seqcol standing in for FASTA."""
import gzip
import shutil
import subprocess

import pytest

from conftest import cli, lambda_phage, written
from seqtally_tools import SeqtallyError, aliases, compare


def write(path, named):
    path.write_text("".join(f">{name}\n" + "\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)) + "\n"
                            for name, seq in named))
    return str(path)


@pytest.fixture
def copies(tmp_path):
    seq = "".join(lambda_phage().decode().split("\n")[1:])
    one, two, three = seq[:20000], seq[20000:40000], seq[40000:]
    changed = two[:777] + ("A" if two[777] != "A" else "C") + two[778:]
    ucsc = write(tmp_path / "ucsc.fa", [("chr1", one), ("chr2", two), ("chrM", three)])
    ensembl = write(tmp_path / "ensembl.fa", [("1", one), ("2", two), ("chrM", three[:-5])])   # chrM: another
    # chrM dropped, a base of chr2 changed, the order changed; gzip.
    dropped = tmp_path / "dropped.fa.gz"
    dropped.write_bytes(gzip.compress(open(write(tmp_path / "dropped.fa", [("chr2", changed), ("chr1", one)]),
                                           "rb").read()))
    return ucsc, ensembl, str(dropped)


def test_the_table_rows_follow_the_first_input_and_say_what_differs(copies):
    ucsc, ensembl, dropped = copies
    done = cli("aliases", ucsc, ensembl, dropped, "--label", "ucsc", "--label", "ensembl", "--label", "other")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == "# ucsc\tensembl\tother\nchr1\t1\tchr1\nchr2\t2\t\nchrM\t\t\n\tchrM\t\n\t\tchr2\n"
    table = aliases([ucsc, ensembl, dropped])
    assert table.labels == ["ucsc", "ensembl", "dropped"]
    assert [(o.present, o.name, o.absent) for o in table.only_in] == [
        (["ucsc", "ensembl"], "chr2", ["dropped"]), (["ucsc"], "chrM", ["ensembl", "dropped"]),
        (["ensembl"], "chrM", ["ucsc", "dropped"]), (["dropped"], "chr2", ["ucsc", "ensembl"])]
    assert [(c.name, c.label_a, c.label_b, c.same_length) for c in table.clashes] == [
        ("chrM", "ucsc", "ensembl", False), ("chr2", "ucsc", "dropped", True)]
    stderr = done.stderr.decode()
    assert "chr2: the same name and length (20000 bases) in ucsc and other, but other content" in stderr
    assert "chrM names different sequences in ucsc (8502 bases) and ensembl (8497 bases)" in stderr


def test_identical_sequences_pair_by_name(tmp_path):
    twins = write(tmp_path / "twins.fa", [("u1", "ACGTACGT"), ("u2", "ACGTACGT"), ("x", "GGGG")])
    others = write(tmp_path / "others.fa", [("x", "GGGG"), ("u2", "ACGTACGT"), ("u1", "ACGTACGT")])
    assert aliases([twins, others]).rows == [["u1", "u1"], ["u2", "u2"], ["x", "x"]]


def test_a_dict_and_a_saved_seqcol_stand_in_for_fasta(copies, tmp_path):
    ucsc, ensembl, _ = copies
    assert cli("dict", ucsc, "-o", tmp_path / "ucsc.dict").returncode == 0
    (tmp_path / "ensembl.json").write_bytes(cli("seqcol", "--level", "2", ensembl).stdout)
    from_fasta = aliases([ucsc, ensembl]).rows
    assert aliases([str(tmp_path / "ucsc.dict"), ucsc, str(tmp_path / "ensembl.json")]).rows == [
        [row[0], row[0], row[1]] for row in from_fasta]
    with pytest.raises(SeqtallyError, match="shares no digest"):
        aliases([str(tmp_path / "ucsc.dict"), str(tmp_path / "ensembl.json")])


@pytest.mark.skipif(not shutil.which("samtools"), reason="samtools is installed by scripts/test")
def test_dict_alias_from_writes_an_tags_that_samtools_reads(copies, tmp_path):
    ucsc, ensembl, dropped = copies
    done = cli("dict", ucsc, "--alias-from", ensembl, "-o", "-")
    assert done.returncode == 0, done.stderr
    tags = [dict(f.split(":", 1) for f in line.split("\t")[1:]) for line in done.stdout.decode().splitlines()[1:]]
    assert [(t["SN"], t.get("AN")) for t in tags] == [("chr1", "1"), ("chr2", "2"), ("chrM", None)]
    # samtools takes the header, and finds a read on chr1 by the name "1".
    sam = written(tmp_path / "one.sam", done.stdout + b"r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT\tIIII\n")
    bam = tmp_path / "one.bam"
    for command in (["view", "-b", "-o", bam, sam], ["index", bam]):
        assert subprocess.run(["samtools", *command], capture_output=True, timeout=60).returncode == 0
    read = subprocess.run(["samtools", "view", bam, "1:50-150"], capture_output=True, timeout=60)
    assert read.stdout.split(b"\t")[:3] == [b"r1", b"0", b"chr1"], read.stderr
    shown = subprocess.run(["samtools", "view", "-H", bam], capture_output=True, timeout=60).stdout
    assert [line for line in shown.splitlines() if line.startswith(b"@SQ")] == done.stdout.splitlines()[1:]
    # A name that names another record here is left out of AN, and said.
    here = write(tmp_path / "here.fa", [("x", "ACGT"), ("y", "GGCC")])
    there = write(tmp_path / "there.fa", [("y", "ACGT"), ("z", "GGCC")])
    swapped = cli("dict", here, "--alias-from", there, "-o", "-")
    assert [line.split("\t")[-2] for line in swapped.stdout.decode().splitlines()[1:]] == [
        "M5:f1f8f4bf413b16ad135722aa4591043e", "AN:z"]
    assert f"x: {there} calls it 'y', which names another record: left out of AN" in swapped.stderr.decode()


# Saved collections that are not level-2 ones: compare and aliases read
# them through one reader and refuse them in the same words.
NOT_LEVEL2 = {
    "not JSON": b"{\"names\": [",
    "not an object of arrays": b'{"names": "a", "sequences": "SQ.x"}',
    "no sequences": b'{"names": ["a"], "lengths": [4]}',
    "arrays of different lengths": b'{"names": ["a", "b"], "lengths": [4, 2], "sequences": ["SQ.x"]}',
    "a length that is text": b'{"names": ["a"], "lengths": ["4"], "sequences": ["SQ.x"]}',
    "a name that is a number": b'{"names": [1], "lengths": [4], "sequences": ["SQ.x"]}',
    "a sequence that is null": b'{"names": ["a"], "lengths": [4], "sequences": [null]}',
}


@pytest.mark.parametrize("case", NOT_LEVEL2)
def test_a_saved_collection_is_checked_in_one_place(tmp_path, case):
    fasta = write(tmp_path / "x.fa", [("a", "ACGT")])
    saved = written(tmp_path / "saved.json", b" " + NOT_LEVEL2[case])
    refused = []
    for call in (lambda: compare(saved, fasta), lambda: aliases([fasta, str(saved)])):
        with pytest.raises(SeqtallyError) as caught:
            call()
        refused.append((caught.value.message, caught.value.path, caught.value.kind))
    assert refused[0] == refused[1] and refused[0][1:] == (str(saved), "format")
