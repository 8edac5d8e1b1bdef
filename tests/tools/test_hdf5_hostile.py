"""Damaged chunks, altered parameters and chunks the codec refuses, read
back through h5py (HDF5 2.0, in this process or a child) and h5dump
(Debian's HDF5 1.10): each ends in the original samples or a failed read,
never in other values, a crash or a runaway allocation."""
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
import quillmere_tools.hdf5 as qh5  # noqa: E402
from hdf5_chunks import (HEADER, check_word, h5dump, read_frame, signal,  # noqa: E402
                         stored_chunk, with_words)
from quillmere_tools.qlm.container_header import parse_header  # noqa: E402

# What reading one 1000-sample chunk may cost on top of the reader itself.
PEAK_GROWTH_KB = 100 * 1024


def write(path, x, chunks=(1000,), **options):
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=chunks, **qh5.Quillmere(**options))


def with_nan_and_inf(dtype=np.float32):
    # Non-finite samples give the unit a side block after its container.
    x = signal((2000,), dtype)
    x[1100] = np.nan
    x[1200] = np.inf
    return x


def reframe(stored, body):
    """A frame around `body` with length and checksum made to match, as a
    hostile writer would."""
    magic, version, kind, element, reserved, channels, frames, _ = HEADER.unpack_from(stored)
    head = HEADER.pack(magic, version, kind, element, reserved, channels, frames,
                       HEADER.size + len(body) + 4)
    return head + body + struct.pack("<I", zlib.crc32(head + body))


def damages(stored):
    frame = read_frame(stored)
    container_len = parse_header(frame["units"][0])["container_len"]
    units_at = HEADER.size + 8 * frame["channels"]
    flipped = bytearray(stored)
    flipped[units_at + 60] ^= 0x10
    side = bytearray(stored)
    side[len(stored) - 10] ^= 0x01
    return {
        # The reported case: the chunk cut exactly where its codec container ends.
        "cut at the container's end": stored[:units_at + container_len],
        "one byte short": stored[:-1],
        "trailing bytes": stored + b"\0\0",
        "payload bit": bytes(flipped),
        "side block bit": bytes(side),
        "bad magic": b"XXXX" + stored[4:],
        "random": np.random.default_rng(3).integers(0, 256, len(stored), np.uint8).tobytes(),
    }


NAMED = {
    "cut at the container's end": "cut short or lengthened",
    "one byte short": "cut short or lengthened",
    "trailing bytes": "cut short or lengthened",
    "payload bit": "chunk checksum does not match",
    "side block bit": "chunk checksum does not match",
    "bad magic": "not a framed chunk",
}


def write_damaged(path, damage):
    x = with_nan_and_inf()
    write(path, x, max_error=1e-3)
    stored, _ = stored_chunk(path, "x", 1)
    with h5py.File(path, "r+") as f:
        f["x"].id.write_direct_chunk((1000,), damages(stored)[damage])
    return x


@pytest.mark.parametrize("damage", list(NAMED) + ["random"])
def test_damaged_chunk_fails_its_read_in_h5py_and_h5dump(tmp_path, damage):
    path = tmp_path / "x.h5"
    x = write_damaged(path, damage)
    with h5py.File(path, "r") as f:
        # HDF5 2.0 drops what a filter function pushes on the error stack,
        # so its own pipeline message is what h5py can show.
        with pytest.raises(OSError, match="filter returned failure during read|quillmere filter"):
            f["x"][1000:]
        assert np.max(np.abs(f["x"][:1000] - x[:1000])) <= 1e-3
    code, _, err, _ = h5dump(path, "/x")
    assert code == 1, err  # a failed read, not other values
    if damage in NAMED:
        assert "quillmere filter: corrupt chunk (" in err and NAMED[damage] in err


def test_unit_without_its_side_block_in_a_resealed_frame_is_refused(tmp_path):
    # A hostile writer who drops the side block and fixes the frame's length
    # and checksum still cannot pass NaN off as a number: the frame's unit
    # length table no longer adds up.
    path = tmp_path / "x.h5"
    write(path, with_nan_and_inf(), max_error=1e-3)
    stored, _ = stored_chunk(path, "x", 1)
    frame = read_frame(stored)
    container = frame["units"][0][:parse_header(frame["units"][0])["container_len"]]
    table = struct.pack("<Q", len(frame["units"][0]))
    forged = reframe(stored, table + container)
    with h5py.File(path, "r+") as f:
        f["x"].id.write_direct_chunk((1000,), forged)
    code, _, err, _ = h5dump(path, "/x")
    assert code == 1 and "runs past the chunk" in err


