"""The distortion measures every bound is judged by."""
import math

import numpy as np
import pytest

from quillmere_tools import Bounds, metrics

X = np.array([1.0, -2.0, 3.0, 0.0])
Y = np.array([1.5, -2.0, 2.0, 0.0])  # errors 0.5, 0, 1, 0


@pytest.mark.parametrize("measure, expected", [
    (metrics.max_abs_error, 1.0),
    (metrics.rmse, math.sqrt(1.25 / 4)),
    (metrics.prd, 100 * math.sqrt(1.25 / 14)),
    (metrics.psnr, 20 * math.log10(5.0 / math.sqrt(1.25 / 4))),
    (metrics.signal_range, 5.0),
])
def test_measures_by_hand(measure, expected):
    got = measure(X) if measure is metrics.signal_range else measure(X, Y)
    assert got == pytest.approx(expected, rel=1e-15)


def test_non_finite_originals_are_left_out():
    x = np.concatenate([X, [np.nan, np.inf, -np.inf]])
    y = np.concatenate([Y, [7.0, 0.0, np.nan]])
    for m in (metrics.max_abs_error, metrics.rmse, metrics.prd, metrics.psnr):
        assert m(x, y) == m(X, Y)
    assert metrics.signal_range(x) == 5.0


def test_a_reconstruction_missing_a_finite_sample_is_not_hidden():
    y = Y.copy()
    y[1] = np.nan
    assert math.isnan(metrics.max_abs_error(X, y))


@pytest.mark.parametrize("x, y, prd, psnr", [
    (np.zeros(4), np.zeros(4), 0.0, math.inf),          # exact, silent signal
    (np.zeros(4), np.full(4, 0.1), math.inf, -math.inf),  # any error on silence
    (np.ones(4), np.ones(4), 0.0, math.inf),            # exact flat signal
])
def test_degenerate_signals(x, y, prd, psnr):
    assert metrics.prd(x, y) == prd
    assert metrics.psnr(x, y) == psnr


def test_float32_reconstruction_measured_in_float64():
    x = np.array([0.1, 0.2], dtype=np.float64)
    y = x.astype(np.float32)
    assert metrics.max_abs_error(x, y) == np.abs(x - y.astype(np.float64)).max() > 0


def test_length_mismatch_refused():
    with pytest.raises(ValueError, match="length mismatch"):
        metrics.rmse(X, Y[:3])


def test_summary_relative_forms():
    s = metrics.summary(X, Y)
    assert s["max_error_rel"] == pytest.approx(1.0 / 5.0)
    assert s["rmse_rel"] == pytest.approx(metrics.rmse(X, Y) / 5.0)
    assert set(s) == {"max_error", "rmse", "max_error_rel", "rmse_rel", "prd", "psnr"}


@pytest.mark.parametrize("name", ["max_error", "rmse", "prd", "psnr", "bits_per_sample"])
@pytest.mark.parametrize("value", [0, -1.0, math.nan, math.inf, -math.inf, "1", True])
def test_bad_bounds_refused_by_name(name, value):
    with pytest.raises(ValueError, match=name):
        Bounds(**{name: value})


def test_bounds_accept_numpy_scalars_as_floats():
    b = Bounds(max_error=np.float32(0.5), bits_per_sample=np.int64(3))
    assert b.as_kwargs() == {"max_error": 0.5, "bits_per_sample": 3.0}
    assert type(b.max_error) is float
