"""fetch --bed, --regions and nuc byte for byte against Debian's bedtools
(2.30) and samtools, on the lambda phage (plain and BGZF) and the example
files (soft-masked, N-rich), with awkward intervals; what seqtally does
where bedtools silently drops an interval; the library's arrays against the
same values."""
import pickle
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import EXAMPLES, cli, lambda_phage, raised, written
from seqtally_tools import FastaFile, IntervalError, composition, write_intervals, write_nuc, write_regions

LAMBDA = "gi|9626243|ref|NC_001416.1|"
pytestmark = pytest.mark.skipif(not (shutil.which("bedtools") and shutil.which("samtools")),
                                reason="bedtools and samtools are installed by scripts/test")


def tool(*args):
    done = subprocess.run(list(map(str, args)), capture_output=True, timeout=120)
    return done.stdout


# Every IUPAC code in either case, U among them, and bytes a complement keeps.
IUPAC = b">iupac\nACGTUNRYKMSWBDHVacgtunrykmswbdhvX-.*\n"


@pytest.fixture(scope="module")
def references(tmp_path_factory):
    """Plain and BGZF copies of each reference, and BED lines for each:
    the first and last bases, both strands, overlapping, out of order."""
    folder = tmp_path_factory.mktemp("references")
    found = {}
    for name, data in (("lambda", lambda_phage()), ("small", (EXAMPLES / "small.fa").read_bytes() + IUPAC),
                       ("phix", (EXAMPLES / "phix174.fa").read_bytes())):
        plain = folder / f"{name}.fa"
        plain.write_bytes(data)
        bgzf = folder / f"{name}.fa.gz"
        bgzf.write_bytes(tool("bgzip", "-c", plain))
        lengths = {line.split("\t")[0]: int(line.split("\t")[1]) for line in
                   tool("samtools", "faidx", plain, "--fai-idx", "-").decode().splitlines()}
        rows = []
        for contig, length in lengths.items():
            rows += [(contig, 0, 1), (contig, length - 1, length), (contig, 0, length), (contig, length // 3, length),
                     (contig, 5, min(length, 38)), (contig, 2, min(length, 17)), (contig, 0, min(length, 1000))]
        found[name] = (plain, bgzf, rows)
    return found


def bed_text(rows, columns, crlf=False, tail=""):
    lines = []
    for i, (contig, start, end) in enumerate(rows):
        fields = [contig, str(start), str(end), f"i{i}", str(i), "-+"[i % 2], str(start), str(end), "0", "1",
                  f"{end - start},", "0,"]
        lines.append("\t".join(fields[:columns]) + tail)
    return ("\r\n" if crlf else "\n").join(["track name=awkward", "# comment", *lines]) + "\n"


OPTIONS = [[], ["-s"], ["-name"], ["-name", "-s"], ["-nameOnly", "-s"], ["-tab"], ["-s", "-name", "-tab"]]
OURS = {"-s": "--strand", "-name": "--name", "-nameOnly": "--name-only", "-tab": "--tab"}


LAYOUTS = [("lambda", 3, False), ("lambda", 4, False), ("lambda", 6, False), ("lambda", 6, True),
           ("lambda", 12, False), ("small", 6, True), ("phix", 12, False)]


@pytest.mark.parametrize("name, columns, crlf", LAYOUTS)
@pytest.mark.parametrize("options", OPTIONS, ids=" ".join)
def test_fetch_bed_prints_what_bedtools_getfasta_prints(references, tmp_path, name, columns, crlf, options):
    plain, bgzf, rows = references[name]
    bed = written(tmp_path / "intervals.bed", bed_text(rows, columns, crlf).encode())
    expected = tool("bedtools", "getfasta", "-fi", plain, "-bed", bed, *options)
    assert expected
    for fasta in (plain, bgzf) if not options else (bgzf,):
        done = cli("fetch", fasta, "--bed", bed, *[OURS[o] for o in options])
        assert done.returncode == 0, done.stderr
        assert done.stdout == expected


# A tab that ends a line is no column of its own, as bedtools reads it.
@pytest.mark.parametrize("name, columns, tail", [("lambda", 3, ""), ("lambda", 6, "\t"), ("small", 12, "")])
@pytest.mark.parametrize("options", [[], ["-s"], ["-seq"], ["-s", "-seq", "-pattern", "GC", "-C"], ["-pattern", "aa"],
                                     ["-pattern", "N", "-seq"]], ids=" ".join)
def test_nuc_prints_what_bedtools_nuc_prints(references, tmp_path, name, options, columns, tail):
    plain, bgzf, rows = references[name]
    bed = written(tmp_path / "intervals.bed", bed_text(rows, columns, tail=tail))
    expected = tool("bedtools", "nuc", "-fi", plain, "-bed", bed, *options)
    ours = [{"-s": "--strand", "-seq": "--seq", "-pattern": "--pattern", "-C": "-C"}.get(o, o) for o in options]
    for fasta in (plain, bgzf) if not options else (bgzf,):
        done = cli("nuc", fasta, bed, *ours)
        assert done.returncode == 0, done.stderr
        assert done.stdout == expected
    # The library's values are the printed ones.
    table = composition(bgzf, str(bed), strand="-s" in options)
    printed = [line.split("\t")[columns:columns + 9] for line in expected.decode().splitlines()[1:]]
    assert [[f"{row[0]:f}", f"{row[1]:f}", *map(str, list(row)[2:])] for row in table.tolist()] == printed


def test_an_interval_bedtools_drops_is_an_error_naming_its_line(references, tmp_path):
    plain, bgzf, _ = references["lambda"]
    bed = tmp_path / "some.bed"
    bed.write_text(f"{LAMBDA}\t0\t10\nchrX\t1\t5\n{LAMBDA}\t48500\t48503\n{LAMBDA}\t5\t5\n{LAMBDA}\t48492\t48502\n")
    for command in (["fetch", bgzf, "--bed", bed], ["nuc", bgzf, bed]):
        done = cli(*command)
        peer = ["getfasta", "-fi", plain, "-bed", bed] if command[0] == "fetch" else ["nuc", "-fi", plain, "-bed", bed]
        assert done.stdout == tool("bedtools", *peer)
        assert done.returncode == 1
        errors = [line for line in done.stderr.decode().splitlines() if "error" in line]
        assert errors == [f"seqtally: error: {bed}: line 2: chrX:1-5: the FASTA file has no sequence named chrX",
                          f"seqtally: error: {bed}: line 3: {LAMBDA}:48500-48503 ends after the end of {LAMBDA} "
                          "(48502 bases)"]
        assert f"line 4: {LAMBDA}:5-5 is empty" in done.stderr.decode()


def test_the_library_writes_what_the_command_prints_and_says_what_it_left_out(references, tmp_path):
    plain, bgzf, _ = references["lambda"]
    bed = written(tmp_path / "some.bed", f"{LAMBDA}\t0\t10\nchrX\t1\t5\n{LAMBDA}\t5\t5\n")
    regions = [f"{LAMBDA}:1-5", "chrX", f"{LAMBDA}:48500-48600", f"{LAMBDA}:9-8"]
    runs = [
        (lambda out: write_intervals(bgzf, bed, out), ["bedtools", "getfasta", "-fi", plain, "-bed", bed]),
        (lambda out: write_nuc(bgzf, bed, out), ["bedtools", "nuc", "-fi", plain, "-bed", bed]),
        (lambda out: write_regions(bgzf, regions, out), ["samtools", "faidx", plain, regions[0], regions[2]]),
    ]
    said = []
    for write, peer in runs:
        out = tmp_path / "out.txt"
        said.append(pickle.loads(pickle.dumps(write(out))))
        assert out.read_bytes() == tool(*peer)
    assert [(n.line, n.fault) for n in said[0]] == [(n.line, n.fault) for n in said[1]] == [
        (2, "unknown-contig"), (3, "empty")]
    assert [(n.number, n.fault, n.printed) for n in said[2]] == [
        (1, "unknown-sequence", False), (2, "cut", True), (3, "bad-region", False)]


@pytest.mark.parametrize("text, line", [("c\t1\t2\nc\tx\t9\n", 2), ("c\t5\t4\n", 1), ("c\t1\t2\tn\rx\n", 1)])
def test_a_malformed_bed_line_fails_before_anything_is_printed(references, tmp_path, text, line):
    bed = written(tmp_path / "bad.bed", text)
    for command in (["fetch", references["lambda"][1], "--bed", bed], ["nuc", references["lambda"][1], bed]):
        done = cli(*command)
        assert (done.returncode, done.stdout) == (1, b"")
        assert done.stderr.decode().startswith(f"seqtally: error: {bed}: line {line}: ")
    error = raised(lambda: composition(references["lambda"][1], str(bed)))
    assert (error.kind, error.fault, error.line, error.path) == ("format", "not-bed", line, str(bed))


def test_regions_file_prints_what_samtools_faidx_r_prints(references, tmp_path):
    plain, bgzf, rows = references["small"]
    regions = tmp_path / "regions.txt"
    regions.write_bytes(b"chr1:1-5\nchr2\r\nchr1:30-\nchr1:-3\nchr1:2,0-24\nchr2:16\n{chr1}:3-70\nchr1:1-1\n")
    for flags in ([], ["-i"]):
        expected = tool("samtools", "faidx", plain, "-r", regions, *flags)
        done = cli("fetch", bgzf, "--regions", regions, *flags)
        assert (done.returncode, done.stdout) == (0, expected), done.stderr


def test_the_library_gives_the_same_rows_from_tuples_arrays_and_threads(references):
    plain, bgzf, rows = references["lambda"]
    complement = str.maketrans("ACGT", "TGCA")
    with FastaFile(bgzf) as fasta:
        stranded = [(contig, start, end, "-+"[i % 2]) for i, (contig, start, end) in enumerate(rows)]
        assert fasta.fetch_many(stranded, strand=True).tolist() == [
            fasta.fetch(c, s, e) if strand == "+" else fasta.fetch(c, s, e)[::-1].translate(complement)
            for c, s, e, strand in stranded]
        starts, ends = np.array([r[1] for r in rows]), np.array([r[2] for r in rows])
        assert fasta.fetch_many((LAMBDA, starts, ends)).tolist() == [fasta.fetch(*r) for r in rows]
        expected = composition(fasta, rows)
        with ThreadPoolExecutor(4) as pool:
            for table in pool.map(lambda _: composition(fasta, (LAMBDA, starts, ends)), range(8)):
                assert np.array_equal(table, expected)
        assert composition(fasta, [(LAMBDA, 7, 7)])["seq_len"][0] == 0
        for call, fault, index in [(lambda: fasta.fetch_many([(LAMBDA, 0, 5), (LAMBDA, 48000, 48600)]), "past-end", 1),
                                   (lambda: composition(fasta, [("chr1", 0, 5)]), "unknown-contig", 0)]:
            with pytest.raises(IntervalError) as caught:
                call()
            assert (caught.value.fault, caught.value.index) == (fault, index)
