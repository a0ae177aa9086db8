"""seqtally_tools as a library: its errors, plain data, resources, and the
filter between the module's descriptor 2 and the user."""
import gzip
import os
import pickle
import random
from concurrent.futures import ThreadPoolExecutor

import pytest

import seqtally
import seqtally_tools
from conftest import EXAMPLES, PanicException
from seqtally_tools._stderr import REPORT_START, TEMP_MARK, ReportFilter

REPORT = b"thread 'main' panicked at core/src/lib/seqtally.cpp:324:\nError reading record: x\nnote: more\n"
TOKEN = TEMP_MARK + "0123456789abcdef"


@pytest.mark.parametrize("stream, shown", [
    (b"==> Processing region \"a\" ... done\n" + REPORT, b"==> Processing region \"a\" ... done\n"),
    (b"==> Processing region \"a\" ... " + REPORT, b"==> Processing region \"a\" ... "),
    (REPORT, b""),
    # Only where a message can start: inside a quoted identifier it is text.
    (b"==> Processing region \"thread 'x\" ... done\n", b"==> Processing region \"thread 'x\" ... done\n"),
    (b"==> Will write chrom.sizes file to \"/d/g.sizes" + TOKEN.encode() + b"\"\n==> Processing",
     b"==> Will write chrom.sizes file to \"/d/g.sizes\"\n==> Processing"),
    (b"thread", b"thread"),  # a prefix of the report that never became one
])
def test_report_filter_whatever_the_chunks(stream, shown):
    rng = random.Random(3)
    for cuts in ([], list(range(1, len(stream))), sorted(rng.sample(range(1, len(stream)), 5))):
        report_filter = ReportFilter()
        points = [0, *cuts, len(stream)]
        out = b"".join(report_filter.feed(stream[a:b]) for a, b in zip(points, points[1:])) + report_filter.end()
        assert out == shown, cuts
        assert report_filter.at_line_start == (shown.endswith(b"\n") or shown == b"")


def test_the_filter_knows_the_report_the_module_writes(capfd):
    with pytest.raises(PanicException):
        seqtally.checksum("/nonexistent.fa")
    assert capfd.readouterr().err.encode().startswith(REPORT_START)
    # Through the library: the exception only, and the messages pass.
    for verbose in (False, True):
        with pytest.raises(seqtally_tools.SeqtallyError) as caught:
            seqtally_tools.checksum("/nonexistent.fa", verbose=verbose)
        assert type(caught.value.__cause__) is PanicException and caught.value.path == "/nonexistent.fa"
    assert len(seqtally_tools.checksum(EXAMPLES / "small.fa", verbose=True)) == 2
    assert capfd.readouterr().err == '==> Processing region "chr1" ... ==> Processing region "chr2" ... '


def test_errors_are_exceptions_that_travel(tmp_path):
    with pytest.raises(seqtally_tools.SeqtallyError) as caught:
        seqtally_tools.checksum(tmp_path / "missing.fa")
    error = caught.value
    assert isinstance(error, Exception) and isinstance(error.__cause__, PanicException)
    assert str(error) == str(error.__cause__) and error.path == str(tmp_path / "missing.fa")
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.message, copy.path, copy.hint, copy.describe()) == (error.message, error.path, None,
                                                                     f"{error.path}: {error.message}")
    # Argument errors stay what the module raises.
    with pytest.raises(TypeError):
        seqtally_tools.gc_track(EXAMPLES / "small.fa", tmp_path / "o.wig", window="100")
    with pytest.raises(OverflowError):
        seqtally_tools.gc_track(EXAMPLES / "small.fa", tmp_path / "o.wig", window=1 << 40)
    assert os.listdir(tmp_path) == []


