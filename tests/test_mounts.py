"""Robots as mounted: on the floor, on a pedestal, hung from a gantry; measured and drawn in space."""

import json
import math

import pytest
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory

from dravik.api import data_pb2, project_pb2, system_pb2
from mirvane.formats.mcap import export_mcap
from mirvane.project import Project
from mirvane.workspace import Workspace
from helpers import mirvane, save

LINKS = (0.5, 0.4)
# Each across the floor arm's links (along x from the origin), seen from above.
GANTRY = dict(x=0.45, y=-0.45, yaw=math.pi / 2, z=1.7, roll=math.pi)
FLOOR_ACROSS = dict(x=0.45, y=-0.45, yaw=math.pi / 2)
PEDESTAL_ACROSS = dict(x=0.45, y=-0.45, yaw=math.pi / 2, z=0.1)
ALONGSIDE = dict(x=0.0, y=0.12)     # 7 cm from the floor arm, surface to surface


def cell_record(other):
    """A record of the floor arm ``arm`` and the robot ``other`` mounted as given, each reporting
    its joints at zero a few times."""
    workspace = Workspace()
    workspace.addRobot("arm", 0.0, 0.0, LINKS)
    workspace.addRobot("other", link_lengths=LINKS, **other)
    record = data_pb2.Record(project=project_pb2.ProjectSnapshot(workspace=workspace._getSnapshot()))
    for n in range(6):
        controller = system_pb2.Controller(robot=("arm", "other")[n % 2])
        controller.feedback.joint.positions.values.extend([0.0, 0.0])
        record.products.add(timestamp_ns=10_000_000 * (n + 1), controller=controller)
    return record


@pytest.mark.parametrize("other, args, found", [
    (GANTRY, [], []),
    (FLOOR_ACROSS, [], ["arm and other touched"]),
    (PEDESTAL_ACROSS, [], ["arm and other came within 5.0 cm of each other"]),
    (ALONGSIDE, [], ["arm and other came within 7.0 cm of each other"]),
    (ALONGSIDE, ["--clearance", "0.05"], []),
    (GANTRY, ["--clearance", "1.3"], ["arm and other came within 125.0 cm of each other"]),
])
def test_arms_are_close_only_where_their_mounts_put_them_close(tmp_path, other, args, found):
    save(data_pb2.Records(records=[cell_record(other)]), tmp_path / "cell.rec")
    done = mirvane("events", "cell.rec", "--kind", "collision,near-collision", "--format", "json", *args,
                   cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert [json.loads(line)["text"] for line in done.stdout.splitlines()] == found


def test_a_clearance_that_is_no_distance_is_refused(tmp_path):
    save(data_pb2.Records(records=[cell_record(GANTRY)]), tmp_path / "cell.rec")
    done = mirvane("events", "cell.rec", "--clearance", "-1", cwd=tmp_path)
    assert done.returncode == 2 and "give metres of 0 or more" in done.stderr


def test_mounts_and_sizes_survive_the_project_file(tmp_path):
    workspace = Workspace()
    workspace.addRobot("arm", 0.0, 0.0, LINKS)
    workspace.addRobot("gantry", link_lengths=LINKS, arm_height=0.3, link_width=0.08, pitch=0.1, **GANTRY)
    project, again = Project(), Project()
    project.setWorkspace(workspace)
    project.save(str(tmp_path / "cell.mvproj"))
    again.load(str(tmp_path / "cell.mvproj"))
    assert again.workspace()._getSnapshot() == workspace._getSnapshot()
    robots = json.loads((tmp_path / "cell.mvproj").read_text())["workspace"]["robots"]
    assert (robots["gantry"]["armHeight"], robots["gantry"]["linkWidth"]) == (0.3, 0.08)
    assert set(robots["arm"]) == {"basePose", "linkLengths"}    # defaults are left out, as older files have them
    shown = mirvane("show", "cell.mvproj", cwd=tmp_path).stdout
    assert "arm: base (0.000, 0.000) yaw 0.0 deg, links" in shown
    assert "gantry: base (0.450, -0.450) yaw 90.0 deg, z 1.700 m, roll 180.0 deg, pitch 5.7 deg, arm height " \
        "0.300 m, link width 0.080 m, links" in shown


def test_scene_draws_a_gantry_above_the_floor_arm(tmp_path):
    save(data_pb2.Records(records=[cell_record(GANTRY)]), tmp_path / "cell.rec")
    export_mcap(tmp_path / "cell.rec", tmp_path / "cell.mcap")
    with open(tmp_path / "cell.mcap", "rb") as f:
        *_, (_, _, _, scene) = make_reader(f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(
            topics=["/scene"])
    entities = {entity.id: entity for entity in scene.entities}
    for robot, links_z, stand in (("arm", 0.2, (0.0, 0.2)), ("other", 1.5, (1.5, 1.7))):
        entity = entities["robot/" + robot]
        assert [cube.pose.position.z for cube in entity.cubes] == pytest.approx([links_z] * len(LINKS))
        [post] = entity.cylinders
        low, high = post.pose.position.z - post.size.z / 2, post.pose.position.z + post.size.z / 2
        assert (low, high) == pytest.approx(stand)
