"""Element names and attribute keys of a parsed document come out as strs shared by
equal names of that document: equal values whatever the sharing, one object per name
and document, and every shared str given back when the document's last node goes."""
import sys

import pytest

import vorlane
from vorlane import Node


def names_and_keys(node):
    stack, out = [node], []
    while stack:
        current = stack.pop()
        out.append(current.name)
        out.extend(current.attrs)
        stack.extend(current.children)
    return out


class TestSharing:
    def test_equal_names_and_keys_of_one_document_are_one_object(self):
        root = vorlane.read_string("<r><item id='1' k='a'/><item id='2' k='b'/><item id='3'/></r>", "r")
        first, second, third = root.children
        assert first.name is second.name is third.name == "item"
        assert list(first.attrs)[0] is list(second.attrs)[0] is list(third.attrs)[0] == "id"
        # The values stay fresh: they are mostly unique.
        assert first.attrs["k"] == "a" and second.attrs["k"] == "b"

    @pytest.mark.parametrize("length", [1, 63, 64, 65, 200])
    def test_names_of_every_length(self, length):
        name = "n" * length
        root = vorlane.read_string(f"<r><{name} {name}='v'/><{name}/></r>", "r")
        assert [child.name for child in root.children] == [name, name]
        assert root.children[0].attrs == {name: "v"}

    def test_more_distinct_names_than_are_shared(self):
        # Far more names than the table keeps: each still reads back right.
        count = 5000
        document = "<r>" + "".join(f"<e{i} k{i}='{i}'/>" for i in range(count)) + "</r>"
        root = vorlane.read_string(document, "r")
        assert [child.name for child in root.children] == [f"e{i}" for i in range(count)]
        assert [child.attrs for child in root.children] == [{f"k{i}": str(i)} for i in range(count)]

    def test_non_ascii_names(self):
        root = vorlane.read_string("<r><é ключ='1'/><é ключ='2'/><文字/></r>", "r")
        assert [child.name for child in root.children] == ["é", "é", "文字"]
        assert root.children[0].name is root.children[1].name
        assert list(root.children[1].attrs) == ["ключ"]

    def test_constructed_nodes_unaffected(self):
        node = Node("x", {"k": "v"}, [Node("x")])
        assert node.name == node.children[0].name == "x"
        assert node.attrs == {"k": "v"}


class TestRelease:
    def test_shared_strs_go_with_the_last_node(self):
        root = vorlane.read_string("<r><item id='1'/><item id='2'/></r>", "r")
        name = root.children[0].name
        key = list(root.children[0].attrs)[0]
        kept = root.children[1]
        name_count, key_count = sys.getrefcount(name), sys.getrefcount(key)
        del root
        # The kept child still holds the document: nothing is given back yet.
        assert sys.getrefcount(name) == name_count
        assert kept.name is name
        del kept
        assert sys.getrefcount(name) == name_count - 1
        assert sys.getrefcount(key) == key_count - 1

    def test_repeated_reads_do_not_grow_references(self):
        root = vorlane.read_string("<r><item id='1'/></r>", "r")
        name = root.children[0].name
        count = sys.getrefcount(name)
        for _ in range(1000):
            root.children[0].name
            root.children[0].attrs
        assert sys.getrefcount(name) == count
