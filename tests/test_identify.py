"""identify: headers that samtools, bcftools and pyBigWig write, from the
lambda genome cut into records and from renamed, reordered, truncated and
altered copies of it, related to a store and to the FASTA itself; repaired
headers applied by samtools and bcftools reheader and read back."""
import html
import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import seqtally_tools
from conftest import cli, lambda_phage

pytestmark = pytest.mark.skipif(not (shutil.which("samtools") and shutil.which("bcftools")),
                                reason="samtools and bcftools make the headers (scripts/test installs them)")

# Unequal cuts: no two records share a length.
CUTS = (0, 6000, 15000, 27000, 35000, None)
NAMES = [f"chr{i}" for i in range(1, 6)]
VCF_BODY = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def _records():
    bases = b"".join(lambda_phage().split(b"\n")[1:])
    return [(name, bases[a:b]) for name, a, b in zip(NAMES, CUTS, CUTS[1:])]


def _changed(records, index):
    name, bases = records[index]
    return [*records[:index], (name, bases[:100] + (b"A" if bases[100:101] != b"A" else b"C") + bases[101:]),
            *records[index + 1:]]


VARIANTS = {
    "same": lambda r: r,
    "renamed": lambda r: [(name[3:], bases) for name, bases in r],
    "reordered": lambda r: r[::-1],
    "truncated": lambda r: r[:3],
    "extra": lambda r: [*r, ("extra", r[0][1][::-1])],
    "one-base": lambda r: _changed(r, 2),
    # chr1's name given to chr2's sequence and the reverse.
    "swapped": lambda r: [(r[1][0], r[0][1]), (r[0][0], r[1][1]), *r[2:]],
}


def _run(*command, stdout=subprocess.PIPE):
    return subprocess.run(command, check=True, stdout=stdout, stderr=subprocess.PIPE)


def _header(folder, variant, form):
    """The variant's FASTA, and its header as samtools or bcftools writes
    it: form "bam" and "cram" from samtools dict (with M5), "nom5.dict" that
    dictionary without M5, "vcf" and "bcf" from the .fai (lengths only),
    "sizes" its first two columns."""
    fasta = folder / f"{variant}.fa"
    if not fasta.exists():
        fasta.write_bytes(b"".join(b">%s\n%s\n" % (n.encode(), s) for n, s in VARIANTS[variant](_records())))
        _run("samtools", "faidx", fasta)
        _run("samtools", "dict", "-o", f"{fasta}.dict", fasta)
    out = folder / f"{variant}.{form}"
    if form in ("bam", "cram"):
        _run("samtools", "view", "-T", fasta, "-C" if form == "cram" else "-b", "-o", out, f"{fasta}.dict")
    elif form in ("vcf", "bcf"):
        (folder / "empty.vcf").write_text(VCF_BODY)
        _run("bcftools", "reheader", "--fai", f"{fasta}.fai", "-o", folder / "plain.vcf", folder / "empty.vcf")
        _run("bcftools", "view", "-O", "v" if form == "vcf" else "b", "-o", out, folder / "plain.vcf")
    elif form == "nom5.dict":
        out.write_text(re.sub(r"\tM5:\w+", "", Path(f"{fasta}.dict").read_text()))
    else:
        out.write_text("".join("\t".join(line.split("\t")[:2]) + "\n"
                               for line in (folder / f"{variant}.fa.fai").read_text().splitlines()))
    return out


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    folder = tmp_path_factory.mktemp("identify")
    reference = folder / "reference.fa"
    reference.write_bytes(b"".join(b">%s\n%s\n" % (n.encode(), s) for n, s in _records()))
    with seqtally_tools.Store(folder / "store", create=True) as store:
        digest = store.add(reference).digest
    return folder, reference, digest


