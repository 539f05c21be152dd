"""The scene model applies products as playback does: checked against Replay.play's own snapshots."""

import json
import math
import random

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory

from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate

from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2
from mirvane import scene
from mirvane.data import Data
from mirvane.formats.recorder import Recorder
from mirvane.player.picture import Picture
from mirvane.project import Project
from mirvane.simulation.cell import simulate
from mirvane.viewer import WorkspaceViewer
from mirvane.workspace import Workspace
from helpers import mirvane
from replay_fakes import Rig


def pose(x):
    return geometry_pb2.Pose(position=geometry_pb2.Vector3(x=x))


def awkward():
    """Every kind, and products playback must read carefully: several parts, no part, empty parts,
    names the layout does not know, a held item without a robot or a pose, fewer cameras."""
    record = simulate(0.2, seed=3)
    p = record.products
    p.add(perception=system_pb2.Perception(camera_poses={"cam_top": pose(1.0), "ghost": pose(2.0)}))
    p.add(perception=system_pb2.Perception(camera_poses={"cam_pan": pose(3.0)}))
    p.add(perception=system_pb2.Perception())
    p.add()
    both = p.add(controller=system_pb2.Controller(robot="arm_a", grasped_item="box_1"))
    both.perception.camera_poses["cam_side"].CopyFrom(pose(4.0))
    p.add(controller=system_pb2.Controller(grasped_item="box_2", grasped_item_pose=pose(5.0)))
    p.add(controller=system_pb2.Controller(robot="arm_z", grasped_item="box_9"))
    p.add(controller=system_pb2.Controller())
    p.add(decision=system_pb2.Decision(step="x"), planner=system_pb2.Planner(robot="arm_b"))
    p.add(planner=system_pb2.Planner(robot="arm_b"), controller=system_pb2.Controller(robot="arm_b"))
    return record


def timed(record, seed, last_is_latest):
    """The record with unique time stamps in shuffled order; the last product the latest or not."""
    times = [10 ** 9 + 1000 * n for n in range(len(record.products))]
    random.Random(seed).shuffle(times)
    if last_is_latest:
        times.remove(max(times))
        times.append(max(times) + 1000 if times else 10 ** 9)
    for product, t in zip(record.products, times):
        product.timestamp_ns = t
    return record


@pytest.mark.parametrize("record", [
    timed(simulate(0.3, seed=1), 0, True),
    timed(awkward(), 1, True),
    timed(awkward(), 2, False),
], ids=["simulated", "awkward", "awkward-ending-early"])
def test_applying_products_gives_the_states_playback_shows(monkeypatch, tmp_path, record):
    expected, state = [], system_pb2.SystemState(workspace=record.project.workspace.state)
    for product in record.products:
        scene.apply(product, state)
        expected.append(system_pb2.SystemState())
        expected[-1].CopyFrom(state)
    time_s = 1e-9 * np.array([p.timestamp_ns for p in record.products])
    time_s = time_s - time_s[0]
    clock = sorted(t for t in time_s if t <= time_s[-1]) + [max(time_s) + 1.0]
    rig = Rig(monkeypatch, tmp_path, record, clock=[0.0] + clock)
    rig.play()
    shown = [int(np.argmin(np.abs(t - time_s))) for t in clock]
    assert len(rig.shown) == len(clock) and len(set(shown)) >= len(clock) - 1
    assert rig.shown == [expected[i] for i in shown]
    # Rebuilt from each part's last writer alone (as keyframes are), the state at every product is the same.
    writers = scene.LastWriters()
    for position, product in enumerate(record.products):
        writers.take(position, product, scene.kind_of(product))
        rebuilt = system_pb2.SystemState(workspace=record.project.workspace.state)
        writers.apply(rebuilt)
        assert rebuilt == expected[position], position
    # The workspace alone changes as the system state's workspace does.
    workspace = system_pb2.WorkspaceState()
    workspace.CopyFrom(record.project.workspace.state)
    for product in record.products:
        scene.apply(product, workspace)
    assert workspace == expected[-1].workspace


