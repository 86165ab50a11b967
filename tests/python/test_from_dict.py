"""Node.from_dict: building node trees from their dictionary form, and the exact
errors for every kind of invalid input."""
import re
import sys

import pytest

import vorlane
from vorlane import Node

HEADER = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"


def variant_line(variant, error):
    return (
        f"\n- variant {variant} ({variant}): TypeError: failed to extract field HashmapTypes::{variant}.0, "
        f"caused by {error}"
    )


def enum_error(string, vec, nullable_string, map_):
    """The enum error message; each argument is one variant's error as "Type: message"."""
    return (
        HEADER
        + variant_line("String", string)
        + variant_line("Vec", vec)
        + variant_line("NullableString", nullable_string)
        + variant_line("Map", map_)
    )


def mismatch(type_name, target):
    if type_name == "None":
        return f"TypeError: 'None' is not an instance of '{target}'"
    return f"TypeError: '{type_name}' object is not an instance of '{target}'"


def scalar_error(type_name):
    """The enum error of a value that is neither str, sequence, None nor dict."""
    return enum_error(
        mismatch(type_name, "str"), mismatch(type_name, "Sequence"), mismatch(type_name, "str"),
        mismatch(type_name, "dict"),
    )


def list_error(inner):
    """The enum error of a list whose extraction failed with `inner` ("Type: message")."""
    return enum_error(mismatch("list", "str"), inner, mismatch("list", "str"), mismatch("list", "dict"))


def dict_value_error(map_error):
    """The enum error of a dict that is not a dict of str to str."""
    return enum_error(mismatch("dict", "str"), mismatch("dict", "Sequence"), mismatch("dict", "str"), map_error)


SURROGATE_ERROR = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


def node_dict(name="n", attrs=None, children=None, text=None):
    return {
        "name": name,
        "attrs": {} if attrs is None else attrs,
        "children": [] if children is None else children,
        "text": text,
    }


def tree_value(node):
    """(name, attrs, text, children values) without Python recursion."""
    result = [node.name, node.attrs, node.text, []]
    stack = [(node, result)]
    while stack:
        current, target = stack.pop()
        for child in current.children:
            entry = [child.name, child.attrs, child.text, []]
            target[3].append(entry)
            stack.append((child, entry))
    return result


def all_nodes(node):
    stack = [node]
    while stack:
        current = stack.pop()
        yield current
        stack.extend(current.children)


def notes_of(error):
    return getattr(error, "__notes__", [])


class TestRoundTrip:
    def test_parsed_tree(self):
        root = vorlane.read_string(
            '<lib id="1" kind="x &amp; y"><book lang="en">A &lt; B</book><empty></empty><shelf>'
            '<book/><book n="2">t</book></shelf><c>  </c></lib>',
            "lib",
        )
        rebuilt = Node.from_dict(root.to_dict())
        assert tree_value(rebuilt) == tree_value(root)
        originals = {id(node) for node in all_nodes(root)}
        assert all(id(node) not in originals for node in all_nodes(rebuilt))
        assert type(rebuilt) is Node

    def test_constructed_tree_keeps_none_and_empty_text(self):
        leaf = Node("leaf", text="")
        root = Node("r", attrs={"a": "1", "b": ""}, children=[Node("x", children=[leaf]), Node("y")], text=None)
        rebuilt = Node.from_dict(root.to_dict())
        assert tree_value(rebuilt) == tree_value(root)
        assert rebuilt.text is None
        assert rebuilt.children[0].children[0].text == ""
        assert rebuilt.children[1].text is None

    def test_shared_child_becomes_two_nodes(self):
        shared = Node("s", text="t")
        rebuilt = Node.from_dict(Node("r", children=[shared, shared]).to_dict())
        first, second = rebuilt.children
        assert first is not second and first is not shared
        assert tree_value(first) == tree_value(second) == tree_value(shared)

    def test_result_shares_nothing_with_the_argument(self):
        value = node_dict("a", {"k": "v"}, [node_dict("b")], "t")
        node = Node.from_dict(value)
        value["name"] = "changed"
        value["attrs"]["k"] = "changed"
        value["children"].clear()
        assert tree_value(node) == ["a", {"k": "v"}, "t", [["b", {}, None, []]]]

    def test_dict_subclass_and_keyword(self):
        class Sub(dict):
            pass

        node = Node.from_dict(dict_=Sub(name="a", attrs=Sub(k="v"), children=[Sub(name="b", attrs={}, children=())]))
        assert tree_value(node) == ["a", {"k": "v"}, None, [["b", {}, None, []]]]