@pytest.mark.parametrize("variant, form, relation, renamed, conflicts", [
    ("same", "bam", "identical", {}, []),
    ("same", "cram", "identical", {}, []),
    ("reordered", "cram", "reordered", {}, []),
    ("reordered", "nom5.dict", "reordered", {}, []),
    ("renamed", "bam", "renamed", {n[3:]: n for n in NAMES}, []),  # by M5
    ("renamed", "bcf", "renamed", {n[3:]: n for n in NAMES}, []),  # lengths alone
    ("renamed", "sizes", "renamed", {n[3:]: n for n in NAMES}, []),
    ("truncated", "vcf", "subset", {}, []),
    ("extra", "bam", "superset", {}, []),
    ("one-base", "bam", "conflicting", {}, ["chr3"]),
    ("one-base", "vcf", "identical", {}, []),  # no md5 in the header: nothing to tell it by
    ("swapped", "vcf", "conflicting", {}, ["chr2", "chr1"]),
])
def test_relation_and_name_map(genome, variant, form, relation, renamed, conflicts):
    folder, reference, digest = genome
    path = _header(folder, variant, form)
    with seqtally_tools.Store(folder / "store") as store:
        found = seqtally_tools.identify(path, store)
    best = found.matches[0]
    assert (best.digest, best.relation, dict(best.renamed), [c.name for c in best.conflicts]) == \
        (digest, relation, renamed, conflicts)
    given = json.loads(cli("identify", path, "--against", reference, "--json").stdout)[0]["matches"][0]
    assert (given["digest"], given["relation"], dict(given["renamed"])) == (digest, relation, renamed)


@pytest.mark.parametrize("lines, relation", [
    ("chr1\t0\t5000\nchr5\t13000\t13400\t0.5\nchr1\t5990\t6000\n", "compatible"),
    ("chr1\t0\t6001\n", "conflicting"),
    ("chrZ\t0\t10\n", None),
])
def test_intervals_fit_or_not(genome, tmp_path, lines, relation):
    bed = tmp_path / "x.bedGraph"
    bed.write_text(lines)
    found = seqtally_tools.identify(bed, [genome[1]])
    assert (found.matches[0].relation if found.matches[0].shared or relation else None) == relation


def test_bigwig_chromosome_list(genome, tmp_path):
    import pyBigWig

    track = pyBigWig.open(str(tmp_path / "x.bw"), "w")
    track.addHeader([(n, len(s)) for n, s in VARIANTS["renamed"](_records())])
    track.close()
    # A loaded collection stands for its FASTA.
    for candidate in (genome[1], seqtally_tools.load_collection(genome[1])):
        found = seqtally_tools.identify(tmp_path / "x.bw", [candidate])
        assert (found.kind, found.matches[0].relation, found.matches[0].digest) == ("bigwig", "renamed", genome[2])


def test_repaired_headers_applied_by_reheader(genome, tmp_path):
    folder, reference, digest = genome
    # A VCF of lengths only, chr3's wrong (the length bug of some writers).
    wrong = tmp_path / "wrong.vcf"
    wrong.write_text(_header(folder, "same", "vcf").read_text().replace("length=12000", "length=12001"))
    assert seqtally_tools.identify(wrong, [reference]).matches[0].relation == "conflicting"
    header = tmp_path / "header.vcf"
    header.write_bytes(cli("identify", wrong, "--header", "vcf", "--reference", reference).stdout)
    _run("bcftools", "reheader", "-h", header, "-o", tmp_path / "fixed.vcf", wrong)
    fixed = seqtally_tools.identify(tmp_path / "fixed.vcf", [reference])
    assert fixed.matches[0].relation == "identical"
    assert [c.md5 for c in seqtally_tools.declared(tmp_path / "fixed.vcf").contigs] == \
        [r.md5 for r in seqtally_tools.checksum(reference)]

    renamed = _header(folder, "renamed", "bam")
    done = cli("identify", renamed, "--store", folder / "store", "--header", "sam", "--reference", digest)
    (tmp_path / "header.sam").write_bytes(done.stdout)
    with open(tmp_path / "fixed.bam", "wb") as out:
        _run("samtools", "reheader", tmp_path / "header.sam", renamed, stdout=out)
    sq = [line for line in _run("samtools", "view", "-H", tmp_path / "fixed.bam").stdout.decode().splitlines()
          if line.startswith("@SQ")]
    assert [dict(f.split(":", 1) for f in line.split("\t")[1:])["AN"] for line in sq] == NAMES
    assert all(f"UR:file://{reference}" in line for line in sq)

    # A dictionary's AS is the ##contig lines' assembly.
    named = tmp_path / "named.dict"
    named.write_text(_run("samtools", "dict", "-a", "GRCz11", reference).stdout.decode())
    header.write_bytes(cli("identify", wrong, "--header", "vcf", "--reference", named).stdout)
    _run("bcftools", "reheader", "-h", header, "-o", tmp_path / "named.vcf", wrong)
    contigs = [line for line in _run("bcftools", "view", "-h", tmp_path / "named.vcf").stdout.decode().splitlines()
               if line.startswith("##contig")]
    assert contigs and all(line.endswith(",assembly=GRCz11>") for line in contigs)

    extra = cli("identify", _header(folder, "extra", "bam"), "--header", "sam", "--reference", reference)
    assert extra.returncode == 1 and b"no sequence for extra" in extra.stderr and not extra.stdout


