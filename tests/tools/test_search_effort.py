"""effort="fast": one predicted multiplier judged and coded once. Every bound
must still hold exactly once the unit is decoded, on every front end that
takes the option; the default effort's units and configurations must read
as they did before the option existed."""
import json

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from bounded_signals import KINDS, bound_value, make_signal
from conftest import one_line_error
from quillmere_tools import Settings, compress_many, compress_to_target, decompress, metrics
from quillmere_tools.units import channel

BOUNDS = ["max_error", "rmse", "prd", "psnr"]


def assert_holds(x, y, bounds):
    """Every bound on the decoded unit, with no tolerance."""
    measure = {"max_error": metrics.max_abs_error, "rmse": metrics.rmse, "prd": metrics.prd}
    for name, value in bounds.items():
        if name == "psnr":
            assert metrics.psnr(x, y) >= value, (name, value, metrics.summary(x, y))
        else:
            assert measure[name](x, y) <= value, (name, value, metrics.summary(x, y))
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    np.testing.assert_array_equal(np.isinf(y) & (y > 0), np.isinf(x) & (x > 0))


def fast_round_trip(x, bounds, **options):
    res = compress_to_target(x, effort="fast", **bounds, **options)
    y = decompress(res.unit)
    assert y.dtype == (np.float64 if x.dtype == np.float64 else np.float32) and y.shape == x.shape
    assert_holds(x, y, bounds)
    return res


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kind=st.sampled_from(KINDS), n=st.integers(1, 200), seed=st.integers(0, 2**32 - 1),
       dtype=st.sampled_from([np.float32, np.float64]), bound=st.sampled_from(BOUNDS + ["combined"]),
       frac=st.sampled_from([0.3, 0.05, 1e-2, 1e-3]), method=st.sampled_from(["cdf97", "cdf53", "db4"]),
       coder=st.sampled_from(["fast", "cmodel", "deflate"]), gaps=st.booleans())
