"""CompressionOptions: conversion, validation (in their order), messages, and
the record it hands to the codec, read back from the container header."""

from __future__ import annotations

import json
import math
import pathlib

import numpy as np
import pytest
from quillmere import CompressionOptions, compress_signal

VECTORS = pathlib.Path(__file__).parent / "data" / "vectors"
METHOD_EXPECTED = ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
CUTOFF_EXPECTED = ", expected 'low' or 'medium' or 'high'"
CODER_EXPECTED = ", expected 'auto', 'deflate', 'arans'"


@pytest.fixture
def header(signal, header_fields):
    """The header fields of `signal` compressed with the given options."""
    return lambda options: header_fields(compress_signal(signal, options))


@pytest.fixture
def outcome(signal):
    """The codec's answer to the given options: the container, or the error."""

    def run(options: CompressionOptions):
        try:
            return compress_signal(signal, options)
        except ValueError as exc:
            return exc.args

    return run


def test_type_surface():
    assert CompressionOptions.__module__ == "builtins"
    assert CompressionOptions.__name__ == CompressionOptions.__qualname__ == "CompressionOptions"
    assert CompressionOptions.__text_signature__ == (
        '(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None)'
    )
    with pytest.raises(TypeError):

        class Sub(CompressionOptions):  # noqa: F841
            pass

    options = CompressionOptions()
    assert not hasattr(options, "__dict__")
    for name in ("method", "scale", "cutoff", "coder", "quant_multiplier"):
        assert not hasattr(options, name)
    with pytest.raises(AttributeError):
        options.scale = 6
    with pytest.raises(TypeError):
        CompressionOptions.scale = 6


@pytest.mark.parametrize(
    ("kwargs", "method_tag", "scale", "coder"),
    [
        ({}, "cf97", 11, 2),
        ({"method": "cdf53", "scale": 6, "coder": "deflate"}, "cf53", 6, 0),
        ({"method": "db4", "scale": 12, "coder": "arans"}, "db04", 12, 1),
        ({"method": "sym4", "cutoff": "high", "coder": "cmodel"}, "sym4", 11, 2),
        ({"coder": "auto", "cutoff": "medium"}, "cf97", 11, 2),
    ],
)
def test_record_reaches_the_codec(header, kwargs, method_tag, scale, coder):
    fields = header(CompressionOptions(**kwargs))
    assert (fields["method_tag"], fields["scale"], fields["coder"]) == (method_tag, scale, coder)
    assert fields["multiplier"] == 2.0**scale


@pytest.mark.parametrize(
    ("given", "stored"),
    [(1, 1.0), (3.0, 3.0), (0.0, 0.0), (0.1, float(np.float32(0.1))), (np.float64(2.5), 2.5), (True, 1.0)],
)
def test_multiplier_is_stored_as_float32(header, given, stored):
    assert header(CompressionOptions(quant_multiplier=given))["multiplier"] == stored


@pytest.mark.parametrize(
    ("given", "same_as"),
    [
        (1e300, math.inf),
        (-1e39, -math.inf),
        # float32's largest value plus half an ulp is a tie, which goes to the
        # even neighbour: infinity.
        (3.4028235677973366e38, math.inf),
        (3.4028235677973362e38, float(np.finfo(np.float32).max)),
        (1e-50, 0.0),
    ],
)
def test_multiplier_rounds_like_float32(outcome, given, same_as):
    assert outcome(CompressionOptions(quant_multiplier=given)) == outcome(CompressionOptions(quant_multiplier=same_as))


@pytest.mark.parametrize("value", [0.0, -2.5, math.inf, -math.inf, math.nan, 1e300])
def test_constructor_puts_no_range_on_the_multiplier(value):
    CompressionOptions(quant_multiplier=value)


def test_equivalent_spellings_give_identical_bytes(signal):
    positional = compress_signal(signal, CompressionOptions("db4", 8, "high", "cmodel", 3.0))
    keywords = compress_signal(
        signal, CompressionOptions(quant_multiplier=3.0, coder="cmodel", cutoff="high", scale=8, method="db4")
    )
    assert positional == keywords
    assert compress_signal(signal, CompressionOptions(coder=None)) == compress_signal(
        signal, CompressionOptions(coder="auto")
    )
    assert compress_signal(signal, CompressionOptions(scale=np.int8(9))) == compress_signal(
        signal, CompressionOptions(scale=9)
    )


