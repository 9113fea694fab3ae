"""Module frame: attributes, class rules, argument texts, BaseType and VeltracError."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import veltrac
import veltrac._native as native
from veltrac import BaseType, VeltracError

ALL = ["BaseType", "HcPrim", "HcyMessage", "HcyEvent", "HcyService", "HcyProperty", "InfoTable", "VeltracError"]
CLASSES = [getattr(native, name) for name in native.__all__]


def test_version_and_all_order():
    assert native.__version__ == "0.6.0"
    assert veltrac.__version__ == "0.6.0"
    assert native.__doc__ == "Python bindings for Halcyra Veltrac protocol codec"
    # The classes present appear in the order of the class table.
    assert native.__all__ == [n for n in ALL if n in native.__all__]
    assert "__version__" not in native.__all__


def test_reimport_returns_same_module():
    saved = sys.modules.pop("veltrac._native")
    try:
        again = importlib.import_module("veltrac._native")
        assert again is saved
        assert again.BaseType is BaseType
    finally:
        sys.modules["veltrac._native"] = saved


def test_subinterpreter_is_refused():
    code = textwrap.dedent(
        """
        import os, sys
        import veltrac._native as native
        import _testcapi
        r, w = os.pipe()
        _testcapi.run_in_subinterp(f'''
        import os
        try:
            import veltrac._native
            msg = b"imported"
        except ImportError:
            msg = b"ImportError"
        os.write({w}, msg)
        ''')
        os.close(w)
        print(os.read(r, 100).decode())
        print(native.BaseType("long"))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["ImportError", "LONG"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_rules(cls):
    assert cls.__module__ == "veltrac._native"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize(
    ("cls", "signature"),
    [(BaseType, "(type_name)"), (VeltracError, "(message)")],
)
def test_constructor_signatures(cls, signature):
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize("name", ["HcPrim", "HcyMessage", "HcyEvent", "HcyService", "HcyProperty"])
def test_no_constructor(name):
    cls = getattr(native, name, None)
    if cls is None:
        pytest.skip(f"{name} not built")
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("long", "LONG"), ("Long", "LONG"), ("LONG", "LONG"), ("string", "STRING"),
        ("ſtring", "STRING"), ("ﬆring", "STRING"), ("variant", "VARIANT"), ("infotable", "INFOTABLE"),
    ],
)
def test_base_type_names(text, expected):
    b = BaseType(text)
    assert str(b) == expected
    assert repr(b) == "BaseType." + expected


@pytest.mark.parametrize("text", ["xml", "", "TIMESPAN", "NOTHING", "lонг", "LONG ", "strİng"])
def test_base_type_invalid(text):
    with pytest.raises(ValueError) as info:
        BaseType(text)
    assert str(info.value) == "Invalid base type: " + text


def test_base_type_identity_and_attributes():
    a, b = BaseType("long"), BaseType("LONG")
    assert a != b and a == a
    for name in ["BOOLEAN", "INTEGER", "LONG", "NUMBER", "STRING", "DATETIME", "BLOB", "LOCATION", "INFOTABLE", "VARIANT"]:
        assert getattr(BaseType, name) == name
        assert type(getattr(a, name)) is str
    with pytest.raises(AttributeError):
        a.x = 1


@pytest.mark.parametrize(
    ("call", "exc", "text"),
    [
        (lambda: BaseType(1), TypeError, "argument 'type_name': 'int' object cannot be converted to 'PyString'"),
        (lambda: BaseType(b"long"), TypeError, "argument 'type_name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: BaseType(), TypeError, "BaseType.__new__() missing 1 required positional argument: 'type_name'"),
        (lambda: BaseType("a", "b"), TypeError, "BaseType.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: BaseType(x=1), TypeError, "BaseType.__new__() got an unexpected keyword argument 'x'"),
        (lambda: BaseType("a", type_name="b"), TypeError, "BaseType.__new__() got multiple values for argument 'type_name'"),
        (lambda: VeltracError(), TypeError, "VeltracError.__new__() missing 1 required positional argument: 'message'"),
        (lambda: VeltracError(3), TypeError, "argument 'message': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


def test_keyword_errors_come_before_missing():
    # An unexpected keyword is reported before the missing required argument.
    with pytest.raises(TypeError, match="unexpected keyword argument 'y'"):
        BaseType(y=2)
    assert str(BaseType(type_name="number")) == "NUMBER"


@pytest.mark.parametrize("message", ["", "plain", "it's", "line\nbreak", "quote ' and \\ backslash"])
def test_veltrac_error_text(message):
    e = VeltracError(message)
    assert str(e) == message
    assert repr(e) == "VeltracError('" + message + "')"


def test_veltrac_error_is_not_an_exception():
    assert not issubclass(VeltracError, BaseException)
    with pytest.raises(TypeError):
        raise VeltracError("x")
