#!/usr/bin/env python3
"""Times vorlane against xml.etree.ElementTree and lxml the way a user's first call runs.

Every measurement is one cold call in a fresh process: the document is read from its
file into a new str just before the call (so the str's UTF-8 form is not cached yet),
the allocator has served no earlier parse, and the garbage collector is on. The
contenders take turns within each round, the peer-to-vorlane ratio is taken per
round, and the median over the rounds is reported. Operations: reading from a str
and from a file, reading plus touching every element (name, attributes, text), the
time to release the tree, and pretty-printed writing to a string and a file (the tree
is read untimed first). The memory column is the operation's own growth of the
resident set (its peak minus the resident set just before it).

    PYTHONPATH=build python benchmarks/compare.py --sizes 20,100 --rounds 5

The documents hold non-ASCII text, as most real ones do. ElementTree gets the
document as a str, like vorlane; lxml gets bytes (and the path for the file
readers), its faster form.
"""

import argparse
import gc
import importlib.util
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time
import traceback

MEGABYTE = 1_000_000
CONTENDERS = ("vorlane", "ElementTree", "lxml")
OPERATIONS = ("read string", "read string + touch", "read file", "write string", "write file")

# ---------------------------------------------------------------------------
# Corpus


def record_document(target_bytes, seed=1):
    """Flat records, each element with 4 to 8 attributes and a short text."""
    rng = random.Random(seed)
    cities = ["Oslo", "Lyon", "Porto", "Graz", "Turku", "Cork", "Brno", "Gent",
              "Genève", "Zürich", "Kraków", "Århus", "Málaga", "Łódź", "東京", "Αθήνα"]
    kinds = ["alpha", "beta", "gamma", "delta", "epsilon"]
    parts = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<records>\n"]
    size = len(parts[0])
    index = 0
    while size < target_bytes:
        extra = index % 5
        attributes = [
            f'id="{index}"',
            f'name="item{index:07d}"',
            f'kind="{kinds[index % len(kinds)]}"',
            f'score="{rng.random() * 100:.3f}"',
        ]
        if extra >= 1:
            attributes.append(f'city="{cities[index % len(cities)]}"')
        if extra >= 2:
            attributes.append(f'active="{"true" if index % 3 else "false"}"')
        if extra >= 3:
            attributes.append(f'updated="2024-{index % 12 + 1:02d}-{index % 28 + 1:02d}"')
        if extra >= 4:
            attributes.append(f'tag="t{rng.randrange(1000)}"')
        note = ("Record number", "Eintrag Nr.", "Entrée n°", "記録番号", "Запись №")[index % 5]
        line = f'  <record {" ".join(attributes)}>{note} {index} of the set</record>\n'
        parts.append(line)
        size += len(line)
        index += 1
    parts.append("</records>\n")
    return "".join(parts)


def text_document(target_bytes, seed=2):
    """Paragraphs of prose with entity and character references and inline markup."""
    rng = random.Random(seed)
    words = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
             "incididunt ut labore et dolore magna aliqua caf&#233; &amp; na&#xEF;ve &lt;b&gt; "
             "&quot;quoted&quot; it&apos;s déjà vu Straße 東京 Ελλάδα").split()
    parts = ["<doc>\n"]
    size = len(parts[0])
    index = 0
    while size < target_bytes:
        sentence = " ".join(rng.choice(words) for _ in range(60))
        tail = " ".join(rng.choice(words) for _ in range(25))
        inline = f"<em>emphasis {index} &amp; more</em>" if index % 3 == 0 else ""
        line = f'  <p id="p{index}">{sentence} {inline} {tail}</p>\n'
        parts.append(line)
        size += len(line)
        index += 1
    parts.append("</doc>\n")
    return "".join(parts)