CASES = [case for case in json.loads((VECTORS / "manifest.json").read_text())["cases"] if case["exact_container"]]


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_reference_containers_through_python(case):
    samples = np.fromfile(VECTORS / case["input"], dtype="<f4")
    container = compress_signal(samples, CompressionOptions(**case["options"]))
    assert container == (VECTORS / case["container"]).read_bytes()


@pytest.mark.parametrize(
    ("kwargs", "error", "message", "notes"),
    [
        # Conversion failures, with the parameter's note.
        ({"method": None}, TypeError, "'None' is not an instance of 'str'", ["while processing 'method'"]),
        ({"method": b"cdf97"}, TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'method'"]),
        ({"cutoff": None}, TypeError, "'None' is not an instance of 'str'", ["while processing 'cutoff'"]),
        ({"coder": 2}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'coder'"]),
        ({"scale": None}, TypeError, None, ["while processing 'scale'"]),
        ({"scale": 11.0}, TypeError, None, ["while processing 'scale'"]),
        ({"scale": 256}, OverflowError, "out of range integral type conversion attempted",
         ["while processing 'scale'"]),
        ({"scale": -1}, OverflowError, "out of range integral type conversion attempted",
         ["while processing 'scale'"]),
        ({"scale": 2**70}, OverflowError, None, ["while processing 'scale'"]),
        ({"quant_multiplier": "2"}, TypeError, None, ["while processing 'quant_multiplier'"]),
        ({"quant_multiplier": 1j}, TypeError, None, ["while processing 'quant_multiplier'"]),
        ({"method": "cdf\ud800"}, UnicodeEncodeError, None, ["while processing 'method'"]),
        ({"coder": "\udfff"}, UnicodeEncodeError, None, ["while processing 'coder'"]),
        # Validation failures, without notes.
        ({"method": "CDF97"}, ValueError, 'Unknown method "CDF97"' + METHOD_EXPECTED, None),
        ({"cutoff": "Low"}, ValueError, 'Unknown cutoff level "Low"' + CUTOFF_EXPECTED, None),
        ({"coder": "Deflate"}, ValueError, 'Unknown coder "Deflate"' + CODER_EXPECTED, None),
        ({"coder": ""}, ValueError, 'Unknown coder ""' + CODER_EXPECTED, None),
        ({"scale": 5}, ValueError, "Only scaled 6..12 is supported, but it was 5", None),
        ({"scale": 13}, ValueError, "Only scaled 6..12 is supported, but it was 13", None),
        ({"scale": True}, ValueError, "Only scaled 6..12 is supported, but it was 1", None),
        ({"scale": 5, "quant_multiplier": 2.0}, ValueError, "Only scaled 6..12 is supported, but it was 5", None),
        # Order: conversion of any parameter before validation of any.
        ({"method": "x", "scale": 300}, OverflowError, "out of range integral type conversion attempted",
         ["while processing 'scale'"]),
        ({"method": "x", "quant_multiplier": "y"}, TypeError, None, ["while processing 'quant_multiplier'"]),
        ({"method": "x", "cutoff": "y"}, ValueError, 'Unknown method "x"' + METHOD_EXPECTED, None),
        ({"cutoff": "y", "scale": 20}, ValueError, 'Unknown cutoff level "y"' + CUTOFF_EXPECTED, None),
        ({"scale": 20, "coder": "z"}, ValueError, "Only scaled 6..12 is supported, but it was 20", None),
    ],
)
def test_construction_errors(kwargs, error, message, notes):
    with pytest.raises(error) as info:
        CompressionOptions(**kwargs)
    assert type(info.value) is error
    if message is not None:
        assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", None) == notes


@pytest.mark.parametrize(
    ("text", "rendered"),
    [
        ("cdf97\n", r'"cdf97\n"'),
        ('a"b\\c', r'"a\"b\\c"'),
        ("\t\r\x00", r'"\t\r\0"'),
        ("\x07\x7f", r'"\u{7}\u{7f}"'),
        ("zero\u200bwidth", r'"zero\u{200b}width"'),
        ("ondulé ψ 波", '"ondulé ψ 波"'),
        ("\U0001f600", '"\U0001f600"'),
        (" sym4 ", '" sym4 "'),
    ],
)
def test_bad_strings_are_quoted_literals(text, rendered):
    with pytest.raises(ValueError) as info:
        CompressionOptions(method=text)
    assert info.value.args == ("Unknown method " + rendered + METHOD_EXPECTED,)


def test_string_subclasses_are_strings(header):
    class Name(str):
        pass

    assert header(CompressionOptions(Name("sym4"), coder=Name("arans")))["method_tag"] == "sym4"
