"""The orvex command run as a user runs it: report lines and exit statuses, every table format read back
against textgrids2arrow, convert read back through the Praat layout, stats, usage errors and Ctrl-C."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import orvex
from tg_helpers import long_text, short_text, write

pa = pytest.importorskip("pyarrow")
import pyarrow.csv as pcsv  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

REALWORLD = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "realworld" / "corpus"

# A grid with several violations: negative grid start, an overlap, an interval of no length, points out
# of order.
BAD_TIERS = [("IntervalTier", '"words"', 0, 3, [(0, 1, '"a"'), (0.5, 2, '"b"'), (2, 2, '"c"')]),
             ("TextTier", '"events"', 0, 3, [(2, '"x"'), (1, '"y"')])]
GOOD_TIERS = [("IntervalTier", '"words"', 0, 3, [(0, 1, '"a ""quoted"""'), (1, 3, '"naïve\nline"')]),
              ("TextTier", '"events"', 0, 3, [(0.5, '"x"')]),
              ("IntervalTier", '"empty"', 0, 3, [])]


def orvex_cmd(*args, env=None):
    # A free-threaded interpreter warns on stderr when it turns its lock back on for the module; the lock asked
    # for from the start (unless the run chose otherwise) leaves stderr to the command.
    env = dict(os.environ if env is None else env)
    env.setdefault("PYTHON_GIL", "1")
    return subprocess.run([sys.executable, "-m", "orvex", *map(str, args)], capture_output=True, text=True,
                          timeout=300, env=env)


def plain(table):
    """The table with dictionary columns as the strings they stand for, every column nullable as a file
    read back has it."""
    return table.cast(pa.schema([(f.with_type(f.type.value_type) if pa.types.is_dictionary(f.type) else f)
                                 .with_nullable(True) for f in table.schema]))


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    (folder / "sub").mkdir(parents=True)
    write(folder, long_text(0, 3, GOOD_TIERS), "a.TextGrid")
    write(folder / "sub", short_text(0, 3, GOOD_TIERS).encode("utf-16"), "b.TEXTGRID")
    write(folder, long_text(0, 3, GOOD_TIERS[:1]), "ignored.txt")
    return folder


# ---- check ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, lines", [
    (long_text(-1, 3, BAD_TIERS), [4, 20, 24, 37]),
    (short_text(-1, 3, BAD_TIERS), [4, 16, 19, 29]),
], ids=["long", "short"])
def test_check_strict_lists_every_violation_of_a_file_with_its_line(tmp_path, text, lines):
    path = write(tmp_path, text)
    messages = ["Time bounds should be non-negative in TextGrid", "Items 0 and 1 overlap in tier words",
                "tmin should be less than tmax in item 2 in tier words", "Items 0 and 1 overlap in tier events"]
    done = orvex_cmd("check", path, "--strict")
    assert (done.returncode, done.stderr) == (1, "1 files, 1 with problems\n")
    assert done.stdout.splitlines() == [f"{path}:{n}: {m}" for n, m in zip(lines, messages)]
    done = orvex_cmd("check", path, "--strict", "--json", "--quiet")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [
        {"path": path, "line": n, "message": m} for n, m in zip(lines, messages)]
    assert (done.returncode, done.stderr) == (1, "")
    # Read leniently the same file holds no problem.
    assert orvex_cmd("check", path).returncode == 0


def test_check_reports_unreadable_files_in_file_order(tmp_path, corpus):
    missing = str(tmp_path / "missing.TextGrid")
    broken = write(tmp_path, 'File type = "ooTextFile"\nObject class = "TextGrid"\n\nxmin = 0\nxmax = "oops"\n')
    done = orvex_cmd("check", missing, corpus, broken, "--json")
    assert (done.returncode, done.stderr) == (1, "4 files, 2 with problems\n")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [
        {"path": missing, "line": None, "message": "No such file or directory (os error 2)"},
        {"path": broken, "line": 5, "message": "found a string where a number (xmax) was expected"}]
    assert orvex_cmd("check", corpus, "--strict").returncode == 0


# ---- table ------------------------------------------------------------------------------------------

