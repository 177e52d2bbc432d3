"""Work on the worker pool: results do not depend on the thread count or on which side of the pool's
threshold (10 x N elements, N the CPUs available) an input falls; batches keep path order; a fatal
failure ends a pooled batch; threads start only for work at or above the threshold; forked children
get a working pool."""
import hashlib
import json
import os
import random
import subprocess
import sys

import pytest

import orvex
from tg_helpers import fatal_message

ALL_CPUS = sorted(os.sched_getaffinity(0))


def tg_text(tiers, tmax):
    """Long-layout text; tiers are (name, is_interval, [(tmin, tmax, label)])."""
    out = ['File type = "ooTextFile"\nObject class = "TextGrid"\n\n',
           f"xmin = 0\nxmax = {tmax!r}\ntiers? <exists>\nsize = {len(tiers)}\nitem []:\n"]
    for t, (name, is_interval, items) in enumerate(tiers, 1):
        cls, word = ("IntervalTier", "intervals") if is_interval else ("TextTier", "points")
        out.append(f'    item [{t}]:\n        class = "{cls}"\n        name = "{name}"\n'
                   f"        xmin = 0\n        xmax = {tmax!r}\n        {word}: size = {len(items)}\n")
        for k, (a, b, label) in enumerate(items, 1):
            if is_interval:
                out.append(f'        intervals [{k}]:\n            xmin = {a!r}\n            xmax = {b!r}\n'
                           f'            text = "{label}"\n')
            else:
                out.append(f'        points [{k}]:\n            number = {a!r}\n            mark = "{label}"\n')
    return "".join(out)


def make_grid(rng, n_items, point=False):
    """A TextGrid of one interval tier of n_items (and a small point tier), with its expected data."""
    step = 0.01
    intervals = [(i * step, (i + 1) * step, f"w{rng.randrange(1000)}") for i in range(n_items)]
    tiers = [("words", True, intervals)]
    if point:
        tiers.append(("events", False, [(i * 0.5 + 0.25, i * 0.5 + 0.25, f"e{i}") for i in range(3)]))
    tmax = max(n_items * step, 2.0)
    expected = (0.0, tmax, [(name, flag, [tuple(item) for item in items]) for name, flag, items in tiers])
    return tg_text(tiers, tmax), expected


EMPTY = (0.0, 0.0, [])


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Files on disk and what reading each must give: tiny ones (tiers far below any threshold), ones of
    mixed sizes, and ones whose tier lengths straddle the threshold for one and for two CPUs."""
    root = tmp_path_factory.mktemp("pool_corpus")
    rng = random.Random(20240611)
    files = {}

    def add(name, text, expected):
        path = root / f"{name}.TextGrid"
        path.write_text(text, encoding="utf-8")
        files[name] = (str(path), expected)

    for i in range(40):
        add(f"tiny{i}", *make_grid(rng, 3 + i % 4, point=True))
    for i in range(600):
        add(f"mixed{i}", *make_grid(rng, rng.choice([0, 1, 5, 19, 40, 120, 300]), point=i % 3 == 0))
    for n in (9, 10, 19, 20, 5003):
        add(f"tier{n}", *make_grid(rng, n))
    # Read errors: invalid UTF-8, and an overlap that only strict reading refuses.
    (root / "latin1.TextGrid").write_bytes(tg_text([("w", True, [(0.0, 1.0, "x")])], 1.0)
                                           .replace('"x"', '"\xe9"').encode("latin-1"))
    files["latin1"] = (str(root / "latin1.TextGrid"), EMPTY)
    add("overlap", tg_text([("w", True, [(0.0, 1.0, "a"), (0.5, 1.5, "b")])], 2.0), EMPTY)
    files["missing"] = (str(root / "missing.TextGrid"), EMPTY)
    return files


def digest(value):
    return hashlib.sha256(repr(value).encode()).hexdigest()


def batch(corpus, names):
    return [corpus[n][0] for n in names], [corpus[n][1] for n in names]


def child_cases(corpus, n):
    """Batches and single files for a child whose N is n: each list is named for what it checks."""
    tiny = [f"tiny{i}" for i in range(40)]
    mixed = [f"mixed{i}" for i in range(600)]
    big = ["tier9", "tier10", "tier19", "tier20", "tier5003"]
    return {
        "below": tiny[:10 * n - 1],
        "at": tiny[:10 * n],
        "mixed": mixed,
        "nested": (big * (10 * n))[:10 * n],
        **{f"single-{name}": [name] for name in big},
    }


CHILD = r"""
import hashlib, json, os, sys
job = json.loads(sys.stdin.read())
if job["cpus"]:
    os.sched_setaffinity(0, job["cpus"])

def threads():
    return len(os.listdir("/proc/self/task"))

