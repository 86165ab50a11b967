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

    @pytest.mark.parametrize(
        "value",
        [
            pytest.param("plain ascii", id="ascii"),
            pytest.param("café ÿ", id="latin-1"),
            pytest.param("ünï€ ŋ " * 40, id="basic-plane"),
            pytest.param("a😀b" * 9, id="astral"),
            pytest.param("x" * 70000, id="long"),
        ],
    )
    def test_every_str_width_in_every_place(self, value):
        class Sub(str):
            pass

        for text in (value, Sub(value)):
            tree = {"name": text, "attrs": {text: text, "k": text[::-1]}, "children": [{"name": text, "attrs": {},
                    "children": [], "text": text}], "text": text}
            node = Node.from_dict(tree)
            assert tree_value(node) == [value, {value: value, "k": value[::-1]}, value, [[value, {}, value, []]]]
            assert vorlane.write_string(node) == vorlane.write_string(Node.from_dict(node.to_dict()))

    def test_argument_strs_gain_no_utf8_form(self):
        # The interpreter keeps a str's UTF-8 form alongside it once asked for it,
        # which sys.getsizeof counts: converting must not leave that behind.
        strings = ["nämë", "tëxt " * 50, "ключ", "значение", "😀"]
        sizes = [sys.getsizeof(string) for string in strings]
        name, text, key, value, child = strings
        Node.from_dict({"name": name, "attrs": {key: value}, "children": [{"name": child, "attrs": {},
                        "children": []}], "text": text})
        assert [sys.getsizeof(string) for string in strings] == sizes

    def test_kept_nodes_outlive_their_tree(self):
        tree = {"name": "r", "attrs": {"a": "ä" * 100}, "text": "top", "children": [
            {"name": "c", "attrs": {"k": "v" * 300}, "text": "ţext" * 50, "children": [
                {"name": "g", "attrs": {}, "children": [], "text": "leaf"}]}]}
        root = Node.from_dict(tree)
        child = root.children[0]
        grandchild = child.children[0]
        del root, tree
        assert tree_value(child) == ["c", {"k": "v" * 300}, "ţext" * 50, [["g", {}, "leaf", []]]]
        del child
        assert (grandchild.name, grandchild.text, grandchild.attrs) == ("g", "leaf", {})

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


