"""Attribute maps on both sides of the size where their storage switches from a flat,
linearly searched list to a hashed index: lookup, uniqueness, and one order in every
consumer that lists a node's attributes (the getter, the writer and the printer; the
dictionary form orders its own map)."""
import re

import pytest

import vorlane
from vorlane import Node

# Maps of up to this many attributes are searched linearly; larger ones are hashed.
FLAT_LIMIT = 16
SIZES = [1, 2, FLAT_LIMIT - 1, FLAT_LIMIT, FLAT_LIMIT + 1, FLAT_LIMIT + 2, 4 * FLAT_LIMIT + 3, 300]


def keys_for(count):
    """Distinct keys of equal length in no sorted order, sharing a long prefix."""
    return [f"attribute_{(index * 7919) % 10007:05d}" for index in range(count)]


def parsed_node(keys):
    attributes = " ".join(f'{key}="v{index}"' for index, key in enumerate(keys))
    return vorlane.read_string(f"<r><c {attributes}>t</c></r>", "r").children[0]


def constructed_node(keys):
    return Node("c", {key: f"v{index}" for index, key in enumerate(keys)}, text="t")


BUILDERS = [pytest.param(parsed_node, id="parsed"), pytest.param(constructed_node, id="constructed")]


def written_order(node):
    return re.findall(r' (attribute_\d+)="', vorlane.write_string(node, default_xml_def=False))


def printed_order(node):
    lines = str(node).split("\n")
    start = lines.index("Attributes:") + 1
    return [line.split(": ", 1)[0] for line in lines[start:] if line.startswith("attribute_")]


class TestAroundTheLayoutSwitch:
    @pytest.mark.parametrize("build", BUILDERS)
    @pytest.mark.parametrize("count", SIZES)
    def test_every_consumer_lists_the_same_order(self, build, count):
        keys = keys_for(count)
        node = build(keys)
        order = list(node.attrs)
        assert sorted(order) == sorted(keys)
        assert written_order(node) == order
        assert printed_order(node) == order
        assert node.to_dict()["attrs"] == node.attrs
        # A second read of the getter, and a parent's view of the same node, agree.
        assert list(node.attrs) == order
        assert list(Node("p", children=[node]).children[0].attrs) == order

    @pytest.mark.parametrize("build", BUILDERS)
    @pytest.mark.parametrize("count", SIZES)
    def test_values_and_lookup(self, build, count):
        keys = keys_for(count)
        node = build(keys)
        assert node.attrs == {key: f"v{index}" for index, key in enumerate(keys)}
        for key in (keys[0], keys[-1], keys[len(keys) // 2]):
            assert node.search_by_attr(key) == [node]
        assert node.search_by_attr("attribute_99999") == []
        assert node.search_by_attr(keys[0][:-1]) == []
        assert node.search_by_attr(keys[0] + "0") == []

    @pytest.mark.parametrize("count", SIZES)
    @pytest.mark.parametrize("which", ["first", "middle", "last"])
    def test_duplicate_is_refused_at_its_offset(self, count, which):
        keys = keys_for(count)
        repeated = {"first": keys[0], "middle": keys[len(keys) // 2], "last": keys[-1]}[which]
        attributes = " ".join(f'{key}="1"' for key in keys)
        document = f"<r {attributes} {repeated}='2'/>"
        offset = len(document) - len(f"{repeated}='2'/>")
        message = f"malformed XML at byte {offset}: duplicate attribute '{repeated}'"
        with pytest.raises(ValueError, match=re.escape(message)):
            vorlane.read_string(document, "r")

    @pytest.mark.parametrize("count", SIZES)
    def test_keys_differing_only_in_the_last_byte_are_distinct(self, count):
        keys = [f"same_prefix_{chr(0x4E00 + index)}" for index in range(count)]
        node = parsed_node(keys)
        assert len(node.attrs) == count
        assert node.attrs[keys[-1]] == f"v{count - 1}"

    @pytest.mark.parametrize("count", SIZES)
    def test_decoded_values_survive_release_of_the_document(self, count):
        # Owned (decoded) values next to borrowed spans, with the input gone.
        keys = keys_for(count)
        attributes = " ".join(
            f'{key}="{"a&amp;b" if index % 2 else "plain"}{index}"' for index, key in enumerate(keys)
        )
        node = vorlane.read_string(f"<r {attributes}/>", "r")
        expected = {key: f"{'a&b' if index % 2 else 'plain'}{index}" for index, key in enumerate(keys)}
        assert node.attrs == expected
        copy = vorlane.read_string(vorlane.write_string(node), "r")
        assert copy.attrs == expected

    @pytest.mark.parametrize("count", SIZES)
    @pytest.mark.parametrize("where", ["first", "middle", "last"])
    def test_one_decoded_value_anywhere_keeps_one_order(self, count, where):
        # A parsed map holds document spans compactly until its first decoded value.
        keys = keys_for(count)
        decoded_at = {"first": 0, "middle": count // 2, "last": count - 1}[where]
        attributes = " ".join(
            f'{key}="{"x&lt;y" if index == decoded_at else f"v{index}"}"' for index, key in enumerate(keys)
        )
        node = vorlane.read_string(f"<r><c {attributes}>t</c></r>", "r").children[0]
        expected = {key: ("x<y" if index == decoded_at else f"v{index}") for index, key in enumerate(keys)}
        assert node.attrs == expected
        order = list(node.attrs)
        assert order == keys
        assert written_order(node) == order
        assert printed_order(node) == order
        assert list(node.to_dict()["attrs"]) == order
        assert node.search_by_attr(keys[decoded_at]) == [node]


class TestLifetime:
    @pytest.mark.parametrize("count", [1, FLAT_LIMIT, FLAT_LIMIT + 1, 100])
    def test_a_kept_child_outlives_its_document_and_tree(self, count):
        keys = keys_for(count)
        attributes = " ".join(f'{key}="v{index}"' for index, key in enumerate(keys))
        document = "".join(["<r>", f"<c {attributes}><d {attributes}>t</d></c>" * 3, "</r>"])
        root = vorlane.read_string(document, "r")
        kept = root.children[1].children[0]
        del root, document
        expected = {key: f"v{index}" for index, key in enumerate(keys)}
        assert kept.attrs == expected
        assert kept.search_by_attr(keys[-1]) == [kept]
        assert vorlane.read_string(vorlane.write_string(kept), "d").attrs == expected

    @pytest.mark.parametrize("depth", [1, 3, 200])
    def test_a_kept_child_keeps_its_joined_text(self, depth):
        # Text joined from several pieces lives with the document, not the node.
        inner = "<p> a &amp; <b>x</b> b <i/> c </p>"
        for level in range(depth):
            inner = f"<q{level}>t{level} <e/> u{level}{inner}</q{level}>"
        document = f"<r>{inner}</r>"
        root = vorlane.read_string(document, "r")
        node = root.children[0]
        while node.name != "p":
            assert node.text == f"t{node.name[1:]}  u{node.name[1:]}"
            node = node.children[-1]
        del root, document
        assert node.text == "a &  b  c"
        assert vorlane.read_string(vorlane.write_string(node), "p").text == "a &  b  c"
