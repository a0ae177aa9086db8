#!/usr/bin/env python3
"""Puts each deliberate fault of tools/faults.txt into the tree, one at a
time, and runs the test suite against it: a fault is caught when some stage
fails. The suite's stages, in order, each stopping at its first failure:
the C++ unit tests (also with the portable window pass), pytest, and the
fuzz targets from their committed seeds. Stages whose code the fault cannot
reach are skipped (a fault in python/ builds nothing).

pytest runs the tree's own code, not the installed package: the module from
the build folder, and the library from an overlay rebuilt before every run
(a copy of python/seqtally_tools with the built engine inside, and the
command beside it), first on PYTHONPATH. The command that tests start as a
process inherits that path, so it runs the same code.

    tools/faults.py [--tree DIR] [--only ID ...] [--json OUT] [--logs DIR] [--deselect TEST ...]

A fault caught by pytest costs minutes when the suite runs its files in
order up to the catching test. tools/faults-caught.json keeps, per fault,
the test that caught it last; that test alone runs first (seconds), and the
whole suite only when it passes. Every run writes what it learnt back.
Before the faults, the kept tests run alone on the sound tree: one that
fails there would make a false catch.

The tree is restored after every fault. Needs the project's .venv (./scripts/test
makes it) and clang for the fuzz stage. Run by a virtual environment's python,
it takes that environment's tools (so a clone can be measured with the main
tree's .venv); otherwise the tree's own .venv. Nothing is written into the
environment: bytecode goes to the build folder."""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

BLOCK = re.compile(r"^@@ (\S+) (\S+) \| ([^\n]*)\n<<<\n(.*?)^===\n(.*?)^>>>$", re.M | re.S)


@dataclass
class Fault:
    id: str
    path: str
    what: str
    old: str
    new: str


def read_faults(text: str) -> list[Fault]:
    return [Fault(*match.groups()) for match in BLOCK.finditer(text)]


Command = list[str] | Callable[[], tuple[int, str]]


def run(command: Command, cwd: Path, env: dict[str, str] | None = None, timeout: int = 1800) -> tuple[int, str]:
    if callable(command):
        return command()
    try:
        done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return 124, "timed out"
    return done.returncode, done.stdout + done.stderr


