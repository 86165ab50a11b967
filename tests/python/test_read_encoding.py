"""read_string on strs that are not ASCII: the document is encoded to UTF-8 by the
module itself, with the interpreter lock released. The trees, the error offsets and
the errors for unencodable strs must be those of the interpreter's own UTF-8 form."""
import ctypes
import gc
import re
import sys
import threading

import pytest

import vorlane
from tree_helpers import element, tree_of

_as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
_as_utf8.argtypes = [ctypes.py_object]
_as_utf8.restype = ctypes.c_void_p


def fresh(text):
    """A str object of its own (not interned, not shared with a constant)."""
    return "".join([text[: len(text) // 2], text[len(text) // 2 :]])


def with_cached_utf8(text):
    """A fresh equal str whose UTF-8 form the interpreter has already made."""
    copy = fresh(text)
    assert _as_utf8(copy) is not None
    return copy


def records(letters, count=300):
    rows = "".join(
        f"<row id='{i}' v=\"{letters[i % len(letters)]}{i}\">{letters * (i % 5)} &amp; {i}<c k='{letters}'/></row>"
        for i in range(count)
    )
    return f"<all>{rows}</all>"


DOCUMENTS = [
    pytest.param(records("é"), id="latin-1"),
    pytest.param(records("ÿàç\u00a0"), id="latin-1-dense"),
    pytest.param(records("Ł東京\u20ac"), id="basic-plane"),
    pytest.param(records("\U0001f600\U00010000x\u00e9"), id="all-planes"),
    pytest.param("<all>" + "é" * 40 + "<a b='東'/>" + "x" * 33 + "</all>", id="runs"),
    pytest.param("<all>\U0010ffff</all>", id="highest"),
]


class TestEncodedTrees:
    @pytest.mark.parametrize("document", DOCUMENTS)
    def test_same_tree_as_the_interpreters_utf8(self, document):
        encoded = vorlane.read_string(fresh(document), "all")
        cached = vorlane.read_string(with_cached_utf8(document), "all")
        assert tree_of(encoded) == tree_of(cached)

    @pytest.mark.parametrize("document", DOCUMENTS)
    def test_same_tree_as_the_file(self, document, tmp_path):
        path = tmp_path / "document.xml"
        path.write_bytes(document.encode("utf-8"))
        assert tree_of(vorlane.read_string(fresh(document), "all")) == tree_of(vorlane.read_file(str(path), "all"))

    def test_str_subclass(self):
        class Text(str):
            pass

        document = Text("<r a='é'>東京 \U0001f600</r>")
        node = vorlane.read_string(document, "r")
        assert (node.attrs, node.text) == ({"a": "é"}, "東京 \U0001f600")

    @pytest.mark.parametrize(
        "document, message",
        [
            pytest.param("<r>é<a></r>", "malformed XML at byte 8: expected </a>, found </r>", id="latin-1"),
            pytest.param("<r>東京<a></r>", "malformed XML at byte 12: expected </a>, found </r>", id="basic-plane"),
            pytest.param(
                "<r>\U0001f600\n\U0001f600<a></r>", "malformed XML at byte 15: expected </a>, found </r>", id="all-planes"
            ),
        ],
    )
    def test_error_offsets_count_utf8_bytes(self, document, message):
        raised = []
        for text in (fresh(document), with_cached_utf8(document)):
            with pytest.raises(ValueError, match=f"^{re.escape(message)}$") as error:
                vorlane.read_string(text, "r")
            raised.append((error.value.offset, error.value.lineno, error.value.colno))
        assert raised[0] == raised[1]


def surrogate_documents():
    documents = []
    for kind, filler in [("basic-plane", "é東"), ("all-planes", "\U0001f600")]:
        for surrogate in ["\ud800", "\udc80", "\udfff"]:
            for place, document in [
                ("start", surrogate + "<r>" + filler * 20 + "</r>"),
                ("middle", "<r>" + filler * 20 + surrogate + "x" * 30 + "</r>"),
                ("end", "<r>" + "y" * 40 + filler + "</r>" + surrogate),
            ]:
                documents.append(pytest.param(document, id=f"{kind}-{place}-{ord(surrogate):x}"))
    return documents


class TestSurrogates:
    @pytest.mark.parametrize("document", surrogate_documents())
    def test_the_interpreters_encoding_error(self, document):
        with pytest.raises(UnicodeEncodeError) as expected:
            document.encode("utf-8")
        with pytest.raises(UnicodeEncodeError) as raised:
            vorlane.read_string(fresh(document), "r")
        error = raised.value
        assert (str(error), error.start, error.end, error.reason, error.encoding) == (
            str(expected.value),
            expected.value.start,
            expected.value.end,
            expected.value.reason,
            expected.value.encoding,
        )
        assert error.object == document
        assert getattr(error, "__notes__", []) == []

    def test_reported_before_a_root_tag_of_the_wrong_type(self):
        with pytest.raises(UnicodeEncodeError):
            vorlane.read_string(fresh("<r>é\ud800</r>"), 5)

    def test_root_tag_of_the_wrong_type_with_an_encodable_document(self):
        with pytest.raises(TypeError) as raised:
            vorlane.read_string(fresh("<r>é</r>"), 5)
        assert raised.value.__notes__ == ["while processing 'root_tag'"]

    def test_refcount_restored(self):
        document = fresh("<r>é\udc80</r>")
        before = sys.getrefcount(document)
        for _ in range(3):
            with pytest.raises(UnicodeEncodeError):
                vorlane.read_string(document, "r")
        assert sys.getrefcount(document) == before


class TestEncodedLifetime:
    @pytest.mark.parametrize("document", DOCUMENTS)
    def test_refcount_restored(self, document):
        document = fresh(document)
        before = sys.getrefcount(document)
        node = vorlane.read_string(document, "all")
        children = node.children
        del node
        assert len(children) >= 0
        del children
        assert sys.getrefcount(document) == before

    def test_nodes_outlive_the_str(self):
        document = fresh("<r a='ä'>root \u6771<c k='\U0001f600'>child é</c></r>")
        node = vorlane.read_string(document, "r")
        del document
        gc.collect()
        fresh("<r>" + "ü" * 64 + "</r>")
        assert (node.attrs, node.text) == ({"a": "ä"}, "root \u6771")
        assert (node.children[0].attrs, node.children[0].text) == ({"k": "\U0001f600"}, "child é")

    def test_the_str_is_not_given_a_utf8_form(self):
        document = fresh("<r>" + "é" * 1000 + "</r>")
        size = sys.getsizeof(document)
        vorlane.read_string(document, "r")
        assert sys.getsizeof(document) == size


class TestEncodedThreads:
    def test_parallel_reads_of_one_str_give_identical_trees(self):
        documents = [fresh(records("é東", count=2_000)), fresh(records("\U0001f600ß", count=1_000))]
        expected = [tree_of(vorlane.read_string(document, "all")) for document in documents]
        results = {}

        def work(worker):
            results[worker] = [
                ((worker + round_) % 2, tree_of(vorlane.read_string(documents[(worker + round_) % 2], "all")))
                for round_ in range(4)
            ]

        threads = [threading.Thread(target=work, args=(worker,)) for worker in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(results) == [0, 1, 2, 3]
        for trees in results.values():
            assert [tree == expected[which] for which, tree in trees] == [True] * 4


def large_records(letters, count=24_000):
    """A document of well over a mebibyte, and the tree expected of it."""
    document = records(letters, count)
    rows = tuple(
        element(
            "row",
            {"id": str(i), "v": f"{letters[i % len(letters)]}{i}"},
            f"{letters * (i % 5)} & {i}".strip(),
            [element("c", {"k": letters})],
        )
        for i in range(count)
    )
    return document, element("all", {}, None, rows)


LARGE_LETTERS = [
    pytest.param("é", id="latin-1"),
    pytest.param("Ł東京€", id="basic-plane"),
    pytest.param("\U0001f600x", id="all-planes"),
]


class TestLargeDocuments:
    """Documents large enough that a second thread maps in the pages of their
    stores while they are read: the trees and errors are those of any document."""

    @pytest.mark.parametrize("letters", LARGE_LETTERS)
    def test_every_route_gives_the_whole_tree(self, letters, tmp_path):
        document, expected = large_records(letters)
        assert len(document) > 1_200_000
        path = tmp_path / "large.xml"
        path.write_bytes(document.encode("utf-8"))
        for node in (
            vorlane.read_string(fresh(document), "all"),
            vorlane.read_string(with_cached_utf8(document), "all"),
            vorlane.read_file(str(path), "all"),
        ):
            assert tree_of(node) == expected

    @pytest.mark.parametrize("letters", LARGE_LETTERS)
    @pytest.mark.parametrize("place", ["start", "middle", "end"])
    def test_surrogate_is_the_interpreters_error(self, letters, place):
        document, _ = large_records(letters)
        at = {"start": 0, "middle": len(document) // 2, "end": len(document)}[place]
        document = document[:at] + "\udc80" + document[at:]
        with pytest.raises(UnicodeEncodeError) as raised:
            vorlane.read_string(fresh(document), "all")
        assert (raised.value.start, raised.value.end) == (at, at + 1)
        # The process goes on reading large documents afterwards.
        assert vorlane.read_string(fresh(large_records(letters)[0]), "all").name == "all"

    def test_malformed_large_document_reports_its_offset(self):
        document, _ = large_records("é")
        broken = document[:-6] + "</al>"
        with pytest.raises(ValueError, match=r"^malformed XML at byte \d+: expected </all>, found </al>$") as raised:
            vorlane.read_string(fresh(broken), "all")
        assert raised.value.offset == len(broken[:-5].encode("utf-8"))
