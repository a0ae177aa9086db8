"""seqtally next to the machine's limits and to the tools people use instead,
all measured in one run. Prints one table and writes bench/results/latest.json.

    bench/run [--reps N] [--quick] [--no-callgrind] [--only SECTIONS]

Every figure is the median of N repetitions (3 by default). Throughput is MB/s
(10^6 bytes per second) of uncompressed FASTA input, so rows on the same
input compare directly.
"""
import argparse
import gzip
import hashlib
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"
MB = 1e6
MiB = 1 << 20
sys.path.insert(0, str(HERE))
from gen_fasta import chromosome, write_assemblies, write_genome  # noqa: E402
from identify import identify_rows, postgresql_cluster  # noqa: E402
from service import service_rows, service_summary  # noqa: E402
from wheel import wheel_rows  # noqa: E402

# ---------------------------------------------------------------- inputs


def make_inputs(quick):
    """Deterministic inputs; made once and kept in bench/data."""
    DATA.mkdir(exist_ok=True)
    scale = 16 if quick else 256
    inputs = {
        "genome": DATA / f"genome{scale}.fa",
        "genome_gz": DATA / f"genome{scale}.fa.gz",
        "genome_bgzf": DATA / f"genome{scale}.bgzf.fa.gz",
        "reads": DATA / ("reads100k.fa" if quick else "reads1m.fa"),
        "long": DATA / f"long{scale}.fa",
        "small": DATA / "genome16.fa",
    }
    if not inputs["genome"].exists():
        write_genome(inputs["genome"], scale * MiB)
    if not inputs["small"].exists():
        write_genome(inputs["small"], 16 * MiB)
    if not inputs["genome_gz"].exists():
        with open(inputs["genome_gz"], "wb") as out:
            subprocess.run(["gzip", "-6", "-c", str(inputs["genome"])], stdout=out, check=True)
    if not inputs["genome_bgzf"].exists():
        with open(inputs["genome_bgzf"], "wb") as out:
            subprocess.run(["bgzip", "-l", "6", "-c", str(inputs["genome"])], stdout=out, check=True)
    if not inputs["reads"].exists():
        rng = random.Random(7)
        block = bytes(rng.choices(b"ACGTACGTGCN", k=1 << 20))
        count = 100_000 if quick else 1_000_000
        with open(inputs["reads"], "wb") as f:
            for i in range(count):
                at = rng.randrange(0, len(block) - 150)
                f.write(b">read%d\n%s\n" % (i, block[at:at + 150]))
    many = DATA / "many2000"
    if not (many / "f1999.fa").exists():
        many.mkdir(exist_ok=True)
        rng = random.Random(3)
        block = bytes(rng.choices(b"ACGT", k=1 << 20))
        for i in range(2000):
            with open(many / f"f{i:04}.fa", "wb") as f:
                for r in range(8):  # 8 records of 6,000 bases: 48.8 KB a file
                    at = rng.randrange(0, len(block) - 6000)
                    seq = block[at:at + 6000]
                    f.write(b">s%d_%d\n" % (i, r) + b"\n".join(seq[j:j + 60] for j in range(0, 6000, 60)) + b"\n")
    inputs["many"] = many
    if not inputs["long"].exists():
        with open(inputs["long"], "wb") as f:
            f.write(b">long single-line record\n")
            f.write(chromosome(random.Random(11), scale * MiB))
            f.write(b"\n")
    return inputs


def largest_record(path):
    largest = current = 0
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b">"):
                largest = max(largest, current)
                current = 0
            else:
                current += len(line)
    return max(largest, current)


# ---------------------------------------------------------------- timing


