"""Fixtures shared by the tests; plain helpers are in helpers.py."""

import contextlib
import os

import pytest

from helpers import mirvane, serving


@pytest.fixture(scope="session")
def recorded(tmp_path_factory):
    """A 4 s run of the sample cell (seed 5) recorded by ``mirvane record``, its project file and its
    MCAP export: ``run.rec``, ``run.mvproj`` and ``run.mcap``. Tests read them and write elsewhere."""
    where = tmp_path_factory.mktemp("recorded")
    done = mirvane("record", "run.rec", "--seconds", 4, "--seed", 5, cwd=where)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(where)) == ["run.mvproj", "run.rec"]
    done = mirvane("export", "run.rec", "run.mcap", "--quiet", cwd=where)
    assert done.returncode == 0, done.stderr
    return where


@pytest.fixture
def serve(recorded):
    """Starts ``mirvane replay --serve 0`` on the recorded run with extra arguments (a later ``--serve``
    overrides the port); gives the process and the page's URL."""
    with contextlib.ExitStack() as started:
        def start(*args):
            process, urls = started.enter_context(serving(recorded, "--serve", "0", *args))
            return process, urls[0]

        yield start
