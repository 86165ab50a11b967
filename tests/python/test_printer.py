"""The node printer: str(node), node.__to_string(spacing) and repr(node)."""
import random
import re
import struct
import sys

import pytest

import vorlane
from vorlane import Node

LONG_BITS = struct.calcsize("l") * 8

CATALOG_XML = (
    '<catalog id="7"><book lang="en">Tom &amp; Jerry&apos;s</book><shelf/>'
    '<box>a&lt;b<item note="x"/></box></catalog>'
)

CATALOG_PRINTOUT = (
    "Name: catalog\n"
    "Attributes:\n"
    "id: 7\n"
    "Children:\n"
    "  Name: book\n"
    "  Attributes:\n"
    "  lang: en\n"
    "  Text: Tom & Jerry's\n"
    "\n"
    "  Name: shelf\n"
    "\n"
    "  Name: box\n"
    "  Text: a<b\n"
    "  Children:\n"
    "      Name: item\n"
    "    Attributes:\n"
    "    note: x\n"
    "\n"
)

CATALOG_PRINTOUT_3 = "\n".join(
    [
        " " * 3 + "Name: catalog",
        " " * 3 + "Attributes:",
        " " * 3 + "id: 7",
        " " * 3 + "Children:",
        " " * 8 + "Name: book",
        " " * 5 + "Attributes:",
        " " * 5 + "lang: en",
        " " * 5 + "Text: Tom & Jerry's",
        "",
        " " * 8 + "Name: shelf",
        "",
        " " * 8 + "Name: box",
        " " * 5 + "Text: a<b",
        " " * 5 + "Children:",
        " " * 12 + "Name: item",
        " " * 7 + "Attributes:",
        " " * 7 + "note: x",
        "",
        "",
    ]
)


def to_string(node, *args, **kwargs):
    # getattr: a literal `node.__to_string` inside a class body would be name-mangled.
    return getattr(node, "__to_string")(*args, **kwargs)


def notes_of(error):
    return getattr(error, "__notes__", [])


def constructed_catalog():
    item = Node("item", attrs={"note": "x"})
    book = Node("book", attrs={"lang": "en"}, text="Tom & Jerry's")
    box = Node("box", text="a<b", children=[item])
    return Node("catalog", attrs={"id": "7"}, children=[book, Node("shelf"), box])


@pytest.fixture(params=["parsed", "constructed"])
def catalog(request):
    if request.param == "parsed":
        return vorlane.read_string(CATALOG_XML, "catalog")
    return constructed_catalog()


class TestWorkedExample:
    def test_str(self, catalog):
        printout = str(catalog)
        assert printout == CATALOG_PRINTOUT
        assert printout.split("\n")[18] == "" and printout.endswith("note: x\n\n")

    def test_spacing_three(self, catalog):
        assert to_string(catalog, 3) == CATALOG_PRINTOUT_3

    def test_repr(self, catalog):
        assert repr(catalog) == "Node(catalog)"
        assert repr(catalog.children) == "[Node(book), Node(shelf), Node(box)]"

    @pytest.mark.parametrize(
        "call",
        [
            lambda n: to_string(n),
            lambda n: to_string(n, None),
            lambda n: to_string(n, 0),
            lambda n: to_string(n, spacing=None),
            lambda n: to_string(n, spacing=0),
            lambda n: to_string(n, False),
            lambda n: format(n),
            lambda n: f"{n}",
        ],
    )
    def test_default_spacing_equals_str(self, catalog, call):
        assert call(catalog) == str(catalog) == CATALOG_PRINTOUT


class TestTemplates:
    @pytest.mark.parametrize(
        "node, expected",
        [
            (Node("a"), "Name: a"),
            (Node(""), "Name: "),
            (Node("a", text=""), "Name: a\nText: "),
            (Node("a", text="x\ny"), "Name: a\nText: x\ny"),
            (Node("a", attrs={"k": ""}), "Name: a\nAttributes:\nk: "),
            (Node("a", attrs={"k": "v"}, text="t"), "Name: a\nAttributes:\nk: v\nText: t"),
            (Node("<&\"'>", attrs={"q\"": "<&>"}, text="&amp;"), "Name: <&\"'>\nAttributes:\nq\": <&>\nText: &amp;"),
            (Node("a", children=[Node("b")]), "Name: a\nChildren:\n  Name: b\n"),
            (Node("a", children=[Node("b"), Node("c")]), "Name: a\nChildren:\n  Name: b\n\n  Name: c\n"),
            (
                Node("a", children=[Node("b", children=[Node("c", children=[Node("d")])])]),
                "Name: a\nChildren:\n  Name: b\n  Children:\n      Name: c\n    Children:\n          Name: d\n\n\n",
            ),
            (Node("ünï€😀", text="😀"), "Name: ünï€😀\nText: 😀"),
        ],
    )
    def test_printout(self, node, expected):
        assert str(node) == expected

    def test_spacing_wraps_at_256(self):
        node = Node("r", text="t", children=[Node("c", text="u", children=[Node("g")])])
        expected = (
            " " * 255 + "Name: r\n"
            + " " * 255 + "Text: t\n"
            + " " * 255 + "Children:\n"
            + " " * 256 + "Name: c\n"
            + " " * 1 + "Text: u\n"
            + " " * 1 + "Children:\n"
            + " " * 4 + "Name: g\n"
            + "\n"
        )
        assert to_string(node, 255) == expected

    @pytest.mark.parametrize("spacing", [1, 2, 100, 253, 254, 255])
    def test_spacing_values(self, spacing):
        node = Node("r", children=[Node("c")])
        child = (spacing + 2) % 256
        assert to_string(node, spacing) == (
            " " * spacing + "Name: r\n" + " " * spacing + "Children:\n" + " " * (spacing + child) + "Name: c\n"
        )

    def test_repr_ignores_everything_but_the_name(self):
        node = Node("n a<me", attrs={"k": "v"}, text="t", children=[Node("c")])
        assert repr(node) == "Node(n a<me)"
        assert repr(Node("")) == "Node()"

    def test_attribute_lines_follow_the_getter_order(self):
        attrs = {f"k{index}": f"v{index}" for index in range(20)}
        node = Node("a", attrs=attrs)
        expected = "Name: a\nAttributes:" + "".join(f"\n{key}: {value}" for key, value in node.attrs.items())
        assert str(node) == expected


