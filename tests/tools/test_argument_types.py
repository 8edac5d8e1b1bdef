"""The command-line word converters: the value each gives back, and the
usage text argparse shows for a word it cannot take."""
from __future__ import annotations

import argparse
import math

import pytest

from quillmere_tools.cli import argument_types as at


@pytest.mark.parametrize("convert, word, value", [
    (at.positive_float, "0.5", 0.5),
    (at.positive_float, "1e-3", 1e-3),
    (at.finite_float, "-2", -2.0),
    (at.finite_float, "0", 0.0),
    (at.multiplier, "0", 0.0),
    (at.positive_int, "1", 1),
    (at.non_negative_int, "0", 0),
    (at.absolute_or_percent, "0.1%", ("rel", 0.001)),
    (at.absolute_or_percent, "0.01", ("abs", 0.01)),
])
def test_accepted_words(convert, word, value):
    got = convert(word)
    if isinstance(value, tuple):
        assert got[0] == value[0] and math.isclose(got[1], value[1])
    else:
        assert got == value and type(got) is type(value)


@pytest.mark.parametrize("convert, word, message", [
    (at.positive_float, "abc", "not a number: 'abc'"),
    (at.positive_float, "0", "must be a positive number, got 0"),
    (at.positive_float, "inf", "must be a positive number, got inf"),
    (at.positive_float, "nan", "must be a positive number, got nan"),
    (at.finite_float, "x1", "not a number: 'x1'"),
    (at.finite_float, "-inf", "must be a finite number, got -inf"),
    (at.multiplier, "lots", "not a number: 'lots'"),
    (at.positive_int, "1.5", "not an integer: '1.5'"),
    (at.positive_int, "0", "must be a positive integer, got 0"),
    (at.non_negative_int, "", "not an integer: ''"),
    (at.non_negative_int, "-1", "must be 0 or more, got -1"),
    (at.absolute_or_percent, "%", "not a number: ''"),
])
def test_refused_words_say_why(convert, word, message):
    with pytest.raises(argparse.ArgumentTypeError) as caught:
        convert(word)
    assert str(caught.value) == message


def test_multiplier_refusal_from_the_parameter_check_becomes_usage_text():
    # The check's own ValueError must surface as usage, not a traceback.
    with pytest.raises(argparse.ArgumentTypeError):
        at.multiplier("-1")
