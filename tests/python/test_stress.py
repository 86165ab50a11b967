"""Hardening: no leaks from any call or error path, one tree shared by many threads,
documents nested a million levels deep, hostile documents, and truncated or
corrupted input. Every test here is marked slow.

Memory is read from /proc/self/statm (resident pages) around loops that repeat one
call thousands of times, together with the interpreter's count of allocated
blocks and the reference counts of the call's arguments. Work that could crash
the interpreter, or that needs a lot of memory, runs in a child interpreter whose
exit status and printed results are checked, and whose peak resident size is read
from the process's high-water mark.
"""

import ctypes
import gc
import json
import os
import random
import sys
import textwrap
import threading
import time

import pytest

import vorlane
from vorlane import Node, SearchType, read_file, read_string, write_file, write_string
from tree_helpers import run_python, tree_of

pytestmark = pytest.mark.slow

PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20

# Under the sanitizer run (runtimes preloaded, every object sent to malloc) freed
# memory is held in a quarantine and the pymalloc block count stays 0, so resident
# size says nothing about leaks there; LeakSanitizer checks them at exit instead.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_BYTES


def _malloc_trim():
    try:
        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):  # not glibc: nothing to trim with
        return None


MALLOC_TRIM = _malloc_trim()


def settled():
    """Resident bytes and allocated interpreter blocks after a full collection.

    Free heap memory is handed back to the system first: memory freed by earlier
    tests would otherwise stay resident and take in a leak without any growth.
    """
    gc.collect()
    if MALLOC_TRIM is not None:
        MALLOC_TRIM(0)
    return resident_bytes(), sys.getallocatedblocks()


