"""The README's Python examples and the demo run as written on the shipped samples and leave nothing behind."""
import ast
import importlib.util
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"


def python_blocks():
    """(id, code) of every ```python block of the README, named after the heading above it."""
    if not README.exists():
        return []
    blocks, heading, code = [], "readme", None
    for line in README.read_text(encoding="utf-8").splitlines():
        if code is None:
            if line.startswith("#"):
                heading = line.lstrip("#").strip().split(":")[0].lower().replace(" ", "-")
            elif line.strip() == "```python":
                code = []
        elif line.strip() == "```":
            blocks.append((f"{heading}-{len(blocks) + 1}", "\n".join(code) + "\n"))
            code = None
        else:
            code.append(line)
    return blocks


BLOCKS = python_blocks()
CASES = [pytest.param(code, id=name) for name, code in BLOCKS] + [
    pytest.param((EXAMPLES / "demo.py").read_text(encoding="utf-8"), id="examples-demo.py")]


def imported_modules(tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            yield node.module


def files_under(folder):
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


def test_the_readme_has_python_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("code", CASES)
def test_example_runs_on_the_samples_and_leaves_nothing_behind(code, tmp_path):
    tree = ast.parse(code)
    # Imported, not only found: a package can be there without what it needs
    # (Dask without its dataframe requirements, where wheels are missing).
    for name in sorted(set(imported_modules(tree))):
        try:
            importlib.import_module(name)
        except ImportError as exc:
            pytest.skip(f"the example needs {name}, which cannot be imported here: {exc}")
    # A batch given a missing file still succeeds (with an empty entry), so
    # running is not enough: every file named outright must be a shipped one
    # (from the root, or from the samples folder as the demo names them), but
    # for one named missing on purpose. Parts of f-strings are output
    # paths built at run time.
    in_fstrings = {id(value) for node in ast.walk(tree) if isinstance(node, ast.JoinedStr) for value in node.values}
    named = [node.value for node in ast.walk(tree)
             if isinstance(node, ast.Constant) and isinstance(node.value, str) and id(node) not in in_fstrings
             and node.value.endswith(".TextGrid") and not pathlib.PurePath(node.value).name.startswith("missing")]
    assert [path for path in named if not any((base / path).is_file() for base in (ROOT, EXAMPLES / "samples"))] == []

    # A copy of the repository's layout as far as the examples see it: they
    # run from the root, as the README's commands do. A folder of its own
    # within tmp_path, which threads running this test at once may share.
    root = pathlib.Path(tempfile.mkdtemp(dir=tmp_path))
    shutil.copytree(EXAMPLES, root / "examples")
    script = root / "examples" / "demo.py"
    script.unlink()
    before = files_under(root)
    script.write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, "-B", str(script)], cwd=root, capture_output=True, text=True, timeout=120)
    script.unlink()
    assert done.returncode == 0, done.stderr
    assert files_under(root) == before
