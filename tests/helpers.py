"""Helpers shared by the tests."""

import os
import select
import subprocess
import sys
import textwrap
import time
import traceback
from pathlib import Path

#: The console script installed beside the interpreter running the tests.
MIRVANE = str(Path(sys.executable).with_name("mirvane"))


def entries(excinfo):
    """Traceback entry names below the test's own frame."""
    return [f.name for f in traceback.extract_tb(excinfo.tb)][1:]


def run(script, *flags, cwd=None, env=None):
    """Runs `script` in a fresh interpreter (a module initialises once per process)."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def read_until(process, text, timeout=60):
    """What ``process`` wrote to its stdout and stderr pipes up to the first ``text``."""
    seen = ""
    deadline = time.monotonic() + timeout
    while text not in seen:
        assert process.poll() is None and time.monotonic() < deadline, seen
        ready, _, _ = select.select([process.stdout, process.stderr], [], [], 0.1)
        for pipe in ready:
            seen += os.read(pipe.fileno(), 4096).decode(errors="replace")
    return seen
