"""Tests of the plain-Python companions of the native modules: workspace, behaviours,
data files, the simulator and the viewer."""

import errno
import fnmatch
import math
import os
import stat
import struct
import types
import zlib

import numpy as np
import pytest
from imageio_ffmpeg import read_frames
from PIL import Image

from dravik.api import data_pb2, project_pb2, system_pb2
import mirvane._atomic
from mirvane.behavior import Behavior, StepRole
from mirvane.data import Data, DataFileError
from mirvane.geometry import yaw_of
from mirvane.scene import effector_of
from mirvane.simulation.cell import (CONTROLLER_HZ, DEFAULT_START_NS, PERCEPTION_HZ, build_cell, make_recording,
                                simulate, synthetic_record)
from mirvane.simulation.layout import RunClock
from mirvane.system import System
from mirvane.viewer import WorkspaceViewer
from mirvane.workspace import Workspace
from helpers import StandIn

KINDS = ("perception", "decision", "planner", "controller")


@pytest.fixture(scope="module")
def run() -> data_pb2.Record:
    return simulate(duration_s=6.0, seed=3)


def kinds_of(product: data_pb2.Product):
    return [k for k in KINDS if product.HasField(k)]


# -- workspace ---------------------------------------------------------------

def test_snapshot_round_trip_into_fresh_workspace():
    snapshot = build_cell()._getSnapshot()
    ws = Workspace()
    ws._setSnapshot(snapshot)
    assert ws._getSnapshot() == snapshot
    assert len(ws.robots()) == 2 and len(ws.cameras()) == 3 and len(ws.items()) == 6


def test_set_snapshot_copies_and_replaces_in_place():
    snapshot = build_cell()._getSnapshot()
    ws = Workspace()
    ws.addRobot("old_arm", 5.0, 5.0, [0.3])
    ws._setSnapshot(snapshot)
    assert "old_arm" not in ws.robots() and "old_arm" not in ws.state().robots
    # Changing the caller's message afterwards must not reach the workspace.
    snapshot.robots["arm_a"].link_lengths[0] = 9.0
    snapshot.state.robots["arm_a"].joint_positions.values[0] = 9.0
    assert ws.robots()["arm_a"].link_lengths[0] != 9.0
    assert ws.state().robots["arm_a"].joint_positions.values[0] != 9.0


def test_get_snapshot_returns_independent_message():
    ws = build_cell()
    first = ws._getSnapshot()
    first.items["box_1"].size.x = 7.0
    assert ws._getSnapshot().items["box_1"].size.x != 7.0


@pytest.mark.parametrize("by_keyword", [True, False])
def test_set_state_keeps_reference(by_keyword):
    ws = build_cell()
    state = system_pb2.WorkspaceState()
    state.robots["arm_a"].joint_positions.values.extend([0.1, 0.2])
    if by_keyword:
        ws._setState(state=state)
    else:
        ws._setState(state)
    assert ws.state() is state
    state.robots["arm_a"].joint_positions.values[0] = 0.5
    assert ws._getSnapshot().state.robots["arm_a"].joint_positions.values[:] == [0.5, 0.2]


@pytest.mark.parametrize("bad", [None, project_pb2.WorkspaceModel(), system_pb2.SystemState()])
def test_set_state_rejects_other_messages(bad):
    with pytest.raises(TypeError):
        Workspace()._setState(bad)


@pytest.mark.parametrize("render", [str, lambda ws: format(ws, ""), lambda ws: f"{ws}"])
def test_format_lists_everything_indented(render):
    text = render(build_cell())
    assert text.endswith("\n")
    lines = text[:-1].split("\n")
    assert all(line.startswith("  ") for line in lines)
    for name in ("arm_a", "arm_b", "cam_pan", "box_6", "Robots", "Cameras", "Items"):
        assert name in text


def test_format_of_empty_workspace_and_bad_spec():
    assert str(Workspace()).endswith("\n")
    with pytest.raises(TypeError):
        format(Workspace(), "x")


