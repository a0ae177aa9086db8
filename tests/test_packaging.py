"""What a user installs: the stubs under mypy --strict, and the sdist and
wheel made by `python -m build`."""
import gzip
import os
import re
import subprocess
import sys
import textwrap
import zipfile

import pytest
from packaging.metadata import Metadata
from packaging.version import Version

import seqtally_tools
from conftest import SOURCE, VERSION, written

ROOT = SOURCE
# Packaging builds its own module; the sanitized pass has nothing to add here.
pytestmark = pytest.mark.skipif(os.environ.get("SEQTALLY_SANITIZED") == "1", reason="packaging is checked unsanitized")
# The binary wheel under test, when scripts/wheel-check runs the suite
# against it, with no compiler to build the sdist.
WHEEL = os.environ.get("SEQTALLY_WHEEL")
EXTENSIONS = {"seqtally.cpython-312-x86_64-linux-gnu.so", "seqtally_tools/_engine.cpython-312-x86_64-linux-gnu.so"}

USAGE = '''
import seqtally, seqtally_tools
from seqtally import ChecksumResult
from seqtally_tools import SeqtallyError, SequenceChecksum

results: list[ChecksumResult] = seqtally.checksum("in.fa", verbose=False)
ids: list[str] = ["SQ." + r.sha512 for r in results]
seqtally.write_seqtally_to_file("in.fa", "out.wig.gz", 6, 100, False, "out.sizes", True, False)
try:
    refget: list[str] = [r.refget_id for done in seqtally_tools.checksum_files(["a.fa"], jobs=2) for r in done.records]
except SeqtallyError as error:
    print(error.describe(), error.path, error.hint)
first: SequenceChecksum = seqtally_tools.checksum("genome.fa.gz", verbose=True)[0]
seqtally_tools.gc_track("in.fa", "-", window=50, chrom_sizes="x.sizes", gzip=True)
release: str = seqtally_tools.__version__
'''

MISUSE = '''
import seqtally, seqtally_tools
n: int = seqtally.checksum("a.fa")
seqtally.write_seqtally_to_file("in.fa", "out.wig")
length: str = seqtally_tools.checksum("a.fa")[0].length
seqtally_tools.gc_track("in.fa", "out.wig", window="100")
seqtally_tools.gc_trak("in.fa", "out.wig")
'''


def mypy(tmp_path, code):
    (tmp_path / "usage.py").write_text(textwrap.dedent(code))
    # From an empty folder, so only the installed package is seen.
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "usage.py"], cwd=tmp_path,
                          capture_output=True, text=True)


def test_stubs_type_check_usage_and_catch_misuse(tmp_path):
    good = mypy(tmp_path, USAGE)
    assert good.returncode == 0, good.stdout
    bad = mypy(tmp_path, MISUSE)
    assert bad.returncode == 1
    assert 'Incompatible types in assignment (expression has type "list[ChecksumResult]"' in bad.stdout
    assert 'Missing positional arguments "compression_level"' in bad.stdout
    assert 'Incompatible types in assignment (expression has type "int", variable has type "str")' in bad.stdout
    assert 'Argument "window" to "gc_track" has incompatible type "str"; expected "int"' in bad.stdout
    assert 'Module has no attribute "gc_trak"' in bad.stdout


def test_the_python_layer_itself_passes_mypy_strict():
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "python/seqtally_cli",
                          "python/seqtally_tools"], cwd=ROOT, capture_output=True, text=True)
    assert out.returncode == 0, out.stdout


def the_package():
    """The library, the command and the stubs, as the tree holds them."""
    library = {p.relative_to(ROOT / "python").as_posix() for p in (ROOT / "python" / "seqtally_tools").rglob("*")
               if p.suffix in (".py", ".pyi", ".typed", ".sql") and "__pycache__" not in p.parts}
    assert {"seqtally_tools/py.typed", "seqtally_tools/_engine.pyi", "seqtally_tools/_store/schema.sql",
            "seqtally_tools/service/__init__.py"} <= library
    command = {f"seqtally_cli/{p.name}" for p in (ROOT / "python" / "seqtally_cli").iterdir() if p.suffix == ".py"}
    return {"seqtally-stubs/__init__.pyi", "seqtally-stubs/py.typed", *library, *command}


