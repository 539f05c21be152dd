"""The playback clock under the native play, its controls and rules, and the field paths of the plots."""

import re
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, strategies as st

import mirvane.replay
from dravik.api import data_pb2
from helpers import MIRVANE, save, terminal
from mirvane.analysis.events import Event, numbered
from mirvane.player import series, times as times_module
from mirvane.data import Data
from mirvane.formats import spool_index
from mirvane.formats.spooled import spooled_record
from mirvane.player.clock import Clock, apply, exact_times, nearest, product_times
from mirvane.player.times import RunTimes, merged_times
from mirvane.player.session import LiveOptions, LiveSession, Run
from mirvane.project import Project
from mirvane.records import PlayAxis, timebase


@pytest.fixture(scope="module")
def record(recorded):
    return Data.fromFile(recorded / "run.rec").records()[-1]


class Wall:
    """A wall clock that moves on by ``step`` at every reading."""

    def __init__(self, start, step):
        self.now, self.step = start - step, step

    def __call__(self):
        self.now += self.step
        return self.now


def chosen(record, clock):
    """The product shown in each cycle of a live play of ``record`` through ``clock`` as module time."""
    shown = []
    system = SimpleNamespace(_setState=lambda state: shown.append(state.SerializeToString()))
    replay = mirvane.replay.Replay()
    replay.setProject(SimpleNamespace(workspace=lambda: SimpleNamespace(_setState=lambda *a, **k: None),
                                      system=lambda: system))
    replay.setData(SimpleNamespace(_data_records=SimpleNamespace(records=[record])))
    replay.setViewer(SimpleNamespace(render=lambda: None))
    old = mirvane.replay.time
    mirvane.replay.time = clock
    try:
        replay.play(index=0, speed=1.0)
    finally:
        mirvane.replay.time = old
    return shown


def test_play_chooses_the_same_products_with_our_clock_as_with_the_ordinary_one(record):
    step = 1 / 256   # exact in binary, so both clocks say the same times
    ordinary = chosen(record, SimpleNamespace(time=Wall(1_000_000.0, step)))
    ours = chosen(record, Clock(product_times(record), now=Wall(0.0, step)))
    assert len(ordinary) > 500 and ours == ordinary


TIMES = [0.0, 0.5, 0.5, 1.0, 2.0]


@pytest.mark.parametrize("controls, time, product", [
    ([("step", 1)], 0.5, 1),                       # products stamped at one time are one step, the first shown
    ([("step", 1), ("step", 1)], 1.0, 3),
    ([("seek", 0.7), ("step", 1)], 1.0, 3),         # a step goes from the product shown: 0.5's here
    ([("seek", 0.7), ("step", -1)], 0.0, 0),
    ([("seek", 0.8), ("step", 1)], 2.0, 4),         # 1.0's here
    ([("seek", 0.8), ("step", -1)], 0.5, 1),
    ([("seek", 2.0), ("step", 3)], 2.0, 4),        # no step past the ends
    ([("seek", 0.5), ("step", 1000)], 2.0, 4),     # ... however far
    ([("seek", 2.0), ("step", -1000)], 0.0, 0),
    ([("step", -1)], 0.0, 0),
    ([("jump", 10.0)], 2.0, 4),
    ([("seek", 1.0), ("jump", -10.0)], 0.0, 0),
    ([("to_end",), ("to_start",)], 0.0, 0),
])
def test_seek_step_and_jump_land_on_the_times_play_shows(controls, time, product):
    clock = Clock(TIMES, paused=True, now=lambda: 0.0)
    clock.time()
    for name, *args in controls:
        getattr(clock, name)(*args)
    assert clock.time() == time
    assert clock.status().time == time and clock.status().product == product


@pytest.mark.parametrize("order", [[0, 1, 2, 3, 4], [4, 2, 0, 3, 1]], ids=["ordered", "shuffled"])
def test_plays_axis_maps_its_stops_to_each_other_and_between_them_in_proportion(order):
    # Play's axis is offset by a millisecond, and cannot tell the second and third products apart.
    exact = np.array([0.0, 0.5, 0.5000001, 1.0, 2.0])
    played = exact + 0.001
    played[2] = played[1]
    axis = PlayAxis(played[order], exact[order])
    for stop in (0, 1, 3, 4):
        assert axis.played(exact[stop]) == played[stop] and axis.exact(played[stop]) == exact[stop]
    assert axis.played(1.5) == pytest.approx(1.501) and axis.exact(0.751) == pytest.approx(0.75)
    assert axis.played(-1.0) == -0.999 and axis.played(3.0) == 3.001      # beyond: offset as the nearer end
    assert [axis.step(exact[2], n) for n in (-1, 0, 1, 2)] == [0.5, 1.0, 2.0, 2.0]     # the third is no stop