class TestAcceptedValues:
    @pytest.mark.parametrize(
        "extra, text",
        [
            ({}, None),
            ({"text": None}, None),
            ({"text": ""}, ""),
            ({"text": "x y"}, "x y"),
            ({"text": []}, None),
            ({"text": ()}, None),
            ({"text": {}}, None),
            ({"text": {"a": "b"}}, None),
            ({"text": [{"name": "ignored"}]}, None),
        ],
    )
    def test_text(self, extra, text):
        node = Node.from_dict({"name": "a", "attrs": {}, "children": [], **extra})
        assert node.text == text

    @pytest.mark.parametrize("name", ["", "with space", "<&>", "ünï€😀"])
    def test_any_string_is_a_name(self, name):
        assert Node.from_dict(node_dict(name)).name == name

    def test_children_tuple_keeps_order(self):
        node = Node.from_dict(node_dict(children=tuple(node_dict(str(i)) for i in range(5))))
        assert [child.name for child in node.children] == ["0", "1", "2", "3", "4"]

    def test_other_keys_ignored(self):
        node = Node.from_dict({**node_dict("a"), "extra": "x", "more": [node_dict("zz")], "none": None, "map": {}})
        assert tree_value(node) == ["a", {}, None, []]

    def test_custom_sequence_whose_len_raises(self):
        class Children:
            def __init__(self, items):
                self.items = items

            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, index):
                return self.items[index]

        node = Node.from_dict(node_dict(children=Children([node_dict("x"), node_dict("y")])))
        assert [child.name for child in node.children] == ["x", "y"]

    def test_custom_sequence_with_wrong_len(self):
        class Children:
            def __len__(self):
                return 10**9

            def __getitem__(self, index):
                if index < 2:
                    return node_dict(str(index))
                raise IndexError(index)

        node = Node.from_dict(node_dict(children=Children()))
        assert [child.name for child in node.children] == ["0", "1"]


class TestBuildingErrors:
    @pytest.mark.parametrize(
        "value, message",
        [
            ({}, "Invalid name"),
            ({"attrs": {}, "children": []}, "Invalid name"),
            (node_dict(None), "Invalid name"),
            (node_dict({}), "Invalid name"),
            (node_dict({"a": "b"}), "Invalid name"),
            (node_dict([]), "Invalid name"),
            ({"name": "a", "children": [{}]}, "Invalid attrs"),
            ({"name": "a", "attrs": [], "children": []}, "Invalid attrs"),
            ({"name": "a", "attrs": None, "children": []}, "Invalid attrs"),
            ({"name": "a", "attrs": "x", "children": []}, "Invalid attrs"),
            ({"name": "a", "attrs": {}}, "Invalid children"),
            ({"name": "a", "attrs": {}, "children": None}, "Invalid children"),
            ({"name": "a", "attrs": {}, "children": "x"}, "Invalid children"),
            ({"name": "a", "attrs": {}, "children": {"k": "v"}}, "Invalid children"),
            ({"name": "a", "attrs": {}, "children": {}}, "Invalid children"),
            (node_dict(children=[node_dict(), {"attrs": {}, "children": []}]), "Invalid name"),
            (node_dict(children=[node_dict(children=[{"name": "x", "children": []}])]), "Invalid attrs"),
            (node_dict(children=[node_dict(), {"name": "c", "attrs": {}}]), "Invalid children"),
        ],
    )
    def test_invalid(self, value, message):
        with pytest.raises(ValueError) as raised:
            Node.from_dict(value)
        assert type(raised.value) is ValueError
        assert str(raised.value) == message
        assert notes_of(raised.value) == []

    def test_type_error_anywhere_comes_before_missing_keys(self):
        value = {"children": [node_dict(text=5)]}
        with pytest.raises(TypeError):
            Node.from_dict(value)

    def test_failed_build_releases_everything(self):
        children = [node_dict(str(i), {"k": "v"}) for i in range(20)] + [{"name": "bad", "attrs": {}}]
        value = node_dict("r", children=children)
        counts = [sys.getrefcount(child) for child in children]
        name_counts = [sys.getrefcount(child["name"]) for child in children]
        for _ in range(5):
            with pytest.raises(ValueError, match="Invalid children"):
                Node.from_dict(value)
        assert [sys.getrefcount(child) for child in children] == counts
        assert [sys.getrefcount(child["name"]) for child in children] == name_counts


