"""Writes the units and chunks in this folder.  They were made once, with the
code as it stood before units could carry a trailing run, and are kept so that
readers stay able to decode them; do not regenerate them with newer code.

Each case is NAME.bin (the bytes) and NAME.npy (what decoding must return)."""
from pathlib import Path

import numpy as np

from quillmere_tools import array_chunks as codec_common
from quillmere_tools.bounds import Bounds
from quillmere_tools.units.channel import decode_channel, encode_channel
from quillmere_tools.settings import Settings

HERE = Path(__file__).parent


def _signal(n, dtype):
    t = np.arange(n) / 100.0
    return (np.sin(2 * np.pi * 1.3 * t) + 0.2 * np.sin(2 * np.pi * 17 * t)).astype(dtype)


def main():
    cases = {}
    x32 = _signal(1000, np.float32)
    cases["unit_f32_plain"] = encode_channel(x32)
    cases["unit_f32_max_error"] = encode_channel(x32, Settings(), Bounds(max_error=1e-3))
    x64 = 1e6 + _signal(1000, np.float64)
    x64[10:13] = np.nan
    x64[500] = np.inf
    cases["unit_f64_offset_nan_rmse"] = encode_channel(x64, Settings(), Bounds(rmse=1e-3))
    padded = _signal(1000, np.float32)
    padded[700:] = 0.0  # an edge chunk as Zarr pads it
    cases["unit_f32_padded_prd"] = encode_channel(padded, Settings(), Bounds(prd=1.0))
    for name, unit in cases.items():
        (HERE / f"{name}.bin").write_bytes(unit)
        np.save(HERE / f"{name}.npy", decode_channel(unit))

    # Array chunks: before channels were split, a (frames, channels) chunk was
    # one flattened C-order signal.
    stereo = np.stack([_signal(400, np.float32), 0.5 * _signal(400, np.float32)[::-1]], axis=1)
    cfg = codec_common.check_config(max_error=1e-3)
    chunks = {"chunk_1d": _signal(500, np.float64), "chunk_2d_stereo": stereo}
    for name, arr in chunks.items():
        raw = codec_common.encode_chunk(arr, cfg)
        (HERE / f"{name}.bin").write_bytes(raw)
        np.save(HERE / f"{name}.npy", codec_common.decode_chunk(raw))


if __name__ == "__main__":
    main()
