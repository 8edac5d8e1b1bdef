"""Settings are checked where they are written, the same way in every front
end, and nothing that is not JSON reaches array metadata."""
import json

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")

from quillmere_tools import Settings
from quillmere_tools.numcodecs_codec import Quillmere
from quillmere_tools.zarr_codec import QuillmereCodec


def _settings(**kw):
    return Settings(**{k: v for k, v in kw.items() if k in Settings.__dataclass_fields__})


def _get_codec(**kw):
    numcodecs.register_codec(Quillmere)
    return numcodecs.get_codec({"id": "quillmere", **kw})


def _from_dict(**kw):
    return QuillmereCodec.from_dict({"name": "quillmere", "configuration": kw})


FRONT_ENDS = {"Settings": _settings, "numcodecs": lambda **kw: Quillmere(**kw),
              "get_codec": _get_codec, "QuillmereCodec": lambda **kw: QuillmereCodec(**kw),
              "from_dict": _from_dict}

BAD = [
    ({"quant_multiplier": -5}, "quant_multiplier"),
    ({"quant_multiplier": float("nan")}, "quant_multiplier"),
    ({"quant_multiplier": float("inf")}, "quant_multiplier"),
    ({"quant_multiplier": 1e300}, "quant_multiplier"),
    ({"quant_multiplier": 1e-300}, "rounds to zero"),
    ({"quant_multiplier": 1e-40}, "subnormal"),
    ({"quant_multiplier": "100"}, "quant_multiplier"),
    ({"quant_multiplier": True}, "quant_multiplier"),
    ({"scale": 13}, "scale"), ({"scale": 11.0}, "scale"), ({"scale": "11"}, "scale"),
    ({"scale": np.int64(5)}, "scale"),
    ({"method": "haar"}, "method"), ({"cutoff": "max"}, "cutoff"), ({"coder": "zstd"}, "coder"),
    ({"method": None}, "method"),
]
BAD_BOUNDS = [
    ({"max_error": -1}, "max_error"), ({"rmse": float("nan")}, "rmse"),
    ({"prd": "1"}, "prd"), ({"psnr": float("inf")}, "psnr"),
    ({"bits_per_sample": 0}, "bits_per_sample"),
    ({"quant_multiplier": 100.0, "prd": 1.0}, "either quant_multiplier or an error bound"),
]


@pytest.mark.parametrize("front_end", FRONT_ENDS)
@pytest.mark.parametrize("kwargs,named", BAD + BAD_BOUNDS)
def test_bad_settings_fail_at_construction_naming_the_parameter(front_end, kwargs, named):
    if front_end == "Settings" and not set(kwargs) <= set(Settings.__dataclass_fields__):
        pytest.skip("Settings holds no error bounds")
    with pytest.raises(ValueError, match=named):
        FRONT_ENDS[front_end](**kwargs)


GOOD = [
    {"scale": np.int64(11), "quant_multiplier": np.float32(0.1)},
    {"scale": np.uint8(6), "quant_multiplier": np.float64(300.0)},
    {"quant_multiplier": 0},  # zero asked for: a constant output, taken at its word
    {"coder": "auto"},
]


@pytest.mark.parametrize("front_end", FRONT_ENDS)
@pytest.mark.parametrize("kwargs", GOOD)
def test_numpy_scalars_are_welcome_and_stored_as_plain_numbers(front_end, kwargs):
    made = FRONT_ENDS[front_end](**kwargs)
    for name in kwargs:
        value = getattr(made, name)
        assert value is None or type(value) in (int, float, str)


def test_numpy_bounds_are_welcome(tmp_path):
    codec = QuillmereCodec(max_error=np.float32(0.01), psnr=np.int32(40))
    assert json.loads(json.dumps(codec.to_dict()))["configuration"]["psnr"] == 40.0


def test_zarr_metadata_stays_json(tmp_path):
    # A NaN multiplier used to be written into zarr.json, which no JSON
    # reader accepts; now it cannot be constructed, and what is written reads.
    with pytest.raises(ValueError):
        QuillmereCodec(quant_multiplier=float("nan"))
    z = zarr.create_array(store=str(tmp_path / "a.zarr"), shape=(100,), dtype="f8",
                          serializer=QuillmereCodec(quant_multiplier=np.float32(300)),
                          compressors=None, fill_value=0.0)
    z[:] = np.linspace(0, 1, 100)
    text = (tmp_path / "a.zarr" / "zarr.json").read_text()
    doc = json.loads(text, parse_constant=lambda c: pytest.fail(f"{c} in zarr.json"))
    assert doc["codecs"][0]["configuration"]["quant_multiplier"] == 300.0
