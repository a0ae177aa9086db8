"""The failure contract. The library raises SeqtallyError (with a kind) for
a failed operation, MemoryError when memory runs out, TypeError, ValueError
or OverflowError for an argument, and nothing else. The command prints one
line `seqtally: error: ...` and exits 1, or its command's usage and exits 2,
never a traceback, and leaves no output behind."""
import gzip
import os
import resource
import subprocess

import pytest

import seqtally_tools
from conftest import COMMAND, EXAMPLES, SANITIZED, run_python, written

# A record of 1 GiB in a gzip file of a few MiB: a memory limit well below
# it fails the reader's buffer, whatever reads it.
HUGE_RECORD_GIB = 1
MEMORY_LIMIT = 384 << 20

# A configuration that loads OpenSSL's base provider only: no SHA-512, no
# MD5. An honest internal fault: nothing is wrong with the input.
NO_DIGESTS = """openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
base = base_sect
[base_sect]
activate = 1
"""


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    (folder / "in.fa").write_bytes((EXAMPLES / "phix174.fa").read_bytes())
    written(folder / "r.bed", "NC_001422.1\t0\t10\n")
    (folder / "dir").mkdir()
    block = gzip.compress(b"A" * (16 << 20), 9)
    written(folder / "huge.fa.gz", gzip.compress(b">huge\n") + block * (HUGE_RECORD_GIB * 64))
    written(folder / "no-digests.cnf", NO_DIGESTS)
    return folder


def limited_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def run(files, tmp_path, args, **kwargs):
    """The command on `args` ({fasta}, {bed}, {dir} and {huge} filled from
    `files`), run in the fresh folder `tmp_path`."""
    names = {"fasta": "in.fa", "bed": "r.bed", "dir": "dir", "huge": "huge.fa.gz"}
    filled = [arg.format(**{key: files / name for key, name in names.items()}) for arg in args]
    return subprocess.run([COMMAND, *filled], capture_output=True, timeout=120, cwd=tmp_path, **kwargs)


# Exit 2: the usage of the command named, then its error line.
USAGE = [
    ("gc", ["{fasta}", "t.wig", "--window", "2147483648"]),  # one limit for every format
    ("gc", ["{fasta}", "t.bw", "--window", "99999999999999999999999"]),
    ("gc", ["{fasta}", "t.wig", "--window", "0"]),
    ("gc", ["{fasta}", "t.wig", "--window", "1e3"]),
    ("gc", ["{fasta}", "t.wig.gz", "--level", "-1"]),
    ("gc", ["{fasta}", "t.wig", "--count", "acgt", "--min-acgt", "nan"]),
    ("gc", ["{fasta}", "--bogus", "t.wig"]),
    ("checksum", ["--jobs", "0", "{fasta}"]),
    ("checksum", ["--jobs", "many", "{fasta}"]),
    ("checksum", ["{fasta}", "--bogus"]),
    ("seqcol", ["--level", "3", "{fasta}"]),
    ("compare", ["{fasta}", "{fasta}", "--bogus"]),
    ("dict", ["{fasta}", "--bogus"]),
    ("index", ["--bogus", "{fasta}"]),
    ("fetch", ["{fasta}", "--bogus"]),
    ("nuc", ["{fasta}"]),
    ("nuc", ["{fasta}", "{bed}", "--window", "5"]),
    ("aliases", ["{fasta}", "{fasta}", "--bogus"]),
    ("store add", ["s", "{fasta}", "--bogus"]),
    ("serve", ["s", "--port", "99999999999"]),
    ("serve", ["s", "--workers", "0"]),
]


@pytest.mark.parametrize("command, args", USAGE, ids=[" ".join([command, *args]) for command, args in USAGE])
def test_usage_errors_name_their_command(files, tmp_path, command, args):
    out = run(files, tmp_path, [*command.split(), *args])
    said = out.stderr.decode()
    assert out.returncode == 2 and said.startswith(f"usage: seqtally {command} "), said
    assert said.splitlines()[-1].startswith(f"seqtally {command}: error: ") and "Traceback" not in said
    assert os.listdir(tmp_path) == []


# Exit 1: one line. Outputs are named in the fresh folder, which must stay
# empty.
FAILURES = [
    (["checksum", "missing.fa"], "missing.fa: No such file or directory"),
    (["checksum", "{dir}"], "Is a directory"),
    # Root reads any file whatever its mode: a read that fails is one the
    # kernel refuses to everyone.
    (["checksum", "/proc/self/mem"], "/proc/self/mem: Input/output error"),
    (["seqcol", "--files-from", "{dir}"], "cannot read the list of files: Is a directory"),
    (["gc", "{dir}", "t.wig"], "Is a directory"),
    (["gc", "{fasta}", "{dir}/"], "Is a directory"),
    (["gc", "{fasta}", "{dir}/", "--format", "bigwig"], "Is a directory"),  # pyBigWig would crash
    (["gc", "{fasta}", "/dev/null", "--format", "bigwig"], "a bigWig track needs a regular file"),
    (["gc", "{fasta}", "missing/t.wig.gz", "--chrom-sizes", "t.sizes"], "the folder missing does not exist"),
    (["gc", "{fasta}", "t.bw", "--chrom-sizes", "missing/t.sizes"], "the folder missing does not exist"),
    (["dict", "{fasta}", "-o", "missing/t.dict"], "the folder missing does not exist"),
    (["index", "{dir}"], "Is a directory"),
    (["fetch", "{fasta}", "--bed", "{dir}"], "Is a directory"),
    (["nuc", "{dir}", "{bed}"], "Is a directory"),
    (["aliases", "{fasta}", "{fasta}", "-o", "missing/a.tsv"], "the folder missing does not exist"),
    (["store", "alias", "{dir}", "a.tsv"], "not a store"),
    (["serve", "missing"], "not a store"),
]


