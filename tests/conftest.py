"""Fixtures shared by the tests; plain helpers are in helpers.py."""

import contextlib
import importlib.util
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from helpers import mirvane, serving


def pytest_collection_modifyitems(items):
    """Tests that drive a page in Chromium are marked ``browser``, so that a run may leave them out."""
    for item in items:
        if "browser" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.browser)


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


@pytest.fixture(scope="session")
def every_fault(tmp_path_factory):
    """A 20 s run of the sample cell suffering every kind of fault (``mirvane record --faults all``),
    ``run.rec``, and its events as ``mirvane events --format json`` lists them."""
    where = tmp_path_factory.mktemp("every-fault")
    done = mirvane("record", "run.rec", "--seconds", 20, "--seed", 3, "--faults", "all", "--fault-rate", 24, cwd=where)
    assert done.returncode == 0, done.stderr
    listed = mirvane("events", "run.rec", "--format", "json", cwd=where)
    assert listed.returncode == 0, listed.stderr
    return where, [json.loads(line) for line in listed.stdout.splitlines()]


@pytest.fixture
def serve(recorded):
    """Starts ``mirvane replay --serve 0`` on the recorded run with extra arguments (a later ``--serve``
    overrides the port); gives the process and the page's URL."""
    with contextlib.ExitStack() as started:
        def start(*args):
            process, urls = started.enter_context(serving(recorded, "--serve", "0", *args))
            return process, urls[0]

        yield start


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium through its WebDriver, installed with apt-get when missing."""
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        subprocess.run("apt-get update -q && apt-get install -y -q chromium chromium-driver",
                       shell=True, check=True, capture_output=True)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    options.page_load_strategy = "eager"   # a paused replay's picture stream never finishes loading
    # The tabs a test does not look at keep their timers running, as the one a user looks at does.
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1000,800",
                 "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                 "--disable-backgrounding-occluded-windows"):
        options.add_argument(flag)
    # Not the sanitizer runtime the suite may run under: the browser is not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver"), env=env))
    yield driver
    driver.quit()


@pytest.fixture(scope="session")
def faulty(tmp_path_factory):
    """An 8 s run (seed 1) recorded with faults, ``faulty.rec`` and ``faulty.mvproj``: a damaged value and a
    drop (errors), a stall and a box unseen (warnings, ranges), among steps, grasps and releases; and its
    events as ``mirvane events --format json`` gives them."""
    where = tmp_path_factory.mktemp("faulty")
    done = mirvane("record", "faulty.rec", "--seconds", 8, "--seed", 1, "--faults", "stall,slip,dropout,damaged-value",
                   "--fault-rate", 30, cwd=where)
    assert done.returncode == 0, done.stderr
    listed = mirvane("events", "faulty.rec", "--format", "json", cwd=where)
    assert listed.returncode == 0, listed.stderr
    events = [json.loads(line) for line in listed.stdout.splitlines()]
    assert [e["kind"] for e in events if e["severity"] != "info"] == ["damaged-value", "drop", "stall", "unseen"]
    return where, events


@pytest.fixture(scope="session")
def twins(tmp_path_factory):
    """An 8 s run (seed 1), ``clean.rec``, and its twin that suffers one slip, ``slip.rec`` (``--faults slip``), each
    with its project; and the time of the slip's drop, as ``mirvane events`` finds it."""
    where = tmp_path_factory.mktemp("twins")
    for name, *faults in (("clean",), ("slip", "--faults", "slip", "--fault-rate", 8)):
        done = mirvane("record", f"{name}.rec", "--seconds", 8, "--seed", 1, *faults, cwd=where)
        assert done.returncode == 0, done.stderr
    listed = mirvane("events", "slip.rec", "--format", "json", "--severity", "error", cwd=where)
    assert listed.returncode == 0, listed.stderr
    [drop] = [json.loads(line) for line in listed.stdout.splitlines()]
    assert drop["kind"] == "drop"
    return where, drop["time"]


@pytest.fixture(scope="session")
def own_cell(tmp_path_factory):
    """A 12 s run of the cell of ``examples/own_cell.py`` (three robots of their own, a hung gantry, late
    perception, a part lost and a controller silent by hand), recorded by the example as a user runs it:
    ``own.mcap``; and what the example says the run did (its ``Run``)."""
    spec = importlib.util.spec_from_file_location("own_cell", Path(__file__).parents[1] / "examples" / "own_cell.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    path = tmp_path_factory.mktemp("own-cell") / "own.mcap"
    return path, example.record(path, seconds=12, faults=True)


def record_slowly(path, seconds, *, split=None, pause=0.0, jump_at=None, flush_seconds=1.0):
    """Records a simulated run of ``seconds`` through a ``Recorder`` into ``path`` (split every ``split``
    seconds), sleeping ``pause`` seconds a product; the stamps after ``jump_at`` seconds jump 5 s on.
    Gives the files written."""
    from mirvane.formats.recorder import Recorder
    from mirvane.simulation.cell import simulate

    record = simulate(seconds)
    first = record.products[0].timestamp_ns
    with Recorder(path, record.project, max_seconds=split, flush_seconds=flush_seconds) as recorder:
        for product in record.products:
            if jump_at is not None and product.timestamp_ns - first > jump_at * 1e9:
                product.timestamp_ns += 5 * 10 ** 9
            recorder.add(product)
            time.sleep(pause)
    return recorder.files


@pytest.fixture(scope="session")
def split_run(tmp_path_factory):
    """A 3 s simulated run whose stamps jump 5 s after 2 s, recorded whole (``whole.mcap``) and split every
    second (``run-0001.mcap`` to ``run-0004.mcap``, the jump between the last two)."""
    where = tmp_path_factory.mktemp("split")
    record_slowly(where / "whole.mcap", 3.0, jump_at=2.0)
    assert len(record_slowly(where / "run.mcap", 3.0, split=1.0, jump_at=2.0)) == 4
    return where


def laid_out(*products, events=(), workspace=None):
    """An MCAP file in memory of one record of serialized ``products`` (each at its position's time), with
    ``events`` ((topic, time, data, sequence)) between them, written by the export's ``LayoutWriter``: each
    message read back by the mcap library as (topic, log time, data), in the file's order. The record's
    ``workspace`` (a ``WorkspaceModel``) is one two-link arm unless given."""
    import io

    from mcap.reader import make_reader

    from dravik.api import export_pb2
    from mirvane.formats.mcap import LayoutWriter

    f = io.BytesIO()
    out = LayoutWriter(f, events=bool(events))
    header = export_pb2.RecordHeader(product_count=len(products))
    if workspace is None:
        header.record.project.workspace.robots["arm"].link_lengths.extend([0.5, 0.5])
    else:
        header.record.project.workspace.CopyFrom(workspace)
    out.open_record(header, 0, 0)
    for message in events:
        out.write(*message)
    for n, product in enumerate(products):
        try:
            out.serialized(product, n + 1, n)
        except ValueError:
            pass        # refused: the file goes on without it
    out.finish()
    f.seek(0)
    return [(channel.topic, message.log_time, message.data)
            for _, channel, message in make_reader(f).iter_messages(log_time_order=False)]
