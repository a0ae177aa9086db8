"""Files in batches for worker processes."""
from __future__ import annotations

import os
from collections.abc import Iterator, Sequence

# Enough batches per worker that the last ones finish together; each big
# enough that handing it over costs little next to the work.
BATCHES_PER_WORKER = 16
MIN_BATCH_BYTES = 1 << 20
MAX_BATCH_FILES = 256


def sizes_of(paths: Sequence[str]) -> list[int]:
    """On-disk sizes; 0 for what has none (standard input, a pipe, a
    missing file, which fails soon enough)."""
    sizes = []
    for path in paths:
        try:
            sizes.append(os.stat(path).st_size if path != "-" else 0)
        except (OSError, ValueError):
            sizes.append(0)
    return sizes


def batches(paths: Sequence[str], sizes: Sequence[int], jobs: int) -> Iterator[tuple[int, list[str]]]:
    """Runs of consecutive files (so that results come back in input order
    batch by batch), each with the index of its first file."""
    target = max(MIN_BATCH_BYTES, sum(sizes) // (jobs * BATCHES_PER_WORKER))
    first, held = 0, 0
    for index, size in enumerate(sizes):
        if index > first and (held + size > target or index - first >= MAX_BATCH_FILES):
            yield first, list(paths[first:index])
            first, held = index, 0
        held += size
    if first < len(paths):
        yield first, list(paths[first:])