@pytest.mark.parametrize("args, said", FAILURES, ids=[" ".join(args) for args, _ in FAILURES])
def test_failures_are_one_line_and_leave_nothing(files, tmp_path, args, said):
    out = run(files, tmp_path, args)
    assert (out.returncode, out.stdout) == (1, b""), out.stderr
    lines = out.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("seqtally: error: ") and said in lines[0], lines
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file of mode 000: the row above fails a read instead")
def test_an_unreadable_file_is_one_line(tmp_path):
    locked = written(tmp_path / "locked.fa", b">a\nACGT\n")
    locked.chmod(0)
    out = subprocess.run([COMMAND, "checksum", locked], capture_output=True, timeout=60)
    assert (out.returncode, out.stderr.decode()) == (1, f"seqtally: error: {locked}: Permission denied\n")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
@pytest.mark.parametrize("args", [["gc", "{huge}", "t.wig.gz", "--chrom-sizes", "t.sizes"],
                                  ["gc", "{huge}", "t.bw"], ["checksum", "{huge}"],
                                  ["dict", "-", "-o", "t.dict"]], ids=" ".join)
def test_out_of_memory_is_one_line(files, tmp_path, args):
    with open(files / "huge.fa.gz", "rb") as stdin:
        out = run(files, tmp_path, args, stdin=stdin, preexec_fn=limited_memory)
    assert (out.returncode, out.stdout) == (1, b"")
    assert out.stderr.decode().startswith("seqtally: error: out of memory") and out.stderr.count(b"\n") == 1
    assert os.listdir(tmp_path) == []


def test_an_internal_fault_is_one_line(files, tmp_path):
    no_digests = {**os.environ, "OPENSSL_CONF": str(files / "no-digests.cnf")}
    out = run(files, tmp_path, ["checksum", "{fasta}"], env=no_digests)
    assert (out.returncode, out.stdout) == (1, b"")
    assert out.stderr.startswith(b"seqtally: error: ") and b"please report it" in out.stderr
    assert out.stderr.count(b"\n") == 1


# ---------------------------------------------------------------- the library

FORMATS = ["t.wig", "t.bedGraph", "t.bw"]


@pytest.mark.parametrize("output", FORMATS)
@pytest.mark.parametrize("window, error", [(2**31, OverflowError), (2**64, OverflowError), (0, ValueError),
                                           (-1, ValueError), ("100", TypeError), (True, TypeError)])
def test_the_window_limit_is_the_same_for_every_format(tmp_path, output, window, error):
    with pytest.raises(error):
        seqtally_tools.gc_track(EXAMPLES / "phix174.fa", tmp_path / output, window=window)
    with pytest.raises(error):
        seqtally_tools.check_gc_arguments(window=window)
    assert os.listdir(tmp_path) == []


def test_the_engine_keeps_the_window_limit_itself(tmp_path):
    from seqtally_tools import _engine

    limit = _engine.MAX_WINDOW
    assert limit == 2**31 - 1
    assert seqtally_tools.gc_track(EXAMPLES / "phix174.fa", tmp_path / "t.bedGraph", window=limit).bases == 5386
    for call in (lambda: _engine.gc_values(str(EXAMPLES / "phix174.fa"), limit + 1, False),
                 lambda: _engine.write_track(str(EXAMPLES / "phix174.fa"), str(tmp_path / "e.bedGraph"), "bedgraph",
                                             limit + 1, False)):
        with pytest.raises(OverflowError, match="at most"):
            call()


CALLS = {
    "checksum": "seqtally_tools.checksum(path)",
    "gc_track": "seqtally_tools.gc_track(path, os.path.join(out, 't.wig'))",
    "bigwig": "seqtally_tools.gc_track(path, os.path.join(out, 't.bw'))",
    "index": "seqtally_tools.index(os.path.join(out, 'huge.fa.gz'))",
}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_out_of_memory_raises_memory_error(files, tmp_path, call):
    (tmp_path / "huge.fa.gz").symlink_to(files / "huge.fa.gz")  # an index is written beside its input
    said, _ = run_python(f"""
        import os, resource, seqtally_tools
        path, out = {str(files / "huge.fa.gz")!r}, {str(tmp_path)!r}
        resource.setrlimit(resource.RLIMIT_AS, ({MEMORY_LIMIT}, {MEMORY_LIMIT}))
        try:
            {call}
        except BaseException as error:
            print(type(error).__name__, sorted(os.listdir(out)))
        """)
    assert said == b"MemoryError ['huge.fa.gz']\n"


def test_an_internal_fault_raises_seqtally_error_of_kind_internal(files, monkeypatch):
    monkeypatch.setenv("OPENSSL_CONF", str(files / "no-digests.cnf"))
    said, _ = run_python(f"""
        import seqtally_tools
        try:
            seqtally_tools.checksum({str(EXAMPLES / "phix174.fa")!r})
        except BaseException as error:
            print(type(error).__name__, error.kind, error.path, error)
        """)
    assert said.startswith(b"SeqtallyError internal None ") and b"digest" in said
