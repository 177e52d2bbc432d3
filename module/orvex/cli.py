"""The orvex command: check, table, convert and stats over TextGrid files and folders.

Every command reads through textgrids2arrow, so a folder is walked, decoded and read exactly as that
function reads it, on the worker pool. Nothing here runs at import time; main() is the whole program.
"""
import argparse
import bisect
import contextlib
import ctypes
import json
import math
import os
import re
import signal
import sys
import tempfile
import time
from collections import Counter

import orvex

LAYOUTS = ("praat", "long", "short", "auto")
ROWS = ("items", "tiers", "files")
TABLE_FORMATS = (".parquet", ".csv", ".tsv", ".arrow", ".feather", ".jsonl")
# Files read and written per arrow2textgrids call: enough to keep every worker busy, few enough that
# the three tables of a run stay small whatever the size of the corpus.
CONVERT_RUN = 2000
# The validator's own tolerance for overlaps and bounds.
TOLERANCE = 1e-06

EXAMPLES = """\
examples:
  orvex check corpus/ --strict              every problem of every file, as PATH:LINE: message
  orvex table corpus/ -o corpus.parquet     one row per interval or point (.csv .tsv .arrow .jsonl too)
  orvex convert corpus/ -o corpus-utf8/     every file again as UTF-8 text, the tree mirrored
  orvex stats corpus/ --json                counts, durations and labels per tier name
"""


class UsageError(Exception):
    """Something the command line asks that cannot be done as asked: exit status 2."""


# ---- reading ------------------------------------------------------------------------------------


def _stream(paths, args, rows="items", strict=None):
    """A TextGridStream over the command's PATHs (one path goes to the native walk as it is)."""
    files = paths[0] if len(paths) == 1 else _expand(paths)
    return orvex.textgrids2arrow(files, args.strict if strict is None else strict, args.layout, rows=rows)


def _expand(paths, skip=None):
    """Every file the PATHs name, each folder walked as textgrids2arrow walks one; a folder whose
    absolute path is skip is left out."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = []
            _walk(path, found, skip)
            files += sorted(found, key=os.fsencode)
        else:
            files.append(path)
    return files


def _walk(folder, found, skip):
    with os.scandir(folder) as entries:
        for entry in entries:
            # Links to folders are not followed: one pointing up the tree would never end the walk.
            if entry.is_dir(follow_symlinks=False):
                if skip is None or os.path.abspath(entry.path) != skip:
                    _walk(entry.path, found, skip)
            elif entry.name.lower().endswith(".textgrid") and entry.is_file():
                found.append(entry.path)


def _split_message(path, message):
    """(line or None, message) of a failure, without the reader's "Failed to read ..." preamble."""
    preamble = f"Failed to read TextGrid file {path} because: "
    if message.startswith(preamble):
        message = message[len(preamble):]
    found = re.match(r"line (\d+): (.*)", message, re.DOTALL)
    return (int(found.group(1)), found.group(2)) if found else (None, message)


class _ArrowArray(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p)]


class _ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)),
                ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_ArrowArray))),
                ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)),
                ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p)]


def _drain(stream, progress):
    """Reads a stream to its end and drops the batches: failures are all that check wants, and this
    needs no Arrow library (ctypes lets go of the interpreter lock around each native call)."""
    capsule = stream.__arrow_c_stream__()
    get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
        ("PyCapsule_GetPointer", ctypes.pythonapi))
    address = get_pointer(capsule, b"arrow_array_stream")
    c_stream = _ArrowArrayStream.from_address(address)
    while True:
        batch = _ArrowArray()
        if c_stream.get_next(address, ctypes.byref(batch)) != 0:
            raise OSError((c_stream.get_last_error(address) or b"reading failed").decode("utf-8", "replace"))
        if not batch.release:
            return
        batch.release(ctypes.addressof(batch))
        progress.update(stream.files_done, stream.files_total)


def _pyarrow(purpose):
    try:
        import pyarrow
    except ImportError:
        raise UsageError(f"{purpose} needs pyarrow: python3 -m pip install pyarrow") from None
    return pyarrow


# ---- reports ------------------------------------------------------------------------------------


