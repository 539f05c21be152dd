"""The exec step's interpreter version check, seen through a probe module built
as if for another interpreter version (only in test builds)."""

import os
import subprocess
import sys

import pytest

PROBE_DIR = os.environ.get("MIRVANE_NATIVE_TESTS")
pytestmark = pytest.mark.skipif(not PROBE_DIR, reason="needs the native test build (make test)")

WARNING = "compile time version 2.7 of module 'frame_probe' does not match runtime version %d.%d" % sys.version_info[:2]


def run_probe(*interpreter_options):
    env = dict(os.environ, PYTHONPATH=PROBE_DIR)
    return subprocess.run(
        [sys.executable, *interpreter_options, "-c", "import frame_probe; print(frame_probe.__test__)"],
        env=env, capture_output=True, text=True,
    )


def test_other_version_warns_and_still_imports():
    done = run_probe("-W", "always::RuntimeWarning")
    assert done.returncode == 0, done.stderr
    assert "RuntimeWarning: " + WARNING in done.stderr
    assert done.stdout.strip() == "{}"


def test_warning_made_an_error_fails_the_import():
    done = run_probe("-W", "error::RuntimeWarning")
    assert done.returncode != 0
    assert done.stderr.rstrip().endswith("RuntimeWarning: " + WARNING)
