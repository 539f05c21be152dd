"""mirvane.replay.Replay.play: guard, record choice, state reconstruction and the playback clock."""

import math
import os
import subprocess
import sys
import traceback

import pytest

from dravik.api import data_pb2, geometry_pb2, system_pb2
from replay_fakes import SECOND, Rig, product, record

GUARD = "Please set a project, data, and viewer to use replay"
BASE = 1_700_000_000 * SECOND  # a realistic epoch; play must work relative to the first product


def pose(x):
    return geometry_pb2.Pose(position=geometry_pb2.Vector3(x=x))


def positions(*values):
    return geometry_pb2.Positions(values=values)


@pytest.mark.parametrize("setter, falsy", [("setProject", None), ("setData", 0), ("setViewer", "")])
@pytest.mark.parametrize("kwargs", [{}, {"moviename": "demo.avi", "speed": 0.0, "index": 9}])
def test_guard_logs_once_and_touches_nothing(monkeypatch, tmp_path, setter, falsy, kwargs):
    rig = Rig(monkeypatch, tmp_path, record([0]))
    getattr(rig.replay, setter)(falsy)
    assert rig.play(**kwargs) is None
    assert rig.logging.errors == [((GUARD,), {})]
    assert rig.data.reads == 0 and rig.events == [] and rig.clock.reads == 0
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("stops, index, chosen", [
    ([5, 9, 9, 3], -1, 1),  # greatest stop time, first of equals, not the last record
    ([1, 2, 3], -1, 2),
    ([1, 2, 3], -2, 1),
    ([1, 2, 3], 0, 0),
])
def test_record_choice(monkeypatch, tmp_path, stops, index, chosen):
    records = [record([BASE], stop=s, tag="r%d" % n) for n, s in enumerate(stops)]
    rig = Rig(monkeypatch, tmp_path, *records, clock=(0.0, 0.0, 1.0))
    assert rig.play(index=index) is None
    # The initial placement gets the chosen record's starting workspace state, by keyword.
    assert rig.project.ws.calls[0] == ((), {"state": records[chosen].project.workspace.state})
    assert len(rig.shown) == 2


@pytest.mark.parametrize("count, index, error", [
    (3, 3, AssertionError), (3, 7, AssertionError), (3, -4, IndexError), (0, -1, ValueError)])
def test_record_choice_failures(monkeypatch, tmp_path, count, index, error):
    rig = Rig(monkeypatch, tmp_path, *[record([BASE], stop=n) for n in range(count)])
    with pytest.raises(error) as excinfo:
        rig.play(index=index)
    if error is AssertionError:
        assert excinfo.value.args == ()
    assert rig.events == []


@pytest.mark.parametrize("kwargs, message", [
    ({"speed": 0.0}, "speed must be a positive number"),
    ({"speed": -1}, "speed must be a positive number"),
    ({"speed": math.nan}, "speed must be a positive number"),
    ({"speed": 0, "moviename": "m.mp4"}, "speed must be a positive number"),
    ({"speed": math.nan, "moviename": "m.mp4"}, "speed must be a positive number"),
    ({"fps": 0, "moviename": "m.mp4"}, "fps must be a positive integer"),
    ({"fps": -10, "moviename": "m.mp4"}, "fps must be a positive integer"),
])
def test_speed_and_fps_refused_before_the_data_is_read(monkeypatch, tmp_path, kwargs, message):
    rig = Rig(monkeypatch, tmp_path, record([BASE]))
    with pytest.raises(ValueError) as excinfo:
        rig.play(index=5, **kwargs)
    assert str(excinfo.value) == message
    assert rig.data.reads == 0 and rig.events == [] and rig.clips == []
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("kwargs", [
    {"fps": 0}, {"fps": -3}, {"moviename": None}, {"moviename": ""}, {"speed": 2}])
def test_live_playback_accepts(monkeypatch, tmp_path, kwargs):
    rig = Rig(monkeypatch, tmp_path, record([BASE]), clock=(0.0, 0.0, 1.0))
    assert rig.play(**kwargs) is None
    assert rig.events == ["workspace"] + ["workspace", "system", "render"] * 2
    assert rig.clips == [] and os.listdir(tmp_path) == []


def test_live_clock_follows_wall_clock_and_picks_the_nearest_earlier_on_ties(monkeypatch, tmp_path):
    # speed 2: clocks 0, 0.5 (tie), 0.6, 1.5 (tie), 2.0 (not past the end), 2.1 (past it).
    rig = Rig(monkeypatch, tmp_path, record([0, SECOND, 2 * SECOND]),
              clock=(100.0, 100.0, 100.25, 100.3, 100.75, 101.0, 101.05))
    rig.play(speed=2.0)
    assert [s.decision.step for s in rig.shown] == ["p0", "p0", "p1", "p1", "p2", "p2"]
    assert rig.clock.reads == 7
    assert rig.events == ["workspace"] + ["workspace", "system", "render"] * 6
    start = rig.data.records.records[0].project.workspace.state
    assert rig.project.ws.calls == [((), {"state": start})] + [((s.workspace,), {}) for s in rig.shown]
    assert all(type(s) is system_pb2.SystemState for s in rig.shown)


def played(monkeypatch, tmp_path, products, start=None):
    """The snapshots after each product: products one second apart, the clock hitting each."""
    rec = data_pb2.Record(products=products)
    if start is not None:
        rec.project.workspace.state.CopyFrom(start)
    for n, p in enumerate(rec.products):
        p.timestamp_ns = BASE + n * SECOND
    rig = Rig(monkeypatch, tmp_path, rec, clock=[0.0] + [float(n) for n in range(len(products) + 1)])
    rig.play()
    assert len(rig.shown) == len(products) + 1 and rig.shown[-1] is rig.shown[-2]
    return rig.shown[:-1]


