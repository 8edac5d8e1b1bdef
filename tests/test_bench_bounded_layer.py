"""The benchmarks that set a fast bounded compress against a plain compress
of its own wavelet layer. The settings they find must code exactly that
layer (else the "x layer" column times some other, cheaper layer), and
their function groups must put each native function where its work
belongs (a slip would charge the decoder's arithmetic to quantising)."""

import os
import sys

import numpy as np
import pytest

from quillmere_tools import compress_to_target, decompress
from quillmere_tools.units import channel

BENCH = os.path.join(os.path.dirname(__file__), os.pardir, "bench")
sys.path.insert(0, BENCH)
import bounded_bench  # noqa: E402
import bounded_decode_bench  # noqa: E402
import bounded_instructions  # noqa: E402


def tone(noise: float) -> np.ndarray:
    t = np.arange(20_000)
    rng = np.random.default_rng(5)
    x = np.sin(t * 0.031) * np.sin(t * 0.0007) + 0.5 * np.sin(t * 0.17 + 3 * np.sin(t * 0.001))
    return (x + noise * rng.standard_normal(t.size)).astype(np.float32)


def at(x: np.ndarray, fraction: float, effort: str):
    return compress_to_target(x, max_error=fraction * float(x.max() - x.min()), effort=effort)


def test_the_layer_settings_code_the_fast_units_own_layer():
    x = tone(0.01)
    res = at(x, 0.01, "fast")
    assert res.settings.coder == "fast" and res.corrected_samples > 0
    layer = bounded_bench.layer_settings(x, res)
    assert layer is not None and layer.scale == 6
    plain = channel.encode_channel(x, layer)
    # The same samples as the bounded unit read without its corrections.
    np.testing.assert_array_equal(decompress(plain), decompress(bounded_decode_bench.wavelet_layer(res.unit)))
    # The reported settings apply their scale's dead zone: another layer.
    assert channel.encode_channel(x, res.settings)[52:] != plain[52:]


@pytest.mark.parametrize("noise, fraction, effort", [
    (0.01, 0.01, "thorough"),  # values moved for the bound: no plain rounding gives them
    (0.01, 0.001, "fast"),     # an integer unit: no wavelet layer at all
])
def test_no_layer_settings_where_no_plain_compress_codes_the_layer(noise, fraction, effort):
    x = tone(noise)
    assert bounded_bench.layer_settings(x, at(x, fraction, effort)) is None


@pytest.mark.parametrize("name, group", [
    ("quillmere::dequantise [.avx2]", "inverse transform"),
    ("quillmere::stages::anon::denormalise [.avx2]", "inverse transform"),
    ("wavelet::anon::inverse_pairs [.avx2]", "inverse transform"),
    ("wavelet::anon::forward [.avx2]", "forward transform"),
    ("quillmere::quantise [.avx2]", "quantising"),
    ("quillmere::search::corrected_distortion", "judgement"),
    ("void quillmere::search::anon::marked_lane_sums<true> [.avx2]", "judgement"),
    ("quillmere::corrections::tokens::encode", "corrections"),
    ("quillmere_tools::anon::predict_bits_of [.avx2]", "integer-unit prediction"),
    ("quillmere::fast::anon::encode_body", "coding"),
    ("./string/../sysdeps/x86_64/multiarch/memset-vec-unaligned-erms.S:__memset_avx2_unaligned_erms",
     "memset/memcpy (bytes)"),
    ("quillmere_tools::encode_wavelet_unit", "the rest"),
])
def test_native_functions_fall_in_the_group_of_their_work(name, group):
    assert bounded_instructions.group_of(name) == group