def _failures(stream):
    """[(path, line, message)] of a stream's failures, in file order."""
    return [(path, *_split_message(path, message)) for _, path, message in stream.failures]


def _report(problems, out, as_json=False):
    for path, line, message in problems:
        if as_json:
            out.write(json.dumps({"path": path, "line": line, "message": message}, ensure_ascii=False) + "\n")
        else:
            out.write(f"{path}:{line}: {message}\n" if line is not None else f"{path}: {message}\n")


class _Progress:
    """A one-line bar on stderr, shown only on a terminal and once the work has taken a second."""

    def __init__(self, what, quiet):
        self.what = what
        self.enabled = not quiet and sys.stderr.isatty()
        self.start = self.last = time.monotonic()
        self.shown = False

    def update(self, done, total):
        now = time.monotonic()
        if not self.enabled or now - self.start < 1.0 or now - self.last < 0.1:
            return
        self.last, self.shown = now, True
        filled = 30 * done // max(total, 1)
        sys.stderr.write(f"\r{self.what} [{'#' * filled}{'.' * (30 - filled)}] {done}/{total} files")
        sys.stderr.flush()

    def close(self):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = False


@contextlib.contextmanager
def _progress(what, args):
    progress = _Progress(what, args.quiet)
    try:
        yield progress
    finally:
        progress.close()


