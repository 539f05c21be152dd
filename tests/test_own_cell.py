"""A cell of the user's own (examples/own_cell.py) beside the sample cell, end to end: the events are its
real faults only, grasps and releases go by the steps' roles, the file is in stamp order, and the pictures
put placed parts where perception saw them."""

import json
from pathlib import Path
from types import SimpleNamespace

import pytest
from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
from mcap.reader import make_reader

from dravik.api import system_pb2
from helpers import mirvane
from test_rrd import read

DATA = Path(__file__).parent / "data"
PRODUCT_TOPICS = ["/perception", "/decision", "/planner", "/controller"]


@pytest.fixture(params=["sample", "own"])
def cell(request, tmp_path_factory):
    """A run with faults of either cell: its recording, its MCAP file, the faults it suffered as
    (kind, subject) and the parts it placed (None: as many as its release events)."""
    if request.param == "sample":
        where, _ = request.getfixturevalue("faulty")
        mcap = where / "faulty.mcap"
        if not mcap.exists():
            assert mirvane("export", "faulty.rec", mcap.name, "--quiet", cwd=where).returncode == 0
        faults = [("damaged-value", "arm_b"), ("drop", "box_1"), ("stall", "arm_b"), ("unseen", "box_5")]
        return SimpleNamespace(recording=where / "faulty.rec", mcap=mcap, faults=faults, placed=None, late=0)
    path, run = request.getfixturevalue("own_cell")
    faults = [("drop", run.lost[0]), ("stall", run.silent[0])]
    return SimpleNamespace(recording=path, mcap=path, faults=faults, placed=len(run.placed), late=run.late)


def events_of(path):
    listed = mirvane("events", path.name, "--format", "json", cwd=path.parent)
    assert listed.returncode == 0, listed.stderr
    return [json.loads(line) for line in listed.stdout.splitlines()]


def test_events_are_the_faults_suffered_and_no_others(cell):
    events = events_of(cell.recording)
    assert [(e["kind"], e["subject"]) for e in events if e["severity"] != "info"] == cell.faults
    assert {"grasp", "release"} <= {e["kind"] for e in events}


def test_the_catalog_counts_the_parts_placed(cell, tmp_path):
    (tmp_path / cell.recording.name).symlink_to(cell.recording)
    assert mirvane("index", ".", cwd=tmp_path).returncode == 0
    listed = mirvane("runs", "--format", "json", cwd=tmp_path)
    assert listed.returncode == 0, listed.stderr
    [run] = [json.loads(line) for line in listed.stdout.splitlines()]
    releases = sum(e["kind"] == "release" for e in events_of(cell.recording))
    assert run["items_moved"] == (releases if cell.placed is None else cell.placed) > 0


def test_products_are_written_in_stamp_order(cell):
    with open(cell.mcap, "rb") as f:
        stamps = [(m.log_time, channel.topic) for _, channel, m in make_reader(f).iter_messages(
            topics=PRODUCT_TOPICS, log_time_order=False)]
    assert stamps and [t for t, _ in stamps] == sorted(t for t, _ in stamps) and cell.late == 0
    assert sum(topic == "/perception" for _, topic in stamps) > 100


def test_parts_are_drawn_at_the_height_perception_sees_them(cell, tmp_path):
    """At the end of the run, in the MCAP /scene and in the Rerun export: placed, lost and waiting parts alike."""
    with open(cell.mcap, "rb") as f:
        messages = [(channel.topic, m) for _, channel, m in make_reader(f).iter_messages(
            topics=["/perception", "/scene"])]
    seen = system_pb2.Perception.FromString([m.data for topic, m in messages if topic == "/perception"][-1])
    heights = {name: pose.position.z for name, pose in seen.item_poses.items()}
    last = SceneUpdate.FromString([m.data for topic, m in messages if topic == "/scene"][-1])
    drawn = {e.id.split("/", 1)[1]: e.cubes[0].pose.position.z for e in last.entities if e.id.startswith("item/")}
    assert drawn == pytest.approx(heights, abs=0.01)
    assert mirvane("export", cell.recording, "run.rrd", "--quiet", cwd=tmp_path).returncode == 0
    rows = read(tmp_path / "run.rrd")
    boxes = {name: rows[f"/world/items/{name}"][-1]["Boxes3D:centers"][-1][2] for name in heights}
    assert boxes == pytest.approx(heights, abs=0.01)


@pytest.mark.parametrize("name", ["project-v0.1.0.mvproj", "project-v0.1.0-sorted.mvproj", "run-v0.1.0.rec"])
def test_files_of_the_first_release_still_load(name, tmp_path):
    """Files written before robots had mounts and steps had roles: shown, and a clean run stays clean."""
    if name.endswith(".mvproj"):
        shown = mirvane("show", DATA / name, cwd=tmp_path)
        assert shown.returncode == 0 and "arm_a" in shown.stdout, shown.stderr
        return
    events = events_of(DATA / name)
    assert [e["kind"] for e in events if e["severity"] != "info"] == []
    assert {"step", "grasp"} <= {e["kind"] for e in events}
    assert mirvane("export", DATA / name, "run.mcap", "--quiet", cwd=tmp_path).returncode == 0
