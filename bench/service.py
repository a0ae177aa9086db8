"""The reference service against the GA4GH reference implementation
(refget 0.12): filling a store, and requests per second with wrk, 16
connections, one worker process each. Part of bench/suite.py (section
`service`); its figures go to the table's limits as service_*.

The 1 kb subsequences and the whole 64 MiB sequence are measured against
the same server's own ceilings, served by the same process beside the
service's routes: a constant 1 kb answer, and Starlette's StaticFiles over
the store's folder (the same bytes as a static file)."""
import contextlib
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from seqtally_tools import Store

HERE = Path(__file__).resolve().parent
SHARED = next((folder / "shared" / "data" / "seqcol" for folder in HERE.parents
               if (folder / "shared" / "data" / "seqcol").is_dir()), None)
SEQUENCE_BASES = 64 << 20
WRK_SECONDS = 5

# The service's application with the two ceilings beside it, for uvicorn's
# --factory (the store from SEQTALLY_STORE, as `seqtally serve` hands it).
CEILINGS_APP = r"""
import os
from starlette.responses import Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from seqtally_tools.service import from_environment

ONE_KB = b"ACGT" * 256

async def constant(request):
    return Response(ONE_KB, media_type="text/vnd.ga4gh.refget.v2.0.0+plain")

def make():
    application = from_environment()
    # The ceiling first, so that it pays for no route matched before it;
    # the static files last: they only serve whole files, where a route
    # matched more or less does not count.
    application.router.routes.insert(0, Route("/constant", constant))
    application.router.routes.append(
        Mount("/static", StaticFiles(directory=os.path.join(os.environ["SEQTALLY_STORE"], "sequences"))))
    return application
"""

# Requests made alike for both (a random start each), so that wrk's own
# work per request is the same on the two rows.
RANDOM_1KB = """
math.randomseed(7)
request = function()
  local start = math.random(0, %d - 1024)
  return wrk.format("GET", "%s?start=" .. start .. "&end=" .. (start + 1024))
end
"""

# Both stores timed the same way: the add alone, in a fresh process, without
# the interpreter's start and imports.
OUR_INGEST = r"""
import sys, time
from seqtally_tools import Store
store = Store(sys.argv[2], create=True)
started = time.perf_counter()
store.add(sys.argv[1])
print(time.perf_counter() - started)
"""

PEER_INGEST = r"""
import sys, time
from refget.store import RefgetStore
store = RefgetStore.on_disk(sys.argv[2])
store.set_quiet(True)
started = time.perf_counter()
store.add_sequence_collection_from_fasta(sys.argv[1])
print(time.perf_counter() - started)
"""


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _rss(pid):
    with contextlib.suppress(OSError, StopIteration):
        with open(f"/proc/{pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) * 1024
    return 0


class Served:
    """A server process on loopback, until the block ends."""

    def __init__(self, command, environment, check_path):
        self.port = _free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.process = subprocess.Popen([*command, "--port", str(self.port)], env={**os.environ, **environment},
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.monotonic() + 60
        while subprocess.run(["curl", "-sf", "-o", "/dev/null", self.url + check_path]).returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"server did not start: {self.process.stderr.read()[-2000:]!r}")
            time.sleep(0.2)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait(30)


def wrk_rate(url, connections=16, script=None):
    """Requests per second over WRK_SECONDS; fails on any non-2xx answer."""
    command = ["wrk", "-t2", f"-c{connections}", f"-d{WRK_SECONDS}s", url]
    if script:
        command[1:1] = ["-s", str(script)]
    out = subprocess.run(command, capture_output=True, text=True, check=True, timeout=WRK_SECONDS + 60).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"wrk saw errors:\n{out}")
    return float(re.search(r"Requests/sec:\s+([0-9.]+)", out)[1])


def _long_sequence(work):
    sys.path.insert(0, str(HERE))
    import random

    from gen_fasta import chromosome

    bases = chromosome(random.Random(64), SEQUENCE_BASES).upper()
    path = work / "seq64.fa"
    with open(path, "wb") as out:
        out.write(b">seq64\n" + b"\n".join(bases[i:i + 60] for i in range(0, len(bases), 60)) + b"\n")
    import hashlib

    return path, hashlib.md5(bases).hexdigest()


