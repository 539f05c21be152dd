"""A record played live in windows: the same picture of a product however playback comes to it."""

import contextlib
import math
import random
import threading
import time
import urllib.error
import urllib.request

import numpy as np
import pytest

from mirvane.analysis.align import Alignment
from mirvane.data import Data
from mirvane.formats import spool_index, spooled as spooled_module
from mirvane.formats.spooled import spooled_record
from mirvane.player.session import LiveOptions, LiveSession, Run
from mirvane.player import series, session as session_module, windows as windows_module
from mirvane.player.windows import Windows
from mirvane.project import Project

from helpers import decoded, foreign, mirvane, newer_recording, odd_records, rewrite, save
from test_session import ask, status_when

# Short windows, so that a 20 s run crosses many.
WINDOW_S = 2.0


class Revealed:
    """A spooled record shown to the player as one still being read: its first products alone, more
    as ``reveal`` lets them in (as ``formats.spooled`` grows one)."""

    def __init__(self, record, count):
        self._record, self._count, self._changed = record, count, threading.Condition()
        self.header, self.project, self.newer = record.header, record.project, False
        self.start_timestamp_ns, self.stop_timestamp_ns = record.start_timestamp_ns, record.stop_timestamp_ns
        self.closed_by_recorder, self.failed, self.gaps = False, None, []
        self.products = self

    ended = property(lambda self: self._count == len(self._record.stamps))
    stamps = property(lambda self: self._record.stamps[:self._count])

    def __len__(self):
        return self._count

    def __getitem__(self, at):
        start, stop, _ = at.indices(self._count) if isinstance(at, slice) else (at % self._count, None, None)
        return self._record.products[start:stop] if isinstance(at, slice) else self._record.products[start]

    def __iter__(self):
        return self[0:self._count]

    def wait(self, count, timeout):
        with self._changed:
            self._changed.wait_for(lambda: self._count > count or self.ended, timeout)
            return self._count

    def reveal(self, count):
        with self._changed:
            self._count = count
            self._changed.notify_all()


@contextlib.contextmanager
def playing(where, window_s, runs=1, spooled=False, alignment=None, **given):
    """A paused live session of the run in ``where`` (``runs`` times side by side; ``spooled``: read
    as the command reads one run, its products on disk; "revealed": as one still being read, its
    first products alone, ``Revealed``) played in windows of ``window_s`` (and other options
    ``given``), with its page."""
    record = spooled_record(where / "run.rec", -1)[1] if spooled else Data.fromFile(where / "run.rec").records()[-1]
    if spooled == "revealed":
        record = Revealed(record, 100)
    played = []
    for name in "AB"[:runs]:
        project = Project()
        project.load(str(where / "run.mvproj"))
        played.append(Run(project, record, name))
    options = LiveOptions(paused=True, page=("127.0.0.1", 0), quiet=True, keys=False, window_s=window_s, **given)
    with LiveSession(played, options, alignment) as session:
        player = threading.Thread(target=session.play, daemon=True)
        player.start()
        status_when(session, preparing=False)
        yield session
        ask(session, "control", {"action": "stop"})
        player.join(30)
        assert not player.is_alive()


def picture(session, seconds=None, run=0):
    """The page's picture of ``run`` once it shows ``seconds`` (after seeking there for the first
    run), or what it shows now."""
    if seconds is None:
        seconds = status_when(session, paused=True)["time"]
    elif run == 0:
        ask(session, "control", {"action": "seek", "time": seconds})
    deadline = time.monotonic() + 30
    while True:
        with contextlib.suppress(urllib.error.HTTPError):     # 503 until the first picture
            with urllib.request.urlopen(session.page.url + f"frame.jpg?run={run}", timeout=10) as answer:
                if answer.headers["X-Playback-Time"] == f"{seconds:.6f}":
                    return seconds, answer.read()
        assert time.monotonic() < deadline, f"no picture of {seconds} s"
        time.sleep(0.02)


