"""write_seqtally_to_file(): windows, percentages and the files written."""
import pytest

from conftest import write_track as write

ONE_NAME = b">chr1 first\n" + b"A" * 250 + b"\n>chr2\n" + b"G" * 30 + b"\n>chr2\nTT\n"


@pytest.mark.parametrize("content, window, omit_tail, track, sizes", [
    (b">r desc\n" + b"G" * 53 + b"A" * 47 + b"\n", 100, False, "variableStep chrom=r span=100\n1\t52\n", "r\t100\n"),
    (b">r\n" + b"G" * 15 + b"A" * 15 + b"\n", -5, False, "variableStep chrom=r span=-5\n1\t50\n", "r\t30\n"),
    (b">r\nggggGGggSSSSNNNN\n", 4, False, "variableStep chrom=r span=4\n1\t0\n5\t50\n9\t0\n13\t0\n", "r\t16\n"),
    # Records of one name each get their section; identifiers are kept as they are.
    (ONE_NAME, 100, False, "variableStep chrom=chr1 span=100\n1\t0\n101\t0\n201\t0\nvariableStep chrom=chr2 "
     "span=100\n1\t100\nvariableStep chrom=chr2 span=100\n1\t0\n", "chr1\t250\nchr2\t30\nchr2\t2\n"),
    (b">a\tb\"c desc\nG\n>\nC\n", 100, False, 'variableStep chrom=a\tb"c span=100\n1\t100\nvariableStep chrom= '
     'span=100\n1\t100\n', 'a\tb"c\t1\n\t1\n'),
    (b"", 100, False, "", ""),
])
def test_track_and_chrom_sizes(tmp_path, fasta, content, window, omit_tail, track, sizes):
    # chrom.sizes is plain whatever its name, and existing outputs are truncated.
    out, sizes_path = tmp_path / "o.wig", tmp_path / "sizes.gz"
    out.write_text("x" * 10_000)
    sizes_path.write_text("y" * 10_000)
    write(fasta(content), out, window, omit_tail, sizes=sizes_path, write_sizes=True)
    assert (out.read_text(), sizes_path.read_text()) == ("track type=wiggle_0\n" + track, sizes)


def test_devices_have_no_identity():
    # /dev/null may be input and both outputs at once.
    write("/dev/null", "/dev/null", sizes="/dev/null", write_sizes=True)