def test_fast_bound_holds_on_short_signals(kind, n, seed, dtype, bound, frac, method, coder, gaps):
    x = make_signal(kind, n, seed)
    if kind != "offset":
        x = x.astype(dtype)
    if gaps and n > 2:
        x[seed % n] = np.nan
        x[(seed // 7) % n] = -np.inf
    if bound == "combined":
        bounds = {"max_error": bound_value("max_error", frac, x), "rmse": bound_value("rmse", frac / 3, x)}
    else:
        bounds = {bound: bound_value(bound, frac, x)}
    finite = x[np.isfinite(x)]
    if "psnr" in bounds and (finite.size == 0 or np.ptp(finite) == 0):
        with pytest.raises(ValueError, match="psnr"):  # its peak is the range
            compress_to_target(x, effort="fast", **bounds)
        return
    fast_round_trip(x, bounds, settings=Settings(method=method, coder=coder))


@pytest.mark.parametrize("bound", BOUNDS)
@pytest.mark.parametrize("kind", KINDS)
def test_fast_bound_holds_on_long_signals(kind, bound):
    x = make_signal(kind, 60_000, seed=11)
    if kind != "offset":
        x = x.astype(np.float32)
    if bound == "psnr" and kind == "flat":
        return  # no range, no PSNR (the short-signal test checks the refusal)
    fast_round_trip(x, {bound: bound_value(bound, 1e-3, x)})


@pytest.mark.parametrize("kind, frac", [("walk", 1e-3), ("walk", 1e-2), ("chirp", 1e-3), ("spikes", 1e-2)])
def test_fast_stays_near_the_thorough_size(kind, frac):
    # The prediction is one multiplier for every signal: far off on some
    # shape it would cost corrections or payload by the tens of per cent.
    x = make_signal(kind, 50_000, seed=4).astype(np.float32)
    bound = bound_value("max_error", frac, x)
    fast = compress_to_target(x, max_error=bound, effort="fast")
    thorough = compress_to_target(x, max_error=bound)
    assert 0.8 * thorough.size <= fast.size <= 1.2 * thorough.size, (fast.size, thorough.size)


@pytest.mark.parametrize("seed, frac", [(1, 0.03), (2, 0.03), (1, 0.001)])
def test_fast_prices_the_dead_zone_on_smooth_signals(seed, frac):
    # Most detail values of a random walk round to +-1 at these bounds: one
    # step of plain rounding came 1.7 to 2.1 times the thorough unit at 3 %.
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.standard_normal(60_000)).astype(np.float32)
    bound = frac * float(np.ptp(x))
    wavelet = Settings(coder="fast")
    fast = compress_to_target(x, max_error=bound, settings=wavelet, effort="fast")
    thorough = compress_to_target(x, max_error=bound, settings=wavelet)
    assert fast.size <= 1.1 * thorough.size, (fast.size, thorough.size)
    assert_holds(x, decompress(fast.unit), {"max_error": bound})


# The corrected figures are measured as the corrections are made, not by
# reading them back: both sample precisions, and float64 far from zero,
# which takes the offset and the corrections' float64 arithmetic.
@pytest.mark.parametrize("kind,dtype,frac", [("walk", np.float64, 0.01), ("walk", np.float32, 0.01),
                                             ("offset", np.float64, 0.01)])
def test_fast_report_matches_the_decoded_unit(kind, dtype, frac):
    x = make_signal(kind, 20_000, seed=9).astype(dtype)
    # The walk with an RMSE beside the peak bound, as the search meets both.
    bounds = ({"max_error": 0.01, "rmse": 0.004} if kind == "walk"
              else {"max_error": bound_value("max_error", frac, x)})
    res = compress_to_target(x, effort="fast", **bounds)
    y = decompress(res.unit)
    assert res.max_error == metrics.max_abs_error(x, y)
    assert res.rmse == pytest.approx(metrics.rmse(x, y), rel=1e-9)
    assert res.prd == pytest.approx(metrics.prd(x, y), rel=1e-9)
    assert res.corrected_samples > 0  # the bound was met by corrections, not by luck


def test_size_budget_is_searched_thoroughly_whatever_the_effort():
    x = make_signal("chirp", 20_000, seed=2).astype(np.float32)
    assert (compress_to_target(x, bits_per_sample=3.0, effort="fast").unit
            == compress_to_target(x, bits_per_sample=3.0).unit)


def test_default_effort_is_the_thorough_search():
    # The coder named, so that the wavelet unit is coded rather than the
    # rounded-grid integer unit, which is the same for either effort.
    x = make_signal("walk", 20_000, seed=3).astype(np.float32)
    wavelet = Settings(coder="fast")
    default = compress_to_target(x, max_error="0.1%", settings=wavelet).unit
    assert compress_to_target(x, max_error="0.1%", settings=wavelet, effort="thorough").unit == default
    assert compress_to_target(x, max_error="0.1%", settings=wavelet, effort="fast").unit != default


@pytest.mark.parametrize("threads", [1, 2])
def test_compress_many_takes_the_effort(threads):
    signals = [make_signal(k, 5000, seed=i).astype(np.float32) for i, k in enumerate(["walk", "chirp", "spikes"])]
    units = compress_many(signals, threads=threads, max_error="0.5%", effort="fast")
    assert units == [compress_to_target(x, max_error="0.5%", effort="fast").unit for x in signals]


def test_blocked_signal_takes_the_effort_in_every_block():
    x = make_signal("chirp", 20_000, seed=6).astype(np.float32)
    bound = bound_value("max_error", 1e-2, x)
    wavelet = Settings(coder="fast")
    fast = compress_to_target(x, max_error=bound, settings=wavelet, effort="fast", block_length=4096)
    assert_holds(x, decompress(fast.unit), {"max_error": bound})
    thorough = compress_to_target(x, max_error=bound, settings=wavelet, block_length=4096)
    assert fast.unit != thorough.unit


def test_companion_module_refuses_an_effort_code_it_does_not_know():
    from quillmere_tools import _native

    request = channel.native_request(bounds=None)._replace(effort_code=2)
    with pytest.raises(ValueError, match="effort_code 2 is out of range"):
        _native.encode_channel(np.zeros(10, np.float32), request)


BAD_EFFORTS = ["quick", "", "FAST", 1]


@pytest.mark.parametrize("value", BAD_EFFORTS)
def test_bad_effort_is_refused_naming_it(value):
    x = make_signal("walk", 1000, seed=1)
    with pytest.raises(ValueError, match=f"effort must be one of thorough, fast, got {value!r}"):
        compress_to_target(x, max_error=0.1, effort=value)
    with pytest.raises(ValueError, match="effort"):
        compress_many([x], max_error=0.1, effort=value)
    with pytest.raises(ValueError, match="effort"):
        channel.encode_channel(x, effort=value)


numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")

from quillmere_tools.numcodecs_codec import Quillmere  # noqa: E402
from quillmere_tools.zarr_codec import QuillmereCodec  # noqa: E402


@pytest.mark.parametrize("value", ["quick", 0])
def test_codecs_refuse_a_bad_effort_at_construction(value):
    with pytest.raises(ValueError, match="effort"):
        Quillmere(max_error=0.01, effort=value)
    with pytest.raises(ValueError, match="effort"):
        QuillmereCodec(max_error=0.01, effort=value)


def test_default_effort_leaves_the_configurations_as_they_were():
    assert "effort" not in Quillmere(max_error=0.01).get_config()
    assert "effort" not in QuillmereCodec(max_error=0.01).to_dict()["configuration"]
    # ... and a configuration written before the key existed reads as thorough.
    old = {"id": "quillmere", "method": "cdf97", "scale": 11, "cutoff": "low", "coder": None,
           "quant_multiplier": None, "max_error": 0.01, "rmse": None, "prd": None, "psnr": None,
           "bits_per_sample": None}
    assert numcodecs.get_codec(old).effort == "thorough"


def test_fast_effort_travels_in_the_configurations_and_chunks_meet_the_bound():
    # A coder named: the walk would otherwise take the integer unit, the same
    # for either effort.
    x = make_signal("walk", 6000, seed=5).reshape(2000, 3)
    codec = Quillmere(max_error=0.02, coder="fast", effort="fast")
    cfg = codec.get_config()
    assert cfg["effort"] == "fast"
    again = numcodecs.get_codec(json.loads(json.dumps(cfg)))
    assert again == codec
    chunk = again.encode(x)
    assert np.abs(again.decode(chunk) - x).max() <= 0.02
    assert chunk != Quillmere(max_error=0.02, coder="fast").encode(x)
    z = QuillmereCodec(max_error=0.02, effort="fast")
    d = z.to_dict()
    assert d["configuration"]["effort"] == "fast"
    assert QuillmereCodec.from_dict(json.loads(json.dumps(d))) == z


def test_cli_compresses_with_either_effort(cli, tmp_path):
    # The coder named, so that the wavelet unit is coded (see above).
    x = make_signal("walk", 30_000, seed=8)
    np.save(tmp_path / "w.npy", x)
    bound = 1e-3 * float(np.ptp(x))
    sizes = {}
    for effort in ("thorough", "fast"):
        out = f"w_{effort}.qlm"
        res = cli("compress", "w.npy", "-o", out, "--max-error", repr(bound), "--coder", "fast",
                  "--effort", effort)
        assert res.code == 0, res
        res = cli("decompress", out, "-o", f"back_{effort}.npy")
        assert res.code == 0, res
        assert metrics.max_abs_error(x, np.load(tmp_path / f"back_{effort}.npy").reshape(-1)) <= bound
        sizes[effort] = (tmp_path / out).stat().st_size
    assert sizes["fast"] != sizes["thorough"]


def test_cli_refuses_an_effort_without_a_bound(cli, tmp_path):
    np.save(tmp_path / "w.npy", make_signal("walk", 1000, seed=1))
    res = cli("compress", "w.npy", "--effort", "fast")
    one_line_error(res)
    assert "--effort" in res.err
    res = cli("compress", "w.npy", "--max-error", "0.1", "--effort", "quick")
    assert res.code != 0 and "--effort" in res.err and "quick" in res.err
