"""write_string and write_file: layout, escaping, argument conversion, files, round
trips through the reader, the released interpreter lock and very deep trees."""

import os
import re
import stat

import pytest

import vorlane
from vorlane import Node
from tree_helpers import progress_during, run_python, tree_of

DECLARATION = '<?xml version="1.0" encoding="utf-8"?>\n'


def catalog():
    item = Node("item", {"note": 'x\ty"z'})
    return Node(
        "catalog",
        {"id": "7"},
        [
            Node("book", {"lang": "en"}, text="Tom & Jerry's"),
            Node("shelf"),
            Node("box", children=[item], text="a<b"),
        ],
    )


CATALOG_LINES = [
    '<catalog id="7">',
    '{0}<book lang="en">Tom &amp; Jerry&apos;s</book>',
    "{0}<shelf/>",
    '{0}<box>a&lt;b<item note="x&#9;y&quot;z"/>',
    "{0}</box>",
    "</catalog>",
]


def catalog_text(spaces):
    return "\n".join(line.format(" " * spaces) for line in CATALOG_LINES)


def notes_of(error):
    return getattr(error, "__notes__", [])


class TestLayout:
    def test_catalog_defaults(self):
        expected = DECLARATION + catalog_text(4)
        assert vorlane.write_string(catalog()) == expected
        assert expected.count("\n") == 6
        assert not expected.endswith("\n")

    @pytest.mark.parametrize(
        "kwargs",
        [
            pytest.param({"indent": 4, "default_xml_def": True}, id="explicit"),
            pytest.param({"indent": None, "default_xml_def": None}, id="none"),
            pytest.param({"indent": 4}, id="indent-only"),
        ],
    )
    def test_catalog_defaults_spelled_out(self, kwargs):
        assert vorlane.write_string(catalog(), **kwargs) == DECLARATION + catalog_text(4)

    def test_catalog_indent_two_without_declaration(self):
        assert vorlane.write_string(catalog(), 2, False) == catalog_text(2)

    def test_catalog_indent_zero(self):
        assert vorlane.write_string(catalog(), indent=0, default_xml_def=False) == catalog_text(0)

    @pytest.mark.parametrize(
        "node, expected",
        [
            pytest.param(Node("a"), "<a/>", id="bare"),
            pytest.param(Node("a", children=[]), "<a/>", id="empty-children"),
            pytest.param(Node("a", {"k": "v"}), '<a k="v"/>', id="attrs-only"),
            pytest.param(Node("a", text=""), "<a></a>", id="empty-text"),
            pytest.param(Node("a", {"k": "v"}, text=""), '<a k="v"></a>', id="attrs-empty-text"),
            pytest.param(Node("a", text="t"), "<a>t</a>", id="text-only"),
            pytest.param(Node("a", text="x\n  y"), "<a>x\n  y</a>", id="text-line-break"),
            pytest.param(Node("a", text=" t "), "<a> t </a>", id="no-whitespace-added-or-trimmed"),
            pytest.param(Node("a", children=[Node("b")]), "<a>\n  <b/>\n</a>", id="one-child"),
            pytest.param(Node("a", children=[Node("b")], text=""), "<a><b/>\n</a>", id="empty-text-and-child"),
            pytest.param(
                Node("a", children=[Node("b"), Node("c", text="u")], text="t"),
                "<a>t<b/>\n  <c>u</c>\n</a>",
                id="text-and-children",
            ),
            pytest.param(
                Node("a", children=[Node("b", children=[Node("c")])]),
                "<a>\n  <b>\n    <c/>\n  </b>\n</a>",
                id="nested",
            ),
            pytest.param(
                Node("a", children=[Node("b", children=[Node("c")], text="t"), Node("d")]),
                "<a>\n  <b>t<c/>\n  </b>\n  <d/>\n</a>",
                id="inner-text-and-child",
            ),
            pytest.param(
                Node("a", children=[Node("b", text=""), Node("c", text="")]),
                "<a>\n  <b></b>\n  <c></c>\n</a>",
                id="empty-texts-in-children",
            ),
            pytest.param(Node("", text="x"), "<>x</>", id="empty-name"),
        ],
    )
    def test_layout(self, node, expected):
        assert vorlane.write_string(node, 2, False) == expected

    def test_indent_zero_breaks_lines_without_spaces(self):
        tree = Node("a", children=[Node("b", children=[Node("c", text="x")]), Node("d")])
        assert vorlane.write_string(tree, 0, False) == "<a>\n<b>\n<c>x</c>\n</b>\n<d/>\n</a>"

    @pytest.mark.parametrize("indent", [1, 3, 8, 17])
    def test_indent_width(self, indent):
        tree = Node("a", children=[Node("b", children=[Node("c")])])
        pad = " " * indent
        expected = f"<a>\n{pad}<b>\n{pad * 2}<c/>\n{pad}</b>\n</a>"
        assert vorlane.write_string(tree, indent, False) == expected

    def test_declaration_only_before_root(self):
        assert vorlane.write_string(Node("r")) == DECLARATION + "<r/>"
        assert vorlane.write_string(Node("r"), default_xml_def=False) == "<r/>"

    def test_shared_node_written_each_time(self):
        shared = Node("s", {"k": "v"}, [Node("t", text="x")])
        root = Node("r", children=[shared, Node("m"), shared])
        expected = '<r>\n  <s k="v">\n    <t>x</t>\n  </s>\n  <m/>\n  <s k="v">\n    <t>x</t>\n  </s>\n</r>'
        assert vorlane.write_string(root, 2, False) == expected

    def test_same_child_twice_in_one_parent(self):
        leaf = Node("leaf", text="1")
        assert vorlane.write_string(Node("r", children=(leaf, leaf)), 1, False) == (
            "<r>\n <leaf>1</leaf>\n <leaf>1</leaf>\n</r>"
        )

    def test_attributes_in_getter_order(self):
        node = Node("a", {f"k{index}": str(index) for index in range(40)})
        written = vorlane.write_string(node, default_xml_def=False)
        assert re.findall(r' (k\d+)="', written) == list(node.attrs)
        assert set(re.findall(r' (k\d+)="', written)) == {f"k{index}" for index in range(40)}

    def test_parsed_attributes_in_getter_order(self):
        attributes = " ".join(f"a{index}='{index}'" for index in range(40))
        root = vorlane.read_string(f"<r><c {attributes}/></r>", "r")
        child = root.children[0]
        written = vorlane.write_string(root, default_xml_def=False)
        assert re.findall(r' (a\d+)="', written) == list(child.attrs)


