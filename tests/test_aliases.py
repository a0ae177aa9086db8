"""seqtally aliases on renamed copies of the lambda phage: UCSC against
Ensembl names, a dropped record, a changed base, a name given to another
sequence; a .dict and a saved seqcol standing in for FASTA."""
import gzip

import pytest

from conftest import cli, lambda_phage
from seqtally_tools import SeqtallyError, aliases


def records(fasta_bytes):
    lines = fasta_bytes.decode().split("\n")
    return "".join(lines[1:])


def write(path, named):
    path.write_text("".join(f">{name}\n" + "\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)) + "\n"
                            for name, seq in named))
    return str(path)


@pytest.fixture
def copies(tmp_path):
    seq = records(lambda_phage())
    one, two, three = seq[:20000], seq[20000:40000], seq[40000:]
    changed = two[:777] + ("A" if two[777] != "A" else "C") + two[778:]
    ucsc = write(tmp_path / "ucsc.fa", [("chr1", one), ("chr2", two), ("chrM", three)])
    ensembl = write(tmp_path / "ensembl.fa", [("1", one), ("2", two), ("chrM", three[:-5])])   # chrM: another
    # chrM dropped, a base of chr2 changed, the order changed; gzip.
    plain = write(tmp_path / "dropped.fa", [("chr2", changed), ("chr1", one)])
    dropped = tmp_path / "dropped.fa.gz"
    dropped.write_bytes(gzip.compress(open(plain, "rb").read()))
    return ucsc, ensembl, str(dropped)


def test_the_table_rows_follow_the_first_input_and_say_what_differs(copies):
    ucsc, ensembl, dropped = copies
    done = cli("aliases", ucsc, ensembl, dropped, "--label", "ucsc", "--label", "ensembl", "--label", "other")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == ("# ucsc\tensembl\tother\n"
                                    "chr1\t1\tchr1\n"
                                    "chr2\t2\t\n"
                                    "chrM\t\t\n"
                                    "\tchrM\t\n"
                                    "\t\tchr2\n")
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


def test_a_dict_and_a_saved_seqcol_stand_in_for_fasta(copies, tmp_path):
    ucsc, ensembl, _ = copies
    assert cli("dict", ucsc, "-o", tmp_path / "ucsc.dict").returncode == 0
    (tmp_path / "ensembl.json").write_bytes(cli("seqcol", "--level", "2", ensembl).stdout)
    from_fasta = aliases([ucsc, ensembl]).rows
    assert aliases([str(tmp_path / "ucsc.dict"), ucsc, str(tmp_path / "ensembl.json")]).rows == [
        [row[0], row[0], row[1]] for row in from_fasta]
    with pytest.raises(SeqtallyError, match="shares no digest"):
        aliases([str(tmp_path / "ucsc.dict"), str(tmp_path / "ensembl.json")])