def raises(kind, call, *args, **kwargs):
    """Runs one call that must fail with `kind` (an exact type, not a subclass)."""
    try:
        call(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - the type is checked right here
        if type(error) is not kind:
            raise AssertionError(f"expected {kind.__name__}, got {type(error).__name__}: {error}") from error
        return
    raise AssertionError(f"expected {kind.__name__}, but the call returned")


# ---------------------------------------------------------------------------
# Leaks
# ---------------------------------------------------------------------------

# Inputs are made a few kilobytes large, so that keeping even one copy of an
# argument or of a result per call shows up in the resident size of the loop.
LONG = "long-" * 200  # 1000 characters
CATALOG = "".join(
    [
        "<?xml version='1.0'?><!DOCTYPE catalog><catalog>",
        *(
            f'<book id="{index}" lang="en &amp; fr" note="{LONG}">'
            f"<title>Title {index} &lt;{LONG}&gt;</title><!-- c --><price>{index}.50</price>"
            f"<![CDATA[{LONG}]]></book>"
            for index in range(4)
        ),
        "</catalog>",
    ]
)
ROOT_TAG = "catalog"
LONG_TAG = "t" * 3000  # a root tag that is copied by the reader on every call
INVALID_UTF8 = CATALOG.encode()[:-20] + b"\xff\xfe" + CATALOG.encode()[-20:]


def fresh(text):
    """A str object of its own: not interned, not shared with any constant, so
    that only the calls under test move its reference count."""
    return "".join([text[:1], text[1:]])


class LeakWorld:
    """The arguments every leak case uses, built once per module."""

    def __init__(self, directory):
        self.doc = CATALOG
        self.root_tag = fresh(ROOT_TAG)
        self.malformed = CATALOG[:-12] + "</oops></catalog>"
        self.unknown_entity = CATALOG.replace("&amp;", "&nope;", 1)
        self.unclosed = CATALOG[: -len("</catalog>")]
        self.long_tag = LONG_TAG
        self.surrogate = CATALOG[:-10] + "\ud800" + CATALOG[-10:]
        self.as_bytes = CATALOG.encode()
        self.path = str(directory / "catalog.xml")
        self.invalid_path = str(directory / "invalid.xml")
        self.malformed_path = str(directory / "malformed.xml")
        self.missing_path = str(directory / ("missing-" + "m" * 200 + ".xml"))
        self.directory = str(directory)
        self.nul_path = str(directory / "nul\0name.xml")
        self.out_path = str(directory / "out.xml")
        self.out_missing_dir = str(directory / "no-such-dir" / "out.xml")
        with open(self.path, "w", encoding="utf-8") as file:
            file.write(CATALOG)
        with open(self.invalid_path, "wb") as file:
            file.write(INVALID_UTF8)
        with open(self.malformed_path, "w", encoding="utf-8") as file:
            file.write(self.malformed)
        self.parsed = read_string(self.doc, self.root_tag)
        self.book = self.parsed.children[0]
        self.title = self.book.children[0]
        leaf = Node("leaf" + LONG, {"k": LONG, "j": "v"}, None, LONG)
        self.built = Node("built", {"a": LONG}, [leaf, leaf, Node("other", text="t")], "text " + LONG)
        self.dict_form = self.parsed.to_dict()
        self.name_query = fresh("title")
        self.attr_query = fresh("lang")
        self.text_query = self.title.text
        self.attrs = {"key": LONG, "other": "value"}
        self.children = [self.book, self.title]
        self.children_tuple = (self.book, self.title)
        self.name = "name-" + LONG
        self.text = "text-" + LONG
        self.bad_attrs = {"key": LONG, "number": 1}
        self.bad_children = [self.book, 1]
        self.bad_dict_name = {"name": 1, "attrs": {}, "children": []}
        self.bad_dict_child = {"name": "a", "attrs": {"k": LONG}, "children": [{"attrs": {}, "children": []}]}
        self.bad_dict_key = {"name": "a", "attrs": {}, "children": [], 1: "x"}
        self.not_a_dict = [("name", "a")]
        self.empty_dict = {}

    def watched(self):
        """Every argument object whose reference count must not move, by name."""
        return sorted(vars(self).items())


class RaisingSequence:
    """A sequence whose iteration fails part way through."""

    def __init__(self, node):
        self.node = node

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 0:
            return self.node
        raise RuntimeError("iteration failed")


def check_tree(node):
    assert node.name == ROOT_TAG and len(node.children) == 4


# Each case: (id, one call taking the LeakWorld). A case that must fail checks the
# exact exception type; one that succeeds checks a little of its result.
LEAK_CASES = [
    # read_string
    ("read_string", lambda w: check_tree(read_string(w.doc, w.root_tag))),
    ("read_string-keywords", lambda w: check_tree(read_string(root_tag=w.root_tag, xml_string=w.doc))),
    ("read_string-malformed", lambda w: raises(ValueError, read_string, w.malformed, w.root_tag)),
    ("read_string-unknown-entity", lambda w: raises(ValueError, read_string, w.unknown_entity, w.root_tag)),
    ("read_string-unclosed", lambda w: raises(ValueError, read_string, w.unclosed, w.root_tag)),
    ("read_string-root-not-found", lambda w: raises(ValueError, read_string, w.doc, w.long_tag)),
    ("read_string-bytes", lambda w: raises(TypeError, read_string, w.as_bytes, w.root_tag)),
    ("read_string-root-tag-not-str", lambda w: raises(TypeError, read_string, w.doc, w.as_bytes)),
    ("read_string-missing-argument", lambda w: raises(TypeError, read_string, w.doc)),
    ("read_string-unknown-keyword", lambda w: raises(TypeError, read_string, w.doc, w.root_tag, extra=w.doc)),
    ("read_string-surrogate", lambda w: raises(UnicodeEncodeError, read_string, w.surrogate, w.root_tag)),
    # read_file
    ("read_file", lambda w: check_tree(read_file(w.path, w.root_tag))),
    ("read_file-missing", lambda w: raises(FileNotFoundError, read_file, w.missing_path, w.long_tag)),
    ("read_file-directory", lambda w: raises(IsADirectoryError, read_file, w.directory, w.root_tag)),
    ("read_file-nul-in-path", lambda w: raises(OSError, read_file, w.nul_path, w.root_tag)),
    ("read_file-invalid-utf8", lambda w: raises(ValueError, read_file, w.invalid_path, w.root_tag)),
    ("read_file-malformed", lambda w: raises(ValueError, read_file, w.malformed_path, w.root_tag)),
    ("read_file-root-not-found", lambda w: raises(ValueError, read_file, w.path, w.long_tag)),
    ("read_file-path-not-str", lambda w: raises(TypeError, read_file, w.as_bytes, w.root_tag)),
    # write_string
    ("write_string", lambda w: write_string(w.parsed).startswith("<?xml")),
    ("write_string-options", lambda w: write_string(w.built, indent=2, default_xml_def=False)),
    ("write_string-not-a-node", lambda w: raises(TypeError, write_string, w.attrs)),
    ("write_string-negative-indent", lambda w: raises(OverflowError, write_string, w.parsed, -1)),
    ("write_string-huge-indent", lambda w: raises(OverflowError, write_string, w.parsed, 1 << 32)),
    ("write_string-indent-not-int", lambda w: raises(TypeError, write_string, w.parsed, w.name)),
    ("write_string-bad-declaration-flag", lambda w: raises(TypeError, write_string, w.parsed, 2, 1)),
    # write_file
    ("write_file", lambda w: write_file(w.parsed, w.out_path)),
    ("write_file-options", lambda w: write_file(w.built, w.out_path, 0, False)),
    ("write_file-missing-directory", lambda w: raises(FileNotFoundError, write_file, w.parsed, w.out_missing_dir)),
    ("write_file-nul-in-path", lambda w: raises(OSError, write_file, w.parsed, w.nul_path)),
    ("write_file-not-a-node", lambda w: raises(TypeError, write_file, w.doc, w.out_path)),
    ("write_file-path-not-str", lambda w: raises(TypeError, write_file, w.parsed, w.as_bytes)),
    # getters
    ("name", lambda w: (w.title.name, w.built.name)),
    ("text", lambda w: (w.title.text, w.built.text, w.parsed.text)),
    ("attrs", lambda w: (w.book.attrs, w.built.attrs, w.title.attrs)),
    ("children", lambda w: (w.parsed.children, w.built.children, w.title.children)),
    ("getter-assignment", lambda w: raises(AttributeError, setattr, w.book, "name", w.name)),
    # searches
    ("search_by_name", lambda w: w.parsed.search_by_name(w.name_query)),
    ("search_by_attr", lambda w: w.parsed.search_by_attr(w.attr_query, 1)),
    ("search_by_text", lambda w: w.parsed.search_by_text(w.text_query)),
    ("search", lambda w: [w.parsed.search(by, w.name_query, -1) for by in (SearchType.Tag, SearchType.Attr, SearchType.Text)]),
    ("search-built", lambda w: w.built.search_by_attr("k")),
    ("search-query-not-str", lambda w: raises(TypeError, w.parsed.search_by_name, w.as_bytes)),
    ("search-by-not-search-type", lambda w: raises(TypeError, w.parsed.search, w.name, w.name_query)),
    ("search-depth-not-int", lambda w: raises(TypeError, w.parsed.search_by_text, w.text_query, w.name)),
    ("search-depth-overflow", lambda w: raises(OverflowError, w.parsed.search_by_attr, w.attr_query, 1 << 70)),
    ("search-missing-argument", lambda w: raises(TypeError, w.parsed.search, SearchType.Tag)),
    # dictionary conversion
    ("to_dict", lambda w: w.parsed.to_dict()),
    ("to_dict-built", lambda w: w.built.to_dict()),
    ("from_dict", lambda w: Node.from_dict(w.dict_form)),
    ("from_dict-empty", lambda w: raises(ValueError, Node.from_dict, w.empty_dict)),
    ("from_dict-not-a-dict", lambda w: raises(TypeError, Node.from_dict, w.not_a_dict)),
    ("from_dict-bad-name", lambda w: raises(TypeError, Node.from_dict, w.bad_dict_name)),
    ("from_dict-bad-child", lambda w: raises(ValueError, Node.from_dict, w.bad_dict_child)),
    ("from_dict-bad-key", lambda w: raises(TypeError, Node.from_dict, w.bad_dict_key)),
    # printer
    ("str", lambda w: (str(w.parsed), str(w.built))),
    ("repr", lambda w: (repr(w.parsed), repr(w.built))),
    ("__to_string", lambda w: getattr(w.parsed, "__to_string")(4)),
    ("__to_string-too-large", lambda w: raises(OverflowError, getattr(w.parsed, "__to_string"), 300)),
    ("__to_string-not-int", lambda w: raises(TypeError, getattr(w.parsed, "__to_string"), w.name)),
    # constructor
    ("Node", lambda w: Node(w.name, w.attrs, w.children, w.text)),
    ("Node-tuple-children", lambda w: Node(name=w.name, children=w.children_tuple)),
    ("Node-name-none", lambda w: raises(TypeError, Node, None, w.attrs)),
    ("Node-bad-attr-value", lambda w: raises(TypeError, Node, w.name, w.bad_attrs)),
    ("Node-children-str", lambda w: raises(TypeError, Node, w.name, None, w.text)),
    ("Node-children-not-sequence", lambda w: raises(TypeError, Node, w.name, None, w.attrs)),
    ("Node-bad-child", lambda w: raises(TypeError, Node, w.name, w.attrs, w.bad_children, w.text)),
    ("Node-raising-children", lambda w: raises(RuntimeError, Node, w.name, None, RaisingSequence(w.book))),
    ("Node-too-many-arguments", lambda w: raises(TypeError, Node, w.name, None, None, None, None)),
    ("Node-text-not-str", lambda w: raises(TypeError, Node, w.name, w.attrs, w.children, w.as_bytes)),
]

WARMUP_CALLS = 500
LEAK_CALLS = 20_000
# Each write_file call opens, truncates and writes a file, which is slow on a
# loaded machine; its few kilobytes per call still add up to megabytes.
FILE_WRITE_CALLS = 5_000
# Resident growth allowed over the calls of one case. Every case above handles a
# few kilobytes per call, so keeping anything of one call would add megabytes.
RESIDENT_SLACK = 3 * MIB


def block_slack(calls):
    """Allocated interpreter blocks allowed to remain: a leaked object per call
    would leave `calls` of them."""
    return calls // 10


def calls_for(name):
    return FILE_WRITE_CALLS if name.startswith("write_file") else LEAK_CALLS


@pytest.fixture(scope="module")
def leak_world(tmp_path_factory):
    return LeakWorld(tmp_path_factory.mktemp("leaks"))


@pytest.mark.parametrize(
    "call, calls", [pytest.param(call, calls_for(name), id=name) for name, call in LEAK_CASES]
)
def test_repeated_call_leaks_nothing(leak_world, call, calls, request):
    for _ in range(WARMUP_CALLS):
        call(leak_world)
    watched = leak_world.watched()
    gc.collect()  # what an earlier test left in reference cycles goes first
    counts_before = [sys.getrefcount(value) for _, value in watched]
    resident_before, blocks_before = settled()
    for _ in range(calls):
        call(leak_world)
    resident_after, blocks_after = settled()
    counts_after = [sys.getrefcount(value) for _, value in watched]
    moved = [
        (name, before, after)
        for (name, _), before, after in zip(watched, counts_before, counts_after)
        if before != after
    ]
    print(
        f"{request.node.callspec.id}: resident {resident_before / MIB:.2f} -> {resident_after / MIB:.2f} MiB,"
        f" blocks {blocks_before} -> {blocks_after}"
    )
    assert moved == []
    if not SANITIZED:
        assert resident_after - resident_before < RESIDENT_SLACK, (resident_before, resident_after)
        assert blocks_after - blocks_before < block_slack(calls), (blocks_before, blocks_after)


def test_leak_check_sees_a_leak(leak_world):
    """The measure used above notices a call that keeps one parsed tree per call,
    even over the smallest number of calls a case makes."""
    calls = min(LEAK_CALLS, FILE_WRITE_CALLS)
    kept = []
    resident_before, blocks_before = settled()
    for _ in range(calls):
        # A fresh copy of the text per call: each kept tree holds its own input.
        kept.append(read_string(leak_world.doc + " ", leak_world.root_tag))
    resident_after, blocks_after = settled()
    if not SANITIZED:
        assert resident_after - resident_before > RESIDENT_SLACK
        assert blocks_after - blocks_before > block_slack(calls)
    kept.clear()


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------

THREAD_SECONDS = 3.0
SHARED_DOC = "".join(
    [
        "<library><!-- shared --><shelf n='0'>",
        *(
            f'<book id="{index}" genre="{"sf" if index % 3 else "crime"}">'
            f"<title>T{index} &amp; co</title><author>A{index % 7}</author>"
            f"<note><![CDATA[<{index}>]]></note></book>"
            for index in range(60)
        ),
        "</shelf><shelf n='1'/></library>",
    ]
)
OTHER_DOC = "".join(
    [
        "<feed>",
        *(f"<entry k='{index}'>&#x{0x41 + index % 26:x};{'x' * (index % 50)}<e/></entry>" for index in range(400)),
        "</feed>",
    ]
)


def search_identities(nodes):
    return [id(node) for node in nodes]


def test_threads_share_one_tree_while_others_parse(tmp_path):
    shared = read_string(SHARED_DOC, "library")
    other_path = str(tmp_path / "other.xml")
    with open(other_path, "w", encoding="utf-8") as file:
        file.write(OTHER_DOC)

    queries = [
        ("search_by_name", ("title",)),
        ("search_by_name", ("book", 2)),
        ("search_by_attr", ("genre",)),
        ("search_by_text", ("T7 & co",)),
        ("search_by_text", ("A3",)),
        ("search", (SearchType.Attr, "n", 1)),
        ("search", (SearchType.Tag, "note")),
    ]
    reference = {
        "tree": tree_of(shared),
        "searches": [search_identities(getattr(shared, method)(*args)) for method, args in queries],
        "dict": shared.to_dict(),
        "xml": write_string(shared),
        "xml-compact": write_string(shared, indent=0, default_xml_def=False),
        "str": str(shared),
        "other": tree_of(read_string(OTHER_DOC, "feed")),
    }
    assert len(reference["searches"][0]) == 60 and reference["searches"][3] != []
    # What the writer and the parser produce from each other's output is the same tree.
    assert tree_of(read_string(reference["xml"], "library")) == reference["tree"]

    out_paths = [str(tmp_path / f"out-{slot}.xml") for slot in range(8)]
    inputs_before = [sys.getrefcount(SHARED_DOC), sys.getrefcount(OTHER_DOC)]
    # Every thread takes at least one turn, however late a loaded machine starts it.
    deadline = time.monotonic() + THREAD_SECONDS
    failures = []
    counts = {}

    def reader(slot):
        turns = 0
        try:
            while turns == 0 or time.monotonic() < deadline:
                step = (turns + slot) % 5
                if step == 0:
                    assert tree_of(shared) == reference["tree"]
                elif step == 1:
                    found = [search_identities(getattr(shared, method)(*args)) for method, args in queries]
                    assert found == reference["searches"]
                elif step == 2:
                    assert shared.to_dict() == reference["dict"]
                elif step == 3:
                    assert write_string(shared) == reference["xml"]
                    assert write_string(shared, 0, False) == reference["xml-compact"]
                    write_file(shared, out_paths[slot])
                    with open(out_paths[slot], encoding="utf-8") as file:
                        assert file.read() == reference["xml"]
                else:
                    assert str(shared) == reference["str"]
                turns += 1
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append((f"reader {slot}", repr(error)))
        counts[f"reader {slot}"] = turns

    def parser(slot):
        turns = 0
        try:
            while turns == 0 or time.monotonic() < deadline:
                if turns % 3 == 0:
                    assert tree_of(read_file(other_path, "feed")) == reference["other"]
                elif turns % 3 == 1:
                    assert tree_of(read_string(OTHER_DOC, "feed")) == reference["other"]
                else:
                    copy = read_string(reference["xml"], "library")
                    assert tree_of(Node.from_dict(copy.to_dict())) == reference["tree"]
                turns += 1
        except BaseException as error:  # noqa: BLE001
            failures.append((f"parser {slot}", repr(error)))
        counts[f"parser {slot}"] = turns

    threads = [threading.Thread(target=reader, args=(slot,)) for slot in range(8)]
    threads += [threading.Thread(target=parser, args=(slot,)) for slot in range(3)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    print("thread iterations:", json.dumps(counts, sort_keys=True))
    assert failures == []
    assert len(counts) == len(threads)
    assert all(turns > 0 for turns in counts.values()), counts
    # The shared tree is unchanged after all of it, and the input strings, which
    # every parse shared and whose last holders may have gone on any thread, are
    # referenced exactly as before once those releases are applied (on the next
    # entry into the module).
    assert tree_of(shared) == reference["tree"]
    gc.collect()
    Node("flush")
    assert [sys.getrefcount(SHARED_DOC), sys.getrefcount(OTHER_DOC)] == inputs_before


# ---------------------------------------------------------------------------
# A million levels deep
# ---------------------------------------------------------------------------

DEPTH = 1_000_000

# Runs every API over a chain of DEPTH elements named "a" whose innermost holds the
# text "x", and prints one line per check. Each check prints its result or the
# name of the Python exception it raised.
DEEP_SCRIPT = textwrap.dedent(
    """
    import gc
    import sys
    import vorlane
    from vorlane import Node, read_string, write_string

    DEPTH = {depth}
    SOURCE = {source!r}


    def report(label, compute):
        try:
            value = compute()
        except Exception as error:
            value = "raised " + type(error).__name__
        print(label, value, flush=True)


    def walk(node):
        count = 1
        while True:
            children = node.children
            if not children:
                return count, node
            assert len(children) == 1
            node = children[0]
            count += 1


    def printout_matches(printout):
        position = 0
        for level in range(DEPTH - 1):
            indent = " " * (2 * level % 256)
            piece = indent + "Name: a\\n" + indent + "Children:\\n" + indent
            if not printout.startswith(piece, position):
                return "differs at level %d" % level
            position += len(piece)
        indent = " " * (2 * (DEPTH - 1) % 256)
        leaf = indent + "Name: a\\n" + indent + "Text: x"
        if not printout.startswith(leaf, position):
            return "differs at the innermost node"
        return printout[position + len(leaf):] == "\\n" * (DEPTH - 1)


    def dict_walk(value):
        count = 1
        while value["children"]:
            assert value["name"] == "a" and value["attrs"] == {{}} and value["text"] is None
            assert len(value["children"]) == 1
            value = value["children"][0]
            count += 1
        return count, value["name"], value["text"]


    if SOURCE == "parsed":
        root = read_string("<a>" * DEPTH + "x" + "</a>" * DEPTH, "a")
    else:
        root = Node("a", text="x")
        for _ in range(DEPTH - 1):
            root = Node("a", children=[root])
    depth, deepest = walk(root)
    print("depth", depth, flush=True)
    print("deepest", deepest.name, deepest.text, deepest.attrs, deepest.children, flush=True)
    expected_xml = "<a>\\n" * (DEPTH - 1) + "<a>x</a>" + "\\n</a>" * (DEPTH - 1)
    written = [None]

    def write():
        written[0] = write_string(root, indent=0, default_xml_def=False)
        return written[0] == expected_xml

    report("write_string", write)
    report("reread", lambda: walk(read_string(written[0], "a"))[0])
    del written[0]
    report("search_by_name", lambda: len(root.search_by_name("a")))
    report("search_by_text", lambda: root.search_by_text("x") == [deepest])
    report("search_limited", lambda: len(root.search(vorlane.SearchType.Tag, "a", 9)))
    report("search_by_attr", lambda: root.search_by_attr("k"))
    exported = [None]

    def export():
        exported[0] = root.to_dict()
        return dict_walk(exported[0])

    report("to_dict", export)

    def import_back():
        copy = Node.from_dict(exported[0])
        count, innermost = walk(copy)
        return count, innermost.text, copy is not root

    report("from_dict", import_back)
    del exported[0]
    report("str", lambda: printout_matches(str(root)))
    report("repr", lambda: repr(deepest))
    del root, deepest
    gc.collect()
    print("released", walk(read_string("<a><a>y</a></a>", "a"))[0], flush=True)
    """
)

DEEP_EXPECTED = [
    f"depth {DEPTH}",
    "deepest a x {} []",
    "write_string True",
    f"reread {DEPTH}",
    f"search_by_name {DEPTH}",
    "search_by_text True",
    "search_limited 10",
    "search_by_attr []",
    f"to_dict ({DEPTH}, 'a', 'x')",
    f"from_dict ({DEPTH}, 'x', True)",
    "str True",
    "repr Node(a)",
    "released 2",
]


@pytest.mark.parametrize("source", ["parsed", "built"])
def test_million_levels_through_every_call(source):
    completed = run_python(DEEP_SCRIPT.format(depth=DEPTH, source=source), timeout=900)
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert completed.stdout.splitlines() == DEEP_EXPECTED


def test_deep_printout_check_matches_the_printer():
    """The streamed comparison used by the deep script agrees with the printer on a
    chain deep enough for the indentation to wrap at 256."""
    depth = 300
    root = Node("a", text="x")
    for _ in range(depth - 1):
        root = Node("a", children=[root])
    expected = []
    for level in range(depth - 1):
        indent = " " * (2 * level % 256)
        expected.append(indent + "Name: a\n" + indent + "Children:\n" + indent)
    indent = " " * (2 * (depth - 1) % 256)
    expected.append(indent + "Name: a\n" + indent + "Text: x" + "\n" * (depth - 1))
    assert str(root) == "".join(expected)


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer runtime reserves terabytes of address space and aborts on huge allocations"
)
def test_million_levels_indented_output_fails_cleanly():
    """Indented output of a million levels needs about two terabytes: with the
    address space limited, write_string raises MemoryError and the process goes on."""
    script = textwrap.dedent(
        f"""
        import resource
        try:
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        except (ValueError, OverflowError):
            pass  # a 32-bit process, whose address space is smaller anyway
        import vorlane
        root = vorlane.read_string("<a>" * {DEPTH} + "</a>" * {DEPTH}, "a")
        try:
            vorlane.write_string(root)
        except MemoryError:
            print("MemoryError")
        print(vorlane.write_string(vorlane.Node("after"), default_xml_def=False))
        """
    )
    completed = run_python(script)
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert completed.stdout.splitlines() == ["MemoryError", "<after/>"]


# ---------------------------------------------------------------------------
# Hostile documents
# ---------------------------------------------------------------------------

BILLION_LAUGHS = "".join(
    [
        '<?xml version="1.0"?>\n<!DOCTYPE lolz [\n <!ENTITY lol "lol">\n',
        *(
            f' <!ENTITY lol{level} "' + f"&lol{level - 1 if level > 1 else ''};" * 10 + '">\n'
            for level in range(1, 10)
        ),
        "]>\n<lolz>&lol9;</lolz>",
    ]
)


def test_billion_laughs_is_an_unknown_entity():
    offset = len(BILLION_LAUGHS.encode()[: BILLION_LAUGHS.encode().index(b"&lol9;</lolz>")])
    assert offset == 770
    with pytest.raises(ValueError) as caught:
        read_string(BILLION_LAUGHS, "lolz")
    assert caught.value.args == ("unknown entity reference '&lol9;' at byte 770",)
    # The same document with the reference taken out reads as an empty element.
    plain = read_string(BILLION_LAUGHS.replace("&lol9;", ""), "lolz")
    assert (plain.name, plain.text, plain.attrs, plain.children) == ("lolz", None, {}, [])


def test_external_entity_is_never_read(tmp_path):
    """A SYSTEM entity is neither resolved nor opened: one naming a FIFO with no
    writer would block any open of it, and the call returns at once with the
    unknown-entity error."""
    fifo = tmp_path / "secret"
    os.mkfifo(fifo)
    script = textwrap.dedent(
        f"""
        import vorlane
        for target in ["file:///etc/passwd", {("file://" + str(fifo))!r}]:
            document = (
                '<?xml version="1.0"?>\\n<!DOCTYPE foo [ <!ENTITY xxe SYSTEM "' + target + '"> ]>\\n'
                "<foo>&xxe;</foo>"
            )
            try:
                vorlane.read_string(document, "foo")
            except ValueError as error:
                print(error.args[0], len(document.encode()) - len("&xxe;</foo>"))
            with open("{tmp_path}/doc.xml", "w") as file:
                file.write(document)
            try:
                vorlane.read_file("{tmp_path}/doc.xml", "foo")
            except ValueError as error:
                print(error.args[0])
            document = document.replace("<foo>&xxe;</foo>", '<foo a="&xxe;">t</foo>')
            try:
                vorlane.read_string(document, "foo")
            except ValueError as error:
                print(error.args[0])
        """
    )
    completed = run_python(script, timeout=60)
    assert completed.returncode == 0, completed.stderr[-3000:]
    lines = completed.stdout.splitlines()
    passwd_at = len('<?xml version="1.0"?>\n<!DOCTYPE foo [ <!ENTITY xxe SYSTEM "file:///etc/passwd"> ]>\n<foo>')
    fifo_at = passwd_at - len("/etc/passwd") + len(str(fifo))
    assert lines == [
        f"unknown entity reference '&xxe;' at byte {passwd_at} {passwd_at}",
        f"unknown entity reference '&xxe;' at byte {passwd_at}",
        f"unknown entity reference '&xxe;' at byte {passwd_at + 3}",
        f"unknown entity reference '&xxe;' at byte {fifo_at} {fifo_at}",
        f"unknown entity reference '&xxe;' at byte {fifo_at}",
        f"unknown entity reference '&xxe;' at byte {fifo_at + 3}",
    ]


# Each shape: how its document is built (a Python expression over N), its root tag,
# the check of the result (printed as JSON), and the bound on the peak resident
# growth as a multiple of the input size. The bound reflects what each shape
# costs by construction: byte-heavy shapes keep spans into the input (or one
# decoded copy), while item-heavy shapes pay for one attribute slot or one Node
# object and its parsed record per few input bytes (about 180 bytes per attribute
# of 12 bytes, and 230 bytes per 4-byte empty element, at the peak).
HOSTILE_SHAPES = {
    "huge-attribute-value": dict(
        build="'<r a=\"' + 'x' * N + '\"/>'",
        size=50_000_000,
        root="r",
        check="len(root.attrs['a'])",
        expected=50_000_000,
        multiple=12,
    ),
    "million-attributes": dict(
        build="''.join(['<r'] + [''.join(' a%d=\"v\"' % i for i in range(j, min(j + 10000, N))) "
        "for j in range(0, N, 10000)] + ['/>'])",
        size=1_000_000,
        root="r",
        check="len(root.attrs)",
        expected=1_000_000,
        multiple=25,
    ),
    "million-siblings": dict(
        build="'<r>' + '<c/>' * N + '</r>'",
        size=1_000_000,
        root="r",
        check="len(root.children)",
        expected=1_000_000,
        multiple=90,
    ),
    "amp-run": dict(
        build="'<r>' + '&amp;' * N + '</r>'",
        size=8_000_000,
        root="r",
        check="len(root.text) if root.text == '&' * N else -1",
        expected=8_000_000,
        multiple=12,
    ),
    "amp-run-attribute": dict(
        build="'<r a=\"' + '&amp;' * N + '\"/>'",
        size=8_000_000,
        root="r",
        check="len(root.attrs['a']) if root.attrs['a'] == '&' * N else -1",
        expected=8_000_000,
        multiple=12,
    ),
}

HOSTILE_SCRIPT = textwrap.dedent(
    """
    import json
    import vorlane

    # The peak resident size of this process image. getrusage's ru_maxrss is not
    # used: it starts from the peak of the parent that forked this interpreter.
    def peak_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024

    N = {size}
    baseline = peak_bytes()
    document = {build}
    input_bytes = len(document.encode())
    root = vorlane.read_string(document, {root!r})
    read_peak = peak_bytes()
    result = {check}
    print(json.dumps(dict(baseline=baseline, input=input_bytes, read_peak=read_peak,
                          final_peak=peak_bytes(), result=result)))
    """
)


@pytest.mark.parametrize("shape", sorted(HOSTILE_SHAPES))
def test_hostile_document_finishes_with_bounded_memory(shape):
    case = HOSTILE_SHAPES[shape]
    completed = run_python(HOSTILE_SCRIPT.format(**case), timeout=600)
    assert completed.returncode == 0, completed.stderr[-3000:]
    figures = json.loads(completed.stdout)
    print(shape, json.dumps(figures))
    assert figures["result"] == case["expected"]
    if not SANITIZED:
        assert figures["read_peak"] - figures["baseline"] < case["multiple"] * figures["input"], figures


# ---------------------------------------------------------------------------
# Truncated and corrupted documents
# ---------------------------------------------------------------------------

SEED_DOC = (
    '<?xml version="1.0" encoding="utf-8"?>\n'
    "<!DOCTYPE shop>\n"
    "<shop>\n"
    '  <item id="1" name=\'caf\u00e9 &amp; bar\'>Caf\u00e9 &lt;&#233;&#x1F600;&gt;</item>\n'
    "  <!-- a comment with <tags> -->\n"
    "  <item id='2'><![CDATA[raw <b>&</b>]]> tail \u65e5\u672c</item>\n"
    "  <?pi instruction?>\n"
    '  <empty a="x"/>\n'
    "</shop>\n"
)
# Characters that change the structure most when they land somewhere new.
MARKUP = "<>&;/!?=\"'[]-# x\u00e9\U0001f600"


def exercise(node):
    """Every read-only call over a tree that the reader accepted."""
    tree_of(node)
    write_string(node)
    str(node)
    Node.from_dict(node.to_dict())
    node.search_by_text("x")


def read_variant(text):
    """The outcome of read_string on `text`: ("ok", tree) or ("ValueError", message)."""
    try:
        node = read_string(text, "shop")
    except ValueError as error:
        return ("ValueError", error.args[0])
    exercise(node)
    return ("ok", tree_of(node))


def string_variants():
    rng = random.Random(20240611)
    variants = [SEED_DOC[:cut] for cut in range(len(SEED_DOC) + 1)]
    for _ in range(300):
        chars = list(SEED_DOC)
        for _ in range(rng.randint(1, 4)):
            position = rng.randrange(len(chars))
            if rng.random() < 0.5 and ord(chars[position]) < 0x80:
                # a bit flip that stays ASCII, hence valid UTF-8
                chars[position] = chr(ord(chars[position]) ^ (1 << rng.randrange(7)))
            else:
                chars[position] = rng.choice(MARKUP)
        variants.append("".join(chars))
    return variants


def test_truncated_and_mutated_strings_give_value_error_or_tree():
    outcomes = {"ok": 0, "ValueError": 0}
    for text in string_variants():
        kind, _ = read_variant(text)  # anything but ValueError propagates and fails
        outcomes[kind] += 1
    print("read_string variants:", outcomes)
    # The seed itself and many light mutations read; truncations mostly do not.
    assert outcomes["ok"] > 0 and outcomes["ValueError"] > len(SEED_DOC) // 2


def test_truncated_and_corrupted_files_give_value_error_or_tree(tmp_path):
    rng = random.Random(977)
    seed = SEED_DOC.encode()
    variants = [seed[:cut] for cut in range(len(seed) + 1)]
    for _ in range(300):
        data = bytearray(seed)
        for _ in range(rng.randint(1, 4)):
            position = rng.randrange(len(data))
            if rng.random() < 0.5:
                data[position] ^= 1 << rng.randrange(8)
            else:
                data[position] = rng.randrange(256)
        variants.append(bytes(data))
    path = tmp_path / "variant.xml"
    outcomes = {"ok": 0, "ValueError": 0, "invalid UTF-8": 0}
    for data in variants:
        path.write_bytes(data)
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = None
        try:
            node = read_file(str(path), "shop")
        except ValueError as error:
            if text is None:
                outcomes["invalid UTF-8"] += 1
            else:
                # A valid UTF-8 file reads exactly as the same text given as a string.
                assert read_variant(text) == ("ValueError", error.args[0])
                outcomes["ValueError"] += 1
            continue
        assert text is not None, "a file that is not UTF-8 was accepted"
        exercise(node)
        assert read_variant(text) == ("ok", tree_of(node))
        outcomes["ok"] += 1
    print("read_file variants:", outcomes)
    assert outcomes["ok"] > 0 and outcomes["ValueError"] > 0 and outcomes["invalid UTF-8"] > 0
