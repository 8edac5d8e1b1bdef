""""0.1%" means the same fraction of a channel's range on every front end:
the command line, compress_to_target, compress_many and the array codecs."""
import numpy as np
import pytest

pytest.importorskip("quillmere")

import quillmere_tools as qt
from quillmere_tools import bounds, metrics
from quillmere_tools.cli.argument_types import absolute_or_percent

X = 5.0 * np.sin(np.arange(3000) / 30.0) + 1.0
Y = 0.5 * np.cos(np.arange(2000) / 10.0)


@pytest.mark.parametrize("text,expected", [("0.1%", ("rel", 0.001)), (" 2.5 %", ("rel", 0.025)),
                                           ("0.01", ("abs", 0.01))])
def test_the_command_line_reads_the_library_form(text, expected):
    kind, value = absolute_or_percent(text.strip())
    assert kind == expected[0] and value == pytest.approx(expected[1], rel=1e-15)
    absolute, fraction = bounds.parse_bound_text(text.strip())
    assert (absolute if kind == "abs" else fraction) == value


@pytest.mark.parametrize("name", ["max_error", "rmse"])
def test_python_calls_resolve_against_each_signals_range(name):
    measure = metrics.max_abs_error if name == "max_error" else metrics.rmse
    res = qt.compress_to_target(X, **{name: "0.1%"})
    assert measure(X, qt.decompress(res.unit)) <= 0.001 * metrics.signal_range(X)
    units = qt.compress_many([X, Y], threads=2, **{name: "0.1%"})
    for x, unit in zip((X, Y), units):
        assert measure(x, qt.decompress(unit)) <= 0.001 * metrics.signal_range(x)
    # The same as stating each signal's own absolute bound.
    assert units == [qt.compress_many([x], **{name: 0.001 * metrics.signal_range(x)})[0]
                     for x in (X, Y)]


@pytest.mark.parametrize("kwargs,message", [
    ({"max_error": "x%"}, "max_error 'x%': not a number"),
    ({"rmse": "0%"}, "must be a positive number"),
    ({"prd": "1%"}, "prd"),
    ({"max_error": "1e-3"}, "percentage of the range"),
])
@pytest.mark.parametrize("call", [lambda kw: qt.compress_to_target(X, **kw),
                                  lambda kw: qt.compress_many([X], **kw)],
                         ids=["compress_to_target", "compress_many"])
def test_bad_percentages_name_the_bound(call, kwargs, message):
    with pytest.raises(ValueError, match=message):
        call(kwargs)