def deep_document(target_bytes, seed=3, chain_depth=200):
    """Chains of nested elements 200 levels deep (within lxml's default depth limit)."""
    rng = random.Random(seed)
    parts = ["<deep>\n"]
    size = len(parts[0])
    while size < target_bytes:
        opening = "".join(f'<level n="{level}">' for level in range(chain_depth))
        chain = f"{opening}feuille {rng.randrange(10**6)} é{'</level>' * chain_depth}\n"
        parts.append(chain)
        size += len(chain)
    parts.append("</deep>\n")
    return "".join(parts)


class Document:
    def __init__(self, label, root_tag, text, directory):
        self.label = label
        self.root_tag = root_tag
        self.path = os.path.join(directory, f"{label}.xml")
        data = text.encode("utf-8")
        self.size = len(data)
        with open(self.path, "wb") as handle:
            handle.write(data)

    @property
    def size_text(self):
        return f"{self.size / MEGABYTE:.1f} MB"


# ---------------------------------------------------------------------------
# The child process: one cold call


def resident_kib(field):
    """VmRSS or VmHWM of this process in KiB, or 0 where /proc is not there."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def reset_peak():
    """Makes VmHWM start again from the current resident set (Linux 4.0 and later)."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")
    except OSError:
        pass


def touch_vorlane(node):
    count = 0
    stack = [node]
    while stack:
        current = stack.pop()
        current.name
        for key, value in current.attrs.items():
            pass
        current.text
        stack.extend(current.children)
        count += 1
    return count


def touch_etree(root):
    """For ElementTree and lxml trees alike."""
    count = 0
    for element in root.iter():
        element.tag
        for key, value in element.items():
            pass
        element.text
        count += 1
    return count


def child_measure(contender, operation, path, root_tag, out_path):
    """Runs in a fresh process: prepares untimed, times one call, then the release of
    its result, and prints one JSON line."""
    if contender == "vorlane":
        import vorlane

        read_string = lambda source: vorlane.read_string(source, root_tag)
        read_file = lambda: vorlane.read_file(path, root_tag)
        touch = touch_vorlane
        write_string = lambda tree: vorlane.write_string(tree)
        write_file = lambda tree: vorlane.write_file(tree, out_path)
    elif contender == "ElementTree":
        import xml.etree.ElementTree as ElementTree

        read_string = ElementTree.fromstring
        read_file = lambda: ElementTree.parse(path).getroot()
        touch = touch_etree

        def write_string(root):
            ElementTree.indent(root)
            return ElementTree.tostring(root, encoding="unicode", xml_declaration=True)

        def write_file(root):
            ElementTree.indent(root)
            ElementTree.ElementTree(root).write(out_path, encoding="utf-8", xml_declaration=True)
    else:
        from lxml import etree as lxml_etree

        read_string = lxml_etree.fromstring
        read_file = lambda: lxml_etree.parse(path).getroot()
        touch = touch_etree
        write_string = lambda root: lxml_etree.tostring(root, pretty_print=True, xml_declaration=True,
                                                         encoding="utf-8")
        write_file = lambda root: lxml_etree.ElementTree(root).write(out_path, pretty_print=True,
                                                                      xml_declaration=True, encoding="utf-8")

    with open(path, "rb") as handle:
        data = handle.read()
    source = data if contender == "lxml" else data.decode("utf-8")
    del data
    tree = None
    if operation.startswith("write"):
        tree = read_string(source)
    timed = {
        "read string": lambda: read_string(source),
        "read string + touch": lambda: (lambda root: (touch(root), root)[1])(read_string(source)),
        "read file": read_file,
        "write string": lambda: write_string(tree),
        "write file": lambda: write_file(tree),
    }[operation]
    gc.collect()
    before = resident_kib("VmRSS")
    reset_peak()
    start = time.perf_counter()
    result = timed()
    elapsed = time.perf_counter() - start
    peak = resident_kib("VmHWM")
    start = time.perf_counter()
    del result
    released = time.perf_counter() - start
    print(json.dumps({"seconds": elapsed, "release_seconds": released, "growth_kib": max(0, peak - before)}))


