"""Lifetime of the buffers behind the vector arrays, and life without NumPy."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

np = pytest.importorskip("numpy")
import orvex
from test_vectors import WORDS, write
from tg_helpers import EMULATED

ROWS = 2000
BIG = ("t", True, [(float(i), float(i + 1), f"w{i}") for i in range(ROWS)])


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__path__[0])] + sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120)


def test_view_keeps_the_buffer_alive(tmp_path):
    path = write(tmp_path / "a.TextGrid", [BIG], xmax=float(ROWS))
    result = orvex.textgrid2vectors(path, True, "long")
    view = result[1][::2]
    flags = result[4][1:]
    del result
    gc.collect()
    # Reuse freed memory as hard as possible before looking at the views.
    churn = [np.full(ROWS, -7.0) for _ in range(50)]
    assert view.tolist() == [float(i + 1) for i in range(0, ROWS, 2)]
    assert flags.all()
    assert type(view.base.base).__name__ == "PySliceContainer"
    del churn


@pytest.mark.thread_unsafe
@pytest.mark.slow
@pytest.mark.skipif(EMULATED, reason="the emulator's own memory counts in the resident size")
@pytest.mark.parametrize("batch", [False, True], ids=["single", "batch"])
def test_making_and_dropping_results_does_not_grow_memory(tmp_path, batch):
    path = write(tmp_path / "a.TextGrid", [BIG], xmax=float(ROWS))
    paths = [path, path, str(tmp_path / "missing")]

    def once():
        result = orvex.textgrids2vectors(paths, True, "long") if batch else orvex.textgrid2vectors(path, True, "long")
        view = result[0][10:]  # a view must not pin anything once it is gone
        del result, view

    for _ in range(200):
        once()
    gc.collect()
    before = rss_bytes()
    tracemalloc.start()
    for _ in range(3000):
        once()
    gc.collect()
    python_growth = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    growth = rss_bytes() - before
    # A leaked result would cost at least 34 kB of number buffers per
    # round (100 MB over the loop) and far more in str objects.
    assert growth < 16 * 2**20, f"RSS grew by {growth} bytes"
    assert python_growth < 2**20, f"Python objects grew by {python_growth} bytes"


@pytest.mark.slow
def test_module_works_without_numpy_until_a_vector_is_asked_for(tmp_path):
    path = write(tmp_path / "a.TextGrid", [WORDS])
    child = run_child(f"""
        import sys
        sys.modules["numpy"] = None   # makes every import of numpy fail
        import orvex
        assert orvex.textgrid2data({path!r}, True, "long")[2][0][0] == "words"
        for call in (lambda: orvex.textgrid2vectors({path!r}, True, "long"),
                     lambda: orvex.textgrids2vectors([{path!r}], True, "long")):
            try:
                call()
            except Exception as exc:
                raise SystemExit("caught as Exception: %r" % exc)
            except BaseException as exc:
                print(exc.args[0])
            else:
                raise SystemExit("no error")
        print(orvex.textgrids2data([{path!r}], True, "long")[0][1])
    """)
    assert child.returncode == 0, child.stderr + child.stdout
    lines = child.stdout.splitlines()
    assert len(lines) == 3
    assert all(line.startswith("Failed to access NumPy array API capsule") for line in lines[:2])
    assert "numpy" in lines[0]
    assert lines[2] == "2.0"


@pytest.mark.slow
def test_numpy_is_loaded_at_the_first_array_from_the_current_package(tmp_path):
    # Loading from the old numpy.core path under NumPy 2 would warn; turning
    # warnings into errors makes that a failure. The one warning let through
    # is the free-threaded interpreter's, that it turns its lock back on for
    # this module, which asks for it.
    path = write(tmp_path / "a.TextGrid", [WORDS])
    child = run_child(f"""
        import sys, warnings
        warnings.simplefilter("error")
        warnings.filterwarnings(
            "ignore", r"The global interpreter lock \\(GIL\\) has been enabled to load module 'orvex'", RuntimeWarning)
        import orvex
        orvex.textgrid2data({path!r}, True, "long")
        assert "numpy" not in sys.modules, "imported at module import"
        first = orvex.textgrid2vectors({path!r}, True, "long")
        second = orvex.textgrids2vectors([{path!r}], True, "long")
        assert first[0].tolist() == second[0].tolist() == [0.0, 0.5, 1.25]
        print("ok")
    """)
    assert child.returncode == 0, child.stderr + child.stdout
    assert child.stdout.strip() == "ok"


FAKE_MULTIARRAY = """
import ctypes
VERSION = ctypes.CFUNCTYPE(ctypes.c_uint)
INT = ctypes.CFUNCTYPE(ctypes.c_int)
_calls = [VERSION(lambda: {abi}), INT(lambda: {endian}), VERSION(lambda: {feature})]
_table = (ctypes.c_void_p * 300)()
for _index, _fn in zip((0, 210, 211), _calls):
    _table[_index] = ctypes.cast(_fn, ctypes.c_void_p)
_new = ctypes.pythonapi.PyCapsule_New
_new.restype, _new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = {capsule}
"""


def fake_numpy(root, version, package, abi=0x02000000, feature=0x15, endian=1, capsule="_new(_table, None, None)"):
    """A stand-in numpy whose C API table reports the given versions (and holds nothing else)."""
    (root / "numpy" / "lib").mkdir(parents=True)
    (root / "numpy" / package).mkdir()
    (root / "numpy" / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (root / "numpy" / "lib" / "__init__.py").write_text(
        "class NumpyVersion:\n    def __init__(self, v):\n        self.major = int(v.split('.')[0])\n")
    (root / "numpy" / package / "__init__.py").write_text("")
    (root / "numpy" / package / "multiarray.py").write_text(
        FAKE_MULTIARRAY.format(abi=abi, feature=feature, endian=endian, capsule=capsule))


@pytest.mark.slow
@pytest.mark.parametrize("version,package,table,message", [
    ("2.1.0", "_core", dict(abi=0x03000000),
     "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000"),
    ("1.26.4", "core", dict(abi=0x03000000), "RuntimeError: module compiled against ABI version 0x2000000"),
    ("2.1.0", "core", dict(), "ModuleNotFoundError: No module named 'numpy._core'"),
    ("1.22.0", "core", dict(abi=0x01000009, feature=0xF), "has C-API version 0xf"),
    ("2.1.0", "_core", dict(endian=2), "RuntimeError: NumPy detected an endianness other than"),
    ("2.1.0", "_core", dict(capsule="42"), "RuntimeError: _ARRAY_API is not a PyCapsule object"),
], ids=["abi-too-new", "numpy1-uses-numpy.core", "numpy2-uses-numpy._core", "c-api-too-old", "endianness",
        "not-a-capsule"])
def test_unusable_numpy_is_a_python_error_not_a_crash(tmp_path, version, package, table, message):
    fake_numpy(tmp_path / "site", version, package, **table)
    path = write(tmp_path / "a.TextGrid", [WORDS])
    child = run_child(f"""
        import sys
        sys.path.insert(0, {str(tmp_path / "site")!r})
        import orvex
        for _ in range(2):   # a failed load is tried again, and fails the same way
            try:
                orvex.textgrid2vectors({path!r}, True, "long")
            except BaseException as exc:
                print(exc.args[0])
    """)
    assert child.returncode == 0, child.stderr + child.stdout
    lines = child.stdout.splitlines()
    assert len(lines) == 2 and lines[0] == lines[1]
    assert lines[0].startswith("Failed to access NumPy array API capsule: ")
    assert message in lines[0]