report = {"before_import": threads()}
import orvex
report["after_import"] = threads()
digests = {}
for name, paths in job["cases"]:
    if name.startswith("single-"):
        result = orvex.textgrid2data(paths[0], True, "long")
    else:
        result = orvex.textgrids2data(paths, True, "long")
    digests[name] = hashlib.sha256(repr(result).encode()).hexdigest()
    report["threads-" + name] = threads()
report["digests"] = digests
print(json.dumps(report))
"""


def run_child(script, stdin="", env_extra=None, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(orvex.__path__[0]), os.path.dirname(__file__)])
    env["OPENBLAS_NUM_THREADS"] = "1"  # a numpy import must not add threads of its own
    env.update(env_extra or {})
    proc = subprocess.run([sys.executable, "-c", script], input=stdin, env=env, capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.slow
@pytest.mark.parametrize("n_cpus", [1, 2], ids=["1cpu", "2cpus"])
@pytest.mark.parametrize("threads_env", [None, "1", "3", "junk"], ids=["default", "T1", "T3", "Tjunk"])
def test_results_do_not_depend_on_threads_or_threshold(corpus, n_cpus, threads_env):
    if len(ALL_CPUS) < n_cpus:
        pytest.skip(f"needs {n_cpus} CPUs")
    cases = child_cases(corpus, n_cpus)
    # "below" and the tier of 10 x N - 1 items must start no thread, so they run first.
    order = ["below", f"single-tier{10 * n_cpus - 1}", "at"] + [c for c in cases if c not in
                                                                   ("below", "at", f"single-tier{10 * n_cpus - 1}")]
    job = {"cpus": ALL_CPUS[:n_cpus], "cases": [(name, batch(corpus, cases[name])[0]) for name in order]}
    env = {} if threads_env is None else {"RAYON_NUM_THREADS": threads_env}
    report = json.loads(run_child(CHILD, json.dumps(job), env))

    expected = {}
    for name, names in cases.items():
        values = batch(corpus, names)[1]
        expected[name] = digest(values[0] if name.startswith("single-") else values)
    wrong = sorted(name for name in cases if report["digests"][name] != expected[name])
    assert wrong == []

    base = report["before_import"]
    workers = int(threads_env) if threads_env and threads_env.isdigit() else n_cpus
    assert report["after_import"] == base
    assert report["threads-below"] == base
    assert report[f"threads-single-tier{10 * n_cpus - 1}"] == base
    assert report["threads-at"] == base + workers


def test_large_batch_keeps_path_order_and_empty_entries(corpus):
    rng = random.Random(5)
    names = [f"mixed{i}" for i in range(600)] + ["latin1", "overlap", "missing", "tier5003"]
    rng.shuffle(names)
    names = names + names[:50]  # the same path twice reads twice
    paths, expected = batch(corpus, names)
    assert orvex.textgrids2data(paths, True, "long") == expected


@pytest.mark.parametrize("size", [5, 20, 400], ids=["serial", "threshold", "pooled"])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_fatal_failure_ends_the_batch(corpus, tmp_path, size, where):
    bad = tmp_path / "bad.TextGrid"
    bad.write_text(tg_text([("w", True, [(0.0, 1.0, "x")])], 1.0).replace("IntervalTier", "Bogus"))
    paths = [corpus[f"mixed{i}"][0] for i in range(size - 1)]
    paths.insert({"first": 0, "middle": size // 2, "last": size - 1}[where], str(bad))
    message = fatal_message(orvex.textgrids2data, paths, False, "long")
    assert message.startswith("Unknown tier class: ") and "Bogus" in message
    # The pool is intact afterwards.
    good, expected = batch(corpus, [f"mixed{i}" for i in range(size)])
    assert orvex.textgrids2data(good, False, "long") == expected


FORK_CHILD = r"""
import hashlib, json, multiprocessing, os, sys
import orvex
paths, want = json.loads(sys.stdin.read())

def read_digest(_):
    return hashlib.sha256(repr(orvex.textgrids2data(paths, True, "long")).encode()).hexdigest()

results = {"parent": read_digest(0)}  # starts the pool before forking
pid = os.fork()
if pid == 0:
    # The parent's workers did not survive the fork: a child that reused its
    # pool would run every piece on its own thread (or hang on a lock).
    ok = read_digest(0) == want and len(os.listdir("/proc/self/task")) > 1
    os._exit(0 if ok else 3)
results["os.fork"] = os.waitpid(pid, 0)[1]
with multiprocessing.get_context("fork").Pool(2) as workers:
    results["multiprocessing"] = workers.map(read_digest, range(4))
results["parent-after"] = read_digest(0)
print(json.dumps(results))
"""


@pytest.mark.slow
def test_forked_children_run_parallel_batches(corpus):
    paths, expected = batch(corpus, [f"mixed{i}" for i in range(200)] + ["tier5003"])
    want = digest(expected)
    results = json.loads(run_child(FORK_CHILD, json.dumps([paths, want]), timeout=60))
    assert results == {"parent": want, "os.fork": 0, "multiprocessing": [want] * 4, "parent-after": want}
