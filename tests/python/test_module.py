"""The module's namespace, its function objects, and argument binding."""
import re
import types

import pytest

import vorlane
from vorlane import Node, SearchType


def test_namespace_holds_exactly_the_public_names():
    public = {name for name in dir(vorlane) if not name.startswith("__")}
    assert public == {"Node", "SearchType", "read_file", "read_string", "write_file", "write_string"}
    assert vorlane.__all__ == ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]
    assert vorlane.__doc__ == ""


@pytest.mark.parametrize(
    "name, signature",
    [
        ("read_string", "(xml_string, root_tag)"),
        ("read_file", "(file_path, root_tag)"),
        ("write_string", "(node, indent=None, default_xml_def=None)"),
        ("write_file", "(node, file_path, indent=None, default_xml_def=None)"),
    ],
)
def test_function_objects(name, signature):
    function = getattr(vorlane, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "vorlane"
    assert function.__self__ is vorlane
    assert function.__doc__ is None
    assert function.__text_signature__ == signature


def test_internal_failure_type_is_not_exported():
    assert not any("Panic" in name for name in dir(vorlane))


def node():
    return Node("n")


BINDING_CASES = [
    (lambda: vorlane.read_string("<r/>"), "read_string() missing 1 required positional argument: 'root_tag'"),
    (lambda: vorlane.read_string(), "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'"),
    (lambda: vorlane.write_file(), "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
    (lambda: vorlane.write_string(node(), 4, True, 1), "write_string() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: vorlane.read_file("a", "b", "c"), "read_file() takes 2 positional arguments but 3 were given"),
    (lambda: vorlane.write_string(node(), spacing=1), "write_string() got an unexpected keyword argument 'spacing'"),
    (lambda: vorlane.read_string("<r/>", "r", xml_string="x"), "read_string() got multiple values for argument 'xml_string'"),
    (lambda: Node("a", None, None, None, None), "Node.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: Node(), "Node.__new__() missing 1 required positional argument: 'name'"),
    (lambda: Node(text="x"), "Node.__new__() missing 1 required positional argument: 'name'"),
    (lambda: Node("a", nam="b"), "Node.__new__() got an unexpected keyword argument 'nam'"),
    (lambda: Node("a", name="b"), "Node.__new__() got multiple values for argument 'name'"),
    (lambda: node().search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (lambda: node().search_by_name("a", 1, 2), "Node.search_by_name() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: Node.from_dict(), "Node.from_dict() missing 1 required positional argument: 'dict_'"),
    (lambda: getattr(node(), "__to_string")(1, 2),
     "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_to_dict_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        node().to_dict(1)


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda: vorlane.read_string(1, "r"), "xml_string"),
        (lambda: vorlane.read_string(b"<r/>", "r"), "xml_string"),
        (lambda: vorlane.read_string("<r/>", None), "root_tag"),
        (lambda: vorlane.read_file(b"path", "r"), "file_path"),
        (lambda: vorlane.write_string({"name": "a"}), "node"),
        (lambda: vorlane.write_string("a"), "node"),
        (lambda: vorlane.write_file(node(), 3), "file_path"),
        (lambda: Node(1), "name"),
        (lambda: Node("a", text=2), "text"),
        (lambda: Node("a", attrs=[]), "attrs"),
        (lambda: Node("a", children=5), "children"),
    ],
)
def test_conversion_failures_carry_the_note(call, parameter):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_none_counts_as_omitted():
    n = Node("a", text="x")
    assert vorlane.write_string(n, None, None) == vorlane.write_string(n)
    assert vorlane.write_string(n, indent=None) == vorlane.write_string(n)


def test_keywords_bind_by_name():
    assert vorlane.read_string(root_tag="r", xml_string="<r/>").name == "r"