class TestExtractionErrors:
    def test_full_message_of_an_integer_name(self):
        with pytest.raises(TypeError) as raised:
            Node.from_dict(node_dict(5))
        assert str(raised.value) == (
            "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')\n"
            "- variant String (String): TypeError: failed to extract field HashmapTypes::String.0, "
            "caused by TypeError: 'int' object is not an instance of 'str'\n"
            "- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, "
            "caused by TypeError: 'int' object is not an instance of 'Sequence'\n"
            "- variant NullableString (NullableString): TypeError: failed to extract field "
            "HashmapTypes::NullableString.0, caused by TypeError: 'int' object is not an instance of 'str'\n"
            "- variant Map (Map): TypeError: failed to extract field HashmapTypes::Map.0, "
            "caused by TypeError: 'int' object is not an instance of 'dict'"
        )
        assert notes_of(raised.value) == ["while processing 'dict_'"]

    @pytest.mark.parametrize(
        "value, message",
        [
            (node_dict(text=5), scalar_error("int")),
            (node_dict(text=1.5), scalar_error("float")),
            ({**node_dict(), "extra": 5}, scalar_error("int")),
            (node_dict(attrs={"k": None}), dict_value_error(mismatch("None", "str"))),
            (node_dict(attrs={"k": 1}), dict_value_error(mismatch("int", "str"))),
            (node_dict(attrs={1: "v"}), dict_value_error(mismatch("int", "str"))),
            (node_dict(attrs={"k": "\ud800"}), dict_value_error(SURROGATE_ERROR)),
            (
                node_dict(name="\ud800"),
                enum_error(SURROGATE_ERROR, "TypeError: Can't extract `str` to `Vec`", SURROGATE_ERROR,
                           mismatch("str", "dict")),
            ),
            (node_dict(children=[1]), list_error(mismatch("int", "dict"))),
            (node_dict(children=[None]), list_error(mismatch("None", "dict"))),
            (node_dict(children=[[]]), list_error(mismatch("list", "dict"))),
            (node_dict(children=[{1: "a"}]), list_error(mismatch("int", "str"))),
            (node_dict(children=[node_dict(), node_dict(text=5)]), list_error("TypeError: " + scalar_error("int"))),
            (
                node_dict(children=[node_dict(children=[node_dict(attrs={"k": None})])]),
                list_error("TypeError: " + list_error("TypeError: " + dict_value_error(mismatch("None", "str")))),
            ),
        ],
    )
    def test_enum_error(self, value, message):
        with pytest.raises(TypeError) as raised:
            Node.from_dict(value)
        assert type(raised.value) is TypeError
        assert str(raised.value) == message
        assert raised.value.__cause__ is None
        assert notes_of(raised.value) == ["while processing 'dict_'"]

    @pytest.mark.parametrize(
        "value, message",
        [
            ([], "'list' object is not an instance of 'dict'"),
            (None, "'None' is not an instance of 'dict'"),
            ("name", "'str' object is not an instance of 'dict'"),
            ({1: "a"}, "'int' object is not an instance of 'str'"),
            ({None: "a", "name": "b"}, "'None' is not an instance of 'str'"),
        ],
    )
    def test_plain_type_error(self, value, message):
        with pytest.raises(TypeError) as raised:
            Node.from_dict(value)
        assert str(raised.value) == message
        assert notes_of(raised.value) == ["while processing 'dict_'"]

    def test_lone_surrogate_key_at_top(self):
        with pytest.raises(UnicodeEncodeError) as raised:
            Node.from_dict({"\ud800": "x"})
        assert notes_of(raised.value) == ["while processing 'dict_'"]

    def test_iteration_error_with_its_cause_chain(self):
        class Failing:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                return node_dict()

            def __iter__(self):
                try:
                    raise KeyError("inner")
                except KeyError as error:
                    raise ValueError("boom") from error

        with pytest.raises(TypeError) as raised:
            Node.from_dict(node_dict(children=Failing()))
        assert str(raised.value) == enum_error(
            mismatch("Failing", "str"),
            "ValueError: boom, caused by KeyError: 'inner'",
            mismatch("Failing", "str"),
            mismatch("Failing", "dict"),
        )

    def test_error_from_next(self):
        def items():
            yield node_dict("a")
            raise RuntimeError("stopped")

        class Lazy:
            def __len__(self):
                return 2

            def __getitem__(self, index):
                raise AssertionError("not used")

            def __iter__(self):
                return items()

        with pytest.raises(TypeError) as raised:
            Node.from_dict(node_dict(children=Lazy()))
        assert variant_line("Vec", "RuntimeError: stopped") in str(raised.value)

    def test_deep_error_message_is_linear(self):
        depth = 20_000
        value = node_dict("leaf", text=5)
        for _ in range(depth):
            value = node_dict("n", children=[value])
        with pytest.raises(TypeError) as raised:
            Node.from_dict(value)
        message = str(raised.value)
        assert message.count(HEADER) == depth + 1
        assert message.startswith(HEADER + variant_line("String", mismatch("list", "str")))
        assert message.endswith(variant_line("Map", mismatch("list", "dict")))
        inner = scalar_error("int")
        assert ("TypeError: " + inner) in message


