"""The module object: registration, signatures, one module per process, the internal-failure exception."""
import inspect
import os
import re
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest

import orvex
from tg_helpers import FUNCTIONS



def internal_error():
    """An instance of the internal-failure exception, provoked by an unknown layout name."""
    with pytest.raises(BaseException) as info:
        orvex.textgrid2data("/no/such/file", True, "Long")
    return info.value


def run_child(code):
    """Runs code in a fresh interpreter that finds the same orvex as this one; returns its stdout."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(orvex.__path__[0]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


# Served from the Python part of the package, imported on first use.
FRONT_DOOR = ["read", "TextGrid", "Tier", "Item", "TextGridError"]


def test_all_lists_the_functions_in_registration_order():
    assert orvex.__all__ == list(FUNCTIONS) + ["textgrids2arrow"] + FRONT_DOOR
    assert [name for name in vars(orvex) if name in FUNCTIONS] == list(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_is_a_builtin_of_the_module(name):
    function = getattr(orvex, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__self__ is orvex
    assert function.__module__ == "orvex"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_has_required_positional_or_keyword_parameters(name):
    params = inspect.signature(getattr(orvex, name)).parameters.values()
    assert [p.name for p in params] == FUNCTIONS[name][0]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_starts_with_the_summary(name):
    doc = getattr(orvex, name).__doc__
    # the signature lines are published as __text_signature__ and hidden from __doc__
    assert doc.splitlines()[0] == FUNCTIONS[name][1]


def installed_files():
    try:
        return {str(path) for path in metadata.files("orvex") or ()}
    except metadata.PackageNotFoundError:
        pytest.skip("orvex is not installed as a distribution here")


def test_version_is_the_installed_distributions_and_stays_out_of_all():
    installed_files()
    assert orvex.__version__ == metadata.version("orvex")
    assert "__version__" not in orvex.__all__


def test_the_stub_ships_as_a_stub_only_package_beside_the_module():
    # mypy only finds a stub of a single-file module in a package named
    # orvex-stubs; a loose orvex.pyi would be a second copy to keep in step.
    files = installed_files()
    assert "orvex-stubs/__init__.pyi" in files
    assert not any(path.endswith("orvex.pyi") for path in files)


def test_module_docstring():
    first, blank, *rest = orvex.__doc__.splitlines()
    assert (first, blank) == ("Python module for TextGrid file manipulation.", "")
    assert "long" in " ".join(rest) and "short" in " ".join(rest)


def test_reimport_returns_the_same_module_object():
    # In a child: taking the module out of sys.modules here would break every
    # other thread that imports it meanwhile (the suite also runs threaded).
    out = run_child("""
        import sys
        import orvex
        saved = sys.modules.pop("orvex")
        import orvex as again
        print(again is saved)
    """)
    assert out.split() == ["True"]


def test_import_runs_no_python_code_and_the_front_door_loads_on_first_use():
    out = run_child("""
        import importlib.util
        import sys
        # What `python -m orvex` looks at before anything is imported: a package runs its __main__.
        print(importlib.util.find_spec("orvex").submodule_search_locations is not None)
        import orvex
        print(sorted(name for name in sys.modules if name.startswith("orvex")))
        print(all(name in dir(orvex) for name in orvex.__all__), "Item" in vars(orvex))
        item = orvex.Item
        print(item is orvex._front.Item, vars(orvex)["Item"] is item, orvex.__spec__.submodule_search_locations == orvex.__path__)
        try:
            orvex.raed
        except AttributeError as exc:
            print(exc, exc.name, exc.obj is orvex)
    """)
    assert out.splitlines() == [
        "True",
        "['orvex']",
        "True False",
        "True True True",
        "module 'orvex' has no attribute 'raed' raed True",
    ]


@pytest.mark.slow
def test_import_in_a_sub_interpreter_raises_import_error(tmp_path):
    out = tmp_path / "outcome.txt"
    sub_code = textwrap.dedent(f"""
        try:
            import orvex
        except ImportError as exc:
            outcome = "ImportError: " + str(exc)
        else:
            outcome = "imported"
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
    """)
    run_child(f"""
        import orvex
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                raise SystemExit(0)
        interp = interpreters.create()
        interpreters.run_string(interp, {sub_code!r})
        interpreters.destroy(interp)
    """)
    if not out.exists():
        pytest.skip("this interpreter offers no sub-interpreters")
    outcome = out.read_text()
    assert re.match(r"ImportError: .*sub-?interpreters", outcome), outcome


def test_internal_error_derives_from_base_exception_only():
    exc = internal_error()
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == ("Unknown file type: Long",)
    assert vars(exc) == {}
    assert "BaseException" in type(exc).__doc__


def test_internal_error_is_one_type_and_not_a_module_attribute():
    kind = type(internal_error())
    assert type(internal_error()) is kind
    assert all(value is not kind for value in vars(orvex).values())
    assert not hasattr(orvex, kind.__name__)


def test_plain_except_exception_does_not_catch_internal_error():
    with pytest.raises(BaseException) as info:
        try:
            orvex.textgrids2data(["/no/such/file"], False, "")
        except Exception:  # must not swallow it
            pytest.fail("caught by except Exception")
    assert info.value.args == ("Unknown file type: ",)


@pytest.mark.slow
def test_module_imports_and_reads_without_numpy(tmp_path):
    path = tmp_path / "empty.TextGrid"
    path.write_text('File type = "ooTextFile"\nObject class = "TextGrid"\n\nxmin = 0\nxmax = 1\n'
                    "tiers? <exists>\nsize = 0\nitem []:\n")
    out = run_child(f"""
        import sys

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is blocked")
                return None

        sys.meta_path.insert(0, NoNumpy())
        import orvex
        print(orvex.textgrid2data({str(path)!r}, True, "long"))
        try:
            orvex.textgrid2data({str(path)!r}, 1, "long")
        except TypeError as exc:
            print(exc)
        print(any(name.split(".")[0] == "numpy" for name in sys.modules))
    """)
    assert out.splitlines() == [
        "(0.0, 1.0, [])",
        "argument 'strict': 'int' object cannot be cast as 'bool'",
        "False",
    ]
