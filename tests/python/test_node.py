"""The Node class: constructor validation, getters, immutability and lifetime."""
import gc
import subprocess
import sys
import textwrap

import pytest

import vorlane

from vorlane import Node


class TestConstructor:
    def test_name_alone(self):
        n = Node("a")
        assert (n.name, n.text, n.attrs, n.children) == ("a", None, {}, [])

    @pytest.mark.parametrize("name", ["", "with space", "<&>", "ünï€😀"])
    def test_any_string_is_a_name(self, name):
        assert Node(name).name == name

    def test_all_arguments_by_keyword(self):
        child = Node("c")
        n = Node(text="t", children=[child], attrs={"k": "v"}, name="n")
        assert (n.name, n.text, n.attrs) == ("n", "t", {"k": "v"})
        assert n.children[0] is child

    def test_empty_text_is_not_absent(self):
        assert Node("a", text="").text == ""
        assert Node("a", text=None).text is None

    def test_tuple_of_children_keeps_order_and_identity(self):
        first, second = Node("x"), Node("y")
        children = Node("p", children=(first, second)).children
        assert children == [first, second]
        assert children[0] is first and children[1] is second

    def test_same_child_twice_and_in_two_parents(self):
        shared = Node("s")
        one = Node("p", children=[shared, shared])
        two = Node("q", children=[shared])
        assert one.children[0] is shared and one.children[1] is shared
        assert two.children[0] is shared

    def test_str_subclasses_and_dict_subclasses_accepted(self):
        class S(str):
            pass

        class D(dict):
            pass

        n = Node(S("n"), D({S("k"): S("v")}), text=S("t"))
        assert (n.name, n.attrs, n.text) == ("n", {"k": "v"}, "t")
        assert type(n.name) is str

    def test_custom_sequence_whose_len_raises(self):
        child = Node("c")

        class Weird:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, index):
                if index == 0:
                    return child
                raise IndexError(index)

        import collections.abc

        collections.abc.Sequence.register(Weird)
        assert Node("p", children=Weird()).children == [child]

    @pytest.mark.parametrize("length", [sys.maxsize, 2**40, 10**6])
    def test_length_is_only_a_capacity_hint(self, length):
        child = Node("c")

        class Lying:
            def __len__(self):
                return length

            def __getitem__(self, index):
                if index < 2:
                    return child
                raise IndexError(index)

        import collections.abc

        collections.abc.Sequence.register(Lying)
        assert Node("p", children=Lying()).children == [child, child]

    def test_list_subclass_with_lying_length(self):
        class Long(list):
            def __len__(self):
                return sys.maxsize

        child = Node("c")
        assert Node("p", children=Long([child])).children == [child]

    def test_huge_range_fails_on_its_first_item(self):
        with pytest.raises(TypeError) as caught:
            Node("p", children=range(2**62))
        assert str(caught.value) == "'int' object is not an instance of 'Node'"

    def test_keys_equal_by_value_keep_the_last_value(self):
        class Key(str):
            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        attrs = {Key("k"): "first", Key("k"): "last", "other": "x"}
        assert len(attrs) == 3
        node = Node("a", attrs)
        assert node.attrs == {"k": "last", "other": "x"}
        assert vorlane.write_string(node, default_xml_def=False).count("k=") == 1

    def test_iteration_error_passes_through_with_note(self):
        class Broken:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                raise KeyError("boom")

        with pytest.raises(KeyError) as caught:
            Node("p", children=Broken())
        assert caught.value.__notes__ == ["while processing 'children'"]

    @pytest.mark.parametrize(
        "kwargs, exception, message, parameter",
        [
            ({"name": None}, TypeError, "'None' is not an instance of 'str'", "name"),
            ({"name": 5}, TypeError, "'int' object is not an instance of 'str'", "name"),
            ({"name": b"a"}, TypeError, "'bytes' object is not an instance of 'str'", "name"),
            ({"name": "a", "text": 1.5}, TypeError, "'float' object is not an instance of 'str'", "text"),
            ({"name": "a", "attrs": [("k", "v")]}, TypeError, "'list' object is not an instance of 'dict'", "attrs"),
            ({"name": "a", "attrs": {"k": 1}}, TypeError, "'int' object is not an instance of 'str'", "attrs"),
            ({"name": "a", "attrs": {1: "v"}}, TypeError, "'int' object is not an instance of 'str'", "attrs"),
            ({"name": "a", "children": "ab"}, TypeError, "Can't extract `str` to `Vec`", "children"),
            ({"name": "a", "children": {}}, TypeError, "'dict' object is not an instance of 'Sequence'", "children"),
            ({"name": "a", "children": 3}, TypeError, "'int' object is not an instance of 'Sequence'", "children"),
            ({"name": "a", "children": [1]}, TypeError, "'int' object is not an instance of 'Node'", "children"),
            ({"name": "a", "children": [Node("b"), None]}, TypeError, "'None' is not an instance of 'Node'", "children"),
        ],
    )
    def test_conversion_errors(self, kwargs, exception, message, parameter):
        with pytest.raises(exception) as caught:
            Node(**kwargs)
        assert str(caught.value) == message
        assert caught.value.__notes__ == [f"while processing '{parameter}'"]

    @pytest.mark.parametrize("field", ["name", "text"])
    def test_lone_surrogate_is_the_interpreters_encoding_error(self, field):
        kwargs = {"name": "a", field: "\udc80"}
        with pytest.raises(UnicodeEncodeError) as caught:
            Node(**kwargs)
        assert caught.value.__notes__ == [f"while processing '{field}'"]


