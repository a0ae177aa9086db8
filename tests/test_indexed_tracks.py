"""gzip tracks as BGZF, and bedGraph tracks with their tabix index, against
htslib's own tools: bgzip -t accepts the track, zcat gives the plain track,
the index is the one tabix -p bed (-C) builds for the same file, and tabix
queries return exactly the plain track's overlapping lines."""
import gzip
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import seqtally_tools
from conftest import EXAMPLES, SANITIZED, cli, lambda_phage, written
from test_tracks import MANY

pytestmark = pytest.mark.skipif(shutil.which("tabix") is None, reason="tabix (Debian's tabix) is not installed")

AWKWARD = b">empty\n>n_only\nNNNNNNNNNN\n>one\nA\n>crlf desc\r\nACGTNNacgt\r\nGGCC\r\n>last\n" + b"ACGTTGCA" * 5000 + b"\n"


def inflated(path):
    return gzip.decompress(Path(path).read_bytes())


def tabix_index_of(track, tmp_path, csi=False):
    """tabix's own index of a copy of the track: (compressed, inflated)."""
    copy = tmp_path / "tabix-copy.bedGraph.gz"
    shutil.copyfile(track, copy)
    subprocess.run(["tabix", "-f", "-p", "bed", *(["-C"] if csi else []), str(copy)], check=True)
    index = Path(f"{copy}.{'csi' if csi else 'tbi'}")
    return index.read_bytes(), inflated(index)


def overlapping(plain_lines, name, first, last):
    """The plain track's lines of `name` over bases first..last (1-based,
    inclusive), as tabix would return them."""
    found = []
    for line in plain_lines:
        chrom, begin, end, _ = line.split(b"\t")
        if chrom == name.encode() and int(begin) < last and int(end) >= first:
            found.append(line)
    return found


def regions(plain_lines):
    """Per record: its first base, its last, a stretch inside, and all of it."""
    ends = {}
    for line in plain_lines:
        chrom, _, end, _ = line.split(b"\t")
        ends[chrom.decode()] = int(end)
    for name, length in list(ends.items())[:5] + list(ends.items())[-2:]:
        yield from ((name, 1, 1), (name, length, length), (name, length // 3 + 1, length // 2 + 7), (name, 1, length))


@pytest.mark.parametrize("genome, window", [("phix174", 100), ("small", 7), ("lambda phage", 37),
                                            ("lambda phage", 20000), ("300 records", 10), ("awkward", 3)])
def test_an_indexed_track_is_tabixs_and_answers_as_the_plain_track(tmp_path, genome, window):
    source = {"phix174": lambda: EXAMPLES / "phix174.fa", "small": lambda: EXAMPLES / "small.fa",
              "lambda phage": lambda: written(tmp_path / "lambda.fa", lambda_phage()),
              "300 records": lambda: written(tmp_path / "many.fa", MANY),
              "awkward": lambda: written(tmp_path / "awkward.fa", AWKWARD)}[genome]()
    track, plain = tmp_path / "t.bedGraph.gz", tmp_path / "t.bedGraph"
    summary = seqtally_tools.gc_track(source, track, window=window, count="acgt")
    seqtally_tools.gc_track(source, plain, window=window, count="acgt")
    assert summary.tabix_index == Path(f"{track}.tbi")
    assert subprocess.run(["bgzip", "-t", str(track)]).returncode == 0
    assert inflated(track) == plain.read_bytes()
    ours = summary.tabix_index.read_bytes()
    theirs, theirs_inflated = tabix_index_of(track, tmp_path)
    assert inflated(summary.tabix_index) == theirs_inflated
    # Same blocks, same level, same compressor: the compressed bytes too
    # (the sanitized build deflates with zlib instead of libdeflate).
    assert ours == theirs or SANITIZED
    plain_lines = plain.read_bytes().splitlines()
    for name, first, last in regions(plain_lines):
        answer = subprocess.run(["tabix", str(track), f"{name}:{first}-{last}"], capture_output=True, check=True)
        assert answer.stdout.splitlines() == overlapping(plain_lines, name, first, last), (name, first, last)


def test_a_record_longer_than_2_29_gets_a_csi_index(tmp_path):
    # 2^29 + 60,000 bases of N, 60 a line, through a pipe: no such file on disk.
    lines = ((1 << 29) + 60_000) // 60
    feeder = subprocess.Popen(["sh", "-c", f"printf '>small\\nACGT\\n>big\\n'; yes {'N' * 60} | head -c {lines * 61}"],
                              stdout=subprocess.PIPE)
    track = tmp_path / "t.bg.gz"
    with feeder:
        summary = seqtally_tools.gc_track(feeder.stdout, track, window=1_000_000)
    assert summary.tabix_index == Path(f"{track}.csi") and not Path(f"{track}.tbi").exists()
    _, theirs = tabix_index_of(track, tmp_path, csi=True)
    assert inflated(summary.tabix_index) == theirs
    length = lines * 60
    answer = subprocess.run(["tabix", str(track), f"big:{length}-{length}", "small:1-1"], capture_output=True, check=True)
    assert answer.stdout == f"big\t{length // 1_000_000 * 1_000_000}\t{length}\t0\nsmall\t0\t4\t50\n".encode()


@pytest.mark.parametrize("args, status, message", [
    (["dup.fa", "t.bedGraph.gz"], 1, "records 1 and 3 are both named 'a': tabix indexes no track with two records "
                                     "of one name"),
    (["in.fa", "t.bedGraph.gz", "--track-line"], 2, "a gzip bedGraph track is indexed with tabix, which would read "
                                                   "a track line as data"),
    (["in.fa", "u.bedGraph.gz"], 1, "seqtally: error: u.bedGraph.gz.tbi: "),
], ids=["repeated name", "track line", "index not writable"])
def test_what_tabix_cannot_index_is_refused_and_nothing_is_written(tmp_path, args, status, message):
    written(tmp_path / "dup.fa", b">a\nACGT\n>b\nGG\n>a\nTT\n")
    written(tmp_path / "in.fa", b">a\nACGT\n")
    (tmp_path / "u.bedGraph.gz.tbi").mkdir()  # written as named, and failing
    out = cli("gc", *args, "-q", cwd=tmp_path)
    assert out.returncode == status and message in out.stderr.decode(), out.stderr
    assert sorted(os.listdir(tmp_path)) == ["dup.fa", "in.fa", "u.bedGraph.gz.tbi"]


def test_a_gzip_wiggle_track_is_bgzf_without_an_index(tmp_path):
    fasta = written(tmp_path / "many.fa", MANY)
    summary = seqtally_tools.gc_track(fasta, tmp_path / "t.wig.gz")
    seqtally_tools.gc_track(fasta, tmp_path / "t.wig")
    assert summary.tabix_index is None and sorted(os.listdir(tmp_path)) == ["many.fa", "t.wig", "t.wig.gz"]
    assert subprocess.run(["bgzip", "-t", str(tmp_path / "t.wig.gz")]).returncode == 0
    assert inflated(tmp_path / "t.wig.gz") == (tmp_path / "t.wig").read_bytes()
