"""A bounded call's request and settings are made once for each distinct
argument set and reused: reused ones must give the same units and settings as
fresh ones, and bad arguments must still be refused by name."""
import numpy as np
import pytest

from quillmere_tools import compress_to_target, decompress
from quillmere_tools.bounds import Bounds
from quillmere_tools.settings import Settings
from quillmere_tools.units import channel


def _signal(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(30000)
    return (np.sin(t / 40.0) * 0.6 + 0.05 * rng.standard_normal(t.size)).astype(np.float32)


@pytest.mark.parametrize("effort", ["fast", "thorough", None])
def test_reused_requests_give_the_units_of_fresh_ones(effort):
    x, y = _signal(1), _signal(2)
    # Alternating bounds and signals: a request or settings kept from the
    # wrong call would show as a unit or settings that differ from a fresh one.
    for bound in (1e-3, 1e-2, 1e-3):
        for s in (x, y):
            fresh_request = channel.native_request(Settings(), Bounds(bound), effort=effort)
            fresh, report = channel.encode_many_with_reports([s], fresh_request, 1)[0]
            kwargs = {} if effort is None else {"effort": effort}
            got = compress_to_target(s, max_error=bound, **kwargs)
            assert got.unit == fresh
            assert got.settings == channel._settings_from_codes.__wrapped__(
                report.method_code, report.scale, report.cutoff_code, report.coder_code, report.quant_multiplier)
            assert np.max(np.abs(decompress(got.unit).astype(np.float64) - s)) <= bound


def test_settings_follow_each_report():
    x = _signal(3)
    coarse = compress_to_target(x, max_error=5e-2, effort="fast")
    fine = compress_to_target(x, max_error=1e-4, effort="fast")
    again = compress_to_target(x, max_error=5e-2, effort="fast")
    assert coarse.settings == again.settings
    assert coarse.settings.quant_multiplier != fine.settings.quant_multiplier


@pytest.mark.parametrize("effort, needle", [("quick", "effort"), (["fast"], "effort"), (3, "effort")])
def test_bad_efforts_are_still_refused_by_name(effort, needle):
    with pytest.raises(ValueError, match=needle):
        compress_to_target(_signal(4), max_error=1e-2, effort=effort)


@pytest.mark.parametrize("taken, refused", [(1.0, True), (1, True), (0.5, -0.5), (np.float64(0.02), "0.02")])
def test_a_bound_taken_before_does_not_let_a_bad_one_through(taken, refused):
    # The checked bounds are kept per argument set: a bool equal to a number
    # already taken, or a bad value after a good one, must still be refused.
    x = _signal(5)
    assert compress_to_target(x, max_error=taken, effort="fast").max_error <= float(taken)
    with pytest.raises(ValueError, match="max_error"):
        compress_to_target(x, max_error=refused, effort="fast")
    with pytest.raises(ValueError, match="rmse"):
        compress_to_target(x, rmse=refused, effort="fast")
