#!/usr/bin/env python3
"""Draws the README's performance chart and table from the JSON that the peer
benchmark harness writes (peers.py --json-out).

The chart has one column per operation (read_string, read_file, write_string,
to_dict) and two rows: throughput in MB of XML per second, and the peak resident
memory of the process that ran the operation. Within a panel the bars are grouped
by document kind, one bar per library. The table (--table) gives the same medians
as Markdown, ready to paste into the README.

Usage:
  python scripts/plot_benchmarks.py RESULTS.json --png CHART.png [--table TABLE.md]
"""

import argparse
import datetime
import json
import sys

# Operation in the harness -> the call it times, as the README names it.
OPERATIONS = {
    "parse-str": "read_string",
    "parse-file": "read_file",
    "serialize": "write_string",
    "to-dict": "to_dict",
}
# Contender in the harness -> the label in the chart and table, in drawing order.
CONTENDERS = {
    "vorlane": "vorlane",
    "lxml": "lxml",
    "etree": "ElementTree",
    "etree-pyconv": "ElementTree + dict walk",
    "xmltodict": "xmltodict",
}
COLOURS = {
    "vorlane": "#1b6ca8",
    "lxml": "#e07b28",
    "etree": "#4c9a4c",
    "etree-pyconv": "#8fc98f",
    "xmltodict": "#a05ca8",
}
KINDS = ("records", "text", "deep", "attr-dense")


def load(path):
    """The harness's results: {"info": ..., "tables": [...]}."""
    with open(path, encoding="utf-8") as handle:
        results = json.load(handle)
    if "tables" not in results or "info" not in results:
        raise SystemExit(f"{path}: not a peers.py --json-out file")
    return results


def medians(results):
    """{(operation, kind): {contender: row}} for the rows that have a median."""
    found = {}
    for table in results["tables"]:
        if table["op"] not in OPERATIONS:
            continue
        kind = table.get("kind") or table["file"].rsplit("-", 1)[0]
        rows = {row["contender"]: row for row in table["rows"] if "median_s" in row}
        found[(table["op"], kind)] = rows
    return found


def present(found):
    """The operations, kinds and contenders that occur, in the fixed orders."""
    operations = [op for op in OPERATIONS if any(key[0] == op for key in found)]
    kinds = [kind for kind in KINDS if any(key[1] == kind for key in found)]
    kinds += sorted({key[1] for key in found} - set(kinds))
    contenders = [name for name in CONTENDERS if any(name in rows for rows in found.values())]
    return operations, kinds, contenders


def machine_line(info):
    date = datetime.datetime.fromisoformat(info["date"]).strftime("%Y-%m-%d")
    return (f"{info.get('cpu', 'unknown CPU')}, {info.get('nproc', '?')} cores, "
            f"{info.get('mem_total_gib', '?')} GiB, Python {info.get('python', '?')}, "
            f"lxml {info.get('lxml') or '-'} (libxml2 {info.get('libxml2') or '-'}), {date}")


def draw(results, png_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    found = medians(results)
    operations, kinds, contenders = present(found)
    if not operations:
        raise SystemExit("no operation of the chart in the results")
    figure, axes = plt.subplots(2, len(operations), figsize=(4.2 * len(operations), 7.0), squeeze=False)
    for column, op in enumerate(operations):
        in_panel = [name for name in contenders if any(name in found.get((op, kind), {}) for kind in kinds)]
        width = 0.8 / max(1, len(in_panel))
        for row, (field, label) in enumerate((("mb_s", "MB/s (higher is better)"),
                                              ("peak_mb", "peak RSS, MB (lower is better)"))):
            axis = axes[row][column]
            for index, name in enumerate(in_panel):
                positions, values = [], []
                for position, kind in enumerate(kinds):
                    entry = found.get((op, kind), {}).get(name)
                    if entry is not None and entry.get(field) is not None:
                        positions.append(position + (index - (len(in_panel) - 1) / 2) * width)
                        values.append(entry[field])
                if values:
                    axis.bar(positions, values, width, label=CONTENDERS[name], color=COLOURS[name])
            axis.set_xticks(range(len(kinds)))
            axis.set_xticklabels(kinds, fontsize=8)
            axis.tick_params(axis="y", labelsize=8)
            axis.grid(axis="y", alpha=0.3)
            axis.set_axisbelow(True)
            if row == 0:
                axis.set_title(OPERATIONS[op], fontsize=11)
            if column == 0:
                axis.set_ylabel(label, fontsize=9)
    handles, labels = [], []
    for axis in axes.flat:
        for handle, text in zip(*axis.get_legend_handles_labels()):
            if text not in labels:
                handles.append(handle)
                labels.append(text)
    order = [labels.index(CONTENDERS[name]) for name in contenders if CONTENDERS[name] in labels]
    figure.legend([handles[i] for i in order], [labels[i] for i in order], loc="lower center",
                  ncol=len(order), fontsize=9, frameon=False)
    sizes = sorted({round(table["bytes"] / 1e6) for table in results["tables"]})
    figure.suptitle(f"{'/'.join(str(size) for size in sizes)} MB documents, median of "
                    f"{results['tables'][0].get('repeat', '?')} fresh processes\n{machine_line(results['info'])}",
                    fontsize=9)
    figure.tight_layout(rect=(0, 0.05, 1, 0.95))
    figure.savefig(png_path, dpi=110)
    plt.close(figure)


def table(results):
    """The medians as Markdown: one row per operation and library, one column per kind."""
    found = medians(results)
    operations, kinds, contenders = present(found)
    lines = ["| operation | library | " + " | ".join(kinds) + " |",
             "|---|---|" + "---:|" * len(kinds)]
    for op in operations:
        for name in contenders:
            cells = []
            for kind in kinds:
                entry = found.get((op, kind), {}).get(name)
                cells.append("-" if entry is None else f"{entry['mb_s']:.0f} MB/s, {entry['peak_mb']:.0f} MB")
            if any(cell != "-" for cell in cells):
                lines.append(f"| `{OPERATIONS[op]}` | {CONTENDERS[name]} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n\n" + machine_line(results["info"]) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", help="JSON written by peers.py --json-out")
    parser.add_argument("--png", help="write the chart to this PNG file")
    parser.add_argument("--table", help="write the Markdown table to this file ('-' for standard output)")
    arguments = parser.parse_args(argv)
    if not arguments.png and not arguments.table:
        parser.error("nothing to do: give --png, --table or both")
    results = load(arguments.results)
    if arguments.png:
        draw(results, arguments.png)
    if arguments.table == "-":
        sys.stdout.write(table(results))
    elif arguments.table:
        with open(arguments.table, "w", encoding="utf-8") as handle:
            handle.write(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
