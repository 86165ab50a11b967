"""Node.search_by_name, search_by_attr, search_by_text and search: pre-order walk
from the node itself, depth limit, identity of results, argument errors."""
import random
import re
import sys
import threading

import pytest

import vorlane
from vorlane import Node, SearchType


def notes_of(error):
    return getattr(error, "__notes__", [])


@pytest.fixture(scope="module")
def catalog():
    """catalog
         book(lang=en, id=1) "Tom"
           title "Tom"
           note(lang="") ""
         Book "tom"
         shelf
           book(id=2)
             book "deep"
    """
    deep = Node("book", text="deep")
    inner = Node("book", attrs={"id": "2"}, children=[deep])
    shelf = Node("shelf", children=[inner])
    title = Node("title", text="Tom")
    note = Node("note", attrs={"lang": ""}, text="")
    first = Node("book", attrs={"lang": "en", "id": "1"}, text="Tom", children=[title, note])
    upper = Node("Book", text="tom")
    root = Node("catalog", children=[first, upper, shelf])
    return {
        "root": root, "first": first, "title": title, "note": note, "upper": upper,
        "shelf": shelf, "inner": inner, "deep": deep,
    }


def names(catalog, *keys):
    return [catalog[key] for key in keys]


class TestMatching:
    @pytest.mark.parametrize(
        "method, query, expected",
        [
            ("search_by_name", "book", ["first", "inner", "deep"]),
            ("search_by_name", "Book", ["upper"]),
            ("search_by_name", "BOOK", []),
            ("search_by_name", "boo", []),
            ("search_by_name", " book", []),
            ("search_by_name", "catalog", ["root"]),
            ("search_by_attr", "lang", ["first", "note"]),
            ("search_by_attr", "id", ["first", "inner"]),
            ("search_by_attr", "en", []),
            ("search_by_attr", "", []),
            ("search_by_text", "Tom", ["first", "title"]),
            ("search_by_text", "tom", ["upper"]),
            ("search_by_text", "", ["note"]),
            ("search_by_text", "deep", ["deep"]),
            ("search_by_text", "To", []),
        ],
    )
    def test_results_in_document_order(self, catalog, method, query, expected):
        found = getattr(catalog["root"], method)(query)
        assert [id(node) for node in found] == [id(catalog[key]) for key in expected]

    @pytest.mark.parametrize(
        "by, method",
        [(SearchType.Tag, "search_by_name"), (SearchType.Attr, "search_by_attr"), (SearchType.Text, "search_by_text")],
    )
    @pytest.mark.parametrize("query", ["book", "lang", "Tom", "", "id"])
    @pytest.mark.parametrize("depth", [None, 0, 1, 2, -1])
    def test_search_equals_dedicated_method(self, catalog, by, method, query, depth):
        root = catalog["root"]
        via_search = root.search(by, query, depth)
        via_method = getattr(root, method)(query, depth)
        assert [id(node) for node in via_search] == [id(node) for node in via_method]

    def test_keyword_arguments(self, catalog):
        root = catalog["root"]
        assert root.search(by=SearchType.Tag, value="shelf", depth=1) == [catalog["shelf"]]
        assert root.search_by_name(name="title", depth=None) == [catalog["title"]]
        assert root.search_by_attr(key="id") == [catalog["first"], catalog["inner"]]
        assert root.search_by_text(text="tom", depth=5) == [catalog["upper"]]

    def test_results_are_the_tree_objects(self, catalog):
        found = catalog["root"].search_by_name("title")
        assert len(found) == 1 and found[0] is catalog["title"]
        assert found[0] is catalog["first"].children[0]

    def test_attribute_with_empty_value_matches(self):
        node = Node("a", attrs={"flag": ""})
        assert node.search_by_attr("flag")[0] is node

    @pytest.mark.parametrize("count", range(0, 18))
    def test_attribute_lookup_at_every_map_size(self, count):
        node = Node("a", attrs={f"k{index}": "v" for index in range(count)})
        assert node.search_by_attr("missing") == []
        assert node.search_by_attr("k") == []
        for index in range(count):
            assert node.search_by_attr(f"k{index}") == [node]

    def test_text_search_skips_nodes_without_text(self):
        tree = Node("a", children=[Node("b"), Node("c", text="")])
        assert [n.name for n in tree.search_by_text("")] == ["c"]

    @pytest.mark.parametrize("query", ["ünï", "€", "😀x", "a\x00b"])
    def test_non_ascii_and_nul(self, query):
        node = Node(query, attrs={query: "v"}, text=query)
        assert node.search_by_name(query) == [node]
        assert node.search_by_attr(query) == [node]
        assert node.search_by_text(query) == [node]

    def test_shared_child_listed_once_per_place(self):
        shared = Node("x")
        other = Node("y", children=[shared])
        root = Node("root", children=[shared, other, shared])
        found = root.search_by_name("x")
        assert len(found) == 3 and all(node is shared for node in found)

    def test_new_list_per_call(self, catalog):
        root = catalog["root"]
        first = root.search_by_name("book")
        second = root.search_by_name("book")
        assert first is not second and first == second
        first.clear()
        first.append(Node("intruder"))
        assert root.search_by_name("book") == second
        assert root.search_by_name("intruder") == []

    def test_parsed_document(self):
        root = vorlane.read_string(
            '<lib><book id="1">A &amp; B</book><shelf><book lang="fr">C</book></shelf><Book/></lib>', "lib"
        )
        found = root.search_by_name("book")
        assert [b.text for b in found] == ["A & B", "C"]
        assert found[0] is root.children[0]
        assert found[1] is root.children[1].children[0]
        assert root.search_by_attr("lang") == [found[1]]
        assert root.search_by_text("A & B") == [found[0]]
        assert root.search_by_text("A &amp; B") == []