@pytest.mark.parametrize("gaps", [[0, 1, 0, 3, 10**6, 0, 0, 4 * 10**6, 0, 2] * 20,     # ties and gaps across blocks
                                  [5 * 10**6] * 90 + [-2 * 10**7] + [5 * 10**6] * 90],  # a stamp goes back
                         ids=["ties", "back"])
@pytest.mark.parametrize("shift", [None, 0.0, 0.0021], ids=["one run", "two at once", "two apart"])
def test_a_spooled_runs_clock_seeks_and_steps_as_the_whole_records_does(tmp_path, monkeypatch, gaps, shift):
    monkeypatch.setattr(spool_index, "BLOCK", 3)    # its index read in many blocks
    monkeypatch.setattr(timebase, "_STRETCH", 5)    # a long step's stops counted over many stretches
    monkeypatch.setattr(times_module, "_STRETCH", 4)    # two runs' times merged over many stretches
    record = data_pb2.Record(start_timestamp_ns=10**9)
    for stamp in 10**9 + np.cumsum(gaps):
        record.products.add(timestamp_ns=int(stamp))
    # A second run of the same times, stamped an hour later: its times on play's axis round otherwise.
    later = data_pb2.Record(start_timestamp_ns=10**9 + 3_600_000_000_007)
    for product in record.products:
        later.products.add(timestamp_ns=product.timestamp_ns + 3_600_000_000_007)
    (_, spooled), (_, spooled_later) = (spooled_record(save(data_pb2.Records(records=[run]), tmp_path / name), 0)
                                        for run, name in ((record, "a.rec"), (later, "b.rec")))
    try:
        runs = [(record, later), (spooled, spooled_later)]
        if shift is not None:   # both runs' axes merged on disk hold the very floats merged in memory
            whole, stored = (merged_times([RunTimes.of(a), RunTimes.of(b, shift)]) for a, b in runs)
            assert all(np.array_equal(np.asarray(w).view(np.int64), np.asarray(s).view(np.int64))
                       for w, s in zip(whole, stored))
        clocks = [Clock(exact_times(a), played=product_times(a), paused=True, now=lambda: 0.0) if shift is None
                  else Clock.over([RunTimes.of(a), RunTimes.of(b, shift)], paused=True, now=lambda: 0.0)
                  for a, b in runs]
        end = float(exact_times(record)[-1])
        for seconds in [*np.linspace(-0.01, end + 0.01, 29), *exact_times(record)[::7]]:
            # A long step (its stops counted otherwise) lands where short ones do.
            for steps in ([], [1], [-2], [80], [40, 40], [-80], [-40, -40]):
                for clock in clocks:
                    clock.time()
                    clock.seek(float(seconds))
                    for products in steps:
                        clock.step(products)
                landed = {(clock.status().time, clock.status().product, *(run.product for run in clock.status().runs))
                          for clock in clocks}
                assert len(landed) == 1, (seconds, steps, landed)
                if len(steps) == 2:
                    assert landed == long, (seconds, steps)
                long = landed
    finally:
        spooled.close()
        spooled_later.close()


# A point info, a warning over 1.0 to 1.5 s with an info at its start, a point error.
EVENTS = numbered(Event(time, end, 0, "k", severity, "arm_a", "", 0, 0)
                  for time, end, severity in ((0.5, 0.5, "info"), (1.0, 1.5, "warning"), (1.0, 1.0, "info"),
                                              (2.0, 2.0, "error")))


@pytest.mark.parametrize("start, step, least, time, event", [
    (0.0, 1, "info", 0.5, 1),
    (0.0, 2, "info", 1.0, 3),         # events of one time are one step; the status names the latest numbered
    (0.7, -1, "info", 0.5, 1),
    (1.0, -1, "info", 0.5, 1),        # from an event, back to the one before
    (0.0, 1, "warning", 1.0, 3),      # only that severity or worse; the status counts every event
    (1.0, 1, "warning", 2.0, 4),
    (2.0, -5, "info", 0.5, 1),        # no step past the first
    (1.2, -1, "error", 1.2, 3),       # none that way: nothing changes
    (2.0, 1, "info", 2.0, 4),
    (0.2, 1, "info", 0.5, 1),
])
def test_an_event_step_pauses_where_an_event_of_that_severity_or_worse_begins(start, step, least, time, event):
    clock = Clock(TIMES, now=lambda: 0.0, events=EVENTS)
    clock.time()
    clock.seek(start)
    before = clock.status()
    apply(clock, {"action": "event", "step": step, "severity": least})
    after = clock.status()
    assert (after.time, after.event) == (time, event)
    assert after.paused == (time != start) and (after.version == before.version) == (time == start)


@pytest.mark.parametrize("rate, controls, expected", [(1.0, ["faster"], 2.0), (16.0, ["faster"], 16.0),
                                                      (0.3, ["slower"], 0.25), (0.1, ["slower"], 0.1),
                                                      (3.0, ["faster", "faster"], 8.0)])
