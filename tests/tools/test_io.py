import os

import numpy as np
import pytest

from quillmere_tools.recordings import read_signal
from quillmere_tools.recordings.atomic_write import atomic_write
from quillmere_tools.recordings.signal import InputError, OutputError
from quillmere_tools.recordings.writer import write_signal

sf = pytest.importorskip("soundfile")


@pytest.mark.parametrize("subtype", ["PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"])
@pytest.mark.parametrize("channels", [1, 3])
def test_wav_read_write_keeps_every_channel_and_subtype(tmp_path, subtype, channels):
    rng = np.random.default_rng(1)
    data = rng.uniform(-0.9, 0.9, size=(1000, channels))
    sf.write(tmp_path / "in.wav", data, 22050, subtype=subtype)
    sig = read_signal(tmp_path / "in.wav")
    assert sig.samples.shape == (1000, channels)
    assert sig.meta["samplerate"] == 22050 and sig.meta["subtype"] == subtype
    write_signal(tmp_path / "out.wav", sig.samples, sig.meta)
    info = sf.info(str(tmp_path / "out.wav"))
    assert (info.subtype, info.channels, info.samplerate) == (subtype, channels, 22050)
    back, _ = sf.read(str(tmp_path / "out.wav"), always_2d=True)
    np.testing.assert_array_equal(back, sig.samples)


def test_pcm_writer_clips_instead_of_wrapping(tmp_path):
    write_signal(tmp_path / "c.wav", np.array([[1.02], [-1.05], [0.5]]),
                 {"format": "wav", "samplerate": 8000, "subtype": "PCM_16"})
    back, _ = sf.read(str(tmp_path / "c.wav"), dtype="int16")
    assert back.tolist() == [32767, -32768, 16384]


@pytest.mark.parametrize("dtype", ["float32", "float64", "int16", "uint8"])
def test_npy_dtype_is_restored_with_rounding(tmp_path, dtype):
    meta = {"format": "npy", "dtype": np.dtype(dtype).str}
    write_signal(tmp_path / "a.npy", np.array([[0.4], [1.6], [300.0], [-2.0]]), meta)
    out = np.load(tmp_path / "a.npy")
    assert out.dtype == np.dtype(dtype) and out.shape == (4,)
    if dtype == "uint8":
        assert out.tolist() == [0, 2, 255, 0]
    elif dtype == "int16":
        assert out.tolist() == [0, 2, 300, -2]


def test_csv_header_is_kept(tmp_path):
    (tmp_path / "a.csv").write_text("voltage\n1.5\n-2\n\n3e-3\n")
    sig = read_signal(tmp_path / "a.csv")
    assert sig.samples[:, 0].tolist() == [1.5, -2.0, 0.003]
    write_signal(tmp_path / "b.csv", sig.samples, sig.meta)
    assert (tmp_path / "b.csv").read_text().splitlines() == ["voltage", "1.5", "-2", "0.003"]


@pytest.mark.parametrize("name,content,message", [
    ("a.npy", b"", "empty"),
    ("a.npy", b"not numpy at all", "not a .npy file"),
    ("a.wav", b"RIFF....WAVEjunk", "not a readable WAV"),
    ("a.csv", "1,2\n3\n", "line 2: expected 2 columns, found 1"),
    ("a.csv", "x\n1\nabc\n", "line 3: not a number"),
    ("a.csv", "\n\n", "no samples"),
    ("a.txt", "1\n", "unsupported file type"),
])
def test_bad_inputs_raise_one_line_input_errors(tmp_path, name, content, message):
    p = tmp_path / name
    p.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(InputError, match=message) as info:
        read_signal(p)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("array,message", [
    (np.zeros((3, 4, 2)), "1-D or 2-D"), (np.array([], dtype=np.float64), "empty"),
    (np.array(["a", "b"]), "non-numeric"), (np.array([1 + 2j]), "non-numeric"),
])
def test_unusable_npy_arrays(tmp_path, array, message):
    np.save(tmp_path / "a.npy", array)
    with pytest.raises(InputError, match=message):
        read_signal(tmp_path / "a.npy")


def _leftovers(folder):
    return [n for n in os.listdir(folder) if n.endswith(".part")]


def test_atomic_write_leaves_nothing_when_the_writer_fails(tmp_path):
    target = tmp_path / "out.bin"

    def failing(f):
        f.write(b"x" * 1000)
        raise RuntimeError("disk on fire")

    with pytest.raises(RuntimeError):
        atomic_write(target, failing)
    assert not target.exists() and _leftovers(tmp_path) == []


def test_atomic_write_respects_force(tmp_path):
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    with pytest.raises(OutputError, match="already exists"):
        atomic_write(target, lambda f: f.write(b"new"))
    assert target.read_bytes() == b"old"
    atomic_write(target, lambda f: f.write(b"new"), force=True)
    assert target.read_bytes() == b"new" and _leftovers(tmp_path) == []


def test_atomic_write_needs_existing_folder(tmp_path):
    with pytest.raises(OutputError, match="folder does not exist"):
        atomic_write(tmp_path / "missing" / "x.bin", lambda f: f.write(b""))


@pytest.mark.parametrize("name", ["x" * 255, "é" * 127 + "x", "a.npy", "日本" * 42])
def test_temporary_names_fit_beside_any_legal_name(name):
    from quillmere_tools.recordings.atomic_write import temporary_prefix

    assert len(name.encode()) <= 255
    prefix = temporary_prefix(name)
    assert len(prefix.encode()) + 8 + len(".part") <= 255
    assert prefix.startswith(".") and name.startswith(prefix[1:-1])


@pytest.mark.parametrize("header", ["time,volts", 'say "hi"', "plain", "two\nlines"])
@pytest.mark.parametrize("key", ["header", "columns"])  # as files of the older layout say it, and now
def test_csv_header_reads_back_as_one_column(tmp_path, header, key):
    meta = {"format": "csv", key: header if key == "header" else [header]}
    write_signal(tmp_path / "h.csv", np.array([[1.5], [2.5]]), meta)
    back = read_signal(tmp_path / "h.csv", time_column="none")
    assert back.meta["columns"] == [header]
    np.testing.assert_array_equal(back.samples[:, 0], [1.5, 2.5])
