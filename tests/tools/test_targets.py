import numpy as np
import pytest
import quillmere


from quillmere_tools import Settings, TargetNotMet, compress_to_target, decompress, metrics

MEASURE = {"max_error": metrics.max_abs_error, "rmse": metrics.rmse, "prd": metrics.prd}


def _bound_for(kind, x):
    r = float(x.max() - x.min())
    return {"max_error": 2e-3 * r, "rmse": 5e-4 * r, "prd": 1.0}[kind]


@pytest.mark.parametrize("kind", ["max_error", "rmse", "prd"])
@pytest.mark.parametrize("method", ["cdf97", "cdf53", "sym4"])
def test_result_meets_bound_when_decoded_independently(ecg, kind, method):
    bound = _bound_for(kind, ecg)
    res = compress_to_target(ecg, settings=Settings(method=method), **{kind: bound})
    y = decompress(res.unit)
    assert MEASURE[kind](ecg, y) <= bound
    assert getattr(res, kind) == pytest.approx(MEASURE[kind](ecg, y), rel=1e-9)
    assert res.settings.method == method


@pytest.mark.parametrize("kind", ["max_error", "prd"])
def test_search_is_close_to_brute_force_optimum(ecg, kind):
    x = ecg[:4000]
    bound = _bound_for(kind, x)
    res = compress_to_target(x, **{kind: bound})
    # Exhaustive scan of multipliers in ~2 % steps across 2**0 .. 2**16.
    best = None
    for k in range(0, 16 * 36 + 1):
        m = float(np.float32(2.0 ** (k / 36)))
        try:
            c = quillmere.compress_signal(x, quillmere.CompressionOptions(quant_multiplier=m))
        except ValueError:  # saturates at one level: so does every larger multiplier
            break
        if MEASURE[kind](x, quillmere.decompress_signal(c)) <= bound:
            best = len(c) if best is None else min(best, len(c))
    assert best is not None
    assert res.size <= best * 1.03


def test_wider_search_is_never_worse(ecg):
    bound = _bound_for("max_error", ecg)
    narrow = compress_to_target(ecg, max_error=bound)
    wide = compress_to_target(ecg, max_error=bound, methods=["cdf97", "cdf53", "db4", "sym4"],
                              coders=["cmodel", "arans", "deflate"])
    assert wide.size <= narrow.size
    assert metrics.max_abs_error(ecg, decompress(wide.unit)) <= bound


def test_several_bounds_must_all_hold(ecg):
    r = float(ecg.max() - ecg.min())
    res = compress_to_target(ecg, max_error=5e-3 * r, prd=0.2)
    y = decompress(res.unit)
    assert metrics.max_abs_error(ecg, y) <= 5e-3 * r and metrics.prd(ecg, y) <= 0.2


def test_unreachable_bound_raises(ecg):
    with pytest.raises(TargetNotMet, match="max_error"):
        compress_to_target(ecg, max_error=1e-12)


@pytest.mark.parametrize("kwargs", [{}, {"max_error": 0.0}, {"rmse": -1.0}, {"prd": float("nan")}])
def test_invalid_bounds_are_rejected(ecg, kwargs):
    with pytest.raises(ValueError):
        compress_to_target(ecg, **kwargs)


@pytest.mark.parametrize("methods, coders, pairs", [(None, None, 1), (["db4", "sym4"], None, 2),
                                                     (["cdf97", "db4"], ["arans", "cmodel", "fast"], 6)])
def test_result_names_the_unit_and_the_pairs_searched(ecg, methods, coders, pairs):
    res = compress_to_target(ecg[:3000], max_error=0.01, methods=methods, coders=coders)
    assert res.candidate_pairs == pairs
    assert res.size == len(res.unit) and not hasattr(res, "tried")
    # The names it had before still read, with a warning naming the new one.
    with pytest.warns(DeprecationWarning, match="TargetResult.unit"):
        assert res.container == res.unit
    with pytest.warns(DeprecationWarning, match="candidate_pairs"):
        assert res.evaluations == pairs
