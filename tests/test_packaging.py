"""The installed distribution as packaging and typing tools see it."""

import importlib.metadata
import os
import shutil
import subprocess
import sys

import pytest

import mirvane._version

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def test_version_is_the_distributions():
    assert mirvane._version.__version__ == importlib.metadata.version("mirvane")


def test_stubs_match_the_native_modules(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "mirvane.project", "mirvane.replay"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


# The installed package (with the message modules' stubs the build generates), and the examples.
@pytest.mark.parametrize("what", [["-p", "mirvane"], ["examples"]])
def test_package_and_examples_type_check(what):
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", "pyproject.toml", *what],
                          cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_distribution_holds_only_our_packages():
    # dravik is a namespace shared with others: only its api portion is ours.
    version = importlib.metadata.version("mirvane")
    files = importlib.metadata.files("mirvane")
    owned = {"/".join(f.parts[:2]) if f.parts[0] in ("dravik", "..") else f.parts[0] for f in files}
    # Outside site-packages only the console script, in the environment's bin/.
    assert owned - {"../.."} == {"mirvane", "dravik/api", f"mirvane-{version}.dist-info"}
    assert {f.name for f in files if f.parts[0] == ".."} == {"mirvane"}


# Stands in for an interpreter: says where it is, and its version.
FAKE_PYTHON = '#!/bin/sh\ncase "$*" in *executable*) echo "$0" ;; *) echo {version} ;; esac\n'


@pytest.mark.parametrize("present, taken", [
    (["3.13", "3.9", "3.11"], "3.9"),
    (["3.10", "3.13"], "3.13"),
    (["3.8", "3.11", "3.10"], "3.11"),
    (["3.8", "3.14"], None),
])
def test_make_takes_a_39_else_the_newest_supported(tmp_path, present, taken):
    for tool in ("ls", "sort", "tail", "find"):
        (tmp_path / tool).symlink_to(shutil.which(tool))
    for version in present:
        fake = tmp_path / f"python{version}"
        fake.write_text(FAKE_PYTHON.format(version=version))
        fake.chmod(0o755)
    done = subprocess.run([shutil.which("make"), "-n", "install"], cwd=ROOT, env={"PATH": str(tmp_path)},
                          capture_output=True, text=True)
    if taken:
        assert done.stdout.splitlines()[0] == f"make: using {tmp_path}/python{taken}", done.stderr
    else:
        assert done.returncode != 0 and "No supported CPython found (3.9, else 3.13 to 3.10)" in done.stderr
