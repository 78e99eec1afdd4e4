"""The arguments of py_extract_variants_to_batches: what each rejected call raises,
to the letter, before anything is read, written or printed; and what is accepted."""
import ctypes
import gzip
import pathlib

import pytest

import kestrel
from conftest import DATA, files

split = kestrel.py_extract_variants_to_batches
NAME = "py_extract_variants_to_batches()"
try:
    split("/nonexistent/in.vcf", "out", 1)
except BaseException as failure:  # noqa: B902 - the type cannot be imported
    PANIC = type(failure)


def raise_(error, cause=None):
    raise error from cause


def index(action):
    return type("Index", (), {"__index__": lambda self: action()})()


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class Outer:
    class Inner:
        pass


class Text(str):
    """A str subclass; its own lower() must not take part in the compression mapping."""

    def lower(self):
        return "fast"


def vectorcall(*kwnames):
    """A call with keyword names that only C code can pass, each with the value "x"."""
    prototype = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object
    )
    values = (ctypes.py_object * len(kwnames))(*(["x"] * len(kwnames)))
    return prototype(("PyObject_Vectorcall", ctypes.pythonapi))(split, values, 0, kwnames)


def c(*args, **kwargs):
    return lambda: split(*args, **kwargs)


def not_str(parameter, type_name):
    return f"TypeError: argument '{parameter}': '{type_name}' object cannot be converted to 'PyString'"


def not_int(type_name):
    return f"TypeError: argument 'batch_size': '{type_name}' object cannot be interpreted as an integer"


def unexpected(name):
    return f"TypeError: {NAME} got an unexpected keyword argument '{name}'"


NarrowTypeError = type("NarrowTypeError", (TypeError,), {})
ROOT = ValueError("root")
SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position {}: surrogates not allowed"
OUT_OF_RANGE = "OverflowError: out of range integral type conversion attempted"
# Each message and the calls that give it. Arguments are checked in declaration order,
# after the count of positional values and then the keywords, in the order given.
REJECTED = {
    f"TypeError: {NAME} missing 3 required positional arguments: 'file_path', 'output_path', and 'batch_size'":
        [c(), c(compression_level="fast")],
    f"TypeError: {NAME} missing 2 required positional arguments: 'output_path' and 'batch_size'": [c("a")],
    f"TypeError: {NAME} missing 1 required positional argument: 'file_path'": [c(output_path="o", batch_size=1)],
    f"TypeError: {NAME} missing 1 required positional argument: 'output_path'":
        [c("a", batch_size=1), c(1, batch_size=2.5)],
    f"TypeError: {NAME} takes from 3 to 4 positional arguments but 5 were given": [c("a", "b", 1, None, 5)],
    f"TypeError: {NAME} takes from 3 to 4 positional arguments but 6 were given": [c(1, 2.5, b"x", 6, 7, 8, level=1)],
    f"TypeError: {NAME} got multiple values for argument 'file_path'":
        [c("a", "b", 1, file_path="x"), c("a", "b", 1, file_path="x", level=1),
         lambda: vectorcall("file_path", "file_path")],
    f"TypeError: {NAME} got multiple values for argument 'compression_level'":
        [c("a", "b", 1, None, compression_level="fast")],
    unexpected("level"): [c("a", "b", 1, level=1, file_path="x"), c(level=1), c(1, 2, 2.5, level=6)],
    unexpected("File_Path"): [c("a", "b", 1, File_Path="x")],
    unexpected("BATCH_SIZE"): [c("a", "b", BATCH_SIZE=1)],
    unexpected("file_path\0"): [c("a", "b", 1, **{"file_path\0": "x"})],
    unexpected("compression_level "): [c("a", "b", 1, **{"compression_level ": "x"})],
    unexpected("\ufb01le_path"): [c("a", "b", 1, **{"\ufb01le_path": "x"})],
    # a name that is not UTF-8 matches nothing and is shown with replacement characters
    unexpected("\ufffd\ufffd\ufffd"): [c("a", "b", 1, **{"\ud800": "x"})],
    "TypeError: 'int' object cannot be converted to 'PyString'": [lambda: vectorcall(42)],
    "TypeError: 'bytes' object cannot be converted to 'PyString'": [lambda: vectorcall(b"file_path")],
    not_str("file_path", "int"): [c(1, "o", 1), c(1, "o", 2.5)],
    not_str("file_path", "bytes"): [c(b"in", "o", 1)],
    not_str("file_path", "PurePosixPath"): [c(pathlib.PurePosixPath("in"), "o", 1)],
    not_str("file_path", "<failed to extract type name>"): [c(NoQualname("Anonymous", (), {})(), "o", 1)],
    not_str("output_path", "PosixPath"): [c("in", pathlib.Path("o"), 1)],
    not_str("output_path", "NoneType"): [c("in", None, 1)],
    not_str("output_path", "int"): [c("in", 1, -1)],
    not_str("output_path", "Outer.Inner"): [c("in", Outer.Inner(), 1)],
    not_int("float"): [c("in", "o", 2.5), c("in", "o", 2.5, 6)],
    not_int("str"): [c("in", "o", "3")],
    not_int("NoneType"): [c("in", "o", None)],
    "TypeError: argument 'batch_size': __index__ returned non-int (type float)": [c("in", "o", index(lambda: 2.0))],
    "TypeError: argument 'batch_size': \ufffd\ufffd\ufffd": [c("in", "o", index(lambda: raise_(TypeError("\ud800"))))],
    # a TypeError gains the parameter's name and keeps its cause, but not itself as cause
    "TypeError: argument 'batch_size': inner": [c("in", "o", index(lambda: raise_(TypeError("inner"), ROOT)))],
    not_str("compression_level", "int"): [c("in", "o", 1, 6)],
    not_str("compression_level", "ellipsis"): [c("in", "o", 1, ...)],
    not_str("compression_level", "bytes"): [c("in", "o", 1, b"fast")],
    # other batch size errors pass unchanged
    "OverflowError: can't convert negative int to unsigned": [c("in", "o", -1), c("in", "o", -1, 6)],
    "OverflowError: int too big to convert": [c("in", "o", 2**64)],
    OUT_OF_RANGE: [c("in", "o", 4294967296), c("in", "o", 2**64 - 1), c("in", "o", index(lambda: 4294967296))],
    "NarrowTypeError: narrow": [c("in", "o", index(lambda: raise_(NarrowTypeError("narrow"))))],
    "ValueError: bad": [c("in", "o", index(lambda: raise_(ValueError("bad"))))],
    # text that cannot be encoded: the interpreter's own error
    SURROGATE.format(2): [c("ab\ud800", "o", 1), c("in", "ab\ud800", 1), c("in", "o", 1, "ab\ud800")],
    SURROGATE.format(0): [c("\ud800", 1, 2.5)],
    # a message that cannot be rendered stops the call
    "PanicException: a formatting trait implementation returned an error: Error":
        [c("a", "b", 1, **{Unprintable("nope"): 1}), c("a", "b", index(lambda: raise_(TypeError(Unprintable()))))],
}


