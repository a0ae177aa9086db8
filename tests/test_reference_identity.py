"""Sequence collections (seqcol), their comparison, and sequence
dictionaries against samtools dict."""
import gzip
import json
import shutil
import subprocess

import pytest

import seqtally_tools
from conftest import cli, lambda_phage, written
from seqtally_tools import canonical_json

TUTORIAL = b">chrX\nTTGGGGAA\n>chr1\nGGAA\n>chr2\nGCGC\n"
KNOWN = {"name_length_pairs": "B9MESWM8k-hK_OeQK8bZNAG74pLY0Ujq",
         "sorted_name_length_pairs": "zjM1Ie9m0zFbqsAnZ6jAJSXuFpKTr40J",
         "sorted_sequences": "KgWo6TT1Lqw6vgkXU9sYtCU9xwXoDt6M", "lengths": "cGRMZIb3AVgkcAfNv39RN7hnT5Chk7RX"}


def test_the_standards_known_answer(tmp_path):
    plain, packed = tmp_path / "tutorial.fa", tmp_path / "tutorial.fa.gz"
    plain.write_bytes(TUTORIAL)
    packed.write_bytes(gzip.compress(TUTORIAL))
    assert seqtally_tools.seqcol(plain) == "XZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk"
    assert cli("seqcol", plain, packed).stdout.decode() == (f"file\tseqcol\n{plain}\tXZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk\n"
                                                          f"{packed}\tXZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk\n")
    level1 = json.loads(cli("seqcol", "--level", "1", "-", input=TUTORIAL).stdout)
    # The standard's tutorial answers; names and sequences as the rows above give them.
    assert level1 == seqtally_tools.seqcol(plain, level=1) and {name: level1[name] for name in KNOWN} == KNOWN
    assert set(level1) == {*KNOWN, "names", "sequences"}
    level2 = cli("seqcol", "--level", "2", plain).stdout
    sequences = [record.refget_id for record in seqtally_tools.checksum(plain)]
    assert json.loads(level2) == {
        "lengths": [8, 4, 4], "names": ["chrX", "chr1", "chr2"], "sequences": sequences,
        "sorted_sequences": sorted(sequences),
        "name_length_pairs": [{"length": 8, "name": "chrX"}, {"length": 4, "name": "chr1"},
                              {"length": 4, "name": "chr2"}]}
    assert level2 == canonical_json(json.loads(level2)) + b"\n"


@pytest.mark.parametrize("value, text", [
    # RFC 8785, 3.2.2.2: string escapes.
    ("\u20ac$\u000f\u000aA'\u0042\u0022\u005c\\\"/", '"€$\\u000f\\nA\'B\\"\\\\\\\\\\"/"'),
    # RFC 8785, 3.2.3: members sorted by UTF-16 code units (the emoji's surrogates before U+FB33).
    ({"\u20ac": 1, "\r": 2, "\ufb33": 3, "1": 4, "\U0001f600": 5, "\u0080": 6, "\u00f6": 7},
     '{"\\r":2,"1":4,"\u0080":6,"ö":7,"€":1,"\U0001f600":5,"\ufb33":3}'),
    ({"b": [1, -2, 0], "a": {"y": None, "x": True}}, '{"a":{"x":true,"y":null},"b":[1,-2,0]}'),
    ("\x00\x1f\x7f\u2028", '"\\u0000\\u001f\x7f\u2028"'),
    # A name-length pair and plain arrays, which are written in one piece.
    ([{"name": "\u2028\x01", "length": 2**53 - 1}, ["b", "a"], [True, 0], []],
     '[{"length":9007199254740991,"name":"\u2028\\u0001"},["b","a"],[true,0],[]]'),
])
def test_canonical_json_follows_rfc_8785(value, text):
    assert canonical_json(value) == text.encode()
    for inexact in ([2**53], {"length": -2**53}):
        with pytest.raises(ValueError):  # no double holds it exactly
            canonical_json(inexact)


def test_names_that_need_escaping_keep_their_digest(tmp_path):
    fasta = written(tmp_path / "names.fa", '>chr"1\\\x01ünï\u2028 x\nACGT\n>\u00e9\x7f\nGG\n'.encode())
    level2 = json.loads(cli("seqcol", "--level", "2", fasta).stdout)
    assert level2["names"] == ['chr"1\\\x01ünï\u2028', "\u00e9\x7f"]
    expected = b'["chr\\"1\\\\\\u0001\xc3\xbcn\xc3\xaf\xe2\x80\xa8","\xc3\xa9\x7f"]'
    assert seqtally_tools.seqcol(fasta, level=1)["names"] == seqtally_tools.sha512t24u(expected)


A = [("chr1", b"ACGT" * 10), ("chr2", b"GGCC" * 5), ("chr3", b"TTAA" * 7)]


def fasta_of(records):
    return b"".join(b">%s\n%s\n" % (name.encode(), seq) for name, seq in records)


