"""The folder a reader's examples run in, shared by the site's doctests
(docs/conf.py) and the test that runs the README's and the pages' examples
(tests/test_docs.py): the bundled examples, a gzip genome, a damaged
download and a GRCh38 with a chrM, as a reader's own files would be."""
import gzip
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def fill(folder: Path) -> Path:
    (folder / "examples").symlink_to(EXAMPLES)
    phix = (EXAMPLES / "phix174.fa").read_bytes()
    (folder / "genome.fa.gz").write_bytes(gzip.compress(phix))
    (folder / "damaged.fa.gz").write_bytes(gzip.compress(phix)[:-100])
    (folder / "GRCh38.fa.gz").write_bytes(gzip.compress(phix + b">chrM\nGATCACAGGTCTATCACCCTATTAACCAC\n"))
    return folder