@pytest.mark.parametrize("message, call", [(message, call) for message, calls in REJECTED.items() for call in calls])
def test_rejected_calls_raise_and_touch_nothing(tmp_path, monkeypatch, capfd, message, call):
    # The inputs exist: a call that got past its arguments would write batches.
    monkeypatch.chdir(tmp_path)
    for name in ("a", "in"):
        (tmp_path / name).write_text("#h\nr\n")
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        call()
    assert f"{type(info.value).__name__}: {info.value}" == message
    assert type(info.value) in (TypeError, OverflowError, ValueError, UnicodeEncodeError, NarrowTypeError, PANIC)
    assert isinstance(info.value, UnicodeEncodeError) or len(info.value.args) == 1
    assert info.value.__cause__ is (ROOT if message.endswith("inner") else None)
    # Nothing made or printed; a panic alone reports on fd 2.
    out, err = capfd.readouterr()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "in"] and out == ""
    assert err == "" or type(info.value) is PANIC


def test_accepted_batch_sizes_and_str_subclasses(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "header-only.vcf").write_text("#header only\n")
    (tmp_path / "in.vcf").write_text("#h\nr\n")
    capfd.readouterr()
    for size in (0, True, False, 4294967295, index(lambda: 7)):
        split("header-only.vcf", "empty", size)
    split(Text("in.vcf"), Text("out"), 1, Text("gzip"))
    assert capfd.readouterr().out.splitlines() == [
        *(f"Saved 0 batches with {size} samples to empty." for size in (0, 1, 0, 4294967295, 7)),
        "Saving batch_01.vcf", "Saved 1 batches with 1 samples to out.",
    ]
    assert (tmp_path / "out" / "batch_01.vcf").read_text() == "#h\nr\n"


# The names of the three levels, in any case, select levels 1, 6 and 9, each harder on
# real data; anything else writes plain batches: a str subclass's own lower() is not
# asked, and names that case folding (not lower-casing) makes a level's are none.
LEVEL_NAMES = {"fast": ["FAST", "Fast"], "default": ["Default", "DEFAULT"], "best": ["bEsT", Text("Best")]}
NOT_LEVEL_NAMES = [(), None, "", " fast", "fast ", "fast\0", "gzip", "9", "fastest", Text("gzip"), "FA\u017fT",
                   "BE\ufb06", "\uff26\uff21\uff33\uff34"]


def test_compression_names(tmp_path):
    source = DATA / "haploid-x.vcf"

    def written(out, *level):  # () omits the level
        split(str(source), str(tmp_path / out), 10**6, *level)
        return sorted(files(tmp_path / out).items())

    streams = {}
    for level, others in LEVEL_NAMES.items():
        [(name, streams[level])] = written(level, level)
        assert name == "batch_01.vcf.gz" and gzip.decompress(streams[level]) == source.read_bytes()
        for n, other in enumerate(others):
            assert written(f"{level}{n}", other) == [(name, streams[level])], other
    assert len(streams["fast"]) > len(streams["default"]) > len(streams["best"])
    for n, level in enumerate(NOT_LEVEL_NAMES):
        assert written(f"plain{n}", *([] if level == () else [level])) == [("batch_01.vcf", source.read_bytes())]