@pytest.mark.parametrize("spooled, block", [(False, None), (True, None), (True, 7)])
def test_a_product_looks_the_same_played_or_sought_within_or_across_windows(every_fault, monkeypatch, spooled, block):
    where, _ = every_fault
    if block:   # the spool's index read in many blocks, as an hours-long run's is
        monkeypatch.setattr(spool_index, "BLOCK", block)
    record = Data.fromFile(where / "run.rec").records()[-1]
    windows = Windows(record, (), WINDOW_S)
    times = windows.keyframes.exact
    starts = windows.keyframes.positions
    assert len(starts) >= 8
    # Each window's first and last products, and others at random, sought in a random order.
    rng = random.Random(7)
    chosen = sorted({*starts[1:], *(start - 1 for start in starts[1:]), *rng.sample(range(len(times)), 12)})
    targets = [float(times[position]) for position in chosen]
    shuffled = rng.sample(targets, len(targets))
    with playing(where, WINDOW_S, spooled=spooled) as windowed:
        sought = dict(picture(windowed, seconds) for seconds in shuffled)
        # Played on across a window's end, then paused.
        played = []
        for start in starts[2:5]:
            picture(windowed, float(times[start]) - 0.3)
            ask(windowed, "control", {"action": "play"})
            time.sleep(0.6)
            ask(windowed, "control", {"action": "pause"})
            played.append(picture(windowed))
        stepped = []
        picture(windowed, float(times[starts[5] - 2]))
        for _ in range(3):
            ask(windowed, "control", {"action": "step"})
            stepped.append(picture(windowed))
        # A long step, counted otherwise than short ones, lands where short ones do.
        landed = []
        for steps in ([130], [65, 65], [-130], [-65, -65]):
            picture(windowed, float(times[starts[3]]))
            for products in steps:
                ask(windowed, "control", {"action": "step", "products": products})
            landed.append(status_when(windowed, paused=True)["time"])
        assert landed[0] == landed[1] > times[starts[3]] > landed[2] == landed[3]
    assert any(seconds >= times[start] for (seconds, _), start in zip(played, starts[2:5]))
    with playing(where, math.inf) as whole:
        for seconds, shown in [*sought.items(), *played, *stepped]:
            assert picture(whole, seconds)[1] == shown, seconds


def test_a_product_looks_the_same_while_its_run_is_still_read(every_fault):
    where, listed = every_fault
    # A warning's glow shows once its event is found: a range event's once it has ended.
    glowing = [(event["time"] - 0.2, max(event["end"], event["time"] + 1) + 0.2) for event in listed
               if event["severity"] != "info"]
    with playing(where, WINDOW_S, spooled="revealed") as growing:
        record, shown, again = growing.record, {}, {}
        for count in (1500, 2600, 4000):
            # The newest product, others before it, and the newest again: each a window's edge in turn.
            newest = (record.stamps[-1] - record.stamps[0]) / 1e9
            for seconds in (newest, newest / 2, newest * 0.9, newest):
                if not any(low <= seconds <= high for low, high in glowing):
                    shown[seconds] = picture(growing, seconds)[1]
            assert status_when(growing, end=newest)["growing"]
            record.reveal(count)
            status_when(growing, end=(record.stamps[-1] - record.stamps[0]) / 1e9)
        record.reveal(len(record._record.stamps))
        assert not status_when(growing, products=len(record), searched=None)["growing"]
        assert ask(growing, "events.json")["events"] == listed
        again = {seconds: picture(growing, seconds)[1] for seconds in shown}
    assert len(shown) >= 4
    with playing(where, math.inf) as whole:
        for seconds, picture_shown in shown.items():
            assert picture(whole, seconds)[1] == picture_shown == again[seconds], seconds


def test_two_runs_on_one_clock_each_play_their_windows(every_fault):
    with playing(every_fault[0], WINDOW_S, runs=2) as both:
        for seconds in (1.0, 9.5, 4.2, 17.99, 0.5):
            assert picture(both, seconds) == picture(both, seconds, run=1)


