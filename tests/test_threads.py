"""The six functions called from eight threads at once give what one thread gets."""
import threading

import pytest

import orvex
from tg_helpers import long_text, short_text

np = pytest.importorskip("numpy")

THREADS = 8
ROUNDS = 3


def tiers(n):
    words = [(k, k + 1, f'"w{n}-{k}"') for k in range(n + 2)]
    return [("IntervalTier", f'"words{n}"', 0, n + 2, words),
            ("TextTier", '"events"', 0, n + 2, [(0.5, '"x"'), (n + 1.5, '""')])]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("threads")
    paths = []
    for n in range(12):
        make = long_text if n % 2 else short_text
        path = root / f"in{n}.TextGrid"
        path.write_text(make(0, n + 2, tiers(n)), encoding="utf-8")
        paths.append(str(path))
    return paths


def plain(value):
    """Arrays as lists, so that results compare with ==."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def work(paths, out_dir, name):
    """Every function on every file; the writers write files of their own and give back their bytes."""
    result = [orvex.textgrid2data(p, True, "auto") for p in paths]
    result += [plain(orvex.textgrid2vectors(p, True, "auto")) for p in paths]
    result.append(orvex.textgrids2data(paths, True, "auto"))
    result.append(plain(orvex.textgrids2vectors(paths, True, "auto")))
    for k, path in enumerate(paths):
        tmin, tmax, data = orvex.textgrid2data(path, True, "auto")
        layout = "long" if k % 2 else "short"
        out = out_dir / f"{name}-data-{k}.TextGrid"
        orvex.data2textgrid(data, tmin, tmax, str(out), layout)
        result.append(out.read_bytes())
        out = out_dir / f"{name}-vectors-{k}.TextGrid"
        orvex.vectors2textgrid(*orvex.textgrid2vectors(path, True, "auto"), tmin, tmax, str(out), layout)
        result.append(out.read_bytes())
    return result


def test_eight_threads_match_one(files, tmp_path):
    expected = work(files, tmp_path, "alone")
    barrier = threading.Barrier(THREADS)
    outcomes = [None] * THREADS

    def run(index):
        try:
            barrier.wait()
            outcomes[index] = [work(files, tmp_path, f"t{index}-r{r}") for r in range(ROUNDS)]
        except BaseException as exc:  # handed to the main thread, which fails the test
            outcomes[index] = exc

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index, outcome in enumerate(outcomes):
        if isinstance(outcome, BaseException):
            raise AssertionError(f"thread {index} raised") from outcome
        assert all(rounds == expected for rounds in outcome), f"thread {index} differs"
