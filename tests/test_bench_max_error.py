"""The max-error comparison and the search-size check: who counts as meeting
a bound, which size is compared, and that a report keeps what it does not own.
A slip here would credit a codec with a bound it broke, or hide a search that
got worse."""

import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import compare_max_error as cme  # noqa: E402
import compare_report  # noqa: E402
import compare_search_sizes as css  # noqa: E402
import signals  # noqa: E402


class Shifted:
    """A peer whose decode is off by `shift` everywhere: its bound mode
    claims the bound but delivers `shift`."""
    name = "shifted"
    lossless = False

    def __init__(self, shift, size=10):
        self.shift, self.size = shift, size

    def encode(self, x, s):
        return b"\0" * self.size

    def decode(self, blob, s, n):
        return np.full(n, self.shift, dtype=np.float32)

    def describe(self, s):
        return f"abs={s}"

    @staticmethod
    def nbytes(blob):
        return len(blob)


@pytest.mark.parametrize("shift, violated", [(0.5, False), (1.0, False), (1.5, True)])
def test_bound_mode_is_verified_on_decode(shift, violated):
    x = np.zeros(64, dtype=np.float32)
    cell = cme.bound_mode_cell(Shifted(shift), x, 1.0)
    assert cell.violated is violated
    assert cell.counts is not violated
    assert cell.max_err == pytest.approx(shift)


def test_best_peer_skips_violators_lossless_and_quillmere():
    r = cme.MaxErrorResult("s", "speech", 1000, 1e-3, 1.0)
    r.cells = {
        "quillmere": cme.Cell("quillmere", "search", size=300, max_err=0.9, rmse=0.2),
        "cheat": cme.Cell("cheat", "bound mode", size=50, max_err=1.2, rmse=0.5, violated=True),
        "pcodec": cme.Cell("pcodec", "lossless", size=100, max_err=0.0, rmse=0.0),
        "none": cme.Cell("none", "swept"),
        "a": cme.Cell("a", "swept", size=400, max_err=0.8, rmse=0.3),
        "b": cme.Cell("b", "bound mode", size=250, max_err=1.0, rmse=0.5),
    }
    assert r.best_peer().codec == "b"
    assert r.quillmere_over_best() == pytest.approx(300 / 250)


def test_smallest_within_ignores_smaller_settings_that_overshoot():
    swept = [cme.Cell("p", "swept", "fine", 900, 0.1, 0.05),
             cme.Cell("p", "swept", "mid", 500, 0.99, 0.3),
             cme.Cell("p", "swept", "coarse", 200, 1.01, 0.4)]
    assert cme.smallest_within(swept, 1.0, "p").setting == "mid"
    assert cme.smallest_within(swept, 0.05, "p").size == 0


def test_quillmere_cell_counts_the_whole_container_and_meets_the_bound():
    x = signals.chirp(n=4000, seed=3)
    bound = 1e-3 * float(x.max() - x.min())
    cell = cme.quillmere_cell(x, bound)
    assert cell.counts and cell.max_err <= bound
    # The size is the stored bytes: re-running the search gives a container
    # of exactly that length.
    import quillmere_tools
    from quillmere_tools import Settings
    # The default scale's search also weighs the integer unit.
    sizes = [len(quillmere_tools.compress_to_target(
        x, max_error=bound, settings=Settings(scale=s), methods=list(cme.Quillmere.METHODS),
        coders=list(cme.QUILLMERE_CODERS) + (["integer"] if s == cme.QUILLMERE_SCALES[0] else [])).unit)
        for s in cme.QUILLMERE_SCALES]
    assert cell.size == min(sizes)


def test_wavelet_layer_of_a_blocked_unit_is_its_blocks_containers():
    # A signal past one block is stored as blocks behind an index: the layer's
    # size and samples are the blocks' containers, in order, and nothing else.
    import quillmere
    import quillmere_tools
    x = signals.chirp(n=3 * 4096 + 100, seed=5)
    bound = 1e-3 * float(x.max() - x.min())
    blob = bytes(quillmere_tools.compress_to_target(
        x, max_error=bound, block_length=4096, coders=list(cme.Quillmere.CODERS)).unit)
    assert blob[:4] == b"QLMB"
    parts = cme.plain_units(blob)
    assert len(parts) == 4
    index_and_crc = 24 + 20 * len(parts) + 4
    assert index_and_crc + sum(len(u) for u in parts) == len(blob)
    layer = cme.wavelet_layer(blob)
    assert layer.size == x.size
    assert np.array_equal(layer[4096:8192], np.asarray(quillmere.decompress_signal(parts[1])).reshape(-1))
    assert cme.wavelet_layer_size(blob) <= sum(len(u) for u in parts)