def read_back(path, schema):
    suffix = path.suffix
    if suffix == ".parquet":
        return pq.read_table(path)
    if suffix in (".arrow", ".feather"):
        return pa.ipc.open_file(path).read_all()
    if suffix == ".jsonl":
        return pa.Table.from_pylist([json.loads(line) for line in path.read_text("utf-8").splitlines()], schema)
    parse = pcsv.ParseOptions(delimiter="\t" if suffix == ".tsv" else ",", newlines_in_values=True)
    convert = pcsv.ConvertOptions(column_types=schema, strings_can_be_null=False)
    return pcsv.read_csv(path, parse_options=parse, convert_options=convert)


@pytest.mark.parametrize("name, rows", [("t.parquet", "items"), ("t.csv", "items"), ("t.tsv", "items"),
                                        ("t.arrow", "items"), ("t.feather", "items"), ("t.jsonl", "items"),
                                        ("t.csv", "tiers"), ("t.jsonl", "files"), ("t.parquet", "tiers")])
def test_table_reads_back_as_textgrids2arrow_gives_it(tmp_path, corpus, name, rows):
    out = tmp_path / name
    done = orvex_cmd("table", corpus, "-o", out, "--rows", rows)
    assert (done.returncode, done.stderr) == (0, "")
    expected = plain(pa.table(orvex.textgrids2arrow(str(corpus), rows=rows)))
    assert expected.num_rows > 0
    assert plain(read_back(out, expected.schema)).equals(expected)


def test_table_failures_go_to_stderr_and_every_read_file_to_the_table(tmp_path, corpus):
    missing = tmp_path / "missing.TextGrid"
    done = orvex_cmd("table", corpus, missing, "-o", tmp_path / "t.parquet")
    assert done.returncode == 1 and done.stderr.startswith(f"{missing}: ")
    assert sorted(set(pq.read_table(tmp_path / "t.parquet")["file"].to_pylist())) == [
        str(corpus / "a.TextGrid"), str(corpus / "sub" / "b.TEXTGRID")]


def test_ctrl_c_in_a_large_table_leaves_no_output(tmp_path):
    big = pathlib.Path(write(tmp_path, long_text(0, 1e5, [("IntervalTier", '"w"', 0, 1e5, [
        (k, k + 1, f'"label {k}"') for k in range(5000)])]), "big.TextGrid"))
    folder = tmp_path / "many"
    folder.mkdir()
    for k in range(3000):  # a gigabyte to read, at the cost of links
        os.link(big, folder / f"{k}.TextGrid")
    out = tmp_path / "out"
    out.mkdir()
    child = subprocess.Popen([sys.executable, "-m", "orvex", "table", str(folder), "-o", str(out / "t.parquet")])
    time.sleep(1.5)
    assert child.poll() is None, "the table was written before the interrupt"
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    assert child.wait(timeout=10) == 130
    assert time.monotonic() - sent < 1.0
    assert list(out.iterdir()) == []


# ---- convert ----------------------------------------------------------------------------------------

def tables(folder):
    """The three tables of a folder with the paths relative to it, and its failures."""
    out = []
    for rows in ("files", "tiers", "items"):
        stream = orvex.textgrids2arrow(str(folder), rows=rows)
        table = plain(pa.table(stream))
        names = [os.path.relpath(p, folder) for p in table["file"].to_pylist()]
        out.append(table.drop_columns(["file_id"]).set_column(0, "file", pa.array(names)))
    return out, stream.failures


@pytest.mark.skipif(not REALWORLD.is_dir(), reason="the real-world corpus is not here")
def test_convert_of_the_real_world_folder_reads_back_equal(tmp_path):
    done = orvex_cmd("convert", REALWORLD, "-o", tmp_path / "out", "--quiet")
    (originals, failures), (written, written_failures) = tables(REALWORLD), tables(tmp_path / "out")
    assert written_failures == []
    reported = tuple(line.split(":")[0] for line in done.stderr.splitlines())
    for original, copy in zip(originals, written):
        keep = pa.array([not str(REALWORLD / name).startswith(reported) for name in original["file"].to_pylist()])
        assert copy.sort_by("file").equals(original.filter(keep).sort_by("file"))
    assert done.returncode == (1 if failures else 0)
    assert all(path.read_bytes().decode("utf-8") for path in (tmp_path / "out").rglob("*") if path.is_file())


