import struct

import numpy as np
import pytest
import quillmere


from quillmere_tools.qlm import container_header as qc
from quillmere_tools.qlm.container_header import ContainerError

TAGS = {"cdf53": "cf53", "cdf97": "cf97", "db4": "db04", "sym4": "sym4"}


@pytest.mark.parametrize("method", sorted(TAGS))
@pytest.mark.parametrize("coder,coder_id", [("deflate", 0), ("arans", 1), ("cmodel", 2), (None, 2)])
def test_header_fields_match_what_was_asked(ecg, method, coder, coder_id):
    x = ecg[:5000]
    c = quillmere.compress_signal(x, quillmere.CompressionOptions(method=method, scale=9, coder=coder))
    h = qc.parse_header(c)
    assert (h["magic"], h["format_tag"], h["method_tag"]) == ("QLMR", "f3", TAGS[method])
    assert h["version"].startswith("1.")
    assert (h["scale"], h["coder_id"], h["sample_count"]) == (9, coder_id, x.size)
    assert h["multiplier"] == 512.0
    assert h["container_len"] == len(c)
    assert h["min"] == pytest.approx(np.float32(x.min()))
    assert h["max"] == pytest.approx(np.float32(x.max()))
    assert 1 <= h["levels"] <= 8


def test_explicit_multiplier_is_in_header(ecg):
    opts = quillmere.CompressionOptions(quant_multiplier=1234.5)
    assert qc.parse_header(quillmere.compress_signal(ecg, opts))["multiplier"] == 1234.5


def _damaged(kind, good):
    if kind == "empty":
        return b""
    if kind == "short header":
        return good[:40]
    if kind == "bad magic":
        return b"XXXX" + good[4:]
    if kind == "bad version":
        return good[:4] + b"\x07" + good[5:]
    if kind == "bad method tag":
        return good[:8] + b"cf98" + good[12:]
    if kind == "bad scale":
        return good[:13] + b"\x0d" + good[14:]
    if kind == "bad coder":
        return good[:14] + b"\x05" + good[15:]
    if kind == "nan min":
        return good[:20] + struct.pack("<f", float("nan")) + good[24:]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind,reason", [
    ("empty", "truncated header"), ("short header", "truncated header"),
    ("bad magic", "not a Quillmere container"), ("bad version", "unsupported container version"),
    ("bad method tag", "invalid wavelet tag"), ("bad scale", "invalid scale 13"),
    ("bad coder", "unknown entropy coder 5"), ("nan min", "non-finite"),
])
def test_damaged_headers_are_refused_with_a_reason(ecg, kind, reason):
    good = quillmere.compress_signal(ecg[:2000])
    with pytest.raises(ContainerError, match=reason):
        qc.parse_header(_damaged(kind, good))