# Each special character: (character, in a text, in an attribute value).
ESCAPES = [
    pytest.param("&", "&amp;", "&amp;", id="ampersand"),
    pytest.param("<", "&lt;", "&lt;", id="less-than"),
    pytest.param(">", "&gt;", "&gt;", id="greater-than"),
    pytest.param('"', "&quot;", "&quot;", id="quotation-mark"),
    pytest.param("'", "&apos;", "&apos;", id="apostrophe"),
    pytest.param("\t", "\t", "&#9;", id="tab"),
    pytest.param("\r", "\r", "&#13;", id="carriage-return"),
    pytest.param("\n", "\n", "&#10;", id="line-feed"),
    pytest.param("\x01", "\x01", "\x01", id="other-control"),
    pytest.param("\x00", "\x00", "\x00", id="nul"),
    pytest.param("]]>", "]]&gt;", "]]&gt;", id="cdata-end"),
    pytest.param("\u00e9", "\u00e9", "\u00e9", id="e-acute"),
    pytest.param("\u65e5", "\u65e5", "\u65e5", id="cjk"),
    pytest.param("\U0001f600", "\U0001f600", "\U0001f600", id="emoji"),
    pytest.param("\u2028", "\u2028", "\u2028", id="line-separator"),
]


class TestEscaping:
    @pytest.mark.parametrize("character, in_text, in_attribute", ESCAPES)
    def test_text_mode(self, character, in_text, in_attribute):
        node = Node("a", text=f"x{character}y{character}")
        assert vorlane.write_string(node, default_xml_def=False) == f"<a>x{in_text}y{in_text}</a>"

    @pytest.mark.parametrize("character, in_text, in_attribute", ESCAPES)
    def test_attribute_mode(self, character, in_text, in_attribute):
        node = Node("a", {"k": f"{character}x{character}"})
        assert vorlane.write_string(node, default_xml_def=False) == f'<a k="{in_attribute}x{in_attribute}"/>'

    def test_mixed_runs(self):
        text = "Tom & Jerry's <b>\"fun\"</b>\tend"
        expected = "Tom &amp; Jerry&apos;s &lt;b&gt;&quot;fun&quot;&lt;/b&gt;\tend"
        assert vorlane.write_string(Node("a", text=text), default_xml_def=False) == f"<a>{expected}</a>"

    def test_names_and_keys_unescaped(self):
        node = Node('a<b c"', {'k<" &': "v"}, text="t")
        assert vorlane.write_string(node, default_xml_def=False) == '<a<b c" k<" &="v">t</a<b c">'

    def test_non_ascii_unchanged(self):
        node = Node("\u65e5\u672c", {"\u043a\u043b\u044e\u0447": "\u00e9\u00e8"}, text="\U0001f600 \u00fc")
        expected = "<\u65e5\u672c \u043a\u043b\u044e\u0447=\"\u00e9\u00e8\">\U0001f600 \u00fc</\u65e5\u672c>"
        assert vorlane.write_string(node, default_xml_def=False) == expected


@pytest.fixture(params=["string", "file"])
def writer(request, tmp_path):
    """write_string, or write_file into a fresh path read back as text: both take
    the same (node, indent, default_xml_def) arguments."""
    if request.param == "string":
        return vorlane.write_string

    def write_via_file(node, *args, **kwargs):
        path = tmp_path / "out.xml"
        assert vorlane.write_file(node, str(path), *args, **kwargs) is None
        return path.read_bytes().decode("utf-8")

    return write_via_file


