"""seqtally index --bgzip against bgzip, samtools faidx and seqtally dict,
which read the copy independently: bgzip -t accepts it, it inflates to the
input's bytes, its .fai and .gzi are theirs byte for byte; and a conversion
that fails leaves the input as it was and nothing new."""
import errno
import gzip
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import seqtally_tools as st
from conftest import LAMBDA, cli, lambda_phage, raised, written

pytestmark = pytest.mark.skipif(shutil.which("samtools") is None or shutil.which("bgzip") is None,
                                reason="samtools and bgzip (Debian) check what seqtally writes")

INPUTS = {
    "plain": lambda: (b">a desc\nACGTACGT\nACG\n>b\nTTTT\n", "x.fa"),
    "gzip": lambda: (gzip.compress(b">a\nACGT\nAC\n"), "x.fa.gz"),
    "standard input": lambda: (b">a\nACGT\nAC\n>b\nGG\n", "-"),
    # A pipe by its path (process substitution): opened once, read from its first byte.
    "a pipe by its path": lambda: (b">a\nACGT\nAC\n>b\nGG\n", "/dev/stdin"),
    "CRLF": lambda: (b">a\r\nACGT\r\nACGT\r\nAC\r\n", "x.fa"),
    "an empty record": lambda: (b">a\n>b\nACGT\n", "x.fa"),
    "100,000 tiny records": lambda: (b"".join(b">r%d\nACGT\nA\n" % i for i in range(100_000)), "x.fa"),
    # A real gzip download, several BGZF blocks once copied (three genomes under other names).
    "a real genome, gzip": lambda: (gzip.compress(b"".join(
        lambda_phage().replace(b">gi", b">copy%d gi" % i, 1) for i in range(3))), "x.fa.gz"),
}


@pytest.mark.parametrize("shape", INPUTS)
def test_the_copy_is_bgzf_and_indexed_as_bgzip_and_samtools_index_it(tmp_path, shape):
    content, name = INPUTS[shape]()
    copy = tmp_path / "copy.fa.gz"
    if name.startswith(("-", "/")):
        result = cli("index", name, "--bgzip", copy, "-q", input=content)
        assert result.returncode == 0, result.stderr
    else:
        done = st.index(written(tmp_path / name, content), bgzip=copy)
        assert done.files == [str(copy)] + [f"{tmp_path}/copy{suffix}" for suffix in
                                             (".fa.gz.fai", ".fa.gz.gzi", ".dict", ".chrom.sizes", ".seqcol.json")]
    subprocess.run(["bgzip", "-t", str(copy)], check=True)
    decoded = gzip.decompress(content) if name.endswith(".gz") else content
    assert gzip.decompress(copy.read_bytes()) == decoded
    theirs = shutil.copyfile(copy, tmp_path / "theirs.fa.gz")
    subprocess.run(["bgzip", "-r", str(theirs)], check=True)
    subprocess.run(["samtools", "faidx", str(theirs)], check=True)
    assert Path(f"{copy}.gzi").read_bytes() == Path(f"{theirs}.gzi").read_bytes()
    assert Path(f"{copy}.fai").read_bytes() == Path(f"{theirs}.fai").read_bytes()
    assert (tmp_path / "copy.dict").read_bytes() == cli("dict", copy, "-o", "-", "-q").stdout


def test_a_gzip_download_is_replaced_in_place_once_complete(tmp_path):
    download = shutil.copyfile(LAMBDA if LAMBDA.exists() else pytest.skip("no bowtie2-examples"),
                               tmp_path / "lambda.fa.gz")
    error = raised(lambda: st.FastaFile(download))
    assert error.hint is not None and "seqtally index --bgzip" in error.hint
    assert "seqtally index --bgzip" in cli("fetch", download, "gi").stderr.decode()
    inode = os.stat(download).st_ino
    done = st.index(download, bgzip=True)
    assert done.files[0] == str(download) and os.stat(download).st_ino != inode  # renamed over, not rewritten
    assert gzip.decompress(download.read_bytes()) == lambda_phage()
    with st.FastaFile(download) as fasta:
        assert fasta.fetch(region=f"{fasta.references[0]}:1-10") == lambda_phage().split(b"\n")[1][:10].decode()
    # Now BGZF: indexed as it is, no copy.
    again = st.index(download, bgzip=True, force=True)
    assert "BGZF already" in again.notes[0] and str(download) not in again.files


def damaged(data):
    """gzip whose CRC-32 does not match: only its trailer, after every
    byte was inflated (and copied), says so."""
    packed = bytearray(gzip.compress(data))
    packed[-8] ^= 0xFF
    return bytes(packed)


RECORDS = b"".join(b">r%d\nACGT\nACGT\nA\n" % i for i in range(20_000))  # several blocks
FAILURES = {
    # (input name, its bytes, the copy, what the error says)
    "a damaged gzip download, in place": ("x.fa.gz", damaged(RECORDS), True, "CRC-32"),
    "a damaged gzip input, to another name": ("x.fa.gz", damaged(RECORDS), "copy.fa.gz", "CRC-32"),
    "a full disk": ("x.fa", RECORDS, "/dev/full", os.strerror(errno.ENOSPC)),
    "records no .fai can address": ("x.fa.gz", gzip.compress(b">a\nACGT\nAC\nACGT\n"), True, "line 3 has 2 bases"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_a_failed_conversion_leaves_the_input_and_nothing_new(tmp_path, case):
    name, content, copy, said = FAILURES[case]
    path = written(tmp_path / name, content)
    target = copy if copy is True or copy.startswith("/") else tmp_path / copy
    error = raised(lambda: st.index(path, bgzip=target, force=True))
    assert said in error.message
    assert os.listdir(tmp_path) == [name] and path.read_bytes() == content
