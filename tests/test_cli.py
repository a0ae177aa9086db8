"""The seqtally command: output formats, threads and file lists, exit
statuses, messages, Ctrl-C, outputs that appear only when complete,
progress."""
import contextlib
import fcntl
import gzip
import json
import os
import pty
import select
import signal
import stat
import struct
import subprocess
import sys
import termios
import time

import pytest

import seqtally
import seqtally_tools
from conftest import COMMAND, EXAMPLES, cli, module_track, processes_in_session

NOT_FOUND = "No such file or directory"


def module_rows(*files):
    return [(str(f), r.id, str(r.length), r.sha512, r.md5) for f in files for r in seqtally.checksum(str(f))]


def test_checksum_tsv_and_json_carry_the_module_values():
    files = [EXAMPLES / "phix174.fa", EXAMPLES / "small.fa"]
    tsv = cli("checksum", *files)
    assert tsv.returncode == 0 and tsv.stderr == b""
    lines = tsv.stdout.decode().splitlines()
    assert lines[0] == "file\tid\tlength\tsha512t24u\tmd5"
    assert [tuple(line.split("\t")) for line in lines[1:]] == module_rows(*files)
    as_json = [json.loads(line) for line in cli("checksum", "--format", "json", *files).stdout.splitlines()]
    keys = ("file", "id", "length", "sha512t24u", "md5")
    assert [tuple(str(d[k]) for k in keys) for d in as_json] == module_rows(*files)


@pytest.fixture
def many(tmp_path):
    files = []
    for i in range(300):
        path = tmp_path / f"f{i:03}.fa"
        path.write_bytes(b"".join(b">f%d_r%d\n%s\n" % (i, j, b"ACGT"[j % 4:] * (i + j + 1)) for j in range(5)))
        files.append(path)
    return files


@pytest.mark.parametrize("jobs", ["1", "2", "3"])
def test_jobs_and_file_lists_give_the_serial_output(tmp_path, many, jobs):
    serial = cli("checksum", *many)
    assert serial.returncode == 0 and len(serial.stdout.splitlines()) == 1 + 300 * 5
    listing = tmp_path / "list.txt"
    listing.write_text("".join(f"{f}\n" for f in many[100:]))
    assert cli("checksum", "--jobs", jobs, *many).stdout == serial.stdout
    assert cli("checksum", "--jobs", jobs, *many[:100], "--files-from", listing).stdout == serial.stdout
    from_stdin = cli("checksum", "--jobs", jobs, "--files-from", "-", input=listing.read_bytes())
    assert from_stdin.stdout.splitlines()[1:] == serial.stdout.splitlines()[1 + 100 * 5:]
    # A failure: the files before it in full, then one line, whatever the other threads did meanwhile.
    failing = [*many[:150], tmp_path / "missing.fa", *many[150:]]
    out = cli("checksum", "--jobs", jobs, *failing)
    assert out.returncode == 1
    assert out.stdout.splitlines() == serial.stdout.splitlines()[:1 + 150 * 5]
    assert out.stderr.decode() == f"seqtally: error: {tmp_path / 'missing.fa'}: {NOT_FOUND}\n"


def test_usage_errors_and_statuses(tmp_path):
    for usage in (["checksum"], ["checksum", "-", "-"], ["gc", "in.fa"], ["gc", "a", "b", "--window", "0"],
                  ["gc", "a", "b", "--level", "10"], ["frobnicate"], []):
        out = cli(*usage)
        assert out.returncode == 2 and b"usage: seqtally" in out.stderr, usage
    assert (cli("--version").returncode, cli("--version").stdout) == (0, b"seqtally 0.1.0\n")
    as_module = subprocess.run([sys.executable, "-m", "seqtally_cli", "--version"], capture_output=True,
                               env={**os.environ, "PYTHONWARNINGS": "error"})
    assert (as_module.returncode, as_module.stdout) == (0, b"seqtally 0.1.0\n")
    empty = tmp_path / "empty.fa"
    empty.write_bytes(b"")
    assert cli("checksum", empty).stdout == b"file\tid\tlength\tsha512t24u\tmd5\n"
    missing = cli("checksum", tmp_path / "missing.fa", empty)
    assert (missing.returncode, missing.stdout) == (1, b"")  # no header before a failure
    unreadable_list = cli("checksum", "--files-from", tmp_path / "nope.txt")
    assert unreadable_list.returncode == 1 and b"cannot read the list of files" in unreadable_list.stderr


