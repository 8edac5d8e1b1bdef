"""The shortcuts on a plain compress's Python path (Settings already in
their checked form, samples already a native 1-D vector) must leave exactly
what the general route leaves: the same stored values and types, the same
refusals, the same samples and bytes."""
import numpy as np
import pytest

from quillmere_tools import Settings
from quillmere_tools.units import channel


class _Text(str):
    pass


class _Whole(int):
    pass


# Each pair: what is given, what is stored (value and exact type).
STORED = [
    ({}, {"method": "cdf97", "scale": 11, "cutoff": "low", "coder": None, "quant_multiplier": None}),
    ({"coder": "auto"}, {"coder": None}),
    ({"coder": "fast", "scale": 7}, {"coder": "fast", "scale": 7}),
    ({"scale": np.int64(9)}, {"scale": 9}),
    ({"scale": _Whole(8)}, {"scale": 8}),
    # Names are stored as given, a str subclass included.
    ({"method": _Text("db4")}, {"method": _Text("db4")}),
    ({"cutoff": np.str_("high")}, {"cutoff": np.str_("high")}),
    ({"quant_multiplier": np.float32(100.0)}, {"quant_multiplier": 100.0}),
    ({"quant_multiplier": 0}, {"quant_multiplier": 0.0}),
]


@pytest.mark.parametrize("given,stored", STORED)
def test_settings_store_checked_values_of_plain_types(given, stored):
    s = Settings(**given)
    for name, value in stored.items():
        got = getattr(s, name)
        assert got == value and type(got) is type(value), (name, got)


@pytest.mark.parametrize("given", [{"scale": True}, {"scale": 13}, {"method": ["cdf97"]},
                                   {"cutoff": "Low"}, {"coder": "integer "}, {"coder": 3}])
def test_settings_off_the_shortcut_are_still_refused(given):
    with pytest.raises(ValueError, match=next(iter(given))):
        Settings(**given)


def test_settings_equal_and_hash_alike_however_made():
    assert Settings(scale=np.int64(11), coder="auto") == Settings()
    assert hash(Settings(method=_Text("cdf97"))) == hash(Settings())


def _signals():
    x = np.random.default_rng(7).standard_normal(5000)
    return {
        "float32": x.astype(np.float32),
        "float64": x,
        "big-endian float32": x.astype(">f4"),
        "strided float32": x.astype(np.float32)[::2],
        "list": x[:300].tolist(),
        "int16": (x * 1000).astype(np.int16),
        "float16": x.astype(np.float16),
    }


@pytest.mark.parametrize("name", list(_signals()))
def test_samples_are_native_contiguous_and_code_alike(name):
    x = _signals()[name]
    s = channel.as_samples(x)
    assert s.ndim == 1 and s.flags.c_contiguous and s.dtype.isnative
    assert s.dtype in (np.float32, np.float64)
    reference = np.ascontiguousarray(np.asarray(x).reshape(-1),
                                     dtype=np.float32 if s.dtype == np.float32 else np.float64)
    assert np.array_equal(s, reference)
    settings = Settings(coder="fast")
    assert channel.encode_channel(x, settings) == channel.encode_channel(reference.copy(), settings)


def test_samples_of_more_than_one_dimension_are_still_refused():
    with pytest.raises(ValueError, match="1-D"):
        channel.as_samples(np.zeros((2, 3), np.float32))
