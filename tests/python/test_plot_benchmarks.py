"""scripts/plot_benchmarks.py: the README's table and chart from the peer benchmark's JSON."""
import importlib.util
import json
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "plot_benchmarks.py"
if not SCRIPT.is_file():
    pytest.skip("the scripts are not beside these tests (an installed-wheel run)", allow_module_level=True)


def load_script():
    location = importlib.util.spec_from_file_location("plot_benchmarks", SCRIPT)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def row(contender, seconds, peak_mb, size_bytes=20_000_000):
    return {"contender": contender, "median_s": seconds, "mb_s": size_bytes / 1e6 / seconds, "peak_mb": peak_mb}


def results_file(tmp_path, tables):
    info = {"date": "2026-12-08T18:09:44+00:00", "python": "3.11.7", "nproc": 2, "cpu": "Test CPU",
            "mem_total_gib": 23.5, "lxml": "6.2.1.0", "libxml2": "2.14.6"}
    path = tmp_path / "results.json"
    path.write_text(json.dumps({"info": info, "tables": tables}))
    return path


def table(op, kind, rows):
    return {"file": f"{kind}-20MB.xml", "kind": kind, "bytes": 20_000_000, "op": op, "repeat": 3, "rows": rows}


TABLES = [
    table("parse-str", "records", [row("etree", 2.0, 231.0), row("vorlane", 0.5, 190.0),
                                   {"contender": "lxml", "errors": ["timeout"]}]),
    table("parse-str", "deep", [row("vorlane", 1.0, 234.0)]),
    table("to-dict", "records", [row("xmltodict", 2.0, 185.0), row("vorlane", 1.6, 502.0)]),
    table("search", "records", [row("vorlane", 0.01, 190.0)]),
]


@pytest.mark.parametrize(
    "expected_line",
    [
        "| operation | library | records | deep |",
        "| `read_string` | vorlane | 40 MB/s, 190 MB | 20 MB/s, 234 MB |",
        "| `read_string` | ElementTree | 10 MB/s, 231 MB | - |",
        "| `to_dict` | vorlane | 12 MB/s, 502 MB | - |",
        "| `to_dict` | xmltodict | 10 MB/s, 185 MB | - |",
        "Test CPU, 2 cores, 23.5 GiB, Python 3.11.7, lxml 6.2.1.0 (libxml2 2.14.6), 2026-12-08",
    ],
)
def test_table_lines(tmp_path, expected_line):
    plot = load_script()
    text = plot.table(plot.load(results_file(tmp_path, TABLES)))
    assert expected_line in text.splitlines()


def test_table_leaves_out_failed_contenders_and_other_operations(tmp_path):
    plot = load_script()
    text = plot.table(plot.load(results_file(tmp_path, TABLES)))
    assert "lxml |" not in text
    assert "search" not in text
    assert [line.split("|")[1].strip() for line in text.splitlines()[2:6]] == [
        "`read_string`", "`read_string`", "`to_dict`", "`to_dict`"]


def test_chart_is_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    plot = load_script()
    png = tmp_path / "chart.png"
    assert plot.main([str(results_file(tmp_path, TABLES)), "--png", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_refuses_other_json(tmp_path):
    plot = load_script()
    path = tmp_path / "other.json"
    path.write_text(json.dumps({"rows": []}))
    with pytest.raises(SystemExit, match="not a peers.py --json-out file"):
        plot.load(path)
