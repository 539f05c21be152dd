"""The exec step's interpreter version check, seen through a probe module built
as if for another interpreter version (only in test builds)."""

import glob
import os
import re
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


def headers_of_unsupported_interpreters():
    """The header folders of the CPythons on this machine that the frame does not support."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for include in sorted(glob.glob(os.path.join(root, "versions", "*", "include", "python*"))):
        found = re.match(r"python(\d+)\.(\d+)", os.path.basename(include))
        if found and not (3, 9) <= tuple(map(int, found.groups())) <= (3, 13):
            yield include


@pytest.mark.parametrize("include", list(headers_of_unsupported_interpreters()) or
                         [pytest.param(None, marks=pytest.mark.skip(reason="no unsupported CPython here"))])
def test_unsupported_interpreter_stops_the_build(include):
    source = os.path.join(os.path.dirname(__file__), os.pardir, "src")
    done = subprocess.run([os.environ.get("CXX", "c++"), "-std=c++17", "-fsyntax-only", "-x", "c++",
                           "-I", source, "-I", include, os.path.join(source, "frame", "compat.hpp")],
                          capture_output=True, text=True)
    assert done.returncode != 0
    assert "The module frame supports CPython 3.9 to 3.13 only" in done.stderr
