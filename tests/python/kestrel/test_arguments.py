"""Argument parsing and conversion of py_extract_variants_to_batches: every argument
error is an ordinary Python exception with an exact message, raised before anything
is read, written or printed."""
import ctypes
import gc
import pathlib
import sys

import pytest

import kestrel
from conftest import run_python

split = kestrel.py_extract_variants_to_batches
NAME = "py_extract_variants_to_batches()"
UNAVAILABLE = "compressed batch files are not available in this build"


class Text(str):
    """A str subclass; its own lower() must not take part in the compression mapping."""

    def lower(self):
        return "fast"


class Index:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text")


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class Anonymous(metaclass=NoQualname):
    pass


class Outer:
    class Inner:
        pass


class NarrowTypeError(TypeError):
    pass


def raise_(error):
    raise error


@pytest.fixture
def paths(tmp_path):
    """An input with one header line and one record, and an output directory not yet made."""
    source = tmp_path / "in.vcf"
    source.write_text("#header\nrecord\n")
    return str(source), str(tmp_path / "out")


def summary_batch_size(capfd, file_path, output_path, batch_size):
    """The batch size as the call saw it, read back from its summary line."""
    capfd.readouterr()
    assert split(file_path, output_path, batch_size) is None
    last = capfd.readouterr().out.splitlines()[-1]
    prefix, _, rest = last.partition(" samples to ")
    assert rest == output_path + "."
    return int(prefix.rsplit(" ", 1)[1])