class TestArguments:
    @pytest.mark.parametrize(
        "indent, same_as",
        [
            pytest.param(None, 4, id="none"),
            pytest.param(True, 1, id="true"),
            pytest.param(False, 0, id="false"),
        ],
    )
    def test_indent_values(self, writer, indent, same_as):
        tree = Node("a", children=[Node("b", children=[Node("c")])])
        assert writer(tree, indent) == vorlane.write_string(tree, same_as)

    def test_indent_with_index_method(self, writer):
        class Width:
            def __index__(self):
                return 6

        tree = Node("a", children=[Node("b")])
        assert writer(tree, Width(), False) == "<a>\n      <b/>\n</a>"

    @pytest.mark.parametrize(
        "node, expected",
        [
            pytest.param(Node("r"), "<r/>", id="bare"),
            pytest.param(Node("r", {"k": "v"}, text="x"), '<r k="v">x</r>', id="text"),
        ],
    )
    def test_largest_indent_on_flat_root(self, writer, node, expected):
        assert writer(node, 4294967295, False) == expected

    @pytest.mark.parametrize(
        "indent",
        [pytest.param(4294967296, id="2**32"), pytest.param(2**64, id="2**64"), pytest.param(2**200, id="2**200")],
    )
    def test_indent_too_large(self, writer, indent):
        message = "number too large to fit in target type"
        with pytest.raises(OverflowError, match=f"^{re.escape(message)}") as raised:
            writer(Node("r"), indent)
        assert raised.value.args == (message,)
        assert notes_of(raised.value) == ["while processing 'indent'"]

    @pytest.mark.parametrize("indent", [-1, -(2**70)])
    def test_indent_negative(self, writer, indent):
        with pytest.raises(OverflowError) as raised:
            writer(Node("r"), indent)
        assert notes_of(raised.value) == ["while processing 'indent'"]

    @pytest.mark.parametrize("indent", [1.5, 4.0, "4", b"4", [4]])
    def test_indent_not_integer(self, writer, indent):
        with pytest.raises(TypeError) as raised:
            writer(Node("r"), indent)
        assert notes_of(raised.value) == ["while processing 'indent'"]

    @pytest.mark.parametrize(
        "flag, with_declaration",
        [
            pytest.param(None, True, id="none"),
            pytest.param(True, True, id="true"),
            pytest.param(False, False, id="false"),
        ],
    )
    def test_declaration_flag(self, writer, flag, with_declaration):
        if with_declaration is None:
            with pytest.raises(TypeError) as raised:
                writer(Node("r"), None, flag)
            assert notes_of(raised.value) == ["while processing 'default_xml_def'"]
            return
        expected = (DECLARATION if with_declaration else "") + "<r/>"
        assert writer(Node("r"), default_xml_def=flag) == expected

    @pytest.mark.parametrize(
        "flag, type_name",
        [
            pytest.param(0, "int", id="zero"),
            pytest.param(1, "int", id="one"),
            pytest.param("yes", "str", id="str"),
            pytest.param(1.0, "float", id="float"),
        ],
    )
    def test_declaration_flag_refused(self, writer, flag, type_name):
        with pytest.raises(TypeError, match=f"^{re.escape(repr(type_name))} object is not an instance of ") as raised:
            writer(Node("r"), 4, flag)
        assert notes_of(raised.value) == ["while processing 'default_xml_def'"]

    @pytest.mark.parametrize(
        "make_indent, same_as",
        [
            pytest.param(lambda numpy: numpy.int64(3), 3, id="int64"),
            pytest.param(lambda numpy: numpy.uint8(5), 5, id="uint8"),
        ],
    )
    def test_numpy_indent_values(self, writer, make_indent, same_as):
        indent = make_indent(pytest.importorskip("numpy"))
        tree = Node("a", children=[Node("b", children=[Node("c")])])
        assert writer(tree, indent) == vorlane.write_string(tree, same_as)

    @pytest.mark.parametrize(
        "make_indent, error",
        [
            pytest.param(lambda numpy: numpy.int64(-2), OverflowError, id="int64-negative"),
            pytest.param(lambda numpy: numpy.float64(2.0), TypeError, id="float64"),
        ],
    )
    def test_numpy_indent_refused(self, writer, make_indent, error):
        indent = make_indent(pytest.importorskip("numpy"))
        with pytest.raises(error) as raised:
            writer(Node("r"), indent)
        assert notes_of(raised.value) == ["while processing 'indent'"]

    @pytest.mark.parametrize(
        "make_flag, with_declaration",
        [
            pytest.param(lambda numpy: numpy.bool_(True), True, id="true"),
            pytest.param(lambda numpy: numpy.bool_(False), False, id="false"),
            pytest.param(lambda numpy: numpy.True_, True, id="True_"),
            pytest.param(lambda numpy: numpy.float64(2.0) < 1, False, id="comparison"),
        ],
    )
    def test_numpy_declaration_flag(self, writer, make_flag, with_declaration):
        flag = make_flag(pytest.importorskip("numpy"))
        expected = (DECLARATION if with_declaration else "") + "<r/>"
        assert writer(Node("r"), default_xml_def=flag) == expected

    @pytest.mark.parametrize(
        "make_flag, type_name",
        [
            pytest.param(lambda numpy: numpy.int64(1), "int64", id="int64"),
            pytest.param(lambda numpy: numpy.array([1, 2]) > 1, "ndarray", id="array"),
        ],
    )
    def test_numpy_declaration_flag_refused(self, writer, make_flag, type_name):
        flag = make_flag(pytest.importorskip("numpy"))
        with pytest.raises(TypeError, match=f"^{re.escape(repr(type_name))} object is not an instance of ") as raised:
            writer(Node("r"), 4, flag)
        assert notes_of(raised.value) == ["while processing 'default_xml_def'"]

    def test_numpy_lookalike_without_truth_value(self, writer):
        lookalike = type("bool_", (), {"__module__": "numpy"})
        message = "object of type 'bool_' does not define a '__bool__' conversion"
        with pytest.raises(TypeError, match=f"^{re.escape(message)}") as raised:
            writer(Node("r"), 4, lookalike())
        assert raised.value.args == (message,)
        assert notes_of(raised.value) == ["while processing 'default_xml_def'"]

    @pytest.mark.parametrize("truth", [True, False])
    def test_numpy_lookalike_truth_value_used(self, writer, truth):
        lookalike = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: truth})
        expected = (DECLARATION if truth else "") + "<r/>"
        assert writer(Node("r"), None, lookalike()) == expected

    def test_numpy_lookalike_truth_value_raises(self, writer):
        def fail(self):
            raise ZeroDivisionError("no truth here")

        lookalike = type("bool_", (), {"__module__": "numpy", "__bool__": fail})
        with pytest.raises(ZeroDivisionError, match="^no truth here") as raised:
            writer(Node("r"), None, lookalike())
        assert notes_of(raised.value) == ["while processing 'default_xml_def'"]

    @pytest.mark.parametrize(
        "node, message",
        [
            pytest.param({"name": "r"}, "'dict' object is not an instance of 'Node'", id="dict"),
            pytest.param("<r/>", "'str' object is not an instance of 'Node'", id="str"),
            pytest.param(7, "'int' object is not an instance of 'Node'", id="int"),
            pytest.param(None, "'None' is not an instance of 'Node'", id="none"),
        ],
    )
    def test_node_refused(self, writer, node, message):
        with pytest.raises(TypeError, match=f"^{re.escape(message)}") as raised:
            writer(node)
        assert raised.value.args == (message,)
        assert notes_of(raised.value) == ["while processing 'node'"]

    @pytest.mark.parametrize(
        "args, kwargs, parameter",
        [
            pytest.param((1,), {"indent": 1.5, "default_xml_def": 1}, "node", id="node-first"),
            pytest.param((Node("r"),), {"indent": -1, "default_xml_def": 1}, "indent", id="indent-before-flag"),
        ],
    )
    def test_conversion_order(self, writer, args, kwargs, parameter):
        with pytest.raises((TypeError, OverflowError)) as raised:
            writer(*args, **kwargs)
        assert notes_of(raised.value) == [f"while processing '{parameter}'"]

    def test_file_path_converted_before_indent(self, tmp_path):
        with pytest.raises(TypeError) as raised:
            vorlane.write_file(Node("r"), 5, indent=-1)
        assert notes_of(raised.value) == ["while processing 'file_path'"]

    @pytest.mark.parametrize(
        "path, message",
        [
            pytest.param(b"out.xml", "'bytes' object is not an instance of 'str'", id="bytes"),
            pytest.param(None, "'None' is not an instance of 'str'", id="none"),
        ],
    )
    def test_file_path_refused(self, path, message):
        with pytest.raises(TypeError, match=f"^{re.escape(message)}") as raised:
            vorlane.write_file(Node("r"), path)
        assert notes_of(raised.value) == ["while processing 'file_path'"]

    def test_file_path_object_refused(self, tmp_path):
        path = tmp_path / "out.xml"
        with pytest.raises(TypeError) as raised:
            vorlane.write_file(Node("r"), path)
        assert notes_of(raised.value) == ["while processing 'file_path'"]
        assert not path.exists()

    def test_file_path_unencodable(self, tmp_path):
        with pytest.raises(UnicodeEncodeError) as raised:
            vorlane.write_file(Node("r"), str(tmp_path) + "/\udc80.xml")
        assert notes_of(raised.value) == ["while processing 'file_path'"]
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize(
        "function, args, kwargs, message",
        [
            pytest.param(vorlane.write_string, (), {},
                         "write_string() missing 1 required positional argument: 'node'", id="string-none"),
            pytest.param(vorlane.write_string, (Node("r"), 4, True, 1), {},
                         "write_string() takes from 1 to 3 positional arguments but 4 were given", id="string-four"),
            pytest.param(vorlane.write_string, (Node("r"),), {"spacing": 2},
                         "write_string() got an unexpected keyword argument 'spacing'", id="string-unexpected"),
            pytest.param(vorlane.write_string, (Node("r"), 2), {"indent": 2},
                         "write_string() got multiple values for argument 'indent'", id="string-multiple"),
            pytest.param(vorlane.write_string, (), {"indent": 2},
                         "write_string() missing 1 required positional argument: 'node'", id="string-keyword-only"),
            pytest.param(vorlane.write_file, (), {},
                         "write_file() missing 2 required positional arguments: 'node' and 'file_path'",
                         id="file-none"),
            pytest.param(vorlane.write_file, (Node("r"),), {},
                         "write_file() missing 1 required positional argument: 'file_path'", id="file-one"),
            pytest.param(vorlane.write_file, (Node("r"), "x", 4, True, 1), {},
                         "write_file() takes from 2 to 4 positional arguments but 5 were given", id="file-five"),
            pytest.param(vorlane.write_file, (Node("r"), "x"), {"node": Node("s")},
                         "write_file() got multiple values for argument 'node'", id="file-multiple"),
            pytest.param(vorlane.write_file, (Node("r"), "x"), {"path": "y"},
                         "write_file() got an unexpected keyword argument 'path'", id="file-unexpected"),
        ],
    )
    def test_binding_errors(self, function, args, kwargs, message, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as raised:
            function(*args, **kwargs)
        assert notes_of(raised.value) == []
        assert os.listdir(tmp_path) == []

    def test_keywords_only(self, tmp_path):
        path = tmp_path / "out.xml"
        tree = catalog()
        assert vorlane.write_file(default_xml_def=False, indent=2, file_path=str(path), node=tree) is None
        assert path.read_text(encoding="utf-8") == catalog_text(2)
        assert vorlane.write_string(default_xml_def=False, indent=2, node=tree) == catalog_text(2)


def wide_tree():
    """Over 8192 bytes in total, every piece small."""
    return Node(
        "rows",
        {"n": "300"},
        [Node("row", {"id": str(index), "v": f"a&b<{index}>"}, text=f"text {index} & more") for index in range(300)],
    )


def big_pieces_tree():
    """Single pieces around and above the file buffer's 8192 bytes."""
    return Node(
        "big",
        {"long": "q\"" * 6000},
        [
            Node("t8191", text="x" * 8191),
            Node("t8192", text="y" * 8192),
            Node("t8193", text="z" * 8193),
            Node("t20000", text="w" * 20000),
            Node("escaped", text="<&>" * 7000),
            Node("n" * 9000, {"k" * 9000: "v" * 9000}),
            Node("utf8", text="\u00e9\u65e5\U0001f600" * 3000),
        ],
    )


def chain(depth):
    """Nested `depth` levels: at 255 spaces a level, the deepest lines are indented
    by more than the file buffer holds."""
    node = Node("leaf", text="t")
    for _ in range(depth):
        node = Node("d", children=[node, Node("s")])
    return node


FILE_TREES = [
    pytest.param(catalog, id="catalog"),
    pytest.param(lambda: Node("r"), id="bare"),
    pytest.param(wide_tree, id="wide"),
    pytest.param(big_pieces_tree, id="big-pieces"),
    pytest.param(lambda: Node("r", text="x" * 8152), id="declaration-fills-buffer"),
    pytest.param(lambda: Node("r", children=[
        Node("pad", text="x" * shift) for shift in range(8100, 8200, 3)] * 2 + [Node("tag", {"key": "v"})] * 700),
        id="tags-at-every-buffer-offset"),
    pytest.param(lambda: Node("r", children=[
        Node("a" * (1 + key % 17), {"k" * key: "v" * value + extra}, text="t" * value + extra)
        for key in range(1, 18) for value in range(17) for extra in ("", "\u00e9", "&", "\u65e5\"")]),
        id="short-strings-of-every-length"),
    pytest.param(lambda: chain(40), id="deep-indentation"),
    pytest.param(lambda: vorlane.read_string(
        "<r a='1'>" + "<c k='&amp;'>text &lt; here</c>" * 2000 + "</r>", "r"), id="parsed"),
]


class TestWriteFile:
    @pytest.mark.parametrize("make_tree", FILE_TREES)
    @pytest.mark.parametrize(
        "args",
        [
            pytest.param((), id="defaults"),
            pytest.param((0, False), id="flat"),
            pytest.param((3, True), id="3"),
            pytest.param((255, True), id="255"),
        ],
    )
    def test_file_equals_string(self, make_tree, args, tmp_path):
        tree = make_tree()
        path = tmp_path / "out.xml"
        assert vorlane.write_file(tree, str(path), *args) is None
        assert path.read_bytes() == vorlane.write_string(tree, *args).encode("utf-8")

    def test_big_pieces_written_whole(self, tmp_path):
        path = tmp_path / "out.xml"
        vorlane.write_file(big_pieces_tree(), str(path), 0, False)
        content = path.read_text(encoding="utf-8")
        assert "<t20000>" + "w" * 20000 + "</t20000>" in content
        assert ' long="' + "q&quot;" * 6000 + '"' in content
        assert "<" + "n" * 9000 + " " + "k" * 9000 + '="' + "v" * 9000 + '"/>' in content

    def test_truncates_existing_file(self, tmp_path):
        path = tmp_path / "out.xml"
        path.write_bytes(b"old content " * 10_000)
        path.chmod(0o600)
        vorlane.write_file(Node("r"), str(path))
        assert path.read_bytes() == (DECLARATION + "<r/>").encode()
        assert stat.S_IMODE(path.stat().st_mode) == 0o600

    @pytest.mark.parametrize("mask", [0o022, 0o077, 0o000, 0o137])
    def test_creates_missing_file_with_umask(self, mask, tmp_path):
        path = tmp_path / "new.xml"
        old_mask = os.umask(mask)
        try:
            vorlane.write_file(Node("r"), str(path))
        finally:
            os.umask(old_mask)
        assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~mask
        assert path.read_bytes() == (DECLARATION + "<r/>").encode()

    def test_missing_directory(self, tmp_path):
        message = "No such file or directory (os error 2)"
        with pytest.raises(FileNotFoundError, match=f"^{re.escape(message)}$") as raised:
            vorlane.write_file(Node("r"), str(tmp_path / "nowhere" / "out.xml"))
        error = raised.value
        assert error.args == (message,)
        assert (error.errno, error.strerror, error.filename) == (None, None, None)
        assert os.listdir(tmp_path) == []

    def test_path_is_directory(self, tmp_path):
        message = "Is a directory (os error 21)"
        with pytest.raises(IsADirectoryError, match=f"^{re.escape(message)}$") as raised:
            vorlane.write_file(Node("r"), str(tmp_path))
        assert raised.value.errno is None

    def test_component_not_a_directory(self, tmp_path):
        plain = tmp_path / "plain"
        plain.write_text("keep")
        message = "Not a directory (os error 20)"
        with pytest.raises(NotADirectoryError, match=f"^{re.escape(message)}$"):
            vorlane.write_file(Node("r"), str(plain / "out.xml"))
        assert plain.read_text() == "keep"

    @pytest.mark.parametrize("tree", [pytest.param(Node("r"), id="small"), pytest.param(wide_tree(), id="wide")])
    def test_write_error_reported(self, tree):
        if not os.path.exists("/dev/full"):
            pytest.skip("this system has no /dev/full")
        message = "No space left on device (os error 28)"
        with pytest.raises(OSError, match=f"^{re.escape(message)}$") as raised:
            vorlane.write_file(tree, "/dev/full")
        assert type(raised.value) is OSError
        assert raised.value.errno is None

    def test_nul_in_path_creates_nothing(self, tmp_path):
        message = "file name contained an unexpected NUL byte"
        with pytest.raises(OSError, match=f"^{re.escape(message)}$") as raised:
            vorlane.write_file(Node("r"), str(tmp_path / "a\0b.xml"))
        assert type(raised.value) is OSError
        assert (raised.value.errno, raised.value.filename) == (None, None)
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize(
        "args, error",
        [
            pytest.param((Node("r"), 4294967296), OverflowError, id="indent-too-large"),
            pytest.param((Node("r"), -1), OverflowError, id="indent-negative"),
            pytest.param((Node("r"), 2.5), TypeError, id="indent-float"),
            pytest.param((Node("r"), 4, 1), TypeError, id="flag-int"),
            pytest.param(({"name": "r"},), TypeError, id="node-dict"),
        ],
    )
    def test_argument_error_leaves_file_untouched(self, args, error, tmp_path):
        existing = tmp_path / "existing.xml"
        existing.write_bytes(b"<keep/>")
        missing = tmp_path / "missing.xml"
        node, *rest = args
        with pytest.raises(error):
            vorlane.write_file(node, str(existing), *rest)
        with pytest.raises(error):
            vorlane.write_file(node, str(missing), *rest)
        assert existing.read_bytes() == b"<keep/>"
        assert not missing.exists()


ROUND_TRIP_DOCUMENTS = [
    pytest.param(
        "<catalog id='7'><book lang='en'>Tom &amp; Jerry's</book><shelf/>"
        "<box>a&lt;b<item note='x&#9;y&quot;z'/></box></catalog>",
        "catalog",
        id="catalog",
    ),
    pytest.param("<a>x<b/>y<c>z</c>w</a>", "a", id="mixed-content"),
    pytest.param("<a> <![CDATA[ <x> & ]]> </a>", "a", id="cdata"),
    pytest.param("<a t='l1&#10;l2&#13;&#9;' u='&lt;&gt;&amp;&quot;&apos;' v=''/>", "a", id="attribute-escapes"),
    pytest.param("<a>line1\nline2\r\n\tline3</a>", "a", id="text-whitespace"),
    pytest.param("<r>\u00e9&#x1F600;<\u65e5 \u043a='\u00fc'>\u00a0x\u00a0</\u65e5></r>", "r", id="non-ascii"),
    pytest.param("<doc><r><r>inner</r><s/></r></doc>", "r", id="nested-same-name"),
    pytest.param("<a>" * 60 + "deep" + "</a>" * 60, "a", id="sixty-levels"),
    pytest.param(
        "<recs>" + "".join(
            f"<rec id='{i}' a='{i % 3}' b='b&amp;{i}' c=\"it's\">v{i} &lt; {i + 1}<sub n='{i}'/></rec>"
            for i in range(500)
        ) + "</recs>",
        "recs",
        id="records",
    ),
]


class TestRoundTrip:
    @pytest.mark.parametrize("document, root_tag", ROUND_TRIP_DOCUMENTS)
    @pytest.mark.parametrize(
        "args", [pytest.param((), id="defaults"), pytest.param((0, False), id="flat"), pytest.param((2, True), id="2")]
    )
    def test_read_write_read(self, document, root_tag, args, tmp_path):
        first = vorlane.read_string(document, root_tag)
        written = vorlane.write_string(first, *args)
        assert tree_of(vorlane.read_string(written, root_tag)) == tree_of(first)
        path = tmp_path / "out.xml"
        vorlane.write_file(first, str(path), *args)
        assert tree_of(vorlane.read_file(str(path), root_tag)) == tree_of(first)

    def test_constructed_tree_round_trip(self):
        tree = Node(
            "r",
            {"a": "\t<&>\"'\r\n", "b": "\u00e9"},
            [Node("c", text="x < y & z", children=[Node("d", {"k": "v"})]), Node("e", text="'\"")],
            text="top",
        )
        again = vorlane.read_string(vorlane.write_string(tree), "r")
        assert tree_of(again) == tree_of(tree)


@pytest.fixture(scope="module")
def large_tree():
    """Over 30 MB of output from few nodes with long texts that need escaping, so
    that rendering, which runs without the interpreter lock, dominates a write."""
    chunk = "fish & chips <with> \"sauce\" and 'salt' " * 8_000
    return Node("big", children=[Node("part", {"n": str(index)}, text=chunk) for index in range(100)])


class TestThreads:
    @pytest.mark.slow
    def test_other_thread_runs_during_write_string(self, large_tree):
        written, notes = progress_during(lambda: vorlane.write_string(large_tree))
        assert len(written) > 30_000_000
        assert notes >= 10

    @pytest.mark.slow
    def test_other_thread_runs_during_write_file(self, large_tree, tmp_path):
        path = tmp_path / "large.xml"
        result, notes = progress_during(lambda: vorlane.write_file(large_tree, str(path)))
        assert result is None
        assert path.stat().st_size > 30_000_000
        assert notes >= 10


DEEP_WRITE_SCRIPT = r"""
import vorlane

depth = 1_000_000
expected = "\n".join(["<a>"] * (depth - 1) + ["<a>x</a>"] + ["</a>"] * (depth - 1))

parsed = vorlane.read_string("<a>" * depth + "x" + "</a>" * depth, "a")
assert vorlane.write_string(parsed, 0, False) == expected
vorlane.write_file(parsed, PATH, 0, False)
with open(PATH, encoding="utf-8") as handle:
    assert handle.read() == expected
del parsed

built = vorlane.Node("a", text="x")
for _ in range(depth - 1):
    built = vorlane.Node("a", children=[built])
assert vorlane.write_string(built, 0, False) == expected
assert vorlane.write_string(built, default_xml_def=True, indent=0) == '<?xml version="1.0" encoding="utf-8"?>\n' + expected
del built
print("ok")
"""


@pytest.mark.slow
def test_million_levels_deep_written(tmp_path):
    script = DEEP_WRITE_SCRIPT.replace("PATH", repr(str(tmp_path / "deep.xml")))
    completed = run_python(script)
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert completed.stdout.strip() == "ok"


TEXT_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
ATTRIBUTE_ESCAPES = {**TEXT_ESCAPES, "\t": "&#9;", "\r": "&#13;", "\n": "&#10;"}


def escaped(value, table):
    return "".join(table.get(character, character) for character in value)


def expected_leaf(name, key, value, text):
    return f'<{name} {key}="{escaped(value, ATTRIBUTE_ESCAPES)}">{escaped(text, TEXT_ESCAPES)}</{name}>'


class TestOutputCharacters:
    @pytest.mark.parametrize(
        "piece",
        [
            "plain",
            "",
            "x" * 15 + "é",
            "x" * 16 + "é",
            "x" * 17 + "é" + "y" * 40,
            "é" + "x" * 40,
            "ÿ\x80\x7f",
            "€" + "a" * 31,
            "名前" * 20,
            "a😀" * 9,
            "\U0010ffff",
        ],
    )
    @pytest.mark.parametrize("where", ["name", "key", "value", "text"])
    def test_exact_output_ascii_or_not(self, piece, where, tmp_path):
        parts = {"name": "n", "key": "k", "value": "v<&", "text": "t'\""}
        parts[where] = (parts[where] + piece) if where in ("value", "text") else "n" + piece
        node = Node(parts["name"], {parts["key"]: parts["value"]}, text=parts["text"])
        expected = expected_leaf(parts["name"], parts["key"], parts["value"], parts["text"])
        written = vorlane.write_string(node, default_xml_def=False)
        assert written == expected
        assert written.isascii() == expected.isascii()
        path = tmp_path / "out.xml"
        vorlane.write_file(node, str(path), default_xml_def=False)
        assert path.read_bytes() == expected.encode("utf-8")

    @pytest.mark.parametrize("text", ["ascii only", "naïve", "Ω", "😀"])
    def test_result_is_a_plain_str_equal_to_its_utf8(self, text):
        written = vorlane.write_string(Node("a", text=text))
        assert type(written) is str
        assert written == DECLARATION + f"<a>{text}</a>"
        assert written.encode("utf-8").decode("utf-8") == written


class TestLongRuns:
    """Runs of plain bytes and escaped bytes placed around the machine-word and
    16-byte blocks the escaping scan reads, and around the 8192-byte file buffer."""

    @pytest.mark.parametrize("length", [8191, 8192, 8193])
    @pytest.mark.parametrize("special", ["&", "\n", "é", "😀"])
    @pytest.mark.parametrize("position", ["start", "end", "middle", "none", "every-16"])
    def test_run_lengths_around_the_file_buffer(self, length, special, position, tmp_path):
        if position == "start":
            value = special + "r" * length
        elif position == "end":
            value = "r" * length + special
        elif position == "middle":
            value = "r" * (length // 2) + special + "r" * (length - length // 2)
        elif position == "none":
            value = "r" * length
        else:
            value = "".join(special if index % 16 == 15 else "r" for index in range(length))
        node = Node("root", children=[Node("a", {"k": value}, text=value), Node("b", text=value)])
        expected = (
            "<root>\n  "
            + expected_leaf("a", "k", value, value)
            + f"\n  <b>{escaped(value, TEXT_ESCAPES)}</b>\n</root>"
        )
        assert vorlane.write_string(node, indent=2, default_xml_def=False) == expected
        path = tmp_path / "long.xml"
        vorlane.write_file(node, str(path), indent=2, default_xml_def=False)
        assert path.read_bytes() == expected.encode("utf-8")


class TestThreadsDroppingReferences:
    """The writer reads the tree's records in place with the lock released; other
    threads taking and dropping their own references to parts of the tree meanwhile
    must change nothing in the output."""

    @staticmethod
    def document():
        rows = "".join(
            f'<row id="{index}" kind="k{index % 7}" note="a &amp; b">text {index} &lt;x&gt;'
            f'<cell n="{index}">é{index}</cell><cell/></row>'
            for index in range(20_000)
        )
        return f"<table name='t'>{rows}</table>"

    @pytest.mark.parametrize("function", ["write_string", "write_file"])
    def test_output_unchanged_while_references_come_and_go(self, function, tmp_path):
        import threading

        root = vorlane.read_string(self.document(), "table")
        expected = vorlane.write_string(root)
        path = tmp_path / "threads.xml"
        outputs = []
        done = threading.Event()

        def write():
            try:
                for _ in range(4):
                    if function == "write_string":
                        outputs.append(vorlane.write_string(root))
                    else:
                        vorlane.write_file(root, str(path))
                        outputs.append(path.read_text(encoding="utf-8"))
            finally:
                done.set()

        thread = threading.Thread(target=write)
        thread.start()
        drops = 0
        while not done.is_set():
            rows = root.children
            cells = root.search_by_name("cell")
            other = Node("other", children=rows[::3])
            copy = Node.from_dict(rows[drops % len(rows)].to_dict())
            del rows, cells, other, copy
            drops += 1
        thread.join()
        assert drops > 0
        assert len(outputs) == 4
        assert all(output == expected for output in outputs)

    def test_other_tree_sharing_subtrees_released_during_write(self):
        import threading

        shared = [Node("s", {"i": str(index)}, text="x" * 50) for index in range(50_000)]
        kept = Node("kept", children=shared)
        expected = vorlane.write_string(kept)
        outputs = []

        def write():
            for _ in range(3):
                outputs.append(vorlane.write_string(kept))

        thread = threading.Thread(target=write)
        thread.start()
        while thread.is_alive():
            # Another tree holding the same children is made and released, and
            # this thread's own list of the children is dropped too.
            parts = kept.children
            temporary = Node("temporary", children=parts)
            del parts, temporary
        thread.join()
        del shared
        assert outputs == [expected] * 3
