"""The viewer draws whatever state loads, and keeps nothing from one replay to the next."""

import json
import math
import os
import pathlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from dravik.api import project_pb2, system_pb2
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.simulation.cell import build_cell, make_recording, simulate
from mirvane.system import System
from mirvane.viewer import WorkspaceViewer
from mirvane.workspace import Workspace
from helpers import StandIn
from replay_fakes import Rig

PICTURE_DIR = pathlib.Path(__file__).parent / "data"

MARKER = (210, 0, 0)


def has_marker(viewer):
    floor = viewer.image().crop((0, 0, viewer.size()[0], viewer.size()[1] - 16))
    return any(color == MARKER for _, color in floor.getcolors(1 << 16))


def edit(path, key, name, field, value):
    content = json.loads(path.read_text())
    content["workspace"][key][name][field] = value
    path.write_text(json.dumps(content))


def nan_pose(state):
    state.controller.robot = "arm_a"
    state.controller.grasped_item = "box_1"
    state.controller.grasped_item_pose.position.x = math.nan


def nan_joint(state):
    state.workspace.robots["arm_a"].joint_positions.values.extend([math.nan, 0.0])


@pytest.mark.parametrize("file_edit, state_edit, named", [
    (("items", "box_1", "size", {"x": "NaN", "y": 0.05, "z": 0.05}), None, "box_1 size"),
    (("items", "box_2", "size", {"x": -0.05, "y": 0.05, "z": 0.05}), None, "box_2 size"),
    (("items", "box_3", "basePose", {"position": {"x": "Infinity"}}), None, "box_3 pose"),
    (("robots", "arm_a", "linkLengths", [1e308, 1e308]), None, "arm_a link lengths"),
    (("robots", "arm_b", "linkLengths", []), None, "arm_b link lengths"),
    (("robots", "arm_b", "basePose", {"position": {"x": 1e300}}), None, "arm_b base pose"),
    (("cameras", "cam_top", "fieldOfViewDeg", -30.0), None, "cam_top field of view"),
    (("cameras", "cam_pan", "basePose", {"orientation": {"w": "NaN"}}), None, "cam_pan pose"),
    (None, nan_joint, "arm_a joints"),
    (None, nan_pose, "box_1 held pose"),
])
def test_damaged_values_are_marked_and_named(tmp_path, file_edit, state_edit, named):
    path = tmp_path / "cell.mvproj"
    project = Project()
    project.setWorkspace(build_cell())
    project.save(str(path))
    if file_edit:
        edit(path, *file_edit)
    project = Project()
    project.load(str(path))
    if state_edit:
        state = system_pb2.SystemState()
        state.workspace.CopyFrom(project.workspace().state())
        state_edit(state)
        project.workspace()._setState(state.workspace)
        project.system()._setState(state)
    viewer = WorkspaceViewer(project, width=320, height=240)
    viewer.render()
    assert named in viewer.status() and has_marker(viewer)


names = st.text(max_size=6)
anything = st.floats() | st.sampled_from([1e308, -1e308, 1e-308, 0.0])


@st.composite
def cells(draw, sane):
    """A layout, a workspace state and a system state: plausible values if ``sane``, else any."""
    model, state = project_pb2.WorkspaceModel(), system_pb2.SystemState()

    def value(low, high):
        return draw(st.floats(low, high) if sane else anything)

    def pose(message):
        message.position.x, message.position.y = value(-3.0, 3.0), value(-3.0, 3.0)
        message.orientation.w, message.orientation.z = value(-1.0, 1.0), value(-1.0, 1.0)

    for name in draw(st.lists(names, max_size=3)):
        robot = model.robots[name]
        pose(robot.base_pose)
        robot.link_lengths.extend(value(0.01, 1.0) for _ in range(draw(st.integers(1 if sane else 0, 3))))
        joints = state.workspace.robots[name].joint_positions.values
        joints.extend(value(-7.0, 7.0) for _ in range(draw(st.integers(0, 4))))
    for name in draw(st.lists(names, max_size=3)):
        camera = model.cameras[name]
        pose(camera.base_pose)
        camera.field_of_view_deg = value(1.0, 359.0)
        if draw(st.booleans()):
            pose(state.workspace.cameras[name].base_pose)
    for name in draw(st.lists(names, max_size=3)):
        item = model.items[name]
        pose(item.base_pose)
        item.size.x, item.size.y, item.size.z = value(0.01, 0.5), value(0.01, 0.5), value(0.01, 0.5)
        if draw(st.booleans()):
            pose(state.workspace.items[name].base_pose)
    if draw(st.booleans()):
        state.controller.robot = draw(names)
        state.controller.grasped_item = draw(names | st.sampled_from(sorted(model.items) or [""]))
        pose(state.controller.grasped_item_pose)
    return model, state


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.booleans().flatmap(lambda sane: st.tuples(st.just(sane), cells(sane))),
       st.sampled_from([(32, 48), (320, 240)]))
