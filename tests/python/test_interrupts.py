"""Calls that meet the outside world: daemon threads still inside a call when the
interpreter exits, blocking opens interrupted by a signal, and errors that the
file system reports only when the file is closed."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vorlane
from tree_helpers import run_python

# A daemon thread is inside a long call, with the lock released, when the main
# thread returns. While the interpreter finalizes, an object's __del__ sleeps and
# so releases the lock; the call finishes meanwhile, and the interpreter ends the
# thread as it asks for the lock back (a forced unwind through the module's
# frames), which must leave the process to exit normally.
DAEMON_AT_EXIT = textwrap.dedent(
    """
    import sys, threading, time, types, vorlane
    operation, base = sys.argv[1], sys.argv[2]
    DOC = "<r>" + "<i a='1' b='x'>t&amp;</i>" * 600_000 + "</r>"
    tree = vorlane.read_string(DOC, "r") if operation.startswith("write") else None
    with open(base + ".xml", "w", encoding="utf-8") as f:
        f.write(DOC)
    calling = threading.Event()

    def loop():
        while True:
            calling.set()
            if operation == "read_string":
                vorlane.read_string(DOC, "r")
            elif operation == "read_file":
                vorlane.read_file(base + ".xml", "r")
            elif operation == "write_string":
                vorlane.write_string(tree)
            else:
                vorlane.write_file(tree, base + ".out.xml")

    class SlowTeardown:
        # Module globals may be None when this runs: keep the function.
        def __del__(self, sleep=time.sleep):
            sleep(1.5)

    # Modules in sys.modules are torn down while the interpreter finalizes, also
    # with daemon threads alive (unlike the globals of __main__).
    holder = types.ModuleType("slow_teardown_holder")
    holder.keeper = SlowTeardown()
    sys.modules[holder.__name__] = holder
    threading.Thread(target=loop, daemon=True).start()
    calling.wait()
    time.sleep(0.01)
    """
)


@pytest.mark.parametrize("operation", ["read_string", "read_file", "write_string", "write_file"])
def test_exit_with_a_daemon_thread_inside_a_call(operation, tmp_path):
    completed = subprocess.run(
        [sys.executable, "-c", DAEMON_AT_EXIT, operation, str(tmp_path / "doc")],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ),
    )
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert "terminate" not in completed.stderr


# A FIFO that nobody opens from the other side blocks open() forever; a timer's
# signal whose handler raises must end the call at once, as it ends Python's own
# open(). Run in a fresh interpreter whose only thread is the main thread, where
# the signal is delivered.
BLOCKED_OPEN = textwrap.dedent(
    """
    import os, signal, sys, time, vorlane
    fifo, operation = sys.argv[1], sys.argv[2]
    os.mkfifo(fifo)

    def on_alarm(signum, frame):
        raise KeyboardInterrupt("alarm")

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    started = time.monotonic()
    try:
        if operation == "read":
            vorlane.read_file(fifo, "r")
        else:
            vorlane.write_file(vorlane.Node("r"), fifo)
    except KeyboardInterrupt as error:
        print("interrupted", error.args[0], round(time.monotonic() - started, 3))
    else:
        print("returned")
    """
)


@pytest.mark.parametrize("operation", ["read", "write"])
def test_signal_ends_blocked_open(operation, tmp_path):
    completed = subprocess.run(
        [sys.executable, "-c", BLOCKED_OPEN, str(tmp_path / "fifo"), operation],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ),
    )
    assert completed.returncode == 0, completed.stderr
    words = completed.stdout.split()
    assert words[:2] == ["interrupted", "alarm"], completed.stdout + completed.stderr
    assert float(words[2]) < 1.0


def test_signal_without_exception_lets_blocked_read_go_on(tmp_path):
    # A handler that returns normally: the interrupted read is retried and the
    # call completes once the writer delivers the document.
    source = textwrap.dedent(
        """
        import os, signal, sys, threading, time, vorlane
        fifo = sys.argv[1]
        os.mkfifo(fifo)
        calls = []
        signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)

        def writer():
            while len(calls) < 3:
                time.sleep(0.01)
            with open(fifo, "w") as f:
                f.write("<r>done</r>")

        threading.Thread(target=writer).start()
        node = vorlane.read_file(fifo, "r")
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(node.text, len(calls) >= 3)
        """
    )
    completed = run_python(source.replace("sys.argv[1]", repr(str(tmp_path / "fifo"))), timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["done", "True"]


# An LD_PRELOAD shim whose close() fails with EIO for files whose name ends in
# ".fail-close", as file systems that defer write errors (NFS, FUSE, quotas) do.
CLOSE_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int close(int fd) {
    static int (*real_close)(int);
    if (!real_close) real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    int result = real_close(fd);
    if (n > 11) {
        target[n] = 0;
        if (strcmp(target + n - 11, ".fail-close") == 0) {
            errno = EIO;
            return -1;
        }
    }
    return result;
}
"""


@pytest.fixture(scope="module")
def close_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the close() shim")
    directory = tmp_path_factory.mktemp("shim")
    source = directory / "close_shim.c"
    source.write_text(CLOSE_SHIM)
    library = directory / "close_shim.so"
    # The compiler runs without whatever runtime the test process preloads.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"], check=True, env=env)
    return library


def test_error_at_close_is_reported(close_shim, tmp_path):
    source = textwrap.dedent(
        """
        import sys, vorlane
        target = sys.argv[1]
        try:
            vorlane.write_file(vorlane.Node("r", text="x" * 100_000), target)
        except OSError as error:
            print(type(error).__name__, error.args[0].endswith("(os error 5)"))
        else:
            print("success")
        vorlane.write_file(vorlane.Node("r"), target.replace(".fail-close", ".xml"))
        print("ok")
        """
    )
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), str(close_shim)]))
    completed = subprocess.run(
        [sys.executable, "-c", source, str(tmp_path / "out.fail-close")],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["OSError", "True", "ok"]


def test_write_file_replaces_previous_contents(tmp_path):
    target = tmp_path / "out.xml"
    target.write_text("<old>" + "x" * 1000 + "</old>")
    vorlane.write_file(vorlane.Node("new"), str(target), default_xml_def=False)
    assert target.read_text() == "<new/>"