class TestSpacingErrors:
    @pytest.mark.parametrize(
        "spacing, error, message",
        [
            (-1, OverflowError, "number too small to fit in target type"),
            (-(2**31), OverflowError, "number too small to fit in target type"),
            (256, OverflowError, "number too large to fit in target type"),
            (2**31 - 1, OverflowError, "number too large to fit in target type"),
            # Beyond 32 bits: the module's own message where C long is 64 bits wide,
            # the interpreter's where it is 32.
            (-(2**40), OverflowError, "number too small to fit in target type" if LONG_BITS == 64 else None),
            (2**40, OverflowError, "number too large to fit in target type" if LONG_BITS == 64 else None),
            (2**64, OverflowError, None),
            (-(2**80), OverflowError, None),
            (1.0, TypeError, None),
            ("3", TypeError, None),
            (b"3", TypeError, None),
        ],
    )
    def test_refused(self, spacing, error, message):
        with pytest.raises(error) as raised:
            to_string(Node("a"), spacing)
        assert type(raised.value) is error
        if message is not None:
            assert str(raised.value) == message
        assert notes_of(raised.value) == ["while processing 'spacing'"]

    def test_index_protocol(self):
        class Four:
            def __index__(self):
                return 4

        assert to_string(Node("a"), Four()) == "    Name: a"

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda n: to_string(n, 1, 2), "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"),
            (lambda n: to_string(n, indent=2), "Node.__to_string() got an unexpected keyword argument 'indent'"),
        ],
    )
    def test_binding(self, call, message):
        with pytest.raises(TypeError, match=re.escape(message)):
            call(Node("a"))


def reference_printout(node, spacing):
    """The recursive definition: each child printed separately, then copied in."""
    indent = " " * spacing
    out = indent + "Name: " + node.name
    attrs = node.attrs
    if attrs:
        out += "\n" + indent + "Attributes:"
        for key, value in attrs.items():
            out += "\n" + indent + key + ": " + value
    if node.text is not None:
        out += "\n" + indent + "Text: " + node.text
    children = node.children
    if children:
        out += "\n" + indent + "Children:"
        for child in children:
            out += "\n" + indent + reference_printout(child, (spacing + 2) % 256) + "\n"
    return out


def random_tree(rng, size):
    pool = []
    for _ in range(size):
        count = rng.randint(0, min(3, len(pool)))
        children = rng.sample(pool, count) if count else []
        attrs = {f"k{i}": rng.choice(["", "v", "<&>"]) for i in range(rng.randint(0, 3))}
        pool.append(Node(rng.choice(["a", "b", ""]), attrs=attrs, children=children,
                         text=rng.choice([None, "", "t", "x\ny"])))
    return pool[-1]


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(6))
    @pytest.mark.parametrize("spacing", [0, 1, 7, 250, 255])
    def test_random_trees(self, seed, spacing):
        root = random_tree(random.Random(seed), 40)
        assert to_string(root, spacing) == reference_printout(root, spacing)

    def test_deep_enough_to_wrap_many_times(self):
        node = Node("leaf", text="t")
        for level in range(600):
            node = Node(f"n{level}", attrs={"k": "v"}, children=[node, Node("s")])
        assert str(node) == reference_printout_iterative_chain(node)


def reference_printout_iterative_chain(root):
    """The recursive definition unrolled for a tree whose every node has its
    descendants under its first child (later children are leaves without
    attributes or text); no Python recursion."""
    pieces = []
    closing = []  # what follows each open first-child block, innermost last
    node, spacing, parent_spacing = root, 0, None
    while True:
        indent = " " * spacing
        if parent_spacing is not None:
            pieces.append(" " * parent_spacing)
        pieces.append(indent + "Name: " + node.name)
        for index, (key, value) in enumerate(node.attrs.items()):
            if index == 0:
                pieces.append("\n" + indent + "Attributes:")
            pieces.append("\n" + indent + key + ": " + value)
        if node.text is not None:
            pieces.append("\n" + indent + "Text: " + node.text)
        children = node.children
        if not children:
            break
        pieces.append("\n" + indent + "Children:\n")
        child_spacing = (spacing + 2) % 256
        tail = "\n"
        for leaf in children[1:]:
            assert not leaf.children and not leaf.attrs and leaf.text is None
            tail += "\n" + indent + " " * child_spacing + "Name: " + leaf.name + "\n"
        closing.append(tail)
        node, parent_spacing, spacing = children[0], spacing, child_spacing
    pieces.extend(reversed(closing))
    return "".join(pieces)


class TestDeepTree:
    def test_million_levels(self):
        depth = 1_000_000
        node = Node("a")
        for _ in range(depth - 1):
            node = Node("a", children=[node])
        printout = str(node)
        expected = reference_printout_iterative_chain(node)
        assert len(printout) == len(expected)
        assert printout == expected
        assert printout.endswith("Name: a" + "\n" * (depth - 1))

    def test_reference_count_of_the_result(self):
        node = constructed_catalog()
        before = sys.getrefcount(node)
        for _ in range(10):
            str(node)
            repr(node)
            to_string(node, 5)
        assert sys.getrefcount(node) == before
