"""Node.to_dict: the dictionary form of a node tree."""
import re
import sys

import pytest

import vorlane
from vorlane import Node

KEYS = {"name", "attrs", "children", "text"}


def plain(node):
    """The expected dictionary form of a tree, built from the getters without
    Python recursion."""
    result = {"name": node.name, "attrs": node.attrs, "children": [], "text": node.text}
    stack = [(node, result)]
    while stack:
        current, target = stack.pop()
        for child in current.children:
            entry = {"name": child.name, "attrs": child.attrs, "children": [], "text": child.text}
            target["children"].append(entry)
            stack.append((child, entry))
    return result


def walk_dicts(value):
    """Every node dict in a dictionary form, parents before children."""
    stack = [value]
    while stack:
        current = stack.pop()
        yield current
        stack.extend(reversed(current["children"]))


class TestShape:
    @pytest.mark.parametrize(
        "node, expected",
        [
            (Node("a"), {"name": "a", "attrs": {}, "children": [], "text": None}),
            (Node("a", text=""), {"name": "a", "attrs": {}, "children": [], "text": ""}),
            (Node("", attrs={"k": ""}), {"name": "", "attrs": {"k": ""}, "children": [], "text": None}),
            (
                Node("a", attrs={"x": "1", "y": "<&>"}, text="t", children=[Node("b", text="")]),
                {
                    "name": "a",
                    "attrs": {"x": "1", "y": "<&>"},
                    "children": [{"name": "b", "attrs": {}, "children": [], "text": ""}],
                    "text": "t",
                },
            ),
            (Node("ünï€😀", text="😀\x00"), {"name": "ünï€😀", "attrs": {}, "children": [], "text": "😀\x00"}),
        ],
    )
    def test_constructed(self, node, expected):
        result = node.to_dict()
        assert result == expected
        assert set(result) == KEYS
        assert type(result["attrs"]) is dict and type(result["children"]) is list

    def test_types_at_every_level(self):
        tree = Node("r", children=[Node("a", children=[Node("b", text="x")]), Node("c")])
        for entry in walk_dicts(tree.to_dict()):
            assert type(entry) is dict and set(entry) == KEYS
            assert type(entry["name"]) is str
            assert entry["text"] is None or type(entry["text"]) is str

    def test_parsed_document_with_entities(self):
        root = vorlane.read_string(
            '<r a="x &amp; y" b="&#65;&#x42;"><c>1 &lt; 2</c><d/><e>  </e><c>second</c></r>', "r"
        )
        result = root.to_dict()
        assert result == plain(root)
        assert result["attrs"] == {"a": "x & y", "b": "AB"}
        assert [child["name"] for child in result["children"]] == ["c", "d", "e", "c"]
        assert result["children"][0]["text"] == "1 < 2"

    def test_children_in_getter_order(self):
        children = [Node(str(index)) for index in range(50)]
        result = Node("r", children=children).to_dict()
        assert [child["name"] for child in result["children"]] == [str(index) for index in range(50)]

    def test_many_attributes_match_the_getter(self):
        attrs = {f"key{index}": f"value{index}" for index in range(100)}
        node = Node("a", attrs=attrs)
        assert node.to_dict()["attrs"] == attrs == node.attrs

    def test_shared_child_gives_distinct_equal_dicts(self):
        shared = Node("s", attrs={"k": "v"}, children=[Node("t")])
        result = Node("r", children=[shared, shared]).to_dict()
        first, second = result["children"]
        assert first == second
        assert first is not second
        assert first["attrs"] is not second["attrs"]
        assert first["children"] is not second["children"]


class TestIndependence:
    def test_mutating_the_result_leaves_the_node(self):
        node = Node("a", attrs={"k": "v"}, text="t", children=[Node("b")])
        result = node.to_dict()
        result["name"] = "changed"
        result["attrs"]["k"] = "changed"
        result["children"][0]["name"] = "changed"
        result["children"].append({})
        assert node.name == "a" and node.attrs == {"k": "v"} and node.text == "t"
        assert [child.name for child in node.children] == ["b"]
        assert node.to_dict() == {
            "name": "a", "attrs": {"k": "v"}, "text": "t",
            "children": [{"name": "b", "attrs": {}, "children": [], "text": None}],
        }

    def test_new_objects_per_call(self):
        node = Node("a", attrs={"k": "v"}, children=[Node("b")])
        first, second = node.to_dict(), node.to_dict()
        assert first == second
        assert first is not second
        assert first["attrs"] is not second["attrs"]
        assert first["children"] is not second["children"]
        assert first["children"][0] is not second["children"][0]

    def test_no_references_left_behind(self):
        child = Node("b")
        node = Node("a", children=[child])
        before = (sys.getrefcount(node), sys.getrefcount(child))
        for _ in range(10):
            node.to_dict()
        assert (sys.getrefcount(node), sys.getrefcount(child)) == before

    def test_parsed_input_outlives_the_tree(self):
        text = "".join(["<r>", "<c k='v'>x</c>" * 3, "</r>"])
        root = vorlane.read_string(text, "r")
        result = root.to_dict()
        del root
        assert result["children"][2] == {"name": "c", "attrs": {"k": "v"}, "children": [], "text": "x"}

    @pytest.mark.parametrize("args", [(1,), (None,), ("x", "y")])
    def test_takes_no_arguments(self, args):
        with pytest.raises(TypeError, match=re.escape("to_dict() takes no arguments")):
            Node("a").to_dict(*args)


class TestRoundTrip:
    def test_from_dict_rebuilds(self):
        root = vorlane.read_string('<r a="1"><b x="y">t</b><c/><d></d></r>', "r")
        rebuilt = Node.from_dict(root.to_dict())
        assert rebuilt.to_dict() == root.to_dict()
        assert rebuilt is not root


class TestDeepTree:
    def test_million_levels(self):
        depth = 1_000_000
        node = Node("leaf", text="")
        for level in range(depth - 1):
            node = Node("n", attrs={"level": str(level)} if level % 1000 == 0 else None, children=[node])
        result = node.to_dict()
        count = 0
        entry = result
        while True:
            assert set(entry) == KEYS
            count += 1
            if not entry["children"]:
                break
            assert len(entry["children"]) == 1
            level = depth - 1 - count
            assert entry["attrs"] == ({"level": str(level)} if level % 1000 == 0 else {})
            entry = entry["children"][0]
        assert count == depth
        assert entry["name"] == "leaf" and entry["text"] == ""
        del result