def median_seconds(reps, action):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def shell_seconds(reps, command):
    return median_seconds(reps, lambda: subprocess.run(command, shell=True, check=True,
                                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


# A child process runs one seqtally call N times and reports the times and
# its peak resident set growth (VmHWM after the calls less VmRSS before). The
# part of the peak that the returned results still hold (one ChecksumResult
# per record, by design) is reported apart from the working memory.
CHILD = r"""
import json, os, sys, time, seqtally
def status(key):
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
op, reps, args = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
before = status('VmRSS:')
times = []
for _ in range(reps):
    if op == 'write' and os.path.exists(args[1]):
        os.unlink(args[1])
    start = time.perf_counter()
    if op == 'checksum':
        results = seqtally.checksum(*args)
    else:
        results = seqtally.write_seqtally_to_file(*args)
    times.append(time.perf_counter() - start)
    held = status('VmRSS:') - before
    results = None
print(json.dumps({'times': times, 'growth': status('VmHWM:') - before, 'held': held}))
"""


def seqtally_run(reps, op, args):
    out = subprocess.run([sys.executable, "-c", CHILD, op, str(reps), json.dumps(args)],
                         capture_output=True, text=True, check=True)
    result = json.loads(out.stdout)
    return statistics.median(result["times"]), max(0, result["growth"] - result["held"])


def interleaved(rounds, actions):
    """Each round runs every action once, in turn; the times of each, by
    name. Ratios of two actions' times round by round see the same phases
    of a shared machine."""
    times = {name: [] for name in actions}
    for _ in range(rounds):
        for name, action in actions.items():
            start = time.perf_counter()
            action()
            times[name].append(time.perf_counter() - start)
    return times


def paired(reps, limit_seconds, ours):
    """Each repetition times the limit and then seqtally, back to back, so a
    shared machine's slow phases hit both sides of a ratio alike. Returns the
    median seqtally time, its largest working memory and the median ratio of
    the limit's time to seqtally's (seqtally's rate as a share of the limit)."""
    times, ratios, growth = [], [], 0
    for _ in range(reps):
        limit = limit_seconds()
        seconds, used = ours()
        times.append(seconds)
        ratios.append(limit / seconds)
        growth = max(growth, used)
    return statistics.median(times), growth, statistics.median(ratios)


def write_args(inp, out, level, window):
    return [str(inp), str(out), level, window, False, "unused", False, False]


# ---------------------------------------------------------------- peers

HASHLIB_SCRIPT = r"""
import base64, hashlib, sys
def records(path):
    name, seq = None, []
    with open(path, 'rb') as f:
        for line in f:
            if line.startswith(b'>'):
                if name is not None:
                    yield name, b''.join(seq)
                name, seq = line[1:].split(None, 1)[0].decode(), []
            else:
                seq.append(line.rstrip(b'\r\n'))
    if name is not None:
        yield name, b''.join(seq)
for name, seq in records(sys.argv[1]):
    seq = seq.upper()
    sha = base64.urlsafe_b64encode(hashlib.sha512(seq).digest()[:24]).decode()
    print(name, len(seq), sha, hashlib.md5(seq).hexdigest(), sep='\t')
"""

BIOPYTHON_SCRIPT = r"""
import base64, hashlib, sys
from Bio import SeqIO
for record in SeqIO.parse(sys.argv[1], 'fasta'):
    seq = bytes(record.seq).upper()
    sha = base64.urlsafe_b64encode(hashlib.sha512(seq).digest()[:24]).decode()
    print(record.id, len(seq), sha, hashlib.md5(seq).hexdigest(), sep='\t')
"""


def python_peer(reps, script, path):
    return median_seconds(reps, lambda: subprocess.run([sys.executable, "-c", script, str(path)], check=True,
                                                       stdout=subprocess.DEVNULL))


def have(command):
    return shutil.which(command) is not None


# ---------------------------------------------------------------- limits


def openssl_rate(algorithm, size, seconds=2):
    out = subprocess.run(["openssl", "speed", "-evp", algorithm, "-bytes", str(size), "-seconds", str(seconds), "-mr"],
                         capture_output=True, text=True, check=True).stdout
    line = next(line for line in out.splitlines() if line.startswith("+F:"))
    return float(line.split(":")[3])


def inflate_members(data):
    """zlib's own inflate of every member of a BGZF file; each member's size
    is in its header (the BC extra field), so no member is copied twice."""
    view = memoryview(data)
    at = 0
    while at < len(view):
        size = int.from_bytes(view[at + 16:at + 18], "little") + 1
        zlib.decompress(view[at:at + size], 31)
        at += size


def write_in_blocks(path, data):
    if path.exists():
        path.unlink()
    view = memoryview(data)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for at in range(0, len(view), 1 << 16):
            os.write(fd, view[at:at + (1 << 16)])
    finally:
        os.close(fd)


def ceiling(sha, md5):
    return 1 / (1 / sha + 1 / md5)


def digest_seconds(message_size, data_size):
    """Time the digest ceiling takes for `data_size` bytes, measured now."""
    return data_size / ceiling(openssl_rate("sha512", message_size, 1), openssl_rate("md5", message_size, 1))


# ---------------------------------------------------------------- the command


# The command timed from a process of its own, which then reads the peak
# resident memory of the largest process of the run (the kernel keeps the
# largest of all descendants waited for: workers and helpers too).
COMMAND_CHILD = r"""
import json, resource, subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
seconds = time.perf_counter() - start
print(json.dumps([seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024]))
"""


def command_run(*args):
    """One run of the seqtally command: its seconds and its largest process's peak memory."""
    out = subprocess.run([sys.executable, "-c", COMMAND_CHILD, str(Path(sys.executable).parent / "seqtally"),
                          *map(str, args)], check=True, capture_output=True, text=True)
    seconds, peak = json.loads(out.stdout)
    return seconds, peak


def command_seconds(*args):
    return command_run(*args)[0]


def command_rows(reps, inputs, size, limits, work, row):
    """The command on the inputs users have: gzip and BGZF against the plain
    file (pairs, back to back), thousands of small files and two large ones
    with one and two workers, and what each file costs."""
    print("command:", flush=True)
    plain = inputs["genome"]
    for key, name, limit in (("genome_gz", "gzip -6", "inflate"), ("genome_bgzf", "BGZF", "inflate_bgzf")):
        # 3x the pairs: each side is a one-second run on a shared machine.
        times, ratios, peaks = [], [], []
        for _ in range(3 * reps):
            plain_seconds, plain_peak = command_run("checksum", plain)
            seconds, peak = command_run("checksum", inputs[key])
            times.append(seconds)
            ratios.append(plain_seconds / seconds)
            peaks.append((plain_peak, peak))
        entry = row("command", f"seqtally checksum, {name} genome", statistics.median(times), key, "seqtally",
                    "plain", ratio=statistics.median(ratios))
        entry["vs_inflate"] = entry["mb_per_s"] / limits[limit]
        entry["peak_plain"], entry["peak"] = max(p for p, _ in peaks), max(p for _, p in peaks)
    files = sorted(str(p) for p in inputs["many"].iterdir())
    size["many"] = sum(os.stat(f).st_size for f in files)
    copy = work / "genome-copy.fa"
    shutil.copyfile(plain, copy)
    size["two"] = 2 * size["genome"]
    serial = None
    for key, label, paths in (("many", "2,000 files of 49 KB", files), ("two", f"two {size['genome'] // MiB} MiB files", [plain, copy])):
        by_jobs = {}
        for jobs in (1, 2):
            by_jobs[jobs] = statistics.median(command_seconds("checksum", "--jobs", jobs, *paths)
                                              for _ in range(3 * reps))
            entry = row("command", f"seqtally checksum --jobs {jobs}, {label}", by_jobs[jobs], key, "seqtally")
            serial = serial or entry
        entry["speedup"] = by_jobs[1] / by_jobs[2]
    empty = work / "empty.fa"
    empty.write_bytes(b"")
    startup = median_seconds(reps, lambda: command_seconds("checksum", empty))
    module = median_seconds(reps, lambda: [seqtally.checksum(f) for f in files])
    limits["command_startup_ms"] = 1000 * startup
    limits["per_file_us"] = 1e6 * (serial["seconds"] - startup - module) / len(files)
    limits["module_per_file_us"] = 1e6 * module / len(files)
    print(f"  startup {1000 * startup:.0f} ms; per file: module {limits['module_per_file_us']:.0f} us, "
          f"command on top {limits['per_file_us']:.0f} us", flush=True)


def identity_rows(reps, inputs, size, work, row):
    """seqcol against checksum of the same genome (the collection is built
    per record, after the digests), compare of two genomes against one
    checksum (both digests at once, one per core), dict against checksum of
    the same file, plain and gzip, and against samtools."""
    print("identity:", flush=True)
    genome = inputs["genome"]
    copy = work / "genome-copy.fa"
    if not copy.exists():
        shutil.copyfile(genome, copy)
    pairs = [(command_seconds("checksum", genome), command_seconds("seqcol", genome)) for _ in range(3 * reps)]
    row("identity", "seqtally seqcol, genome", statistics.median(b for _, b in pairs), "genome", "seqtally",
        "checksum", ratio=statistics.median(b / a for a, b in pairs))
    single = statistics.median(command_seconds("checksum", genome) for _ in range(reps))
    both = statistics.median(command_seconds("compare", genome, copy) for _ in range(reps))
    size["genome_pair"] = 2 * size["genome"]
    row("identity", "seqtally compare, two genomes", both, "genome_pair", "seqtally", "checksum",
        ratio=both / single)
    dictionary = statistics.median(command_seconds("dict", genome, "-o", "-") for _ in range(reps))
    row("identity", "seqtally dict, genome", dictionary, "genome", "seqtally", "checksum",
        ratio=dictionary / single)
    # The gzip copy: the dictionary's M5 and the checksum's digests come from
    # the same one pass over the inflated bytes, so the two should cost alike.
    gz = str(inputs["genome_gz"])
    pairs = [(command_seconds("checksum", gz), command_seconds("dict", gz, "-o", "-")) for _ in range(reps)]
    row("identity", "seqtally dict, gzip -6 genome", statistics.median(b for _, b in pairs), "genome_gz", "seqtally",
        "checksum", ratio=statistics.median(b / a for a, b in pairs))
    if have("samtools"):
        row("identity", "samtools dict, genome", shell_seconds(reps, f"samtools dict {genome}"), "genome", "peer")


def store_rows(reps, size, work, row):
    """store add of 200 small assemblies, one after the other and two at
    once, in turn round by round, each into a new store: on SQLite (the
    reads in two threads, the caller writing the rows) and on PostgreSQL
    (each thread writing its own files' rows)."""
    print("store:", flush=True)
    folder = DATA / "assemblies200"
    if not (folder / "asm199.fa").exists():
        write_assemblies(folder, 200)
    paths = sorted(str(p) for p in folder.iterdir())
    size["assemblies"] = sum(os.stat(p).st_size for p in paths)
    store = work / "store"
    cluster = postgresql_cluster()
    try:
        for database in ("SQLite", "PostgreSQL") if cluster is not None else ("SQLite",):
            times = {1: [], 2: []}
            for _ in range(3 * reps):
                for jobs in times:
                    # Removing the last run's 30,000 files is no part of the next run.
                    shutil.rmtree(store, ignore_errors=True)
                    url = ["--database", cluster.new_database()] if database == "PostgreSQL" else []
                    times[jobs].append(command_seconds("store", "add", "-q", "--jobs", jobs, *url, store, *paths))
            shutil.rmtree(store, ignore_errors=True)
            for jobs in (1, 2):
                entry = row("store", f"store add --jobs {jobs}, 200 assemblies ({database})",
                            statistics.median(times[jobs]), "assemblies", "seqtally")
            entry["speedup"] = statistics.median(one / two for one, two in zip(times[1], times[2]))
    finally:
        if cluster is not None:
            cluster.stop()


def track_rows(reps, inputs, limits, work, row):
    """`seqtally gc` into bigWig and bedGraph, against the plain wiggle run
    plus pyBigWig's own time to write the same intervals from arrays."""
    import numpy as np
    import pyBigWig
    from seqtally_tools import _engine

    print("tracks:", flush=True)
    genome = inputs["genome"]
    records, _ = _engine.gc_values(str(genome), 100, False)
    sizes = [(name, length) for name, length, *_ in records]
    arrays = [np.frombuffer(values, dtype=np.uint8) for _, _, values, _ in records]

    def library_only():
        bigwig = pyBigWig.open(str(work / "library.bw"), "w")
        bigwig.addHeader(sizes)
        for (name, length), values in zip(sizes, arrays):
            full = length // 100
            bigwig.addEntries(name, 0, values=values[:full].astype(np.float64), span=100, step=100)
            if len(values) > full:
                bigwig.addEntries([name], [full * 100], ends=[length], values=[float(values[full])])
        bigwig.close()

    wig_seconds = median_seconds(reps, lambda: seqtally.write_seqtally_to_file(
        str(genome), str(work / "plain.wig"), 6, 100, False, "", False, False))
    library_seconds = median_seconds(reps, library_only)
    limits["bigwig_library_seconds"] = library_seconds
    limits["wig_seconds"] = wig_seconds
    for key, name, out in (("genome", "bigWig", "t.bw"), ("genome", "bedGraph", "t.bedGraph"),
                           ("genome_gz", "bigWig from gzip -6", "t2.bw")):
        runs = [command_run("gc", inputs[key], work / out, "--window", "100", "-q") for _ in range(reps)]
        seconds = statistics.median(r[0] for r in runs)
        entry = row("tracks", f"seqtally gc to {name}, window 100", seconds, key, "seqtally", "bigwig",
                    ratio=seconds / (wig_seconds + library_seconds))
        entry["peak"] = max(r[1] for r in runs)
    count_rows(reps, genome, work, row)


def indexed_track_rows(reps, inputs, work, row):
    """A gzip bedGraph track with its tabix index (BGZF on every core, the
    index built in the same pass) against today's single-stream gzip track
    of the same windows: the plain track, then one zlib member of it at
    level 6 in the same thread (what the library's track writer did before:
    GNU gzip -6 would be slower, and flatter us), and the module's gzip
    wiggle track of the same windows."""
    print("indexed:", flush=True)
    genome = inputs["genome"]
    indexed, plain = work / "t.bedGraph.gz", work / "t.bedGraph"

    def single_stream():
        command_run("gc", genome, plain, "--window", "100", "-q")
        deflate = zlib.compressobj(6, zlib.DEFLATED, 31)
        with open(plain, "rb") as text, open(work / "single.bedGraph.gz", "wb") as out:
            while piece := text.read(1 << 20):
                out.write(deflate.compress(piece))
            out.write(deflate.flush())

    # Round by round, so that both see the same phases of a shared machine.
    times = interleaved(reps, {"ours": lambda: command_run("gc", genome, indexed, "--window", "100", "-q"),
                               "single": single_stream})
    ours, theirs = statistics.median(times["ours"]), statistics.median(times["single"])
    entry = row("indexed", "seqtally gc to bedGraph.gz + .tbi, window 100", ours, "genome", "seqtally",
                ratio=ours / theirs)
    entry["speedup"] = theirs / ours
    row("indexed", "gc plain bedGraph, then zlib level 6 of it, window 100", theirs, "genome", "peer",
        note="today's single-stream gzip track")
    module = median_seconds(reps, lambda: seqtally.write_seqtally_to_file(
        str(genome), str(work / "module.wig.gz"), 6, 100, False, "", False, False))
    # Another format (a third of the text), so not the row's peer.
    row("indexed", "module write_seqtally_to_file, gzip wiggle", module, "genome", "peer-partial",
        note="one gzip member, wiggle")


def count_rows(reps, genome, work, row):
    """--count acgt and --skew against the default count, the same command
    into the same format, run in turn so that a shared machine's drift falls
    on all alike; the ratio is the median of the runs' own ratios."""
    counts = {"": [], "--count acgt": ["--count", "acgt"], "--skew": ["--skew"]}
    for form, out in (("wiggle", "counts.wig"), ("bigWig", "counts.bw")):
        seconds = {label: [] for label in counts}
        for _ in range(3 * reps):
            for label, flags in counts.items():
                seconds[label].append(command_seconds("gc", genome, work / out, "--window", "100", "-q", *flags))
        for label in counts:
            ratio = statistics.median(mine / default for mine, default in zip(seconds[label], seconds[""]))
            name = f"seqtally gc {label} to {form}, window 100".replace("  ", " ")
            row("tracks", name, statistics.median(seconds[label]), "genome", "seqtally", "default" if label else None,
                ratio=ratio if label else None)


def stats_rows(reps, inputs, work, row):
    """`seqtally stats` of the plain genome against `seqkit stats -a -j 2`
    and against `seqtally gc` to a plain wiggle of the same file, run in
    turn (ratios round by round: the other's time over ours); its memory on
    the genome and on the single-line record against the largest record."""
    print("stats:", flush=True)
    genome = inputs["genome"]
    empty = work / "empty.fa"
    empty.write_bytes(b"")
    startup_peak = command_run("stats", "-q", empty)[1]
    rounds = {"stats": [], "gc": [], "seqkit": []}
    peak = 0
    for _ in range(3 * reps):
        seconds, used = command_run("stats", "-q", genome)
        rounds["stats"].append(seconds)
        peak = max(peak, used)
        rounds["gc"].append(command_seconds("gc", genome, work / "stats.wig", "--window", "100", "-q"))
        if have("seqkit"):
            rounds["seqkit"].append(shell_seconds(1, f"seqkit stats -a -j 2 {genome}"))
    ours = rounds["stats"]
    entry = row("stats", "seqtally stats, genome", statistics.median(ours), "genome", "seqtally", None,
                peak - startup_peak, note="ratio: seqkit stats -a -j 2's time over ours")
    entry["peak"], entry["largest_record"] = peak, largest_record(genome)
    entry["vs_gc_wiggle"] = statistics.median(g / s for g, s in zip(rounds["gc"], ours))
    row("stats", "seqtally gc to wiggle, window 100 (same rounds)", statistics.median(rounds["gc"]), "genome",
        "seqtally")
    if rounds["seqkit"]:
        entry["ratio"] = statistics.median(k / s for k, s in zip(rounds["seqkit"], ours))
        row("stats", "seqkit stats -a -j 2", statistics.median(rounds["seqkit"]), "genome", "peer",
            note="2 threads")
    seconds, used = command_run("stats", "-q", inputs["long"])
    entry = row("stats", "seqtally stats, single-line record", seconds, "long", "seqtally", None,
                used - startup_peak)
    entry["peak"], entry["largest_record"] = used, largest_record(inputs["long"])


# ---------------------------------------------------------------- the library's engine

INTERRUPT_CHILD = r"""
import sys, time
from seqtally_tools import checksum
print("ready", flush=True)
try:
    while True:
        checksum(sys.argv[1])
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def reference_rows(reps, inputs, size, limits, work, row):
    """seqtally index of the BGZF genome against checksum of it (both one
    read) and against samtools faidx, samtools dict and the GA4GH reference
    implementation's digest run one after another; FastaFile.fetch of 5,000
    random regions of 1 to 200 bases against pysam.FastaFile."""
    print("reference:", flush=True)
    bgzf = work / "genome.fa.gz"
    shutil.copyfile(inputs["genome_bgzf"], bgzf)
    pairs = [(command_seconds("checksum", bgzf), command_seconds("index", "--force", "-q", bgzf))
             for _ in range(3 * reps)]
    ours = row("reference", "seqtally index, BGZF genome", statistics.median(b for _, b in pairs), "genome_bgzf",
               "seqtally", "checksum", ratio=statistics.median(b / a for a, b in pairs))
    three = 0.0
    for name, command in (
            ("samtools faidx", f"rm -f {bgzf}.fai {bgzf}.gzi && samtools faidx {bgzf}"),
            ("samtools dict", f"samtools dict {bgzf}"),
            ("refget digest_fasta", f"{sys.executable} -c 'import refget, sys; refget.digest_fasta(sys.argv[1]).digest' "
                                    f"{bgzf}")):
        seconds = shell_seconds(reps, command)
        three += seconds
        row("reference", f"{name}, BGZF genome", seconds, "genome_bgzf", "peer-partial", note="one of three")
    limits["index_vs_three"] = three / ours["seconds"]
    import pysam

    from seqtally_tools import FastaFile
    rng = random.Random(5)
    with FastaFile(bgzf) as fasta:
        names, lengths = fasta.references, fasta.lengths
        regions = []
        for _ in range(5000):
            (name, length), = rng.choices(list(zip(names, lengths)), weights=lengths)
            start = rng.randrange(length)
            regions.append((name, start, min(length, start + rng.randint(1, 200))))

        def ours_fetch():
            for region in regions:
                fasta.fetch(*region)
        theirs = pysam.FastaFile(str(bgzf))

        def pysam_fetch():
            for region in regions:
                theirs.fetch(*region)
        assert all(fasta.fetch(*r) == theirs.fetch(*r) for r in regions[:200])
        limits["fetch_per_s"] = len(regions) / median_seconds(3 * reps, ours_fetch)
        limits["pysam_fetch_per_s"] = len(regions) / median_seconds(3 * reps, pysam_fetch)
    print(f"  index {ours['seconds']:.2f} s, {ours['ratio']:.2f}x checksum; the three tools {three:.2f} s; fetch "
          f"{limits['fetch_per_s']:.0f}/s, pysam {limits['pysam_fetch_per_s']:.0f}/s", flush=True)


def bgzip_rows(reps, inputs, size, limits, work, row):
    """index --bgzip of the gzip genome (one read: the copy and its five
    files) against what users run instead (bgzip at its default level),
    and against bgzip -@2 alone at the same level (our default, its -l 5:
    the same bytes), in interleaved rounds; the copy's size against that of
    bgzip's default; its peak memory; the block compressor per core against
    zlib's at the same level (seqtally pinned to one core, zlib in the same
    0xff00-byte blocks)."""
    print("bgzip:", flush=True)
    gz, plain = inputs["genome_gz"], inputs["genome"]
    copy, theirs = work / "copy.fa.gz", work / "theirs.fa.gz"
    peaks = []

    def ours():
        peaks.append(command_run("index", gz, "--bgzip", copy, "--force", "-q")[1])

    def shell(command):
        return lambda: subprocess.run(command, shell=True, check=True, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
    times = interleaved(reps, {
        "ours": ours,
        "three": shell(f"zcat {gz} | bgzip -@2 > {theirs} && rm -f {theirs}.fai && samtools faidx {theirs} && "
                       f"samtools dict {theirs} -o {work}/theirs.dict"),
        "alone": shell(f"bgzip -@2 -l 5 -c {plain} > {work}/same-level.fa.gz"),
    })
    seconds = {name: statistics.median(values) for name, values in times.items()}
    entry = row("bgzip", "seqtally index --bgzip, gzip -6 genome", seconds["ours"], "genome_gz", "seqtally")
    row("bgzip", "zcat | bgzip -@2; samtools faidx; samtools dict", seconds["three"], "genome_gz", "peer")
    row("bgzip", "bgzip -@2 -l 5 alone (plain genome in)", seconds["alone"], "genome", "peer-partial",
        note="the copy only, no index; our default level")
    entry["vs_three"] = statistics.median(t / o for o, t in zip(times["ours"], times["three"]))
    entry["vs_bgzip"] = statistics.median(o / a for o, a in zip(times["ours"], times["alone"]))
    entry["size_vs_bgzip"] = copy.stat().st_size / theirs.stat().st_size
    entry["peak"] = max(peaks)
    entry["largest_record"] = largest_record(plain)
    one_core = median_seconds(reps, lambda: subprocess.run(
        ["taskset", "-c", "0", str(Path(sys.executable).parent / "seqtally"), "index", str(gz), "--bgzip", str(copy),
         "--force", "-q"], check=True))
    data = plain.read_bytes()

    def zlib_blocks():
        for at in range(0, len(data), 0xff00):
            packer = zlib.compressobj(5, zlib.DEFLATED, -15)
            packer.compress(data[at:at + 0xff00])
            packer.flush()
    limits["bgzf_one_core"] = size["genome"] / one_core / MB
    limits["zlib_blocks_one_core"] = size["genome"] / median_seconds(reps, zlib_blocks) / MB
    del data
    print(f"  {entry['vs_three']:.2f}x faster than the three tools, {entry['vs_bgzip']:.2f}x the time of bgzip -@2 -l 5 "
          f"alone, copy {100 * (entry['size_vs_bgzip'] - 1):+.2f}% of the size bgzip's default gives; peak {entry['peak'] / MiB:.0f} MiB (largest "
          f"record {entry['largest_record'] / MiB:.0f} MiB); one core: index --bgzip {limits['bgzf_one_core']:.1f} "
          f"MB/s, zlib -5 in the same blocks {limits['zlib_blocks_one_core']:.1f} MB/s", flush=True)


def python_loop_rate(seconds):
    """Iterations per second of a pure-Python loop."""
    count, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            count += 1
    return count / seconds


def engine_rows(reps, inputs, size, limits, work, row):
    """seqtally_tools in one process: what a call costs against the module,
    gzip against plain, threads, a Python thread beside a call, bigWig from
    gzip against plain, and how soon Ctrl-C ends a call."""
    import signal
    import threading

    import seqtally_tools

    print("engine:", flush=True)
    tiny = str(HERE.parent / "examples" / "small.fa")
    calls = 20000
    module_call = median_seconds(reps, lambda: [seqtally.checksum(tiny) for _ in range(calls)]) / calls
    library_call = median_seconds(reps, lambda: [seqtally_tools.checksum(tiny) for _ in range(calls)]) / calls
    limits["engine_call_us"] = library_call * 1e6
    limits["module_call_us"] = module_call * 1e6
    print(f"  per call, tiny file: library {library_call * 1e6:.1f} us, module {module_call * 1e6:.1f} us "
          f"({library_call / module_call:.2f}x)", flush=True)

    # The module, then the library on plain, gzip and BGZF input, in turn,
    # three times the repetitions: a shared machine's slow phases fall on
    # every row of a round alike. Ratios are medians over the rounds.
    sources = {"module": lambda: seqtally.checksum(str(inputs["genome"]))}
    for key in ("genome", "genome_gz", "genome_bgzf"):
        sources[key] = lambda key=key: seqtally_tools.checksum(str(inputs[key]))
    rounds = interleaved(3 * reps, sources)
    module_plain = statistics.median(rounds["module"])
    row("engine", "module checksum, plain genome", module_plain, "genome", "context")
    plain = statistics.median(rounds["genome"])
    row("engine", "library checksum, plain genome", plain, "genome", "seqtally",
        ratio=statistics.median(a / b for a, b in zip(rounds["module"], rounds["genome"])))
    for key, name in (("genome_gz", "gzip -6"), ("genome_bgzf", "BGZF")):
        ratios = [a / b for a, b in zip(rounds["genome"], rounds[key])]
        entry = row("engine", f"library checksum, {name} genome", statistics.median(rounds[key]), key, "seqtally",
                    "plain", ratio=statistics.median(ratios))
        entry["ratio_range"] = (min(ratios), max(ratios))
        print(f"    {name} against plain, {len(ratios)} rounds: median {entry['ratio']:.3f}, "
              f"from {min(ratios):.3f} to {max(ratios):.3f}", flush=True)

    files = sorted(str(p) for p in inputs["many"].iterdir())
    one = median_seconds(reps, lambda: list(seqtally_tools.checksum_files(files, jobs=1)))
    two = median_seconds(reps, lambda: list(seqtally_tools.checksum_files(files, jobs=2)))
    size["many"] = sum(os.stat(f).st_size for f in files)
    row("engine", "library checksum_files, 2,000 files, jobs=1", one, "many", "context")
    row("engine", "library checksum_files, 2,000 files, jobs=2", two, "many", "seqtally", ratio=one / two)

    alone = python_loop_rate(1.0)
    rates = []
    done = threading.Event()

    def beside():
        rates.append(python_loop_rate(1.0))
        done.set()

    thread = threading.Thread(target=beside)
    thread.start()
    while not done.is_set():
        seqtally_tools.checksum(str(inputs["genome"]))
    thread.join()
    limits["python_thread_share"] = rates[0] / alone
    print(f"  a pure-Python thread beside library calls keeps {rates[0] / alone:.0%} of its speed", flush=True)

    tracks = {key: lambda key=key: seqtally_tools.gc_track(str(inputs[key]), str(work / f"engine-{key}.bw"),
                                                             window=100)
              for key in ("genome", "genome_gz")}
    rounds = interleaved(3 * reps, tracks)
    entries = {}
    for key, name in (("genome", "plain"), ("genome_gz", "gzip -6")):
        seconds = statistics.median(rounds[key])
        entries[key] = row("engine", f"library gc_track to bigWig, {name} genome", seconds, key, "seqtally")
        limits[f"bigwig_{key}_seconds"] = seconds
    ratios = [b / a for a, b in zip(rounds["genome"], rounds["genome_gz"])]
    limits["bigwig_gzip_vs_plain"] = statistics.median(ratios)
    print(f"    bigWig, gzip against plain, {len(ratios)} rounds: median {statistics.median(ratios):.3f}, "
          f"from {min(ratios):.3f} to {max(ratios):.3f}", flush=True)
    if "wig_seconds" in limits:
        # The plain run against the module's wiggle run plus pyBigWig's own writing.
        entries["genome"]["ratio"] = limits["bigwig_genome_seconds"] / (limits["wig_seconds"] +
                                                                        limits["bigwig_library_seconds"])
    print(f"  bigWig from gzip costs {limits['bigwig_gzip_vs_plain']:.2f}x the plain input", flush=True)

    latencies = []
    for _ in range(reps):
        child = subprocess.Popen([sys.executable, "-c", INTERRUPT_CHILD, str(inputs["genome"])],
                                 stdout=subprocess.PIPE, text=True)
        child.stdout.readline()
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stopped = float(child.stdout.readline())
        child.wait()
        latencies.append(stopped - sent)
    limits["sigint_seconds"] = statistics.median(latencies)
    print(f"  SIGINT during a library call: KeyboardInterrupt after {limits['sigint_seconds'] * 1000:.0f} ms",
          flush=True)


# ---------------------------------------------------------------- callgrind


def instruction_count(op, args, function):
    with tempfile.TemporaryDirectory() as tmp:
        out_file = Path(tmp) / "callgrind.out"
        code = ("import json, sys, seqtally\n"
                "args = json.loads(sys.argv[2])\n"
                "getattr(seqtally, sys.argv[1])(*args)\n")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
                        f"--toggle-collect={function}", sys.executable, "-c", code, op, json.dumps(args)],
                       check=True, capture_output=True)
        total = None
        for line in out_file.read_text().splitlines():
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
                break
        # Instructions by library: how much of the work is OpenSSL's or
        # zlib's own, a figure that machine noise does not move.
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(out_file)],
                                   capture_output=True, text=True).stdout
        shares = {}
        for line in annotated.splitlines():
            match = re.match(r"\s*([\d,]+) \(.*\[(.*)\]$", line)
            if match:
                library = Path(match.group(2)).name.split(".")[0]
                shares[library] = shares.get(library, 0) + int(match.group(1).replace(",", ""))
    return total, shares


# ---------------------------------------------------------------- main


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    return {"cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(),
            "python": platform.python_version(), "date": time.strftime("%Y-%m-%d")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="16 MiB inputs and 100,000 reads: a smoke run")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--only", type=lambda text: set(text.split(",")), metavar="SECTIONS",
                        help="some of checksum,command,identity,store,tracks,indexed,stats,engine,reference,bgzip,intervals,service,identify,wiggle,wheel,callgrind (the limits always "
                        "run)")
    options = parser.parse_args()

    def wanted(section):
        return options.only is None or section in options.only

    reps = options.reps
    inputs = make_inputs(options.quick)
    size = {name: path.stat().st_size for name, path in inputs.items() if path.is_file()}
    # Uncompressed bytes: throughput of the gzip rows counts FASTA bytes.
    size["genome_gz"] = size["genome_bgzf"] = size["genome"]
    rows = []
    limits = {}

    def row(section, name, seconds, input_name, kind, limit=None, growth=None, note="", ratio=None):
        rate = size[input_name] / seconds / MB
        entry = {"section": section, "name": name, "input": input_name, "kind": kind, "seconds": seconds,
                 "mb_per_s": rate, "limit": limit, "growth": growth, "note": note, "ratio": ratio}
        rows.append(entry)
        print(f"  {kind:8} {name:58} {rate:9.1f} MB/s", flush=True)
        return entry

    print(f"inputs: " + ", ".join(f"{n} {size[n] / MB:.1f} MB" for n in ("genome", "reads", "long", "small")))
    shm = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())
    work = Path(tempfile.mkdtemp(prefix="seqtally-bench-", dir=shm))
    try:
        # Page cache warm for every input.
        for path in inputs.values():
            subprocess.run(f"cat {path}/* > /dev/null" if path.is_dir() else f"cat {path} > /dev/null", shell=True,
                           check=True)

        print("limits:", flush=True)
        sha_big, md5_big = openssl_rate("sha512", 1 << 20), openssl_rate("md5", 1 << 20)
        sha_150, md5_150 = openssl_rate("sha512", 150), openssl_rate("md5", 150)
        limits["digest"] = ceiling(sha_big, md5_big) / MB
        limits["digest150"] = ceiling(sha_150, md5_150) / MB
        limits["cat"] = size["genome"] / shell_seconds(reps, f"cat {inputs['genome']} > /dev/null") / MB
        compressed = inputs["genome_gz"].read_bytes()
        limits["inflate"] = size["genome"] / median_seconds(reps, lambda: zlib.decompress(compressed, 31)) / MB
        compressed = inputs["genome_bgzf"].read_bytes()
        limits["inflate_bgzf"] = size["genome"] / median_seconds(reps, lambda: inflate_members(compressed)) / MB
        del compressed
        print(f"  OpenSSL SHA-512 {sha_big / MB:.0f} MB/s, MD5 {md5_big / MB:.0f} MB/s -> digest ceiling "
              f"{limits['digest']:.0f} MB/s; 150-byte messages: {sha_150 / MB:.0f}, {md5_150 / MB:.0f} -> "
              f"{limits['digest150']:.0f} MB/s")
        print(f"  cat > /dev/null {limits['cat']:.0f} MB/s; zlib inflate (memory) {limits['inflate']:.0f} MB/s, "
              f"BGZF {limits['inflate_bgzf']:.0f} MB/s")

        if wanted("checksum"):
            print("checksum:", flush=True)
            for name, key, limit in (("genome", "genome", "digest"), ("1M reads" if not options.quick else "100k reads",
                                                                      "reads", "digest150"),
                                     ("256 MiB single line" if not options.quick else "single line", "long", "digest")):
                message = 150 if limit == "digest150" else 1 << 20
                # Three times the pairs: on a shared machine single pairs of these
                # one-second runs were seen anywhere from 76% to 97%.
                seconds, growth, ratio = paired(3 * reps, lambda: digest_seconds(message, size[key]),
                                                lambda: seqtally_run(1, "checksum", [str(inputs[key])]))
                entry = row("checksum", f"seqtally checksum, {name}", seconds, key, "seqtally", limit, growth,
                            ratio=ratio)
                entry["largest_record"] = largest_record(inputs[key])
                row("checksum", f"Python hashlib script, {name}", python_peer(reps, HASHLIB_SCRIPT, inputs[key]), key,
                    "peer")
                if key != "long":
                    row("checksum", f"Biopython SeqIO + hashlib, {name}",
                        python_peer(reps, BIOPYTHON_SCRIPT, inputs[key]), key, "peer")
                if have("seqkit"):
                    row("checksum", f"seqkit fx2tab -n -l -s (MD5 only), {name}",
                        shell_seconds(reps, f"seqkit fx2tab -n -l -s {inputs[key]}"), key, "peer-partial",
                        note="MD5 only, no SHA-512; 2 threads")
                    row("checksum", f"seqkit fx2tab -n -l (lengths only), {name}",
                        shell_seconds(reps, f"seqkit fx2tab -n -l {inputs[key]}"), key, "context",
                        note="lengths only, no digest: the cost of parsing alone")

        if wanted("command"):
            command_rows(reps, inputs, size, limits, work, row)
        if wanted("identity"):
            identity_rows(reps, inputs, size, work, row)
        if wanted("store"):
            store_rows(reps, size, work, row)
        if wanted("tracks"):
            track_rows(reps, inputs, limits, work, row)
        if wanted("stats"):
            stats_rows(reps, inputs, work, row)
        if wanted("indexed"):
            indexed_track_rows(reps, inputs, work, row)
        if wanted("engine"):
            engine_rows(reps, inputs, size, limits, work, row)
        if wanted("reference"):
            reference_rows(reps, inputs, size, limits, work, row)
        if wanted("bgzip") and have("bgzip") and have("samtools"):
            bgzip_rows(reps, inputs, size, limits, work, row)
        if wanted("intervals"):
            from intervals import interval_rows

            interval_rows(reps, inputs, size, work, row, str(Path(sys.executable).parent / "seqtally"))
        if wanted("service"):
            service_rows(reps, inputs, size, limits, work, row)
        if wanted("identify"):
            identify_rows(limits, work, 100 if options.quick else 1000)
        if wanted("wheel"):
            wheel_rows(reps, inputs, work, row, interleaved)

        if wanted("wiggle"):
            print("wiggle:", flush=True)
            track = work / "track.wig"
            cat = lambda: shell_seconds(1, f"cat {inputs['genome']} > /dev/null")  # noqa: E731
            for window in (100, 5):
                seconds, growth, ratio = paired(
                    reps, cat, lambda: seqtally_run(1, "write", write_args(inputs["genome"], track, 6, window)))
                row("wiggle", f"seqtally plain in, plain out, window {window}", seconds, "genome", "seqtally", "cat",
                    growth, ratio=ratio)
            for key, name, kind, inflate in (
                    ("genome_gz", "gzip in (gzip -6)", "inflate", lambda data: zlib.decompress(data, 31)),
                    ("genome_bgzf", "BGZF in", "inflate_bgzf", inflate_members)):
                compressed = inputs[key].read_bytes()
                seconds, growth, ratio = paired(
                    reps, lambda: median_seconds(1, lambda: inflate(compressed)),
                    lambda: seqtally_run(1, "write", write_args(inputs[key], track, 6, 100)))
                del compressed
                row("wiggle", f"seqtally {name}, window 100", seconds, key, "seqtally", kind, growth, ratio=ratio)
            seconds, growth = seqtally_run(reps, "write", write_args(inputs["long"], track, 6, 100))
            entry = row("wiggle", "seqtally single-line record, window 100", seconds, "long", "seqtally", None, growth)
            entry["largest_record"] = largest_record(inputs["long"])

            for window in (100, 5):
                seqtally_run(1, "write", write_args(inputs["genome"], track, 6, window))
                data = track.read_bytes()
                # The floor of a plain run: reading the input (cat) plus writing
                # the same track bytes to the same place in 64 KiB writes.
                write_seconds = median_seconds(reps, lambda: write_in_blocks(work / "floor.wig", data))
                plain_row = next(r for r in rows if r["name"] == f"seqtally plain in, plain out, window {window}")
                plain_row["io_floor_seconds"] = size["genome"] / (limits["cat"] * MB) + write_seconds
                plain_row["track_bytes"] = len(data)
                for level in (1, 6):
                    def deflate():
                        compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
                        compressor.compress(data)
                        compressor.flush()

                    # Per repetition: zlib alone, then seqtally with gzip output,
                    # then the same run with plain output; the writer's share is
                    # the gzip run less the plain one, as a multiple of zlib's time.
                    times, shares, growth = [], [], 0
                    for _ in range(reps):
                        zlib_seconds = median_seconds(1, deflate)
                        seconds, used = seqtally_run(1, "write", write_args(inputs["genome"], work / "track.wig.gz",
                                                                            level, window))
                        plain_seconds, _ = seqtally_run(1, "write", write_args(inputs["genome"], track, 6, window))
                        times.append(seconds)
                        shares.append((seconds - plain_seconds) / zlib_seconds)
                        growth = max(growth, used)
                    entry = row("wiggle", f"seqtally gzip out level {level}, window {window}", statistics.median(times),
                                "genome", "seqtally", "deflate", growth, ratio=statistics.median(shares))
                    entry["track_bytes"] = len(data)
                del data

            sizes = work / "genome.sizes"
            seqtally.write_seqtally_to_file(str(inputs["genome"]), str(track), 6, 100, False, str(sizes), True, False)
            small_sizes = work / "small.sizes"
            seqtally.write_seqtally_to_file(str(inputs["small"]), str(track), 6, 100, False, str(small_sizes), True,
                                            False)
            for window, key, sizes_path in ((100, "genome", sizes), (5, "small", small_sizes)):
                where = inputs[key]
                if have("seqkit"):
                    row("wiggle", f"seqkit sliding | seqkit fx2tab -n -g, window {window}",
                        shell_seconds(reps, f"seqkit sliding -W {window} -s {window} {where} | seqkit fx2tab -n -g"),
                        key, "peer")
                    if window == 100:
                        row("wiggle", "seqkit (gzip in) sliding | fx2tab -n -g, window 100",
                            shell_seconds(reps, f"seqkit sliding -W 100 -s 100 {inputs['genome_gz']} | "
                                                f"seqkit fx2tab -n -g"), "genome", "peer")
                if have("bedtools"):
                    row("wiggle", f"bedtools makewindows | bedtools nuc, window {window}",
                        shell_seconds(reps, f"bedtools makewindows -g {sizes_path} -w {window} | "
                                            f"bedtools nuc -fi {where} -bed -"), key, "peer")

        counts = {}
        if not options.no_callgrind and have("valgrind") and wanted("callgrind"):
            print("instruction counts (callgrind, 16 MiB genome):", flush=True)
            small = inputs["small"]
            small_gz = work / "small.fa.gz"
            with open(small_gz, "wb") as out:
                subprocess.run(["gzip", "-6", "-c", str(small)], stdout=out, check=True)
            for label, op, args, function in (
                ("checksum", "checksum", [str(small)], "*call_frame<seqtally::py::checksum_fastcall*"),
                ("wiggle window 100", "write_seqtally_to_file", write_args(small, track, 6, 100),
                 "*call_frame<seqtally::py::write_seqtally_to_file_fastcall*"),
                ("wiggle window 5", "write_seqtally_to_file", write_args(small, track, 6, 5),
                 "*call_frame<seqtally::py::write_seqtally_to_file_fastcall*"),
                ("wiggle gzip in, window 100", "write_seqtally_to_file", write_args(small_gz, track, 6, 100),
                 "*call_frame<seqtally::py::write_seqtally_to_file_fastcall*"),
                ("wiggle gzip out level 6, window 100", "write_seqtally_to_file",
                 write_args(small, work / "t.wig.gz", 6, 100), "*call_frame<seqtally::py::write_seqtally_to_file_fastcall*"),
            ):
                total, shares = instruction_count(op, args, function)
                counts[label] = {"total": total, "by_library": shares}
                top = ", ".join(f"{name} {100 * n / total:.0f}%" for name, n in
                                sorted(shares.items(), key=lambda item: -item[1])[:3])
                print(f"  {label:40} {total:>15,} instructions ({total / size['small']:.2f} per input byte; "
                      f"{top})", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    report = {"machine": machine(), "reps": reps, "quick": options.quick, "limits": limits, "rows": rows,
              "instructions": counts, "sizes": size}
    print_table(report)
    RESULTS.mkdir(exist_ok=True)
    name = "quick" if options.quick else "latest" if options.only is None else "partial"
    (RESULTS / f"{name}.json").write_text(json.dumps(report, indent=1))


def print_table(report):
    limits, rows = report["limits"], report["rows"]
    print()
    print(f"{'':60} {'MB/s':>8} {'vs limit':>22} {'vs best peer':>13} {'vs partial':>12} {'working mem':>11}")
    for section in ("checksum", "command", "identity", "store", "reference", "intervals", "service", "tracks", "indexed", "stats",
                    "bgzip", "wiggle", "wheel"):
        ours = [r for r in rows if r["section"] == section and r["kind"] == "seqtally"]
        for r in ours:
            memory = "-" if r["growth"] is None else f"{r['growth'] / MiB:7.1f} MiB"
            print(f"{r['name']:60} {r['mb_per_s']:8.0f} {limit_text(r, limits):>22} "
                  f"{peer_text(r, rows):>13} {peer_text(r, rows, everything=True):>12} {memory:>11}")
        for r in rows:
            if r["section"] == section and r["kind"] != "seqtally":
                note = " (" + r["note"] + ")" if r["note"] else ""
                print(f"{r['name'] + note:60} {r['mb_per_s']:8.0f}")
    print()
    for r in rows:
        if "speedup" in r:
            print(f"{r['name'].replace('--jobs 2', '--jobs 2 against 1')}: {r['speedup']:.2f}x faster")
    if "per_file_us" in limits:
        print(f"the command: {limits['command_startup_ms']:.0f} ms to start; per small file "
              f"{limits['per_file_us']:.0f} us on top of the module's {limits['module_per_file_us']:.0f} us")
    for r in rows:
        if "io_floor_seconds" in r:
            print(f"{r['name']}: reading the input and writing its {r['track_bytes'] / MB:.0f} MB track alone take "
                  f"{r['io_floor_seconds']:.3f} s; seqtally takes {r['seconds']:.3f} s "
                  f"({100 * r['io_floor_seconds'] / r['seconds']:.0f}% of it is that floor)")
    if "bigwig_library_seconds" in limits:
        print(f"tracks: the plain wiggle run takes {limits['wig_seconds']:.3f} s, pyBigWig alone writes its "
              f"intervals from arrays in {limits['bigwig_library_seconds']:.3f} s")
    if "engine_call_us" in limits:
        print(f"engine: a call on a tiny file costs {limits['engine_call_us']:.1f} us (the module "
              f"{limits['module_call_us']:.1f} us, {limits['engine_call_us'] / limits['module_call_us']:.2f}x); a "
              f"Python thread beside calls keeps {limits['python_thread_share']:.0%} of its speed; bigWig from gzip "
              f"costs {limits['bigwig_gzip_vs_plain']:.2f}x the plain input; SIGINT ends a call after "
              f"{limits['sigint_seconds'] * 1000:.0f} ms")
    if "index_vs_three" in limits:
        print(f"reference: seqtally index is {limits['index_vs_three']:.2f}x faster than samtools faidx, samtools "
              f"dict and refget's digest one after another; FastaFile.fetch {limits['fetch_per_s']:.0f} regions/s, "
              f"pysam.FastaFile {limits['pysam_fetch_per_s']:.0f}/s "
              f"({limits['fetch_per_s'] / limits['pysam_fetch_per_s']:.2f}x)")
    for r in rows:
        if r["section"] == "wheel" and r["ratio"]:
            print(f"wheel: {r['name'].removesuffix(' (wheel)')} takes {r['ratio']:.3f}x the gcc build's time")
    for line in service_summary(limits):
        print(line)
    for database in ("sqlite", "postgresql"):
        if f"identify_{database}_ms" in limits:
            print(f"identify: one BAM header against 1,000 collections on {database}: "
                  f"{limits[f'identify_{database}_ms']:.1f} ms (target 100 ms)")
    for r in rows:
        if "vs_gc_wiggle" in r:
            peer = f"; {r['ratio']:.2f}x seqkit stats -a -j 2's rate" if r.get("ratio") else ""
            print(f"stats: {r['vs_gc_wiggle']:.2f}x the rate of seqtally gc to a plain wiggle{peer}")
    for r in rows:
        if "peak" in r:
            compare = f", plain input {r['peak_plain'] / MiB:.1f} MiB" if "peak_plain" in r else ""
            print(f"memory, {r['name']}: largest process {r['peak'] / MiB:.1f} MiB{compare}")
    for r in rows:
        if "largest_record" in r and r["growth"] is not None:
            budget = r["largest_record"] + 16 * MiB
            print(f"memory, {r['name']}: {r['growth'] / MiB:.1f} MiB for a largest record of "
                  f"{r['largest_record'] / MiB:.1f} MiB (budget {budget / MiB:.1f} MiB)")


def comparable_peers(r, rows, everything=False):
    """Peers that read the same input and do the same work (with
    `everything`, also those that do part of it)."""
    window = r["name"].rsplit("window ", 1)[-1] if "window" in r["name"] else None
    kinds = ("peer", "peer-partial") if everything else ("peer",)
    peers = [p for p in rows if p["kind"] in kinds and p["section"] == r["section"]]
    if r["section"] in ("checksum", "service"):
        return [p for p in peers if p["input"] == r["input"]]
    return [p for p in peers if window is not None and p["name"].endswith(f"window {window}")]


def peer_text(r, rows, everything=False):
    peers = comparable_peers(r, rows, everything)
    if not peers:
        return "-"
    best = max(peers, key=lambda p: p["mb_per_s"])
    return f"{r['mb_per_s'] / best['mb_per_s']:.1f}x"


def limit_text(r, limits):
    """The paired ratio of a row to its limit (see paired())."""
    kind, ratio = r["limit"], r.get("ratio")
    if ratio is None:
        return "-"
    if kind in ("digest", "digest150"):
        return f"{100 * ratio:.0f}% of digest{'@150B' if kind == 'digest150' else ''}"
    if kind == "cat":
        return f"{100 * ratio:.1f}% of cat"
    if kind in ("inflate", "inflate_bgzf"):
        return f"{100 * ratio:.0f}% of inflate"
    if kind == "deflate":
        return f"{ratio:.2f}x zlib deflate"
    if kind == "checksum":
        return f"{ratio:.2f}x checksum's time"
    if kind == "index":
        return f"{ratio:.2f}x index's time (BGZF)"
    if kind == "bigwig":
        return f"{ratio:.2f}x (wig + pyBigWig)"
    if kind == "default":
        return f"{ratio:.2f}x the default count"
    if kind == "plain":
        return f"{ratio:.2f}x plain, {100 * r['vs_inflate']:.0f}% infl."
    if kind == "seqcol":
        return f"{ratio:.2f}x seqcol's time"
    if kind == "own plain":
        return f"{ratio:.2f}x its plain time"
    if kind is not None and kind.startswith("faster than "):
        return f"{ratio:.2f}x {kind.removeprefix('faster than ').split(',')[0]}"
    return "-"


if __name__ == "__main__":
    import seqtally  # noqa: F401  (fails early when the module is not installed)

    main()
