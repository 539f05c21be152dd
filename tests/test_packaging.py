"""The installed distribution as packaging and typing tools see it."""

import importlib.metadata
import subprocess
import sys

import mirvane._version


def test_version_is_the_distributions():
    assert mirvane._version.__version__ == importlib.metadata.version("mirvane")


def test_stubs_match_the_native_modules(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "mirvane.project", "mirvane.replay"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_distribution_holds_only_our_packages():
    # dravik is a namespace shared with others: only its api portion is ours.
    version = importlib.metadata.version("mirvane")
    files = importlib.metadata.files("mirvane")
    owned = {"/".join(f.parts[:2]) if f.parts[0] == "dravik" else f.parts[0] for f in files}
    assert owned == {"mirvane", "dravik/api", f"mirvane-{version}.dist-info"}
