#!/usr/bin/env python3
"""Times vorlane against xml.etree.ElementTree and lxml on generated documents.

In one run, on the same inputs: reading from a string and from a file, alone and
with the whole tree touched (every element's name, attributes and text read);
writing each library's own tree of the same document to a string and to a file,
pretty-printed with an XML declaration; and the peak resident memory of a process
that reads the largest record document, one fresh process per library.

    PYTHONPATH=build python benchmarks/compare.py --sizes 1,10,100

Times are the best of --repeat runs, with the garbage collector on as users have
it. Ratios are the peer's time over vorlane's: above 1 means vorlane is faster.
ElementTree is given the document as a str, like vorlane; lxml is given bytes (and
the file path for the file readers), its faster form.
"""

import argparse
import gc
import importlib.util
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ElementTree

try:
    from lxml import etree as lxml_etree
except ImportError:  # lxml is optional: its columns are left empty
    lxml_etree = None

import vorlane

MEGABYTE = 1_000_000

# ---------------------------------------------------------------------------
# Corpus


def record_document(target_bytes, seed=1):
    """Flat records, each element with 4 to 8 attributes and a short text."""
    rng = random.Random(seed)
    cities = ["Oslo", "Lyon", "Porto", "Graz", "Turku", "Cork", "Brno", "Gent"]
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
        line = f'  <record {" ".join(attributes)}>Record number {index} of the set</record>\n'
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
             "&quot;quoted&quot; it&apos;s").split()
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
        chain = f"{opening}leaf {rng.randrange(10**6)}{'</level>' * chain_depth}\n"
        parts.append(chain)
        size += len(chain)
    parts.append("</deep>\n")
    return "".join(parts)


class Document:
    def __init__(self, label, root_tag, text, directory):
        self.label = label
        self.root_tag = root_tag
        self.text = text
        self.data = text.encode("utf-8")
        self.path = os.path.join(directory, f"{label}.xml")
        with open(self.path, "wb") as handle:
            handle.write(self.data)

    @property
    def size_text(self):
        return f"{len(self.data) / MEGABYTE:.1f} MB"


# ---------------------------------------------------------------------------
# Walks that touch every element


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


# ---------------------------------------------------------------------------
# Timing


def best_time(function, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = function()
        elapsed = time.perf_counter() - start
        del result
        best = min(best, elapsed)
    gc.collect()
    return best


def read_operations(document):
    """Operation name -> {library: callable}, all on the same document."""
    text, data, path, root_tag = document.text, document.data, document.path, document.root_tag
    operations = {
        "read string": {
            "vorlane": lambda: vorlane.read_string(text, root_tag),
            "ElementTree": lambda: ElementTree.fromstring(text),
        },
        "read string + touch": {
            "vorlane": lambda: touch_vorlane(vorlane.read_string(text, root_tag)),
            "ElementTree": lambda: touch_etree(ElementTree.fromstring(text)),
        },
        "read file": {
            "vorlane": lambda: vorlane.read_file(path, root_tag),
            "ElementTree": lambda: ElementTree.parse(path).getroot(),
        },
        "read file + touch": {
            "vorlane": lambda: touch_vorlane(vorlane.read_file(path, root_tag)),
            "ElementTree": lambda: touch_etree(ElementTree.parse(path).getroot()),
        },
    }
    if lxml_etree is not None:
        operations["read string"]["lxml"] = lambda: lxml_etree.fromstring(data)
        operations["read string + touch"]["lxml"] = lambda: touch_etree(lxml_etree.fromstring(data))
        operations["read file"]["lxml"] = lambda: lxml_etree.parse(path).getroot()
        operations["read file + touch"]["lxml"] = lambda: touch_etree(lxml_etree.parse(path).getroot())
    return operations


def etree_write_string(root):
    ElementTree.indent(root)
    return ElementTree.tostring(root, encoding="utf-8", xml_declaration=True)


def etree_write_file(root, path):
    ElementTree.indent(root)
    ElementTree.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


def lxml_write_string(root):
    return lxml_etree.tostring(root, pretty_print=True, xml_declaration=True, encoding="utf-8")


def lxml_write_file(root, path):
    lxml_etree.ElementTree(root).write(path, pretty_print=True, xml_declaration=True, encoding="utf-8")


def time_writes(document, repeat, directory):
    """({operation: {library: seconds}}, {library: bytes written}) for writing each
    library's own tree of the document."""
    out_path = os.path.join(directory, "written.xml")
    results = {"write string": {}, "write file": {}}
    libraries = [
        ("vorlane", lambda: vorlane.read_string(document.text, document.root_tag),
         vorlane.write_string, lambda node: vorlane.write_file(node, out_path)),
        ("ElementTree", lambda: ElementTree.fromstring(document.text),
         etree_write_string, lambda root: etree_write_file(root, out_path)),
    ]
    if lxml_etree is not None:
        libraries.append(("lxml", lambda: lxml_etree.fromstring(document.data),
                          lxml_write_string, lambda root: lxml_write_file(root, out_path)))
    output_bytes = {}
    for name, read, write_string, write_file in libraries:
        tree = read()
        written = write_string(tree)
        output_bytes[name] = len(written.encode("utf-8") if isinstance(written, str) else written)
        del written
        results["write string"][name] = best_time(lambda: write_string(tree), repeat)
        results["write file"][name] = best_time(lambda: write_file(tree), repeat)
        del tree
        gc.collect()
    os.unlink(out_path)
    return results, output_bytes


# ---------------------------------------------------------------------------
# Peak memory, one fresh process per library and input form


def peak_rss_kib():
    """This process's peak resident memory in KiB.

    On Linux a child's ru_maxrss starts at its parent's peak when it is forked, so a
    probe started by a large parent would only report the parent; VmHWM in
    /proc/self/status is the high-water mark of the process's own address space.
    ru_maxrss is the fallback where /proc is not there.
    """
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory_probe(library, mode, path, root_tag):
    """Runs in its own process: reads the document and prints the peak RSS (KiB)."""
    if mode == "string":
        with open(path, "rb") as handle:
            data = handle.read()
        source = data if library == "lxml" else data.decode("utf-8")
        del data
    gc.collect()
    before = peak_rss_kib()
    if library == "vorlane":
        tree = vorlane.read_string(source, root_tag) if mode == "string" else vorlane.read_file(path, root_tag)
    elif library == "ElementTree":
        tree = ElementTree.fromstring(source) if mode == "string" else ElementTree.parse(path).getroot()
    else:
        tree = lxml_etree.fromstring(source) if mode == "string" else lxml_etree.parse(path).getroot()
    peak = peak_rss_kib()
    print(json.dumps({"before_kib": before, "peak_kib": peak, "alive": tree is not None}))


def measure_memory(document):
    """{mode: {library: (KiB before parsing, peak KiB)}}."""
    libraries = ["vorlane", "ElementTree"] + (["lxml"] if lxml_etree is not None else [])
    results = {}
    for mode in ("string", "file"):
        results[mode] = {}
        for library in libraries:
            completed = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--memory-probe", library, mode,
                 document.path, document.root_tag],
                capture_output=True, text=True, check=True,
            )
            measured = json.loads(completed.stdout.strip().splitlines()[-1])
            results[mode][library] = (measured["before_kib"], measured["peak_kib"])
    return results


