#!/usr/bin/env python3
"""Times the node walks of vorlane against their peers, on the same documents:

- search: `node.search_by_name(tag)` against ElementTree's and lxml's
  `list(root.iter(tag))`, each on its own already parsed tree;
- to dict: `vorlane.read_string` + `to_dict()` against `xmltodict.parse`, both
  from the same str;
- from dict: `Node.from_dict` + `vorlane.write_string` against
  `xmltodict.unparse`, each from its own dictionary form of the document.

    PYTHONPATH=build python benchmarks/bench_walks.py [--megabytes 20] [--repeat 3]

`run(documents)` takes a dict of name -> XML text and prints one block per
document. Times are the best of `repeat` runs with the garbage collector on.
Ratios are the peer's time over vorlane's: above 1 means vorlane is faster.
"""

import argparse
import collections
import random
import sys
import time
import xml.etree.ElementTree as ElementTree

import vorlane

try:
    from lxml import etree as lxml_etree
except ImportError:  # lxml is optional: its column is left out
    lxml_etree = None

try:
    import xmltodict
except ImportError:  # xmltodict is optional: the dictionary rows are left out
    xmltodict = None

MEGABYTE = 1_000_000


def record_document(target_bytes, seed=3):
    """Records two levels deep, each with attributes, texts and a few tags."""
    rng = random.Random(seed)
    kinds = ["book", "disc", "map", "print"]
    parts = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<catalog>\n"]
    size = len(parts[0])
    index = 0
    while size < target_bytes:
        tags = "".join(f"<tag>t{rng.randrange(50)}</tag>" for _ in range(index % 4))
        record = (
            f'  <record id="{index}" kind="{kinds[index % len(kinds)]}" score="{rng.random() * 100:.2f}">'
            f"<title>Title {index} &amp; more</title>"
            f'<price currency="EUR">{rng.randrange(1, 500)}.{rng.randrange(100):02d}</price>'
            f"<tags>{tags}</tags>"
            f"<note>A short note about record {index}.</note>"
            "</record>\n"
        )
        parts.append(record)
        size += len(record)
        index += 1
    parts.append("</catalog>\n")
    return "".join(parts)


def best_time(function, repeat):
    """The best wall time of `repeat` calls, and the last call's result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def tags_of(text):
    """The root tag and the most frequent tag below it."""
    root = ElementTree.fromstring(text)
    counts = collections.Counter(element.tag for element in root.iter())
    counts.pop(root.tag, None)
    search_tag = counts.most_common(1)[0][0] if counts else root.tag
    return root.tag, search_tag


def format_row(label, seconds, baseline=None):
    line = f"  {label:<44} {seconds * 1000:10.1f} ms"
    if baseline is not None:
        line += f"   ratio {seconds / baseline:6.2f}"
    return line


def run_document(name, text, repeat):
    """Times the three comparisons on one document; returns the ratios."""
    root_tag, search_tag = tags_of(text)
    ratios = {}
    print(f"{name}: {len(text.encode()) / MEGABYTE:.1f} MB, root <{root_tag}>, search <{search_tag}>")

    node = vorlane.read_string(text, root_tag)
    ours, found = best_time(lambda: node.search_by_name(search_tag), repeat)
    print(format_row(f"vorlane search_by_name ({len(found)} nodes)", ours))
    tree = ElementTree.fromstring(text)
    theirs, peer_found = best_time(lambda: list(tree.iter(search_tag)), repeat)
    assert len(peer_found) == len(found)
    print(format_row("ElementTree list(iter(tag))", theirs, ours))
    ratios["search vs ElementTree"] = theirs / ours
    del tree, peer_found
    if lxml_etree is not None:
        lxml_tree = lxml_etree.fromstring(text.encode())
        theirs, peer_found = best_time(lambda: list(lxml_tree.iter(search_tag)), repeat)
        assert len(peer_found) == len(found)
        print(format_row("lxml list(iter(tag))", theirs, ours))
        ratios["search vs lxml"] = theirs / ours
        del lxml_tree, peer_found
    del found

    if xmltodict is not None:
        ours, our_dict = best_time(lambda: vorlane.read_string(text, root_tag).to_dict(), repeat)
        print(format_row("vorlane read_string + to_dict", ours))
        theirs, their_dict = best_time(lambda: xmltodict.parse(text), repeat)
        print(format_row("xmltodict.parse", theirs, ours))
        ratios["read_string + to_dict vs xmltodict.parse"] = theirs / ours

        ours, _ = best_time(lambda: vorlane.write_string(vorlane.Node.from_dict(our_dict)), repeat)
        print(format_row("vorlane from_dict + write_string", ours))
        theirs, _ = best_time(lambda: xmltodict.unparse(their_dict, pretty=True), repeat)
        print(format_row("xmltodict.unparse", theirs, ours))
        ratios["from_dict + write_string vs xmltodict.unparse"] = theirs / ours
        del our_dict, their_dict

    for label, ratio in ratios.items():
        print(f"  ratio {label}: {ratio:.2f}x")
    return ratios


def run(documents, repeat=3):
    """Times every comparison on each document (name -> XML text) and prints the
    results; returns {name: {comparison: peer time / vorlane time}}."""
    return {name: run_document(name, text, repeat) for name, text in documents.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=20.0, help="size of the generated document")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept")
    options = parser.parse_args(argv)
    run({"records": record_document(int(options.megabytes * MEGABYTE))}, options.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