def test_messages_a_user_meets(tmp_path):
    reads, bad = tmp_path / "reads.fq", tmp_path / "bad.fa"
    reads.write_bytes(b"@r1\nACGT\n+\nIIII\n")
    bad.write_bytes(b">a\nAC\n>\xff\nGT\n")
    for args, line in [
        (["checksum", reads], f"{reads}: line 1 starts with '@', not '>' (it looks like FASTQ: seqtally reads FASTA "
                              "only)"),
        (["checksum", "-"], "standard input: line 1 starts with '@', not '>' (it looks like FASTQ: seqtally reads "
                            "FASTA only)"),
        (["seqcol", tmp_path], f"{tmp_path}: Is a directory"),
        (["gc", reads, tmp_path / "nowhere" / "x.wig"], f"{tmp_path / 'nowhere' / 'x.wig'}: the folder "
                                                        f"{tmp_path / 'nowhere'} does not exist"),
        (["gc", "-q", bad, tmp_path / "x.wig"], f"{bad}: "),
    ]:
        out = cli(*args, input=reads.read_bytes())
        assert (out.returncode, out.stdout) == (1, b""), args
        assert out.stderr.decode().startswith(f"seqtally: error: {line}") and out.stderr.count(b"\n") == 1, args
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "reads.fq"]


def test_gc_says_each_record_as_it_is_done_and_failures_keep_the_lines(tmp_path):
    sizes = tmp_path / "t.sizes"
    for level in ("0", "6"):  # 0: stored blocks, a gzip stream all the same
        out = cli("gc", EXAMPLES / "phix174.fa", tmp_path / "t.wig.gz", "--window", "50", "--chrom-sizes", sizes,
                  "--level", level)
        assert out.returncode == 0 and out.stdout == b""
        assert out.stderr.decode() == f"{EXAMPLES / 'phix174.fa'}: NC_001422.1: 5386 bases\n"
        track = module_track(EXAMPLES / "phix174.fa", 50, tmp_path)
        assert gzip.decompress((tmp_path / "t.wig.gz").read_bytes()) == track
        assert ((tmp_path / "t.wig.gz").stat().st_size > len(track)) == (level == "0")
    bad = tmp_path / "bad.fa"
    bad.write_bytes(b">a\nAC\n>\xff\nGT\n")
    failed = cli("gc", bad, tmp_path / "o.wig")
    said = failed.stderr.decode().splitlines()
    assert failed.returncode == 1 and said[0] == f"{bad}: a: 2 bases" and len(said) == 2
    assert said[1].startswith(f"seqtally: error: {bad}: ") and "UTF-8" in said[1]


def test_outputs_appear_only_when_complete(tmp_path):
    good, bad = tmp_path / "good.fa", tmp_path / "bad.fa"
    good.write_bytes(b">a\nACGTACGTGG\n>b\nGGCC\n")
    bad.write_bytes(b">a\nACGT\n>\xff\nGT\n")
    track, sizes = tmp_path / "t.wig.gz", tmp_path / "t.sizes"
    track.write_bytes(b"old track")
    os.chmod(track, 0o600)
    failed = cli("gc", bad, track, "--chrom-sizes", sizes, "--quiet")
    assert failed.returncode == 1
    assert track.read_bytes() == b"old track" and not sizes.exists()
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "good.fa", "t.wig.gz"]
    assert cli("gc", good, track, "--chrom-sizes", sizes, "--quiet", "--window", "4").returncode == 0
    assert gzip.decompress(track.read_bytes()).startswith(b"track type=wiggle_0\nvariableStep chrom=a span=4\n")
    assert stat.S_IMODE(track.stat().st_mode) == 0o600  # a replaced file keeps its permissions
    assert sizes.read_bytes() == b"a\t10\nb\t4\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "good.fa", "t.sizes", "t.wig.gz"]


def test_an_output_naming_the_input_by_any_path_is_refused(tmp_path):
    source = tmp_path / "in.fa"
    source.write_bytes(b">a\nACGT\n")
    (tmp_path / "link.fa").symlink_to(source)
    os.link(source, tmp_path / "hard.fa")
    for output in (source, tmp_path / "link.fa", tmp_path / "hard.fa", f"{tmp_path}/./in.fa"):
        out = cli("gc", source, output, "--quiet")
        assert out.returncode == 1 and out.stderr == f"seqtally: error: {output}: this is the input file: writing " \
            "the track there would destroy it\n".encode(), output
    out = cli("gc", source, tmp_path / "t.wig", "--chrom-sizes", f"{tmp_path}/./t.wig", "--quiet")
    assert out.returncode == 1 and b"the track and the chrom.sizes file cannot be one file" in out.stderr
    with open(source) as stdin:  # standard input is the file too
        out = cli("gc", "-", tmp_path / "t.bw", "--chrom-sizes", source, "--quiet", stdin=stdin)
    assert out.returncode == 1 and b"this is the input file: writing the chrom.sizes file" in out.stderr
    assert source.read_bytes() == b">a\nACGT\n"
    assert sorted(os.listdir(tmp_path)) == ["hard.fa", "in.fa", "link.fa"]