def test_placed_boxes_rest_where_perception_sees_them_and_held_ones_hang_below_the_arm():
    record = simulate(20.0, seed=11)
    layout, state = record.project.workspace, system_pb2.WorkspaceState()
    state.CopyFrom(layout.state)
    holding, placed, carried = {}, set(), {}
    for product in record.products:
        scene.apply(product, state)
        controller = product.controller
        if product.HasField("controller"):
            if holding.get(controller.robot) and not controller.grasped_item:
                placed.add(holding[controller.robot])
            holding[controller.robot] = controller.grasped_item
        if controller.grasped_item:
            arm = scene.robot(controller.robot, layout.robots[controller.robot], state.robots[controller.robot])
            item = scene.item(controller.grasped_item, layout.items[controller.grasped_item],
                              state.items[controller.grasped_item])
            # Lifted from the floor to below the links, where it is carried.
            below = arm.z - scene.LINK_WIDTH / 2 - (item.pose.position.z + item.size.z / 2)
            carried[item.name] = min(carried.get(item.name, 1.0), below)
        for name, seen in product.perception.item_poses.items():
            if name not in holding.values():
                rests = state.items[name].base_pose.position
                # Perception's noise is 1 mm; a box may have begun to rise before its robot reports it.
                assert (rests.x, rests.y, rests.z) == pytest.approx((seen.position.x, seen.position.y,
                                                                     seen.position.z), abs=0.006)
    assert len(placed) == 6 and carried == pytest.approx(dict.fromkeys(placed, 0.0))


def test_shapes_come_in_name_order_whatever_order_the_layout_lists_them_in():
    # A map's order differs from process to process; where shapes overlap, drawing order shows.
    layout = simulate(0.1, seed=1).project.workspace
    backwards = [dict(sorted(shapes.items(), reverse=True)) for shapes in (layout.robots, layout.cameras, layout.items)]
    cell = scene.cell(*backwards, layout.state)
    for shapes, names in zip((cell.robots, cell.cameras, cell.items), backwards):
        assert [shape.name for shape in shapes] == sorted(names)