@pytest.mark.parametrize("fixture", ["every_fault", "own_cell"])
def test_each_keyframe_holds_what_applying_every_product_before_it_gives(request, fixture):
    from dravik.api import system_pb2
    from mirvane.scene import Reports, apply
    from mirvane.sightings import Sightings

    made = request.getfixturevalue(fixture)
    record = Data.fromFile(made[0] / "run.rec" if fixture == "every_fault" else made[0]).records()[0]
    windows = Windows(record, (), 0.5)
    state = system_pb2.SystemState(workspace=record.project.workspace.state)
    reports, sightings, applied = Reports(record), Sightings(record), 0
    for number, position in enumerate(windows.keyframes.positions):
        for product in record.products[applied:position]:
            apply(product, state)
        applied, frame = position, windows.keyframes.at(number)
        assert (frame.state, frame.reports, frame.seen.poses) == \
            (state, reports.at(position - 1), sightings.at(position - 1)), number
    windows.close()


def test_windows_start_where_a_window_of_time_begins_and_cover_every_product(every_fault, monkeypatch):
    record = Data.fromFile(every_fault[0] / "run.rec").records()[-1]
    for window_s in (0.5, WINDOW_S, 1e6):
        windows = Windows(record, (), window_s)
        times = windows.keyframes.exact
        starts = windows.keyframes.positions
        assert starts[0] == 0 and np.all(np.diff(times[starts] // window_s) > 0)
        with monkeypatch.context() as few:     # placed a few stamps at a time, they fall alike
            few.setattr(windows_module, "_PLACED", 7)
            again = Windows(record, (), window_s)
            assert (again.keyframes.positions, again.keyframes.edges) == (starts, windows.keyframes.edges)
            again.close()
        shown = [windows.at(float(t)) for t in times[::97]]
        assert all(window.holds(float(t)) for window, t in zip(shown, times[::97]))
        windows.close()


@pytest.mark.parametrize("spooled, small, runs, aligned", [(False, False, 1, False), (True, False, 1, False),
                                                            (True, True, 1, False), (True, True, 2, False),
                                                            (True, False, 2, True)])
def test_a_long_runs_events_are_found_while_it_plays_and_listed_once_found(every_fault, monkeypatch, spooled, small,
                                                                           runs, aligned):
    where, listed = every_fault
    # Two runs placed by an event have both runs' events found first: the page opens the same.
    alignment = Alignment.event(listed[-1]["kind"]) if aligned else None
    if small:   # the walk tells of a few products at a time, read from the spool in blocks of a few,
        # and the events found are told each time: numbered anew as each few more come
        monkeypatch.setattr(windows_module, "_VISIT_EVERY", 7)
        monkeypatch.setattr(spooled_module, "_BLOCK", 300)
        monkeypatch.setattr(session_module, "_TELL_S", 0.0)
    with playing(where, WINDOW_S, runs, spooled=spooled, alignment=alignment, events_first_s=0.0) as session:
        status_when(session, events=runs * len(listed), searched=None)
        assert [run["events"] for run in ask(session, "events.json")["runs"]] == [listed] * runs
        ask(session, "control", {"action": "event", "step": 1})
        assert status_when(session, event=1)["time"] == listed[0]["time"]
        # The clock knows each event's severity: a step among errors passes over the rest.
        ask(session, "control", {"action": "event", "step": 1, "severity": "error"})
        status_when(session, time=min(event["time"] for event in listed
                                      if event["severity"] == "error" and event["time"] > listed[0]["time"]))


def test_a_series_for_a_narrow_plot_keeps_each_columns_extremes(every_fault):
    with playing(every_fault[0], WINDOW_S) as session:
        path = ask(session, "series.json")["defaults"][0]
        whole = ask(session, f"series.json?path={path}")
        for width in (1, 50):
            narrow = ask(session, f"series.json?path={path}&width={width}")
            assert len(narrow["v"]) <= 2 * width < len(whole["v"])
            assert (min(narrow["v"]), max(narrow["v"])) == (min(whole["v"]), max(whole["v"]))
            assert narrow["t"] == sorted(narrow["t"]) and set(narrow["t"]) <= set(whole["t"])


@pytest.mark.parametrize("recording", ["run.rec", "run.mcap"])
def test_replay_without_project_plays_the_project_the_record_carries(recorded, tmp_path, recording):
    movies = []
    for project in (["--project", recorded / "run.mvproj"], []):
        movies.append(tmp_path / f"{len(movies)}.mp4")
        done = mirvane("replay", recorded / recording, *project, "--movie", movies[-1], "--fps", 2, "--quiet",
                       cwd=tmp_path)
        assert done.returncode == 0 and not done.stderr, done.stderr
    with_file, carried = map(decoded, movies)
    assert len(with_file) == len(carried) > 1 and all(np.array_equal(a, b) for a, b in zip(with_file, carried))


@pytest.mark.parametrize("fixture, name, block", [("recorded", "run.rec", 3), ("recorded", "run.mcap", None),
                                                  ("split_run", "run-0001.mcap", None),
                                                  ("split_run", "whole.mcap", 1)])
def test_a_record_grown_in_the_background_ends_as_read_whole(request, monkeypatch, fixture, name, block):
    from mirvane.formats.spooled import growing_record
    from mirvane.formats.split import run_stream

    if block:    # its index in blocks of a few products: more blocks than room reserved for their firsts
        monkeypatch.setattr(spool_index, "BLOCK", block)

    path = request.getfixturevalue(fixture) / name
    _, header, products = run_stream(path).record(-1)
    expected = list(products)
    position, grown = growing_record(path, -1)
    try:
        assert len(grown.products) >= 1 and grown.wait(len(expected), 60) == len(expected) and grown.ended
        stamps = grown.stamps
        assert grown.failed is None and not grown.closed_by_recorder and position == 0
        assert stamps.tolist() == [p.timestamp_ns for p in expected]
        # Read by position, from the end, by slice and by positions, as the player reads them.
        half = len(expected) // 2
        assert (stamps[-1], stamps[half]) == (expected[-1].timestamp_ns, expected[half].timestamp_ns)
        assert stamps[half:].tolist() == [p.timestamp_ns for p in expected[half:]]
        assert stamps[[0, half, -1]].tolist() == [expected[i].timestamp_ns for i in (0, half, -1)]
        with pytest.raises(IndexError):
            stamps[len(expected)]
        assert list(grown.products[len(expected) // 2:]) == expected[len(expected) // 2:]
        assert [grown.products[0], grown.products[-1]] == [expected[0], expected[-1]]
        jumps = np.flatnonzero(np.diff(stamps) > 1e9)
        assert grown.gaps == ([(stamps[n], stamps[n + 1]) for n in jumps] if "-" in name else [])
        assert grown.stop_timestamp_ns == header.stop_timestamp_ns
    finally:
        grown.close()
    _, early = growing_record(path, -1)     # closed while it grows: its thread is gone with it
    early.close()
    assert "mirvane-spool" not in [thread.name for thread in threading.enumerate()]


@pytest.mark.parametrize("name", ["newer.rec", "newer.mcap"])
def test_a_spooled_record_keeps_a_newer_versions_fields_and_says_so_at_once(recorded, tmp_path, name):
    from mirvane.formats.spooled import growing_record
    from mirvane.formats.split import run_stream

    newer_recording(recorded / "run.rec", tmp_path / "newer.rec")
    if name.endswith(".mcap"):
        assert mirvane("export", "newer.rec", name, "--quiet", cwd=tmp_path).returncode == 0
    _, grown = growing_record(tmp_path / name, 0)
    try:
        assert grown.newer and grown.wait(10 ** 9, 60) and grown.ended and grown.failed is None
        expected = list(run_stream(tmp_path / name).record(0)[2])
        assert [p.SerializeToString(deterministic=True) for p in grown.products] == \
            [p.SerializeToString(deterministic=True) for p in expected]
    finally:
        grown.close()


@pytest.mark.parametrize("index, count", [(0, 3), (1, 1), (-1, 1), (-2, 3), (2, None)])
def test_a_spooled_record_of_another_programs_mcap_is_the_one_its_index_names(tmp_path, index, count):
    from dravik.api import system_pb2
    from mirvane.formats.spooled import spooled_record
    from mirvane.records import RecordIndexError

    held, seen = system_pb2.Controller(robot="arm", grasped_item="box"), system_pb2.Perception()
    seen.item_poses["box"].position.y = 2.0
    foreign(tmp_path / "in.mcap", ("/workspace/start", system_pb2.WorkspaceState(), 10, 0),
            ("/controller", held, 20, 7), ("/perception", seen, 20, 7), ("/controller", held, 20, 8),
            ("/decision", system_pb2.Decision(step="grasp"), 30, 7),
            ("/workspace/start", system_pb2.WorkspaceState(), 40, 0), ("/planner", system_pb2.Planner(), 50, 0))
    if count is None:
        with pytest.raises(RecordIndexError, match="has 2 records; give 0 to 1"):
            spooled_record(tmp_path / "in.mcap", index)
        return
    position, spooled = spooled_record(tmp_path / "in.mcap", index)
    records = Data.fromFile(tmp_path / "in.mcap").records()
    assert list(spooled.products) == list(records[position].products) and len(spooled.products) == count
    assert (spooled.start_timestamp_ns, spooled.stop_timestamp_ns) == \
        (records[position].start_timestamp_ns, records[position].stop_timestamp_ns)
    spooled.close()


def _mixed_parts():
    """A run whose products are of one part, of two, or of none, in turn, after an empty record that
    stopped before it."""
    from dravik.api import data_pb2
    from mirvane.simulation.cell import simulate

    record = simulate(2.0, seed=3)
    seen = next(p.perception for p in record.products if p.HasField("perception"))
    for n, product in enumerate(record.products):
        if n % 3 == 0 and not product.HasField("perception"):
            product.perception.CopyFrom(seen)
        elif n % 11 == 5:
            product.Clear()
            product.timestamp_ns = record.products[n - 1].timestamp_ns
    return data_pb2.Records(records=[data_pb2.Record(stop_timestamp_ns=1), record])


@pytest.mark.parametrize("chunk_size", [None, 3000])
@pytest.mark.parametrize("records", [odd_records, _mixed_parts])
def test_an_exported_recording_spools_and_reads_as_the_products_it_holds(tmp_path, records, chunk_size):
    # Small chunks end within products, and declare channels between messages; info and events read
    # the products' bytes put together as the spool reads them.
    from mirvane.formats.mcap import export_mcap

    source = save(records(), tmp_path / "in.rec")
    export_mcap(source, tmp_path / "out.mcap")
    if chunk_size:
        rewrite(tmp_path / "out.mcap", tmp_path / "out.mcap", False, chunk_size=chunk_size)
    for index, record in enumerate(Data.fromFile(source).records()):
        spooled = spooled_record(tmp_path / "out.mcap", index)[1]
        assert list(spooled.products) == list(record.products) and list(spooled.stamps) == \
            [product.timestamp_ns for product in record.products]
        spooled.close()
    for command in (["info"], ["events"], ["events", "--index", "-1", "--format", "json"]):
        said = [mirvane(command[0], name, *command[1:], cwd=tmp_path) for name in ("in.rec", "out.mcap")]
        assert said[0].returncode == said[1].returncode and said[0].stdout == said[1].stdout, command


def test_a_growing_runs_series_are_taken_on_from_what_they_covered(every_fault):
    record = spooled_record(every_fault[0] / "run.rec", -1)[1]
    revealed, path = Revealed(record, 1000), series.default_paths(record)[0]
    kept = series.Kept(revealed)
    assert len(kept(path)[1]) < len(series.series(record, path)[0])
    revealed.reveal(len(record.stamps))
    assert [list(values) for values in kept(path)[1:]] == [list(values) for values in series.series(record, path)]
