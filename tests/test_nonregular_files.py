"""Paths that name something other than a regular file: a read error at once, never a wait for a writer that
does not come or a read without end. Run in a child with a time limit, so that a regression fails instead of
hanging the suite."""
import json
import os
import socket
import subprocess
import sys

import pytest

import orvex

CHILD = r"""
import json, sys
import orvex
report = {}
for path in sys.argv[1:]:
    outcome = {}
    for name, call in (("data", lambda: orvex.textgrid2data(path, False, "long")),
                       ("vectors", lambda: orvex.textgrid2vectors(path, False, "auto")),
                       ("batch", lambda: orvex.textgrids2data([path], False, "short"))):
        try:
            outcome[name] = ["ok", repr(call())]
        except OSError as exc:
            outcome[name] = [type(exc).__name__, str(exc)]
    report[path] = outcome
print(json.dumps(report))
"""

SAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "samples", "hello_long.TextGrid")


@pytest.fixture(scope="module")
def special(tmp_path_factory):
    """Path -> what reading it must say after "because: " (None: read as the sample is)."""
    root = tmp_path_factory.mktemp("special")
    fifo = root / "fifo.TextGrid"
    os.mkfifo(fifo)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(str(root / "socket.TextGrid"))
    link = root / "link.TextGrid"
    link.symlink_to(os.path.abspath(SAMPLE))
    cases = {
        str(fifo): "not a regular file: the path names a FIFO",
        str(root / "socket.TextGrid"): "not a regular file: the path names a socket",
        "/dev/zero": "not a regular file: the path names a character device",
        "/dev/null": "not a regular file: the path names a character device",
        str(root): "Is a directory (os error 21)",
        str(link): None,
    }
    block = next((os.path.join("/dev", d) for d in sorted(os.listdir("/dev"))
                  if os.path.exists(os.path.join("/dev", d)) and
                  __import__("stat").S_ISBLK(os.stat(os.path.join("/dev", d)).st_mode)), None)
    if block is not None:
        cases[block] = "not a regular file: the path names a block device"
    yield cases
    sock.close()


@pytest.fixture(scope="module")
def report(special):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(orvex.__path__[0]))
    done = subprocess.run([sys.executable, "-c", CHILD, *special], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("kind", ["fifo", "socket", "zero", "null", "block", "directory", "symlink"])
def test_only_regular_files_are_read(special, report, kind):
    path = {"fifo": lambda p: p.endswith("fifo.TextGrid"), "socket": lambda p: p.endswith("socket.TextGrid"),
            "zero": lambda p: p == "/dev/zero", "null": lambda p: p == "/dev/null",
            "block": lambda p: p.startswith("/dev/") and p not in ("/dev/zero", "/dev/null"),
            "directory": lambda p: not p.endswith(".TextGrid") and not p.startswith("/dev/"),
            "symlink": lambda p: p.endswith("link.TextGrid")}[kind]
    matches = [p for p in special if path(p)]
    if not matches:
        pytest.skip(f"no {kind} to try here")
    (path,) = matches
    seen = report[path]
    if special[path] is None:
        assert seen["data"] == ["ok", repr(orvex.textgrid2data(SAMPLE, False, "long"))]
        return
    message = f"Failed to read TextGrid file {path} because: {special[path]}"
    assert seen["data"] == ["OSError", message]
    assert seen["vectors"] == ["OSError", message]
    assert seen["batch"] == ["ok", "[(0.0, 0.0, [])]"]
