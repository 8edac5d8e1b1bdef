"""The comparison bench's arithmetic: which settings count, and how a ratio is
read off at a target error. A slip here would misreport every table."""

import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import compare_codecs  # noqa: E402
import compare_sweep  # noqa: E402
import signals  # noqa: E402


def pt(err, ratio, family="f"):
    return compare_sweep.Point(family, None, err, ratio, 0)


def test_frontier_drops_dominated_and_lossless_points():
    pts = [pt(1e-3, 10), pt(2e-3, 8), pt(1e-4, 3), pt(0.0, 2), pt(5e-3, 20), pt(5e-3, 15)]
    front = compare_sweep.frontier(pts)
    assert [(p.err, p.ratio) for p in front] == [(1e-4, 3), (1e-3, 10), (5e-3, 20)]


@pytest.mark.parametrize("target, expected", [
    (1e-3, 10.0),                        # exactly on a point
    (math.sqrt(1e-4 * 1e-3), math.sqrt(3 * 10)),  # log-log midpoint
    (1e-5, None),                        # below the finest setting: no extrapolation
    (1e-2, None),                        # above the coarsest
])
def test_at_target_interpolates_log_log_without_extrapolating(target, expected):
    front = compare_sweep.frontier([pt(1e-4, 3), pt(1e-3, 10), pt(5e-3, 20)])
    hit = compare_sweep.at_target(front, target)
    if expected is None:
        assert hit is None
    else:
        assert hit[0] == pytest.approx(expected, rel=1e-12)
        # The timed setting is the bracketing point nearer in log error.
        assert abs(math.log(hit[1].err / target)) <= math.log(10) / 2 + 1e-12


def test_best_at_target_never_joins_points_of_different_families():
    # a and b each bracket 1e-3 and b's line is the better one there; c's
    # single point is far better but brackets nothing, and joining it to a
    # neighbour of another family would invent a setting.
    pts = [pt(5e-4, 4, "a"), pt(2e-3, 6, "a"), pt(4e-4, 5, "b"), pt(3e-3, 9, "b"),
           pt(9e-4, 50, "c")]
    ratio, near = compare_sweep.best_at_target(pts, 1e-3)
    assert near.family == "b"
    assert ratio < 9


def test_nrmse_is_relative_to_the_range_and_checks_shape():
    x = np.array([0.0, 2.0, 4.0, 2.0], dtype=np.float32)
    assert compare_sweep.nrmse(x, x + np.float32(0.4)) == pytest.approx(0.1)
    with pytest.raises(ValueError):
        compare_sweep.nrmse(x, x[:3])


def test_hand_rolled_wavelet_peer_round_trips():
    pytest.importorskip("pywt")
    codec = compare_codecs.PywtInt16Zlib()
    x = signals.chirp(n=5003, seed=1)
    errs = []
    for m in (64.0, 4096.0):
        y = codec.decode(codec.encode(x, m), m, x.size)
        assert y.dtype == np.float32 and y.shape == x.shape
        errs.append(compare_sweep.nrmse(x, y))
    assert errs[1] < errs[0] and errs[1] < 1e-3


def test_pcm_reader_scales_and_keeps_the_first_channel(tmp_path):
    import wave
    path = tmp_path / "st.wav"
    frames = np.array([[-32768, 7], [16384, 7], [0, 7]], dtype="<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(frames.tobytes())
    assert signals.read_pcm16_wav(str(path)).tolist() == [-1.0, 0.5, 0.0]