@pytest.mark.parametrize("add", [
    lambda ws: ws.addItem("arm_a", 0.0, 0.0),                  # name taken by a robot
    lambda ws: ws.addRobot("r", 0.0, 0.0, []),
    lambda ws: ws.addRobot("r", 0.0, 0.0, [0.3, -0.1]),
    lambda ws: ws.addRobot("r", 0.0, 0.0, [0.3, 0.2], joint_positions=[0.0]),
    lambda ws: ws.addCamera("c", 0.0, 0.0, field_of_view_deg=0.0),
    lambda ws: ws.addItem("i", 0.0, 0.0, size=(0.1, 0.0, 0.1)),
    lambda ws: ws.addItem("", 0.0, 0.0),
])
def test_invalid_additions_are_refused(add):
    ws = build_cell()
    before = ws._getSnapshot()
    with pytest.raises(ValueError):
        add(ws)
    assert ws._getSnapshot() == before


def test_added_robot_starts_with_its_effector_state():
    ws = Workspace()
    ws.addRobot("r", 1.0, 2.0, [0.5, 0.25], yaw=math.pi / 2, joint_positions=[0.0, -math.pi / 2])
    values = ws.state().robots["r"].effector_positions.values
    assert values[:] == pytest.approx([1.25, 2.5, 0.0], abs=1e-12)
    assert yaw_of(ws.robots()["r"].base_pose) == pytest.approx(math.pi / 2)


def test_remove_drops_model_and_state():
    ws = build_cell()
    ws.remove("box_2")
    assert "box_2" not in ws.items() and "box_2" not in ws.state().items
    with pytest.raises(KeyError):
        ws.remove("box_2")


# -- behaviours ----------------------------------------------------------------

BEHAVIORS = [
    Behavior("pick", robot="arm_a", steps=("approach", "grasp", "lift")),
    Behavior("idle"),
    Behavior("calibrate", steps=["capture"]),
    Behavior("own", robot="gantry", steps=("shut", "unclasp"), roles={"shut": StepRole.GRASP, "unclasp": "release"}),
]


@pytest.mark.parametrize("behavior", BEHAVIORS, ids=lambda b: b.name())
def test_behavior_model_round_trip(behavior):
    model = Behavior._ToModel(behavior)
    assert isinstance(model, project_pb2.BehaviorModel)
    again = Behavior._FromModel(model)
    assert again == behavior and again is not behavior
    assert again.steps() == behavior.steps()


@pytest.mark.parametrize("indent", [0, 1, 3])
@pytest.mark.parametrize("behavior", BEHAVIORS, ids=lambda b: b.name())
def test_behavior_text_indent(behavior, indent):
    text = behavior._str(indent)
    assert text.endswith("\n")
    for line in text[:-1].split("\n"):
        assert line.startswith("  " * indent) and not line.startswith("  " * indent + " ")
    assert behavior.name() in text


@pytest.mark.parametrize("args, error", [
    (("",), ValueError),
    (("b", "arm", "grasp"), TypeError),           # a string is not a list of steps
    (("b", "arm", ("grasp", 3)), TypeError),
    (("b", None), TypeError),
    (("b", "arm", ("grasp",), {"roles": {"lift": "grasp"}}), ValueError),     # not one of its steps
    (("b", "arm", ("grasp",), {"roles": {"grasp": "hold"}}), ValueError),
])
def test_behavior_rejects_bad_arguments(args, error):
    *args, kwargs = args if isinstance(args[-1], dict) else (*args, {})
    with pytest.raises(error):
        Behavior(*args, **kwargs)


def test_declared_roles_make_a_behaviour_differ_and_override_the_defaults():
    own, plain = (Behavior("b", steps=("shut", "open_gripper"), roles=roles) for roles in ({"shut": "grasp"}, None))
    assert own != plain and hash(own) != hash(plain)
    assert "roles={'shut': 'grasp'}" in repr(own) and str(own) == "b (no robot): shut -> open_gripper; shut: grasp\n"
    assert [(own.role(step), plain.role(step)) for step in own.steps()] == [("grasp", "other"), ("release", "release")]


# -- data files ------------------------------------------------------------------

