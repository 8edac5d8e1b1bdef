"""Chunked compression on a Dask cluster into a Zarr store.

The Zarr codec codes each chunk in the tools' native module, which releases
the interpreter lock while it works, so chunks run in parallel on threads as
well as on processes; the cluster here uses single-threaded worker processes,
one per core.  Chunks are compressed independently by the Zarr codec on
whichever worker writes them.
"""
from __future__ import annotations

import logging
import math
import shutil
import tempfile
import time
from pathlib import Path
from typing import Optional, Sequence

import numpy as np

from ._core import ToolError


def _need():
    try:
        import dask.array as da
        import zarr
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise ToolError("scale-out needs dask and zarr: pip install 'quillmere[dask]'") from None
    return da, zarr, Client, LocalCluster


def store(x, path, codec=None, *, chunks: Optional[int] = None, overwrite: bool = False,
          fill_value: float = 0.0):
    """Write a 1-D (or N-D) dask array to a new Zarr v3 array at ``path``
    through the quillmere codec; returns the zarr array.  Runs on the
    current Dask scheduler (a distributed Client if one is active).  An
    existing array at ``path`` is an error unless ``overwrite``.  Edge chunks
    are padded with ``fill_value``; the codec's bounds hold over the stored
    samples whatever it is."""
    da, zarr, _, _ = _need()
    from .zarr_codec import QuillmereCodec

    codec = codec or QuillmereCodec()
    if chunks is not None:
        x = x.rechunk(chunks)
    z = zarr.create_array(store=str(path), shape=x.shape, chunks=x.chunksize, dtype=x.dtype,
                          serializer=codec, compressors=None, fill_value=fill_value,
                          overwrite=overwrite)
    da.store(x, z, lock=False)
    return z


def load(path):
    da, _, _, _ = _need()
    return da.from_zarr(str(path))


def local_cluster(n_workers: int):
    """A LocalCluster of single-threaded worker processes, bound to the
    loopback interface only (scheduler, workers and dashboard)."""
    _, _, _, LocalCluster = _need()
    return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address="127.0.0.1:0",
                        silence_logs=logging.ERROR)


def tiled(signal: np.ndarray, n: int, chunk: int):
    """A dask array of ``n`` samples repeating ``signal``, built on the
    workers chunk by chunk so the driver never ships the whole array."""
    da, _, _, _ = _need()
    base = np.ascontiguousarray(signal, dtype=np.float64)

    def block(_, block_info=None):
        lo, hi = block_info[None]["array-location"][0]
        return base[np.arange(lo, hi) % base.size]

    return da.map_blocks(block, da.empty(n, chunks=chunk, dtype="f8"), dtype="f8")


def _warm_up():
    # Imports and first-call costs belong to no measurement.
    from . import zarr_codec  # noqa: F401
    from ._core import compress_container, decompress_container
    from .settings import Settings

    decompress_container(compress_container(np.sin(np.arange(4096) / 9.0), Settings().options()))


def throughput(signal: np.ndarray, workers: Sequence[int] = (1, 2), n: int = 10_000_000,
               chunk: int = 1_000_000, codec=None, repeat: int = 1) -> list[dict]:
    """Write-and-read throughput of an ``n``-sample signal through Dask
    LocalClusters of each size.  The input is materialised on the workers
    before timing, so the numbers are compression + store I/O, and reading
    is store I/O + decompression.  The error against the input is measured
    after the timed runs.  Times are the best of ``repeat`` runs."""
    da, zarr, Client, LocalCluster = _need()
    from dask.distributed import wait

    from .zarr_codec import QuillmereCodec

    codec = codec or QuillmereCodec()
    results = []
    for nw in workers:
        tmp = tempfile.mkdtemp(prefix="quillmere-dask-")
        try:
            with local_cluster(nw) as cluster, Client(cluster) as client:
                client.wait_for_workers(nw)
                x = tiled(signal, n, chunk).persist()
                wait(x)
                client.run(_warm_up)
                t_write = t_read = math.inf
                for _ in range(max(1, repeat)):
                    t0 = time.perf_counter()
                    store(x, f"{tmp}/signal", codec, overwrite=True)
                    t_write = min(t_write, time.perf_counter() - t0)
                    # Timed read: decode every chunk where it lands and reduce
                    # to one number, so no chunk travels between workers.
                    t0 = time.perf_counter()
                    load(f"{tmp}/signal").max().compute()
                    t_read = min(t_read, time.perf_counter() - t0)
                err = float(abs(load(f"{tmp}/signal") - x).max().compute())
            size = sum(p.stat().st_size for p in Path(tmp, "signal").rglob("*") if p.is_file())
            mb = 4 * n / 1e6
            results.append({"workers": nw, "samples": n, "chunk": chunk, "repeat": repeat,
                            "write_mb_s": mb / t_write, "read_mb_s": mb / t_read,
                            "stored_bytes": size, "max_error": err})
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    return results
