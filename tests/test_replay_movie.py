"""Replay.play with a movie name: the name and destination checks, frame directory and names, and the movie."""

import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest
from imageio_ffmpeg import read_frames

import mirvane.replay
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.simulation.cell import build_cell, make_recording
from mirvane.viewer import WorkspaceViewer
from helpers import entries, listing, read_until
from replay_fakes import SECOND, FakeClip, Rig, record

BASE = 1_700_000_000 * SECOND
FRAMES_DIR = re.compile(r"frames-%d-\d+$" % os.getpid())
CYCLE = ["workspace", "system", "render", "screenshot"]


@pytest.mark.parametrize("times, speed, fps, step, cycles", [
    ([0, 950_000_000], 1.0, 10, 0.1, 11),
    ([0, 950_000_000], 2.0, 10, 0.2, 6),
    ([0, 950_000_000], 2, 10, 0.2, 6),
    ([0, 950_000_000], 0.5, 10, 0.05, 21),
    ([0], 1.0, 10, 0.1, 2),
])
def test_movie_clock_steps_speed_over_fps(monkeypatch, tmp_path, times, speed, fps, step, cycles):
    rig = Rig(monkeypatch, tmp_path, record([BASE + t for t in times]))
    assert rig.play(speed=speed, fps=fps, moviename="m.mp4") is None
    assert rig.events == ["workspace"] + CYCLE * cycles
    (clip,) = rig.clips
    assert rig.frame_names == ["tmp_%08.2f.png" % (step * k) for k in range(cycles)]
    assert clip.image_files == rig.viewer.shots and clip.existing == clip.image_files
    assert clip.fps == fps and clip.written == ["m.mp4"] and os.listdir(tmp_path) == ["m.mp4"]
    assert rig.clock.reads == 1


@pytest.mark.parametrize("fps, end_ns, names", [
    (1000, 3_500_000, ["tmp_00000.00.png"] + ["tmp_00000.00-%d.png" % n for n in (1, 2, 3, 4)]),
    (240, 10_000_000, ["tmp_00000.00.png", "tmp_00000.00-1.png", "tmp_00000.01.png", "tmp_00000.01-1.png"]),
])
def test_frames_whose_clocks_print_alike_get_their_own_files(monkeypatch, tmp_path, fps, end_ns, names):
    rig = Rig(monkeypatch, tmp_path, record([0, end_ns]))
    rig.play(fps=fps, moviename="m.mp4")
    assert rig.frame_names == names
    clip = rig.clips[0]
    assert len(set(clip.image_files)) == len(names) and clip.existing == clip.image_files


@pytest.mark.parametrize("kwargs", [
    {"moviename": "demo.avi"}, {"moviename": "demo_mp4"}, {"moviename": "demo.mp4 "},
    {"moviename": "demo.avi", "speed": 0.0, "fps": 0, "index": 7}])
def test_movie_name_not_ending_in_mp4_is_refused_first(monkeypatch, tmp_path, kwargs):
    rig = Rig(monkeypatch, tmp_path, record([BASE]))
    with pytest.raises(AssertionError) as excinfo:
        rig.play(**kwargs)
    assert excinfo.value.args == ()
    assert rig.data.reads == 0 and rig.events == [] and rig.clips == [] and rig.errors == []
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", ["demo.MP4", "Demo.Mp4", "x.avi.mp4"])
def test_movie_name_check_ignores_case_and_keeps_the_name(monkeypatch, tmp_path, name):
    rig = Rig(monkeypatch, tmp_path, record([BASE]))
    rig.play(moviename=name)
    assert rig.clips[0].written == [name] and os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("intruder", [False, True])
def test_frame_directory_made_in_cwd_is_removed_afterwards_when_empty(monkeypatch, tmp_path, intruder):
    rig = Rig(monkeypatch, tmp_path, record([BASE, BASE + 250_000_000]))
    if intruder:  # another playback's file turns up meanwhile
        shot = rig.viewer.screenshot
        monkeypatch.setattr(rig.viewer, "screenshot",
                            lambda filename: [shot(filename=filename), open("tmp/other.png", "wb").close()])
    rig.play(moviename="m.mp4")
    (frames,) = {os.path.dirname(f) for f in rig.viewer.shots}
    assert os.path.normpath(os.path.dirname(frames)) == "tmp" and FRAMES_DIR.match(os.path.basename(frames))
    assert len(rig.viewer.shots) == 4 and rig.clips[0].existing == rig.viewer.shots
    assert sorted(os.listdir(tmp_path)) == ["m.mp4", "tmp"][:1 + intruder]
    assert not intruder or os.listdir("tmp") == ["other.png"]


