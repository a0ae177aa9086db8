import contextlib
import gzip
import itertools
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import tomllib
import zlib
from pathlib import Path

import pytest

import seqtally
import seqtally_tools


SANITIZED = os.environ.get("SEQTALLY_SANITIZED") == "1"
# The source tree, for its examples, documents and pyproject.toml; the module
# and the command are always the installed ones. A copy of tests/ run
# against an installed wheel (scripts/wheel-check) names the tree here.
SOURCE = Path(os.environ.get("SEQTALLY_SOURCE") or Path(__file__).resolve().parent.parent)
# The release's one version, as pyproject.toml declares it.
VERSION = tomllib.loads((SOURCE / "pyproject.toml").read_text())["project"]["version"]


def pytest_report_header():
    return f"seqtally module: {seqtally.__file__}"


# PanicException is not a module attribute: its type comes from a failing call.
try:
    seqtally.checksum("/nonexistent/for/panic/type")
except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
    PanicException = type(error)


def run_python(code):
    """Runs code in a fresh interpreter, which must succeed; returns (stdout,
    stderr) as bytes. For what needs a process of its own: resource limits,
    users, signals, a second import."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout: {proc.stdout!r}\nstderr: {proc.stderr!r}"
    return proc.stdout, proc.stderr


@pytest.fixture
def fasta(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = itertools.count()
    return lambda content: str(written(tmp_path / f"input{next(counter)}.fa", content))


def written(path, content):
    """path, holding content (bytes or text)."""
    (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
    return path


def bgzf(data):
    """data in BGZF blocks, as bgzip writes them."""
    return subprocess.run(["bgzip", "-c"], input=data, capture_output=True, check=True).stdout


LAMBDA = Path("/usr/share/doc/bowtie2/examples/reference/lambda_virus.fa.gz")


def lambda_phage():
    """A real genome: lambda phage, from Debian's bowtie2-examples."""
    if not LAMBDA.exists():
        pytest.skip("Debian's bowtie2-examples is not installed (scripts/test installs it)")
    return gzip.decompress(LAMBDA.read_bytes())


def module_track(fasta, window, folder, omit_tail=False):
    """The module's own wiggle track of a plain FASTA file, as bytes."""
    reference = Path(folder) / "module-reference.wig"
    seqtally.write_seqtally_to_file(str(fasta), str(reference), 6, window, omit_tail, "", False, False)
    data = reference.read_bytes()
    reference.unlink()
    return data


COMMAND = shutil.which("seqtally", path=str(Path(sys.executable).parent)) or "seqtally"
EXAMPLES = SOURCE / "examples"


def cli(*args, stdin=None, input=None, **kwargs):
    """The installed command; text output, never a hang."""
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, timeout=300, stdin=stdin,
                          input=input, **kwargs)


def processes_in_session(sid):
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):  # it ended meanwhile
            found += [int(entry)] if os.getsid(int(entry)) == sid else []
    return found


FASTQ = "line 1 starts with '@', not '>' (it looks like FASTQ: seqtally reads FASTA only)"
UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def os_text(code, kind):
    """An OS error in the module's text form."""
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def raised(call, error=None):
    """What call() raises: a SeqtallyError, or an error of the type given."""
    with pytest.raises(error or seqtally_tools.SeqtallyError) as caught:
        call()
    return caught.value


def failure_of(call):
    """The message of the PanicException that call() raises."""
    return str(raised(call, PanicException))


def write_track(input_path, output, window=100, omit_tail=False, sizes="unused.sizes", write_sizes=False, level=6,
                verbose=False):
    seqtally.write_seqtally_to_file(str(input_path), str(output), level, window, omit_tail, str(sizes),
                                    write_sizes, verbose)


def gzip_member(data, flags=0, extra=b"", name=b"", comment=b"", mtime=0, xfl=0, os_byte=3, crc=None, size=None):
    """One gzip member built field by field, so that each can be wrong."""
    header = struct.pack("<BBBBIBB", 0x1F, 0x8B, 8, flags, mtime, xfl, os_byte)
    if flags & 0x04:
        header += struct.pack("<H", len(extra)) + extra
    header += (name + b"\0" if flags & 0x08 else b"") + (comment + b"\0" if flags & 0x10 else b"")
    if flags & 0x02:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    trailer = struct.pack("<II", zlib.crc32(data) if crc is None else crc, len(data) if size is None else size)
    return header + compressor.compress(data) + compressor.flush() + trailer


@pytest.fixture(scope="session")
def postgresql():
    """One throwaway PostgreSQL cluster for the whole run."""
    from servers import PostgreSQL

    cluster = PostgreSQL()
    yield cluster
    cluster.stop()


@pytest.fixture(scope="session", params=["sqlite", "postgresql"])
def compliance_server(request, tmp_path_factory):
    """`seqtally serve` over the compliance collections and sequences, on
    SQLite and on PostgreSQL."""
    from servers import Server, fill_compliance_store

    database = request.getfixturevalue("postgresql").new_database() if request.param == "postgresql" else None
    store = tmp_path_factory.mktemp(f"compliance-{request.param}")
    fill_compliance_store(store, database)
    server = Server(store, database=database)
    server.store, server.database = store, database
    yield server
    server.stop()
