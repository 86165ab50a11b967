"""The installed type stubs match the module (mypy's stubtest) and type-check usage,
with NumPy installed and without it.

mypy runs on small programs written to a temporary directory. The check without
NumPy hides the environment's packages from mypy (--no-site-packages) and hands it
a copy of the installed stubs on MYPYPATH instead, so NumPy cannot be found even
where it is installed. Errors are compared as (line, error code) pairs, which stay
the same when mypy rewords a message.
"""
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vorlane

mypy = pytest.importorskip("mypy")

ERROR_LINE = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")

# A small program as a user writes it: reading, searching, the dictionary form,
# building nodes and writing, all of which must type-check under --strict.
PROGRAM = """
from __future__ import annotations

from typing import TYPE_CHECKING

import vorlane
from vorlane import Node, SearchType

if TYPE_CHECKING:
    from vorlane import NodeMap


def titles(path: str) -> list[str]:
    catalog = vorlane.read_file(path, "catalog")
    return [book.text or "" for book in catalog.search(SearchType.Tag, "book", depth=2)]


def languages(xml: str) -> set[str]:
    root = vorlane.read_string(xml, "catalog")
    return {node.attrs["lang"] for node in root.search_by_attr("lang")}


def marked_copy(node: Node) -> Node:
    form: NodeMap = node.to_dict()
    for child in form["children"]:
        child["attrs"]["seen"] = "1"
        text: str | None = child["text"]
        form["text"] = text
    return Node.from_dict(form)


def build() -> Node:
    book = Node("book", {"lang": "en"}, text="Tom & Jerry")
    return Node("catalog", children=[book, Node("shelf")])


def render(node: Node, path: str) -> str:
    vorlane.write_file(node, path, 2, default_xml_def=False)
    vorlane.write_file(node, path)
    names = [child.name for child in node.children]
    return vorlane.write_string(node, indent=len(names), default_xml_def=None)
"""

# Wrong calls, one per line, each with the error code mypy must report for it.
WRONG_CALLS = [
    ('vorlane.write_string(node, default_xml_def="no")', "arg-type"),
    ("vorlane.write_string(node, default_xml_def=1)", "arg-type"),
    ('vorlane.write_string(node, indent="2")', "arg-type"),
    ('vorlane.write_file(node, indent=2)', "call-arg"),
    ('vorlane.read_string(b"<r/>", "r")', "arg-type"),
    ('node.search("book", "x")', "arg-type"),
    ('Node("a", attrs={"k": 1})', "dict-item"),
    ('Node("a", children=["b"])', "list-item"),
    ('Node.from_dict({"name": "a", "attrs": {}, "children": [], "text": 3})', "typeddict-item"),
    ('node.to_dict()["nmae"]', "typeddict-item"),
    ("node.name = 'b'", "misc"),
]

# With NumPy: its boolean scalars are accepted, its other scalars are not.
NUMPY_PROGRAM = """
import numpy
import vorlane

node = vorlane.read_string("<r/>", "r")
flag = numpy.float64(2.0) > 1
vorlane.write_string(node, default_xml_def=flag)
vorlane.write_string(node, default_xml_def=numpy.bool_(False))
vorlane.write_file(node, "out.xml", default_xml_def=numpy.True_)
vorlane.write_string(node, indent=int(numpy.int64(2)))
"""
NUMPY_WRONG_CALLS = [
    ("vorlane.write_string(node, default_xml_def=numpy.int64(1))", "arg-type"),
    ("vorlane.write_string(node, default_xml_def=numpy.float64(1.0))", "arg-type"),
]


def installed_stubs():
    """The stub package that was installed next to the module."""
    stubs = Path(vorlane.__file__).parent / "vorlane-stubs"
    assert (stubs / "__init__.pyi").is_file(), f"no stubs installed next to {vorlane.__file__}"
    return stubs


def run_mypy(tmp_path, source, *, with_site_packages, strict=True):
    """Type-checks `source`; returns [(line, code)] of the errors and the output."""
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent(source))
    command = [sys.executable, "-m", "mypy", "--no-incremental", "--show-error-codes", "--no-error-summary",
               "--cache-dir", str(tmp_path / "cache")]
    if strict:
        command.append("--strict")
    env = None
    if not with_site_packages:
        search_path = tmp_path / "stubs"
        shutil.copytree(installed_stubs(), search_path / "vorlane")
        command.append("--no-site-packages")
        env = {"MYPYPATH": str(search_path), "PATH": "/usr/bin:/bin"}
    command.append(str(program))
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, cwd=tmp_path, env=env)
    errors = []
    for line in result.stdout.splitlines():
        match = ERROR_LINE.match(line)
        if match:
            errors.append((int(match.group(1)), match.group(2)))
    assert result.returncode == (1 if errors else 0), result.stdout + result.stderr
    assert len(errors) == result.stdout.count(": error:"), result.stdout
    return errors, result.stdout


def with_wrong_calls(source, wrong_calls):
    """`source` followed by the wrong calls; returns it and the expected (line, code) pairs."""
    lines = textwrap.dedent(source).splitlines()
    lines.append("node = vorlane.read_string('<r/>', 'r')")
    expected = []
    for call, code in wrong_calls:
        lines.append(call)
        expected.append((len(lines), code))
    return "\n".join(lines) + "\n", expected


def test_stubtest_finds_no_difference():
    allowlist = Path(__file__).with_name("stubtest-allowlist.txt")
    command = [sys.executable, "-m", "mypy.stubtest", "vorlane", "--allowlist", str(allowlist),
               "--ignore-unused-allowlist"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_do_not_import_numpy():
    source = (installed_stubs() / "__init__.pyi").read_text()
    assert re.search(r"^\s*(import|from)\s+numpy\b", source, re.MULTILINE) is None


@pytest.mark.parametrize("with_site_packages", [True, False], ids=["installed-env", "without-numpy"])
def test_program_type_checks(tmp_path, with_site_packages):
    errors, output = run_mypy(tmp_path, PROGRAM, with_site_packages=with_site_packages)
    assert errors == [], output


@pytest.mark.parametrize("with_site_packages", [True, False], ids=["installed-env", "without-numpy"])
def test_wrong_calls_are_flagged(tmp_path, with_site_packages):
    source, expected = with_wrong_calls(PROGRAM, WRONG_CALLS)
    errors, output = run_mypy(tmp_path, source, with_site_packages=with_site_packages, strict=False)
    assert errors == expected, output


def test_numpy_booleans_accepted_and_other_scalars_flagged(tmp_path):
    pytest.importorskip("numpy")
    source, expected = with_wrong_calls(NUMPY_PROGRAM, NUMPY_WRONG_CALLS)
    errors, output = run_mypy(tmp_path, source, with_site_packages=True)
    assert errors == expected, output