def test_wavelet_layer_of_a_fast_coded_unit_is_its_container_without_corrections():
    # The module cannot decode the tools' fast coder: the layer comes from
    # the tools, the side block cut off, and differs from the corrected
    # samples exactly where corrections were applied.
    import quillmere_tools
    x = signals.chirp(n=6000, seed=9)
    bound = 1e-3 * float(x.max() - x.min())
    res = quillmere_tools.compress_to_target(x, max_error=bound, coders=["fast"])
    blob = bytes(res.unit)
    assert res.settings.coder == "fast" and res.corrected_samples > 0
    layer = cme.wavelet_layer(blob)
    corrected = np.asarray(quillmere_tools.decompress(blob)).reshape(-1)
    assert layer.size == x.size
    assert np.count_nonzero(layer != corrected) == res.corrected_samples
    assert cme.errors(x, layer)[0] > bound >= cme.errors(x, corrected)[0]


@pytest.mark.parametrize("old, expected", [
    ("", "<!-- begin bench/compare.py a -->\nA\n<!-- end bench/compare.py a -->\n"),
    ("intro\n<!-- begin bench/compare.py a -->\nstale\n<!-- end bench/compare.py a -->\n"
     "## kept\nhand-written\n",
     "intro\n<!-- begin bench/compare.py a -->\nA\n<!-- end bench/compare.py a -->\n"
     "## kept\nhand-written\n"),
    ("## kept\n", "## kept\n\n<!-- begin bench/compare.py a -->\nA\n"
     "<!-- end bench/compare.py a -->\n"),
])
def test_markdown_blocks_replace_only_their_own_text(old, expected):
    once = compare_report.splice_markdown(old, {"a": "A\n"})
    assert once == expected
    assert compare_report.splice_markdown(once, {"a": "A"}) == expected


def test_markdown_blocks_are_independent():
    doc = compare_report.splice_markdown("", {"a": "1", "b": "2"})
    doc = compare_report.splice_markdown(doc, {"b": "3"})
    assert "1" in doc and "3" in doc and "2" not in doc


def test_search_size_check_flags_a_larger_container_and_skips_other_inputs():
    xs = css.load_signals([css.SMALL])
    x = xs[css.SMALL]
    case = css.run_case(css.Case(css.SMALL, x.size, css.fingerprint(x), "rmse",
                                 1e-3 * float(x.max() - x.min()), "default"), x)
    recorded = [dict(vars(case)), dict(vars(case), size=case.size - 1),
                dict(vars(case), sha256="0" * 64)]
    rows = css.check_against(recorded, xs, log=lambda *_: None)
    assert [r["note"] for r in rows] == ["", "LARGER", "signal absent or different here"]


def test_search_sizes_are_no_larger_than_recorded():
    with open(css.BASELINE) as f:
        recorded = [c for c in json.load(f)["cases"] if c["signal"] == css.SMALL]
    assert recorded, "the baseline lost its package-free cases"
    rows = css.check_against(recorded, css.load_signals([css.SMALL]), log=lambda *_: None)
    larger = [(r["case"].bound, r["case"].width, r["case"].size, r["new"].size)
              for r in rows if r["note"] == "LARGER"]
    assert all(r["new"] is not None for r in rows)
    assert not larger


@pytest.mark.parametrize("factory, module", [("Sz3", "pysz"), ("Zfp", "zfpy")])
def test_peer_bound_modes_are_absolute(factory, module):
    # Given the bound as their setting, the wrappers must drive the peers'
    # absolute modes: a relative mode would hold 1e-3 of the values instead.
    pytest.importorskip(module)
    import compare_codecs
    codec = getattr(compare_codecs, factory)()
    x = (signals.chirp(n=5000, seed=5) * np.float32(1000.0)).astype(np.float32)
    bound = 1e-3 * float(x.max() - x.min())
    cell = cme.bound_mode_cell(codec, x, bound)
    assert cell.counts and 0.2 * bound < cell.max_err <= bound


def test_install_step_reads_every_peer_from_the_compare_extra():
    import re
    import compare_setup
    dists = {re.split(r"[<>=!~ ]", r, maxsplit=1)[0].lower()
             for r in compare_setup.peer_requirements()}
    provides = {"zfpy": "zfpy", "pysz": "pysz", "pywt": "pywavelets", "numcodecs": "numcodecs",
                "pcodec": "pcodec"}
    assert set(compare_setup.PEER_MODULES) == set(provides)
    assert {provides[m] for m in compare_setup.PEER_MODULES} <= dists
