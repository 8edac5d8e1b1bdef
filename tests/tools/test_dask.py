import numpy as np
import pytest
import quillmere

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")
zarr = pytest.importorskip("zarr")

from quillmere_tools import scaleout
from quillmere_tools.zarr_codec import QuillmereCodec

pytestmark = pytest.mark.dask

N = 10_000_000
CHUNK = 1_000_000


def _wave(block, block_info=None):
    lo, hi = block_info[None]["array-location"][0]
    t = np.arange(lo, hi) / 1000.0
    return np.sin(2 * np.pi * 0.37 * t) + 0.25 * np.sin(2 * np.pi * 11.0 * t) + 0.01 * np.cos(t * 97.0)


@pytest.fixture(scope="module")
def client():
    with scaleout.local_cluster(2) as cluster, distributed.Client(cluster) as c:
        c.wait_for_workers(2)
        yield c


def test_ten_million_samples_through_two_workers_into_zarr(client, tmp_path):
    bound = 1e-3
    x = da.map_blocks(_wave, da.empty(N, chunks=CHUNK, dtype="f8"), dtype="f8")
    path = tmp_path / "signal.zarr"
    scaleout.store(x, path, QuillmereCodec(max_error=bound))
    # Both worker processes took part in the writing.
    assert len(client.run(lambda: 1)) == 2
    stored = sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    assert stored < 8 * N / 4  # at least 4x smaller than float64

    y = scaleout.load(path)
    assert y.dtype == np.float64 and y.shape == (N,) and y.chunksize == (CHUNK,)
    err = float(abs(y - x).max().compute())
    assert 0 < err <= bound
    # The store opens like any Zarr array and chunks decode with the module alone.
    z = zarr.open_array(str(path), mode="r")
    assert z.metadata.to_dict()["codecs"][0]["name"] == "quillmere"
    raw = (path / "c" / "7").read_bytes()
    assert quillmere.decompress_signal(raw).size == CHUNK


def test_throughput_reports_each_worker_count():
    sig = np.sin(np.arange(50_000) / 40.0)
    rows = scaleout.throughput(sig, workers=(1, 2), n=2_000_000, chunk=250_000)
    assert [r["workers"] for r in rows] == [1, 2]
    for r in rows:
        assert r["write_mb_s"] > 0 and r["read_mb_s"] > 0
        assert r["max_error"] < 1e-2
