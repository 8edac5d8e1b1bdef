"""The module's surface, argument binding, codec-error mapping and the lazy,
checked loading of NumPy's C API."""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import textwrap

import numpy as np
import pytest
import quillmere
from quillmere import CompressionOptions, compress_signal, decompress_signal

VECTORS = pathlib.Path(__file__).parent / "data" / "vectors"


def test_public_surface():
    assert quillmere.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
    assert quillmere.__doc__ == ""
    assert [name for name in dir(quillmere) if not name.startswith("_")] == sorted(quillmere.__all__)


@pytest.mark.parametrize(
    ("function", "signature", "doc"),
    [
        (
            compress_signal,
            "(data, options=None)",
            "Compress a 1-D float32 **or** float64 NumPy array into Quillmere `bytes`.\n\n"
            "float64 input is downcast to float32 before compression (the codec works in\n"
            "f32 internally and always reconstructs f32 on decompress).",
        ),
        (
            decompress_signal,
            "(data)",
            "Decompress a Quillmere bytes object into a 1-D float32 NumPy array.",
        ),
    ],
)
def test_function_metadata(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "quillmere"
    assert function.__self__ is quillmere


def test_second_module_object_shares_the_type(signal):
    # A fresh module object from the same shared library, as a second import
    # under another interpreter state would create it: found by the import
    # system's own lookup (find_spec), loaded by the loader it names.
    found = importlib.util.find_spec("quillmere")
    assert found.origin == quillmere.__file__
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other is not quillmere
    assert other.CompressionOptions is CompressionOptions
    assert other.compress_signal.__self__ is other
    assert other.__all__ == quillmere.__all__ and other.__all__ is not quillmere.__all__
    options = CompressionOptions("sym4", coder="arans")
    assert other.compress_signal(signal, options) == compress_signal(signal, options)


@pytest.mark.parametrize(
    "call",
    [
        lambda x: compress_signal(x, None),
        lambda x: compress_signal(x, options=None),
        lambda x: compress_signal(x, CompressionOptions()),
        lambda x: compress_signal(data=x),
        lambda x: compress_signal(options=CompressionOptions(), data=x),
    ],
)
def test_default_options_in_every_spelling(signal, call):
    assert call(signal) == compress_signal(signal)


def test_round_trip(signal):
    container = compress_signal(signal)
    assert isinstance(container, bytes)
    assert len(container) < signal.nbytes
    decoded = decompress_signal(container)
    assert decoded.shape == signal.shape
    assert np.max(np.abs(decoded - signal)) < 0.01


def test_options_are_settled_before_data():
    with pytest.raises(TypeError) as info:
        compress_signal([1.0, 2.0], options=5)
    assert str(info.value) == "'int' object is not an instance of 'CompressionOptions'"
    assert info.value.__notes__ == ["while processing 'options'"]


X = np.sin(np.arange(16, dtype=np.float32))
F = "compress_signal()"
D = "decompress_signal()"
N = "CompressionOptions.__new__()"


@pytest.mark.parametrize(
    ("function", "args", "kwargs", "message"),
    [
        (compress_signal, (), {}, f"{F} missing 1 required positional argument: 'data'"),
        (compress_signal, (), {"options": None}, f"{F} missing 1 required positional argument: 'data'"),
        (compress_signal, (X, None, None), {}, f"{F} takes from 1 to 2 positional arguments but 3 were given"),
        (compress_signal, (X,), {"data": X}, f"{F} got multiple values for argument 'data'"),
        (compress_signal, (X, None), {"options": None}, f"{F} got multiple values for argument 'options'"),
        # Binding comes before everything, even a bad `options`.
        (compress_signal, (X,), {"options": 5, "level": 1}, f"{F} got an unexpected keyword argument 'level'"),
        (decompress_signal, (), {}, f"{D} missing 1 required positional argument: 'data'"),
        (decompress_signal, (b"", b""), {}, f"{D} takes 1 positional arguments but 2 were given"),
        (decompress_signal, (b"",), {"data": b""}, f"{D} got multiple values for argument 'data'"),
        (decompress_signal, (), {"Data": b""}, f"{D} got an unexpected keyword argument 'Data'"),
        (CompressionOptions, ("cdf97", 11, "low", None, None, 1), {},
         f"{N} takes from 0 to 5 positional arguments but 6 were given"),
        (CompressionOptions, ("cdf97",), {"method": "db4"}, f"{N} got multiple values for argument 'method'"),
        (CompressionOptions, (), {"levels": 3}, f"{N} got an unexpected keyword argument 'levels'"),
    ],
)
def test_argument_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


MALFORMED = json.loads((VECTORS / "manifest.json").read_text())["malformed"]


@pytest.mark.parametrize("case", MALFORMED, ids=[case["name"] for case in MALFORMED])
def test_codec_errors_carry_the_bare_text(case):
    container = (VECTORS / case["container"]).read_bytes()
    with pytest.raises(ValueError) as info:
        decompress_signal(container)
    assert info.value.args == (case["message"],)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("data", [np.zeros(0, np.float32), np.zeros(0, np.float64)])
def test_empty_signal_reaches_the_codec(data):
    with pytest.raises(ValueError) as info:
        compress_signal(data)
    assert info.value.args == ("Unsupported compression configuration 'Can't compress empty data'",)


def test_numpy_is_loaded_only_when_needed(run_python):
    result = run_python(
        textwrap.dedent(
            """
            import sys, quillmere
            quillmere.CompressionOptions("db4", 8)
            for call in (lambda: quillmere.decompress_signal(b"XXXX" * 20),
                         lambda: quillmere.compress_signal([1.0], options=5)):
                try:
                    call()
                except (TypeError, ValueError):
                    pass
            print("numpy" in sys.modules)
            import numpy
            out = quillmere.decompress_signal(quillmere.compress_signal(numpy.ones(4, numpy.float32)))
            print(type(out).__name__)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "ndarray"]


def test_first_use_from_many_threads(run_python):
    # Every thread races to load NumPy's table and the holder type.
    result = run_python(
        textwrap.dedent(
            """
            import threading, numpy, quillmere
            x = numpy.sin(numpy.arange(5000, dtype=numpy.float32) / 9)
            barrier = threading.Barrier(8)
            out = []
            def work():
                barrier.wait()
                out.append(quillmere.decompress_signal(quillmere.compress_signal(x)).tobytes())
            threads = [threading.Thread(target=work) for _ in range(8)]
            for t in threads: t.start()
            for t in threads: t.join()
            print(len(out), len(set(out)))
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["8", "1"]


# A stand-in for NumPy whose capsule table answers the three version queries
# as the test says; every other slot is empty, so only failing answers are
# safe to give.
FAKE_MULTIARRAY = textwrap.dedent(
    """
    import ctypes, os
    _uint = ctypes.CFUNCTYPE(ctypes.c_uint)
    _int = ctypes.CFUNCTYPE(ctypes.c_int)
    _abi = _uint(lambda: int(os.environ["FAKE_ABI"], 16))
    _feature = _uint(lambda: int(os.environ["FAKE_FEATURE"], 16))
    _endian = _int(lambda: int(os.environ["FAKE_ENDIAN"]))
    _table = (ctypes.c_void_p * 300)()
    _table[0] = ctypes.cast(_abi, ctypes.c_void_p).value
    _table[210] = ctypes.cast(_endian, ctypes.c_void_p).value
    _table[211] = ctypes.cast(_feature, ctypes.c_void_p).value
    _new = ctypes.pythonapi.PyCapsule_New
    _new.restype = ctypes.py_object
    _new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _ARRAY_API = _new(ctypes.addressof(_table), None, None)
    """
)


@pytest.fixture
def fake_numpy(tmp_path):
    package = tmp_path / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / "__init__.py").write_text("import os\n__version__ = os.environ['FAKE_VERSION']\n")
    (package / "lib" / "__init__.py").write_text(
        "class NumpyVersion:\n    def __init__(self, v):\n        self.major = int(v.split('.')[0])\n"
    )
    # NumPy 2 keeps the capsule in numpy._core only.
    (package / "_core").mkdir()
    (package / "_core" / "__init__.py").write_text("")
    (package / "_core" / "multiarray.py").write_text(FAKE_MULTIARRAY)
    return tmp_path


PREFIX = "Failed to access NumPy array API capsule"


@pytest.mark.parametrize(
    ("version", "abi", "feature", "endian", "message"),
    [
        ("2.1.0", "3000000", "13", "1",
         f"{PREFIX}: module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000"),
        ("2.1.0", "2000000", "b", "1",
         f"{PREFIX}: module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
         "but the running NumPy has C-API version 0xb"),
        ("2.1.0", "1000009", "13", "2",
         f"{PREFIX}: module compiled as little endian, but detected different endianness at runtime"),
        # A 1.x version string sends the lookup to numpy.core, which the fake lacks.
        ("1.26.4", "1000009", "13", "1", f"{PREFIX}: ModuleNotFoundError: No module named 'numpy.core'"),
    ],
)
def test_numpy_table_checks(run_python, fake_numpy, version, abi, feature, endian, message):
    script = textwrap.dedent(
        """
        import quillmere
        for _ in range(2):  # the first outcome is kept
            try:
                quillmere.compress_signal(object())
            except Exception as exc:
                print("Exception", type(exc).__name__, exc)
            except BaseException as exc:
                print(type(exc).__name__, exc, sep="|")
        """
    )
    path = os.pathsep.join(filter(None, [str(fake_numpy), os.environ.get("PYTHONPATH")]))
    env = {"PYTHONPATH": path, "FAKE_VERSION": version, "FAKE_ABI": abi,
           "FAKE_FEATURE": feature, "FAKE_ENDIAN": endian}
    result = run_python(script, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"PanicException|{message}"] * 2
