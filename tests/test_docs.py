"""The newcomer's documents against the tree: docs/ARCHITECTURE.md names only
files that exist and names every module of the engine and the library; the
README's and the site's examples run as written and print what they say, their
command lines are accepted by the command's own parser; the site documents
every public name and every command, and reaches every page from its index.
./scripts/docs builds the site itself (warnings as errors, doctests run)."""
import contextlib
import doctest
import io
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import seqtally_tools
from conftest import SOURCE

ROOT = SOURCE
DOCS = ROOT / "docs"
sys.path.insert(0, str(DOCS / "_ext"))
import command_walk  # noqa: E402 - the site's own walk of the parser
import reader_folder  # noqa: E402 - the folder the site's doctests run in

README = (ROOT / "README.md").read_text()
ARCHITECTURE = (DOCS / "ARCHITECTURE.md").read_text()
# The pages of the site, and the README: the documents whose examples a
# reader copies.
PAGES = sorted(p for p in DOCS.glob("*.md") if p.name != "ARCHITECTURE.md") + sorted(DOCS.glob("*.rst"))
DOCUMENTS = {path.name: path.read_text() for path in [ROOT / "README.md", *PAGES]}

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


def _blocks(text, language):
    return re.findall(rf"^```{re.escape(language)}\n(.*?)^```", text, flags=re.S | re.M)


@pytest.fixture
def reader(tmp_path, monkeypatch):
    """A folder holding the files the examples name, as a reader's would
    (the same as the site's doctests run in)."""
    monkeypatch.chdir(reader_folder.fill(tmp_path))
    return tmp_path


def _shown_output(block):
    """The comment lines that follow a print: what the example says it prints."""
    lines = block.splitlines()
    return [line.strip()[2:] for before, line in zip(lines, lines[1:])
            if "print(" in before and line.strip().startswith("# ")]


@pytest.mark.parametrize("name", [name for name, text in DOCUMENTS.items()
                                  if _blocks(text, "python") or _blocks(text, "{doctest}")])
def test_the_python_examples_run_as_written(name, reader):
    """```python blocks run and print what their comments say; ```{doctest}
    blocks run as the doctests ./scripts/docs runs, in one namespace a page."""
    text = DOCUMENTS[name]
    # The names a reader fills in with their own files.
    namespace = {"paths": ["examples/phix174.fa", "examples/small.fa"], "files": ["examples/phix174.fa"]}
    for block in _blocks(text, "python"):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(block, name, "exec"), namespace)
        for shown in _shown_output(block):
            assert shown in printed.getvalue().splitlines(), (shown, printed.getvalue())
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = io.StringIO()
    for number, block in enumerate(_blocks(text, "{doctest}")):
        test = doctest.DocTestParser().get_doctest(block, namespace, f"{name}[{number}]", name, 0)
        runner.run(test, out=failures.write, clear_globs=False)
        namespace = test.globs  # a DocTest runs in a copy
    assert not runner.failures, failures.getvalue()


def test_the_readme_has_examples_that_run():
    assert len(_blocks(README, "python")) >= 2


def test_the_command_lines_are_accepted_as_written():
    from seqtally_cli import _parser

    commands = []
    for name, text in DOCUMENTS.items():
        lines = [line.split(" #")[0].split(" | ")[0].split(" > ")[0].strip()
                 for block in _blocks(text, "sh") for line in block.splitlines()]
        commands += [(name, shlex.split(line)) for line in lines if line.startswith("seqtally ")]
    assert len([argv for name, argv in commands if name == "README.md"]) >= 6
    assert len(commands) > 20
    for name, argv in commands:
        try:
            _parser(argv[1:]).parse_args(argv[1:])
        except SystemExit as stop:
            assert stop.code == 0, f"{name}: not accepted: {shlex.join(argv)}"


def test_the_readme_names_the_packages_it_installs_and_the_documents_name_files_that_exist():
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    wanted = project["dependencies"] + [r for extra in project["optional-dependencies"].values() for r in extra]
    names = {re.match(r"[\w.-]+", requirement).group(0) for requirement in wanted}
    unnamed = sorted(name for name in names if name.lower() not in DOCUMENTS["install.md"].lower())
    assert not unnamed, f"docs/install.md does not say that it installs {unnamed}"
    files, folders = _tracked()
    for name, text in DOCUMENTS.items():
        paths = [token for token in
                 re.findall(r"(?:`|\()((?:tests|docs|python|bench|tools|scripts|examples)/[^`)\s]*)", text)
                 if _FILE_NAME.match(token)]
        missing = [p for p in paths if not _resolves(p, None, files, folders)]
        assert not missing, f"{name} names what the tree does not hold: {missing}"


def _toctree_entries(text):
    return [line.strip() for block in _blocks(text, "{toctree}") for line in block.splitlines()
            if line.strip() and not line.startswith(":")]


def test_every_page_is_reachable_from_the_index():
    pages = {path.stem for path in PAGES} - {"PERFORMANCE", "RELIABILITY"}
    reached, todo = {"index"}, ["index"]
    while todo:
        page = todo.pop()
        source = next(DOCS.glob(f"{page}.*")).read_text()
        for entry in _toctree_entries(source):
            if entry not in reached:
                reached.add(entry)
                todo.append(entry)
    assert pages == reached, f"not reached from the index: {sorted(pages - reached)}"


def test_every_public_name_is_in_the_api_reference():
    api = (DOCS / "api.rst").read_text()
    documented = set(re.findall(r"^\.\. auto(?:function|class|exception):: seqtally_tools\.(\w+)$", api, re.M))
    assert set(seqtally_tools.__all__) <= documented, sorted(set(seqtally_tools.__all__) - documented)


def test_every_command_is_in_the_command_reference():
    from seqtally_cli import _parser

    assert _blocks((DOCS / "commands.md").read_text(), "{seqtally-commands}"), "commands.md lost its directive"
    assert _blocks((DOCS / "service.md").read_text(), "{seqtally-routes}"), "service.md lost its routes"
    walked = {path for path, _, _ in command_walk.commands(command_walk.full_parser())}
    # What `seqtally --help` and `seqtally store --help` list, apart from
    # the walk: the commands under the COMMAND (ACTION) heading.
    def listed_in(help_text):
        return re.findall(r"^ {4}(\w+) ", help_text, re.M)

    listed = set()
    for top in listed_in(_parser([]).format_help()):
        listed.add((top,))
        command = _parser([top])._subparsers._group_actions[0].choices[top]
        listed |= {(top, sub) for sub in listed_in(command.format_help())}
    assert {("store", "add"), ("store", "alias"), ("serve",), ("identify",), ("stats",), ("gc",)} <= listed
    assert listed <= walked, sorted(listed - walked)