def test_store_aliases_name_sequences_a_header_gives_no_length_for(genome, tmp_path):
    import pickle

    folder, reference, digest = genome
    roman = ["I", "II", "III", "IV", "V"]
    vcf = tmp_path / "roman.vcf"
    vcf.write_text(VCF_BODY.replace("#CHROM", "".join(f"##contig=<ID={n}>\n" for n in roman) + "#CHROM"))
    with seqtally_tools.Store(folder / "store") as store:
        assert seqtally_tools.identify(vcf, store).matches == ()
        (tmp_path / "aliases.tsv").write_text("".join(f"{n}\troman\t{r}\n" for n, r in zip(NAMES, roman)))
        store.alias(tmp_path / "aliases.tsv")
        found = seqtally_tools.identify(vcf, store)
    assert (found.matches[0].relation, dict(found.matches[0].renamed)) == ("renamed", dict(zip(roman, NAMES)))
    assert pickle.loads(pickle.dumps(found)) == found


def test_a_postgresql_store_answers_as_sqlite_does(genome, postgresql, tmp_path):
    folder, reference, digest = genome
    url = postgresql.new_database()
    with seqtally_tools.Store(tmp_path / "store", database=url, create=True) as store:
        store.add(reference)
    for variant, form in (("renamed", "bcf"), ("one-base", "bam"), ("truncated", "vcf")):
        path = _header(folder, variant, form)
        with seqtally_tools.Store(folder / "store") as lite, \
                seqtally_tools.Store(tmp_path / "store", database=url) as server:
            assert seqtally_tools.identify(path, server).matches[0] == seqtally_tools.identify(path, lite).matches[0]


@pytest.mark.parametrize("database", ["sqlite", "postgresql"])
def test_a_draft_assembly_of_more_names_than_a_statement_takes_parameters(database, request, tmp_path):
    # 70,000 contigs: past PostgreSQL's 65,535 parameters of a statement.
    import random

    generator = random.Random(7)
    fasta = tmp_path / "draft.fa"
    fasta.write_text("".join(f">ctg{i}\n{''.join(generator.choices('ACGT', k=24))}\n" for i in range(70_000)))
    url = request.getfixturevalue("postgresql").new_database() if database == "postgresql" else None
    subprocess.run(["samtools", "faidx", str(fasta)], check=True)
    # The same contigs under other names, ten of them of other lengths.
    sizes = tmp_path / "draft.sizes"
    sizes.write_text("".join(f"scaffold_{i}\t{24 + (i % 7000 == 0)}\n" for i in range(70_000)))
    with seqtally_tools.Store(tmp_path / "store", database=url, create=True) as store:
        digest = store.add(fasta).digest
        identical = seqtally_tools.identify(str(fasta) + ".fai", store).matches[0]
        by_length = seqtally_tools.identify(sizes, store).matches[0]
    assert (identical.relation, identical.digest, identical.shared) == ("identical", digest, 70_000)
    # Every contig is 24 bases: no length is unique, so nothing is renamed.
    assert (by_length.digest, by_length.relation, by_length.shared) == (digest, "none", 0)


@pytest.fixture(scope="module")
def served(genome):
    from servers import Server

    folder, reference, digest = genome
    server = Server(folder / "store")
    yield server
    server.stop()


def _text_of(folder, variant, form):
    """The header as a person copies it from a terminal: samtools view -H,
    bcftools view -h, or the file itself."""
    path = _header(folder, variant, form)
    if form in ("bam", "cram"):
        return _run("samtools", "view", "-H", path).stdout.decode()
    if form in ("vcf", "bcf"):
        return _run("bcftools", "view", "-h", path).stdout.decode()
    return path.read_text()


@pytest.mark.parametrize("variant, form", [("same", "bam"), ("renamed", "bcf"), ("reordered", "cram"),
                                           ("one-base", "bam"), ("truncated", "sizes"), ("swapped", "vcf")])
