"""write_string measures its output first and then renders straight into a str of
that length and width: the measure must match the text exactly for every escaping
and every character class, on both sides of the size from which the str is filled
with the interpreter lock released."""
import pytest

import vorlane
from vorlane import Node

TEXT_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
ATTRIBUTE_ESCAPES = {**TEXT_ESCAPES, "\t": "&#9;", "\r": "&#13;", "\n": "&#10;"}

# Outputs of at least this many code points are filled with the lock released.
UNLOCKED_FILL_UNITS = 256 * 1024

SPECIALS = ["&", "<", ">", '"', "'", "\t", "\n", "\r", "é", "ÿ", "λ", "€", "😀"]


def escaped(value, table):
    return "".join(table.get(character, character) for character in value)


def leaf(value):
    return Node("e", {"k": value}, text=value)


def leaf_text(value):
    return f'<e k="{escaped(value, ATTRIBUTE_ESCAPES)}">{escaped(value, TEXT_ESCAPES)}</e>'


class TestMeasuredEscapes:
    @pytest.mark.parametrize("length", [1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 49])
    @pytest.mark.parametrize("special", SPECIALS)
    def test_special_at_each_block_edge(self, length, special):
        # The measuring pass counts sixteen bytes per step and pads the rest: a
        # replaced or wide character on each side of every block edge.
        for position in sorted({0, 7, 8, 15, 16, 17, 31, 32, length - 1} & set(range(length))):
            value = "r" * position + special + "r" * (length - position - 1)
            written = vorlane.write_string(leaf(value), default_xml_def=False)
            assert written == leaf_text(value), position

    @pytest.mark.parametrize("length", [0, 1, 15, 16, 17, 32, 33])
    def test_value_made_only_of_specials(self, length):
        value = "".join(SPECIALS[index % len(SPECIALS)] for index in range(length))
        assert vorlane.write_string(leaf(value), default_xml_def=False) == leaf_text(value)


def wide_tree(filler, count):
    """A root with `count` children whose texts and values hold `filler`."""
    children = [Node("item", {"n": str(index), "v": filler}, text=filler + str(index)) for index in range(count)]
    return Node("root", {"kind": "wide"}, children=children)


def wide_tree_text(filler, count, indent):
    pad = " " * indent
    lines = ['<?xml version="1.0" encoding="utf-8"?>', '<root kind="wide">']
    for index in range(count):
        attrs = f'n="{index}" v="{escaped(filler, ATTRIBUTE_ESCAPES)}"'
        lines.append(f"{pad}<item {attrs}>{escaped(filler + str(index), TEXT_ESCAPES)}</item>")
    lines.append("</root>")
    return "\n".join(lines)


class TestLargeOutputs:
    @pytest.mark.parametrize(
        "filler",
        [
            pytest.param("plain & <text>", id="ascii"),
            pytest.param("café & crème", id="latin-1"),
            pytest.param("λόγος € 名前", id="basic-plane"),
            pytest.param("emoji 😀 & more", id="astral"),
        ],
    )
    def test_large_output_equals_expected_text(self, filler):
        # Well past the size filled with the lock released, and past the mebibyte
        # from which a second thread maps in the str's pages.
        count = 24_000
        written = vorlane.write_string(wide_tree(filler, count))
        expected = wide_tree_text(filler, count, 4)
        assert len(expected) > max(UNLOCKED_FILL_UNITS, 1 << 20)
        assert written == expected
        assert max(written) == max(expected)

    @pytest.mark.parametrize("extra", [-1, 0, 1])
    @pytest.mark.parametrize("wide", ["", "é", "€", "😀"])
    def test_around_the_unlocked_fill_size(self, extra, wide):
        # One text sized so that the whole output is one code point short of,
        # exactly at, or one past the size filled with the lock released.
        frame = len('<a></a>')
        text = wide + "x" * (UNLOCKED_FILL_UNITS + extra - frame - len(wide))
        written = vorlane.write_string(Node("a", text=text), default_xml_def=False)
        assert len(written) == UNLOCKED_FILL_UNITS + extra
        assert written == f"<a>{text}</a>"

    def test_wide_indentation_is_counted(self):
        tree = Node("a", children=[Node("b", children=[Node("c", text="λ")])])
        written = vorlane.write_string(tree, indent=100_000, default_xml_def=False)
        pad = " " * 100_000
        assert written == f"<a>\n{pad}<b>\n{pad}{pad}<c>λ</c>\n{pad}</b>\n</a>"