class IdentityKey(str):
    """A str whose instances are equal only to themselves, so that one dict can
    hold several keys with the same value."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


class TestBuildingOrder:
    """One walk reads every dict and builds the nodes as it goes; the error reported
    is still the first in building order, and any type error comes first."""

    @pytest.mark.parametrize(
        "value, message",
        [
            # The children are read before the parent's own keys, yet the parent's
            # own key is checked first.
            ({"children": [{"attrs": {}, "children": []}], "name": None, "attrs": {}}, "Invalid name"),
            ({"children": [{"name": "c", "children": []}], "attrs": [], "name": "p"}, "Invalid attrs"),
            # The first child in order wins over a later one.
            (node_dict(children=[{"name": "c", "children": []}, {"attrs": {}, "children": []}]), "Invalid attrs"),
            (node_dict(children=[node_dict(children=[{"attrs": {}}]), {"name": "c"}]), "Invalid name"),
            # A node's own key wins over anything nested in its values.
            (node_dict([{"attrs": {}}]), "Invalid name"),
            ({"name": "a", "attrs": {}, "children": {"k": "v"}, "text": [{}]}, "Invalid children"),
        ],
    )
    def test_first_error_in_building_order(self, value, message):
        with pytest.raises(ValueError) as raised:
            Node.from_dict(value)
        assert str(raised.value) == message
        assert notes_of(raised.value) == []

    @pytest.mark.parametrize(
        "value",
        [
            {"name": None, "attrs": {}, "children": [], "extra": 5},
            node_dict(children=[{"attrs": {}, "children": []}, node_dict("x", text=5)]),
            {"children": [{}], "name": "a", "attrs": {}, "z": [node_dict(), 7]},
        ],
    )
    def test_type_error_read_later_still_wins(self, value):
        with pytest.raises(TypeError) as raised:
            Node.from_dict(value)
        assert str(raised.value).startswith(HEADER)
        assert notes_of(raised.value) == ["while processing 'dict_'"]

    @pytest.mark.parametrize(
        "extra",
        [
            {"more": [{"attrs": {}}, {"name": None}]},
            {"text": [{"name": "t"}, {}]},
            {"other": [node_dict(children=[{}])]},
        ],
    )
    def test_invalid_dicts_outside_children_are_ignored(self, extra):
        node = Node.from_dict({**node_dict("a", children=[node_dict("c")]), **extra})
        assert tree_value(node) == ["a", {}, None, [["c", {}, None, []]]]

    def test_later_children_value_replaces_an_invalid_earlier_one(self):
        value = {"name": "a", "attrs": {}, "children": [{"name": "bad"}], IdentityKey("children"): [node_dict("c")]}
        assert tree_value(Node.from_dict(value)) == ["a", {}, None, [["c", {}, None, []]]]
        value = {"name": "a", "attrs": {}, "children": [node_dict("c")], IdentityKey("children"): [{"name": "bad"}]}
        with pytest.raises(ValueError, match="^Invalid attrs$"):
            Node.from_dict(value)

    @pytest.mark.parametrize(
        "pairs, expected",
        [
            ([("name", "first"), (IdentityKey("name"), "last")], "last"),
            ([("name", None), (IdentityKey("name"), "last")], "last"),
            ([(IdentityKey("name"), "first"), ("name", "last"), (IdentityKey("name"), "final")], "final"),
        ],
    )
    def test_node_keys_equal_by_value_keep_the_last(self, pairs, expected):
        value = {"attrs": {}, "children": []}
        value.update(pairs)
        assert Node.from_dict(value).name == expected

    def test_node_key_equal_by_value_last_value_invalid(self):
        value = {"name": "first", IdentityKey("name"): None, "attrs": {}, "children": []}
        with pytest.raises(ValueError, match="^Invalid name$"):
            Node.from_dict(value)


class TestDuplicateAttributeKeys:
    @pytest.mark.parametrize(
        "pairs, expected",
        [
            ([(IdentityKey("k"), "1"), (IdentityKey("k"), "2")], {"k": "2"}),
            ([("k", "1"), (IdentityKey("k"), "2")], {"k": "2"}),
            ([(IdentityKey("k"), "1"), ("j", "x"), ("k", "3")], {"k": "3", "j": "x"}),
            ([(IdentityKey("a"), "1"), (IdentityKey("b"), "2"), (IdentityKey("a"), "3"), (IdentityKey("b"), "4")],
             {"a": "3", "b": "4"}),
        ],
    )
    def test_last_value_kept_as_a_dict_would(self, pairs, expected):
        attrs = dict(pairs)
        assert len(attrs) == len(pairs)
        node = Node.from_dict(node_dict(attrs=attrs))
        assert node.attrs == expected
        assert dict(zip(map(str, attrs), attrs.values())) == expected

    def test_many_duplicates(self):
        attrs = {IdentityKey(f"k{index % 10}"): str(index) for index in range(1000)}
        node = Node.from_dict(node_dict(attrs=attrs))
        assert node.attrs == {f"k{index}": str(990 + index) for index in range(10)}


class TestSelfContainingDict:
    MESSAGE = "Invalid children: a dictionary contains itself"

    @staticmethod
    def cycles():
        direct = node_dict("a")
        direct["children"].append(direct)
        outer, inner = node_dict("outer"), node_dict("inner")
        outer["children"].append(inner)
        inner["children"].append(outer)
        deep = node_dict("top")
        current = deep
        for level in range(100):
            child = node_dict(str(level))
            current["children"].append(child)
            current = child
        current["children"].append(deep["children"][0])
        elsewhere = node_dict("a")
        elsewhere["more"] = [elsewhere]
        in_tuple = node_dict("a")
        in_tuple["children"] = (node_dict("b", children=[in_tuple]),)
        return {"direct": direct, "two": outer, "deep": deep, "other-key": elsewhere, "tuple": in_tuple}

    @pytest.mark.parametrize("case", ["direct", "two", "deep", "other-key", "tuple"])
    def test_fails_with_value_error(self, case):
        value = self.cycles()[case]
        with pytest.raises(ValueError) as raised:
            Node.from_dict(value)
        assert type(raised.value) is ValueError
        assert str(raised.value) == self.MESSAGE

    def test_not_wrapped_in_the_enum_error(self):
        # The cycle sits in a children list whose other items would make the
        # value fit no variant: the cycle is still reported as itself.
        value = node_dict("a")
        value["children"].append(node_dict("b", children=[value]))
        value["children"].append(5)
        with pytest.raises(ValueError, match=re.escape(self.MESSAGE)):
            Node.from_dict(value)

    def test_shared_dict_side_by_side_is_valid(self):
        shared = node_dict("s", {"k": "v"}, [node_dict("t")])
        again = node_dict("r", children=[shared, shared, node_dict("u", children=[shared])])
        node = Node.from_dict(again)
        first, second, third = node.children
        assert first is not second
        assert tree_value(first) == tree_value(second) == tree_value(third.children[0])

    @pytest.mark.parametrize("depth, back_to", [(5000, 0), (5000, 2500), (5000, 4999), (40, 17)])
    def test_cycle_deep_in_a_chain(self, depth, back_to):
        chain = [node_dict(str(level)) for level in range(depth)]
        for parent, child in zip(chain, chain[1:]):
            parent["children"].append(child)
        chain[-1]["children"].append(chain[back_to])
        with pytest.raises(ValueError, match=re.escape(self.MESSAGE)):
            Node.from_dict(chain[0])
        chain[-1]["children"].clear()
        assert Node.from_dict(chain[0]).name == "0"

    def test_dicts_reused_across_branches_and_depths(self):
        # A DAG, not a cycle: one dict below itself in no path, but met on many.
        leaf = node_dict("leaf")
        middle = node_dict("middle", children=[leaf, leaf])
        levels = [node_dict("top", children=[middle, leaf])]
        for level in range(300):
            levels.append(node_dict(str(level), children=[middle, levels[-1], leaf]))
        node = Node.from_dict(node_dict("root", children=[levels[-1], levels[-1], middle]))
        assert [child.name for child in node.children] == ["299", "299", "middle"]
        assert [child.name for child in node.children[2].children] == ["leaf", "leaf"]

    def test_refcounts_after_a_cycle(self):
        value = node_dict("a")
        value["children"].append(value)
        before = sys.getrefcount(value)
        for _ in range(5):
            with pytest.raises(ValueError):
                Node.from_dict(value)
        assert sys.getrefcount(value) == before
        value["children"].clear()


class TestLyingLength:
    class ListReportingHuge(list):
        def __len__(self):
            return sys.maxsize

    class SequenceReportingHuge:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            return self.items[index]

    class TupleReportingHuge(tuple):
        def __len__(self):
            return sys.maxsize

    @pytest.mark.parametrize("kind", ["list", "sequence", "tuple"])
    @pytest.mark.parametrize("count", [0, 1, 3])
    def test_huge_length_is_only_a_hint(self, kind, count):
        items = [node_dict(str(index)) for index in range(count)]
        children = {
            "list": lambda: self.ListReportingHuge(items),
            "sequence": lambda: self.SequenceReportingHuge(items),
            "tuple": lambda: self.TupleReportingHuge(items),
        }[kind]()
        node = Node.from_dict(node_dict(children=children))
        assert [child.name for child in node.children] == [str(index) for index in range(count)]

    def test_list_reporting_a_negative_length(self):
        class Negative(list):
            def __len__(self):
                return -1

        with pytest.raises(ValueError):
            len(Negative())
        node = Node.from_dict(node_dict(children=Negative([node_dict("x")])))
        assert [child.name for child in node.children] == ["x"]

    def test_huge_range_is_a_type_error(self):
        with pytest.raises(TypeError) as raised:
            Node.from_dict(node_dict(children=range(2**62)))
        assert str(raised.value).startswith(HEADER)