class TestGetters:
    def test_fresh_containers_with_identical_children(self):
        child = Node("c")
        n = Node("p", {"k": "v"}, [child])
        assert n.children is not n.children
        assert n.attrs is not n.attrs
        assert n.children[0] is n.children[0] is child

    def test_mutating_returned_containers_changes_nothing(self):
        n = Node("p", {"k": "v"}, [Node("c")])
        n.attrs["x"] = "y"
        n.children.clear()
        assert n.attrs == {"k": "v"}
        assert len(n.children) == 1

    def test_many_attributes_all_listed(self):
        attrs = {f"k{i}": f"v{i}" for i in range(1000)}
        assert Node("a", attrs).attrs == attrs

    @pytest.mark.parametrize("field", ["name", "text", "attrs", "children"])
    def test_read_only(self, field):
        n = Node("a", text="t")
        with pytest.raises(AttributeError):
            setattr(n, field, "x")
        with pytest.raises(AttributeError):
            delattr(n, field)
        assert n.name == "a" and n.text == "t"

    @pytest.mark.parametrize("spelling", ["interned", "built"])
    @pytest.mark.parametrize("field", ["name", "text", "attrs", "children", "to_dict", "__class__"])
    def test_lookup_by_any_equal_name(self, field, spelling):
        # Names written in code arrive interned; getattr with a str built at run time
        # gives another object of the same value, which must find the same attribute.
        n = Node("a", {"k": "v"}, [Node("c")], "t")
        key = field if spelling == "interned" else "".join(list(field))
        assert (key is field) == (spelling == "interned")
        value = getattr(n, key)
        expected = object.__getattribute__(n, field)
        if field == "to_dict":
            assert value() == expected()
        elif field == "children":
            assert value == expected and value[0] is expected[0]
        else:
            assert value == expected

    def test_missing_attribute_named_in_error(self):
        n = Node("a")
        with pytest.raises(AttributeError, match="^'builtins.Node' object has no attribute 'nope'$"):
            n.nope
        assert not hasattr(n, "nope") and hasattr(n, "name")

    def test_children_docstring(self):
        assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."
        assert Node.name.__doc__ is None


class TestClass:
    def test_identity_equality_and_hash(self):
        a, b = Node("a"), Node("a")
        assert a != b and a == a
        assert hash(a) != hash(b)

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (Node,), {})

    @pytest.mark.parametrize("attribute", ["name", "to_dict", "new_attribute", "__doc__"])
    def test_class_is_immutable(self, attribute):
        before = Node.__dict__.get(attribute)
        with pytest.raises(TypeError, match="immutable type"):
            setattr(Node, attribute, 5)
        assert Node.__dict__.get(attribute) is before
        if before is not None:
            with pytest.raises(TypeError, match="immutable type"):
                delattr(Node, attribute)

    def test_unencodable_keyword_is_named_like_the_interpreter_names_it(self):
        with pytest.raises(TypeError) as caught:
            Node("a", **{"\ud800x": 1})
        assert str(caught.value) == "Node.__new__() got an unexpected keyword argument '\\ud800x'"

    def test_no_instance_dict_or_weakref(self):
        import weakref

        n = Node("a")
        with pytest.raises(AttributeError):
            n.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(n)

    def test_names_and_signature(self):
        assert Node.__module__ == "builtins"
        assert Node.__qualname__ == "Node"
        assert Node.__doc__ is None
        assert Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"

    def test_member_order_and_signatures(self):
        members = [name for name in Node.__dict__ if not name.startswith("__") or name == "__to_string"]
        assert members == ["__to_string", "search_by_name", "search_by_attr", "search_by_text", "search",
                           "from_dict", "to_dict", "name", "text", "attrs", "children"]
        assert Node.search.__text_signature__ == "($self, by, value, depth=None)"
        assert Node.from_dict.__text_signature__ == "($cls, dict_)"

    def test_not_tracked_by_the_garbage_collector(self):
        assert not gc.is_tracked(Node("a", children=[Node("b")]))

    def test_children_references_released_with_the_parent(self):
        child = Node("c")
        before = sys.getrefcount(child)
        parent = Node("p", children=[child, child])
        assert sys.getrefcount(child) == before + 2
        del parent
        assert sys.getrefcount(child) == before


def test_deep_chain_is_released_without_recursion():
    script = textwrap.dedent(
        """
        from vorlane import Node
        n = Node("a")
        for _ in range(1_000_000):
            n = Node("a", children=[n])
        del n
        print("released")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "released"
