"""Integer units on a grid rounded within a max-error bound: the bound holds
exactly for every sample as the real decoder returns it, through every front
end that carries a unit, and the candidate is given up (never broken) where
the bound is too fine for its integers."""
from __future__ import annotations

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quillmere_tools as qt

INTEGER_CODER = 4


def signal(kind: str, n: int, seed: int, dtype=np.float32, scale: float = 1.0,
           centre: float = 0.0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    if kind == "noise":
        x = rng.standard_normal(n)
    elif kind == "wave":
        x = np.sin(t / 17.0) + 0.3 * np.sin(t / 2.7) + 0.05 * rng.standard_normal(n)
    elif kind == "spikes":
        x = 0.01 * rng.standard_normal(n)
        x[rng.integers(0, n, max(1, n // 200))] = rng.choice([-50.0, 80.0])
    elif kind == "steps":  # long flat runs with jumps
        x = np.repeat(rng.standard_normal(n // 100 + 1), 100)[:n]
    else:  # flat
        x = np.full(n, 0.7)
    return (centre + scale * x).astype(dtype)


def finite_error(x: np.ndarray, y: np.ndarray) -> float:
    keep = np.isfinite(x)
    assert np.array_equal(np.isfinite(y), keep)
    if not keep.any():
        return 0.0
    return float(np.max(np.abs(y[keep].astype(np.float64) - x[keep].astype(np.float64))))


KINDS = ["noise", "wave", "spikes", "steps", "flat"]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kind=st.sampled_from(KINDS), n=st.integers(1, 5000), seed=st.integers(0, 2**32 - 1),
       dtype=st.sampled_from([np.float32, np.float64]),
       scale=st.sampled_from([1e-20, 1e-3, 1.0, 3e4, 1e25]), centre=st.sampled_from([0.0, 1.0, -5e3]),
       fraction=st.sampled_from([1e-6, 1e-4, 1e-3, 1e-2, 0.3]), holes=st.booleans())
def test_the_bound_holds_for_every_decoded_sample(kind, n, seed, dtype, scale, centre, fraction,
                                                  holes):
    x = signal(kind, n, seed, dtype, scale, centre * scale)
    if holes and n > 3:
        x[[0, n // 2, n - 1]] = [np.nan, np.inf, -np.inf]
    finite = x[np.isfinite(x)]
    span = float(finite.max() - finite.min()) if finite.size else 0.0
    bound = fraction * (span or scale)
    # The integer unit asked for alone: a rounded grid, or the source's own
    # when the bound is finer than it; or a refusal when neither fits 33 bits.
    try:
        forced = qt.compress_to_target(x, max_error=bound, coders=["integer"])
    except ValueError as exc:
        assert "integer" in str(exc) and "\n" not in str(exc)
    else:
        assert forced.settings.coder == "integer"
        y = qt.decompress(forced.unit)
        assert y.dtype == x.dtype
        assert finite_error(x, y) <= bound
        assert forced.max_error == finite_error(x, y)
    # Left to the tools: whichever unit they choose meets the bound.
    try:
        chosen = qt.compress_to_target(x, max_error=bound)
    except qt.TargetNotMet:
        return
    assert finite_error(x, qt.decompress(chosen.unit)) <= bound


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_bounds_near_the_samples_resolution_skip_the_candidate(dtype):
    # Samples around 1e3 spanning about 3: a bound of 1e-12 would need
    # integers beyond 33 bits (float32 samples are exact on their own grid).
    x = signal("wave", 4000, 1, dtype, 1.0, 1000.0)
    try:
        res = qt.compress_to_target(x, max_error=1e-12)
    except qt.TargetNotMet:
        pass
    else:
        assert finite_error(x, qt.decompress(res.unit)) <= 1e-12
    if dtype == np.float64:  # no grid of the source's either: the integer coder says so
        with pytest.raises(ValueError, match="integer coder cannot code them"):
            qt.compress_to_target(x, max_error=1e-12, coders=["integer"])


def test_tight_bounds_choose_the_integer_unit_and_it_is_smaller():
    x = signal("noise", 40_000, 3)
    bound = 1e-3 * float(x.max() - x.min())
    chosen = qt.compress_to_target(x, max_error=bound)
    wavelet = qt.compress_to_target(x, max_error=bound, coders=["fast"])
    assert chosen.settings.coder == "integer"
    assert len(chosen.unit) < len(wavelet.unit)
    assert 0 < chosen.max_error <= bound


@pytest.mark.parametrize("host", ["decompress_many", "blocks", "numcodecs", "hdf5"])
def test_every_front_end_decodes_rounded_units_within_the_bound(tmp_path, host):
    x = signal("noise", 30_000, 4)
    bound = 2e-3
    if host == "decompress_many":
        units = qt.compress_many([x, x[::-1].copy()], max_error=bound, threads=2)
        assert all(u[14] == INTEGER_CODER for u in units)
        y0, y1 = qt.decompress_many(units, threads=2)
        assert finite_error(x, y0) <= bound and finite_error(x[::-1], y1) <= bound
        return
    if host == "blocks":
        unit = qt.compress_many([x], max_error=bound, block_length=8192)[0]
        assert unit[:4] == b"QLMB"
        assert finite_error(x, qt.decompress(unit)) <= bound
        part = qt.decompress(unit, start=5000, stop=20_001)
        assert finite_error(x[5000:20_001], part) <= bound
        return
    chunks = np.stack([x, signal("spikes", x.size, 5)], 1)
    if host == "numcodecs":
        from quillmere_tools.numcodecs_codec import Quillmere

        codec = Quillmere(max_error=bound)
        raw = bytes(codec.encode(chunks))
        y = np.asarray(codec.decode(raw)).reshape(chunks.shape)
    else:
        h5py = pytest.importorskip("h5py")
        import quillmere_tools.hdf5 as qh5

        with h5py.File(tmp_path / "x.h5", "w") as f:
            f.create_dataset("x", data=chunks, chunks=(7000, 2), **qh5.Quillmere(max_error=bound))
        with h5py.File(tmp_path / "x.h5", "r") as f:
            y = f["x"][...]
            raw = f["x"].id.read_direct_chunk((0, 0))[1]
    assert b"QLMR" in raw and raw[raw.index(b"QLMR") + 14] == INTEGER_CODER
    for c in range(2):
        assert finite_error(chunks[:, c], y[:, c]) <= bound


def test_the_same_bytes_on_any_thread_count():
    signals = [signal(k, 20_000, s) for s, k in enumerate(KINDS)]
    one = qt.compress_many(signals, max_error=1e-3, threads=1)
    two = qt.compress_many(signals, max_error=1e-3, threads=2)
    assert one == two
    assert any(u[14] == INTEGER_CODER for u in one)
