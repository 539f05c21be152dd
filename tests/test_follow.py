"""Split files read as one run, and a recording followed while its recorder writes it."""

import shutil

import pytest

from helpers import mirvane
from mirvane.formats.recorder import Recorder
from mirvane.project import Project


def _listed(command, recording, cwd):
    """What ``command`` says of ``recording``; for export, what info says of the file exported."""
    if command == "export":
        done = mirvane("export", recording, "out.mcap", "--quiet", cwd=cwd)
        assert done.returncode == 0, done.stderr
        return mirvane("info", "out.mcap", cwd=cwd).stdout, done.stderr
    done = mirvane(command, recording, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


@pytest.mark.parametrize("command", ["info", "events", "export"])
def test_split_files_read_as_the_whole_recording_with_the_gap_noted(split_run, command):
    whole, quiet = _listed(command, "whole.mcap", split_run)
    split, said = _listed(command, "run-0001.mcap", split_run)
    assert split == whole and whole and quiet == ""
    if command != "export":
        assert said == "mirvane: note: run-0004.mcap continues run-0003.mcap after a gap of 5.002 s\n"


def test_a_file_of_another_project_ends_the_run_before_it(split_run, tmp_path):
    for n in (1, 2):
        shutil.copy(split_run / f"run-000{n}.mcap", tmp_path)
    with Recorder(tmp_path / "run-0003.mcap", Project()) as recorder:   # an empty cell's
        recorder.controller("arm_a", [0.5], time_ns=1)
    done = mirvane("info", "run-0001.mcap", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.count("\n") == 1 and "controller 400" in done.stdout
    assert done.stderr == ("mirvane: note: run-0003.mcap holds another project, so the run ends at run-0002.mcap; "
                           "read run-0003.mcap by itself\n")