# ---------------------------------------------------------------------------
# The parent: rounds of fresh processes


def run_child(contender, operation, document, out_path):
    completed = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", contender, operation, document.path,
         document.root_tag, out_path],
        capture_output=True, text=True,
    )
    if completed.returncode != 0:
        print(completed.stderr, file=sys.stderr)
        return None
    return json.loads(completed.stdout.strip().splitlines()[-1])


def measure(document, contenders, operations, rounds, directory):
    """{operation: {contender: [measurement per round]}}, contenders interleaved with
    a rotating start so that drift of a busy machine spreads over all of them."""
    out_path = os.path.join(directory, "written.xml")
    results = {operation: {contender: [] for contender in contenders} for operation in operations}
    for round_number in range(rounds):
        for operation in operations:
            shift = round_number % len(contenders)
            for contender in contenders[shift:] + contenders[:shift]:
                results[operation][contender].append(run_child(contender, operation, document, out_path))
    if os.path.exists(out_path):
        os.unlink(out_path)
    return results


def median_ratio(peer_runs, own_runs, key="seconds"):
    """Median over the rounds of the peer's time over vorlane's in the same round."""
    ratios = [peer[key] / own[key] for peer, own in zip(peer_runs, own_runs) if peer and own and own[key] > 0]
    return statistics.median(ratios) if ratios else None


def median_of(runs, key):
    values = [run[key] for run in runs if run]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------------------
# Report


def seconds_text(seconds):
    if seconds is None:
        return "-"
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.3f} s"


def print_document(document, results, contenders):
    print(f"\n{document.label} ({document.size_text}, root <{document.root_tag}>)")
    header = ["operation"] + [f"{name}" for name in contenders] + [f"{name}/vorlane" for name in contenders[1:]]
    header += ["vorlane release", "vorlane dRSS", "dRSS/input"]
    lines = [header]
    for operation, per_contender in results.items():
        own = per_contender.get("vorlane", [])
        line = [operation] + [seconds_text(median_of(per_contender[name], "seconds")) for name in contenders]
        for name in contenders[1:]:
            ratio = median_ratio(per_contender[name], own)
            line.append("-" if ratio is None else f"{ratio:.2f}x")
        release = median_of(own, "release_seconds") if operation.startswith("read") else None
        growth = median_of(own, "growth_kib")
        line.append(seconds_text(release))
        line.append("-" if growth is None else f"{growth / 1024:.0f} MiB")
        line.append("-" if growth is None else f"{growth * 1024 / document.size:.1f}x")
        lines.append(line)
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    for position, line in enumerate(lines):
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if position == 0:
            print("  ".join("-" * width for width in widths))


def print_targets(document, results):
    """The goals set for the record documents."""
    def ratio(operation, peer):
        runs = results.get(operation, {})
        if peer not in runs:
            return None
        return median_ratio(runs[peer], runs["vorlane"])

    read = results.get("read string", {}).get("vorlane", [])
    release_share = median_ratio([{"seconds": run["release_seconds"]} if run else None for run in read], read)
    growth = median_of(read, "growth_kib")
    checks = [
        ("read_string vs lxml.etree.fromstring", ratio("read string", "lxml"), 3.0, True),
        ("read_string vs ElementTree.fromstring", ratio("read string", "ElementTree"), 15.0, True),
        ("read_string + touch vs lxml", ratio("read string + touch", "lxml"), 3.0, True),
        ("release time / read time", release_share, 0.25, False),
        ("read_string dRSS / input size", None if growth is None else growth * 1024 / document.size, 4.0, False),
    ]
    print(f"\nTargets on {document.label}:")
    for text, value, goal, at_least in checks:
        if value is None:
            verdict, shown = "n/a", "-"
        else:
            verdict = "met" if (value >= goal if at_least else value <= goal) else "MISSED"
            shown = f"{value:.2f}"
        print(f"  {text:<40} {shown:>7}  (goal {'>=' if at_least else '<='} {goal:g})  {verdict}")