class TestDictChangedDuringConversion:
    def test_size_change(self):
        value = {"name": "a", "attrs": {}}

        class Growing:
            def __len__(self):
                return 0

            def __getitem__(self, index):
                raise IndexError(index)

            def __iter__(self):
                value["added"] = "x"
                return iter(())

        value["children"] = Growing()
        with pytest.raises(BaseException) as raised:
            Node.from_dict(value)
        assert type(raised.value).__qualname__ == "PanicException"
        assert not isinstance(raised.value, Exception)
        assert str(raised.value) == "dictionary changed size during iteration"

    def test_keys_change(self):
        value = {"name": "a", "children": None, "attrs": {}}

        class Swapping:
            def __len__(self):
                return 0

            def __getitem__(self, index):
                raise IndexError(index)

            def __iter__(self):
                del value["name"]
                value["zzz"] = "x"
                return iter(())

        value["children"] = Swapping()
        with pytest.raises(BaseException) as raised:
            Node.from_dict(value)
        assert type(raised.value).__qualname__ == "PanicException"
        assert str(raised.value) == "dictionary keys changed during iteration"

    def test_change_in_a_child_dict(self):
        child = {"name": "c", "attrs": {}}

        class Growing:
            def __len__(self):
                return 0

            def __getitem__(self, index):
                raise IndexError(index)

            def __iter__(self):
                child.pop("attrs")
                return iter(())

        child["children"] = Growing()
        with pytest.raises(BaseException) as raised:
            Node.from_dict(node_dict(children=[child]))
        assert str(raised.value) == "dictionary changed size during iteration"


class TestArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: Node.from_dict(), "Node.from_dict() missing 1 required positional argument: 'dict_'"),
            (lambda: Node.from_dict({}, {}), "Node.from_dict() takes 1 positional arguments but 2 were given"),
            (lambda: Node.from_dict(d={}), "Node.from_dict() got an unexpected keyword argument 'd'"),
        ],
    )
    def test_binding(self, call, message):
        with pytest.raises(TypeError, match=re.escape(message)):
            call()

    def test_called_on_an_instance(self):
        node = Node("x").from_dict(node_dict("y"))
        assert type(node) is Node and node.name == "y"


class TestDeepTree:
    def test_million_levels(self):
        depth = 1_000_000
        node = Node("leaf", text="bottom")
        for level in range(depth - 1):
            node = Node("n", attrs={"i": str(level)} if level % 1000 == 0 else None, children=[node])
        value = node.to_dict()
        del node
        rebuilt = Node.from_dict(value)
        del value
        count = 0
        current = rebuilt
        while True:
            count += 1
            children = current.children
            if not children:
                break
            level = depth - 1 - count
            assert current.name == "n"
            assert current.attrs == ({"i": str(level)} if level % 1000 == 0 else {})
            current = children[0]
        assert count == depth
        assert current.name == "leaf" and current.text == "bottom"

    def test_million_levels_invalid_at_the_bottom(self):
        depth = 1_000_000
        value = {"name": "leaf", "attrs": {}, "children": []}  # valid leaf
        value = {"name": "bad", "children": [value]}  # no attrs
        for _ in range(depth - 2):
            value = {"name": "n", "attrs": {}, "children": [value]}
        with pytest.raises(ValueError, match="^Invalid attrs$"):
            Node.from_dict(value)
