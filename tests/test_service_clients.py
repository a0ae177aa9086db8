"""Real clients of a store and its service: samtools decodes a CRAM with
the service as REF_PATH, and with the store's folder as REF_CACHE (also
one written before it followed htslib's names), and headless Chromium
renders the page."""
import gzip
import os
import random
import shutil
import subprocess

import pytest

from conftest import SOURCE, cli, lambda_phage
from servers import SEQCOL_FILES, Server, add, foreign_environment, to_32_digit_names

SCREENSHOT = SOURCE / "docs" / "service.png"


def _cram_against_lambda(folder):
    """A CRAM of 300 reads (some with mismatches) made against the lambda
    phage genome, and the SAM that samtools decodes from it with the FASTA."""
    if shutil.which("samtools") is None:
        pytest.skip("samtools is not installed (scripts/test installs it)")
    genome = lambda_phage()
    fasta = folder / "lambda.fa"
    fasta.write_bytes(genome)
    name = genome.split(b"\n", 1)[0][1:].split()[0].decode()
    bases = b"".join(genome.split(b"\n")[1:]).decode()
    rng = random.Random(31)
    lines = [f"@SQ\tSN:{name}\tLN:{len(bases)}"]
    for number, at in enumerate(sorted(rng.randrange(len(bases) - 100) for _ in range(300))):
        read = list(bases[at:at + 100])
        for _ in range(rng.randrange(3)):
            where = rng.randrange(100)
            read[where] = "ACGT"[("ACGT".index(read[where]) + 1) % 4]
        lines.append(f"r{number}\t0\t{name}\t{at + 1}\t60\t100M\t*\t0\t0\t{''.join(read)}\t{'I' * 100}")
    sam = folder / "reads.sam"
    sam.write_text("\n".join(lines) + "\n")
    cram = folder / "reads.cram"
    subprocess.run(["samtools", "view", "-C", "-T", fasta, "-o", cram, sam], check=True, timeout=60,
                   env=foreign_environment())
    expected = subprocess.run(["samtools", "view", "-T", fasta, cram], capture_output=True, check=True, timeout=60,
                              env=foreign_environment())
    return fasta, cram, expected.stdout


def _decoded(cram, **environment):
    done = subprocess.run(["samtools", "view", cram], capture_output=True, timeout=120,
                          env={**foreign_environment(), **environment})
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("layout", ["htslib", "32-digit names"])
def test_samtools_decodes_a_cram_from_the_service_and_from_the_store(tmp_path, layout):
    fasta, cram, expected = _cram_against_lambda(tmp_path)
    store = tmp_path / "store"
    # Plain gzip, as genomes are downloaded: no conversion to BGZF first.
    (tmp_path / "lambda.fa.gz").write_bytes(gzip.compress(fasta.read_bytes()))
    add(store, tmp_path / "lambda.fa.gz")
    # Out of reach of the CRAM's UR: tag, or samtools quietly reads the
    # FASTA and never asks the service or the store.
    fasta.rename(tmp_path / "lambda.moved")
    if layout != "htslib":
        # A store written before its files were named as htslib expands
        # %2s/%2s/%s: the next command that opens it renames them, saying so.
        assert to_32_digit_names(store / "sequences") == 1
        again = cli("store", "add", "-q", store, tmp_path / "lambda.fa.gz")
        assert again.returncode == 0 and again.stderr.decode() == (
            f"seqtally: note: {store}: 1 sequence file renamed to htslib's REF_CACHE layout "
            f"(REF_CACHE={store}/sequences/%2s/%2s/%s)\n")
    server = Server(store)
    try:
        cache = tmp_path / "empty-cache"  # so that nothing comes from an earlier run
        from_service = _decoded(cram, REF_PATH=f"{server.url}/sequence/%s", REF_CACHE=f"{cache}/%2s/%2s/%s")
    finally:
        server.stop()
    from_store = _decoded(cram, REF_PATH=":", REF_CACHE=f"{store}/sequences/%2s/%2s/%s")
    assert len(expected.splitlines()) == 300
    assert from_service == expected and from_store == expected


def test_chromium_shows_the_store_its_collections_and_a_comparison(tmp_path):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("Debian's chromium is not installed (scripts/test installs it)")
    add(tmp_path, *SEQCOL_FILES)
    server = Server(tmp_path)

    def browse(path, *options):
        done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               f"--user-data-dir={tmp_path / 'profile'}", *options, server.url + path],
                              capture_output=True, timeout=120, env=foreign_environment())
        assert done.returncode == 0, done.stderr[-2000:]
        return done.stdout.decode()

    base, subset = "XZlrcEGi6mlopZ2uD8ObHkQB1d0oDwKk", "sv7GIP1K0qcskIKF3iaBmQpaum21vH74"
    try:
        home = browse("/", "--dump-dom")
        collection = browse(f"/page/collection/{base}", "--dump-dom")
        comparison = browse(f"/page/comparison?a={base}&b={subset}", "--dump-dom")
        shot = SCREENSHOT if os.environ.get("SEQTALLY_SCREENSHOT") == "refresh" else tmp_path / "service.png"
        browse(f"/page/comparison?a={base}&b={subset}", f"--screenshot={shot}", "--window-size=1100,900")
    finally:
        server.stop()
    assert "6 collections" in home and base in home and "base.fa" in home and "<select" in home
    assert all(name in collection for name in ("chrX", "SQ.iYtREV555dUFKg2_agSJW6suquUyPpMw", "8"))
    assert "B is a subset of A" in comparison and "only in A" in comparison and "chr2 (4)" in comparison
    assert shot.stat().st_size > 10_000