def test_the_service_ranks_a_posted_header_as_the_command_ranks_its_file(genome, served, variant, form):
    import httpx

    folder, reference, digest = genome
    command = json.loads(cli("identify", "--json", "--store", folder / "store", _header(folder, variant, form)).stdout)
    expected = command[0]["matches"]
    text = _text_of(folder, variant, form)
    as_text = httpx.post(served.url + "/identify", content=text.encode(), headers={"Content-Type": "text/plain"})
    assert as_text.status_code == 200, as_text.text
    assert as_text.json()["matches"] == expected
    # The same as a JSON list of names, lengths and MD5s, as a program posts it.
    declared = seqtally_tools._headers.declared(_header(folder, variant, form))
    listed = [{"name": c.name, "length": c.length, **({"md5": c.md5.upper()} if c.md5 else {})}
              for c in declared.contigs]
    for body in (listed, {"sequences": listed}):
        as_json = httpx.post(served.url + "/identify?limit=2", json=body)
        assert as_json.status_code == 200 and as_json.headers["access-control-allow-origin"] == "*"
        assert as_json.json()["matches"] == expected[:2]
        assert as_json.json()["verdict"] == "posted: " + command[0]["verdict"].split(": ", 1)[1]


# Each a 400: the request's fault, never the server's.
BAD_JSON = [b"{not json", b"[]", b'{"sequences": [], "x": 1}', b'[{"name": "chr 1", "length": 5}]',
            b'[{"name": "chr1", "length": -5}]', b'[{"name": "chr1", "length": 5.0}]',
            b'[{"name": "chr1", "length": true}]', b'[{"name": "chr1", "length": 99999999999999999999999}]',
            b'[{"name": "chr1", "length": NaN}]', b'[{"name": "\\ud800"}]',  # a lone surrogate
            b'[{"name": "chr1\\u0000"}]', b'[{"name": "chr1", "md5": "xyz"}]', b'[{"name": "chr1", "colour": "red"}]',
            b"[" * 100_000 + b"]" * 100_000]
BAD_TEXT = [b"@SQ\tSN:chr1\tLN:abc\n", b"hello world\n", b"chr1\t5\x00\n", b"\xff\xfe\n", b""]
# body, content type, query -> status
MALFORMED = [*((body, "application/json", "", 400) for body in BAD_JSON),
             *((body, "text/plain", "", 400) for body in BAD_TEXT),
             (b"chr1\t48502\n", "image/png", "", 415), (b"chr1\t48502\n", "text/plain", "limit=0", 400),
             (b"chr1\t48502\n", "text/plain", "limit=51", 400), (b"chr1\t48502\n" * 2_000_000, "text/plain", "", 413)]


@pytest.mark.parametrize("body, media, query, status", MALFORMED)
def test_a_malformed_body_is_the_request_s_fault(genome, body, media, query, status):
    from starlette.testclient import TestClient

    from seqtally_tools.service import app

    with seqtally_tools.Store(genome[0] / "store") as store:
        response = TestClient(app(store, body_limit=1 << 20)).post(f"/identify?{query}", content=body,
                                                                   headers={"Content-Type": media})
    assert response.status_code == status, response.text
    assert response.json()["status_code"] == status and response.json()["message"]


def test_the_page_s_box_in_chromium(genome, served, tmp_path):
    """A person pastes a terminal's copy of a header (tabs become spaces)
    into the box; Chromium sends the form (CRLF line ends, URL-encoded)
    and shows the verdict. Markup in the text stays text."""
    import httpx

    from servers import foreign_environment

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("Debian's chromium is not installed (scripts/test installs it)")
    folder, reference, digest = genome
    pasted = _text_of(folder, "renamed", "bam").replace("\t", "   ")
    # The box's own form, as the home page has it, filled in and sent from a
    # file: the form's action is where the request goes.
    home = httpx.get(served.url + "/").text
    form = home[home.index("<form action='/page/identify'"):]
    form = form[:form.index("</form>") + 7].replace("/page/identify", served.url + "/page/identify")
    shown = {}
    for name, text in {"good.html": pasted, "bad.html": "<b>not</b> a header & <script>x()</script>"}.items():
        filled = form.replace("spellcheck=false></textarea>", f"spellcheck=false>{html.escape(text)}</textarea>")
        (tmp_path / name).write_text(f"<!doctype html><html><body>{filled}<script>document.forms[0].submit()"
                                     "</script></body></html>")
        done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=20000",
                               "--dump-dom", (tmp_path / name).as_uri()],
                              capture_output=True, timeout=120, env=foreign_environment())
        assert done.returncode == 0, done.stderr[-2000:]
        shown[name] = done.stdout.decode()
    good, bad = shown["good.html"], shown["bad.html"]
    assert f"<strong>renamed {digest} (5 of 5 sequences shared; 5 under other names)</strong>" in good
    assert "1 → chr1" in good and "5 sequences read as sam" in good
    assert 'class="error"' in bad
    assert "<script>x()</script>" not in bad and "&lt;script&gt;x()&lt;/script&gt;" in bad