class TestDepth:
    @pytest.mark.parametrize(
        "depth, expected",
        [
            (None, ["first", "inner", "deep"]),
            (0, []),
            (1, ["first"]),
            (2, ["first", "inner"]),
            (3, ["first", "inner", "deep"]),
            (100, ["first", "inner", "deep"]),
            (-1, ["first", "inner", "deep"]),
            (-(2**31), ["first", "inner", "deep"]),
            (2**31 - 1, ["first", "inner", "deep"]),
            (True, ["first"]),
            (False, []),
        ],
    )
    def test_depth_limits(self, catalog, depth, expected):
        found = catalog["root"].search_by_name("book", depth)
        assert [id(node) for node in found] == [id(catalog[key]) for key in expected]

    def test_depth_zero_tests_the_node_itself(self, catalog):
        leaf = catalog["deep"]
        found = leaf.search_by_name("book", 0)
        assert len(found) == 1 and found[0] is leaf
        assert catalog["shelf"].search_by_name("book", 0) == []

    def test_depth_accepts_index_protocol(self, catalog):
        class Two:
            def __index__(self):
                return 2

        assert catalog["root"].search_by_name("book", Two()) == [catalog["first"], catalog["inner"]]

    @pytest.mark.parametrize("depth", [1.0, "1", [1], 0.5])
    def test_depth_not_an_integer(self, catalog, depth):
        with pytest.raises(TypeError) as raised:
            catalog["root"].search_by_name("book", depth)
        assert notes_of(raised.value) == ["while processing 'depth'"]

    @pytest.mark.parametrize("depth", [2**31, -(2**31) - 1, 2**40, -(2**63), 2**64, 2**100])
    def test_depth_outside_32_bits(self, catalog, depth):
        for call in (
            lambda: catalog["root"].search_by_name("book", depth),
            lambda: catalog["root"].search(SearchType.Text, "x", depth),
        ):
            with pytest.raises(OverflowError) as raised:
                call()
            assert notes_of(raised.value) == ["while processing 'depth'"]


class TestArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda n: n.search_by_name(), "Node.search_by_name() missing 1 required positional argument: 'name'"),
            (lambda n: n.search_by_attr(), "Node.search_by_attr() missing 1 required positional argument: 'key'"),
            (lambda n: n.search_by_text(), "Node.search_by_text() missing 1 required positional argument: 'text'"),
            (lambda n: n.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
            (lambda n: n.search(SearchType.Tag), "Node.search() missing 1 required positional argument: 'value'"),
            (
                lambda n: n.search_by_name("a", 1, 2),
                "Node.search_by_name() takes from 1 to 2 positional arguments but 3 were given",
            ),
            (
                lambda n: n.search(SearchType.Tag, "a", 1, 2),
                "Node.search() takes from 2 to 3 positional arguments but 4 were given",
            ),
            (
                lambda n: n.search_by_attr(name="a"),
                "Node.search_by_attr() got an unexpected keyword argument 'name'",
            ),
            (
                lambda n: n.search_by_text("a", text="b"),
                "Node.search_by_text() got multiple values for argument 'text'",
            ),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError, match=re.escape(message)) as raised:
            call(Node("a"))
        assert str(raised.value) == message
        assert notes_of(raised.value) == []

    @pytest.mark.parametrize(
        "call, message, parameter",
        [
            (lambda n: n.search_by_name(1), "'int' object is not an instance of 'str'", "name"),
            (lambda n: n.search_by_name(None), "'None' is not an instance of 'str'", "name"),
            (lambda n: n.search_by_attr(b"a"), "'bytes' object is not an instance of 'str'", "key"),
            (lambda n: n.search_by_text(["a"]), "'list' object is not an instance of 'str'", "text"),
            (lambda n: n.search("Tag", "a"), "'str' object is not an instance of 'SearchType'", "by"),
            (lambda n: n.search(0, "a"), "'int' object is not an instance of 'SearchType'", "by"),
            (lambda n: n.search(None, "a"), "'None' is not an instance of 'SearchType'", "by"),
            (lambda n: n.search(SearchType.Tag, 3), "'int' object is not an instance of 'str'", "value"),
            # `by` is converted first, then the query, then `depth`.
            (lambda n: n.search("Tag", 3, 1.5), "'str' object is not an instance of 'SearchType'", "by"),
            (lambda n: n.search(SearchType.Tag, 3, 1.5), "'int' object is not an instance of 'str'", "value"),
        ],
    )
    def test_conversion_errors(self, call, message, parameter):
        with pytest.raises(TypeError) as raised:
            call(Node("a"))
        assert str(raised.value) == message
        assert notes_of(raised.value) == [f"while processing '{parameter}'"]

    def test_str_subclass_query(self):
        class Name(str):
            pass

        node = Node("a")
        assert node.search_by_name(Name("a")) == [node]

    @pytest.mark.parametrize("method", ["search_by_name", "search_by_attr", "search_by_text"])
    def test_lone_surrogate_query(self, method):
        with pytest.raises(UnicodeEncodeError) as raised:
            getattr(Node("a"), method)("\ud800")
        assert notes_of(raised.value)[-1].startswith("while processing '")