# ---------------------------------------------------------------------------
# Report


def seconds_text(seconds):
    if seconds is None:
        return "-"
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.3f} s"


def ratio_text(peer, own):
    if peer is None or not own:
        return "-"
    return f"{peer / own:.2f}x"


def print_table(rows):
    header = ("document", "size", "operation", "vorlane", "ElementTree", "lxml", "ET/vorlane", "lxml/vorlane")
    lines = [header]
    for label, size, operation, timings in rows:
        own = timings.get("vorlane")
        lines.append((
            label, size, operation,
            seconds_text(own), seconds_text(timings.get("ElementTree")), seconds_text(timings.get("lxml")),
            ratio_text(timings.get("ElementTree"), own), ratio_text(timings.get("lxml"), own),
        ))
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    for position, line in enumerate(lines):
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if position == 0:
            print("  ".join("-" * width for width in widths))


def print_memory(document, memory):
    print(f"\nPeak resident memory reading {document.label} ({document.size_text}), one process each:")
    print("  input   library       before parse   peak        peak/vorlane")
    for mode, per_library in memory.items():
        own_peak = per_library["vorlane"][1]
        for library, (before, peak) in per_library.items():
            print(f"  {mode:<7} {library:<13} {before / 1024:9.1f} MiB  {peak / 1024:9.1f} MiB  "
                  f"{peak / own_peak:.2f}x")


def print_targets(label, timings, memory):
    """The goals set for the largest record document."""
    def ratio(operation, peer):
        peer_time = timings.get(operation, {}).get(peer)
        own = timings.get(operation, {}).get("vorlane")
        return None if peer_time is None or not own else peer_time / own

    checks = [
        ("read_string alone vs lxml.etree.fromstring", ratio("read string", "lxml"), 4.0),
        ("read_string alone vs ElementTree.fromstring", ratio("read string", "ElementTree"), 6.0),
        ("read_string + touch vs lxml", ratio("read string + touch", "lxml"), 2.0),
        ("write_string vs lxml.etree.tostring", ratio("write string", "lxml"), 3.0),
    ]
    print(f"\nTargets on {label}:")
    for text, value, goal in checks:
        verdict = "n/a" if value is None else ("met" if value >= goal else "MISSED")
        shown = "-" if value is None else f"{value:.2f}x"
        print(f"  {text:<48} {shown:>8}  (goal >= {goal:.0f}x)  {verdict}")
    if memory is not None and "lxml" in memory["string"]:
        for mode in ("string", "file"):
            own, peer = memory[mode]["vorlane"][1], memory[mode]["lxml"][1]
            verdict = "met" if own < peer else "MISSED"
            print(f"  {'peak memory (' + mode + ') below lxml':<48} "
                  f"{own / 1024:.0f} vs {peer / 1024:.0f} MiB  {verdict}")


