"""The seqtally command: output formats, threads and file lists, exit
statuses, outputs that appear only when complete, Ctrl-C, progress. (What
its messages say is the library's: test_library.py and the tests of each
command's subject.)"""
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
from conftest import COMMAND, EXAMPLES, FASTQ, VERSION, cli, module_track, processes_in_session, written

NOT_FOUND = "No such file or directory"


def test_checksum_tsv_and_json_carry_the_module_values():
    files = [EXAMPLES / "phix174.fa", EXAMPLES / "small.fa"]
    rows = [(str(f), r.id, str(r.length), r.sha512, r.md5) for f in files for r in seqtally.checksum(str(f))]
    tsv = cli("checksum", *files)
    assert (tsv.returncode, tsv.stderr) == (0, b"")
    header = ("file", "id", "length", "sha512t24u", "md5")
    assert tsv.stdout.decode().splitlines() == ["\t".join(row) for row in [header, *rows]]
    as_json = [json.loads(line) for line in cli("checksum", "--format", "json", *files).stdout.splitlines()]
    assert [tuple(str(d[k]) for k in header) for d in as_json] == rows
    # Standard input's rows name it as seqkit and md5sum do: "-".
    piped = cli("checksum", files[0], "-", input=files[1].read_bytes()).stdout.decode().splitlines()
    assert piped[1:] == ["\t".join(("-", *row[1:]) if row[0] == str(files[1]) else row) for row in rows]


@pytest.mark.parametrize("jobs", ["1", "2", "3"])
def test_jobs_and_file_lists_give_the_serial_output(tmp_path, jobs):
    many = [tmp_path / f"f{i:03}.fa" for i in range(300)]
    for i, path in enumerate(many):
        path.write_bytes(b"".join(b">f%d_r%d\n%s\n" % (i, j, b"ACGT"[j % 4:] * (i + j + 1)) for j in range(5)))
    serial = cli("checksum", *many).stdout.splitlines()
    assert len(serial) == 1 + 300 * 5
    listing = written(tmp_path / "list.txt", "".join(f"{f}\n" for f in many[100:]))
    assert cli("checksum", "--jobs", jobs, *many).stdout.splitlines() == serial
    assert cli("checksum", "--jobs", jobs, *many[:100], "--files-from", listing).stdout.splitlines() == serial
    from_stdin = cli("checksum", "--jobs", jobs, "--files-from", "-", input=listing.read_bytes())
    assert from_stdin.stdout.splitlines()[1:] == serial[1 + 100 * 5:]
    # A failure: the files before it in full, then one line, whatever the other threads did meanwhile.
    out = cli("checksum", "--jobs", jobs, *many[:150], tmp_path / "missing.fa", *many[150:])
    assert (out.returncode, out.stdout.splitlines()) == (1, serial[:1 + 150 * 5])
    assert out.stderr.decode() == f"seqtally: error: {tmp_path / 'missing.fa'}: {NOT_FOUND}\n"


def test_usage_errors_and_failures_and_their_statuses(tmp_path):
    for usage in (["checksum"], ["checksum", "-", "-"], ["gc", "in.fa"], ["frobnicate"], []):
        out = cli(*usage)
        assert out.returncode == 2 and b"usage: seqtally" in out.stderr, usage
    as_module = subprocess.run([sys.executable, "-m", "seqtally_cli", "--version"], capture_output=True,
                               env={**os.environ, "PYTHONWARNINGS": "error"})
    for out in (cli("--version"), as_module):
        assert (out.returncode, out.stdout) == (0, f"seqtally {VERSION}\n".encode())
    empty = written(tmp_path / "empty.fa", b"")
    assert cli("checksum", empty).stdout == b"file\tid\tlength\tsha512t24u\tmd5\n"
    # Status 1 and one line, with no header or track before it.
    for args, said in [(["checksum", tmp_path / "missing.fa", empty], f"{tmp_path / 'missing.fa'}: {NOT_FOUND}"),
                       (["checksum", "-"], f"standard input: {FASTQ}"),
                       (["checksum", "--files-from", tmp_path / "nope.txt"], f"{tmp_path / 'nope.txt'}: cannot read"),
                       (["gc", empty, "-", "--format", "bigwig"], "standard output: a bigWig track needs a file")]:
        out = cli(*args, input=b"@r1\nACGT\n+\nIIII\n")
        assert (out.returncode, out.stdout) == (1, b""), args
        assert out.stderr.decode().startswith(f"seqtally: error: {said}") and out.stderr.count(b"\n") == 1, args