def reference_search(node, matches, depth):
    """The recursive definition of the walk, for comparison."""
    found = []

    def visit(current, limit):
        if matches(current):
            found.append(current)
        if limit is None or limit < 0:
            for child in current.children:
                visit(child, limit)
        elif limit > 0:
            for child in current.children:
                visit(child, limit - 1)

    visit(node, depth)
    return found


def random_tree(rng, size):
    names = ["a", "b", "c", "A"]
    keys = ["k", "m", "n"]
    texts = [None, "", "t", "T"]
    pool = []
    for _ in range(size):
        count = rng.randint(0, min(4, len(pool)))
        children = rng.sample(pool, count) if count else []
        if children and rng.random() < 0.2:
            children.append(children[0])  # a child twice in one list
        attrs = {key: rng.choice(["", "v"]) for key in keys if rng.random() < 0.3}
        pool.append(Node(rng.choice(names), attrs=attrs, children=children, text=rng.choice(texts)))
    return pool[-1]


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(8))
    @pytest.mark.parametrize("depth", [None, 0, 1, 2, 3, -5])
    def test_random_trees(self, seed, depth):
        rng = random.Random(seed)
        root = random_tree(rng, 60)
        for by, query, matches in [
            (SearchType.Tag, "a", lambda n: n.name == "a"),
            (SearchType.Attr, "k", lambda n: "k" in n.attrs),
            (SearchType.Text, "", lambda n: n.text == ""),
            (SearchType.Text, "t", lambda n: n.text == "t"),
        ]:
            expected = reference_search(root, matches, depth)
            assert [id(n) for n in root.search(by, query, depth)] == [id(n) for n in expected]


class TestLifetime:
    def test_reference_counts(self, catalog):
        root = catalog["root"]
        before = [sys.getrefcount(catalog[key]) for key in ("first", "inner", "deep")]
        found = root.search_by_name("book")
        during = [sys.getrefcount(catalog[key]) for key in ("first", "inner", "deep")]
        assert during == [count + 1 for count in before]
        del found
        assert [sys.getrefcount(catalog[key]) for key in ("first", "inner", "deep")] == before
        root.search_by_attr("missing")
        assert [sys.getrefcount(catalog[key]) for key in ("first", "inner", "deep")] == before

    def test_results_outlive_the_tree(self):
        root = vorlane.read_string("<r><a>1</a><a>2</a></r>", "r")
        found = root.search_by_name("a")
        del root
        assert [node.text for node in found] == ["1", "2"]

    def test_two_threads(self, catalog):
        root = catalog["root"]
        expected = [id(n) for n in root.search_by_name("book")]
        results = []

        def worker():
            for _ in range(200):
                results.append([id(n) for n in root.search_by_name("book")])

        threads = [threading.Thread(target=worker) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(results) == 400 and all(result == expected for result in results)


DEEP = 1_000_000


@pytest.fixture(scope="module")
def deep_chain():
    node = Node("leaf", text="bottom")
    for level in range(DEEP - 1):
        node = Node("a" if level % 2 else "b", attrs={"k": "v"} if level % 3 == 0 else None, children=[node])
    return node


class TestDeepTree:
    def test_whole_chain(self, deep_chain):
        found = deep_chain.search_by_name("a")
        assert len(found) == (DEEP - 1) // 2
        assert found[0] is deep_chain.children[0]
        leaf = deep_chain.search_by_text("bottom")
        assert len(leaf) == 1 and leaf[0].name == "leaf" and leaf[0].children == []
        assert len(deep_chain.search_by_attr("k", -1)) == len(range(0, DEEP - 1, 3))

    def test_limited_depth(self, deep_chain):
        assert len(deep_chain.search(SearchType.Tag, "a", 10)) == 5
        assert len(deep_chain.search(SearchType.Tag, "b", 10)) == 6
        assert deep_chain.search_by_text("bottom", DEEP - 2) == []
        assert len(deep_chain.search_by_text("bottom", DEEP - 1)) == 1