def test_existing_frame_root_and_everything_in_it_stay(monkeypatch, tmp_path):
    root = tmp_path / "scratch"
    root.mkdir()
    monkeypatch.setattr(mirvane.replay, "_MOVIE_TMP_PNG_PATH", str(root))
    first = Rig(monkeypatch, tmp_path, record([BASE]))
    first.play(moviename="a.mp4")
    assert os.listdir(root) == []  # not made by the call, so kept although empty
    # A directory by the name the next call would likely take, left by someone else.
    used = os.path.dirname(first.viewer.shots[0])
    taken = root / ("frames-%d-%d" % (os.getpid(), int(used.rsplit("-", 1)[1]) + 1))
    taken.mkdir()
    (taken / "tmp_00000.00.png").write_bytes(b"old")
    (root / "keep.png").write_bytes(b"keep")
    second = Rig(monkeypatch, tmp_path, record([BASE]))
    second.play(moviename="b.mp4")
    frames = os.path.dirname(second.viewer.shots[0])
    assert frames not in (used, str(taken)) and FRAMES_DIR.match(os.path.basename(frames))
    assert sorted(os.listdir(root)) == sorted(["keep.png", taken.name])
    assert (taken / "tmp_00000.00.png").read_bytes() == b"old"


def refuse(path):
    raise PermissionError(path)


def interrupt():
    raise KeyboardInterrupt


def frames_left(root, shots):
    """What a failed movie leaves in ``root``: ./tmp, this call's frame directory and its frames."""
    directories = [d for d in os.listdir(root / "tmp") if FRAMES_DIR.match(d)]
    assert len(directories) == 1, directories
    frames = [os.path.normpath(f) for f in shots]
    assert all(os.path.dirname(f) == os.path.join("tmp", directories[0]) for f in frames)
    return ["tmp", os.path.join("tmp", directories[0]), *frames]


@pytest.mark.parametrize("fresh", [False, True])  # ./tmp someone else's, or made by the call
@pytest.mark.parametrize("fail, error, shots", [
    ("screenshot", OSError, 2), ("render", KeyboardInterrupt, 2), ("clock", KeyboardInterrupt, 0),
    ("no products", IndexError, 0), ("writer", RuntimeError, 4), ("rmtree", PermissionError, 4)])
def test_the_frames_stay_for_the_caller_when_play_fails(monkeypatch, tmp_path, fresh, fail, error, shots):
    rig = Rig(monkeypatch, tmp_path, record([] if fail == "no products" else [BASE, BASE + 250_000_000]),
              viewer_fail_at=2 if fail == "screenshot" else None,
              clock=(KeyboardInterrupt() if fail == "clock" else 0.0,))
    if not fresh:
        os.mkdir("tmp")
        open("tmp/keep.png", "wb").close()
    if fail == "render":
        render = rig.viewer.render
        monkeypatch.setattr(rig.viewer, "render", lambda: render() or rig.events.count("render") < 3 or interrupt())
    monkeypatch.setattr(FakeClip, "fail", fail == "writer")
    if fail == "rmtree":
        monkeypatch.setattr(mirvane.replay, "shutil", SimpleNamespace(rmtree=refuse))
    with pytest.raises(error) as excinfo:
        rig.play(moviename="m.mp4")
    assert entries(excinfo).count("mirvane.replay.Replay.play") == 1 and len(rig.viewer.shots) == shots
    movie = ["m.mp4"] if fail == "rmtree" else []  # removal comes after the movie
    kept = [] if fresh else ["tmp/keep.png"]
    assert listing(tmp_path) == {tmp_path: sorted({*kept, *movie, *frames_left(tmp_path, rig.viewer.shots)})}