class Suite:
    def __init__(self, tree: Path, deselect: list[str] | None = None) -> None:
        self.tree = tree
        self.deselect = [f"--deselect={test}" for test in deselect or []]
        self.first: list[str] = []  # pytest node ids to run alone before the whole suite
        self.venv = Path(sys.prefix) / "bin" if sys.prefix != sys.base_prefix else tree / ".venv" / "bin"
        self.build = tree / "build" / "faults"
        self.portable = tree / "build" / "faults-portable"
        self.fuzz = tree / "build" / "faults-fuzz"
        self.overlay = self.build / "overlay"
        cmake = [str(self.venv / "cmake"), "-S", str(tree), "-G", "Ninja",
                 f"-DCMAKE_MAKE_PROGRAM={self.venv / 'ninja'}"]
        for build, extra in ((self.build, ["-DSEQTALLY_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={self.venv / 'python'}"]),
                             (self.portable, ["-DSEQTALLY_BUILD_MODULE=OFF", "-DSEQTALLY_PORTABLE_WINDOW_PASS=ON"])):
            status, out = run([*cmake, "-B", str(build), "-DSEQTALLY_BUILD_TESTS=ON", "-DSEQTALLY_WERROR=ON", *extra], tree)
            if status:
                sys.exit(f"configuring {build} failed:\n{out}")
        clang = next((c for c in ("clang++-14", "clang++") if subprocess.run(["which", c], capture_output=True).returncode == 0), None)
        self.fuzz_ready = clang is not None and run(
            [*cmake, "-B", str(self.fuzz), f"-DCMAKE_CXX_COMPILER={clang}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
             "-DSEQTALLY_BUILD_MODULE=OFF", "-DSEQTALLY_BUILD_FUZZERS=ON"], tree)[0] == 0
        tests = sorted((tree / "tests").glob("test_*.py"), key=lambda p: (p.name == "test_packaging.py", p.name))
        self.pytest_files = [str(p) for p in tests]

    def make_overlay(self) -> tuple[int, str]:
        """The library as the tree has it now, fault included, with the engine
        just built: the package's own folder holds no engine."""
        engines = sorted(self.build.glob("_engine*.so"))
        if not engines:
            return 1, f"no engine built in {self.build}"
        shutil.rmtree(self.overlay, ignore_errors=True)
        package = self.overlay / "seqtally_tools"
        shutil.copytree(self.tree / "python" / "seqtally_tools", package,
                        ignore=shutil.ignore_patterns("__pycache__", "_engine*.so"))
        shutil.copy2(engines[0], package)
        # A test finds the command's source beside the package.
        shutil.copytree(self.tree / "python" / "seqtally_cli", self.overlay / "seqtally_cli",
                        ignore=shutil.ignore_patterns("__pycache__"))
        return 0, ""

    def stages(self, native: bool) -> list[tuple[str, Command, dict[str, str] | None]]:
        env = self.environment()
        pytest = self.pytest(self.pytest_files)
        ninja = str(self.venv / "ninja")
        first = [("pytest", self.pytest(self.first), env)] if self.first else []
        if not native:
            # The module and the engine are rebuilt all the same: the fault
            # before may have been native.
            return [("build", [ninja, "-C", str(self.build)], None), ("build", self.make_overlay, None),
                    *first, ("pytest", pytest, env)]
        stages: list[tuple[str, Command, dict[str, str] | None]] = [
            ("build", [ninja, "-C", str(self.build)], None),
            ("build", self.make_overlay, None),
            ("cpp", [str(self.build / "seqtally_cpp_tests"), "--gtest_fail_fast", "--gtest_brief=1"], None),
            ("build", [ninja, "-C", str(self.portable)], None),
            ("cpp-portable", [str(self.portable / "seqtally_cpp_tests"), "--gtest_fail_fast", "--gtest_brief=1",
                              "--gtest_filter=Window*:DecimalCounter*:GcMask*"], None),
            *first,
            ("pytest", pytest, env),
        ]
        if self.fuzz_ready:
            stages.append(("build", [ninja, "-C", str(self.fuzz)], None))
            # New inputs go to the first folder: a scratch one, not the committed seeds.
            scratch = tempfile.mkdtemp(prefix="seqtally-faults-")
            for target in ("bed", "fasta_reader", "gzip_reader", "operations", "random_access"):
                stages.append((f"fuzz-{target}", [str(self.fuzz / f"fuzz_{target}"), "-runs=20000", "-seed=1",
                                                  "-max_len=4096", scratch, str(self.tree / "fuzz" / "corpus" / target)],
                               None))
        return stages

    def pytest(self, tests: list[str]) -> list[str]:
        return [str(self.venv / "python"), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-rfE",
                *self.deselect, *tests]

    def environment(self) -> dict[str, str]:
        # The stubs come from python/, after the overlay.
        return dict(os.environ, PYTHONPATH=f"{self.overlay}:{self.build}:{self.tree / 'python'}",
                    PYTHONPYCACHEPREFIX=str(self.build / "pycache"))

    def check(self, native: bool) -> tuple[str, str, str]:
        """('', '', '') when every stage passes, else the stage that failed,
        its first failure, and all it said."""
        for name, command, env in self.stages(native):
            status, out = run(command, self.tree, env)
            if status:
                return name, first_failure(name, out), out
        return "", "", ""