def test_results_are_plain_picklable_data():
    records = seqtally_tools.checksum(EXAMPLES / "phix174.fa")
    assert records == [("NC_001422.1", 5386, "IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF", "3332ed720ac7eaa9b3655c06f6b9e196")]
    assert records[0].refget_id == "SQ.IIXILYBQCpHdC4qpI3sOQ_HAeAm9bmeF"
    assert records[0]._asdict()["sha512t24u"] == records[0].sha512t24u
    files = list(seqtally_tools.checksum_files([EXAMPLES / "small.fa", EXAMPLES / "phix174.fa"], jobs=2))
    assert pickle.loads(pickle.dumps(files)) == files
    assert [f.file for f in files] == [str(EXAMPLES / "small.fa"), str(EXAMPLES / "phix174.fa")]
    assert files[1].records == records
    assert dir(seqtally_tools) == sorted(seqtally_tools.__all__)
    assert all(getattr(seqtally_tools, name) for name in seqtally_tools.__all__)


def test_checksum_files_stops_at_a_failure_after_the_files_before_it(tmp_path):
    files = []
    for i in range(40):
        path = tmp_path / f"f{i}.fa"
        path.write_bytes(b">r%d\n%s\n" % (i, b"ACGT" * i))
        files.append(path)
    files.insert(25, tmp_path / "missing.fa")
    for jobs in (1, 2):
        seen = []
        with pytest.raises(seqtally_tools.SeqtallyError) as caught:
            for done in seqtally_tools.checksum_files(files, jobs=jobs):
                seen.append(done)
        assert [d.file for d in seen] == [str(f) for f in files[:25]]
        assert caught.value.path == str(tmp_path / "missing.fa")


def descriptors_and_children():
    children = [entry for entry in os.listdir("/proc") if entry.isdigit() and
                open(f"/proc/{entry}/stat", "rb").read().rsplit(b")", 1)[1].split()[1] == str(os.getpid()).encode()]
    return sorted(os.listdir("/proc/self/fd")), children


@pytest.fixture(scope="module")
def large_gzip():
    """gzip too large to inflate in memory: a helper process inflates it."""
    random_bases = random.Random(1).randbytes(24 << 20).translate(bytes(b"ACGT"[i % 4] for i in range(256)))
    return gzip.compress(b">x\n" + random_bases + b"\n", 1)


def test_threads_of_one_process_get_helpers_too(tmp_path, large_gzip):
    """A process with threads (a Dask worker, say) cannot fork its helpers:
    they start as new interpreters, and the results are the same."""
    path = tmp_path / "large.fa.gz"
    path.write_bytes(large_gzip)
    serial = seqtally_tools.checksum(path)
    with ThreadPoolExecutor(2) as pool:
        assert list(pool.map(seqtally_tools.checksum, [path] * 3)) == [serial] * 3


def test_nothing_is_left_behind(tmp_path, large_gzip):
    large = large_gzip
    cases = {"small.fa.gz": gzip.compress(b">a\nACGT\n"), "large.fa.gz": large,
             "cut.fa.gz": gzip.compress(b">a\nACGT\n")[:-6], "cut-large.fa.gz": large[:len(large) // 2],
             "bad.fa": b"ACGT\n"}
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
    before = descriptors_and_children()
    for name in [*cases, "missing.fa"]:
        for call in (lambda p: seqtally_tools.checksum(p),
                     lambda p: seqtally_tools.gc_track(p, tmp_path / "out" / "t.wig", chrom_sizes=tmp_path / "c")):
            (tmp_path / "out").mkdir(exist_ok=True)
            try:
                call(tmp_path / name)
            except seqtally_tools.SeqtallyError:
                pass
            assert descriptors_and_children() == before, name
    assert seqtally.checksum(str(EXAMPLES / "small.fa"))  # the module is still fine


def test_the_old_name_still_works_and_says_it_is_deprecated():
    from seqtally_cli import checksum_records

    with pytest.warns(DeprecationWarning):
        records = checksum_records(str(EXAMPLES / "small.fa"))
    assert records[0] == {"file": str(EXAMPLES / "small.fa"), "id": "chr1", "length": 62,
                          "sha512t24u": "ZhOllH8yWF1gdUrd1x8kVUyZ-6JY6IWk", "md5": "297c69ab9e2c6d8298fa3c9876f76020"}