def start_state():
    s = system_pb2.WorkspaceState()
    s.robots["arm"].joint_positions.values.append(0.5)
    s.items["cup"].base_pose.CopyFrom(pose(7.0))
    return s


def check_perception_wins(s):
    assert s[0].HasField("perception") and not s[0].HasField("controller")
    assert s[0].workspace.cameras["cam"].base_pose == pose(1.0)
    assert "box" not in s[0].workspace.items and list(s[0].workspace.robots["arm"].joint_positions.values) == [0.5]


def check_copies(s):
    assert s[0].decision.step == "a" and not s[0].HasField("planner")
    assert s[1].decision.step == "a" and s[1].planner.robot == "arm" and s[1].planner.duration_s == 2.0


def check_camera_poses_accumulate(s):
    cams = s[1].workspace.cameras
    assert (cams["a"].base_pose.position.x, cams["b"].base_pose.position.x) == (3.0, 2.0)
    assert list(s[1].perception.camera_poses) == ["a"]  # the perception itself is replaced


def check_item_only(s):
    assert s[0].controller.grasped_item == "box" and s[0].controller.feedback.joint.positions.values == [9.0]
    assert s[0].workspace.items["box"].base_pose == pose(4.0)
    assert list(s[0].workspace.robots) == ["arm"] and s[0].workspace.robots["arm"].joint_positions.values == [0.5]


def check_robot(s):
    arm = s[0].workspace.robots["arm"]
    assert list(arm.joint_positions.values) == [1.0, 2.0] and list(arm.effector_positions.values) == [3.0, 4.0]
    assert sorted(s[0].workspace.items) == ["cup"] and s[0].controller.robot == "arm"


def check_unchanged(s):
    assert s[1] == s[0] and s[0].decision.step == "a" and s[0].workspace == start_state()


CONTROLLER_FEEDBACK = system_pb2.Feedback(joint=system_pb2.JointFeedback(positions=positions(9.0)))


@pytest.mark.parametrize("products, check", [
    ([product(0, perception=system_pb2.Perception(camera_poses={"cam": pose(1.0)}),
              controller=system_pb2.Controller(robot="arm", grasped_item="box", feedback=CONTROLLER_FEEDBACK))],
     check_perception_wins),
    ([product(0, decision=system_pb2.Decision(step="a")),
      product(0, planner=system_pb2.Planner(robot="arm", duration_s=2.0))], check_copies),
    ([product(0, perception=system_pb2.Perception(camera_poses={"a": pose(1.0), "b": pose(2.0)})),
      product(0, perception=system_pb2.Perception(camera_poses={"a": pose(3.0)}))], check_camera_poses_accumulate),
    ([product(0, controller=system_pb2.Controller(grasped_item="box", grasped_item_pose=pose(4.0),
                                                  feedback=CONTROLLER_FEEDBACK))], check_item_only),
    ([product(0, controller=system_pb2.Controller(robot="arm", feedback=system_pb2.Feedback(
        joint=system_pb2.JointFeedback(positions=positions(1.0, 2.0)),
        effector=system_pb2.EffectorFeedback(positions=positions(3.0, 4.0)))))], check_robot),
    ([product(0, decision=system_pb2.Decision(step="a")), product(0)], check_unchanged),
], ids=["perception-over-controller", "decision-planner", "cameras-accumulate", "item-without-robot",
        "robot-positions", "no-kind"])
def test_products_build_the_snapshots(monkeypatch, tmp_path, products, check):
    check(played(monkeypatch, tmp_path, products, start_state()))


def test_snapshots_are_independent(monkeypatch, tmp_path):
    s = played(monkeypatch, tmp_path, [product(0, decision=system_pb2.Decision(step=x)) for x in "abc"])
    assert len({id(x) for x in s}) == 3
    s[0].workspace.items["new"].base_pose.CopyFrom(pose(1.0))
    s[1].decision.step = "changed"
    assert [x.decision.step for x in s] == ["a", "changed", "c"] and "new" not in s[2].workspace.items


@pytest.mark.parametrize("where", ["render", "system", "clock"])
def test_failure_inside_play_adds_one_traceback_entry(monkeypatch, tmp_path, where):
    error = KeyError("boom")
    rig = Rig(monkeypatch, tmp_path, record([BASE, BASE + SECOND]), clock=(0.0, error))

    def fail(*args, **kwargs):
        raise error

    if where != "clock":
        rig.clock.values = [0.0, 0.0]
        setattr(*{"render": (rig.viewer, "render"), "system": (rig.project.sys, "_setState")}[where], fail)
    with pytest.raises(KeyError) as excinfo:
        rig.play()
    assert excinfo.value is error
    names = [entry.name for entry in traceback.extract_tb(excinfo.tb)]
    assert names.count("mirvane.replay.Replay.play") == 1


def test_optimised_interpreter_skips_the_index_and_movie_name_assertions(tmp_path):
    script = (
        "import pathlib, sys, pytest\n"
        "from replay_fakes import Rig, record\n"
        "tmp = pathlib.Path(sys.argv[1])\n"
        "rig = Rig(pytest.MonkeyPatch(), tmp, record([0]))\n"
        "try:\n    rig.play(index=1)\nexcept IndexError:\n    print('index')\n"
        "rig = Rig(pytest.MonkeyPatch(), tmp, record([0]))\n"
        "rig.play(moviename='m.avi')\n"
        "print(rig.clips[0].written, len(rig.clips[0].image_files))\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-O", "-c", script, str(tmp_path)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == ["index", "['m.avi'] 2", ""]
