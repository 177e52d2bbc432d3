"""Binding and conversion of arguments: the errors a caller sees, word for word.

Binding errors are compared with what the interpreter says for a plain `def` with the same parameters.
Conversions are probed through the order of conversion: arguments are converted one after another, so a
value is accepted exactly when the error moves on to a later parameter (here always the last one, given a
value no conversion accepts).
"""
import collections
import pathlib
import re

import pytest

import orvex
from fakes import IterSeq
from tg_helpers import python_twins

np = pytest.importorskip("numpy")

TWINS = python_twins()


def error_of(function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return info.value


def python_wording(name, *args, **kwargs):
    message = str(error_of(TWINS[name], *args, **kwargs))
    return re.sub(r"\. Did you mean .*\?$", "", message)  # newer interpreters add suggestions


BINDING = [
    ("textgrid2data", (1, 2, 3, 4), {}, "textgrid2data() takes 3 positional arguments but 4 were given"),
    ("vectors2textgrid", tuple(range(10)), {},
     "vectors2textgrid() takes 9 positional arguments but 10 were given"),
    ("textgrid2data", (1, 2, 3), {"mode": 1}, "textgrid2data() got an unexpected keyword argument 'mode'"),
    ("textgrid2data", (1, 2, 3, 4), {"mode": 1}, "textgrid2data() got an unexpected keyword argument 'mode'"),
    ("textgrids2data", (1,), {"files": 2, "strict": 1, "file_type": 1},
     "textgrids2data() got multiple values for argument 'files'"),
    ("data2textgrid", (1, 2, 3, 4, 5, 6), {"tmax": 1},
     "data2textgrid() got multiple values for argument 'tmax'"),
    ("textgrid2data", (1, 2), {}, "textgrid2data() missing 1 required positional argument: 'file_type'"),
    ("textgrid2vectors", (), {"strict": True},
     "textgrid2vectors() missing 2 required positional arguments: 'file' and 'file_type'"),
    ("data2textgrid", ([],), {"output_file": "x", "file_type": "long"},
     "data2textgrid() missing 2 required positional arguments: 'tmin' and 'tmax'"),
    ("textgrids2vectors", (), {},
     "textgrids2vectors() missing 3 required positional arguments: 'files', 'strict', and 'file_type'"),
    ("vectors2textgrid", (), {"tmin": None},
     "vectors2textgrid() missing 8 required positional arguments: 'tmins', 'tmaxs', 'labels', "
     "'tier_names', 'is_intervals', 'tmax', 'output_file', and 'file_type'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING,
                         ids=[f"{case[0]}-{i}" for i, case in enumerate(BINDING)])
def test_binding_errors_match_the_interpreter(name, args, kwargs, message):
    error = error_of(getattr(orvex, name), *args, **kwargs)
    assert type(error) is TypeError
    assert str(error) == message
    assert python_wording(name, *args, **kwargs) == message


def test_binding_comes_before_conversion():
    # every value is also unconvertible, yet the call fails on the binding
    assert str(error_of(orvex.textgrid2data, 1, 1, 1, 1)).startswith("textgrid2data() takes 3")


def test_all_arguments_by_keyword_bind(tmp_path):
    error = error_of(orvex.textgrid2data, file_type=None, strict=True, file=str(tmp_path))
    assert str(error) == "argument 'file_type': 'NoneType' object cannot be cast as 'str'"


class StrSub(str):
    pass


class Real:
    def __float__(self):
        return 2.5


class Index:
    def __index__(self):
        return 3


NumpyBoolWithoutSlot = type("bool_", (), {"__module__": "numpy"})
NumpyBoolWithSlot = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
NumpyBoolFailing = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 1 / 0})
NotNumpyBool = type("bool_", (), {"__module__": "numpyx", "__bool__": lambda self: True})


def tier(name="w", flag=True, items=()):
    return (name, flag, list(items))