def flip_element(words):
    words[1] ^= 0b10  # f32 LE -> f32 BE: byte-swapped samples if trusted
    return words


def forge_samples(words):
    words[2] = words[3] = 134_217_728  # the dataset's chunks hold 1000
    return words


def forge_and_reseal(words):
    words = forge_samples(words)
    words[23] = check_word(words)
    return words


@pytest.mark.parametrize("change,named", [
    (flip_element, "(check word)"),
    (forge_samples, "(check word)"),
    (forge_and_reseal, "does not match the dataset's chunk size"),
])
def test_altered_cd_values_fail_every_read_without_allocating(tmp_path, change, named):
    path = tmp_path / "x.h5"
    write(path, signal((2000,), np.float32), max_error=0.5)
    with_words(path, "x", change)

    # h5py, in a child so its peak memory is its own.
    script = textwrap.dedent(f"""
        import resource, sys
        import h5py, quillmere_tools.hdf5
        f = h5py.File({str(path)!r}, "r")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            f["x"][...]
        except OSError as exc:
            print("refused:", str(exc).splitlines()[0])
        else:
            print("read")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    verdict, grown = proc.stdout.strip().splitlines()
    assert verdict.startswith("refused:")
    assert int(grown) < PEAK_GROWTH_KB

    code, values, err, peak_kb = h5dump(path, "/x")
    assert code == 1 and values is None
    assert named in err
    assert peak_kb < PEAK_GROWTH_KB


@pytest.mark.parametrize("multiplier", [float("nan"), float("inf"), -1.0, 1e-45])
def test_unusable_multiplier_word_is_refused_at_creation(tmp_path, multiplier):
    words = list(qh5.Quillmere(quant_multiplier=100.0).filter_options)
    words[11] = int(np.array([multiplier], np.float32).view(np.uint32)[0])
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises(ValueError, match=r"cd_values\[11\] \(quant_multiplier\) is"):
            f.create_dataset("x", data=np.zeros(100, np.float32), chunks=(100,),
                             compression=qh5.FILTER_ID, compression_opts=tuple(words))


MANDATORY = textwrap.dedent("""
    import sys
    import h5py, numpy as np
    import quillmere_tools.hdf5 as qh5
    path, multiplier, spoil = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    x = np.sin(np.arange(2000) / 9.0)
    x[1500] = spoil
    words = list(qh5.Quillmere(quant_multiplier=100.0).filter_options)
    words[11] = int(np.array([multiplier], np.float32).view(np.uint32)[0])
    with h5py.File(path, "w") as f:
        dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        dcpl.set_chunk((1000,))
        dcpl.set_filter(qh5.FILTER_ID, h5py.h5z.FLAG_MANDATORY, tuple(words))
        space = h5py.h5s.create_simple((2000,))
        try:
            d = h5py.h5d.create(f.id, b"x", h5py.h5t.IEEE_F64LE, space, dcpl=dcpl)
        except ValueError as exc:
            print("refused:", exc)
            sys.exit(0)
        d.write(h5py.h5s.ALL, h5py.h5s.ALL, x)
    print("written")
""")


@pytest.mark.parametrize("multiplier,spoil,outcome", [
    (float("nan"), 0.0, "refused"),   # every chunk would have failed to encode
    (-1.0, 0.0, "refused"),
    (1e38, 0.0, "written"),           # saturates: both chunks stored raw
    (100.0, 1e300, "written"),        # beyond float32: that chunk stored raw
])
def test_mandatory_filter_never_fails_a_write_and_the_interpreter_exits_cleanly(
        tmp_path, multiplier, spoil, outcome):
    path = tmp_path / "x.h5"
    proc = subprocess.run([sys.executable, "-c", MANDATORY, str(path), repr(multiplier),
                           repr(spoil)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(outcome), proc.stdout
    if outcome == "refused":
        assert "quant_multiplier" in proc.stdout
        return
    x = np.sin(np.arange(2000) / 9.0)
    x[1500] = spoil
    with h5py.File(path, "r") as f:
        y = f["x"][...]
        masks = [f["x"].id.get_chunk_info(i).filter_mask for i in range(2)]
    assert masks == [0, 0]
    np.testing.assert_array_equal(y[1000:], x[1000:])
    code, values, err, _ = h5dump(path, "/x")
    assert code == 0, err
    np.testing.assert_array_equal(values, y)