def takes_compressed_branch(file_path, output_path, level):
    """True when the call writes batch_01.vcf.gz, False when it writes batch_01.vcf.
    Until compressed output exists the compressed branch stops right after creating
    the file, so the file's name is what tells the branches apart."""
    try:
        split(file_path, output_path, 5, level)
    except BaseException as e:  # noqa: B902 - the stop is a BaseException
        if str(e) != UNAVAILABLE:
            raise
    out = pathlib.Path(output_path)
    written = {p.name for p in out.iterdir()}
    assert len(written) == 1, written
    return written == {"batch_01.vcf.gz"}


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        # missing arguments, in declaration order
        ((), {}, f"{NAME} missing 3 required positional arguments: 'file_path', 'output_path', and 'batch_size'"),
        (("a",), {}, f"{NAME} missing 2 required positional arguments: 'output_path' and 'batch_size'"),
        ((), {"output_path": "o", "batch_size": 1}, f"{NAME} missing 1 required positional argument: 'file_path'"),
        (("a",), {"batch_size": 1}, f"{NAME} missing 1 required positional argument: 'output_path'"),
        ((), {"compression_level": "fast"},
         f"{NAME} missing 3 required positional arguments: 'file_path', 'output_path', and 'batch_size'"),
        # too many positional values: reported before keywords or values are looked at
        (("a", "b", 1, None, 5), {}, f"{NAME} takes from 3 to 4 positional arguments but 5 were given"),
        ((1, 2.5, b"x", 6, 7, 8), {"level": 1}, f"{NAME} takes from 3 to 4 positional arguments but 6 were given"),
        # multiple values
        (("a", "b", 1), {"file_path": "x"}, f"{NAME} got multiple values for argument 'file_path'"),
        (("a", "b", 1, None), {"compression_level": "fast"},
         f"{NAME} got multiple values for argument 'compression_level'"),
        # unexpected keywords: exact names only, checked before missing arguments
        (("a", "b", 1), {"level": 1}, f"{NAME} got an unexpected keyword argument 'level'"),
        ((), {"level": 1}, f"{NAME} got an unexpected keyword argument 'level'"),
        (("a", "b", 1), {"File_Path": "x"}, f"{NAME} got an unexpected keyword argument 'File_Path'"),
        (("a", "b"), {"BATCH_SIZE": 1}, f"{NAME} got an unexpected keyword argument 'BATCH_SIZE'"),
        (("a", "b", 1), {"file_path\0": "x"}, f"{NAME} got an unexpected keyword argument 'file_path\0'"),
        (("a", "b", 1), {"compression_level ": "x"},
         f"{NAME} got an unexpected keyword argument 'compression_level '"),
        (("a", "b", 1), {"\ufb01le_path": "x"}, f"{NAME} got an unexpected keyword argument '\ufb01le_path'"),
        # a name that is not UTF-8 matches nothing and is shown with replacement characters
        (("a", "b", 1), {"\ud800": "x"}, f"{NAME} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
)
def test_parser_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        split(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"level": 1, "file_path": "x"}, f"{NAME} got an unexpected keyword argument 'level'"),
        ({"file_path": "x", "level": 1}, f"{NAME} got multiple values for argument 'file_path'"),
    ],
)
def test_keywords_are_checked_in_the_order_given(kwargs, message):
    with pytest.raises(TypeError) as info:
        split("a", "b", 1, **kwargs)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "kwnames, message",
    [
        ((42,), "'int' object cannot be converted to 'PyString'"),
        ((b"file_path",), "'bytes' object cannot be converted to 'PyString'"),
        (("file_path", "file_path"), f"{NAME} got multiple values for argument 'file_path'"),
    ],
)
def test_keyword_names_from_c_callers(kwnames, message):
    # Python code cannot pass such names; C code calling through vectorcall can.
    prototype = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object
    )
    vectorcall = prototype(("PyObject_Vectorcall", ctypes.pythonapi))
    values = (ctypes.py_object * len(kwnames))(*(["x"] * len(kwnames)))
    with pytest.raises(TypeError) as info:
        vectorcall(split, values, 0, kwnames)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "o", 1), "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
        ((b"in", "o", 1), "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
        ((pathlib.PurePosixPath("in"), "o", 1),
         "argument 'file_path': 'PurePosixPath' object cannot be converted to 'PyString'"),
        (("in", pathlib.Path("o"), 1), "argument 'output_path': 'PosixPath' object cannot be converted to 'PyString'"),
        (("in", None, 1), "argument 'output_path': 'NoneType' object cannot be converted to 'PyString'"),
        (("in", Outer.Inner(), 1),
         "argument 'output_path': 'Outer.Inner' object cannot be converted to 'PyString'"),
        ((Anonymous(), "o", 1),
         "argument 'file_path': '<failed to extract type name>' object cannot be converted to 'PyString'"),
        (("in", "o", 2.5), "argument 'batch_size': 'float' object cannot be interpreted as an integer"),
        (("in", "o", "3"), "argument 'batch_size': 'str' object cannot be interpreted as an integer"),
        (("in", "o", None), "argument 'batch_size': 'NoneType' object cannot be interpreted as an integer"),
        (("in", "o", Index(lambda: 2.0)), "argument 'batch_size': __index__ returned non-int (type float)"),
        (("in", "o", Index(lambda: raise_(TypeError("\ud800")))), "argument 'batch_size': \ufffd\ufffd\ufffd"),
        (("in", "o", 1, 6), "argument 'compression_level': 'int' object cannot be converted to 'PyString'"),
        (("in", "o", 1, ...), "argument 'compression_level': 'ellipsis' object cannot be converted to 'PyString'"),
        (("in", "o", 1, b"fast"), "argument 'compression_level': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_wrong_types_name_the_parameter(args, message):
    with pytest.raises(TypeError) as info:
        split(*args)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_type_error_keeps_its_cause_but_not_itself():
    root = ValueError("root")

    def fail():
        raise TypeError("inner") from root

    with pytest.raises(TypeError) as info:
        split("in", "o", Index(fail))
    assert info.value.args == ("argument 'batch_size': inner",)
    assert info.value.__cause__ is root


@pytest.mark.parametrize(
    "batch_size, error, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (Index(lambda: 4294967296), OverflowError, "out of range integral type conversion attempted"),
        # only TypeError itself gains the parameter's name
        (Index(lambda: raise_(NarrowTypeError("narrow"))), NarrowTypeError, "narrow"),
        (Index(lambda: raise_(ValueError("bad"))), ValueError, "bad"),
    ],
)
def test_other_batch_size_errors_pass_unchanged(batch_size, error, message):
    with pytest.raises(BaseException) as info:
        split("in", "o", batch_size)
    assert type(info.value) is error
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "batch_size, expected",
    [(0, 0), (True, 1), (False, 0), (4294967295, 4294967295), (Index(lambda: 7), 7)],
)
def test_accepted_batch_sizes(tmp_path, capfd, batch_size, expected):
    source = tmp_path / "in.vcf"
    source.write_text("#header only\n")
    assert summary_batch_size(capfd, str(source), str(tmp_path), batch_size) == expected


@pytest.mark.parametrize("position", [0, 1, 3])
def test_lone_surrogate_raises_the_interpreters_encode_error(position):
    args = ["in", "o", 1, None]
    args[position] = "ab\ud800"
    with pytest.raises(UnicodeEncodeError) as info:
        split(*args)
    with pytest.raises(UnicodeEncodeError) as own:
        "ab\ud800".encode()
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(own.value)


@pytest.mark.parametrize(
    "args, kwargs, error, start",
    [
        ((1, "o", 2.5), {}, TypeError, "argument 'file_path':"),
        (("in", 1, -1), {}, TypeError, "argument 'output_path':"),
        (("in", "o", -1, 6), {}, OverflowError, "can't convert negative"),
        (("in", "o", 2.5, 6), {}, TypeError, "argument 'batch_size':"),
        (("\ud800", 1, 2.5), {}, UnicodeEncodeError, "'utf-8' codec"),
        ((1, 2, 2.5), {"level": 6}, TypeError, f"{NAME} got an unexpected keyword"),
        ((1,), {"batch_size": 2.5}, TypeError, f"{NAME} missing 1 required"),
    ],
)
def test_first_bad_argument_is_reported(args, kwargs, error, start):
    with pytest.raises(BaseException) as info:
        split(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value).startswith(start)


