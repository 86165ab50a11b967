#!/usr/bin/env python3
"""Times writing and dictionary conversion against their peers, one cold call per
fresh process, on the generated benchmark documents (records, attr-dense, deep,
text), and prints one table per document with peak memory.

Operations and contenders (the tree, dictionary or text each starts from is made
before the clock starts):

- write-string: `vorlane.write_string(tree)` (indent 4, declaration) against lxml
  `etree.tostring(tree, pretty_print=True, xml_declaration=True,
  encoding="UTF-8").decode()` and ElementTree `indent` + `tostring(encoding="unicode",
  xml_declaration=True)`;
- write-file: `vorlane.write_file(tree, path)` against lxml
  `ElementTree.write(path, pretty_print=True, xml_declaration=True,
  encoding="UTF-8")` and ElementTree `indent` + `ElementTree.write(path,
  encoding="utf-8", xml_declaration=True)`;
- to-dict: `vorlane.read_string(text, root).to_dict()` against
  `xmltodict.parse(text)`, both from a freshly read str;
- from-dict: `vorlane.write_string(vorlane.Node.from_dict(d))` against
  `xmltodict.unparse(d, pretty=True)`, each from its own dictionary form.

    python benchmarks/bench_write.py --corpus-dir /tmp/vorlane-corpus --sizes 20MB,100MB

Missing documents are generated with ../shared/bench/gen_corpus.py when it is
there (--generator). Each measurement runs in a child process: the cyclic
collector is on, the peak resident size is reset just before the timed call
(/proc/self/clear_refs) and read just after it. Rounds are interleaved across
contenders; the ratio is the peer's time over vorlane's in each round, and the
median is shown: above 1 means vorlane is faster.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

KINDS = ("records", "attr-dense", "deep", "text")
OPERATIONS = {
    "write-string": ("vorlane", "lxml", "etree"),
    "write-file": ("vorlane", "lxml", "etree"),
    "to-dict": ("vorlane", "xmltodict"),
    "from-dict": ("vorlane", "xmltodict"),
}
DEFAULT_GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "bench",
                                 "gen_corpus.py")


# ---------------------------------------------------------------------------
# Child process: one cold measurement
# ---------------------------------------------------------------------------

def _memory():
    status = {}
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(("VmHWM:", "VmRSS:")):
                key, value = line.split(":")
                status[key] = int(value.split()[0]) * 1024
    return status


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
    except OSError:
        pass


def _prepare(operation, contender, path, root_tag):
    """What the timed call starts from, made before the clock starts."""
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    if operation == "to-dict":
        return text
    if contender == "vorlane":
        import vorlane

        tree = vorlane.read_string(text, root_tag)
        return tree.to_dict() if operation == "from-dict" else tree
    if contender == "lxml":
        from lxml import etree

        # Whitespace between elements is dropped, so that pretty printing indents
        # as the other contenders do.
        parser = etree.XMLParser(remove_blank_text=True, huge_tree=True)
        return etree.fromstring(text.encode("utf-8"), parser)
    if contender == "etree":
        import xml.etree.ElementTree as ElementTree

        return ElementTree.fromstring(text)
    if contender == "xmltodict":
        import xmltodict

        return xmltodict.parse(text)
    raise SystemExit(f"no contender {contender} for {operation}")


def _timed(operation, contender, start, root_tag, output_path):
    if contender == "vorlane":
        import vorlane

        if operation == "write-string":
            return lambda: vorlane.write_string(start)
        if operation == "write-file":
            return lambda: vorlane.write_file(start, output_path)
        if operation == "to-dict":
            return lambda: vorlane.read_string(start, root_tag).to_dict()
        return lambda: vorlane.write_string(vorlane.Node.from_dict(start))
    if contender == "lxml":
        from lxml import etree

        if operation == "write-string":
            return lambda: etree.tostring(start, pretty_print=True, xml_declaration=True, encoding="UTF-8").decode(
                "utf-8")
        return lambda: etree.ElementTree(start).write(output_path, pretty_print=True, xml_declaration=True,
                                                      encoding="UTF-8")
    if contender == "etree":
        import xml.etree.ElementTree as ElementTree

        def write_string():
            ElementTree.indent(start, space="    ")
            return ElementTree.tostring(start, encoding="unicode", xml_declaration=True)

        def write_file():
            ElementTree.indent(start, space="    ")
            ElementTree.ElementTree(start).write(output_path, encoding="utf-8", xml_declaration=True)

        return write_string if operation == "write-string" else write_file
    import xmltodict

    if operation == "to-dict":
        return lambda: xmltodict.parse(start)
    return lambda: xmltodict.unparse(start, pretty=True, indent="    ")


def run_child(arguments):
    if arguments.vorlane_path:
        sys.path.insert(0, arguments.vorlane_path)
    start = _prepare(arguments.operation, arguments.contender, arguments.file, arguments.root_tag)
    call = _timed(arguments.operation, arguments.contender, start, arguments.root_tag, arguments.output)
    # Every contender writes a new file: the previous run's output is removed before
    # the clock starts, or truncating it (tens of milliseconds for 100 MB of page
    # cache, more while it is being written back) would count against whoever runs
    # next.
    if os.path.exists(arguments.output):
        os.unlink(arguments.output)
    before = _memory()
    _reset_peak()
    began = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - began
    after = _memory()
    sys.stdout.write(json.dumps({
        "seconds": seconds,
        "peak_mb": after["VmHWM"] / 1e6,
        "growth_mb": (after["VmHWM"] - before["VmRSS"]) / 1e6,
    }) + "\n")
    sys.stdout.flush()
    del result
    os._exit(0)  # skip tearing down the large trees


# ---------------------------------------------------------------------------
# Parent: documents, rounds, tables
# ---------------------------------------------------------------------------

def document_path(arguments, kind, size):
    path = os.path.join(arguments.corpus_dir, f"{kind}-{size}.xml")
    if not os.path.exists(path):
        if not os.path.exists(arguments.generator):
            raise SystemExit(f"missing {path} and no generator at {arguments.generator}")
        subprocess.run([sys.executable, arguments.generator, "--kinds", kind, "--sizes", size,
                        "--out", arguments.corpus_dir], check=True)
    return path


def root_tag_of(path):
    meta_path = path[:-4] + ".json"
    if os.path.exists(meta_path):
        with open(meta_path) as handle:
            tag = json.load(handle).get("root_tag")
        if tag:
            return tag
    with open(path, encoding="utf-8") as handle:
        head = handle.read(4096)
    position = 0
    while True:
        position = head.index("<", position)
        if head[position + 1] not in "?!":
            end = position + 1
            while head[end] not in " \t\r\n/>":
                end += 1
            return head[position + 1:end]
        position += 1


def measure(arguments, operation, contender, path, root_tag, output_path):
    command = [sys.executable, os.path.abspath(__file__), "--child", "--operation", operation,
               "--contender", contender, "--file", path, "--root-tag", root_tag, "--output", output_path]
    if arguments.vorlane_path:
        command += ["--vorlane-path", arguments.vorlane_path]
    completed = subprocess.run(command, capture_output=True, text=True, timeout=arguments.timeout)
    if completed.returncode != 0 or not completed.stdout.strip():
        return {"error": (completed.stderr.strip().splitlines() or ["no output"])[-1]}
    return json.loads(completed.stdout.strip().splitlines()[-1])


def run_document(arguments, kind, size, operations):
    path = document_path(arguments, kind, size)
    root_tag = root_tag_of(path)
    megabytes = os.path.getsize(path) / 1e6
    with tempfile.TemporaryDirectory() as scratch:
        output_path = os.path.join(scratch, "out.xml")
        for operation in operations:
            contenders = [name for name in OPERATIONS[operation] if name in arguments.contenders]
            runs = {name: [] for name in contenders}
            for _ in range(arguments.repeat):
                for contender in contenders:
                    runs[contender].append(measure(arguments, operation, contender, path, root_tag, output_path))
            print(f"\n#### {kind}-{size} ({megabytes:.1f} MB) - {operation}\n")
            print("| contender | median s | MB/s | peer time / vorlane time | peak RSS MB | op growth MB |")
            print("|---|---:|---:|---:|---:|---:|")
            for contender in contenders:
                good = [run for run in runs[contender] if "error" not in run]
                if not good:
                    print(f"| {contender} | failed: {runs[contender][0]['error'][:80]} | | | | |")
                    continue
                seconds = statistics.median(run["seconds"] for run in good)
                ratios = [
                    peer["seconds"] / own["seconds"]
                    for peer, own in zip(runs[contender], runs.get("vorlane", []))
                    if "error" not in peer and "error" not in own
                ]
                ratio = f"{statistics.median(ratios):.2f}" if ratios and contender != "vorlane" else "-"
                peak = statistics.median(run["peak_mb"] for run in good)
                growth = statistics.median(run["growth_mb"] for run in good)
                print(f"| {contender} | {seconds:.3f} | {megabytes / seconds:.1f} | {ratio} | {peak:.0f} | "
                      f"{growth:.0f} |")
            sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus-dir", default="/tmp/vorlane-corpus")
    parser.add_argument("--generator", default=os.path.normpath(DEFAULT_GENERATOR))
    parser.add_argument("--kinds", default="all", help="comma-separated: " + ",".join(KINDS) + ", or all")
    parser.add_argument("--sizes", default="20MB,100MB")
    parser.add_argument("--operations", default=",".join(OPERATIONS))
    parser.add_argument("--contenders", default="vorlane,lxml,etree,xmltodict")
    parser.add_argument("--repeat", type=int, default=3, help="fresh-process rounds per contender")
    parser.add_argument("--timeout", type=float, default=900)
    parser.add_argument("--vorlane-path", help="directory holding the vorlane module to measure")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--operation", help=argparse.SUPPRESS)
    parser.add_argument("--contender", help=argparse.SUPPRESS)
    parser.add_argument("--file", help=argparse.SUPPRESS)
    parser.add_argument("--root-tag", help=argparse.SUPPRESS)
    parser.add_argument("--output", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        run_child(arguments)
        return
    arguments.contenders = set(arguments.contenders.split(","))
    kinds = KINDS if arguments.kinds == "all" else arguments.kinds.split(",")
    operations = arguments.operations.split(",")
    for operation in operations:
        if operation not in OPERATIONS:
            raise SystemExit(f"unknown operation {operation}; choose from {', '.join(OPERATIONS)}")
    print(f"# bench_write.py  Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"{arguments.repeat} fresh-process rounds per contender")
    for size in arguments.sizes.split(","):
        for kind in kinds:
            run_document(arguments, kind, size, operations)


if __name__ == "__main__":
    main()
