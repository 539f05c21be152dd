"""Spans of a record: clips of its movie, exported spans, and records no movie can be made of."""

import json
import math
import re
import subprocess
import sys

import numpy as np
import pytest
from imageio_ffmpeg import count_frames_and_secs

from dravik.api import system_pb2
from helpers import decoded, listing, lossless_ffmpeg, mirvane, save
from mirvane import scene
from mirvane.data import Data
from mirvane.viewer import caption
from replay_fakes import SECOND


@pytest.fixture(scope="module")
def stalled(tmp_path_factory):
    """An 8 s run that goes wrong (arm_a stalls at 2.3 s while it holds a box), its whole movie
    written losslessly and decoded, its stall event, and the environment that writes movies losslessly."""
    where = tmp_path_factory.mktemp("faulty")
    env = lossless_ffmpeg(where)
    assert mirvane("record", "run.rec", "--seconds", 8, "--seed", 5, "--faults", "all", "--fault-rate", 30,
                   cwd=where).returncode == 0
    done = mirvane("replay", "run.rec", "--project", "run.mvproj", "--movie", "whole.mp4", "--quiet", cwd=where, env=env)
    assert done.returncode == 0, done.stderr
    events = mirvane("events", "run.rec", "--kind", "stall", "--format", "json", cwd=where).stdout.splitlines()
    return where, env, decoded(where / "whole.mp4"), json.loads(events[0])


@pytest.mark.parametrize("span", [
    ["--from", "2.5", "--to", "3.0"],           # on the frame grid; what arm_a holds shown while it is silent
    ["--from", "1.234", "--to", "2.5"],         # off the grid: from the next frame on it, 1.3 s
    ["--event", "{stall}", "--pad", "0.35"],    # 1.92 s to 3.42 s: from 2.0 s
])
def test_a_clip_is_the_whole_movies_frames_of_its_span(stalled, tmp_path, span):
    where, env, whole, stall = stalled
    args = [a.format(stall=stall["number"]) for a in span]
    done = mirvane("replay", where / "run.rec", "--project", where / "run.mvproj", "--movie", "clip.mp4", *args,
                   cwd=tmp_path, env=env)
    assert done.returncode == 0, done.stderr
    start, end = (float(args[1]), float(args[3])) if args[0] == "--from" else (stall["time"] - 0.35, stall["end"] + 0.35)
    first, last = math.ceil(start * 10 - 1e-9), math.floor(end * 10 + 1e-9)     # frames every 0.1 s
    assert done.stdout.endswith(f"the record from {first / 10:.2f} s to {last / 10:.2f} s\n")
    clip = decoded(tmp_path / "clip.mp4")
    assert len(clip) == last - first + 1
    assert [k for k, frame in enumerate(clip) if (frame != whole[first + k]).any()] == []
    assert listing(tmp_path) == {tmp_path: ["clip.mp4"]}