@contextlib.contextmanager
def _atomic_path(target):
    """A temporary name beside target, renamed over it when the block ends well and removed otherwise,
    so that no reader ever sees half a table."""
    folder, name = os.path.split(os.path.abspath(target))
    try:
        fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    except OSError as error:
        raise OSError(error.errno, f"cannot write {target}: {error.strerror}") from None
    os.close(fd)
    try:
        yield temp
        os.chmod(temp, 0o666 & ~_umask())
        os.replace(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# ---- check --------------------------------------------------------------------------------------


def cmd_check(args):
    with _progress("check", args) as progress:
        stream = _stream(args.paths, args, rows="files")
        _drain(stream, progress)
    problems = _failures(stream)
    if args.strict and problems:
        try:
            pa = _pyarrow("listing every violation of a file")
        except UsageError as error:
            sys.stderr.write(f"orvex check: {error}; the first of each file is shown\n")
        else:
            problems = [found for path, line, message in problems
                        for found in _violations(pa, path, line, message, args.layout)]
    _report(problems, sys.stdout, args.json)
    if not args.quiet:
        bad = len({path for path, _, _ in problems})
        sys.stderr.write(f"{stream.files_total} files, {bad} with problems\n")
    return 1 if problems else 0


def _violations(pa, path, line, message, layout):
    """Every validation problem of a file that strict reading refused: the reader stops at the first,
    so the file is read again leniently and checked here in full, each problem with the line of the
    item (or tier, or grid) it concerns where the file's text shows it."""
    first = [(path, line, message)]
    reads = {rows: orvex.textgrids2arrow([path], False, layout, rows=rows) for rows in ROWS}
    tables = {rows: pa.table(stream) for rows, stream in reads.items()}
    if reads["files"].failures or tables["files"].num_rows != 1:
        return first  # not a validation problem: the file cannot be read at all
    grid = tables["files"].to_pylist()[0]
    tiers = tables["tiers"].to_pylist()
    items = tables["items"].select(["tier_index", "tmin", "tmax"]).to_pydict()
    per_tier = [[] for _ in tiers]
    for tier, tmin, tmax in zip(items["tier_index"], items["tmin"], items["tmax"]):
        per_tier[tier].append((tmin, tmax))
    # (value, message): a value is (tier, item, k), the k-th value of the grid (tier and item None), of
    # a tier (item None) or of an item, where the problem shows in the file.
    found = []
    undefined = layout == "praat"  # that reader's validation refuses undefined times; the others' do not
    _bounds_problems(found, (None, None, 0), grid["tmin"], grid["tmax"], "TextGrid", undefined and "")
    for t, tier in enumerate(tiers):
        name, is_interval = tier["tier"], tier["is_interval"]
        _bounds_problems(found, (t, None, 2), tier["tmin"], tier["tmax"], f"tier {name}",
                         undefined and f" of tier {t + 1}")
        spans = per_tier[t]
        for i, (tmin, tmax) in enumerate(spans):
            if is_interval:
                _bounds_problems(found, (t, i, 0), tmin, tmax, f"item {i} in tier {name}",
                                 undefined and f" of item {i + 1} of tier {t + 1}")
            elif undefined and math.isnan(tmin):
                found.append(((t, i, 0), f"the time of item {i + 1} of tier {t + 1} is undefined"))
            elif abs(tmin - tmax) > TOLERANCE:
                found.append(((t, i, 0), f"Item {i} should have tmin == tmax in PointTier {name}"))
            if i + 1 < len(spans) and tmax - spans[i + 1][0] > TOLERANCE:
                found.append(((t, i + 1, 0), f"Items {i} and {i + 1} overlap in tier {name}"))
    lines = _value_lines(path)
    problems = [(path, lines.get(where), text) for where, text in found]
    if message not in {text for _, text in found}:
        problems.append((path, line, message))  # a rule only the reader checks (declared sizes)
    return sorted(problems, key=lambda problem: problem[1] or 0)


def _bounds_problems(found, where, tmin, tmax, context, undefined_of):
    """The validator's rule for a pair of bounds, and with undefined_of (the words naming whose bounds
    they are) an undefined time as a problem of its own."""
    if undefined_of is not False:
        t, i, k = where
        for offset, (field, value) in enumerate((("xmin", tmin), ("xmax", tmax))):
            if math.isnan(value):
                found.append(((t, i, k + offset), f"the {field}{undefined_of} is undefined"))
    if tmin < 0 or tmax <= 0:
        found.append((where, f"Time bounds should be non-negative in {context}"))
    elif tmax - tmin <= TOLERANCE:
        found.append((where, f"tmin should be less than tmax in {context}"))


# Text files are one stream of values, long and short layout alike: strings in double quotes (a doubled
# quote inside), numbers, <flags>; "!" starts a comment and anything else (keys, "=", "item [1]:") is
# skipped up to white space.
_VALUE = re.compile(r'"(?:[^"]|"")*"(?=\s|$)|!.*|\S+')


def _value_lines(path):
    """{(tier, item, k): line} of the values of a file as _violations names them; {} or the lines up to
    where the values stop following a text TextGrid (a binary or chronological file has none)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        text = data.decode("utf-16", "replace")
    else:
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError:
            text = data.decode("latin-1")
    starts = [m.end() for m in re.finditer(r"\r\n|\r|\n", text)]
    values = [(m.group()[0], m.start()) for m in _VALUE.finditer(text) if m.group()[0] in '"<+-0123456789']
    number, string, flag = "+-0123456789", '"', "<"
    lines = {}
    at = 0

    def take(kinds, key=None):
        nonlocal at
        if at == len(values) or values[at][0] not in kinds:
            raise LookupError
        if key is not None:
            lines[key] = bisect.bisect_right(starts, values[at][1]) + 1
        at += 1

    try:
        take(string), take(string)
        take(number, (None, None, 0)), take(number, (None, None, 1)), take(flag), take(number)
        t = 0
        while at < len(values):
            is_interval = text.startswith('"IntervalTier"', values[at][1])
            for k, kind in enumerate((string, string, number, number)):
                take(kind, (t, None, k))
            count = int(re.match(r"[+-]?\d*", text[values[at][1]:] if at < len(values) else "").group() or 0)
            take(number)
            for i in range(count):
                for k, kind in enumerate((number, number, string) if is_interval else (number, string)):
                    take(kind, (t, i, k))
            t += 1
    except (LookupError, ValueError):
        pass
    return lines


# ---- table --------------------------------------------------------------------------------------


def cmd_table(args):
    suffix = os.path.splitext(args.output)[1].lower()
    pa = _pyarrow(f"writing {suffix}")
    stream = _stream(args.paths, args, rows=args.rows)
    reader = pa.RecordBatchReader.from_stream(stream)
    with _progress("table", args) as progress, _atomic_path(args.output) as temp:
        write_batch, close = _table_writer(pa, suffix, temp, reader.schema)
        try:
            for batch in reader:
                write_batch(batch)
                progress.update(stream.files_done, stream.files_total)
        finally:
            close()
    problems = _failures(stream)
    _report(problems, sys.stderr)
    return 1 if problems else 0


def _table_writer(pa, suffix, path, schema):
    """(write_batch, close) for one output format."""
    if suffix == ".parquet":
        import pyarrow.parquet as pq
        writer = pq.ParquetWriter(path, schema)
        return writer.write_batch, writer.close
    if suffix in (".csv", ".tsv"):
        import pyarrow.csv as pcsv
        options = pcsv.WriteOptions(delimiter="\t" if suffix == ".tsv" else ",")
        writer = pcsv.CSVWriter(path, schema, write_options=options)
        return writer.write_batch, writer.close
    if suffix in (".arrow", ".feather"):
        # Each batch brings its own dictionary of paths and tier names, and an IPC file holds one
        # dictionary per column: plain strings there.
        plain = pa.schema([field.with_type(field.type.value_type) if pa.types.is_dictionary(field.type)
                           else field for field in schema])
        writer = pa.ipc.new_file(path, plain)
        return (lambda batch: writer.write_batch(batch.cast(plain))), writer.close
    out = open(path, "w", encoding="utf-8", newline="\n")

    def write_jsonl(batch):
        columns = batch.to_pydict()
        names = list(columns)
        for row in zip(*columns.values()):
            out.write(json.dumps(dict(zip(names, map(_json_number, row))), ensure_ascii=False) + "\n")

    return write_jsonl, out.close


def _json_number(value):
    # JSON has no NaN or infinity (a lenient read can give them): null there.
    return None if isinstance(value, float) and not math.isfinite(value) else value


# ---- convert ------------------------------------------------------------------------------------


def cmd_convert(args):
    out_dir = os.path.abspath(args.output)
    # The tree below the PATHs is mirrored: each file is named relative to the folder that holds them
    # all (a folder's files by their path below it, a file by its name).
    bases = [os.path.abspath(p if os.path.isdir(p) else os.path.dirname(p) or ".") for p in args.paths]
    root = os.path.commonpath(bases)
    files, relative = [], []
    for path, base in zip(args.paths, bases):
        prefix = os.path.relpath(base, root)
        if os.path.isdir(path):
            # A second run into a folder inside the corpus leaves the first run's files alone.
            found = _expand([path], skip=out_dir)
            below = [name[len(path):].lstrip(os.sep) for name in found]
        else:
            found, below = [path], [os.path.basename(path)]
        files += found
        relative += below if prefix == "." else [os.path.join(prefix, name) for name in below]
    shown = dict(zip(relative, files))
    os.makedirs(out_dir, exist_ok=True)
    problems, written = [], 0
    # arrow2textgrids names each output by the file column, which holds the paths as given: given
    # relative to root, they are the mirrored names.
    cwd = os.getcwd()
    os.chdir(root)
    try:
        with _progress("convert", args) as progress:
            for start in range(0, len(relative), CONVERT_RUN):
                run = relative[start:start + CONVERT_RUN]
                items = _stream(run, args)
                tiers, grids = (_stream(run, args, rows=rows) for rows in ("tiers", "files"))
                report = orvex.arrow2textgrids(items, out_dir, args.to, tiers=tiers, files=grids,
                                               overwrite=args.overwrite)
                problems += [(shown.get(path, path), line, message) for path, line, message in _failures(items)]
                problems += [(shown.get(file, file), None, message) for file, _, message in report.failures]
                written += report.files_written
                progress.update(start + len(run), len(relative))
    finally:
        os.chdir(cwd)
    _report(problems, sys.stderr)
    if not args.quiet:
        sys.stderr.write(f"{len(files)} files, {written} written to {args.output}\n")
    return 1 if problems else 0


# ---- stats --------------------------------------------------------------------------------------


def cmd_stats(args):
    pa = _pyarrow("orvex stats")
    import pyarrow.compute as pc
    totals = {"files_read": 0, "files_failed": 0, "tiers": 0, "items": 0, "duration": 0.0}
    names = {}

    def name_entry(name):
        return names.setdefault(name, {"files": set(), "items": 0, "interval_duration": 0.0, "intervals": 0,
                                        "labels": Counter()})

    def durations(batch):
        # An undefined time (a lenient reading of the Praat layout gives NaN for one) counts as no time.
        spans = pc.subtract(batch["tmax"], batch["tmin"])
        return pc.if_else(pc.is_nan(spans), pa.scalar(None, pa.float64()), spans)

    with _progress("stats", args) as progress:
        # Three readings, one per table: the grids' bounds, the tiers (empty ones too), the items.
        progress.what = "stats (1/3)"
        grids = _stream(args.paths, args, rows="files")
        for batch in pa.RecordBatchReader.from_stream(grids):
            totals["files_read"] += batch.num_rows
            totals["duration"] += pc.sum(durations(batch)).as_py() or 0.0
            progress.update(grids.files_done, grids.files_total)
        progress.what = "stats (2/3)"
        tiers = _stream(args.paths, args, rows="tiers")
        for batch in pa.RecordBatchReader.from_stream(tiers):
            totals["tiers"] += batch.num_rows
            for name, file_id in zip(batch["tier"].to_pylist(), batch["file_id"].to_pylist()):
                name_entry(name)["files"].add(file_id)
            progress.update(tiers.files_done, tiers.files_total)
        progress.what = "stats (3/3)"
        items = _stream(args.paths, args)
        for batch in pa.RecordBatchReader.from_stream(items):
            totals["items"] += batch.num_rows
            table = pa.table({"tier": batch["tier"].cast(pa.string()), "label": batch["label"],
                              "interval": batch["is_interval"],
                              "duration": durations(batch)})
            counted = table.group_by(["tier", "label", "interval"]).aggregate(
                [("label", "count"), ("duration", "sum"), ("duration", "count")])
            for row in counted.to_pylist():
                entry = name_entry(row["tier"])
                entry["items"] += row["label_count"]
                entry["labels"][row["label"]] += row["label_count"]
                if row["interval"]:
                    entry["intervals"] += row["duration_count"]
                    entry["interval_duration"] += row["duration_sum"] or 0.0
            progress.update(items.files_done, items.files_total)
    problems = _failures(grids)
    totals["files_failed"] = len(problems)
    per_name = [{"tier": name, "files": len(e["files"]), "items": e["items"],
                 "interval_duration": e["interval_duration"],
                 "mean_interval_duration": e["interval_duration"] / e["intervals"] if e["intervals"] else None,
                 "labels": len(e["labels"]), "top_labels": e["labels"].most_common(args.top)}
                for name, e in names.items()]
    _report(problems, sys.stderr)
    if args.json:
        document = {**totals, "tiers_by_name": per_name}
        sys.stdout.write(json.dumps(document, ensure_ascii=False) + "\n")
    else:
        _print_stats(totals, per_name)
    return 1 if problems else 0


def _print_stats(totals, per_name):
    out = sys.stdout
    out.write(f"files     {totals['files_read']} read, {totals['files_failed']} failed\n"
              f"tiers     {totals['tiers']}\nitems     {totals['items']}\n"
              f"duration  {totals['duration']:.3f} s\n\n")
    header = ("tier", "files", "items", "intervals (s)", "mean (s)", "labels", "most frequent")
    rows = [header] + [(e["tier"], str(e["files"]), str(e["items"]), f"{e['interval_duration']:.3f}",
                        "" if e["mean_interval_duration"] is None else f"{e['mean_interval_duration']:.3f}",
                        str(e["labels"]), ", ".join(f"{_shortened(label)!r} {n}" for label, n in e["top_labels"]))
                       for e in per_name]
    widths = [max(len(row[k]) for row in rows) for k in range(len(header) - 1)]
    for row in rows:
        cells = [cell.ljust(w) if k == 0 else cell.rjust(w) for k, (cell, w) in enumerate(zip(row, widths))]
        out.write("  ".join(cells + [row[-1]]).rstrip() + "\n")


def _shortened(label, width=30):
    return label if len(label) <= width else label[:width - 1] + "…"


# ---- the command line ---------------------------------------------------------------------------


def _table_name(text):
    if os.path.splitext(text)[1].lower() not in TABLE_FORMATS:
        raise argparse.ArgumentTypeError(f"cannot tell the format of {text!r}: name it .parquet, .csv, .tsv, "
                                         ".arrow, .feather or .jsonl")
    return text


def _jobs(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of threads, not {text!r}")
    return int(text)


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    # SUPPRESS lets these stand before or after the command without one position resetting the other.
    common.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="no progress bar and no summary line")
    common.add_argument("-j", "--jobs", type=_jobs, metavar="N", default=argparse.SUPPRESS,
                        help="worker threads (default: one per CPU)")
    parser = argparse.ArgumentParser(
        prog="orvex", parents=[common], epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Check, tabulate, convert and count Praat TextGrid files. Every PATH is a file or a folder "
                    "(every *.TextGrid below it).")
    parser.add_argument("--version", action="version", version=f"orvex {orvex.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, run, help, example):
        sub = commands.add_parser(name, parents=[common], help=help, description=help,
                                  epilog=f"example:\n  {example}",
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        sub.add_argument("paths", nargs="+", metavar="PATH", help="a TextGrid file or a folder of them")
        sub.add_argument("--layout", choices=LAYOUTS, default="praat",
                         help="how files are read (default: praat, every layout Praat reads)")
        return sub

    check = command("check", cmd_check, "report every file that cannot be read, as PATH:LINE: message",
                    "orvex check corpus/ --strict --json > problems.jsonl")
    check.add_argument("--strict", action="store_true", help="also validate: every violation of each file")
    check.add_argument("--json", action="store_true", help="one JSON object per problem per line")
    table = command("table", cmd_table, "write the corpus as one table (format by OUT's extension)",
                    "orvex table corpus/ -o corpus.csv --rows tiers")
    table.add_argument("-o", "--output", required=True, metavar="OUT", type=_table_name,
                       help="the table: .parquet, .csv, .tsv, .arrow or .feather (Arrow IPC file), .jsonl")
    table.add_argument("--rows", choices=ROWS, default="items", help="one row per item (default), tier or file")
    table.add_argument("--strict", action="store_true", help="leave out files that fail validation")
    convert = command("convert", cmd_convert, "write every file again as UTF-8 text, the tree mirrored",
                      "orvex convert utf16-corpus/ -o utf8-corpus/ --to short")
    convert.add_argument("-o", "--output", required=True, metavar="OUT_DIR", help="folder for the new files")
    convert.add_argument("--to", choices=("long", "short"), default="long", help="layout written (default long)")
    convert.add_argument("--overwrite", action="store_true", help="replace files that exist in OUT_DIR")
    stats = command("stats", cmd_stats, "count files, tiers, items, durations and labels per tier name",
                    "orvex stats corpus/ --json")
    stats.add_argument("--json", action="store_true", help="one JSON document instead of the table")
    stats.add_argument("--top", type=int, default=5, metavar="K", help="most frequent labels shown (default 5)")
    # convert reads with validation: the writer refuses what validation refuses anyway, and an undefined
    # time, which validation alone catches, would be written as text that no reader takes back.
    convert.set_defaults(strict=True)
    stats.set_defaults(strict=False)
    return parser


class _Interrupted:
    seen = False


def _on_sigint(signum, frame):
    # The native stream turns an interrupt it sees into an error of its own; the flag tells main that
    # whatever was raised was the user's Ctrl-C.
    _Interrupted.seen = True
    raise KeyboardInterrupt


def main(argv=None):
    """Runs the orvex command; returns its exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exit:
        return exit.code
    args.quiet = getattr(args, "quiet", False)
    if getattr(args, "jobs", None):
        # Read when the worker pool starts, which is the first parallel call below.
        os.environ["RAYON_NUM_THREADS"] = str(args.jobs)
    _Interrupted.seen = False
    previous = signal.signal(signal.SIGINT, _on_sigint) if _main_thread() else None
    try:
        status = args.run(args)
        sys.stdout.flush()  # here, where a closed pipe is still handled below
        return status
    except UsageError as error:
        sys.stderr.write(f"orvex {args.command}: {error}\n")
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # A reader such as head went away: nothing more to say, and nothing to say it to.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as error:
        if _Interrupted.seen:
            return 130
        if not isinstance(error, OSError):
            raise
        sys.stderr.write(f"orvex {args.command}: {error}\n")
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _main_thread():
    import threading
    return threading.current_thread() is threading.main_thread()