def test_faster_and_slower_go_through_the_listed_rates(rate, controls, expected):
    clock = Clock(TIMES, rate=rate)
    for name in controls:
        getattr(clock, name)()
    assert clock.status().rate == expected


def test_time_runs_at_the_rate_stops_when_paused_and_loops_or_ends():
    wall = [0.0]
    clock = Clock(TIMES, rate=2.0, now=lambda: wall[0])
    assert clock.time() == 0.0   # play's t0
    wall[0] = 0.25
    assert clock.time() == 0.5
    clock.pause()
    wall[0] = 5.0
    assert clock.time() == 0.5
    clock.play()
    wall[0] = 5.5
    assert clock.time() == 1.5
    clock.set_loop(True)
    wall[0] = 6.0
    assert clock.time() == pytest.approx(0.5)   # 2.5 went on from the start
    clock.stop()
    assert clock.time() > TIMES[-1]              # play's loop ends


@pytest.mark.parametrize("request_, named", [
    ([], "JSON object"), ({"action": "fly"}, "unknown action 'fly'"), ({}, "unknown action None"),
    ({"action": "seek"}, "seek: time must be a finite number, not None"),
    ({"action": "seek", "time": float("inf")}, "finite"), ({"action": "seek", "time": True}, "finite"),
    ({"action": "rate", "value": 0.001}, "outside 0.01 to 100"), ({"action": "step", "products": "1"}, "whole"),
    ({"action": "loop", "on": 1}, "true or false"),
    ({"action": "event", "step": 0.5}, "event: step must be a whole number"),
    ({"action": "event", "severity": ["error"]}, "severity must be one of info, warning, error"),
])
def test_a_control_it_cannot_carry_out_changes_nothing(request_, named):
    clock = Clock(TIMES, paused=True)
    before = clock.status()
    with pytest.raises(ValueError, match=named):
        apply(clock, request_)
    assert clock.status() == before


@pytest.mark.parametrize("path, robot, first", [  # with and without the MCAP channel's slash
    ('controller{robot=="arm_a"}.feedback.joint.positions.values[0]', "arm_a", "joint"),
    ('/controller{robot=="arm_b"}.feedback.effector.positions.values[2]', "arm_b", "effector"),
])
def test_a_field_path_gives_the_products_values_at_their_times(record, path, robot, first):
    times, values = series.series(record, path)
    expected = [(t, getattr(p.controller.feedback, first).positions.values[int(path[-2])])
                for t, p in zip(exact_times(record), record.products)
                if p.HasField("controller") and p.controller.robot == robot]
    assert len(expected) > 50
    assert times == pytest.approx([t for t, _ in expected]) and values == pytest.approx([v for _, v in expected])
    assert path.lstrip("/") in series.default_paths(record)


@pytest.mark.parametrize("path", ["controller.", "robot{x==1}", "cupboard.x", 'controller{robot="a"}.x'])
def test_a_path_that_is_not_one_is_refused(path):
    with pytest.raises(ValueError, match="not a field path"):
        series.parse(path)


def test_terminal_keys_steer_a_live_replay(recorded, tmp_path):
    """In a terminal (tmux's), Space pauses and resumes, Up raises the rate, 'q' ends; the progress line says so."""
    with terminal(f"{MIRVANE} replay {recorded}/run.rec --project {recorded}/run.mvproj --loop", tmp_path) as screen:
        screen.shows("playing 1x")
        for keys, shown in (("Space", "paused 1x"), ("Up", "paused 2x"), ("Space", "playing 2x"), ("q", "EXIT=0")):
            screen.press(keys)
            screen.shows(shown)


def test_the_progress_line_says_time_and_product_at_once_under_a_help_of_every_key(recorded, tmp_path):
    """Paused from the first moment at the start asked for, the line under the help; every key redraws it."""
    command = f"{MIRVANE} replay {recorded}/run.rec --project {recorded}/run.mvproj --paused --start 3"
    with terminal(command, tmp_path) as screen:
        help_ = ("Keys: Space pause/resume · ←/→ ±1 s · ↑/↓ rate up/down · ,/. previous/next product · "
                 "p/n previous/next event · q end")
        at_three = int(screen.shows(re.escape(help_) + r"\npaused 1x: .* 3\.00/[\d.]+ s, product (\d+) of").group(1))
        for seconds in (2, 1):
            screen.press("Left")
            screen.shows(f" {seconds}\\.00/")
        at_one = int(screen.shows(r"product (\d+) of").group(1))
        screen.press(".")
        after = int(screen.shows(rf"product (?!{at_one} )(\d+) of").group(1))
        screen.press(",")
        screen.shows(f"product {at_one} of")
        assert at_one < after < at_three


