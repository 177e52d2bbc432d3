"""The six functions called from eight Python threads at once (reading, writing distinct files, batches large
enough for the worker pool) give exactly what one thread gives, with or without the interpreter lock; so do
the same threads in a child forked after the pool was busy."""
import gc
import hashlib
import json
import os
import subprocess
import sys
import threading

import pytest

import orvex
from tg_helpers import long_text, short_text

np = pytest.importorskip("numpy")

THREADS = 8
ROUNDS = 2


def make_corpus(root):
    """Files whose reading uses the pool (a tier above the threshold up to 40 CPUs, batches of 100 paths)."""
    root = str(root)
    words = [(i * 0.01, (i + 1) * 0.01, f'"w{i % 97}"') for i in range(400)]
    events = [(i * 0.5 + 0.25, f'"e{i}"') for i in range(5)]
    tiers = [("IntervalTier", '"words"', 0, 30, words), ("TextTier", '"events"', 0, 30, events)]
    files = {}
    for name, text in (("long", long_text(0, 30, tiers)), ("short", short_text(0, 30, tiers)),
                       ("small", long_text(0, 30, [(c, n, a, b, items[:6]) for c, n, a, b, items in tiers])),
                       ("overlap", long_text(0, 2, [("IntervalTier", '"w"', 0, 2,
                                                      [(0, 1, '"a"'), (0.5, 1.5, '"b"')])]))):
        files[name] = os.path.join(root, f"{name}.TextGrid")
        with open(files[name], "w", encoding="utf-8") as f:
            f.write(text)
    cycle = [files["small"], files["short"], files["overlap"], os.path.join(root, "missing.TextGrid")]
    files["batch"] = [cycle[i % 4] for i in range(100)]
    return files


def plain(value):
    """Arrays as lists, so that results compare and hash by value."""
    if isinstance(value, np.ndarray):
        return [value.dtype.str, value.tolist()]
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    return value


def workload(files, out_dir, worker):
    """One thread's calls of all six functions; what each gave, as digests."""
    seen = {}
    data = orvex.textgrid2data(files["long"], True, "long")
    seen["textgrid2data"] = data
    seen["textgrids2data"] = orvex.textgrids2data(files["batch"], True, "auto")
    vectors = orvex.textgrid2vectors(files["short"], False, "short")
    seen["textgrid2vectors"] = plain(vectors)
    seen["textgrids2vectors"] = plain(orvex.textgrids2vectors(files["batch"], False, "auto"))
    for layout in ("long", "short"):
        out = os.path.join(out_dir, f"{worker}-data-{layout}.TextGrid")
        orvex.data2textgrid(data[2], data[0], data[1], out, layout)
        with open(out, "rb") as f:
            seen[f"data2textgrid-{layout}"] = f.read()
        out = os.path.join(out_dir, f"{worker}-vectors-{layout}.TextGrid")
        orvex.vectors2textgrid(*vectors, None, None, out, layout)
        with open(out, "rb") as f:
            seen[f"vectors2textgrid-{layout}"] = f.read()
    return {name: hashlib.sha256(repr(value).encode()).hexdigest() for name, value in seen.items()}


def run_threads(files, out_dir):
    """Every thread's digests of every round, from THREADS threads started together."""
    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def thread(k):
        try:
            start.wait()
            results[k] = [workload(files, out_dir, f"t{k}") for _ in range(ROUNDS)]
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=thread, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return make_corpus(tmp_path_factory.mktemp("threads"))


# It starts its own threads and checks the process-wide collector switch at the end, which copies of
# it running at once would flip under each other.
@pytest.mark.thread_unsafe
def test_eight_threads_give_what_one_thread_gives(corpus, tmp_path):
    expected = workload(corpus, str(tmp_path), "alone")
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the lock over as often as the calls allow
    try:
        results = run_threads(corpus, str(tmp_path))
    finally:
        sys.setswitchinterval(switch)
    wrong = sorted({name for rounds in results for digests in rounds for name, digest in digests.items()
                    if digest != expected[name]})
    assert wrong == []
    assert len(results) == THREADS and all(len(rounds) == ROUNDS for rounds in results)
    # Calls that overlapped (without the interpreter lock) paused the collector together; the last to end
    # switched it back on.
    assert gc.isenabled()


FORK_CHILD = r"""
import json, os, sys
from test_threads import make_corpus, run_threads, workload
root = sys.argv[1]
files = make_corpus(root)
expected = workload(files, root, "alone")
run_threads(files, root)   # the pool is busy from eight threads before the fork
pid = os.fork()
if pid == 0:
    try:
        ok = all(digests == expected for rounds in run_threads(files, root) for digests in rounds)
    except BaseException:
        ok = False
    os._exit(0 if ok else 3)
status = os.waitpid(pid, 0)[1]
print(json.dumps({"child": status, "parent-after": run_threads(files, root)[0][0] == expected}))
"""


@pytest.mark.slow
def test_threads_in_a_child_forked_after_the_pool_was_busy(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__path__[0]), os.path.dirname(__file__)]))
    done = subprocess.run([sys.executable, "-c", FORK_CHILD, str(tmp_path)], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert json.loads(done.stdout.splitlines()[-1]) == {"child": 0, "parent-after": True}