@pytest.mark.parametrize("b, verdict, status, same_order", [
    (A, "identical: the same sequences under the same names, in the same order", 0, True),
    ([("1", A[0][1]), ("2", A[1][1]), ("3", A[2][1])], "the same sequences in the same order, under other names",
     1, True),
    ([A[2], A[0], A[1]], "the same sequences in another order, with the same names", 1, False),
    ([A[0], A[2]], "B is a subset of A: every sequence of B is in A, in the same order", 1, True),
    ([A[2], A[0]], "B is a subset of A: every sequence of B is in A, in another order", 1, False),
    ([*A, ("chr4", b"C" * 9)], "A is a subset of B: every sequence of A is in B, in the same order", 1, True),
    ([("x", b"N" * 3), ("y", b"A")], "nothing shared: no sequence and no name in common", 1, None),
    ([(n, s.lower().replace(b"a", b"c")) for n, s in A],
     "the same coordinate system (the same names and lengths, in the same order), different sequences", 1, True),
    ([A[0], ("dup", A[0][1]), A[1]], "partly shared: 2 of A's 3 sequences are in B, which has 3", 1, None),
])
def test_comparison_verdicts_counts_and_statuses(tmp_path, b, verdict, status, same_order):
    (tmp_path / "a.fa").write_bytes(fasta_of(A))
    (tmp_path / "b.fa.gz").write_bytes(gzip.compress(fasta_of(b)))
    text = cli("compare", tmp_path / "a.fa", tmp_path / "b.fa.gz")
    assert (text.returncode, text.stdout.decode().splitlines()[0]) == (status, verdict)
    result = json.loads(cli("compare", "--format", "json", tmp_path / "a.fa", tmp_path / "b.fa.gz").stdout)
    assert result == seqtally_tools.compare(tmp_path / "a.fa", tmp_path / "b.fa.gz")
    assert result["attributes"] == {"a_only": [], "b_only": [], "a_and_b": [
        "lengths", "name_length_pairs", "names", "sequences", "sorted_sequences"]}
    elements = result["array_elements"]
    assert (elements["a_count"]["sequences"], elements["b_count"]["names"]) == (3, len(b))
    assert elements["a_and_b_same_order"]["sequences"] == same_order
    assert (result["digests"]["a"] == result["digests"]["b"]) == (status == 0)


def test_compare_with_a_saved_collection_and_its_failures(tmp_path):
    fasta = written(tmp_path / "a.fa", fasta_of(A))
    saved = written(tmp_path / "a.json", cli("seqcol", "--level", "2", fasta).stdout)
    assert cli("compare", saved, fasta).returncode == 0
    assert seqtally_tools.compare(seqtally_tools.seqcol(fasta, level=2), saved)["digests"]["a"] == \
        seqtally_tools.seqcol(fasta)
    (tmp_path / "broken.json").write_text('{"names": ["a"]}')
    for other in (tmp_path / "missing.fa", tmp_path / "broken.json"):
        out = cli("compare", fasta, other)
        assert out.returncode == 2 and out.stdout == b"" and out.stderr.startswith(b"seqtally: error: ")


def samtools(*args):
    if not shutil.which("samtools"):
        pytest.skip("samtools is not installed (scripts/test installs it)")
    return subprocess.run(["samtools", *map(str, args)], capture_output=True, check=True).stdout


def test_dict_agrees_with_samtools(tmp_path):
    genome = written(tmp_path / "lambda_virus.fa", lambda_phage())
    # Bytes samtools drops (a space, a tab, a control byte, a lone CR, a byte above 0x7f); a name ending at a tab.
    odd = tmp_path / "odd.fasta"
    odd.write_bytes(b">clean\nACGTN\r\n>chr1 desc\nAC GT\r\nac\tgt*-\x01\xc3\xa9Z\r\r\n>chr2\tx y\nNNNN\n>e\n")
    for fasta in (genome, odd):
        assert cli("dict", fasta).returncode == 0
        made = fasta.with_suffix(".dict")
        assert made.read_bytes() == samtools("dict", fasta)
    notes = cli("dict", odd, "-o", "-", "--force").stderr.decode().splitlines()
    assert [note.split(" (")[0] for note in notes] == ["seqtally: note: record 2"]
    # samtools dict names a record before its first word: an empty SN, which no SAM reader takes.
    pigs = written(tmp_path / "pigs.fa", b"> pig1 desc\nACGT\n>\tpig2\nGG\n>pig3\nCC\n")
    theirs, ours = samtools("dict", pigs).decode(), cli("dict", pigs, "-o", "-")
    assert ours.stdout.decode() == theirs.replace("SN:\t", "SN:pig1\t", 1).replace("SN:\t", "SN:pig2\t", 1)
    assert ours.stderr.decode().splitlines() == [
        f"seqtally: note: record {i} ('pig{i}'): samtools dict writes SN '' (it does not skip the spaces and tabs"
        f" before a name), the dictionary SN 'pig{i}'" for i in (1, 2)]
    tagged = cli("dict", genome, "-o", "-", "--uri", "https://x.org/l.fa", "--assembly", "L1", "--species", "phage")
    assert tagged.stdout == samtools("dict", "-u", "https://x.org/l.fa", "-a", "L1", "-s", "phage", genome)


def test_dict_names_its_output_and_keeps_what_exists(tmp_path):
    gz = written(tmp_path / "ref.fa.gz", gzip.compress(fasta_of(A)))
    assert cli("dict", gz).returncode == 0
    text = (tmp_path / "ref.dict").read_text()
    assert f"\tUR:file://{gz}" in text
    (tmp_path / "ref.dict").write_text("mine")
    again = cli("dict", gz)
    assert again.returncode == 1 and b"--force" in again.stderr and (tmp_path / "ref.dict").read_text() == "mine"
    assert cli("dict", gz, "--force").returncode == 0 and (tmp_path / "ref.dict").read_text() == text
    assert cli("dict", "-", input=gz.read_bytes()).stdout == text.replace(f"\tUR:file://{gz}", "").encode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ref.dict", "ref.fa.gz"]