def test_convert_mirrors_the_tree_and_overwrites_only_when_asked(tmp_path, corpus):
    out = tmp_path / "out"
    assert orvex_cmd("convert", corpus, "-o", out, "--to", "short").returncode == 0
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.*")) == ["a.TextGrid", "sub/b.TEXTGRID"]
    assert (out / "sub" / "b.TEXTGRID").read_bytes().startswith(b'File type = "ooTextFile"')
    again = orvex_cmd("convert", corpus, "-o", out)
    assert again.returncode == 1 and len(again.stderr.splitlines()) == 3
    assert orvex_cmd("convert", corpus, "-o", out, "--overwrite").returncode == 0
    assert tables(out)[0] == tables(corpus)[0]


# ---- stats, usage -----------------------------------------------------------------------------------

def test_stats_counts_files_tiers_items_and_labels(tmp_path):
    write(tmp_path, long_text(0, 3, GOOD_TIERS), "a.TextGrid")
    write(tmp_path, long_text(1, 2, [("IntervalTier", '"words"', 1, 2, [(1, 1.5, '"a "'), (1.5, 2, '"a "')])]),
          "b.TextGrid")
    write(tmp_path, "not a TextGrid", "c.TextGrid")
    done = orvex_cmd("stats", tmp_path, "--json", "--top", "1")
    assert done.returncode == 1 and done.stderr.startswith(f"{tmp_path / 'c.TextGrid'}: ")
    assert json.loads(done.stdout) == {
        "files_read": 2, "files_failed": 1, "tiers": 4, "items": 5, "duration": 4.0, "tiers_by_name": [
            {"tier": "words", "files": 2, "items": 4, "interval_duration": 4.0, "mean_interval_duration": 1.0,
             "labels": 3, "top_labels": [["a ", 2]]},
            {"tier": "events", "files": 1, "items": 1, "interval_duration": 0.0, "mean_interval_duration": None,
             "labels": 1, "top_labels": [["x", 1]]},
            {"tier": "empty", "files": 1, "items": 0, "interval_duration": 0.0, "mean_interval_duration": None,
             "labels": 0, "top_labels": []}]}
    lines = orvex_cmd("stats", tmp_path).stdout.splitlines()
    assert (lines[0], lines[6].split()[:6]) == ("files     2 read, 1 failed", ["words", "2", "4", "4.000", "1.000", "3"])


@pytest.mark.parametrize("args", [
    [], ["frob", "x"], ["check"], ["table", "x"], ["table", "x", "-o", "t.xlsx"], ["convert", "x"],
    ["check", "x", "--jobs", "0"], ["check", "x", "--layout", "binary"], ["table", "x", "-o", "t.csv", "--rows", "y"],
], ids=lambda args: " ".join(args) or "nothing")
def test_usage_errors_exit_2_with_argparse_message(args):
    done = orvex_cmd(*args)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("usage: orvex") and "error: " in done.stderr


def test_without_pyarrow_check_works_and_the_others_say_what_to_install(tmp_path, corpus):
    (tmp_path / "pyarrow").mkdir()
    (tmp_path / "pyarrow" / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    assert orvex_cmd("check", corpus, env=env).returncode == 0
    assert orvex_cmd("convert", corpus, "-o", tmp_path / "out", env=env).returncode == 0
    for args in (["table", corpus, "-o", tmp_path / "t.csv"], ["stats", corpus]):
        done = orvex_cmd(*args, env=env)
        assert (done.returncode, done.stderr.endswith("needs pyarrow: python3 -m pip install pyarrow\n")) == (2, True)
    assert not (tmp_path / "t.csv").exists()


def test_help_has_an_example_per_command_and_version_is_the_module_one():
    text = orvex_cmd("--help").stdout
    assert all(f"orvex {command} " in text for command in ("check", "table", "convert", "stats"))
    assert orvex_cmd("--version").stdout == f"orvex {orvex.__version__}\n"
