"""Module frame, class rules, the argument parser's and converters' texts for every class, BaseType and
VeltracError."""

import ast
import importlib
import subprocess
import sys
from pathlib import Path

import pytest

import veltrac
import veltrac._native as native
from veltrac import BaseType, HcPrim, HcyEvent, HcyMessage, HcyProperty, HcyService, InfoTable, VeltracError


def test_module_attributes():
    assert native.__version__ == veltrac.__version__ == "0.6.0"
    assert native.__doc__ == "Python bindings for Halcyra Veltrac protocol codec"
    assert native.__all__ == ["BaseType", "HcPrim", "HcyMessage", "HcyEvent", "HcyService", "HcyProperty",
                              "InfoTable", "VeltracError"]


def test_reimport_returns_same_module():
    saved = sys.modules.pop("veltrac._native")
    try:
        assert importlib.import_module("veltrac._native") is saved
    finally:
        sys.modules["veltrac._native"] = saved


def test_subinterpreter_is_refused():
    code = ("import _testcapi, veltrac._native as n; "
            "print(_testcapi.run_in_subinterp('import veltrac._native'), n.BaseType('long'))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["-1", "LONG"] and "ImportError" in out.stderr


@pytest.mark.parametrize("cls", [getattr(native, name) for name in native.__all__], ids=lambda c: c.__name__)
def test_class_rules(cls):
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("veltrac._native", cls.__name__, None)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in cls.__dict__ and "__weakref__" not in dir(cls)


# The methods of the eight classes that carry no doc text at run time; every other method and property
# of the module carries the first line of its stub's docstring.
UNDOCUMENTED = {
    "HcPrim": "boolean integer long number string datetime blob infotable_empty to_bytes from_bytes to_json "
              "to_simple_json get_type get_value is_variant unwrap_variant get_inner_type get_full_type",
    "InfoTable": "from_bytes to_bytes get_row_count get_field_count get_datashape_name to_json to_simple_json "
                 "add_field_definition add_row",
    "HcyMessage": "from_bytes to_bytes get_message_type get_request_id get_session_id get_endpoint is_request "
                  "is_response is_auth is_bind short_description build_auth",
    "HcyProperty": "from_json from_bytes to_bytes get_name get_base_type get_push_threshold should_read_edge_value "
                   "to_json",
    "HcyService": "from_json from_bytes to_bytes get_name get_description to_json",
    "HcyEvent": "from_json from_bytes to_bytes get_name get_description to_json",
}
# Slots documented by the interpreter itself.
SLOTS = {"__new__", "__eq__", "__hash__"}


def stub_summaries():
    """{class name: {member: first line of its docstring}} from the stubs; "" for the class itself."""
    tree = ast.parse(Path(veltrac.__file__).with_name("_native.pyi").read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            docs = {"": ast.get_docstring(node)}
            docs.update((f.name, ast.get_docstring(f)) for f in node.body if isinstance(f, ast.FunctionDef))
            out[node.name] = {name: doc.split("\n")[0] if doc else None for name, doc in docs.items()}
    return out


@pytest.mark.parametrize("name, members", stub_summaries().items(), ids=lambda v: v if isinstance(v, str) else "")
def test_doc_texts(name, members):
    cls = getattr(native, name)
    undocumented = UNDOCUMENTED.get(name, "").split()
    for member, summary in members.items():
        assert summary, f"{name}.{member} has no docstring in the stubs"
        if member in SLOTS or member.startswith("_") and not member.startswith("__"):
            continue
        if member == "":
            if name not in native.__all__:  # the eight classes have none (test_class_rules)
                assert cls.__doc__.startswith(summary), name
        elif member in undocumented:
            assert getattr(cls, member).__doc__ is None, f"{name}.{member}"
        else:
            assert getattr(cls, member).__doc__ == summary, f"{name}.{member}"
    assert set(undocumented) <= set(members)


# Every one-argument method: its full name and parameter, for the parser's texts.
ONE_ARGUMENT = [(getattr(HcPrim, f), f"HcPrim.{f}", "value")
                for f in ["boolean", "integer", "long", "number", "string", "datetime", "blob"]]
ONE_ARGUMENT += [(c.from_bytes, f"{c.__name__}.from_bytes", "data")
                 for c in (HcPrim, InfoTable, HcyMessage, HcyProperty, HcyService, HcyEvent)]
ONE_ARGUMENT += [(c.from_json, f"{c.__name__}.from_json", "json_str") for c in (HcyProperty, HcyService, HcyEvent)]
ONE_ARGUMENT += [(InfoTable().add_row, "InfoTable.add_row", "row_dict"), (BaseType, "BaseType.__new__", "type_name"),
                 (VeltracError, "VeltracError.__new__", "message")]


@pytest.mark.parametrize("call,name,param", ONE_ARGUMENT, ids=lambda v: v if isinstance(v, str) else "")
def test_one_argument_parsing(call, name, param):
    for args, kwargs, text in [
        ((), {}, f"{name}() missing 1 required positional argument: '{param}'"),
        ((1, 2), {}, f"{name}() takes 1 positional arguments but 2 were given"),
        ((), {"x": 1}, f"{name}() got an unexpected keyword argument 'x'"),
        ((1,), {param: 1}, f"{name}() got multiple values for argument '{param}'"),
        ((), {"y": 1, param: 1}, f"{name}() got an unexpected keyword argument 'y'"),  # before conversion
    ]:
        with pytest.raises(TypeError) as e:
            call(*args, **kwargs)
        assert str(e.value) == text


class WrongCapsule:
    def __arrow_c_stream__(self, requested_schema=None):
        return InfoTable().__arrow_c_schema__()


TABLE = InfoTable()
# Texts of the binding's parser and converters not covered by the value conversions of test_primitive (the
# codec's own texts are pinned in its C++ suites).
ARGUMENT_ERRORS = [
    (lambda: TABLE.add_field_definition(), TypeError, "InfoTable.add_field_definition() missing 3 required positional "
     "arguments: 'name', 'base_type', and 'description'"),
    (lambda: TABLE.add_field_definition("a"), TypeError,
     "InfoTable.add_field_definition() missing 2 required positional arguments: 'base_type' and 'description'"),
    (lambda: TABLE.add_field_definition("a\ud800", "STRING", ""), UnicodeEncodeError, None),
    (lambda: TABLE.add_field_definition("b", "STRING", "a\ud800"), UnicodeEncodeError, None),
    (lambda: TABLE.add_field_definition("b", "a\ud800", ""), UnicodeEncodeError, None),
    (lambda: InfoTable("a", "b"), TypeError,
     "InfoTable.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: HcyMessage.build_request(1, 1, 0, "e", 1, "c", (), None, 0), TypeError,
     "HcyMessage.build_request() takes from 6 to 8 positional arguments but 9 were given"),
    (lambda: HcPrim.integer(1).to_bytes(1), TypeError, "HcPrim.to_bytes() takes no arguments (1 given)"),
    (lambda: TABLE.to_bytes(x=1), TypeError, "InfoTable.to_bytes() takes no keyword arguments"),
    (lambda: HcyProperty.from_bytes(bytearray(b"{}")), TypeError,
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: HcPrim.blob("abc"), TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    (lambda: HcPrim.blob(5), TypeError, "argument 'value': 'int' object cannot be converted to 'Sequence'"),
    (lambda: HcPrim.blob([256]), OverflowError, None),
    (lambda: HcPrim.variant(5), TypeError, "argument 'value': 'int' object cannot be converted to 'HcPrim'"),
    (lambda: HcPrim.infotable(None), TypeError,
     "argument 'table': 'NoneType' object cannot be converted to 'InfoTable'"),
    (lambda: InfoTable.from_bytes(b"\x01\x01s\x00\x00\x00\x00\x00\x00").append_row([1.0]), TypeError,
     "argument 'values': 'float' object cannot be converted to 'HcPrim'"),
    (lambda: HcyMessage.build_bind(1, "ab"), TypeError,
     "argument 'names': 'str' object cannot be converted to 'Sequence'"),
    (lambda: HcyMessage.build_request(1, 1, 0, "e", 1, "c", [("n",)]), TypeError,
     "argument 'headers': each entry must be a (name, value) pair of str, not 'tuple'"),
    (lambda: HcyMessage.build_request(1, 1, 0, "e", 1, "c", [("n", 2)]), TypeError,
     "argument 'headers': 'int' object cannot be converted to 'PyString'"),
    (lambda: HcyMessage.build_request(1, 1, 256, "e", 1, "c"), OverflowError, None),
    (lambda: HcyMessage.build_auth(2**32, "k"), OverflowError, None),
    (lambda: InfoTable.from_arrow([1]), TypeError,
     "argument 'data': 'list' object cannot be converted to 'ArrowArrayStream'"),
    (lambda: InfoTable.from_arrow(TABLE, name=5), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: InfoTable.from_arrow(WrongCapsule()), TypeError,
     "argument 'data': __arrow_c_stream__ did not return a capsule named 'arrow_array_stream'"),
    *[(cls, TypeError, f"No constructor defined for {cls.__name__}")
      for cls in (HcPrim, HcyMessage, HcyEvent, HcyService, HcyProperty)],
]


@pytest.mark.parametrize("call,exc,text", ARGUMENT_ERRORS)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc and (text is None or str(e.value) == text)
    assert TABLE.to_bytes() == InfoTable().to_bytes()  # failed calls leave the table unchanged


@pytest.mark.parametrize("text,expected", [("long", "LONG"), ("Long", "LONG"), ("ſtring", "STRING"),
                                           ("ﬆring", "STRING"), ("varıant", "VARIANT"), ("infotable", "INFOTABLE")])
def test_base_type_names(text, expected):
    b = BaseType(text)
    assert (str(b), repr(b)) == (expected, "BaseType." + expected)
    t = InfoTable()
    t.add_field_definition("x", text, "")  # the same names, through the same rule
    assert f'"baseType":"{expected}"' in t.to_json()


@pytest.mark.parametrize("text", ["xml", "", "TIMESPAN", "NOTHING", "THINGNAME", "lонг", "LONG ", "strİng"])
def test_base_type_invalid(text):
    t = InfoTable()
    for call in (lambda: BaseType(text), lambda: t.add_field_definition("a", text, "")):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "Invalid base type: " + text
    assert t.get_field_count() == 0


def test_base_type_identity_and_attributes():
    a = BaseType("long")
    assert a != BaseType("LONG") and a == a and BaseType.LOCATION == "LOCATION" and type(a.VARIANT) is str


@pytest.mark.parametrize("message", ["", "quote ' and \\ backslash\nbreak"])
def test_veltrac_error(message):
    e = VeltracError(message=message)
    assert (str(e), repr(e)) == (message, "VeltracError('" + message + "')")
    assert not issubclass(VeltracError, BaseException)
