"""write_seqtally_to_file(): extension rule, windows, percentages, files, messages."""
import pytest

import seqtally
from conftest import run_python


def write(input_path, output, window=100, omit_tail=False, sizes="unused.sizes", write_sizes=False, level=6,
          verbose=False):
    seqtally.write_seqtally_to_file(str(input_path), str(output), level, window, omit_tail, str(sizes),
                                    write_sizes, verbose)


@pytest.mark.parametrize(
    "name, gzip",
    [
        ("track.wig.gz", True), ("x.gz", True), ("a.b.gz", True),
        ("track.wig", False), ("x.GZ", False), ("x.gzip", False), ("x.tgz", False), (".gz", False),
        ("genome", False), ("x.gz.", False), ("gz", False),
    ],
)
def test_extension_rule(tmp_path, fasta, name, gzip):
    out = tmp_path / name
    write(fasta(b">a\nACGT\n"), out)
    assert (out.read_bytes()[:2] == b"\x1f\x8b") is gzip


@pytest.mark.parametrize(
    "sequence, window, omit_tail, lines",
    [
        (b"G" * 53 + b"A" * 47, 100, False, ["1\t52"]),
        (b"C" * 59 + b"T" * 41, 100, False, ["1\t58"]),
        (b"GC" * 125, 100, False, ["1\t100", "101\t100", "201\t100"]),
        (b"GC" * 125, 100, True, ["1\t100", "101\t100"]),
        (b"AT" * 100, 100, True, ["1\t0", "101\t0"]),
        (b"G" * 15 + b"A" * 15, 100, False, ["1\t50"]),
        (b"G" * 15 + b"A" * 15, 100, True, []),
        (b"G" * 15 + b"A" * 15, 0, False, ["1\t50"]),
        (b"G" * 15 + b"A" * 15, -5, False, ["1\t50"]),
        (b"G" * 15 + b"A" * 15, -5, True, []),
        (b"ggggGGggSSSSNNNN", 4, False, ["1\t0", "5\t50", "9\t0", "13\t0"]),
        (b"GCA", 3, False, ["1\t66"]),
        (b"GAAAAAA", 7, False, ["1\t14"]),
        (b"", 100, False, []),
    ],
)
def test_window_lines(tmp_path, fasta, sequence, window, omit_tail, lines):
    out = tmp_path / "o.wig"
    write(fasta(b">r desc\n" + sequence + b"\n"), out, window, omit_tail)
    assert out.read_text().splitlines() == ["track type=wiggle_0", f"variableStep chrom=r span={window}", *lines]


def test_windows_run_across_lines(tmp_path, fasta):
    out = tmp_path / "o.wig"
    write(fasta(b">r\nACG\nTCA\n\n"), out, window=4)
    assert out.read_text() == "track type=wiggle_0\nvariableStep chrom=r span=4\n1\t50\n5\t50\n"


def test_track_and_chrom_sizes(tmp_path, fasta):
    path = fasta(b">chr1 first\n" + b"A" * 250 + b"\n>chr2\n" + b"G" * 30 + b"\n>chr2\nTT\n")
    out, sizes = tmp_path / "o.wig", tmp_path / "sizes.gz"
    write(path, out, sizes=sizes, write_sizes=True)
    assert out.read_text() == (
        "track type=wiggle_0\nvariableStep chrom=chr1 span=100\n1\t0\n101\t0\n201\t0\n"
        "variableStep chrom=chr2 span=100\n1\t100\nvariableStep chrom=chr2 span=100\n1\t0\n"
    )
    # chrom.sizes is always plain, whatever its name.
    assert sizes.read_text() == "chr1\t250\nchr2\t30\nchr2\t2\n"


def test_empty_input(tmp_path, fasta):
    out, sizes = tmp_path / "o.wig", tmp_path / "sizes"
    write(fasta(b""), out, sizes=sizes, write_sizes=True)
    assert out.read_text() == "track type=wiggle_0\n"
    assert sizes.read_bytes() == b""


def test_existing_outputs_are_truncated(tmp_path, fasta):
    out, sizes = tmp_path / "o.wig", tmp_path / "sizes"
    out.write_text("x" * 10_000)
    sizes.write_text("y" * 10_000)
    write(fasta(b">a\nGG\n"), out, sizes=sizes, write_sizes=True)
    assert out.read_text() == "track type=wiggle_0\nvariableStep chrom=a span=100\n1\t100\n"
    assert sizes.read_text() == "a\t2\n"


def test_identifier_kept_unchanged_in_files(tmp_path, fasta):
    out, sizes = tmp_path / "o.wig", tmp_path / "s"
    write(fasta(b">a\tb\"c desc\nG\n>\nC\n"), out, sizes=sizes, write_sizes=True)
    assert out.read_text().splitlines()[1::2] == ['variableStep chrom=a\tb"c span=100', "variableStep chrom= span=100"]
    assert sizes.read_text() == 'a\tb"c\t1\n\t1\n'


@pytest.mark.parametrize("write_sizes", [True, False])
def test_progress_messages(tmp_path, write_sizes):
    path = tmp_path / "in.fa"
    path.write_bytes(b">chr1\nAC\n>it's\nGG\n")
    sizes = tmp_path / "it's.sizes"
    _, err = run_python(
        f"""
        import seqtally
        seqtally.write_seqtally_to_file({str(path)!r}, {str(tmp_path / 'o.wig')!r}, 6, 100, False,
                                        {str(sizes)!r}, {write_sizes}, True)
        """
    )
    expected = ""
    if write_sizes:
        expected += "==> Will write chrom.sizes file to " + '"' + str(sizes).replace("'", "\\'") + '"\n'
    expected += '==> Processing region "chr1" ... done\n==> Processing region "it\'s" ... done\n'
    expected += "==> Found and processed 2 regions.\n"
    assert err.decode() == expected


def test_quiet_and_single_region_messages(tmp_path):
    path = tmp_path / "in.fa"
    path.write_bytes(b">only\nAC\n")
    for verbose, expected in ((False, b""), (True, b'==> Processing region "only" ... done\n'
                                                  b"==> Found and processed 1 regions.\n")):
        _, err = run_python(
            f"""
            import seqtally
            seqtally.write_seqtally_to_file({str(path)!r}, {str(tmp_path / 'o.wig')!r}, 6, 100, False,
                                            "/nonexistent/dir/sizes", False, {verbose})
            """
        )
        assert err == expected
