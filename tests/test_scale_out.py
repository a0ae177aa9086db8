"""The README's Dask recipe: checksum_records mapped over many files on a
cluster gives what a serial loop gives (the --jobs recipe is in test_cli)."""
import shutil
from pathlib import Path

from seqtally_cli import checksum_records

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def many_files(tmp_path, count):
    files = []
    for i in range(count):
        source = EXAMPLES / ("phix174.fa" if i % 2 else "small.fa")
        target = tmp_path / f"sample{i:03}.fa"
        shutil.copy(source, target)
        files.append(str(target))
    return files


def test_dask_map_over_files_matches_serial(tmp_path):
    from dask.distributed import Client, LocalCluster

    files = many_files(tmp_path, 40)
    serial = [checksum_records(f) for f in files]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        futures = client.map(checksum_records, files)
        assert client.gather(futures) == serial
