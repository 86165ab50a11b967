"""Helpers for the reader and writer tests: node trees as plain values, documents
that select an index builder, a run in a fresh interpreter, and a probe that tells
whether another Python thread ran while a call was in progress.

Trees are compared through the getters only (`name`, `attrs`, `text`, `children`),
walked with explicit stacks so that deep trees need no Python recursion.
"""

import os
import subprocess
import sys
import threading
import time


def element(name, attrs=None, text=None, children=()):
    """The plain value of one element: (name, attrs dict, text or None, children)."""
    return (name, dict(attrs or {}), text, tuple(children))


def tree_of(node):
    """The whole tree under `node` as nested `element` values, built bottom-up."""
    stack = [(node, node.children, [])]
    while True:
        current, pending, finished = stack[-1]
        if len(finished) < len(pending):
            child = pending[len(finished)]
            stack.append((child, child.children, []))
            continue
        stack.pop()
        value = element(current.name, current.attrs, current.text, finished)
        if not stack:
            return value
        stack[-1][2].append(value)


def chain_depth(node, name):
    """Follows first children down a chain of single-child elements named `name`;
    returns (number of elements, the text of the innermost one)."""
    depth = 0
    while True:
        assert node.name == name
        depth += 1
        children = node.children
        if not children:
            return depth, node.text
        assert len(children) == 1
        node = children[0]


# A quote-dense start: one empty-element tag with many double-quoted attributes.
# A document whose first 4096 bytes hold more than five double quotes per '<' is
# indexed by the bitmap builder, so prefixing a short document with this selects
# that builder (for documents of fewer than 20 tags).
BITMAP_PREFIX = "<q " + " ".join(f'a{index}=""' for index in range(60)) + "/>"


def with_builder(document, builder):
    """The document and the length of what was put before it, for the builder named
    "sequential" (the document unchanged) or "bitmap" (BITMAP_PREFIX before it)."""
    if builder == "sequential":
        return document, 0
    assert document.count("<") < 20
    return BITMAP_PREFIX + document, len(BITMAP_PREFIX.encode())


def run_python(source, timeout=600):
    """Runs `source` in a fresh interpreter that sees the same module path; returns
    the completed process (a crash shows as a non-zero or negative return code)."""
    return subprocess.run(
        [sys.executable, "-c", source],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


def progress_during(call, attempts=3):
    """Runs `call()` on this thread while a second Python thread loops and notes the
    time every 256 turns.

    Returns (the call's result, the number of notes taken in the middle half of the
    call), the best of up to `attempts` runs. While a call holds the interpreter lock
    the other thread cannot run Python code at all, so it takes no note between the
    moments the call enters and leaves; the quarter cut off at each end absorbs the
    hand-overs of the lock around the call.
    """
    best = 0
    result = None
    for _ in range(attempts):
        notes = []
        stop = threading.Event()
        started = threading.Event()

        def spin():
            turns = 0
            started.set()
            while not stop.is_set():
                turns += 1
                if turns % 256 == 0:
                    notes.append(time.perf_counter())

        thread = threading.Thread(target=spin)
        thread.start()
        started.wait()
        begin = time.perf_counter()
        result = call()
        end = time.perf_counter()
        stop.set()
        thread.join()
        margin = (end - begin) / 4
        best = max(best, sum(1 for note in notes if begin + margin < note < end - margin))
        if best >= 50:
            break
    return result, best
