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


def progress_during(call, attempts=5, turns=1_000):
    """Runs `call()` on this thread while a second Python thread waits to take
    `turns` steps; returns (the call's result, the number of steps the second
    thread took while the call was in progress).

    Progress is told by events, not by a clock: the switch interval is raised so
    far that this thread never hands the interpreter lock over on a timer, and a
    flag is raised just before the call and lowered just after it. The second
    thread is woken just before the call; it can then only run when this thread
    blocks or the call releases the lock, and nothing in between blocks. So every
    step it takes while the flag is up happened inside the call, and a call that
    keeps the lock lets it take none, however the machine is loaded. A released
    lock can still be missed when the second thread is not scheduled before the
    call ends, so a run that saw no step is tried again, up to `attempts` times.
    """
    result = None
    for _ in range(attempts):
        in_call = False
        ready = threading.Event()
        wake = threading.Event()
        steps_in_call = []

        def step():
            ready.set()
            wake.wait()
            steps_in_call.append(sum(1 for _ in range(turns) if in_call))

        thread = threading.Thread(target=step)
        interval = sys.getswitchinterval()
        thread.start()
        ready.wait()
        sys.setswitchinterval(1_000.0)
        try:
            wake.set()
            in_call = True
            result = call()
            in_call = False
        finally:
            in_call = False
            sys.setswitchinterval(interval)
            thread.join()
        if steps_in_call[0] > 0:
            break
    return result, steps_in_call[0]
