"""What the service's tests run: `seqtally serve` processes on loopback, a
throwaway PostgreSQL cluster of Debian's server, and the compliance store."""
import contextlib
import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import httpx
import pytest

from conftest import COMMAND, SOURCE

# shared/ lies beside the clone (or beside the folder of worktrees).
SHARED = next((folder / "shared" / "data" for folder in SOURCE.parents
               if (folder / "shared" / "data" / "seqcol").is_dir()), Path("shared/data"))
SEQCOL_FILES = sorted((SHARED / "seqcol").glob("*.fa"))
REFGET_FILES = sorted((SHARED / "refget").glob("*.fa"))


def _named_bases(path):
    lines = path.read_text().splitlines()
    return lines[0][1:].split()[0], "".join(lines[1:]).upper()


# Each refget compliance sequence's bases by its name, read here and not
# from the service.
REFGET_BASES = dict(map(_named_bases, REFGET_FILES))

# The refget compliance sequences' INSDC accessions (their README).
INSDC = {"NC_001422.1": "NC_001422.1", "I": "BK006935.2", "VI": "CP036473.1"}


def foreign_environment():
    """The environment for third-party programs (PostgreSQL, Chromium,
    samtools): without the sanitized run's preloaded ASan runtime."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """`seqtally serve` on 127.0.0.1 and a free port, until stop()."""

    def __init__(self, store, *options, database=None):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        command = [COMMAND, "serve", str(store), "--port", str(self.port), *map(str, options)]
        if database:
            command += ["--database", database]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        start_new_session=True)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(f"serve ended with {self.process.returncode}: {self.process.stderr.read()!r}")
            with contextlib.suppress(httpx.HTTPError):
                if httpx.get(self.url + "/service-info", timeout=2).status_code == 200:
                    return
            time.sleep(0.1)
        self.stop()
        raise AssertionError("serve did not answer within 30 s")

    def stop(self, timeout=30):
        """SIGTERM, as a service manager stops it; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode


def to_32_digit_names(folder):
    """Renames a store's files as stores were written before they followed
    htslib (MD5[0:2]/MD5[2:4]/MD5); how many."""
    renamed = 0
    for top, _, names in os.walk(folder):
        parts = Path(top).relative_to(folder).parts
        for name in names:
            if len(parts) == 2 and len(name) == 28:
                os.rename(os.path.join(top, name), os.path.join(top, "".join(parts) + name))
                renamed += 1
    Path(folder, ".seqtally-layout").unlink(missing_ok=True)
    return renamed


def add(store, *files, database=None, circular=()):
    command = [COMMAND, "store", "add", "-q", str(store), *map(str, files)]
    for name in circular:
        command += ["--circular", name]
    if database:
        command += ["--database", database]
    done = subprocess.run(command, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.decode()


def fill_compliance_store(store, database=None):
    """The six seqcol compliance collections and the three refget ones,
    phiX174 circular, with their INSDC accessions."""
    add(store, *SEQCOL_FILES, *REFGET_FILES, database=database, circular=["NC_001422.1"])
    aliases = Path(store) / "insdc.tsv"
    aliases.write_text("".join(f"{name}\tinsdc\t{accession}\n" for name, accession in INSDC.items()))
    command = [COMMAND, "store", "alias", str(store), str(aliases)] + (["--database", database] if database else [])
    assert subprocess.run(command, capture_output=True, timeout=60).returncode == 0


class PostgreSQL:
    """A cluster of Debian's server in a temporary folder, on a loopback
    port, run as the postgres user (it refuses root)."""

    def __init__(self):
        binaries = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not binaries:
            pytest.skip("Debian's postgresql is not installed (scripts/test installs it)")
        self.bin = Path(binaries[-1]).parent
        self.prefix = []
        if os.geteuid() == 0:
            self.prefix = ["runuser", "-u", "postgres", "--"]
        elif os.environ.get("USER") != "postgres":
            pytest.skip("PostgreSQL runs as the postgres user: these tests need root or postgres")
        self.folder = tempfile.mkdtemp(prefix="seqtally-pg-")
        if os.geteuid() == 0:
            shutil.chown(self.folder, "postgres", "postgres")
        self.port = free_port()
        self._run("initdb", "-D", f"{self.folder}/data", "-A", "trust", "-U", "postgres", "--no-sync")
        self._run("pg_ctl", "-D", f"{self.folder}/data", "-w", "-l", f"{self.folder}/log", "-o",
                  f"-p {self.port} -k {self.folder} -c listen_addresses=127.0.0.1 -c fsync=off", "start")
        self._count = 0

    def _run(self, program, *args):
        done = subprocess.run([*self.prefix, str(self.bin / program), *args], capture_output=True, timeout=120,
                              env=foreign_environment())
        assert done.returncode == 0, done.stderr

    def url(self, database="postgres"):
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def new_database(self):
        """The URL of a database of its own, empty."""
        import psycopg

        self._count += 1
        name = f"store{self._count}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self):
        with contextlib.suppress(AssertionError, subprocess.TimeoutExpired):
            self._run("pg_ctl", "-D", f"{self.folder}/data", "-m", "immediate", "stop")
        shutil.rmtree(self.folder, ignore_errors=True)