COMMANDS = ["checksum", "seqcol", "compare", "dict", "index", "fetch", "nuc", "aliases", "gc", "store", "serve"]


def test_help_lists_every_command_and_each_command_parses_its_own_options(capsys):
    # A run builds only the parser of the command it names: the others must
    # still be listed, and each must get its own options, not a neighbour's.
    from seqtally_cli import main

    def said(*argv):
        with pytest.raises(SystemExit) as ended:
            main(list(argv))
        out = capsys.readouterr()
        return ended.value.code, out.out + out.err

    status, text = said("--help")
    assert status == 0 and all(f"    {name} " in text for name in COMMANDS), text
    helps = {}
    for name in [*COMMANDS, "store add", "store alias"]:
        status, helps[name] = said(*name.split(), "--help")
        assert status == 0 and helps[name].startswith(f"usage: seqtally {name} "), name
    assert said("nuc", "a.fa", "b.bed", "--window", "5")[0] == 2  # gc's option is not nuc's
    # What a user pastes: argparse %-formats help= texts but prints a
    # description as written, so neither may show a doubled %.
    assert not [name for name, text in helps.items() if "%%" in text]
    assert "REF_CACHE=STORE/sequences/%2s/%2s/%s)" in " ".join(helps["store"].split())


def test_gc_says_one_line_per_file_not_per_record(tmp_path):
    for level in ("0", "6"):  # 0: stored blocks, a gzip stream all the same
        out = cli("gc", EXAMPLES / "phix174.fa", tmp_path / "t.wig.gz", "--window", "50", "--level", level)
        assert (out.returncode, out.stdout) == (0, b"")
        assert out.stderr.decode() == f"{EXAMPLES / 'phix174.fa'}: 5386 bases\n"
        packed = (tmp_path / "t.wig.gz").read_bytes()
        assert gzip.decompress(packed) == module_track(EXAMPLES / "phix174.fa", 50, tmp_path)
        assert (len(packed) > len(gzip.decompress(packed))) == (level == "0")
    many = written(tmp_path / "many.fa", b"".join(b">r%d\nACGT\n" % i for i in range(200)))
    assert cli("gc", many, tmp_path / "o.wig").stderr.decode() == f"{many}: 800 bases\n"
    assert cli("gc", many, tmp_path / "o.wig", "--quiet").stderr == b""
    assert stderr_on_a_terminal("gc", many, tmp_path / "o.wig") == (0, b"")  # a bar, if the run lasts
    bad = written(tmp_path / "bad.fa", b">a\nAC\n>\xff\nGT\n")
    said = cli("gc", bad, tmp_path / "o.wig").stderr.decode().splitlines()
    assert len(said) == 1 and said[0].startswith(f"seqtally: error: {bad}: ") and "UTF-8" in said[0]