def run_walk_benchmarks(documents, repeat):
    """Hands the documents to benchmarks/bench_walks.py (warm, in this process)."""
    walks_path = pathlib.Path(__file__).with_name("bench_walks.py")
    if not walks_path.exists():
        return
    location = importlib.util.spec_from_file_location("bench_walks", walks_path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    print("\n== bench_walks")
    texts = {}
    for document in documents:
        with open(document.path, encoding="utf-8") as handle:
            texts[document.label] = handle.read()
    module.run(texts, repeat)


def parse_sizes(text):
    sizes = [float(part) for part in text.split(",") if part.strip()]
    if not sizes or any(size <= 0 for size in sizes):
        raise argparse.ArgumentTypeError("sizes are positive numbers of megabytes, e.g. 20,100")
    return sizes


def available_contenders():
    names = ["vorlane", "ElementTree"]
    if importlib.util.find_spec("lxml") is not None:
        names.append("lxml")
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=parse_sizes, default=[20.0],
                        help="record document sizes in MB, comma separated (default 20)")
    parser.add_argument("--other-size", type=float, default=20.0,
                        help="size in MB of the text-heavy and deep documents (0 leaves them out; default 20)")
    parser.add_argument("--rounds", type=int, default=3, help="fresh-process rounds per measurement (default 3)")
    parser.add_argument("--ops", default=",".join(OPERATIONS),
                        help="operations, comma separated (default: all of " + ", ".join(OPERATIONS) + ")")
    parser.add_argument("--walks", action="store_true", help="also run benchmarks/bench_walks.py on the documents")
    parser.add_argument("--workdir", help="where the documents are written (default: a temporary directory)")
    parser.add_argument("--child", nargs=5, metavar=("CONTENDER", "OPERATION", "PATH", "ROOT", "OUT"),
                        help=argparse.SUPPRESS)
    arguments = parser.parse_args()

    if arguments.child:
        child_measure(*arguments.child)
        return 0

    operations = [operation.strip() for operation in arguments.ops.split(",") if operation.strip()]
    unknown = [operation for operation in operations if operation not in OPERATIONS]
    if unknown:
        parser.error(f"unknown operation(s): {', '.join(unknown)}")
    temporary = None
    directory = arguments.workdir
    if directory is None:
        temporary = tempfile.TemporaryDirectory(prefix="vorlane-compare-")
        directory = temporary.name
    os.makedirs(directory, exist_ok=True)

    contenders = available_contenders()
    print(f"python {sys.version.split()[0]}, contenders {', '.join(contenders)}, "
          f"{arguments.rounds} rounds of one cold call per fresh process, gc on")
    corpus = [(f"record-{size:g}MB", "records", record_document, size) for size in arguments.sizes]
    if arguments.other_size > 0:
        corpus.append((f"text-{arguments.other_size:g}MB", "doc", text_document, arguments.other_size))
        corpus.append((f"deep-{arguments.other_size:g}MB", "deep", deep_document, arguments.other_size))

    documents = []
    status = 0
    for label, root_tag, generate, size in corpus:
        document = Document(label, root_tag, generate(int(size * MEGABYTE)), directory)
        documents.append(document)
        results = measure(document, contenders, operations, arguments.rounds, directory)
        print_document(document, results, contenders)
        if root_tag == "records":
            print_targets(document, results)
        if any(run is None for per in results.values() for runs in per.values() for run in runs):
            status = 1
    if arguments.walks:
        try:
            run_walk_benchmarks(documents, arguments.rounds)
        except Exception:
            traceback.print_exc()
            status = 1
    if temporary is not None:
        temporary.cleanup()
    return status


if __name__ == "__main__":
    sys.exit(main())