@pytest.mark.parametrize("args", [
    [],
    ["--speed", "0.01", "--from", "2.3", "--to", "2.4"],    # frames 10 ms of record apart: some show nothing new
])
def test_a_movie_played_in_windows_of_a_few_frames_is_the_one_played_whole(stalled, tmp_path, args):
    where, env, _, _ = stalled
    movies = []
    for played in ("w.WINDOW_FRAMES = 3", "m.windowable = lambda *_: False"):
        script = ("import sys, mirvane.player.movie_windows as w, mirvane.player.movie as m; "
                  f"from mirvane.cli import main; {played}; sys.exit(main(sys.argv[1:]))")
        done = subprocess.run([sys.executable, "-c", script, "replay", str(where / "run.rec"), "--project",
                               str(where / "run.mvproj"), "--movie", f"{len(movies)}.mp4", "--quiet", *args],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        movies.append(decoded(tmp_path / f"{len(movies)}.mp4"))
    windows, whole = movies
    assert len(windows) == len(whole) and [k for k, frame in enumerate(windows) if (frame != whole[k]).any()] == []


@pytest.mark.parametrize("out", ["span.mcap", "span.rrd"])
def test_an_exported_span_holds_that_span_from_the_state_at_its_start(stalled, tmp_path, out):
    record = Data.fromFile(stalled[0] / "run.rec").records()[0]
    done = mirvane("export", stalled[0] / "run.rec", out, "--from", 2, "--to", 4.5, "--quiet", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == done.stderr == "", done.stderr
    times = [p.timestamp_ns - record.products[0].timestamp_ns for p in record.products]
    inside = [p for p, t in zip(record.products, times) if 2 * SECOND <= t <= 4.5 * SECOND]
    start = system_pb2.WorkspaceState()
    start.CopyFrom(record.project.workspace.state)
    for product, t in zip(record.products, times):
        if t < 2 * SECOND:
            scene.apply(product, start)
    if out.endswith(".mcap"):
        assert mirvane("import", out, "back.rec", cwd=tmp_path).returncode == 0
        [back] = Data.fromFile(tmp_path / "back.rec").records()
        assert list(back.products) == inside and back.project.workspace.state == start
        return
    from test_rrd import read
    entities = read(tmp_path / out)
    times = {row["time"] for rows in entities.values() for row in rows}
    assert min(times) == inside[0].timestamp_ns and max(times) == inside[-1].timestamp_ns
    scene.apply(inside[0], start)   # the first rows: the scene whole, as it stood after the span's first product
    for name, state in start.robots.items():
        joints = scene.robot(name, record.project.workspace.robots[name], state).points
        shown = entities[f"/world/robots/{name}"][0]["LineStrips3D:strips"][0]
        assert [v for p in shown for v in p[:2]] == pytest.approx([v for p in joints for v in p], abs=1e-6)


@pytest.mark.parametrize("last_ns, args, message, advice", [
    (-SECOND, ["--movie", "m.mp4"], "record 0 has nothing to show: its last product is stamped 1 s before its first",
     None),
    (-SECOND, ["--serve", "0"], "record 0 has nothing to show: its last product is stamped 1 s before its first", None),
    (2 ** 63 - 1, ["--movie", "m.mp4"], r"takes \d{2}(,\d{3}){3} frames at --fps 10 and --speed 1, more than "
     r"1,000,000; make a clip of a part of it with --from/--to SECONDS or --event N, or raise --speed",
     ["--to", "3"]),
])
def test_a_record_no_movie_can_be_made_of_is_refused_up_front(recorded, tmp_path, last_ns, args, message, advice):
    records = Data.fromFile(recorded / "run.rec")._data_records
    products = records.records[0].products
    products[-1].timestamp_ns = last_ns if last_ns > 0 else products[0].timestamp_ns + last_ns
    save(records, tmp_path / "odd.rec")
    replay = ["replay", "odd.rec", "--project", recorded / "run.mvproj"]
    done = mirvane(*replay, *args, cwd=tmp_path, timeout=30)
    assert done.returncode == 2 and done.stdout == ""
    assert re.fullmatch(rf"mirvane: error: odd\.rec: [^\n]*{message}[^\n]*\n", done.stderr), done.stderr
    assert listing(tmp_path) == {tmp_path: ["odd.rec"]}
    if advice:      # taken, it makes a movie
        assert mirvane(*replay, *args, *advice, "--quiet", cwd=tmp_path, timeout=60).returncode == 0
        assert count_frames_and_secs(str(tmp_path / "m.mp4"))[0] == 31


# The error glow over the floor: what marks the subject of an error.
ERROR_GLOW = (236, 132, 129)


def glows(frame):
    return int((np.abs(frame.astype(int) - ERROR_GLOW) <= 1).all(axis=2).sum()) > 50


def captioned(frame, text):
    """Whether ``frame``'s caption line begins with ``text``."""
    width = 6 + 6 * len(text)     # the bitmap font's: a margin, then 6 pixels a character
    return (frame[:16, :width] == np.asarray(caption(text, frame.shape[1]))[:, :width]).all()


@pytest.mark.parametrize("kind, quiet", [("damaged-value", True), ("drop", False)])
def test_a_clip_of_an_event_captions_its_frames_and_marks_it_in_the_first_after_it(faulty, tmp_path, kind, quiet):
    """One bad report (between two frames), a drop (on one, 2.9 s): the frame at or after each names and
    marks it; every frame is captioned with its time; only mirvane's progress is shown, none with --quiet."""
    where, events = faulty
    event = next(e for e in events if e["kind"] == kind)
    done = mirvane("replay", where / "faulty.rec", "--project", where / "faulty.mvproj", "--movie", "clip.mp4",
                   "--event", event["number"], "--pad", 0.15, "--fps", 20, *["--quiet"] * quiet, cwd=tmp_path,
                   env=lossless_ffmpeg(tmp_path))
    assert done.returncode == 0, done.stderr
    if quiet:
        assert done.stdout == done.stderr == ""
    else:
        assert "writing clip.mp4" in done.stderr and not re.search("MoviePy|Building|frame_index", done.stderr)
    first = math.ceil((event["time"] - 0.15) * 20)
    clip = decoded(tmp_path / "clip.mp4")
    frames = {(first + k) / 20: frame for k, frame in enumerate(clip)}
    assert all(captioned(frame, f"{t:.3f} s") for t, frame in frames.items())
    after = min(t for t in frames if t >= event["time"])
    assert captioned(frames[after], f"{after:.3f} s | event {event['number']} {kind}: {event['text']}")
    assert glows(frames[after]) and not glows(frames[first / 20])
