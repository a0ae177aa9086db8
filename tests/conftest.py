import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import seqtally


SANITIZED = os.environ.get("SEQTALLY_SANITIZED") == "1"


def pytest_report_header():
    return f"seqtally module: {seqtally.__file__}"


def panic_type():
    """PanicException is not a module attribute; take it from a failing call."""
    try:
        seqtally.checksum("/nonexistent/for/panic/type")
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("a missing file did not fail")


PanicException = panic_type()


def run_python(code, *, stderr_target=None, check=True):
    """Runs code in a fresh interpreter; returns (stdout, stderr) as bytes.

    Progress messages and failure reports go to file descriptor 2 directly,
    so only a separate process can capture them reliably.
    """
    kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    if stderr_target is not None:
        kwargs["stderr"] = stderr_target
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], **kwargs, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout: {proc.stdout!r}\nstderr: {proc.stderr!r}")
    return proc.stdout, proc.stderr


@pytest.fixture
def fasta(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = iter(range(10**6))

    def write(content: bytes, name=None):
        path = tmp_path / (name or f"input{next(counter)}.fa")
        path.write_bytes(content)
        return str(path)

    return write


COMMAND = shutil.which("seqtally", path=str(Path(sys.executable).parent)) or "seqtally"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def cli(*args, stdin=None, input=None, **kwargs):
    """The installed command; text output, never a hang."""
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, timeout=300, stdin=stdin,
                          input=input, **kwargs)


def processes_in_session(sid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getsid(int(entry)) == sid:
                    found.append(int(entry))
            except OSError:
                pass
    return found
