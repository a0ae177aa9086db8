"""The binary wheel (zig's clang, libc++, glibc 2.28, static libcrypto, zlib
and libdeflate: scripts/wheel) against the developers' gcc build, the same
commands side by side: each round runs both, so a ratio sees one phase of a
shared machine."""
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def wheel_command(work):
    """The seqtally command of a second environment holding the wheel of the
    tree as it is (scripts/wheel compiles only what changed since its last
    run)."""
    subprocess.run([ROOT / "scripts" / "wheel"], check=True, stdout=subprocess.DEVNULL)
    wheels = sorted((ROOT / "dist").glob("seqtally-*manylinux*.whl"))
    venv = work / "wheel-venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", wheels[-1]],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return wheels[-1].name, venv / "bin" / "seqtally"


def wheel_rows(reps, inputs, work, row, interleaved):
    print("wheel:", flush=True)
    name, theirs = wheel_command(work)
    ours = Path(sys.executable).parent / "seqtally"
    print(f"  {name} against the gcc build", flush=True)
    commands = (
        ("checksum, plain genome", "genome", ["checksum", inputs["genome"]]),
        ("checksum, gzip -6 genome", "genome_gz", ["checksum", inputs["genome_gz"]]),
        ("gc to bedGraph, window 100", "genome", ["gc", inputs["genome"], work / "t.bedGraph", "--window", "100", "-q"]),
        ("index --bgzip, gzip -6 genome", "genome_gz",
         ["index", inputs["genome_gz"], "--bgzip", work / "copy.fa.gz", "--force", "-q"]),
    )
    for label, key, args in commands:
        def run(program, args=args):
            return lambda: subprocess.run([program, *map(str, args)], check=True, stdout=subprocess.DEVNULL)
        times = interleaved(reps, {"gcc": run(ours), "wheel": run(theirs)})
        row("wheel", f"seqtally {label} (gcc build)", statistics.median(times["gcc"]), key, "seqtally")
        entry = row("wheel", f"seqtally {label} (wheel)", statistics.median(times["wheel"]), key, "seqtally",
                    ratio=statistics.median(w / g for g, w in zip(times["gcc"], times["wheel"])))
        print(f"    the wheel takes {entry['ratio']:.3f}x the gcc build's time", flush=True)
