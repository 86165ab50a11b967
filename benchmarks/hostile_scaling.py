#!/usr/bin/env python3
"""Times `vorlane.read_string` on hostile document shapes at sizes N, 2N, 4N and
8N, and prints the time per input byte, which stays flat when the reader scales
linearly:

- huge-attribute-value: one attribute whose value is N bytes;
- many-attributes: one element with N attributes;
- many-siblings: N empty elements under one root;
- amp-run: a text of N `&amp;` references;
- deep-nesting: N nested elements.

    PYTHONPATH=build python benchmarks/hostile_scaling.py [--repeat 3] [--scale 1.0]

Times are the best of `repeat` calls. The call includes building the Node objects;
releasing the tree afterwards is not timed. The last column divides the time per
byte at each size by that at N: values near 1 mean linear scaling, a value that
doubles with every step means quadratic cost. The shapes made of many small items
(attributes, elements, levels) touch memory at random as the attribute table, the
element records and the Node objects grow, so their time per byte rises while
that working set outgrows the processor caches and then levels off.
"""

import argparse
import gc
import sys
import time

import vorlane


def huge_attribute_value(count):
    return '<r a="' + "x" * count + '"/>', "r"


def many_attributes(count):
    chunks = ["<r"]
    for start in range(0, count, 10_000):
        chunks.append("".join(f' a{index}="v"' for index in range(start, min(start + 10_000, count))))
    chunks.append("/>")
    return "".join(chunks), "r"


def many_siblings(count):
    return "<r>" + "<c/>" * count + "</r>", "r"


def amp_run(count):
    return "<r>" + "&amp;" * count + "</r>", "r"


def deep_nesting(count):
    return "<a>" * count + "</a>" * count, "a"


# (name, document maker, N)
SHAPES = [
    ("huge-attribute-value", huge_attribute_value, 4_000_000),
    ("many-attributes", many_attributes, 100_000),
    ("many-siblings", many_siblings, 125_000),
    ("amp-run", amp_run, 1_000_000),
    ("deep-nesting", deep_nesting, 125_000),
]


def best_time(document, root_tag, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        root = vorlane.read_string(document, root_tag)
        elapsed = time.perf_counter() - start
        del root
        gc.collect()
        best = min(best, elapsed)
    return best


def run(repeat, scale):
    print(f"{'shape':<22}{'size':>6}{'input bytes':>14}{'seconds':>11}{'ns/byte':>10}{'vs N':>7}")
    worst = 0.0
    for name, make, base in SHAPES:
        first_per_byte = None
        for multiple in (1, 2, 4, 8):
            document, root_tag = make(max(1, int(base * scale)) * multiple)
            input_bytes = len(document.encode())
            seconds = best_time(document, root_tag, repeat)
            per_byte = seconds / input_bytes * 1e9
            if first_per_byte is None:
                first_per_byte = per_byte
            growth = per_byte / first_per_byte
            worst = max(worst, growth)
            size = f"{multiple}N"
            print(f"{name:<22}{size:>6}{input_bytes:>14,}{seconds:>11.4f}{per_byte:>10.2f}{growth:>7.2f}")
            del document
    print(f"largest growth of the time per byte from N to 8N: {worst:.2f}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="calls per size; the best is kept")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every N")
    arguments = parser.parse_args(argv)
    run(arguments.repeat, arguments.scale)


if __name__ == "__main__":
    main(sys.argv[1:])