@pytest.mark.parametrize("runs", [0, 2])
def test_data_save_load_round_trip(tmp_path, runs):
    data = make_recording(runs=runs, duration_s=1.0)
    path = tmp_path / "run.rec"
    data.save(path)
    loaded = Data.fromFile(path)
    assert loaded._data_records == data._data_records
    assert len(loaded) == runs and loaded.productCount() == data.productCount()

    other = Data()
    held = other._data_records
    other.load(str(path))
    assert other._data_records is held and held == data._data_records


# Saving writes a temporary file beside the target, syncs it and renames it over
# the target: a failure at any step leaves the old file, and no file of others
# (such as one named like the old fixed temporary) is touched.

def os_with(**replaced):
    return types.SimpleNamespace(**{**vars(os), **replaced})


def failing(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


REPLACE_FAILS = failing(OSError(errno.EXDEV, "cross-device"))


@pytest.mark.parametrize("replaced, blob, left", [
    ({"open": failing(OSError(errno.ENOSPC, "full"))}, None, []),
    ({}, "text, not bytes", []),
    ({"fsync": failing(OSError(errno.EIO, "I/O error"))}, None, []),
    ({"stat": failing(PermissionError(errno.EACCES, "denied"))}, None, []),
    ({"chmod": failing(PermissionError(errno.EPERM, "not permitted"))}, None, []),
    ({"replace": REPLACE_FAILS}, None, []),
    ({"replace": REPLACE_FAILS, "remove": failing(OSError(errno.EIO, "I/O error"))}, None, [".run.*.tmp.rec"]),
], ids=["create", "write", "fsync", "stat", "chmod", "replace", "remove too"])
def test_data_save_failing_keeps_old_file(tmp_path, monkeypatch, replaced, blob, left):
    old = {"run.rec": b"old recording", "run.rec.partial": b"not ours"}
    for name, content in old.items():
        (tmp_path / name).write_bytes(content)
    data = make_recording(runs=1, duration_s=0.2)
    if blob is not None:
        data._data_records = types.SimpleNamespace(SerializeToString=lambda: blob)
    monkeypatch.setattr(mirvane._atomic, "os", os_with(**replaced))
    with pytest.raises((OSError, TypeError)):
        data.save(tmp_path / "run.rec")
    new = [n for n in os.listdir(tmp_path) if n not in old]  # a temporary only when removing it failed
    assert len(new) == len(left) and all(map(fnmatch.fnmatch, new, left))
    assert {n: (tmp_path / n).read_bytes() for n in old} == old


@pytest.mark.parametrize("name, link", [("run.rec", None), ("{run}.rec", None), ("run.rec", "link.rec")])
def test_data_save_replaces_with_a_synced_file_beside_the_target(tmp_path, monkeypatch, name, link):
    events = []

    def fsync(fd):
        events.append("fsync")
        os.fsync(fd)

    def replace(source, target):
        events.append((os.path.dirname(source), os.path.splitext(source)[1], os.path.basename(target)))
        os.replace(source, target)

    target = tmp_path / name
    target.write_bytes(b"old recording")
    os.chmod(target, 0o604)
    if link:
        (tmp_path / link).symlink_to(name)
    monkeypatch.setattr(mirvane._atomic, "os", os_with(fsync=fsync, replace=replace))
    data = make_recording(runs=1, duration_s=0.2)
    data.save(tmp_path / (link or name))
    assert events == ["fsync", (str(tmp_path), ".rec", name)]
    assert target.read_bytes() == data._data_records.SerializeToString(deterministic=True)
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o604
    assert sorted(os.listdir(tmp_path)) == sorted(filter(None, [name, link]))
    assert link is None or (tmp_path / link).is_symlink()


def _project_file_bytes() -> bytes:
    snapshot = project_pb2.ProjectSnapshot(version="0.1.0")
    snapshot.workspace.CopyFrom(build_cell()._getSnapshot())
    return snapshot.SerializeToString()


@pytest.mark.parametrize("content", [
    b"this is not a recording\n",
    b"\xff\xff\xff\xff\xff",
    _project_file_bytes(),
    simulate(0.5).SerializeToString(),                                  # a lone Record
    make_recording(duration_s=0.5)._data_records.SerializeToString()[:-7],  # truncated
    b"\x12\x03abc",              # well-formed, but a field a recording does not have
    b"\x0a\x02\x10\x01\x12\x00",  # a record, then such a field (one in a record is a newer version's)
], ids=["text", "garbage", "project", "record", "truncated", "foreign", "foreign_after_record"])
def test_bad_files_raise_and_leave_data_alone(tmp_path, content):
    path = tmp_path / "bad.rec"
    path.write_bytes(content)
    data = make_recording(duration_s=0.2)
    before = data._data_records.SerializeToString()
    with pytest.raises(DataFileError, match="bad.rec"):
        data.load(path)
    assert data._data_records.SerializeToString() == before
    with pytest.raises(DataFileError):
        Data.fromFile(path)


def test_missing_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        Data.fromFile(tmp_path / "nope.rec")


# -- simulator -----------------------------------------------------------------------

def test_products_in_time_order_within_record(run):
    stamps = [p.timestamp_ns for p in run.products]
    assert stamps == sorted(stamps)
    assert run.start_timestamp_ns <= stamps[0] and run.stop_timestamp_ns >= stamps[-1]
    assert all(len(kinds_of(p)) == 1 for p in run.products)


def test_all_kinds_at_expected_rates(run):
    seconds = (run.stop_timestamp_ns - run.start_timestamp_ns) / 1e9
    counts = {k: sum(1 for p in run.products if p.HasField(k)) for k in KINDS}
    per_robot = {}
    for p in run.products:
        if p.HasField("controller"):
            per_robot[p.controller.robot] = per_robot.get(p.controller.robot, 0) + 1
    assert counts["perception"] / seconds == pytest.approx(PERCEPTION_HZ, rel=0.05)
    assert set(per_robot) == set(run.project.workspace.robots)
    for n in per_robot.values():
        assert n / seconds == pytest.approx(CONTROLLER_HZ, rel=0.05)
    assert counts["decision"] >= 4 and counts["planner"] >= 2


def test_record_carries_project_with_start_state(run):
    project = run.project
    assert project.version and set(project.behaviors) == {"pick_place_a", "pick_place_b"}
    assert project.workspace == build_cell()._getSnapshot()


def test_controller_feedback_matches_kinematics(run):
    robots = run.project.workspace.robots
    for p in run.products[::7]:
        if not p.HasField("controller"):
            continue
        c = p.controller
        model = robots[c.robot]
        base = model.base_pose
        expected = effector_of(base.position.x, base.position.y, yaw_of(base),
                               model.link_lengths, c.feedback.joint.positions.values)
        assert c.feedback.effector.positions.values[:] == pytest.approx(expected, abs=1e-9)
        if c.grasped_item:
            held = c.grasped_item_pose.position
            assert (held.x, held.y) == pytest.approx(expected[:2], abs=1e-9)


def test_items_are_moved_and_held_by_one_robot_at_a_time(run):
    holders = {}
    for p in run.products:
        if p.HasField("controller") and p.controller.grasped_item:
            holders.setdefault(p.controller.grasped_item, set()).add(p.controller.robot)
    assert holders and all(len(r) == 1 for r in holders.values())
    first = next(p.perception for p in run.products if p.HasField("perception"))
    last = next(p.perception for p in reversed(run.products) if p.HasField("perception"))
    moved = [n for n in first.item_poses
             if abs(first.item_poses[n].position.y - last.item_poses[n].position.y) > 0.5]
    assert moved


def test_held_item_is_the_target_from_grasp_to_release(run):
    step = {}      # behaviour -> (step, target), as last decided
    behavior_of = {b.robot: name for name, b in run.project.behaviors.items()}
    for p in run.products:
        if p.HasField("decision"):
            step[p.decision.behavior] = (p.decision.step, p.decision.target_item)
        elif p.HasField("controller") and p.controller.grasped_item:
            c = p.controller
            assert step[behavior_of[c.robot]] in {(s, c.grasped_item) for s in ("grasp", "move_to_place", "release")}


def test_items_are_released_where_the_effector_is(run):
    behavior_of = {b.robot: name for name, b in run.project.behaviors.items()}
    releasing = {}     # behaviour -> item just released
    seen = None
    checked = 0
    for p in run.products:
        if p.HasField("perception"):
            seen = p.perception
        elif p.HasField("decision") and p.decision.step == "release":
            releasing[p.decision.behavior] = p.decision.target_item
        elif p.HasField("controller") and seen is not None:
            item = releasing.pop(behavior_of[p.controller.robot], None)
            if item:
                effector = p.controller.feedback.effector.positions.values
                where = seen.item_poses[item].position
                assert math.hypot(where.x - effector[0], where.y - effector[1]) < 0.005
                checked += 1
    assert checked >= 2


@pytest.mark.parametrize("seed", [0, 11])
def test_simulation_is_deterministic(seed):
    a = simulate(2.0, seed=seed).SerializeToString()
    assert a == simulate(2.0, seed=seed).SerializeToString()
    assert a != simulate(2.0, seed=seed + 1).SerializeToString()


@pytest.mark.parametrize("seconds", [0.01, 1234.567, 28800.0])
def test_a_runs_sampling_times_are_those_its_recordings_were_made_with(seconds):
    # Worked out a span at a time, bit for bit as np.arange gave them whole before.
    clock = RunClock(DEFAULT_START_NS, seconds)
    for ticks, hz in [(clock.perception, PERCEPTION_HZ), *((t, CONTROLLER_HZ) for t in clock.controllers)]:
        whole = np.arange(ticks.at(0), seconds, 1.0 / hz)
        spans = [ticks[first:first + 1000] for first in range(0, len(ticks), 1000)]
        assert len(ticks) == len(whole) and np.concatenate(spans).tobytes() == whole.tobytes()
        probes = np.concatenate([whole[::9973], whole[::9973] + 0.5 / hz, [-1.0, seconds]])
        assert [ticks.searchsorted(t, side) for t in probes for side in ("left", "right")] == \
            [np.searchsorted(whole, t, side) for t in probes for side in ("left", "right")]


@pytest.mark.parametrize("n", [0, 1, 997, 20_000])
def test_synthetic_record_has_exactly_n_products(n):
    record = synthetic_record(n)
    assert len(record.products) == n
    if n:
        assert record.stop_timestamp_ns >= record.products[-1].timestamp_ns
    if n >= 997:
        assert all(any(p.HasField(k) for p in record.products) for k in KINDS)


def test_runs_of_a_recording_do_not_overlap():
    records = make_recording(runs=3, duration_s=1.0).records()
    for earlier, later in zip(records, records[1:]):
        assert earlier.stop_timestamp_ns < later.start_timestamp_ns


# -- viewer ----------------------------------------------------------------------------

def png_size(path):
    blob = path.read_bytes()
    assert blob[:8] == b"\x89PNG\r\n\x1a\n" and blob[12:16] == b"IHDR"
    assert zlib.crc32(blob[12:29]) == struct.unpack(">I", blob[29:33])[0]
    return struct.unpack(">II", blob[16:24])


@pytest.mark.parametrize("size, workspace, render_first", [
    ((640, 480), build_cell(), True),
    ((321, 203), build_cell(), True),
    ((640, 480), Workspace(), False),          # nothing to draw, nothing drawn yet
])
def test_screenshot_writes_png_of_view_size(tmp_path, size, workspace, render_first):
    viewer = WorkspaceViewer(StandIn(workspace), width=size[0], height=size[1])
    if render_first:
        viewer.render()
    path = tmp_path / "frame.png"
    viewer.screenshot(filename=str(path))
    assert png_size(path) == size
    assert viewer
    # Lossless: Pillow and the bundled ffmpeg read back the very pixels shown.
    shown = viewer.image().tobytes()
    with Image.open(path) as png:
        assert (png.mode, png.tobytes()) == ("RGB", shown)
    frames = read_frames(str(path))
    assert next(frames)["size"] == size and next(frames) == shown


def _odd_states():
    unknown = system_pb2.WorkspaceState()
    unknown.robots["ghost"].joint_positions.values.extend([1.0, 2.0])
    unknown.items["phantom"].base_pose.position.x = 3.0
    too_many = system_pb2.WorkspaceState()
    too_many.robots["arm_a"].joint_positions.values.extend([0.1] * 7)
    return [system_pb2.WorkspaceState(), unknown, too_many]


@pytest.mark.parametrize("state", _odd_states(), ids=["empty", "unknown_keys", "extra_joints"])
def test_viewer_tolerates_odd_states(state):
    ws = build_cell()
    ws._setState(state)
    system = System()
    odd = system_pb2.SystemState()
    odd.controller.robot = "ghost"
    odd.controller.grasped_item = "phantom"
    system._setState(odd)
    viewer = WorkspaceViewer(StandIn(ws, system))
    viewer.render()
    viewer.render()
    assert viewer.image().size == (640, 480)


def test_viewer_draws_moving_parts_and_layout_changes():
    ws = build_cell()
    viewer = WorkspaceViewer(StandIn(ws))
    viewer.render()
    home = viewer.image().tobytes()

    state = system_pb2.WorkspaceState()
    state.CopyFrom(ws.state())
    state.robots["arm_a"].joint_positions.values[0] += 1.0
    ws._setState(state)
    viewer.render()
    moved = viewer.image().tobytes()
    assert moved != home

    ws.addRobot("arm_c", 0.7, -0.8, [0.3, 0.3])
    viewer.render()
    fresh = WorkspaceViewer(StandIn(ws))
    fresh.render()
    assert viewer.image().tobytes() == fresh.image().tobytes() != moved


def test_held_item_is_highlighted():
    ws = build_cell()
    system = System()
    viewer = WorkspaceViewer(StandIn(ws, system))
    state = system_pb2.SystemState()
    system._setState(state)


    def floor():  # the picture without the status bar, whose text changes too
        return viewer.image().crop((0, 0, 640, 440)).tobytes()

    viewer.render()
    plain = floor()
    state.controller.robot = "arm_a"
    state.controller.grasped_item = "box_1"
    viewer.render()
    assert floor() != plain
    # Another robot's later report does not drop what arm_a's latest said, when the viewer is told it.
    held = system_pb2.Controller()
    held.CopyFrom(state.controller)
    state.controller.robot = "arm_b"
    state.controller.grasped_item = ""
    viewer.at({"arm_a": held})
    viewer.render()
    assert floor() != plain
    state.controller.robot = "arm_a"
    viewer.render()
    assert floor() == plain


@pytest.mark.parametrize("make_target, error", [
    (lambda path: path.mkdir(), IsADirectoryError),
    (os.mkfifo, OSError),
], ids=["directory", "pipe"])
def test_data_save_refuses_what_is_not_a_regular_file(tmp_path, make_target, error):
    make_target(tmp_path / "run.rec")
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error, match="run.rec"):
        make_recording(runs=1, duration_s=0.2).save(tmp_path / "run.rec")
    assert sorted(os.listdir(tmp_path)) == before
    assert not (tmp_path / "run.rec").is_file()