def first_failure(stage: str, out: str) -> str:
    # A node id may hold spaces (a parameter's text); " - " ends it.
    patterns = {"pytest": r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", "cpp": r"^\[  FAILED  \] (\S+)",
                "cpp-portable": r"^\[  FAILED  \] (\S+)"}
    if stage in patterns and (found := re.search(patterns[stage], out, re.M)):
        return found.group(1)
    lines = [line for line in out.splitlines() if line.strip()]
    return lines[-1][:160] if lines else ""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tree", type=Path, default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--no-baseline", action="store_true", help="skip the run without a fault")
    parser.add_argument("--deselect", nargs="*", default=None, metavar="TEST",
                        help="leave these tests out (pytest node ids): to see which other test catches a fault")
    parser.add_argument("--logs", type=Path, help="write what the failing stage said to DIR/ID.txt: a test that "
                        "fails for a reason other than the fault (a timing, say) shows there")
    args = parser.parse_args()
    # Started in the background by a shell without job control, this process
    # has SIGINT ignored, and every process it starts would inherit that: the
    # tests that send SIGINT would fail for that alone. A handler of our own
    # is reset to the default in the processes we start.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    tree = args.tree.resolve()
    here = Path(__file__).resolve().parent
    faults = read_faults((here / "faults.txt").read_text())
    caught_file = here / "faults-caught.json"
    caught: dict[str, str] = json.loads(caught_file.read_text()) if caught_file.exists() else {}
    if args.only:
        # In the order given: the cheap ones first, say, when time is short.
        by_id = {f.id: f for f in faults}
        if unknown := [i for i in args.only if i not in by_id]:
            sys.exit(f"no such faults: {' '.join(unknown)}")
        faults = [by_id[i] for i in args.only]
    suite = Suite(tree, args.deselect)
    stage, said, _ = ("", "", "") if args.no_baseline else suite.check(native=True)
    if stage:
        sys.exit(f"the suite fails without any fault ({stage}: {said})")
    if args.logs:
        args.logs.mkdir(parents=True, exist_ok=True)
    known = sorted({test for fault in faults if (test := caught.get(fault.id))})
    # The sound tree built and overlaid (by the baseline, or here with
    # --no-baseline: a new tree has nothing built, and every kept test
    # would fail for that alone).
    for command in ([str(suite.venv / "ninja"), "-C", str(suite.build)], suite.make_overlay):
        if (built := run(command, tree))[0]:
            sys.exit(f"the sound tree does not build:\n{built[1]}")
    if known and run(suite.pytest(known), tree, suite.environment())[0]:
        for test in known:
            if run(suite.pytest([test]), tree, suite.environment())[0]:
                print(f"kept test dropped: {test} fails (or is gone) on the sound tree", flush=True)
                caught = {fault: kept for fault, kept in caught.items() if kept != test}
    results = []
    for fault in faults:
        path = tree / fault.path
        original = path.read_text()
        if original.count(fault.old) != 1:
            print(f"{fault.id}: STALE (its text is not found once in {fault.path})", flush=True)
            results.append({"id": fault.id, "result": "stale"})
            continue
        started = time.monotonic()
        suite.first = [caught[fault.id]] if fault.id in caught else []
        signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))  # the finally below still restores the file
        try:
            path.write_text(original.replace(fault.old, fault.new))
            stage, said, out = suite.check(native=not fault.path.startswith("python/"))
        finally:
            path.write_text(original)
        if args.logs and stage:
            (args.logs / f"{fault.id}.txt").write_text(out)
        result = "missed" if not stage else "no-build" if stage == "build" else "caught"
        print(f"{fault.id}: {result} {stage} {said} ({time.monotonic() - started:.0f} s)", flush=True)
        results.append({"id": fault.id, "result": result, "stage": stage, "by": said})
        if result == "caught" and stage == "pytest" and "::" in said:
            caught[fault.id] = said
        else:
            caught.pop(fault.id, None)
        caught_file.write_text(json.dumps(dict(sorted(caught.items())), indent=1) + "\n")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1) + "\n")
    counts = {kind: sum(r["result"] == kind for r in results) for kind in ("caught", "missed", "no-build", "stale")}
    print(" ".join(f"{kind} {n}" for kind, n in counts.items()))
    return 0 if counts["missed"] == counts["no-build"] == counts["stale"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