def run_walk_benchmarks(documents, repeat):
    """Hands the documents to benchmarks/bench_walks.py when it is there; False when
    that raised (its traceback is printed and the comparisons above still stand)."""
    walks_path = pathlib.Path(__file__).with_name("bench_walks.py")
    if not walks_path.exists():
        return True
    location = importlib.util.spec_from_file_location("bench_walks", walks_path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    print("\n== bench_walks")
    module.run({document.label: document.text for document in documents}, repeat)
    return True


def parse_sizes(text):
    sizes = [float(part) for part in text.split(",") if part.strip()]
    if not sizes or any(size <= 0 for size in sizes):
        raise argparse.ArgumentTypeError("sizes are positive numbers of megabytes, e.g. 1,10,100")
    return sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=parse_sizes, default=[1.0, 10.0, 100.0],
                        help="record document sizes in MB, comma separated (default 1,10,100)")
    parser.add_argument("--other-size", type=float, default=10.0,
                        help="size in MB of the text-heavy and deep documents (0 leaves them out; default 10)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept (default 3)")
    parser.add_argument("--no-write", action="store_true", help="leave out the write measurements")
    parser.add_argument("--no-memory", action="store_true", help="leave out the peak memory measurement")
    parser.add_argument("--workdir", help="where the documents are written (default: a temporary directory)")
    parser.add_argument("--memory-probe", nargs=4, metavar=("LIBRARY", "MODE", "PATH", "ROOT"),
                        help=argparse.SUPPRESS)
    arguments = parser.parse_args()

    if arguments.memory_probe:
        memory_probe(*arguments.memory_probe)
        return 0

    temporary = None
    directory = arguments.workdir
    if directory is None:
        temporary = tempfile.TemporaryDirectory(prefix="vorlane-compare-")
        directory = temporary.name
    os.makedirs(directory, exist_ok=True)

    print(f"python {sys.version.split()[0]}, lxml "
          f"{'.'.join(map(str, lxml_etree.LXML_VERSION)) if lxml_etree else 'absent'}, "
          f"best of {arguments.repeat}, gc {'on' if gc.isenabled() else 'off'}")
    corpus = [(f"record-{size:g}MB", "records", record_document, size) for size in arguments.sizes]
    if arguments.other_size > 0:
        corpus.append((f"text-{arguments.other_size:g}MB", "doc", text_document, arguments.other_size))
        corpus.append((f"deep-{arguments.other_size:g}MB", "deep", deep_document, arguments.other_size))

    documents = []
    rows = []
    all_timings = {}
    output_sizes = {}
    for label, root_tag, generate, size in corpus:
        document = Document(label, root_tag, generate(int(size * MEGABYTE)), directory)
        documents.append(document)
        timings = {}
        for operation, per_library in read_operations(document).items():
            timings[operation] = {name: best_time(function, arguments.repeat) for name, function in per_library.items()}
        if not arguments.no_write:
            write_timings, output_sizes[label] = time_writes(document, arguments.repeat, directory)
            timings.update(write_timings)
        for operation, per_library in timings.items():
            rows.append((label, document.size_text, operation, per_library))
        all_timings[label] = timings
        print(f"  measured {label}", file=sys.stderr, flush=True)

    print()
    print_table(rows)
    if output_sizes:
        # Layouts differ (vorlane indents by 4 spaces per level without a cap, the
        # peers by 2), so the amount written is shown next to the times.
        print("\nBytes written by write string:")
        for label, sizes in output_sizes.items():
            print(f"  {label:<14} " + "  ".join(f"{name} {size / MEGABYTE:.1f} MB" for name, size in sizes.items()))

    largest = max((document for document in documents if document.root_tag == "records"),
                  key=lambda document: len(document.data))
    memory = None
    if not arguments.no_memory:
        memory = measure_memory(largest)
        print_memory(largest, memory)
    print_targets(largest.label, all_timings[largest.label], memory)

    try:
        walks_ok = run_walk_benchmarks(documents, arguments.repeat)
    except Exception:
        traceback.print_exc()
        walks_ok = False
    if temporary is not None:
        temporary.cleanup()
    return 0 if walks_ok else 1


if __name__ == "__main__":
    sys.exit(main())
