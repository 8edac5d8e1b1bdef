"""The companion module's request and results, by name on both sides.

mypy checks the callers against _native.pyi; these tests check the stub
against the compiled module, so a field added, dropped or renamed on one
side only fails here instead of reading the wrong number."""
import ast
import pathlib

import numpy as np
import pytest

import quillmere_tools as qt
from quillmere_tools import _native
from quillmere_tools.units import channel as frames
from quillmere_tools import settings as parameters

STUB = pathlib.Path(__file__).resolve().parents[2] / "quillmere_tools" / "_native.pyi"


def stub_properties(class_name):
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == class_name:
            return [f.name for f in node.body if isinstance(f, ast.FunctionDef)]
    raise AssertionError(f"{class_name} is not in the stub")


@pytest.mark.parametrize("class_name, compiled", [("UnitReport", _native.UnitReport),
                                                  ("UnitLayout", _native.UnitLayout)])
def test_stub_names_every_field_of_the_compiled_results(class_name, compiled):
    # A struct sequence's fields are member descriptors, in their order.
    fields = [name for name, v in vars(compiled).items() if type(v).__name__ == "member_descriptor"]
    assert compiled.n_fields == compiled.n_sequence_fields == len(fields)
    assert fields == stub_properties(class_name)


def test_request_protocol_matches_what_frames_passes():
    assert list(frames.UnitRequest._fields) == stub_properties("UnitRequest")


def test_report_reads_back_the_settings_and_measures():
    x = np.sin(np.arange(4000) / 30.0)
    unit, report = frames.encode_with_report(x, qt.Settings(method="db4", cutoff="medium", coder="arans"),
                                             qt.Bounds(max_error=1e-3))
    assert (report.method_code, report.cutoff_code, report.coder_code) == (
        parameters.METHOD_CODES["db4"], parameters.CUTOFF_CODES["medium"], parameters.CODER_CODES["arans"])
    y = qt.decompress(unit)
    assert report.measured and report.max_error == pytest.approx(qt.max_abs_error(x, y), rel=1e-6)
    assert report.max_error <= 1e-3
    assert 52 < report.container_bytes <= len(unit)
    assert frames.settings_of(report).quant_multiplier == report.quant_multiplier


@pytest.mark.parametrize("change, error, words", [
    ({"scale": 13}, ValueError, "scale 13"),
    ({"method_code": 4}, ValueError, "method_code 4"),
    ({"cutoff_code": -1}, ValueError, "cutoff_code -1"),
    ({"coder_code": 5}, ValueError, "coder_code 5"),
    ({"coder_codes": (0, 254)}, ValueError, "coder_code 254"),
    ({"method_codes": [1]}, TypeError, "method_codes must be a tuple"),
    ({"max_error": "0.1"}, TypeError, "real number"),
    ({"grid_step": "0.1"}, TypeError, "real number"),
])
def test_request_values_are_checked_by_name(change, error, words):
    request = frames.native_request()._replace(**change)
    with pytest.raises(error, match=words):
        _native.encode_channel(np.zeros(100, np.float32), request)


def test_a_missing_request_attribute_is_named():
    class Partial:
        method_code, scale, cutoff_code, coder_code = 1, 11, 0, 255

    with pytest.raises(TypeError, match="request has no attribute quant_multiplier"):
        _native.encode_channel(np.zeros(100, np.float32), Partial())


def test_any_object_with_the_names_is_a_request():
    # The C++ reads attributes, not positions: a plain namespace in another
    # order gives the same bytes.
    from types import SimpleNamespace

    request = frames.native_request(bounds=qt.Bounds(rmse=0.01))
    shuffled = SimpleNamespace(**dict(reversed(list(request._asdict().items()))))
    x = np.cos(np.arange(3000) / 17.0)
    assert _native.encode_channel(x, shuffled)[0] == _native.encode_channel(x, request)[0]


@pytest.mark.parametrize("method", parameters.METHODS)
@pytest.mark.parametrize("cutoff", parameters.CUTOFFS)
def test_option_codes_from_the_codec_name_what_its_containers_store(method, cutoff):
    # The tools take names and codes from the codec's table: a unit coded
    # with a name carries that name's code and the same container head as
    # the module's own compression under that name.
    import quillmere
    from quillmere_tools.qlm import container_header

    x = np.sin(np.arange(400) / 5.0).astype(np.float32)
    settings = qt.Settings(method=method, cutoff=cutoff, coder="cmodel")
    unit, report = frames.encode_with_report(x, settings)
    assert report.method_code == parameters.METHOD_CODES[method]
    assert report.cutoff_code == parameters.CUTOFF_CODES[cutoff]
    assert report.coder_code == parameters.CODER_CODES["cmodel"]
    module_container = quillmere.compress_signal(x, settings.options())
    assert container_header.parse_header(bytes(unit))["method"] == method
    assert bytes(unit[:len(module_container)]) == module_container


def test_option_codes_cover_every_scale_and_the_default():
    assert parameters.SCALES[0] <= parameters.DEFAULT_SCALE <= parameters.SCALES[-1]
    for scale in (parameters.SCALES[0] - 1, parameters.SCALES[-1] + 1):
        with pytest.raises(ValueError):
            qt.Settings(scale=scale)
