"""The README's Dask recipe: seqtally_tools.checksum mapped over many files
on a cluster gives what a serial loop gives (the --jobs recipe is in
test_cli)."""
import gzip
from pathlib import Path

from seqtally_tools import checksum

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def many_files(tmp_path, count):
    files = []
    for i in range(count):
        content = (EXAMPLES / ("phix174.fa" if i % 2 else "small.fa")).read_bytes()
        target = tmp_path / f"sample{i:03}.fa"  # every third one gzip: Dask workers run threads
        target.write_bytes(gzip.compress(content) if i % 3 == 0 else content)
        files.append(str(target))
    return files


def test_dask_map_over_files_matches_serial(tmp_path):
    from dask.distributed import Client, LocalCluster

    files = many_files(tmp_path, 40)
    serial = [checksum(f) for f in files]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        futures = client.map(checksum, files)
        assert client.gather(futures) == serial
    assert serial[0] == serial[2] and serial[1] == serial[3]
