"""Node.to_dict: the dictionary form of a node tree."""
import os
import re
import subprocess
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


class TestAttributeOrder:
    @pytest.mark.parametrize("count", [2, 5, 9, 40])
    def test_constructed_attributes_in_the_getters_order(self, count):
        # Keys in many orders, so that a map with its own hash keys would reorder
        # at least one of them.
        for shift in range(8):
            attrs = {f"k{(index * 7 + shift) % count}x{shift}": str(index) for index in range(count)}
            node = Node("a", attrs=attrs)
            assert list(node.to_dict()["attrs"].items()) == list(node.attrs.items())

    def test_parsed_attributes_in_the_getters_order_at_every_level(self):
        rows = "".join(f'<row a="{i}" b="x" c="y" d="z" e="w" f="{i * 2}"/>' for i in range(30))
        root = vorlane.read_string(f'<r p="1" q="2" s="3">{rows}</r>', "r")
        result = root.to_dict()
        assert list(result["attrs"]) == list(root.attrs)
        for child, entry in zip(root.children, result["children"]):
            assert list(entry["attrs"].items()) == list(child.attrs.items())

    def test_same_order_on_every_call(self):
        node = Node("a", attrs={f"key{index}": "v" for index in range(20)})
        orders = {tuple(node.to_dict()["attrs"]) for _ in range(10)}
        assert orders == {tuple(node.attrs)}


class TestSharedStrings:
    def test_equal_names_and_keys_share_one_str_per_call(self):
        root = vorlane.read_string('<r><item id="1"/><item id="2"/><item id="3"/></r>', "r")
        entries = root.to_dict()["children"]
        assert entries[0]["name"] == "item"
        assert all(entry["name"] is entries[0]["name"] for entry in entries)
        keys = [next(iter(entry["attrs"])) for entry in entries]
        assert all(key is keys[0] for key in keys)
        # Values and texts are not shared: each is a str of its own.
        root = Node("r", children=[Node("c", attrs={"k": "same"}, text="same") for _ in range(3)])
        entries = root.to_dict()["children"]
        assert entries[0]["attrs"]["k"] is not entries[1]["attrs"]["k"]
        assert entries[0]["text"] is not entries[1]["text"]

    @pytest.mark.parametrize("name", ["a", "ä" * 3, "名前", "😀x", "n" * 64, "n" * 65, "p" * 20 + "q" * 20])
    def test_shared_names_keep_their_value(self, name):
        other = name[:-1] + ("z" if name[-1] != "z" else "y")
        root = Node("r", children=[Node(name, attrs={name: name}), Node(other, attrs={other: "v"}), Node(name)])
        names = [entry["name"] for entry in root.to_dict()["children"]]
        assert names == [name, other, name]


COLLECTOR_SCRIPT = """
import gc
import resource
import sys
import vorlane
from vorlane import Node

# Nothing on the failure path may need memory of its own once the limit is set:
# the unraisable report is silenced, and the C++ runtime's per-thread exception
# state (allocated on a thread's first throw) is made to exist beforehand.
sys.unraisablehook = lambda unraisable: None
import ctypes
ctypes.CDLL("libstdc++.so.6").__cxa_get_globals()
enabled = {enabled}
if not enabled:
    gc.disable()
root = Node("r", children=[Node("c", attrs={{"k": "v" * 40}}, text="t" * 40) for _ in range(400_000)])
small = Node("s", attrs={{"k": "v"}})
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as handle:
    used = int(handle.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), hard))
try:
    root.to_dict()
except BaseException as error:
    print("failed", type(error).__name__)
else:
    print("succeeded")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("enabled", gc.isenabled())
print("works", small.to_dict() == {{"name": "s", "attrs": {{"k": "v"}}, "children": [], "text": None}})
print("enabled", gc.isenabled())
"""


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer runtime reserves address space beyond any limit",
)
@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_restored_after_a_failing_call(enabled):
    """to_dict pauses the cyclic collector for the whole call; when the call fails
    (here: memory runs out), the collector is left as it was found."""
    completed = subprocess.run(
        [sys.executable, "-c", COLLECTOR_SCRIPT.format(enabled=enabled)],
        capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    lines = completed.stdout.splitlines()
    assert lines[0].startswith("failed "), lines
    assert lines[1:] == [f"enabled {enabled}", "works True", f"enabled {enabled}"]


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_restored_after_a_successful_call(enabled):
    import gc

    was = gc.isenabled()
    try:
        if enabled:
            gc.enable()
        else:
            gc.disable()
        Node("a", children=[Node("b")]).to_dict()
        assert gc.isenabled() is enabled
    finally:
        if was:
            gc.enable()
        else:
            gc.disable()