def test_outputs_appear_only_when_complete(tmp_path):
    good = written(tmp_path / "good.fa", b">a\nACGTACGTGG\n>b\nGGCC\n")
    bad = written(tmp_path / "bad.fa", b">a\nACGT\n>\xff\nGT\n")
    track, sizes, old = tmp_path / "t.wig.gz", tmp_path / "t.sizes", tmp_path / "old.bw"
    for path in (track, old):
        path.write_bytes(b"old track")
    os.chmod(track, 0o600)
    for output in (track, old, tmp_path / "new.bg.gz"):
        assert cli("gc", bad, output, "--chrom-sizes", sizes, "--quiet").returncode == 1
    assert track.read_bytes() == old.read_bytes() == b"old track"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "good.fa", "old.bw", "t.wig.gz"]
    assert cli("gc", good, track, "--chrom-sizes", sizes, "--quiet", "--window", "4").returncode == 0
    assert gzip.decompress(track.read_bytes()).startswith(b"track type=wiggle_0\nvariableStep chrom=a span=4\n")
    assert stat.S_IMODE(track.stat().st_mode) == 0o600  # a replaced file keeps its permissions
    assert sizes.read_bytes() == b"a\t10\nb\t4\n"
    assert sorted(os.listdir(tmp_path)) == ["bad.fa", "good.fa", "old.bw", "t.sizes", "t.wig.gz"]


def test_an_output_naming_the_input_by_any_path_is_refused(tmp_path):
    source = written(tmp_path / "in.fa", b">a\nACGT\n")
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
    assert source.read_bytes() == b">a\nACGT\n" and sorted(os.listdir(tmp_path)) == ["hard.fa", "in.fa", "link.fa"]


def test_track_on_standard_output_gzip_when_asked_or_redirected_into_a_gz_file(tmp_path):
    reference = module_track(EXAMPLES / "phix174.fa", 100, tmp_path)
    assert cli("gc", EXAMPLES / "phix174.fa", "-", "--quiet").stdout == reference
    assert gzip.decompress(cli("gc", EXAMPLES / "phix174.fa", "-", "-q", "--gzip").stdout) == reference
    with open(tmp_path / "redirected.wig.gz", "wb") as target:
        subprocess.run([COMMAND, "gc", str(EXAMPLES / "phix174.fa"), "-", "-q"], stdout=target, check=True)
    assert gzip.decompress((tmp_path / "redirected.wig.gz").read_bytes()) == reference
    assert os.listdir(tmp_path) == ["redirected.wig.gz"]


@pytest.mark.parametrize("args", [["checksum", "{many}"], ["gc", "{many}", "-", "--window", "5", "-q"],
                                  ["gc", "{many}", "-", "--format", "bedgraph", "--gzip", "--level", "0", "-q"]])
def test_a_closed_pipe_ends_quietly(tmp_path, args):
    many = written(tmp_path / "many.fa", b"".join(b">r%d\nACGTACGTAC\n" % i for i in range(300_000)))
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


def reading(run, folder):
    """Whether the command comes to hold a file of `folder` open, inside its
    call (a signal before that would meet an interpreter still starting, on
    a loaded machine)."""
    deadline = time.monotonic() + 60
    while run.poll() is None and time.monotonic() < deadline:
        with contextlib.suppress(OSError):  # a descriptor closed meanwhile
            if any(os.readlink(f"/proc/{run.pid}/fd/{fd}").startswith(f"{folder}/")
                   for fd in os.listdir(f"/proc/{run.pid}/fd")):
                return True
        time.sleep(0.005)
    return False


@pytest.mark.parametrize("args", [
    ["checksum", "{d}/large.fa"],
    ["checksum", "{d}/large.fa.gz"],
    ["checksum", "--jobs", "2", "{d}/large.fa", "{d}/large.fa.gz"],
    ["gc", "{d}/large.fa.gz", "{out}/track.wig.gz", "--chrom-sizes", "{out}/track.sizes", "--window", "3"],
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
    assert reading(run, large)
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
    shown = b""
    with contextlib.suppress(OSError):  # EIO once the command has closed its side
        while select.select([primary], [], [], 120)[0] and (chunk := os.read(primary, 65536)):
            shown += chunk
    os.close(primary)
    return run.wait(timeout=10), shown


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
    assert reading(run, large)
    os.killpg(run.pid, signal.SIGINT)
    stdout, stderr = run.communicate(timeout=120)
    assert (run.returncode, stderr) == (0, b"") and len(stdout.splitlines()) == 1 + 2 * 6