def service_rows(reps, inputs, size, limits, work, row):
    if shutil.which("wrk") is None or SHARED is None:
        print("service: skipped (wrk or shared/data/seqcol missing)")
        return
    print("service:", flush=True)
    command = Path(sys.executable).parent / "seqtally"
    genome_gz, bgzf = inputs["genome_gz"], work / "genome-index.fa.gz"
    shutil.copyfile(inputs["genome_bgzf"], bgzf)

    # Ingest: store add of the gzip genome against index of its BGZF copy,
    # in turn, each store new; and the reference implementation's store.
    # Each run starts with nothing dirty in the page cache: the writeback of
    # what ran before (the copies above, the last add's 268 MB) would
    # otherwise throttle the add's own writes, and the pairs' ratios spread
    # from 0.9x to 1.6x.
    pairs = []
    for _ in range(3 * reps):
        store = work / "ingest-store"
        shutil.rmtree(store, ignore_errors=True)
        os.sync()
        started = time.perf_counter()
        subprocess.run([command, "index", "--force", "-q", bgzf], check=True)
        indexed = time.perf_counter() - started
        os.sync()
        started = time.perf_counter()
        subprocess.run([command, "store", "add", "-q", store, genome_gz], check=True, stdout=subprocess.DEVNULL)
        pairs.append((indexed, time.perf_counter() - started))
    ours = row("service", "seqtally store add, gzip genome", statistics.median(b for _, b in pairs), "genome_gz",
               "seqtally", "index", ratio=statistics.median(b / a for a, b in pairs))
    # The reference implementation keeps a digest cache (.rgsi) beside its
    # input, which would spare it the work on a second run.
    caches = lambda: [p for p in genome_gz.parent.glob("*.rgsi")]  # noqa: E731
    times = {"seqtally": [], "refget": []}
    for _ in range(reps):
        for name, script, folder in (("seqtally", OUR_INGEST, "ours-timed"), ("refget", PEER_INGEST, "peer-store")):
            shutil.rmtree(work / folder, ignore_errors=True)
            for cache in caches():
                cache.unlink()
            out = subprocess.run([sys.executable, "-c", script, genome_gz, work / folder], capture_output=True,
                                 text=True, check=True)
            times[name].append(float(out.stdout.split()[-1]))
    peer = row("service", "refget RefgetStore.add_sequence_collection_from_fasta, gzip genome",
               statistics.median(times["refget"]), "genome_gz", "peer")
    timed = row("service", "seqtally Store.add, gzip genome (the add alone, as the peer)",
                statistics.median(times["seqtally"]), "genome_gz", "seqtally")
    limits["service_ingest_vs_index"] = ours["ratio"]
    limits["service_ingest_vs_peer"] = peer["seconds"] / timed["seconds"]
    files = [f for f in (work / "ingest-store").rglob("*") if f.is_file()]
    bases = sum(f.stat().st_size for f in files if "sequences" in f.parts)
    limits["service_store_bytes_per_base"] = sum(f.stat().st_size for f in files) / bases
    shutil.rmtree(work / "peer-store", ignore_errors=True)
    shutil.rmtree(work / "ours-timed", ignore_errors=True)

    # Requests: the six seqcol compliance collections and one 64 MiB sequence,
    # in our store and in the reference implementation's.
    fastas = sorted(SHARED.glob("*.fa"))
    long_fasta, long_md5 = _long_sequence(work)
    store = work / "served-store"
    shutil.rmtree(store, ignore_errors=True)
    subprocess.run([command, "store", "add", "-q", store, *fastas, long_fasta], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([sys.executable, "-c", "import sys\nfrom refget.store import RefgetStore\n"
                    "s = RefgetStore.on_disk(sys.argv[1]); s.set_quiet(True)\n"
                    "[s.add_sequence_collection_from_fasta(f) for f in sys.argv[2:]]", work / "peer-served",
                    *fastas], check=True)
    base, subset = "XZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk", "sv7GIP1K0qcskIKF3iaBmQpaum21vH74"
    paths = {"collection level 2": f"/collection/{base}?level=2", "comparison": f"/comparison/{base}/{subset}"}
    # Both servers up at once and measured in turn, 3x the pairs: on a
    # shared machine the drift then falls on both alike; each ratio is the
    # median of the pairs' own.
    peer_command = [Path(sys.executable).parent / "uvicorn", "refget.seqcolapi.main:store_app", "--workers", "1",
                    "--no-access-log", "--log-level", "warning"]
    with Served([command, "serve", store, "--workers", "1"], {}, "/service-info") as ours, \
            Served(peer_command, {"REFGET_STORE_PATH": str(work / "peer-served")}, "/service-info") as theirs:
        for name, path in paths.items():
            pairs = [(wrk_rate(ours.url + path), wrk_rate(theirs.url + path)) for _ in range(3 * reps)]
            key = f"service_{name.replace(' ', '_')}"
            limits[f"{key}_per_s"] = statistics.median(a for a, _ in pairs)
            limits[f"{key}_vs_peer"] = statistics.median(a / b for a, b in pairs)
            print(f"  {name}: seqtally {limits[f'{key}_per_s']:.0f}/s, refget seqcolapi "
                  f"{statistics.median(b for _, b in pairs):.0f}/s, {limits[f'{key}_vs_peer']:.2f}x", flush=True)

    # 1 kb at random places and the whole 64 MiB sequence, against the same
    # process's constant 1 kb answer and StaticFiles over the same file.
    (work / "ceilings_app.py").write_text(CEILINGS_APP)
    (work / "random1kb.lua").write_text(RANDOM_1KB % (SEQUENCE_BASES, f"/sequence/{long_md5}"))
    (work / "constant1kb.lua").write_text(RANDOM_1KB % (SEQUENCE_BASES, "/constant"))
    with Store(store) as opened:  # the store's own name for the file, htslib's REF_CACHE layout
        static = "/static/" + os.path.relpath(opened.sequence_path(long_md5), opened.sequences)
    with Served([Path(sys.executable).parent / "uvicorn", "--factory", "ceilings_app:make", "--app-dir", work,
                 "--workers", "1", "--no-access-log", "--log-level", "warning"], {"SEQTALLY_STORE": str(store)},
                "/constant") as served:
        pairs = [(wrk_rate(served.url + "/", script=work / "random1kb.lua"),
                  wrk_rate(served.url + "/", script=work / "constant1kb.lua")) for _ in range(3 * reps)]
        limits["service_1kb_per_s"] = statistics.median(a for a, _ in pairs)
        limits["service_constant_1kb_per_s"] = statistics.median(b for _, b in pairs)
        limits["service_1kb_vs_constant"] = statistics.median(a / b for a, b in pairs)
        before = _rss(served.process.pid)
        peak = [before]
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.02):
                peak[0] = max(peak[0], _rss(served.process.pid))

        sampler = threading.Thread(target=sample)
        sampler.start()
        whole = statistics.median(wrk_rate(f"{served.url}/sequence/{long_md5}", connections=4) for _ in range(reps))
        sampling.set()
        sampler.join()
        static_rate = statistics.median(wrk_rate(served.url + static, connections=4) for _ in range(reps))
    limits["service_whole_mb_per_s"] = whole * SEQUENCE_BASES / 1e6
    limits["service_static_mb_per_s"] = static_rate * SEQUENCE_BASES / 1e6
    limits["service_whole_growth_mib"] = (peak[0] - before) / (1 << 20)
    for line in service_summary(limits):
        print("  " + line, flush=True)