def test_str_subclasses_are_accepted(tmp_path, capfd):
    source = tmp_path / "in.vcf"
    source.write_text("#h\nr\n")
    out = tmp_path / "out"
    assert split(Text(source), Text(out), 1, Text("gzip")) is None
    assert (out / "batch_01.vcf").read_text() == "#h\nr\n"
    assert capfd.readouterr().out.endswith(f"samples to {out}.\n")


@pytest.mark.parametrize(
    "level, compressed",
    [
        ("fast", True), ("FAST", True), ("Fast", True),
        ("default", True), ("Default", True), ("DEFAULT", True),
        ("best", True), ("bEsT", True), (Text("Best"), True),
        (None, False), ("", False), (" fast", False), ("fast ", False), ("fast\0", False),
        ("gzip", False), ("9", False), ("fastest", False),
        (Text("gzip"), False),  # the subclass's lower() says "fast"; it is not asked
        # lower-casing, not case folding: these fold to "fast"/"best" but do not lower to them
        ("FA\u017fT", False), ("BE\ufb06", False), ("\uff26\uff21\uff33\uff34", False),
    ],
)
def test_compression_names(paths, level, compressed):
    assert takes_compressed_branch(*paths, level) is compressed


def test_omitted_compression_writes_plain_files(paths):
    file_path, output_path = paths
    split(file_path, output_path, 5)
    assert [p.name for p in pathlib.Path(output_path).iterdir()] == ["batch_01.vcf"]


BAD_CALLS = """
import os, sys, kestrel
split = kestrel.py_extract_variants_to_batches
with open("in.vcf", "w") as f:
    f.write("#h\\nr\\n")
for args in [("in.vcf", "out", 1, 6), ("in.vcf", "out", -1), ("in.vcf", "out", 1, "fa\\ud800st"),
             ("in.vcf", "out", 1, None, None), ("in.vcf", b"out", 1), ("in.vcf", "out", 1, ...)]:
    try:
        split(*args)
    except (TypeError, OverflowError, UnicodeEncodeError):
        pass
    else:
        sys.exit("no error")
assert not os.path.exists("out")
"""


def test_failed_conversion_touches_nothing(tmp_path):
    result = run_python(BAD_CALLS, cwd=tmp_path, env={"RUST_BACKTRACE": "1"})
    assert (result.stdout, result.stderr) == (b"", b"")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.vcf"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: split("a", "b", 1, **{UnprintableName("nope"): 1}),
        lambda: split("a", "b", Index(lambda: raise_(TypeError(Unprintable())))),
    ],
    ids=["keyword-name", "type-error-value"],
)
def test_unrenderable_message_stops_the_call(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("a formatting trait implementation returned an error: Error",)


def test_no_references_are_kept(paths, capfd):
    file_path, output_path = (p + "" for p in paths)  # fresh objects nobody else holds
    missing = file_path + ".missing"
    big, real, negative, level = 4294967296, 2.5, -(10**30), "bEsT"[:]
    keyword = "".join(["lev", "el"])
    objects = [file_path, output_path, missing, big, real, negative, level, keyword]

    def calls():
        results = []
        for bad in (big, real, negative):
            try:
                split(file_path, output_path, bad)
            except (TypeError, OverflowError):
                pass
        for bad_call in (
            lambda: split(file_path, output_path, 1, level, None),
            lambda: split(file_path, output_path, 1, level),
            lambda: split(file_path, output_path, 1, **{keyword: level}),
            lambda: split(missing, output_path, 1),
            lambda: split(file_path, 7, 1, None),
        ):
            try:
                bad_call()
            except BaseException:  # noqa: B902
                pass
        results.append(split(file_path, output_path, 1, None))
        results.append(split(file_path, output_path, batch_size=1))
        return results

    def measure(rounds):
        gc.collect()
        before = [sys.getrefcount(o) for o in objects], sys.getrefcount(None)
        kept = [calls() for _ in range(rounds)]
        gc.collect()
        during = [sys.getrefcount(o) for o in objects], sys.getrefcount(None)
        del kept
        gc.collect()
        after = [sys.getrefcount(o) for o in objects], sys.getrefcount(None)
        return during[0] == before[0] == after[0], during[1] - before[1], after[1] - before[1]

    # The first rounds make the exception type and cached texts, and let the
    # interpreter finish adapting its bytecode, which itself moves references to None.
    for _ in range(2):
        measure(100)
    assert measure(100) == (True, 200, 0)
    capfd.readouterr()