# -- errors name their file and say why, apart ----------------------------------------------

def _not_a_recording(path):
    path.write_bytes(b"\xff\xff")
    Data.fromFile(path)


def _not_an_mcap_file(path):
    pytest.importorskip("mcap")
    from mirvane.formats.mcap import McapRecords

    path = path.with_suffix(".mcap")
    path.write_bytes(b"plain text")
    list(McapRecords(path))


def _no_such_record(path):
    from mirvane.records import record_position

    record_position(5, 2, lambda: (), path)


@pytest.mark.parametrize("fail, error, reason", [
    (_not_a_recording, DataFileError, "not a recording file (Error parsing message"),
    (_not_an_mcap_file, DataFileError, "not an MCAP file (it does not begin as one)"),
    (_no_such_record, IndexError, "index 5: has 2 records; give 0 to 1, -2 counting from the end, or -1"),
])
def test_errors_carry_their_file_and_reason_and_survive_a_trip_to_another_process(tmp_path, fail, error, reason):
    import pickle

    with pytest.raises(error) as raised:
        fail(tmp_path / "run.rec")
    e = raised.value
    assert os.path.dirname(e.path) == str(tmp_path) and e.reason.startswith(reason)
    assert e.path in str(e) and str(e).endswith(e.reason.split(": ", 1)[-1])
    again = pickle.loads(pickle.dumps(e))
    assert (type(again), again.path, again.reason, str(again)) == (type(e), e.path, e.reason, str(e))
