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
    assert rig.errors == [((GUARD,), {})]
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
    rig = Rig(monkeypatch, tmp_path, *records)
    assert rig.play(index=index) is None
    # The initial placement gets the chosen record's starting workspace state, by keyword.
    assert rig.ws.calls[0] == ((), {"state": records[chosen].project.workspace.state})
    assert len(rig.shown) == 2


@pytest.mark.parametrize("count, index, error", [
    (3, 3, AssertionError), (3, 7, AssertionError), (3, 2 ** 200, AssertionError), (0, 0, AssertionError),
    (3, -4, IndexError), (3, -2 ** 63, IndexError), (3, -2 ** 70, IndexError), (0, -2, IndexError),
    (0, -1, ValueError)])
def test_record_choice_failures(monkeypatch, tmp_path, count, index, error):
    rig = Rig(monkeypatch, tmp_path, *[record([BASE], stop=n) for n in range(count)])
    with pytest.raises(error) as excinfo:
        rig.play(index=index)
    if error is AssertionError:
        assert excinfo.value.args == ()
    if error is IndexError:  # as indexing the records says it
        assert str(excinfo.value) == "list index out of range"
    assert rig.events == []


@pytest.mark.parametrize("kwargs, message", [
    *[({"speed": v}, "speed must be a positive number") for v in (0.0, -1, math.nan, -math.inf)],
    *[({"speed": v, "moviename": "m.mp4"}, "speed must be a positive number") for v in (0, math.nan)],
    *[({"speed": math.inf, "moviename": v}, "speed must be a finite number") for v in (None, "m.mp4")],
    *[({"fps": v, "moviename": "m.mp4"}, "fps must be a positive integer") for v in (0, -10)],
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
    rig = Rig(monkeypatch, tmp_path, record([BASE]))
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
    assert rig.ws.calls == [((), {"state": start})] + [((s.workspace,), {}) for s in rig.shown]
    assert all(type(s) is system_pb2.SystemState for s in rig.shown)


def played(monkeypatch, tmp_path, *products):
    """The snapshots after each product: products one second apart, the clock hitting each."""
    rec = data_pb2.Record(products=products)
    rec.project.workspace.state.robots["arm"].joint_positions.values.append(0.5)
    rec.project.workspace.state.items["cup"].base_pose.CopyFrom(pose(7.0))
    for n, p in enumerate(rec.products):
        p.timestamp_ns = BASE + n * SECOND
    rig = Rig(monkeypatch, tmp_path, rec, clock=[0.0] + [float(n) for n in range(len(products) + 1)])
    rig.play()
    assert len(rig.shown) == len(products) + 1 and rig.shown[-1] is rig.shown[-2]
    return rig.shown[:-1]


def summary(s):
    w = s.workspace
    return dict(kinds=[k for k in ("perception", "decision", "planner", "controller") if s.HasField(k)],
                decision=s.decision.step, planner=s.planner.robot, perceived=sorted(s.perception.camera_poses),
                controller=(s.controller.robot, s.controller.grasped_item),
                cams={k: c.base_pose.position.x for k, c in w.cameras.items()},
                joints={k: list(r.joint_positions.values) for k, r in w.robots.items()},
                effector={k: list(r.effector_positions.values) for k, r in w.robots.items()},
                items={k: i.base_pose.position.x for k, i in w.items.items()})


def expect(**changes):
    return dict(dict(kinds=[], decision="", planner="", perceived=[], controller=("", ""), cams={},
                     joints={"arm": [0.5]}, effector={"arm": []}, items={"cup": 7.0}), **changes)


def perception(**poses):
    return product(0, perception=system_pb2.Perception(camera_poses={k: pose(x) for k, x in poses.items()}))


def controller(robot="", item="", joints=(), effector=(), **fields):
    return product(0, **fields, controller=system_pb2.Controller(
        robot=robot, grasped_item=item, grasped_item_pose=pose(4.0),
        feedback=system_pb2.Feedback(joint=system_pb2.JointFeedback(positions=positions(*joints)),
                                     effector=system_pb2.EffectorFeedback(positions=positions(*effector)))))


DECISION = product(0, decision=system_pb2.Decision(step="a"))


@pytest.mark.parametrize("products, expected", [
    ([controller("arm", "box", [9.0], perception=perception(cam=1.0).perception)],
     [expect(kinds=["perception"], perceived=["cam"], cams={"cam": 1.0})]),
    ([DECISION, product(0, planner=system_pb2.Planner(robot="arm"))],
     [expect(kinds=["decision"], decision="a"), expect(kinds=["decision", "planner"], decision="a", planner="arm")]),
    ([perception(a=1.0, b=2.0), perception(a=3.0)],  # camera poses accumulate, the perception is replaced
     [expect(kinds=["perception"], perceived=["a", "b"], cams={"a": 1.0, "b": 2.0}),
      expect(kinds=["perception"], perceived=["a"], cams={"a": 3.0, "b": 2.0})]),
    ([controller(item="box", joints=[9.0])],
     [expect(kinds=["controller"], controller=("", "box"), items={"cup": 7.0, "box": 4.0})]),
    ([controller("arm", joints=[1.0, 2.0], effector=[3.0, 4.0])],
     [expect(kinds=["controller"], controller=("arm", ""), joints={"arm": [1.0, 2.0]}, effector={"arm": [3.0, 4.0]})]),
    ([DECISION, product(0)], [expect(kinds=["decision"], decision="a")] * 2),
], ids=["perception-over-controller", "decision-planner", "cameras-accumulate", "item-without-robot",
        "robot-positions", "no-kind"])
def test_products_build_the_snapshots(monkeypatch, tmp_path, products, expected):
    assert [summary(s) for s in played(monkeypatch, tmp_path, *products)] == expected


def test_snapshots_are_independent(monkeypatch, tmp_path):
    s = played(monkeypatch, tmp_path, *[product(0, decision=system_pb2.Decision(step=x)) for x in "abc"])
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
        setattr(*{"render": (rig.viewer, "render"), "system": (rig.sys, "_setState")}[where], fail)
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
        "for index in (1, 2 ** 200, -2):\n"
        "    try:\n        rig.play(index=index)\n    except IndexError as e:\n        print(e)\n"
        "rig = Rig(pytest.MonkeyPatch(), tmp, record([0]))\n"
        "rig.play(moviename='m.avi')\n"
        "print(rig.clips[0].written, len(rig.clips[0].image_files))\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-O", "-c", script, str(tmp_path)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == ["list index out of range"] * 3 + ["['m.avi'] 2", ""]
