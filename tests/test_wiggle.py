"""write_seqtally_to_file(): windows, percentages and the files written."""
import pytest

from conftest import write_track as write


@pytest.mark.parametrize(
    "sequence, window, omit_tail, lines",
    [
        (b"G" * 53 + b"A" * 47, 100, False, ["1\t52"]),
        (b"GC" * 125, 100, False, ["1\t100", "101\t100", "201\t100"]),
        (b"GC" * 125, 100, True, ["1\t100", "101\t100"]),
        (b"G" * 15 + b"A" * 15, -5, False, ["1\t50"]),
        (b"ggggGGggSSSSNNNN", 4, False, ["1\t0", "5\t50", "9\t0", "13\t0"]),
    ],
)
def test_window_lines(tmp_path, fasta, sequence, window, omit_tail, lines):
    out = tmp_path / "o.wig"
    write(fasta(b">r desc\n" + sequence + b"\n"), out, window, omit_tail)
    assert out.read_text().splitlines() == ["track type=wiggle_0", f"variableStep chrom=r span={window}", *lines]


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
    # Devices have no identity: /dev/null may be input and both outputs at once.
    write("/dev/null", "/dev/null", sizes="/dev/null", write_sizes=True)


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


