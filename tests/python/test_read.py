"""read_string and read_file: trees, reader messages, both index builders, the
lifetime of the input, the released interpreter lock, file errors and binding."""

import gc
import os
import pathlib
import re
import sys
import threading

import pytest

import vorlane
from tree_helpers import (
    element,
    progress_during,
    run_python,
    tree_of,
    with_builder,
)

BUILDERS = ["sequential", "bitmap"]


def fresh(text):
    """A str object of its own (not interned, not shared with a constant)."""
    return "".join([text[: len(text) // 2], text[len(text) // 2 :]])


# Documents that read the same under both index builders: (document, root tag,
# expected tree).
READ_CASES = [
    pytest.param(
        "<doc><meta/><data><item/></data></doc>",
        "data",
        element("data", children=[element("item")]),
        id="root-found-inside",
    ),
    pytest.param(
        "<doc><data><item/></data><bad></oops>",
        "data",
        element("data", children=[element("item")]),
        id="nothing-after-root-walked",
    ),
    pytest.param("<a>x<b/>y</a>", "a", element("a", text="xy", children=[element("b")]), id="text-joined"),
    pytest.param(
        "<a>x <b/> y</a>", "a", element("a", text="x  y", children=[element("b")]), id="inner-spaces-kept"
    ),
    pytest.param("<a>x<!--c-->y</a>", "a", element("a", text="xy"), id="comment-removed"),
    pytest.param("<a>x<?pi data?>y</a>", "a", element("a", text="xy"), id="instruction-removed"),
    pytest.param("<a>  </a>", "a", element("a"), id="whitespace-text-absent"),
    pytest.param("<a></a>", "a", element("a"), id="empty-text-absent"),
    pytest.param("<a> <![CDATA[ x ]]> </a>", "a", element("a", text="x"), id="cdata-pieces-trimmed"),
    pytest.param("<a><![CDATA[a<b & c]]></a>", "a", element("a", text="a<b & c"), id="cdata-literal"),
    pytest.param("<a><![CDATA[]]></a>", "a", element("a"), id="cdata-empty"),
    pytest.param("<a>&#32;x</a>", "a", element("a", text="x"), id="trim-after-decoding"),
    pytest.param("<a>x&amp;y</a>", "a", element("a", text="x&y"), id="entity-decoded"),
    pytest.param("<a>&amp;amp;</a>", "a", element("a", text="&amp;"), id="decoded-once"),
    pytest.param(
        "<a>&lt;&gt;&amp;&quot;&apos;</a>", "a", element("a", text="<>&\"'"), id="five-entities"
    ),
    pytest.param("<a>&#65;&#x41;&#x0041;&#+65;</a>", "a", element("a", text="AAAA"), id="char-refs"),
    pytest.param("<a>&#0;</a>", "a", element("a", text="\x00"), id="char-ref-zero"),
    pytest.param("<a>&#x1F600;&#233;</a>", "a", element("a", text="\U0001f600\u00e9"), id="char-ref-non-ascii"),
    pytest.param("<a>line1\nline2</a>", "a", element("a", text="line1\nline2"), id="text-line-break-kept"),
    pytest.param(
        "<a>\u00a0\u3000 x \u2028\u0085</a>", "a", element("a", text="x"), id="unicode-whitespace-trimmed"
    ),
    pytest.param(
        "<a>\u00e9 \u00fc \u65e5\u672c \U0001f600</a>",
        "a",
        element("a", text="\u00e9 \u00fc \u65e5\u672c \U0001f600"),
        id="non-ascii-text",
    ),
    pytest.param(
        "<r>  a  <c/>  b  </r>", "r", element("r", text="a    b", children=[element("c")]), id="trim-ends-only"
    ),
    pytest.param("<r></r >", "r", element("r"), id="end-tag-trailing-space"),
    pytest.param("<r></r \u00a0\u3000>", "r", element("r"), id="end-tag-trailing-unicode-space"),
    pytest.param("<x>&foo;</x><r/>", "r", element("r"), id="outer-text-not-decoded"),
    pytest.param("<x a=1><r/></x>", "r", element("r"), id="outer-start-tag-attrs-not-examined"),
    pytest.param(
        "<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><r/>", "r", element("r"), id="declaration-doctype"
    ),
    pytest.param("<!---->\n<r/>", "r", element("r"), id="empty-comment"),
    pytest.param(
        "<r>it's <i>x</i> isn't</r>",
        "r",
        element("r", text="it's  isn't", children=[element("i", text="x")]),
        id="apostrophes-in-text",
    ),
    pytest.param("<r>it's <b/></r>", "r", element("r", text="it's", children=[element("b")]), id="one-apostrophe"),
    pytest.param('<r a="1">"quoted<b/></r>', "r", element("r", {"a": "1"}, "\"quoted", [element("b")]), id="quote-in-text"),
    pytest.param(
        "<r><!-- don't --><![CDATA[it's \"x]]><?pi a'b?>'<b/></r>",
        "r",
        element("r", text="it's \"x'", children=[element("b")]),
        id="quotes-in-comment-cdata-instruction",
    ),
    pytest.param(
        "<!DOCTYPE r [<!ENTITY f '> <r>fake</r>'>]><r>real</r>", "r", element("r", text="real"), id="subset-entity-markup"
    ),
    pytest.param(
        "<!DOCTYPE r SYSTEM 'r[.dtd' [<!-- ]> --><?p ]>?><!ATTLIST r a CDATA \"]><r>\">] >\n<r>real</r>",
        "r",
        element("r", text="real"),
        id="subset-comment-instruction-quoted",
    ),
    pytest.param("<!DOCTYPE r SYSTEM 'x>y'><r/>", "r", element("r"), id="doctype-without-subset-first-gt"),
    pytest.param(
        "<a><a>in</a></a>", "a", element("a", children=[element("a", text="in")]), id="same-name-child"
    ),
    pytest.param(
        "<x><r><r/></r><r>second</r></x>", "r", element("r", children=[element("r")]), id="first-root-wins"
    ),
    pytest.param("<a:b c:d='1'/>", "a:b", element("a:b", {"c:d": "1"}), id="prefixed-name-bytewise"),
    pytest.param("<A/><a/>", "a", element("a"), id="root-case-sensitive"),
    pytest.param(
        "<a x = '1'\ty\n=\"2\"/>", "a", element("a", {"x": "1", "y": "2"}), id="spaces-around-equals"
    ),
    pytest.param(
        "<a x='say \"hi\"' y=\"it's\"/>",
        "a",
        element("a", {"x": 'say "hi"', "y": "it's"}),
        id="other-quote-inside-value",
    ),
    pytest.param("<a x='a>b'></a>", "a", element("a", {"x": "a>b"}), id="gt-in-value"),
    pytest.param("<a x='1' X='2'/>", "a", element("a", {"x": "1", "X": "2"}), id="keys-case-sensitive"),
    pytest.param(
        "<a t='l1\nl2' u='c\r\nd' v='e\rf' w='g\n\rh' x='i\tj' y='&#10;&#9;'/>",
        "a",
        element("a", {"t": "l1 l2", "u": "c d", "v": "e f", "w": "g  h", "x": "i j", "y": "\n\t"}),
        id="attribute-whitespace-normalised",
    ),
    pytest.param(
        "<a k='&lt;&amp;&gt;' e='' n='\u00e9\U0001f600'/>",
        "a",
        element("a", {"k": "<&>", "e": "", "n": "\u00e9\U0001f600"}),
        id="attribute-values",
    ),
    pytest.param(
        "<lib><book id='1'>One<note>n1</note></book>\n  <book id='2'/></lib>",
        "lib",
        element(
            "lib",
            children=[
                element("book", {"id": "1"}, "One", [element("note", text="n1")]),
                element("book", {"id": "2"}),
            ],
        ),
        id="nested-children-in-order",
    ),
]


# Documents that fail the same way under both index builders: (document, root tag,
# message template, offset of the error or None). "{offset}" in the template is
# filled with the offset, moved by whatever stands before the document.
READ_ERRORS = [
    pytest.param("", "r", "root tag <r> not found in document", None, id="empty-document"),
    pytest.param("<x/>", "r", "root tag <r> not found in document", None, id="root-missing"),
    pytest.param("<r/>", "", "root tag <> not found in document", None, id="empty-root-tag"),
    pytest.param(
        "<r><a></r>", "r", "malformed XML at byte {offset}: expected </a>, found </r>", 6, id="mismatched-end-tag"
    ),
    pytest.param("<r", "r", "malformed XML: Unclosed tag at byte {offset}", 0, id="unclosed-tag"),
    pytest.param("<r>a</r", "r", "malformed XML: Unclosed tag at byte {offset}", 4, id="unclosed-end-tag"),
    pytest.param(
        "<r>\u00e9&bad;</r>", "r", "unknown entity reference '&bad;' at byte {offset}", 5, id="entity-after-e-acute"
    ),
    pytest.param(
        "<r>\u65e5\u672c<a></r>",
        "r",
        "malformed XML at byte {offset}: expected </a>, found </r>",
        12,
        id="offset-after-cjk",
    ),
    pytest.param(
        "<r a='\u00e9'><b>\U0001f600&;</b></r>",
        "r",
        "unknown entity reference '&;' at byte {offset}",
        17,
        id="offset-after-emoji",
    ),
    pytest.param(
        "<r>\u00fc<a x='1'y='2'/></r>",
        "r",
        "malformed XML at byte {offset}: expected whitespace before attribute",
        13,
        id="attribute-offset-after-u-umlaut",
    ),
    pytest.param("<r><a>", "r", "unexpected end of document: <a> is never closed", None, id="unclosed-child"),
    pytest.param("<r>", "r", "unexpected end of document: <r> is never closed", None, id="unclosed-root"),
    pytest.param("</x><r/>", "r", "malformed XML at byte {offset}: unexpected end tag </x>", 0, id="stray-end-tag"),
    pytest.param(
        "<r></r\u00a0>",
        "r",
        "malformed XML at byte {offset}: expected </r>, found </r\u00a0>",
        3,
        id="end-name-runs-to-ascii-space",
    ),
    pytest.param("<r></r x>", "r", "malformed XML at byte {offset}: malformed end tag </r>", 3, id="end-tag-attrs"),
    pytest.param(
        "<x a=1/><r/>",
        "r",
        "malformed XML at byte {offset}: value of attribute 'a' is not quoted",
        5,
        id="outer-empty-tag-tokenized",
    ),
    pytest.param(
        "<x></y><r/>", "r", "malformed XML at byte {offset}: expected </x>, found </y>", 3, id="outer-end-tags-matched"
    ),
    pytest.param(
        "<a x='1'y='2'></a>",
        "a",
        "malformed XML at byte {offset}: expected whitespace before attribute",
        8,
        id="no-space-between-attrs",
    ),
    pytest.param(
        "<a/b></a>", "a", "malformed XML at byte {offset}: expected whitespace before attribute", 2, id="slash-in-tag"
    ),
    pytest.param(
        "<a x='a<b'></a>",
        "a",
        "malformed XML at byte {offset}: '<' is not allowed in attribute values",
        7,
        id="lt-in-value",
    ),
    pytest.param("<a x></a>", "a", "malformed XML at byte {offset}: attribute 'x' has no value", 3, id="no-value"),
    pytest.param(
        "<a x y='1'></a>", "a", "malformed XML at byte {offset}: attribute 'x' has no value", 3, id="no-equals"
    ),
    pytest.param(
        "<a x=1></a>", "a", "malformed XML at byte {offset}: value of attribute 'x' is not quoted", 5, id="unquoted"
    ),
    pytest.param(
        "<a x=></a>", "a", "malformed XML at byte {offset}: value of attribute 'x' is not quoted", 5, id="value-missing"
    ),
    pytest.param("<a ='1'></a>", "a", "malformed XML at byte {offset}: expected attribute name", 3, id="no-name"),
    pytest.param(
        "<a x='1' x='2'></a>", "a", "malformed XML at byte {offset}: duplicate attribute 'x'", 9, id="duplicate"
    ),
    pytest.param("<>", "r", "malformed XML at byte {offset}: expected element name after '<'", 0, id="empty-name"),
    pytest.param(
        "<r>< a/></r>", "r", "malformed XML at byte {offset}: expected element name after '<'", 3, id="space-name"
    ),
    pytest.param(
        "<a>AT&T</a>", "a", "malformed XML at byte {offset}: unterminated entity reference", 5, id="unterminated-entity"
    ),
    pytest.param("<a>AT&T;x</a>", "a", "unknown entity reference '&T;' at byte {offset}", 5, id="entity-T"),
    pytest.param("<a>&nbsp;</a>", "a", "unknown entity reference '&nbsp;' at byte {offset}", 3, id="nbsp"),
    pytest.param("<a>&LT;</a>", "a", "unknown entity reference '&LT;' at byte {offset}", 3, id="entity-case"),
    pytest.param("<a>x&;</a>", "a", "unknown entity reference '&;' at byte {offset}", 4, id="empty-entity"),
    pytest.param("<a b='&bad;'/>", "a", "unknown entity reference '&bad;' at byte {offset}", 6, id="entity-in-attr"),
    pytest.param(
        "<a>&#X41;</a>",
        "a",
        "malformed XML at byte {offset}: invalid character reference '&#X41;'",
        3,
        id="capital-x",
    ),
    pytest.param(
        "<a>&#xD800;</a>",
        "a",
        "malformed XML at byte {offset}: invalid character reference '&#xD800;'",
        3,
        id="surrogate-ref",
    ),
    pytest.param(
        "<a>&#1114112;</a>",
        "a",
        "malformed XML at byte {offset}: invalid character reference '&#1114112;'",
        3,
        id="above-max-ref",
    ),
    pytest.param(
        "<a>&#4294967361;</a>",
        "a",
        "malformed XML at byte {offset}: invalid character reference '&#4294967361;'",
        3,
        id="overflowing-ref",
    ),
    pytest.param(
        "<a>&#12a;</a>", "a", "malformed XML at byte {offset}: invalid character reference '&#12a;'", 3, id="bad-digit"
    ),
    pytest.param(
        "<r><?pi x</r>", "r", "malformed XML at byte {offset}: unterminated processing instruction", 3, id="open-pi"
    ),
    pytest.param(
        "<r/><!DOCTYPE r [<!ENTITY f '> <r>fake</r>'><r>x</r>",
        "r",
        "malformed XML at byte {offset}: unterminated document type declaration",
        4,
        id="open-internal-subset",
    ),
    pytest.param(
        "<!DOCTYPE r [ <!-- ]> <r/>",
        "r",
        "malformed XML at byte {offset}: unterminated document type declaration",
        0,
        id="open-comment-in-subset",
    ),
    pytest.param(
        "<!DOCTYPE r [ ] x><r/>",
        "r",
        "malformed XML at byte {offset}: unterminated document type declaration",
        0,
        id="text-after-subset",
    ),
]


# A prefix of records with four double-quoted attributes each makes the sample pick
# the bitmap builder for whatever follows, as any attribute-heavy export does.
QUOTE_DENSE_ROWS = "".join(f'<row id="{i}" a="1" b="2" c="3"/>' for i in range(20))


@pytest.mark.parametrize(
    "document, root_tag, expected",
    [
        pytest.param(
            f"<r>{QUOTE_DENSE_ROWS}<note>Bob's file</note><x/></r>",
            "note",
            element("note", text="Bob's file"),
            id="apostrophe-before-sibling",
        ),
        pytest.param(
            f"<r>{QUOTE_DENSE_ROWS}<p>it's <b/> Bob's</p></r>",
            "p",
            element("p", text="it's  Bob's", children=[element("b")]),
            id="apostrophes-around-child",
        ),
        pytest.param(
            '<r a0="0" a1="1" a2="2" a3="3" a4="4" a5="5">Tom\'s</r>',
            "r",
            element("r", {f"a{i}": str(i) for i in range(6)}, "Tom's"),
            id="six-attributes-then-apostrophe",
        ),
    ],
)
def test_quote_dense_documents_read_like_any_other(document, root_tag, expected):
    assert document[:4096].count('"') > 5 * max(document[:4096].count("<"), 1)
    assert tree_of(vorlane.read_string(document, root_tag)) == expected


# Ends of a one-piece text: visible ASCII (kept as it is), ASCII white space, and
# white space or letters outside ASCII, whose first or last byte is not ASCII.
TEXT_ENDS = [
    pytest.param("", "", id="bare"),
    pytest.param(" ", "", id="space"),
    pytest.param("\t\r\n", "", id="control-space"),
    pytest.param("\u00a0", "", id="nbsp"),
    pytest.param("\u3000", "", id="ideographic-space"),
    pytest.param("\u0085", "", id="next-line"),
    pytest.param("~", "~", id="tilde"),
    pytest.param("!", "!", id="exclamation"),
    pytest.param("\x7f", "\x7f", id="delete"),
    pytest.param("\u00e9", "\u00e9", id="e-acute"),
]


@pytest.mark.parametrize("builder", BUILDERS)
@pytest.mark.parametrize("core", ["x", "x y", "\u65e5"])
@pytest.mark.parametrize("head, kept_head", TEXT_ENDS)
@pytest.mark.parametrize("tail, kept_tail", TEXT_ENDS)
def test_one_piece_text_trimmed_at_both_ends(core, head, kept_head, tail, kept_tail, builder):
    document, _ = with_builder(f"<a>{head}{core}{tail}</a><!-- after -->", builder)
    assert vorlane.read_string(document, "a").text == kept_head + core + kept_tail


class TestReadString:
    @pytest.mark.parametrize("builder", BUILDERS)
    @pytest.mark.parametrize("document, root_tag, expected", READ_CASES)
    def test_tree(self, document, root_tag, expected, builder):
        text, _ = with_builder(document, builder)
        assert tree_of(vorlane.read_string(text, root_tag)) == expected

    @pytest.mark.parametrize("builder", BUILDERS)
    @pytest.mark.parametrize("document, root_tag, template, offset", READ_ERRORS)
    def test_error_message(self, document, root_tag, template, offset, builder):
        text, shift = with_builder(document, builder)
        message = template.format(offset=None if offset is None else offset + shift)
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$") as raised:
            vorlane.read_string(text, root_tag)
        assert raised.value.args == (message,)

    def test_str_subclass_accepted(self):
        class Text(str):
            pass

        node = vorlane.read_string(Text("<r>x</r>"), Text("r"))
        assert tree_of(node) == element("r", text="x")

    def test_keyword_arguments(self):
        node = vorlane.read_string(root_tag="r", xml_string="<r a='1'/>")
        assert tree_of(node) == element("r", {"a": "1"})

    def test_getters_give_fresh_containers_with_shared_children(self):
        node = vorlane.read_string("<r><a/><b/></r>", "r")
        first, second = node.children, node.children
        assert first is not second
        assert all(x is y for x, y in zip(first, second))
        first.clear()
        assert [child.name for child in node.children] == ["a", "b"]


# Documents that the two index builders treat differently on purpose: (document,
# root tag, outcome under the sequential builder, outcome under the bitmap builder).
# An outcome is a tree, or a pair (message template, offset).
BUILDER_DIFFERENCES = [
    pytest.param(
        "<a>x</a><", "a", ("malformed XML: Unclosed tag at byte {offset}", 8), element("a", text="x"),
        id="lt-in-last-byte",
    ),
    pytest.param(
        "<r/><", "r", ("malformed XML: Unclosed tag at byte {offset}", 4), element("r"), id="lt-after-empty-root"
    ),
    pytest.param(
        "<r></r><!-- x",
        "r",
        ("malformed XML at byte {offset}: unexpected end of document", 13),
        ("malformed XML: Unclosed tag at byte {offset}", 7),
        id="open-comment-after-root",
    ),
    pytest.param(
        "<r><!-- x",
        "r",
        ("malformed XML at byte {offset}: unexpected end of document", 9),
        ("malformed XML: Unclosed tag at byte {offset}", 3),
        id="open-comment-no-gt",
    ),
    pytest.param(
        "<r><!-- a > b",
        "r",
        ("malformed XML at byte {offset}: unexpected end of document", 13),
        ("malformed XML at byte {offset}: unterminated comment", 3),
        id="open-comment-with-gt",
    ),
    pytest.param(
        "<r><![CDATA[x</r>",
        "r",
        ("malformed XML at byte {offset}: unexpected end of document", 17),
        ("malformed XML at byte {offset}: unterminated CDATA section", 3),
        id="open-cdata",
    ),
    pytest.param(
        "<r x='1></r>",
        "r",
        ("malformed XML at byte {offset}: unterminated attribute value", 6),
        ("malformed XML: Unclosed tag at byte {offset}", 0),
        id="open-attribute-quote",
    ),
]


class TestIndexBuilders:
    @staticmethod
    def check_outcome(text, root_tag, outcome, shift):
        if isinstance(outcome[1], dict):
            assert tree_of(vorlane.read_string(text, root_tag)) == outcome
            return
        template, offset = outcome
        message = template.format(offset=None if offset is None else offset + shift)
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            vorlane.read_string(text, root_tag)

    @pytest.mark.parametrize("document, root_tag, sequential, bitmap", BUILDER_DIFFERENCES)
    def test_differences(self, document, root_tag, sequential, bitmap):
        self.check_outcome(document, root_tag, sequential, 0)
        text, shift = with_builder(document, "bitmap")
        self.check_outcome(text, root_tag, bitmap, shift)

    # "<a>x</a><" fails under the sequential builder and reads under the bitmap
    # builder, which shows which builder the sample chose. The probe has three '<'.
    @pytest.mark.parametrize(
        "document, bitmap_chosen",
        [
            pytest.param('<a>' + '"' * 15 + 'x</a><', False, id="ratio-exactly-5"),
            pytest.param('<a>' + '"' * 16 + 'x</a><', True, id="ratio-above-5"),
            pytest.param('<a>' + " " * 5000 + '"' * 100 + 'x</a><', False, id="quotes-beyond-sample"),
            pytest.param('<a>' + '"' * 4000 + "<b/>" * 5000 + "</a><", True, id="tags-beyond-sample"),
            pytest.param("<a>" + "'" * 100 + "x</a><", False, id="apostrophes-not-counted"),
        ],
    )
    def test_builder_choice(self, document, bitmap_chosen):
        if bitmap_chosen:
            assert vorlane.read_string(document, "a").name == "a"
        else:
            last = len(document) - 1
            message = f"malformed XML: Unclosed tag at byte {last}"
            with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
                vorlane.read_string(document, "a")

    def test_large_quote_dense_document(self):
        records = "".join(
            f'<row id="{i}" a="{i * 2}" b="x{i}" c="&amp;{i}" d="" e="\u00e9"/>' for i in range(20_000)
        )
        document = f"<rows>{records}</rows>"
        assert document[:4096].count('"') > 5 * document[:4096].count("<")
        node = vorlane.read_string(document, "rows")
        children = node.children
        assert len(children) == 20_000
        assert children[12_345].attrs == {
            "id": "12345", "a": "24690", "b": "x12345", "c": "&12345", "d": "", "e": "\u00e9"
        }


class TestLifetime:
    def test_refcount_restored_after_nodes_released(self):
        document = fresh("<r a='1'><b>text</b><c>&amp;</c></r>")
        before = sys.getrefcount(document)
        node = vorlane.read_string(document, "r")
        assert sys.getrefcount(document) > before
        del node
        assert sys.getrefcount(document) == before

    @pytest.mark.parametrize(
        "document",
        [
            pytest.param("<r><a></r>", id="mismatch"),
            pytest.param("<x/>", id="root-missing"),
            pytest.param("<r><a x='1'>&bad;</a>", id="entity"),
            pytest.param("<r><a>", id="unclosed"),
            pytest.param("<r", id="scan"),
            # Nodes already made for finished elements are torn down again.
            pytest.param("<r><a k='1'/><b>t<c/></b></x>", id="after-finished-children"),
            # Non-ASCII strs are encoded into a copy; failures give that back too.
            pytest.param("<r>é</r", id="encoded-scan"),
            pytest.param("<r><a>東</a><b>東</c></r>", id="encoded-mismatch"),
            pytest.param("<x>\U0001f600</x>", id="encoded-root-missing"),
        ],
    )
    def test_refcount_restored_after_failed_parse(self, document):
        document = fresh(document)
        before = sys.getrefcount(document)
        with pytest.raises(ValueError):
            vorlane.read_string(document, "r")
        assert sys.getrefcount(document) == before

    def test_refcount_restored_after_many_reads(self):
        document = fresh("<r><a>1</a><a>2</a></r>")
        before = sys.getrefcount(document)
        nodes = [vorlane.read_string(document, "r") for _ in range(100)]
        children = [node.children[1] for node in nodes]
        del nodes
        assert sys.getrefcount(document) > before
        del children
        assert sys.getrefcount(document) == before

    def test_nodes_keep_input_alive(self):
        document = fresh("<r>root text<a k='value'>child text</a></r>")
        node = vorlane.read_string(document, "r")
        del document
        gc.collect()
        fresh("<r>" + "z" * 64 + "</r>")  # reuse freed memory if it had been freed
        assert node.text == "root text"
        assert node.children[0].text == "child text"
        assert node.children[0].attrs == {"k": "value"}

    def test_sub_node_alone_keeps_input_alive(self):
        document = fresh("<r><a>first</a><b x='y'>second</b></r>")
        before = sys.getrefcount(document)
        child = vorlane.read_string(document, "r").children[1]
        assert sys.getrefcount(document) == before + 1
        del document
        gc.collect()
        assert child.name == "b"
        assert child.text == "second"
        assert child.attrs == {"x": "y"}

    def test_sub_node_release_restores_refcount(self):
        document = fresh("<r><a>first</a><b>second</b></r>")
        before = sys.getrefcount(document)
        child = vorlane.read_string(document, "r").children[0]
        del child
        assert sys.getrefcount(document) == before


def record_document(count):
    rows = "".join(
        f'<item id="{i}" kind="k{i % 7}" flag="{i % 2}" note="n&amp;{i}">text {i} &lt;here&gt;</item>\n'
        for i in range(count)
    )
    return f"<?xml version='1.0'?>\n<records>\n{rows}</records>"


@pytest.fixture(scope="module")
def large_document():
    """Over 30 MB, nearly all of it before the root: the parse, which runs without
    the interpreter lock, is almost the whole of a read."""
    skipped = '<skip a="1" b="two">some text &amp; more</skip>\n' * 650_000
    document = f"<doc>{skipped}<records><item n='1'/></records></doc>"
    assert len(document) > 30_000_000
    return document


class TestThreads:
    @pytest.mark.slow
    def test_other_thread_runs_during_read_string(self, large_document):
        node, notes = progress_during(lambda: vorlane.read_string(large_document, "records"))
        assert tree_of(node) == element("records", children=[element("item", {"n": "1"})])
        assert notes >= 10

    @pytest.mark.slow
    def test_other_thread_runs_during_read_file(self, large_document, tmp_path):
        path = tmp_path / "large.xml"
        path.write_text(large_document, encoding="utf-8")
        node, notes = progress_during(lambda: vorlane.read_file(str(path), "records"))
        assert tree_of(node) == element("records", children=[element("item", {"n": "1"})])
        assert notes >= 10

    def test_parallel_parses_give_identical_trees(self):
        documents = [record_document(2_000), "<r>" + "<a b='1'>x</a>" * 3_000 + "</r>"]
        roots = ["records", "r"]
        expected = [tree_of(vorlane.read_string(d, r)) for d, r in zip(documents, roots)]
        results = {}

        def work(worker):
            trees = []
            for round_ in range(6):
                which = (worker + round_) % 2
                trees.append((which, tree_of(vorlane.read_string(documents[which], roots[which]))))
            results[worker] = trees

        threads = [threading.Thread(target=work, args=(worker,)) for worker in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(results) == [0, 1, 2, 3]
        for trees in results.values():
            assert len(trees) == 6
            for which, tree in trees:
                assert tree == expected[which]


class TestReadFile:
    @pytest.mark.parametrize("document, root_tag, expected", READ_CASES)
    def test_equals_read_string(self, document, root_tag, expected, tmp_path):
        path = tmp_path / "doc.xml"
        path.write_bytes(document.encode("utf-8"))
        from_file = tree_of(vorlane.read_file(str(path), root_tag))
        assert from_file == tree_of(vorlane.read_string(document, root_tag)) == expected

    def test_large_file_equals_read_string(self, tmp_path):
        document = record_document(20_000)
        path = tmp_path / "records.xml"
        path.write_bytes(document.encode("utf-8"))
        assert tree_of(vorlane.read_file(str(path), "records")) == tree_of(
            vorlane.read_string(document, "records")
        )

    @pytest.mark.parametrize("document, root_tag, template, offset", READ_ERRORS)
    def test_error_message(self, document, root_tag, template, offset, tmp_path):
        path = tmp_path / "doc.xml"
        path.write_bytes(document.encode("utf-8"))
        message = template.format(offset=offset)
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            vorlane.read_file(str(path), root_tag)

    def test_file_outlives_its_nodes_source(self, tmp_path):
        path = tmp_path / "doc.xml"
        path.write_bytes("<r><a>\u00e9t\u00e9</a></r>".encode("utf-8"))
        child = vorlane.read_file(str(path), "r").children[0]
        path.unlink()
        gc.collect()
        assert child.text == "\u00e9t\u00e9"

    def test_pipe_without_size(self, tmp_path):
        # A pipe reports size 0, so the whole content arrives past the first guess.
        # The writer thread can only feed the pipe while read_file has the lock
        # released; a fresh interpreter with a time limit turns a hang into a failure.
        path = tmp_path / "pipe.xml"
        os.mkfifo(path)
        script = f"""
import threading, vorlane
path = {str(path)!r}
document = "<r>" + "<a k='v'>piped &amp; read</a>" * 5_000 + "</r>"

def feed():
    with open(path, "w", encoding="utf-8") as pipe:
        pipe.write(document)

writer = threading.Thread(target=feed, daemon=True)
writer.start()
node = vorlane.read_file(path, "r")
writer.join()
children = node.children
assert len(children) == 5_000
assert all(c.name == "a" and c.attrs == {{"k": "v"}} and c.text == "piped & read" for c in children)
print("ok")
"""
        completed = run_python(script, timeout=120)
        assert completed.returncode == 0, completed.stderr[-2000:]
        assert completed.stdout.strip() == "ok"

    def test_missing_file(self, tmp_path):
        message = "No such file or directory (os error 2)"
        with pytest.raises(FileNotFoundError, match=f"^{re.escape(message)}$") as raised:
            vorlane.read_file(str(tmp_path / "missing.xml"), "r")
        assert raised.value.args == (message,)
        assert raised.value.errno is None
        assert raised.value.strerror is None
        assert raised.value.filename is None

    def test_missing_directory(self, tmp_path):
        with pytest.raises(FileNotFoundError, match=re.escape("No such file or directory (os error 2)")):
            vorlane.read_file(str(tmp_path / "nowhere" / "doc.xml"), "r")

    def test_directory(self, tmp_path):
        message = "Is a directory (os error 21)"
        with pytest.raises(IsADirectoryError, match=f"^{re.escape(message)}$") as raised:
            vorlane.read_file(str(tmp_path), "r")
        assert raised.value.errno is None

    def test_component_not_a_directory(self, tmp_path):
        plain = tmp_path / "plain"
        plain.write_text("<r/>")
        message = "Not a directory (os error 20)"
        with pytest.raises(NotADirectoryError, match=f"^{re.escape(message)}$"):
            vorlane.read_file(str(plain / "doc.xml"), "r")

    def test_nul_byte_in_path(self, tmp_path):
        message = "file name contained an unexpected NUL byte"
        with pytest.raises(OSError, match=f"^{re.escape(message)}$") as raised:
            vorlane.read_file(str(tmp_path / "a\0b.xml"), "r")
        assert type(raised.value) is OSError
        assert raised.value.errno is None

    def test_empty_file(self, tmp_path):
        path = tmp_path / "empty.xml"
        path.write_bytes(b"")
        with pytest.raises(ValueError, match=f"^{re.escape('root tag <r> not found in document')}$"):
            vorlane.read_file(str(path), "r")

    @pytest.mark.parametrize(
        "content, offset",
        [
            pytest.param(b"<r>ab\xff</r>", 5, id="ff-byte"),
            pytest.param(b"<r>\xc3\xa9\x80</r>", 5, id="lone-continuation"),
            pytest.param(b"<r>\xc0\x80</r>", 3, id="overlong-nul"),
            pytest.param(b"<r>\xe0\x80\xaf</r>", 3, id="overlong-three-bytes"),
            pytest.param(b"<r>\xed\xa0\x80</r>", 3, id="encoded-surrogate"),
            pytest.param(b"<r>\xf4\x90\x80\x80</r>", 3, id="above-max"),
            pytest.param(b"<r>\xe2\x82</r>", 3, id="cut-sequence"),
            pytest.param(b"<r/>\xe2\x82", 4, id="cut-at-end"),
            pytest.param(b"<r a='\xe9'/>", 6, id="latin-1-in-attribute"),
            pytest.param(b"<x/><r/>" + b"a" * 5000 + b"\xfe", 5008, id="after-root"),
        ],
    )
    def test_invalid_utf8(self, content, offset, tmp_path):
        path = tmp_path / "bad.xml"
        path.write_bytes(content)
        message = f"malformed XML at byte {offset}: invalid UTF-8"
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            vorlane.read_file(str(path), "r")


def notes_of(error):
    return getattr(error, "__notes__", [])


class TestBinding:
    @pytest.mark.parametrize(
        "function, args, kwargs, message",
        [
            pytest.param(
                vorlane.read_string, (), {},
                "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'",
                id="read_string-none",
            ),
            pytest.param(
                vorlane.read_string, ("<r/>",), {},
                "read_string() missing 1 required positional argument: 'root_tag'",
                id="read_string-one",
            ),
            pytest.param(
                vorlane.read_string, (), {"root_tag": "r"},
                "read_string() missing 1 required positional argument: 'xml_string'",
                id="read_string-keyword-only-second",
            ),
            pytest.param(
                vorlane.read_string, ("<r/>", "r", "x"), {},
                "read_string() takes 2 positional arguments but 3 were given",
                id="read_string-three",
            ),
            pytest.param(
                vorlane.read_string, ("<r/>", "r"), {"xml_string": "<r/>"},
                "read_string() got multiple values for argument 'xml_string'",
                id="read_string-multiple",
            ),
            pytest.param(
                vorlane.read_string, ("<r/>",), {"root_tag": "r", "spacing": 1},
                "read_string() got an unexpected keyword argument 'spacing'",
                id="read_string-unexpected",
            ),
            pytest.param(
                vorlane.read_file, (), {},
                "read_file() missing 2 required positional arguments: 'file_path' and 'root_tag'",
                id="read_file-none",
            ),
            pytest.param(
                vorlane.read_file, ("x.xml",), {},
                "read_file() missing 1 required positional argument: 'root_tag'",
                id="read_file-one",
            ),
            pytest.param(
                vorlane.read_file, ("x.xml", "r", "z"), {},
                "read_file() takes 2 positional arguments but 3 were given",
                id="read_file-three",
            ),
            pytest.param(
                vorlane.read_file, ("x.xml",), {"file_path": "y.xml"},
                "read_file() got multiple values for argument 'file_path'",
                id="read_file-multiple",
            ),
            pytest.param(
                vorlane.read_file, ("x.xml", "r"), {"path": "y"},
                "read_file() got an unexpected keyword argument 'path'",
                id="read_file-unexpected",
            ),
        ],
    )
    def test_binding_errors(self, function, args, kwargs, message):
        with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as raised:
            function(*args, **kwargs)
        assert notes_of(raised.value) == []

    @pytest.mark.parametrize(
        "function, args, message, parameter",
        [
            pytest.param(vorlane.read_string, (1, "r"), "'int' object is not an instance of 'str'", "xml_string",
                         id="read_string-int"),
            pytest.param(vorlane.read_string, (b"<r/>", "r"), "'bytes' object is not an instance of 'str'",
                         "xml_string", id="read_string-bytes"),
            pytest.param(vorlane.read_string, (None, "r"), "'None' is not an instance of 'str'", "xml_string",
                         id="read_string-none"),
            pytest.param(vorlane.read_string, ("<r/>", 5), "'int' object is not an instance of 'str'", "root_tag",
                         id="read_string-root-int"),
            pytest.param(vorlane.read_string, ("<r/>", None), "'None' is not an instance of 'str'", "root_tag",
                         id="read_string-root-none"),
            pytest.param(vorlane.read_file, (pathlib.Path("x.xml"), "r"),
                         f"'{type(pathlib.Path()).__name__}' object is not an instance of 'str'", "file_path",
                         id="read_file-path-object"),
            pytest.param(vorlane.read_file, (b"x.xml", "r"), "'bytes' object is not an instance of 'str'",
                         "file_path", id="read_file-bytes"),
            pytest.param(vorlane.read_file, ("x.xml", ["r"]), "'list' object is not an instance of 'str'",
                         "root_tag", id="read_file-root-list"),
        ],
    )
    def test_conversion_errors(self, function, args, message, parameter):
        # pytest matches against the message followed by the notes, so the end of
        # the message is checked through args.
        with pytest.raises(TypeError, match=f"^{re.escape(message)}") as raised:
            function(*args)
        assert raised.value.args == (message,)
        assert notes_of(raised.value) == [f"while processing '{parameter}'"]

    def test_unencodable_xml_string(self):
        with pytest.raises(UnicodeEncodeError) as raised:
            vorlane.read_string("<r>\ud800</r>", "r")
        assert notes_of(raised.value) == []

    @pytest.mark.parametrize("function", [vorlane.read_string, vorlane.read_file])
    def test_unencodable_root_tag(self, function):
        with pytest.raises(UnicodeEncodeError) as raised:
            function("<r/>", "\udc80")
        assert notes_of(raised.value) == ["while processing 'root_tag'"]

    def test_unencodable_file_path(self):
        with pytest.raises(UnicodeEncodeError) as raised:
            vorlane.read_file("\udc80.xml", "r")
        assert notes_of(raised.value) == ["while processing 'file_path'"]


DEEP_READ_SCRIPT = r"""
import sys
import vorlane
from tree_helpers import chain_depth

depth = 1_000_000
document = "".join(["<a>" * depth, "x", "</a>" * depth])
before = sys.getrefcount(document)
node = vorlane.read_string(document, "a")
assert chain_depth(node, "a") == (depth, "x")
del node
assert sys.getrefcount(document) == before

for bad, message in [
    ("<a>" * depth, "unexpected end of document: <a> is never closed"),
    ("<a>" * depth + "</b>", f"malformed XML at byte {3 * depth}: expected </a>, found </b>"),
]:
    try:
        vorlane.read_string(bad, "a")
    except ValueError as error:
        assert str(error) == message, str(error)
    else:
        raise AssertionError("no error")
print("ok")
"""


@pytest.mark.slow
def test_million_levels_deep_read_and_released():
    completed = run_python(
        f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n" + DEEP_READ_SCRIPT
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert completed.stdout.strip() == "ok"
