"""Allocation failure while a parsed document or a dict is turned into nodes: the
interpreter's allocators are made to fail exactly the Nth allocation (every N in turn),
and each call must end in a clean MemoryError that leaves no node and no reference to
the input behind, until N lies past the call and the tree comes out whole. The nodes
live in chunks taken from the raw allocator, so every chunk is one of the failures."""
import textwrap

import pytest

from tree_helpers import run_python

pytest.importorskip("_testcapi")

SWEEP = textwrap.dedent(
    """
    import sys
    import _testcapi
    import vorlane

    def shape(node):
        stack, out = [node], []
        while stack:
            current = stack.pop()
            out.append((current.name, current.attrs, current.text, len(current.children)))
            stack.extend(current.children)
        return out

    document = "".join([%(document)r])
    if %(from_dict)r:
        source = vorlane.read_string(document, %(root)r).to_dict()
        make = lambda: vorlane.Node.from_dict(source)
    else:
        source = document
        make = lambda: vorlane.read_string(document, %(root)r)
    expected = shape(make())
    before = sys.getrefcount(source)
    failures = 0
    for n in range(0, 20000):
        _testcapi.set_nomemory(n, n + 1)
        try:
            node = make()
        except MemoryError:
            node = None
        except TypeError as error:
            # A sequence whose iterator cannot be made fails the Vec variant, and
            # with it the value: the enum error then names the MemoryError.
            assert %(from_dict)r and "MemoryError" in str(error), error
            node = None
        finally:
            _testcapi.remove_mem_hooks()
        if node is None:
            failures += 1
            assert sys.getrefcount(source) == before, n
            continue
        assert shape(node) == expected, n
        del node
        assert sys.getrefcount(source) == before
        break
    else:
        raise AssertionError("the read never got through")
    print(failures, len(expected))
    """
)

RECORDS = "<all>" + "".join(f"<r id='{i}' v='a&amp;b'>t{i}<c/><c k='1'>x</c></r>" for i in range(30)) + "</all>"
# Enough nodes to fill several chunks of the node arena.
MANY = "<all>" + "<e a='1'>t</e>" * 6000 + "</all>"
WIDE = "<r>" + "".join("<w " + " ".join(f'k{j}="{j}"' for j in range(20)) + "/>" for _ in range(5)) + "</r>"

# The fewest failures each sweep must meet: the arena's header and each of its chunks.
DOCUMENTS = [
    pytest.param(RECORDS, "all", 2, id="records"),
    pytest.param("<a>" * 300 + "x" + "</a>" * 300, "a", 2, id="chain"),
    pytest.param(WIDE, "r", 2, id="wide-maps"),
    pytest.param(MANY, "all", 4, id="many-chunks"),
]


@pytest.mark.parametrize("from_dict", [False, True], ids=["read_string", "from_dict"])
@pytest.mark.parametrize("document, root, fewest_failures", DOCUMENTS)
def test_every_failing_allocation_gives_a_clean_memory_error(document, root, fewest_failures, from_dict):
    completed = run_python(SWEEP % {"document": document, "root": root, "from_dict": from_dict})
    assert completed.returncode == 0, completed.stderr
    failures, elements = map(int, completed.stdout.split())
    assert elements > 1
    assert failures >= fewest_failures, "the arena's allocations must have been made to fail"