@pytest.mark.parametrize("fresh", [False, True])
def test_ctrl_c_during_a_movie_leaves_its_frames_so_far(tmp_path, fresh):
    if not fresh:
        (tmp_path / "tmp").mkdir()
        (tmp_path / "tmp" / "keep.png").write_bytes(b"someone else's")
    script = textwrap.dedent("""
        import time
        from mirvane.project import Project
        from mirvane.replay import Replay
        from mirvane.simulation.cell import build_cell, make_recording
        from mirvane.viewer import WorkspaceViewer

        class Slow(WorkspaceViewer):
            frames = 0

            def screenshot(self, filename):
                super().screenshot(filename)
                self.frames += 1
                print(filename, flush=True)
                time.sleep(0.05)

        project = Project()
        project.setWorkspace(build_cell())
        replay = Replay()
        replay.setProject(project)
        replay.setData(make_recording(runs=1, duration_s=1.0, seed=1))
        replay.setViewer(Slow(project, width=64, height=64))
        replay.play(moviename="m.mp4", speed=0.01)  # a thousand frames
        """)
    process = subprocess.Popen([sys.executable, "-c", script], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = read_until(process, "tmp_00000.02.png\n")
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert process.returncode == -signal.SIGINT and err.decode().endswith("\nKeyboardInterrupt\n"), err
    assert "in mirvane.replay.Replay.play" in err.decode()
    written = [os.path.normpath(f) for f in (seen + out.decode()).split()]
    left = listing(tmp_path)[tmp_path]
    assert len(written) >= 3 and set(written) <= set(left) and "m.mp4" not in left
    assert ("tmp/keep.png" in left) != fresh


def test_a_run_that_ends_before_it_starts_makes_no_movie(monkeypatch, tmp_path):
    rig = Rig(monkeypatch, tmp_path, record([BASE + SECOND, BASE]))
    with pytest.raises(ValueError, match=r"^no frames for the movie 'm.mp4': .* so playback ran no cycle$"):
        rig.play(moviename="m.mp4")
    assert rig.events == ["workspace"] and rig.clips == [] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("moviename, error", [
    ("missing/m.mp4", FileNotFoundError), ("dir.mp4", IsADirectoryError), ("locked/m.mp4", PermissionError)])
def test_a_movie_that_cannot_be_written_is_refused_before_the_data_is_read(tmp_path, moviename, error):
    (tmp_path / "dir.mp4").mkdir()
    (tmp_path / "locked").mkdir(mode=0o555)
    # root may write anywhere unless it gives up overriding permissions
    drop = ["setpriv", "--bounding-set=-dac_override"] if os.geteuid() == 0 else []
    if drop and not shutil.which("setpriv"):
        pytest.skip("setpriv is needed to write as root without overriding permissions")
    script = textwrap.dedent("""
        import sys
        from mirvane.replay import Replay

        class Unread:
            @property
            def _data_records(self):
                raise AssertionError("the data set was read")

        replay = Replay()
        replay.setData(Unread())
        replay.setViewer(True)
        try:
            replay.play(moviename=sys.argv[1])
        except OSError as refused:
            print(type(refused).__name__, refused.filename)
        """)
    before = sorted(os.walk(tmp_path))
    done = subprocess.run(drop + [sys.executable, "-c", script, moviename], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "%s %s\n" % (error.__name__, moviename), "")
    assert sorted(os.walk(tmp_path)) == before


class KeptViewer(WorkspaceViewer):
    def __init__(self, project):
        super().__init__(project, width=160, height=128)
        self.shots = []

    def screenshot(self, filename):
        self.shots.append(np.asarray(self.image()))
        return super().screenshot(filename)


def test_real_movie_of_a_simulated_run_holds_every_frame(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    data = make_recording(runs=1, duration_s=1.0, seed=1)
    products = data._data_records.records[0].products
    start = products[0].timestamp_ns
    del products[next(i for i, p in enumerate(products) if p.timestamp_ns - start > 950_000_000):]
    assert 900_000_000 < products[-1].timestamp_ns - start <= 950_000_000  # clocks 0.0 to 1.0
    project = Project()
    project.setWorkspace(build_cell())
    r = Replay()
    r.setProject(project)
    r.setData(data)
    r.setViewer(KeptViewer(project))
    r.play(moviename="demo.MP4")
    assert os.listdir(tmp_path) == ["demo.MP4"]
    frames = read_frames("demo.MP4")
    width, height = next(frames)["size"]
    decoded = [np.frombuffer(raw, np.uint8).reshape(height, width, 3) for raw in frames]
    assert len(decoded) == len(r._viewer.shots) == 11
    # The last frame shows the final state: where the last two screenshots differ, it is the last.
    before, last = r._viewer.shots[-2:]
    moved = (before != last).any(axis=-1)
    errors = [np.abs(decoded[-1][moved].astype(int) - shot[moved]).mean() for shot in (before, last)]
    assert errors[1] < errors[0] / 2, errors
    assert project.workspace().state() == project.system().state().workspace


@pytest.mark.parametrize("fail", [RuntimeError, KeyboardInterrupt])
@pytest.mark.parametrize("side_by_side", [False, True])
def test_the_movie_module_removes_the_frames_of_a_movie_that_fails_and_only_those(monkeypatch, tmp_path, fail,
                                                                                 side_by_side):
    from mirvane.player.movie import MoviePlan, Run, make_movie, make_side_by_side

    scratch, work = tmp_path / "scratch", tmp_path / "work"
    for where in (scratch / "other", work / "tmp"):
        where.mkdir(parents=True)
        (where / "keep.png").write_bytes(b"someone else's")
    monkeypatch.setattr("tempfile.tempdir", str(scratch))
    monkeypatch.chdir(work)
    shot = WorkspaceViewer.screenshot
    taken, failing_at = [], 8 if side_by_side else 6    # side by side, in the second run

    def failing(viewer, filename):
        taken.append(shot(viewer, filename))
        if len(taken) == failing_at:
            raise fail("the viewer failed")
        return taken[-1]
    monkeypatch.setattr(WorkspaceViewer, "screenshot", failing)
    project = Project()
    project.setWorkspace(build_cell())
    data = make_recording(runs=1, duration_s=0.5, seed=1)
    plan = MoviePlan.of(data._data_records.records[0], "run.rec", 0)
    with pytest.raises(fail, match="the viewer failed"):
        if side_by_side:
            make_side_by_side((Run("a", project, plan), Run("b", project, plan)), "m.mp4", (96, 72), quiet=True)
        else:
            make_movie(project, MoviePlan.of(data._data_records.records[0], "run.rec", 0, fps=20), "m.mp4",
                       (96, 72), quiet=True)
    assert len(taken) == failing_at and not any(os.path.exists(f) for f in taken)
    kept = {scratch: ["other", "other/keep.png"], work: ["tmp", "tmp/keep.png"]}
    assert listing(scratch, work) == kept