def test_track_on_standard_output(tmp_path):
    reference = module_track(EXAMPLES / "phix174.fa", 100, tmp_path)
    assert cli("gc", EXAMPLES / "phix174.fa", "-", "--quiet").stdout == reference
    with open(tmp_path / "redirected.wig.gz", "wb") as target:  # gzip when redirected into a *.gz file
        subprocess.run([COMMAND, "gc", str(EXAMPLES / "phix174.fa"), "-", "-q"], stdout=target, check=True)
    assert gzip.decompress((tmp_path / "redirected.wig.gz").read_bytes()) == reference
    assert os.listdir(tmp_path) == ["redirected.wig.gz"]


@pytest.mark.parametrize("args", [["checksum", "{many}"], ["gc", "{many}", "-", "--window", "5", "-q"],
                                  ["gc", "{many}", "-", "--format", "bedgraph", "--gzip", "--level", "0", "-q"]])
def test_a_closed_pipe_ends_quietly(tmp_path, args):
    many = tmp_path / "many.fa"
    many.write_bytes(b"".join(b">r%d\nACGTACGTAC\n" % i for i in range(300_000)))
    reader = subprocess.Popen([COMMAND, *(a.format(many=many) for a in args)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, start_new_session=True)
    reader.stdout.readline()
    reader.stdout.close()
    assert reader.wait(timeout=120) == 141
    assert reader.stderr.read() == b""
    assert processes_in_session(reader.pid) == []


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """Large enough that one call runs for seconds."""
    folder = tmp_path_factory.mktemp("large")
    records = b"".join(b">r%d\n" % i + b"ACGTTGCAGGCCAATT" * 4 * (1 << 20) + b"\n" for i in range(6))
    (folder / "large.fa").write_bytes(records)
    (folder / "large.fa.gz").write_bytes(gzip.compress(records, 1))
    return folder


@pytest.mark.parametrize("args", [
    ["checksum", "{d}/large.fa"],
    ["checksum", "{d}/large.fa.gz"],
    ["checksum", "--jobs", "2", "{d}/large.fa", "{d}/large.fa.gz"],
    ["gc", "{d}/large.fa.gz", "{out}/track.wig.gz", "--chrom-sizes", "{out}/track.sizes", "--window", "3"],
    ["gc", "{d}/large.fa.gz", "{out}/track.bw", "--window", "3"],
    ["compare", "{d}/large.fa", "{d}/large.fa.gz"],
    ["dict", "{d}/large.fa.gz", "-o", "{out}/large.dict"],
])
@pytest.mark.parametrize("to", ["process group", "command only"])
def test_ctrl_c_ends_the_command_and_leaves_nothing(large, tmp_path, args, to):
    # As from a terminal: a shell running the tests in the background would
    # pass on SIGINT ignored.
    run = subprocess.Popen([COMMAND, *(a.format(d=large, out=tmp_path) for a in args)], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, start_new_session=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(0.6)  # well inside the call
    assert run.poll() is None
    (os.killpg if to == "process group" else os.kill)(run.pid, signal.SIGINT)  # a terminal signals the group
    stdout, stderr = run.communicate(timeout=30)
    assert run.returncode == 130 and stdout == b""
    assert b"Traceback" not in stderr and b"error" not in stderr
    time.sleep(0.1)
    assert processes_in_session(run.pid) == []
    assert os.listdir(tmp_path) == []


def stderr_on_a_terminal(*args):
    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    run = subprocess.Popen([COMMAND, *map(str, args)], stdout=subprocess.DEVNULL, stderr=secondary)
    os.close(secondary)
    shown, deadline = b"", time.monotonic() + 120
    with contextlib.suppress(OSError):  # EIO once the command has closed its side
        while select.select([primary], [], [], max(0, deadline - time.monotonic()))[0]:
            if not (chunk := os.read(primary, 65536)):
                break
            shown += chunk
    os.close(primary)
    if run.poll() is None:
        run.kill()  # a hang is a failure, not a stuck suite
    return run.wait(), shown


def test_progress_bar_on_a_terminal_only(large):
    status, shown = stderr_on_a_terminal("checksum", large / "large.fa.gz", large / "large.fa")
    assert status == 0 and b"files 1/2" in shown and b"B/s" in shown and b"Traceback" not in shown
    assert stderr_on_a_terminal("checksum", "-q", large / "large.fa.gz") == (0, b"")
    assert cli("checksum", large / "large.fa.gz").stderr == b""


def test_a_command_started_with_sigint_ignored_keeps_ignoring_it(large):
    """What a shell does for a command run in the background: Ctrl-C is not for it."""
    run = subprocess.Popen([COMMAND, "checksum", "--jobs", "2", large / "large.fa", large / "large.fa.gz"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    time.sleep(0.6)
    os.killpg(run.pid, signal.SIGINT)
    stdout, stderr = run.communicate(timeout=120)
    assert (run.returncode, stderr) == (0, b"") and len(stdout.splitlines()) == 1 + 2 * 6