def test_any_state_is_drawn_and_only_damage_is_named(case, size):
    sane, (model, state) = case
    workspace, system = Workspace(), System()
    workspace._setSnapshot(model)
    workspace._setState(state.workspace)
    system._setState(state)
    viewer = WorkspaceViewer(StandIn(workspace, system), *size)
    viewer.render()
    assert viewer.image().size == size
    if sane:
        assert "bad values" not in viewer.status() and not has_marker(viewer)


class StatusLog(WorkspaceViewer):
    def render(self):
        super().render()
        self.log.append(self.status())


def hand_on(project, viewer):
    """One more cycle's state, one that reports nothing held, then a frame."""
    project.workspace()._setState(project.workspace().state())
    project.system()._setState(system_pb2.SystemState())
    viewer.render()


@pytest.mark.parametrize("then, held", [
    (lambda replay, project, viewer, path: replay.play(speed=8.0), False),   # a second run
    (lambda replay, project, viewer, path: (project.load(path), hand_on(project, viewer)), False),
    (lambda replay, project, viewer, path: hand_on(project, viewer), False),  # the run goes on: nothing reported
], ids=["replayed", "loaded", "handed-on"])
def test_a_viewer_told_nothing_draws_what_the_state_holds_whatever_came_before(tmp_path, then, held):
    path = str(tmp_path / "cell.mvproj")
    project = Project()
    project.setWorkspace(build_cell())
    project.save(path)
    viewer = StatusLog(project, width=160, height=128)
    replay = Replay()
    replay.setProject(project)
    replay.setData(make_recording(duration_s=3.0, seed=1))
    replay.setViewer(viewer)
    viewer.log = []
    replay.play(speed=8.0)
    assert "holding arm_b box_4" in viewer.log[-1]   # the state's report: the other arm's is not in it
    viewer.log = []
    then(replay, project, viewer, path)
    assert ("holding" in viewer.log[0]) == held


def replayed(monkeypatch, tmp_path, seconds):
    """The states replay shows of a simulated run at the given clock times."""
    record = simulate(3.0, seed=4)
    rig = Rig(monkeypatch, tmp_path, record, clock=[0.0, *seconds, 1e9])
    rig.play()
    return record, rig.shown[:len(seconds)]


def damage_state(model, state):
    nan_pose(state)
    state.workspace.items["box_2"].base_pose.position.y = math.inf
    state.workspace.cameras["cam_pan"].base_pose.orientation.w = math.nan


def damage_layout(model, state):
    del model.robots["arm_b"].link_lengths[:]
    model.items["box_3"].size.x = -0.05
    model.cameras["cam_top"].field_of_view_deg = 400.0
    model.cameras["cam_side"].base_pose.position.x = 1e300
    model.robots["arm_a"].base_pose.position.y = math.nan


# (picture, clock times rendered one after another, damage done, view options); the last frame is compared.
PICTURES = [
    ("rest", [], None, {}),
    ("moving", [1.0, 1.8, 2.6], None, {}),
    ("holding", [1.2, 2.2], None, {"width": 200, "height": 160, "scale": 90.0, "camera_range": 0.3}),
    ("damaged", [1.8], damage_state, {}),
    ("damaged-layout", [2.6], damage_layout, {}),
]


@pytest.mark.parametrize("name, seconds, damage, options", PICTURES, ids=[p[0] for p in PICTURES])
def test_pictures_stay_as_they_were(monkeypatch, tmp_path, name, seconds, damage, options):
    record, states = replayed(monkeypatch, tmp_path, seconds)
    model = record.project.workspace
    for state in states:
        if damage:
            damage(model, state)
    project = Project()
    project.workspace()._setSnapshot(model)
    viewer = WorkspaceViewer(project, **{"width": 320, "height": 240, **options})
    viewer.render()
    for state in states:
        project.workspace()._setState(state.workspace)
        project.system()._setState(state)
        viewer.render()
    picture = PICTURE_DIR / f"viewer-{name}.png"
    if os.environ.get("MIRVANE_SAVE_PICTURES"):
        viewer.image().save(picture)
    assert np.array_equal(np.asarray(viewer.image()), np.asarray(Image.open(picture).convert("RGB")))
