"""The newcomer's documents against the tree: docs/ARCHITECTURE.md names only
files that exist and names every module of the engine and the library; the
README's Python examples run as written, print what their comments say, and
its command lines are accepted by the command's own parser."""
import contextlib
import gzip
import io
import re
import shlex
import subprocess
from pathlib import Path

import pytest

from conftest import EXAMPLES, SOURCE

ROOT = SOURCE
README = (ROOT / "README.md").read_text()
ARCHITECTURE = (ROOT / "docs" / "ARCHITECTURE.md").read_text()

# A backticked token that names a file or a folder of the tree (not a URL's
# path, nor CPython's header).
_FILE_NAME = re.compile(r"^[\w.-][\w./-]*\w(\.(\*|cpp|h|py|pyi|sql|md|txt|json|inc|sh)|/)$")
_NOT_OURS = {"Python.h"}


def _tracked():
    listed = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    files = [Path(line) for line in listed.splitlines()]
    folders = {parent for file in files for parent in file.parents if parent != Path(".")}
    return files, folders


def _resolves(token, under, files, folders):
    """Whether a file or folder of the tree ends with the token's path
    (`name.*` standing for any extension): below one of the folders `under`,
    or anywhere when there are none; a path with a folder in it may also be
    given from the top."""
    want = token.rstrip("/").split("/")
    candidates = folders if token.endswith("/") else files
    if len(want) > 1 and Path(token.rstrip("/")) in candidates:
        return True
    for path in candidates:
        if under and not any(folder == path or folder in path.parents for folder in under):
            continue
        parts = path.parts[-len(want):]
        if len(parts) != len(want) or list(parts[:-1]) != want[:-1]:
            continue
        name, last = parts[-1], want[-1]
        if name == last or (last.endswith(".*") and Path(name).stem == last[:-2] and "." in name):
            return True
    return False


def _architecture_names():
    """(token, folder it is read under or None) for every file name the map gives."""
    named = []
    for line in ARCHITECTURE.splitlines():
        tokens = re.findall(r"`([^`]+)`", line)
        # A row of the folder table is read under its folders; the rest of
        # the map anywhere in the tree.
        first = line.split("|")[1] if line.startswith("| `") else ""
        under = [Path(f.rstrip("/")) for f in re.findall(r"`([^`]+/)`", first) if (ROOT / f).is_dir()]
        named += [(token, under) for token in tokens if _FILE_NAME.match(token) and token not in _NOT_OURS]
    return named


def test_the_map_names_only_files_that_exist():
    files, folders = _tracked()
    missing = [token for token, under in _architecture_names() if not _resolves(token, under, files, folders)]
    assert not missing, f"docs/ARCHITECTURE.md names what the tree does not hold: {missing}"


def test_the_map_names_every_module_of_the_engine_and_the_library():
    files, _ = _tracked()
    tokens = [token for token, _ in _architecture_names()]
    modules = [f for f in files if f.parts[0] == "engine" or f.parts[:2] == ("python", "seqtally_tools")]
    modules = [f for f in modules if f.suffix in {".cpp", ".h", ".py", ".pyi", ".sql"}]
    unnamed = [str(f) for f in modules
               if not any(token.rstrip("/").split("/")[-1] in (f.name, f.stem + ".*") for token in tokens)]
    assert not unnamed, f"docs/ARCHITECTURE.md does not name: {unnamed}"


def _blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, flags=re.S | re.M)


@pytest.fixture
def readme_folder(tmp_path, monkeypatch):
    """A folder holding the files the README's examples name, as a reader's
    would: the bundled examples, a gzip genome, a damaged download and a
    GRCh38 with a chrM."""
    (tmp_path / "examples").symlink_to(EXAMPLES)
    phix = (EXAMPLES / "phix174.fa").read_bytes()
    (tmp_path / "genome.fa.gz").write_bytes(gzip.compress(phix))
    (tmp_path / "damaged.fa.gz").write_bytes(gzip.compress(phix)[:-100])
    (tmp_path / "GRCh38.fa.gz").write_bytes(gzip.compress(phix + b">chrM\nGATCACAGGTCTATCACCCTATTAACCAC\n"))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def _shown_output(block):
    """The comment lines that follow a print: what the example says it prints."""
    lines = block.splitlines()
    return [line.strip()[2:] for before, line in zip(lines, lines[1:])
            if "print(" in before and line.strip().startswith("# ")]


def test_the_readmes_python_examples_run_as_written(readme_folder):
    blocks = _blocks("python")
    assert len(blocks) >= 4
    # The names a reader fills in with their own files.
    namespace = {"paths": ["examples/phix174.fa", "examples/small.fa"], "files": ["examples/phix174.fa"]}
    for block in blocks:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(block, "README.md", "exec"), namespace)
        for shown in _shown_output(block):
            assert shown in printed.getvalue().splitlines(), (shown, printed.getvalue())


def test_the_readmes_command_lines_are_accepted_as_written():
    from seqtally_cli import _parser

    lines = [line.split(" #")[0].split(" | ")[0].split(" > ")[0].strip()
             for block in _blocks("sh") for line in block.splitlines()]
    commands = [shlex.split(line) for line in lines if line.startswith("seqtally ")]
    assert len(commands) > 20
    for argv in commands:
        try:
            _parser(argv[1:]).parse_args(argv[1:])
        except SystemExit as stop:
            assert stop.code == 0, f"not accepted: {shlex.join(argv)}"


def test_the_readme_names_the_packages_it_installs_and_the_files_it_points_to():
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    wanted = project["dependencies"] + [r for extra in project["optional-dependencies"].values() for r in extra]
    names = {re.match(r"[\w.-]+", requirement).group(0) for requirement in wanted}
    unnamed = sorted(name for name in names if name.lower() not in README.lower())
    assert not unnamed, f"the README does not say that it installs {unnamed}"
    files, folders = _tracked()
    paths = [token for token in re.findall(r"(?:`|\()((?:tests|docs|python|bench|tools|scripts|examples)/[^`)\s]*)", README)
             if _FILE_NAME.match(token)]
    assert paths and not [p for p in paths if not _resolves(p, None, files, folders)]