def test_the_event_keys_jump_to_events_and_the_line_names_the_last_passed(faulty, tmp_path):
    """From the drop (an error), n goes on to the next two events (a step, then the stall: a warning), p back."""
    where, events = faulty
    drop = next(e for e in events if e["kind"] == "drop")
    step, stall = sorted((e for e in events if e["time"] > drop["time"]), key=lambda e: e["time"])[:2]
    assert stall["kind"] == "stall"

    def line(e):
        said = f", {e['severity']}" if e["severity"] != "info" else ""
        return rf"{e['time']:.2f}/[\d.]+ s, product \d+ of 0–\d+, event {e['number']} at {e['time']:.2f} s{said}: " \
            + re.escape(e["text"])

    command = f"{MIRVANE} replay {where}/faulty.rec --project {where}/faulty.mvproj --paused --start {drop['time']}"
    with terminal(command, tmp_path) as screen:
        screen.shows(line(drop))
        for key, shown in (("n", step), ("n", stall), ("p", step), ("p", drop)):
            screen.press(key)
            screen.shows(line(shown))


def both_holding(record, robot):
    """The first controller report of ``robot`` while each arm's latest report holds a box, and its time."""
    holding = {}
    for position, product in enumerate(record.products):
        if product.HasField("controller"):
            holding[product.controller.robot] = product.controller.grasped_item
            if product.controller.robot == robot and len(holding) == 2 and all(holding.values()):
                return position, float(product_times(record)[position])


def live_pictures(recorded, record, controls):
    """The pictures a paused live replay draws, each with its product, a control carried out after each."""
    project = Project()
    project.load(str(recorded / "run.mvproj"))
    session = LiveSession([Run(project, record)], LiveOptions(paused=True, quiet=True, keys=False))
    play, pending, pictures = session._plays[0], list(controls), []

    def pace():     # in place of the paused clock's wait: the next control at once, then the end
        pictures.append((session.clock.status().product, play.viewer.status(), play.viewer.image().tobytes()))
        apply(session.clock, pending.pop(0) if pending else {"action": "stop"})
    play.reader.pace = pace
    with session:
        session.play()
    return pictures[:-1]    # the last: the end, after the stop


@pytest.mark.parametrize("robot", ["arm_a", "arm_b"])
def test_the_picture_of_a_product_is_the_same_however_playback_came_to_it(recorded, record, robot):
    """Sought at once, stepped through from before, stepped away and back, sought again from the end:
    each product's picture is one, and rings what each arm's latest report holds, not only the last's."""
    product, seconds = both_holding(record, robot)
    step = [{"action": "step", "products": 1}]
    controls = [{"action": "seek", "time": seconds}, {"action": "seek", "time": seconds - 0.2}, *step * 60,
                *[{"action": "step", "products": -1}] * 10, {"action": "end"}, {"action": "seek", "time": seconds}]
    pictures = {}
    for shown, status, picture in live_pictures(recorded, record, controls):
        pictures.setdefault(shown, []).append(picture)
        if shown == product:
            assert re.search(r"holding arm_a box_\d+, arm_b box_\d+", status), status
    assert len(pictures[product]) >= 3 and all(len(set(drawn)) == 1 for drawn in pictures.values())


@pytest.mark.parametrize("live, control, after", [
    (False, None, [1.5, 2.5]),                          # on through what comes
    (True, None, [2.0, 4.0]),                           # live: held at the newest product, then the next
    (True, {"action": "seek", "time": 0.5}, [1.0, 2.0]),   # a seek leaves it
    (True, {"action": "pause"}, [2.0, 2.0]),
])
def test_a_growing_runs_clock_waits_at_its_end_and_live_follows_its_newest_product(live, control, after):
    wall = [0.0]
    clock = Clock([0.0, 1.0, 2.0], now=lambda: wall[0])
    clock.grow(np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0, 2.0]), growing=True)
    clock.set_live(live)
    clock.time()                # play's t0
    wall[0] = 1.0
    if control:
        apply(clock, control)
    wall[0] = 1.5
    seen = [clock.time()]
    clock.grow(np.arange(5.0), np.arange(5.0), growing=True)
    wall[0] = 2.5
    seen.append(clock.time())
    assert seen == pytest.approx(after) and clock.status().live == (live and control is None)
    clock.grow(np.arange(5.0), np.arange(5.0), growing=False)
    apply(clock, {"action": "live", "on": True})      # nothing more comes: the end, and no live to follow
    assert (clock.status().live, clock.status().time) == (False, 4.0)


@given(st.lists(st.integers(0, 6), min_size=1, max_size=12).map(sorted), st.floats(-2.0, 8.0))
def test_the_nearest_product_of_ordered_times_is_found_as_of_any(times, position):
    times = np.array(times, dtype=float) / 2
    assert nearest(times, position, ordered=True) == nearest(times, position)