def service_summary(limits):
    """The service's figures, one line a target."""
    if "service_1kb_per_s" not in limits:
        return []
    get = limits.get
    return [
        f"service: store add of the gzip genome {get('service_ingest_vs_index'):.2f}x the time of index of its BGZF "
        f"copy, {get('service_ingest_vs_peer'):.2f}x faster than refget's RefgetStore; the store holds "
        f"{get('service_store_bytes_per_base'):.4f} bytes per base",
        f"service: /collection level 2 {get('service_collection_level_2_per_s'):.0f}/s "
        f"({get('service_collection_level_2_vs_peer'):.2f}x refget's seqcolapi), /comparison "
        f"{get('service_comparison_per_s'):.0f}/s ({get('service_comparison_vs_peer'):.2f}x), one worker each, "
        f"16 connections",
        f"service: 1 kb subsequences at random {get('service_1kb_per_s'):.0f}/s, "
        f"{get('service_1kb_vs_constant'):.2f}x a constant 1 kb answer "
        f"({get('service_constant_1kb_per_s'):.0f}/s); the whole 64 MiB sequence {get('service_whole_mb_per_s'):.0f} "
        f"MB/s, Starlette StaticFiles {get('service_static_mb_per_s'):.0f} MB/s; server memory "
        f"+{get('service_whole_growth_mib'):.1f} MiB",
    ]