@pytest.mark.skipif(WHEEL is not None, reason="the wheel's users have no compiler: scripts/test builds the sdist")
def test_sdist_installs_in_a_fresh_environment_and_wheel_holds_only_the_package(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "build", "--outdir", str(dist), str(ROOT)], check=True,
                   capture_output=True)
    (wheel,) = dist.glob("*.whl")
    (sdist,) = dist.glob("*.tar.gz")
    assert sdist.name == f"seqtally-{VERSION}.tar.gz" and wheel.name.startswith(f"seqtally-{VERSION}-cp312-cp312-")
    names = set(zipfile.ZipFile(wheel).namelist())
    package = {n for n in names if ".dist-info/" not in n}
    assert {n for n in package if n.endswith(".so")} == EXTENSIONS
    assert package - EXTENSIONS == the_package()
    assert any(n.endswith("entry_points.txt") for n in names)

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "-q", str(sdist)], check=True, env=env,
                   capture_output=True)
    out = subprocess.run([venv / "bin" / "seqtally", "checksum", ROOT / "examples" / "phix174.fa"], env=env,
                         capture_output=True, text=True, check=True)
    assert "\tIIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF\t3332ed720ac7eaa9b3655c06f6b9e196" in out.stdout
    gz = written(tmp_path / "phix.fa.gz", gzip.compress((ROOT / "examples" / "phix174.fa").read_bytes()))
    out = subprocess.run([venv / "bin" / "python", "-c", f"import seqtally_tools; print(seqtally_tools.checksum({str(gz)!r}))"],
                         env=env, capture_output=True, text=True, check=True)
    assert "IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF" in out.stdout


@pytest.mark.skipif(WHEEL is None, reason="scripts/wheel-check names the binary wheel")
def test_the_binary_wheel_holds_the_package_isal_and_every_bundled_notice():
    names = set(zipfile.ZipFile(WHEEL).namelist())
    package = {n for n in names if ".dist-info/" not in n}
    # auditwheel's copy of ISA-L, its name hashed; libcrypto, zlib and
    # libdeflate are linked in.
    (isal,) = {n for n in package if n.startswith("seqtally.libs/")}
    assert re.fullmatch(r"seqtally\.libs/libisal-[0-9a-f]{8}\.so\.2(\.\d+)*", isal)
    assert package - EXTENSIONS - {isal} == the_package()
    notices = {n.partition(".dist-info/licenses/")[2] for n in names if ".dist-info/licenses/" in n}
    bundled = ("OpenSSL", "zlib", "ISA-L", "libdeflate", "libc++", "libc++abi", "libunwind", "zig-compiler-rt")
    assert notices == {"LICENSE", *(f"bundled/{name}.txt" for name in bundled)}
    text = next(zipfile.ZipFile(WHEEL).read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    # As an index or installer that validates reads it: License-File needs
    # metadata 2.4.
    metadata = Metadata.from_email(text, validate=True)
    assert set(metadata.license_files) == notices and metadata.version == Version(VERSION)


def test_one_version_in_the_library_the_wheel_and_the_changelog():
    assert seqtally_tools.__version__ == VERSION
    # The newest release heads the changelog, under the unreleased section,
    # in Keep a Changelog's form.
    releases = re.findall(r"^## \[(.+?)\](?: - (\d{4}-\d\d-\d\d))?$", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert releases[0] == ("Unreleased", "") and releases[1][0] == VERSION and releases[1][1]
    assert [version for version, _ in releases][-1] == "0.1.0"
    # The files the install guides name are this release's.
    guides = (ROOT / "README.md").read_text() + (ROOT / "docs" / "install.md").read_text()
    named = set(re.findall(r"seqtally-(\d[\w.]*?)(?:-cp|\.tar\.gz)", guides))
    assert named == {VERSION}
    if WHEEL is not None:
        assert os.path.basename(WHEEL).startswith(f"seqtally-{VERSION}-cp312-cp312-")
        assert os.path.basename(WHEEL) in guides