# (function, arguments, exception type, message); a message naming the last parameter means every
# earlier argument was accepted.
LAST = "argument 'file_type': 'NoneType' object cannot be cast as 'str'"
CONVERSIONS = {
    # strings
    "path-object": ("textgrid2data", (pathlib.Path("a"), True, "long"), TypeError,
                    "argument 'file': 'PosixPath' object cannot be cast as 'str'"),
    "bytes-path": ("textgrid2data", (b"a", True, "long"), TypeError,
                   "argument 'file': 'bytes' object cannot be cast as 'str'"),
    "str-subclass": ("textgrid2data", (StrSub("a"), True, None), TypeError, LAST),
    "numpy-str": ("textgrid2data", (np.str_("a"), True, None), TypeError, LAST),
    "lone-surrogate": ("textgrid2data", ("a\udc80", True, "long"), UnicodeEncodeError, None),
    # flags
    "int-1": ("textgrid2data", ("a", 1, "long"), TypeError,
              "argument 'strict': 'int' object cannot be cast as 'bool'"),
    "none-flag": ("textgrid2data", ("a", None, "long"), TypeError,
                  "argument 'strict': 'NoneType' object cannot be cast as 'bool'"),
    "numpy-true": ("textgrid2data", ("a", np.True_, None), TypeError, LAST),
    "numpy-int": ("textgrid2data", ("a", np.int64(1), "long"), TypeError,
                  "argument 'strict': 'int64' object cannot be cast as 'bool'"),
    "numpy-named-with-slot": ("textgrid2data", ("a", NumpyBoolWithSlot(), None), TypeError, LAST),
    "numpy-named-without-slot": ("textgrid2data", ("a", NumpyBoolWithoutSlot(), "long"), TypeError,
                                 "argument 'strict': object of type 'bool_' does not define a '__bool__' "
                                 "conversion"),
    "numpy-named-failing-bool": ("textgrid2data", ("a", NumpyBoolFailing(), "long"), ZeroDivisionError,
                                 "division by zero"),
    "other-module-bool": ("textgrid2data", ("a", NotNumpyBool(), "long"), TypeError,
                          "argument 'strict': 'bool_' object cannot be cast as 'bool'"),
    # lists
    "files-str": ("textgrids2data", ("a.TextGrid", True, "long"), TypeError,
                  "argument 'files': Can't extract `str` to `Vec`"),
    "files-str-subclass": ("textgrids2data", (StrSub("a"), True, "long"), TypeError,
                           "argument 'files': Can't extract `str` to `Vec`"),
    "files-set": ("textgrids2data", ({"a"}, True, "long"), TypeError,
                  "argument 'files': 'set' object cannot be cast as 'Sequence'"),
    "files-dict": ("textgrids2data", ({"a": 1}, True, "long"), TypeError,
                   "argument 'files': 'dict' object cannot be cast as 'Sequence'"),
    "files-generator": ("textgrids2data", ((f for f in ["a"]), True, "long"), TypeError,
                        "argument 'files': 'generator' object cannot be cast as 'Sequence'"),
    "files-bad-element": ("textgrids2data", (["a", 1, None], True, "long"), TypeError,
                          "argument 'files': 'int' object cannot be cast as 'str'"),
    "files-range": ("textgrids2data", (range(2), True, "long"), TypeError,
                    "argument 'files': 'int' object cannot be cast as 'str'"),
    "files-tuple": ("textgrids2data", (("a", "b"), True, None), TypeError, LAST),
    "files-numpy-str": ("textgrids2data", (np.array(["a", "b"]), True, None), TypeError, LAST),
    "files-huge-length": ("textgrids2data", (IterSeq(["a"], length=2**62), True, None), TypeError, LAST),
    "files-failing-length": ("textgrids2data", (IterSeq(["a"], length=ValueError("no")), True, None), TypeError,
                             LAST),
    # floats and optional floats
    "tmin-str": ("data2textgrid", ([], "0", None, "o", "long"), TypeError,
                 "argument 'tmin': must be real number, not str"),
    "tmax-list": ("data2textgrid", ([], None, [1.0], "o", "long"), TypeError,
                  "argument 'tmax': must be real number, not list"),
    "tmin-huge-int": ("data2textgrid", ([], 10**400, None, "o", "long"), OverflowError,
                      "int too large to convert to float"),
    "bounds-accepted": ("data2textgrid", ([], 0, np.float32(1.5), "o", None), TypeError, LAST),
    "bounds-protocols": ("data2textgrid", ([], Real(), Index(), "o", None), TypeError, LAST),
    "bounds-none": ("data2textgrid", ([], None, None, "o", None), TypeError, LAST),
    "output-path": ("data2textgrid", ([], None, None, pathlib.Path("o"), "long"), TypeError,
                    "argument 'output_file': 'PosixPath' object cannot be cast as 'str'"),
    # tiers and items: 3-tuples, nested lists, no prefix for ValueError
    "tier-list": ("data2textgrid", ([["w", True, []]], None, None, "o", "long"), TypeError,
                  "argument 'data': 'list' object cannot be cast as 'tuple'"),
    "tier-pair": ("data2textgrid", ([("w", True)], None, None, "o", "long"), ValueError,
                  "expected tuple of length 3, but got tuple of length 2"),
    "tier-flag-int": ("data2textgrid", ([("w", 1, [])], None, None, "o", "long"), TypeError,
                      "argument 'data': 'int' object cannot be cast as 'bool'"),
    "tier-items-str": ("data2textgrid", ([("w", True, "ab")], None, None, "o", "long"), TypeError,
                       "argument 'data': Can't extract `str` to `Vec`"),
    "item-pair": ("data2textgrid", ([tier(items=[(0, 1)])], None, None, "o", "long"), ValueError,
                  "expected tuple of length 3, but got tuple of length 2"),
    "item-time-str": ("data2textgrid", ([tier(items=[(0, "1", "a")])], None, None, "o", "long"), TypeError,
                      "argument 'data': must be real number, not str"),
    "item-label-none": ("data2textgrid", ([tier(items=[(0, 1, None)])], None, None, "o", "long"), TypeError,
                        "argument 'data': 'NoneType' object cannot be cast as 'str'"),
    "data-accepted": ("data2textgrid", ([collections.namedtuple("T", "a b c")("w", np.True_, ((0, 1, "a"),))],
                                        None, None, "o", None), TypeError, LAST),
    # columns
    "tmins-numpy": ("vectors2textgrid", (np.array([0.0]), np.array([1.0]), ["a"], ["w"], np.array([True]),
                                         None, None, "o", None), TypeError, LAST),
    "is-intervals-int": ("vectors2textgrid", ([0.0], [1.0], ["a"], ["w"], [True, 1], None, None, "o", "long"),
                         TypeError, "argument 'is_intervals': 'int' object cannot be cast as 'bool'"),
    "is-intervals-numpy-int": ("vectors2textgrid", ([0.0], [1.0], ["a"], ["w"], np.array([1]), None, None, "o",
                                                    "long"),
                               TypeError, "argument 'is_intervals': 'int64' object cannot be cast as 'bool'"),
    "tier-names-element": ("vectors2textgrid", ([0.0], [1.0], ["a"], [b"w"], [True], None, None, "o", "long"),
                           TypeError, "argument 'tier_names': 'bytes' object cannot be cast as 'str'"),
    "unequal-lengths-pass-conversion": ("vectors2textgrid", ([0.0, 1.0], [1.0], [], ["w"], [True], None, None,
                                                             "o", None), TypeError, LAST),
    # the first failing parameter wins
    "first-failure": ("vectors2textgrid", ([0.0], "x", 1, 1, 1, "x", "x", 1, 1), TypeError,
                      "argument 'tmaxs': Can't extract `str` to `Vec`"),
}


@pytest.mark.parametrize("name, args, kind, message", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_conversion_errors(name, args, kind, message):
    error = error_of(getattr(orvex, name), *args)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    else:
        assert "argument '" not in str(error)


def test_prefixed_error_takes_over_the_cause():
    cause = KeyError("inner")

    class Failing:
        def __float__(self):
            raise TypeError("no float here") from cause

    error = error_of(orvex.data2textgrid, [], Failing(), None, "o", "long")
    assert str(error) == "argument 'tmin': no float here"
    assert error.__cause__ is cause


def test_unprefixed_error_is_the_original():
    class Failing:
        def __float__(self):
            raise ValueError("bad value")

    error = error_of(orvex.data2textgrid, [], None, Failing(), "o", "long")
    assert type(error) is ValueError and str(error) == "bad value"

