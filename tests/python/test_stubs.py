"""The installed type stubs match the module (mypy's stubtest) and type-check usage."""
import subprocess
import sys
import textwrap

import pytest

mypy = pytest.importorskip("mypy")


def test_stubtest_finds_no_difference():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorlane"], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_reject_a_wrong_call(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(
        """
        import vorlane
        node: vorlane.Node = vorlane.read_string("<r/>", "r")
        text: str = vorlane.write_string(node, indent=2)
        vorlane.write_string(node, indent="2")
        """
    ))
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(sample)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 1, result.stdout
    assert 'Argument "indent" to "write_string" has incompatible type "str"' in result.stdout
    assert result.stdout.count("error:") == 1
