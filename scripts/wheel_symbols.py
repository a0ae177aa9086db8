"""What each shared object of a wheel asks of the system it loads on, read
from its dynamic symbol table (readelf), and whether that is only glibc 2.28:

- every versioned import is GLIBC_x.y with x.y <= 2.28, and none of libstdc++
  (GLIBCXX, CXXABI) or libgcc_s (GCC): libc++ is linked in;
- an unversioned import is the interpreter's C API (Py*, _Py*), which the
  python binary resolves, one that a library of the wheel defines (ISA-L
  versions none of its symbols), or a weak hook nothing needs
  (__gmon_start__, _ITM_*);
- the libraries it needs are glibc's own or the wheel's (auditwheel's
  seqtally.libs/);
- our modules define nothing but PyInit_*.

Usage: python wheel_symbols.py WHEEL; prints one line per object and exits 1
on any breach."""

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

GLIBC_MAX = (2, 28)
GLIBC_LIBRARIES = re.compile(r"^(libc|libm|libdl|libpthread|librt|ld-linux-x86-64)\.so\.\d+$")
INTERPRETER = re.compile(r"^_?Py")
WEAK_HOOKS = {"__gmon_start__", "_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable"}


def dynamic_symbols(path):
    """(name, version or '', undefined, binding) for each dynamic symbol."""
    out = subprocess.run(["readelf", "-W", "--dyn-syms", path], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit() or fields[0] == "0:":
            continue
        name, _, version = fields[7].partition("@")
        yield name, version.lstrip("@"), fields[6] == "UND", fields[4]


def needed(path):
    out = subprocess.run(["readelf", "-W", "-d", path], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out)


def defined(path):
    return {name for name, _, undefined, binding in dynamic_symbols(path) if not undefined and binding != "LOCAL"}


def breaches(path, bundled, ours):
    """What in this object needs more than glibc 2.28 and the wheel; and a summary."""
    found, versions, unversioned = [], set(), set()
    for name, version, undefined, binding in dynamic_symbols(path):
        if undefined:
            if version:
                versions.add(version)
            elif INTERPRETER.match(name):
                unversioned.add("Py*")
            elif name in bundled["symbols"]:
                unversioned.add(bundled["symbols"][name])
            elif name in WEAK_HOOKS and binding == "WEAK":
                unversioned.add(name)
            else:
                found.append(f"unversioned import {name}")
        elif ours and binding in ("GLOBAL", "WEAK") and not name.startswith("PyInit_"):
            found.append(f"exports {name}")
    for version in versions:
        family, _, number = version.partition("_")
        if family != "GLIBC":
            found.append(f"needs {version}")
        elif tuple(map(int, number.split("."))) > GLIBC_MAX:
            found.append(f"needs {version}")
    for library in needed(path):
        if not GLIBC_LIBRARIES.match(library) and library not in bundled["libraries"]:
            found.append(f"needs {library}, which is not in the wheel")
    glibc = max((v for v in versions if v.startswith("GLIBC_")), default="none",
                key=lambda v: tuple(map(int, v[6:].split("."))))
    summary = (f"newest {glibc}; versions {', '.join(sorted(versions))}; unversioned imports: "
               f"{', '.join(sorted(unversioned)) or 'none'}; needs {', '.join(needed(path))}")
    return found, summary


def main(wheel):
    failed = False
    with tempfile.TemporaryDirectory() as folder, zipfile.ZipFile(wheel) as archive:
        objects = [n for n in archive.namelist() if re.search(r"\.so(\.\d+)*$", n)]
        archive.extractall(folder, objects)
        libraries = [n for n in objects if ".libs/" in n]
        bundled = {"libraries": {Path(n).name for n in libraries},
                   "symbols": {symbol: f"{Path(n).name}'s" for n in libraries for symbol in defined(Path(folder) / n)}}
        for name in objects:
            found, summary = breaches(Path(folder) / name, bundled, ours=".libs/" not in name)
            print(f"{name}: {'; '.join(found) if found else 'glibc <= 2.28 only'} ({summary})")
            failed |= bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