def scene_of(path):
    """The entities of the last ``/scene`` message of the MCAP file at ``path``, by id."""
    with open(path, "rb") as f:
        *_, (_, _, _, last) = make_reader(f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(
            topics=["/scene"])
    return {entity.id: entity for entity in last.entities}


def in_scene_channel(record, where, item, tmp_path, monkeypatch):
    assert mirvane("export", where / "slip.rec", "slip.mcap", "--quiet", cwd=tmp_path).returncode == 0
    p = scene_of(tmp_path / "slip.mcap")[f"item/{item}"].cubes[0].pose.position
    return p.x, p.y, p.z


def in_rerun(record, where, item, tmp_path, monkeypatch):
    from test_rrd import at, read
    assert mirvane("export", where / "slip.rec", "slip.rrd", "--quiet", cwd=tmp_path).returncode == 0
    return tuple(at(read(tmp_path / "slip.rrd")[f"/world/items/{item}"], 2 ** 63)["Boxes3D:centers"][0])


def in_picture(record, where, item, tmp_path, monkeypatch):
    """The item's shape in the player's (and movies') picture of the last product."""
    state = system_pb2.SystemState(workspace=record.project.workspace.state)
    for product in record.products:
        scene.apply(product, state)
    project = Project()
    project.workspace()._setSnapshot(record.project.workspace)
    project.workspace()._setState(state.workspace)
    project.system()._setState(state)
    viewer = WorkspaceViewer(project)
    Picture(record, []).tell(viewer, 1e9)
    drawn, cell = [], scene.cell
    monkeypatch.setattr(scene, "cell", lambda *args: drawn.append(cell(*args)) or drawn[-1])
    viewer.render()
    p = next(shape for shape in drawn[0].items if shape.name == item).pose.position
    return p.x, p.y, p.z


@pytest.mark.parametrize("drawn", [in_scene_channel, in_rerun, in_picture])
def test_a_dropped_item_is_drawn_where_perception_saw_it_fall_not_where_it_was_let_go(twins, tmp_path, monkeypatch,
                                                                                      drawn):
    where, _ = twins
    [drop] = [json.loads(line) for line in mirvane("events", where / "slip.rec", "--kind", "drop", "--format", "json",
                                                   cwd=tmp_path).stdout.splitlines()]
    record = Data.fromFile(where / "slip.rec").records()[0]
    item = drop["subject"]
    seen = [p.perception.item_poses[item].position for p in record.products if item in p.perception.item_poses][-1]
    let_go = record.project.workspace.state.items[item].base_pose.position.z
    for product in record.products:
        if product.controller.grasped_item == item:
            let_go = product.controller.grasped_item_pose.position.z
    assert seen.z < let_go - 0.05    # the run's state leaves it in the air
    assert drawn(record, where, item, tmp_path, monkeypatch) == pytest.approx((seen.x, seen.y, seen.z), abs=1e-6)


def _cell():
    workspace = project_pb2.WorkspaceModel()
    workspace.robots["arm"].link_lengths.extend([0.5, 0.5])
    workspace.cameras["cam"].field_of_view_deg = 60.0
    workspace.state.cameras["cam"].base_pose.position.x = 0.0     # set, and drawn so
    workspace.items["box"].size.x = workspace.items["box"].size.y = workspace.items["box"].size.z = 0.1
    return workspace


def _seen(**poses):
    return data_pb2.Product(perception=system_pb2.Perception(camera_poses=poses))


@pytest.mark.parametrize("product, drawn", [
    (data_pb2.Product(controller=system_pb2.Controller(robot="arm")), True),
    (data_pb2.Product(controller=system_pb2.Controller()), False),
    (data_pb2.Product(decision=system_pb2.Decision(step="s")), False),
    # Only the first kind a product carries counts, as in playback: the arm stays.
    (data_pb2.Product(decision=system_pb2.Decision(step="s"), controller=system_pb2.Controller(robot="arm")), False),
    (_seen(cam=geometry_pb2.Pose(position=geometry_pb2.Vector3(x=0.0))), False),      # where it was drawn
    (_seen(cam=geometry_pb2.Pose(position=geometry_pb2.Vector3(x=-0.0))), True),     # a pose that serializes apart
    (_seen(cam=geometry_pb2.Pose()), True),
    (_seen(ghost=geometry_pb2.Pose()), True),       # a camera the layout lacks is in the state all the same
    (data_pb2.Product(perception=system_pb2.Perception(item_poses={"box": pose(1.0)})), True),
    (data_pb2.Product(perception=system_pb2.Perception(item_poses={"box": pose(math.nan)})), False),
    # A controller that names no robot still holds, then lets go: the item moves both times.
    ((data_pb2.Product(controller=system_pb2.Controller(grasped_item="box")),
      data_pb2.Product(controller=system_pb2.Controller())), 2),
], ids=["robot", "no robot", "decision", "decision and controller", "camera still", "camera at -0", "camera unset", "unknown camera",
        "item seen", "item seen damaged", "held and let go, no robot named"])
def test_the_scene_is_written_after_a_product_that_moves_what_it_draws(product, drawn):
    from conftest import laid_out

    products = product if isinstance(product, tuple) else (product,)
    for stamp, each in enumerate(products, 1):
        each.timestamp_ns = stamp
    scenes = [message for topic, _, message in laid_out(*(p.SerializeToString() for p in products), workspace=_cell())
              if topic == "/scene"]
    assert len(scenes) == 1 + drawn     # the record's opening scene, then one for each product that moved anything
    assert all(SceneUpdate.FromString(scene).entities for scene in scenes)


@pytest.mark.parametrize("view_range, depth", [(2.5, 2.5), (None, 1.2)], ids=["declared", "to-the-floor"])
def test_a_cameras_field_of_view_is_drawn_as_deep_as_it_sees_and_its_range_is_saved(tmp_path, view_range, depth):
    workspace = Workspace()
    workspace.addRobot("gantry", 0.0, 0.0, (1.0, 1.0))
    workspace.addCamera("eye", 0.5, 0.5, z=1.2, view_range=view_range)
    project = Project()
    project.setWorkspace(workspace)
    project.save(str(tmp_path / "cell.mvproj"))
    loaded = Project()
    loaded.load(str(tmp_path / "cell.mvproj"))
    camera = loaded.workspace().cameras()["eye"]
    assert camera.HasField("view_range") == (view_range is not None) and camera.view_range == (view_range or 0.0)
    with Recorder(tmp_path / "cell.mcap", loaded) as recorder:
        recorder.perception(camera_poses={"eye": (0.5, 0.5, 1.2, 0.0)})
    wedge = scene_of(tmp_path / "cell.mcap")["camera/eye"].lines[0].points
    assert max(math.hypot(p.x, p.y) for p in wedge) == pytest.approx(depth)
