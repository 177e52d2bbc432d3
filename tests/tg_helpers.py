"""Shared helpers of the tests: the module's first six functions, and building TextGrid text, writing it and
reading it back."""
import itertools
import os

import orvex

# The kernel's own architecture and the one a process under a user-mode emulator (qemu-user) is told by uname
# differ; a 32-bit personality on a 64-bit kernel is no emulation.
_SAME_KERNEL = {"x86_64": {"i386", "i486", "i586", "i686"}, "aarch64": {"armv7l", "armv8l"}}


def _emulated():
    try:
        with open("/proc/sys/kernel/arch") as f:
            kernel = f.read().strip()
    except OSError:
        return False
    machine = os.uname().machine
    return kernel != machine and machine not in _SAME_KERNEL.get(kernel, ())


# The emulator's translated code and its own allocations count in the process's resident size.
EMULATED = _emulated()

# The six functions that read and write TextGrids, in registration order: their parameters (all required,
# positional or keyword) and the first line of their docstring.
FUNCTIONS = {
    "textgrid2vectors": (["file", "strict", "file_type"],
                         "Converts a single TextGrid file to vectorized format."),
    "textgrids2vectors": (["files", "strict", "file_type"],
                          "Converts multiple TextGrid files to vectorized format with file tracking."),
    "textgrid2data": (["file", "strict", "file_type"],
                      "Converts a single TextGrid file to structured data format."),
    "textgrids2data": (["files", "strict", "file_type"],
                       "Converts multiple TextGrid files to structured data format."),
    "data2textgrid": (["data", "tmin", "tmax", "output_file", "file_type"],
                      "Creates a TextGrid file from structured data format."),
    "vectors2textgrid": (["tmins", "tmaxs", "labels", "tier_names", "is_intervals", "tmin", "tmax",
                          "output_file", "file_type"],
                         "Creates a TextGrid file from vectorized format."),
}


def python_twins():
    """For each of FUNCTIONS, a plain `def` with the same parameters, by name: what the interpreter says
    about a call of it is what the function must say."""
    twins = {}
    for name, (params, _) in FUNCTIONS.items():
        exec(f"def {name}({', '.join(params)}): pass", twins)
    return twins


HEADER_LONG = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n'


def long_text(tmin, tmax, tiers, size=None):
    """Long-layout text; tiers are (class, name, tmin, tmax, items) with items (a, b, label) or (t, mark)."""
    lines = [f"xmin = {tmin}", f"xmax = {tmax}", "tiers? <exists>",
             f"size = {len(tiers) if size is None else size}", "item []:"]
    for n, (cls, name, t0, t1, items) in enumerate(tiers, 1):
        word = "intervals" if cls == "IntervalTier" else "points"
        lines += [f"    item [{n}]:", f'        class = "{cls}"', f"        name = {name}",
                  f"        xmin = {t0}", f"        xmax = {t1}", f"        {word}: size = {len(items)}"]
        for k, item in enumerate(items, 1):
            if word == "intervals":
                a, b, label = item
                lines += [f"        intervals [{k}]:", f"            xmin = {a}", f"            xmax = {b}",
                          f"            text = {label}"]
            else:
                t, mark = item
                lines += [f"        points [{k}]:", f"            number = {t}", f"            mark = {mark}"]
    return HEADER_LONG + "\n".join(lines) + "\n"


def short_text(tmin, tmax, tiers):
    """Short-layout text with the same tier tuples as long_text (names and labels given as file text)."""
    lines = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "", str(tmin), str(tmax), "<exists>",
             str(len(tiers))]
    for cls, name, t0, t1, items in tiers:
        lines += [f'"{cls}"', name, str(t0), str(t1), str(len(items))]
        for item in items:
            lines += [str(v) for v in item]
    return "\n".join(lines) + "\n"


def mixed_line_ends(text, ends):
    """text with each LF replaced by the next of `ends`, in turn."""
    cycle = itertools.cycle(ends)
    return "".join(part + next(cycle) for part in text.split("\n")[:-1]) + text.split("\n")[-1]


def write(tmp_path, text, name="t.TextGrid"):
    path = tmp_path / name
    data = text if isinstance(text, bytes) else text.encode("utf-8")
    path.write_bytes(data)
    return str(path)


def read(path, strict=False, file_type="long"):
    return orvex.textgrid2data(path, strict, file_type)


def labels(result):
    """All labels of a textgrid2data result, tier by tier."""
    return [[item[2] for item in tier[2]] for tier in result[2]]


def fatal_message(func, *args):
    """Calls func expecting the module's internal-failure exception; returns its message."""
    try:
        func(*args)
    except Exception as exc:  # an ordinary exception is the wrong outcome
        raise AssertionError(f"expected the internal failure, got {exc!r}") from exc
    except BaseException as exc:
        assert type(exc).__bases__ == (BaseException,), type(exc)
        assert len(exc.args) == 1
        return exc.args[0]
    raise AssertionError("no exception raised")
