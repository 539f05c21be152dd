"""Helpers shared by the tests of the native modules."""

import subprocess
import sys
import textwrap
import traceback


def entries(excinfo):
    """Traceback entry names below the test's own frame."""
    return [f.name for f in traceback.extract_tb(excinfo.tb)][1:]


def run(script, *flags, cwd=None, env=None):
    """Runs `script` in a fresh interpreter (a module initialises once per process)."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)
