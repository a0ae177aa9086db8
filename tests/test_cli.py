"""The seqtally command: output formats, worker processes, exit statuses."""
import gzip
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import seqtally

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
COMMAND = shutil.which("seqtally", path=str(Path(sys.executable).parent)) or "seqtally"


def cli(*args, stdin=None):
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=True, timeout=300, stdin=stdin)


def test_checksum_tsv_and_json_carry_the_module_values():
    files = [EXAMPLES / "phix174.fa", EXAMPLES / "small.fa"]
    expected = [(str(f), r.id, r.length, r.sha512, r.md5) for f in files for r in seqtally.checksum(str(f))]
    tsv = cli("checksum", *files)
    assert tsv.returncode == 0 and tsv.stderr == ""
    lines = tsv.stdout.splitlines()
    assert lines[0] == "file\tid\tlength\tsha512t24u\tmd5"
    assert [tuple(line.split("\t")) for line in lines[1:]] == [tuple(map(str, e)) for e in expected]
    as_json = cli("checksum", "--format", "json", *files)
    keys = ("file", "id", "length", "sha512t24u", "md5")
    assert [json.loads(line) for line in as_json.stdout.splitlines()] == [dict(zip(keys, e)) for e in expected]


def test_worker_processes_keep_input_order(tmp_path):
    files = []
    for i in range(12):
        path = tmp_path / f"f{i}.fa"
        path.write_bytes(b"".join(b">f%d_r%d\n%s\n" % (i, j, b"ACGT"[j % 4:] * (i + j + 1)) for j in range(30)))
        files.append(path)
    serial = cli("checksum", *files)
    parallel = cli("checksum", "--jobs", "3", *files)
    assert parallel.returncode == 0
    assert parallel.stdout == serial.stdout and len(serial.stdout.splitlines()) == 1 + 12 * 30


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_failure_is_one_line_after_the_earlier_files(tmp_path, jobs):
    missing = tmp_path / "missing.fa"
    out = cli("checksum", "--jobs", jobs, EXAMPLES / "small.fa", missing, EXAMPLES / "phix174.fa")
    assert out.returncode == 1
    assert out.stderr == ("seqtally: error: called `Result::unwrap()` on an `Err` value: "
                          'Os { code: 2, kind: NotFound, message: "No such file or directory" }\n')
    assert out.stdout.splitlines()[1].startswith(f"{EXAMPLES / 'small.fa'}\t")
    assert "phix174" not in out.stdout


def test_gc_writes_what_the_module_writes(tmp_path):
    fasta = EXAMPLES / "phix174.fa"
    seqtally.write_seqtally_to_file(str(fasta), str(tmp_path / "ref.wig"), 6, 50, True, str(tmp_path / "ref.sizes"),
                                    True, False)
    out = cli("gc", fasta, tmp_path / "t.wig.gz", "--window", "50", "--omit-tail", "--chrom-sizes",
              tmp_path / "t.sizes", "--level", "1")
    assert out.returncode == 0 and out.stdout == ""
    assert out.stderr.startswith("==> Will write chrom.sizes file to ")
    assert out.stderr.endswith("==> Found and processed 1 regions.\n")
    assert gzip.decompress((tmp_path / "t.wig.gz").read_bytes()) == (tmp_path / "ref.wig").read_bytes()
    assert (tmp_path / "t.sizes").read_bytes() == (tmp_path / "ref.sizes").read_bytes()
    quiet = cli("gc", fasta, tmp_path / "q.wig", "--quiet")
    assert quiet.returncode == 0 and quiet.stderr == "" and (tmp_path / "q.wig").stat().st_size > 0
    assert not (tmp_path / "q.sizes").exists()


def test_exit_statuses(tmp_path):
    not_fasta = tmp_path / "x.fa"
    not_fasta.write_text("ACGT\n")
    failed = cli("gc", not_fasta, tmp_path / "o.wig", "--quiet")
    assert (failed.returncode, failed.stderr) == (
        1, "seqtally: error: Error reading record: InvalidStart { line: 1, found: 65 }\n")
    bad = tmp_path / "bad.fa"
    bad.write_bytes(b">a\nAC\n>\xff\nGT\n")
    progress_then_error = cli("gc", bad, tmp_path / "o.wig")
    assert (progress_then_error.returncode, progress_then_error.stderr) == (
        1, '==> Processing region "a" ... done\n'
           "seqtally: error: called `Result::unwrap()` on an `Err` value: Utf8Error { valid_up_to: 0, error_len: Some(1) }\n")
    for usage in (["checksum"], ["gc", "in.fa"], ["gc", "a", "b", "--window", "0"], ["gc", "a", "b", "--level", "10"],
                  ["frobnicate"], []):
        out = cli(*usage)
        assert out.returncode == 2 and "usage: seqtally" in out.stderr, usage
    version = cli("--version")
    assert (version.returncode, version.stdout) == (0, "seqtally 0.1.0\n")


def test_a_closed_pipe_ends_quietly(tmp_path):
    big = tmp_path / "many.fa"
    big.write_bytes(b"".join(b">r%d\nACGT\n" % i for i in range(200_000)))
    reader = subprocess.Popen([COMMAND, "checksum", str(big)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.readline()
    reader.stdout.close()
    assert reader.wait(timeout=120) == 141
    assert reader.stderr.read() == b""


def test_runs_as_a_module_too():
    out = subprocess.run([sys.executable, "-m", "seqtally_cli", "checksum", EXAMPLES / "small.fa"],
                         capture_output=True, text=True, env={**os.environ, "PYTHONWARNINGS": "error"})
    assert out.returncode == 0 and out.stdout.startswith("file\tid\t")
