"""The library in layers: import-linter's contracts of pyproject.toml
(deferred imports and those for type checking count), what they cannot see
(the extension module), and the command's use of the library by its public
names only."""
import ast
import subprocess
import sys
from pathlib import Path

import grimp

import seqtally_cli
import seqtally_tools
from conftest import SOURCE

ROOT = SOURCE


def test_the_import_contracts_hold():
    lint = Path(sys.executable).parent / "lint-imports"
    result = subprocess.run([lint, "--no-cache", ROOT / "pyproject.toml"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_package_is_imported_by_its_modules_only_for_the_engine():
    # grimp sees no extension module, so `from . import _engine` reads as an
    # import of the package: the contracts ignore those, and only those.
    graph = grimp.build_graph("seqtally_tools", cache_dir=None)
    lines = {(detail["importer"], detail["line_contents"])
             for importer in graph.find_modules_that_directly_import("seqtally_tools")
             for detail in graph.get_import_details(importer=importer, imported="seqtally_tools")}
    assert lines and all(text.endswith(" import _engine") for _, text in lines), sorted(lines)


def test_the_command_uses_only_public_names_of_the_library():
    public = {*seqtally_tools.__all__, "__version__"}
    found = []
    for path in Path(seqtally_cli.__file__).parent.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("seqtally_tools"):
                found += [(path.name, node.module, alias.name) for alias in node.names]
            elif isinstance(node, ast.Import):
                found += [(path.name, alias.name, None) for alias in node.names
                          if alias.name.startswith("seqtally_tools")]
    assert found
    private = [(file, module, name) for file, module, name in found
               if not (module == "seqtally_tools" and name in public or module == "seqtally_tools.service")]
    assert not private
