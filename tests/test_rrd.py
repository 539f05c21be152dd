"""Rerun export of recordings, read back with rerun-sdk's own reader."""

import math
import os
import re
import warnings
from collections import Counter

import numpy as np
import pyarrow as pa
import pytest

from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
from mcap.reader import make_reader

from dravik.api import data_pb2
from mirvane.data import Data
from mirvane.sightings import Sightings
from mirvane.simulation.cell import make_recording, simulate
from helpers import assert_shown, mirvane, odd_records, save
from mirvane.formats.mcap import export_mcap
from mirvane.formats.rrd import export_rrd
from replay_fakes import Rig


def read(path):
    """Every row the file logs on its timelines, by entity path ("/plots/arm_a/joints/0"): dicts of
    the row's time (ns), product and components ("Scalars:scalars"), in logged order; read with
    whichever reader the installed rerun-sdk has."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            from rerun.chunk import RrdReader        # later releases
        except ImportError:
            import rerun.dataframe as rdf
            recording = rdf.load_recording(str(path))
            paths = {c.entity_path for c in recording.schema().component_columns()}
            return {path: rows_of(recording.view(index="product", contents=path).select().read_all(), path)
                    for path in paths}
        entities = {}
        for chunk in RrdReader(str(path)).stream():
            if not chunk.is_static:
                entities.setdefault(chunk.entity_path, []).extend(
                    rows_of(pa.Table.from_batches([chunk.to_record_batch()]), chunk.entity_path))
        return entities


def rows_of(table, path):
    # Events' AnyValues are plain names in later releases ("subject"), not "Archetype:component".
    names = [n for n in table.column_names if n in ("time", "record_time", "product", "subject", "robot")
             or (":" in n and "RowId" not in n)]
    columns = {n.replace(path + ":", ""): table.column(n).cast(pa.int64()) if n in ("time", "record_time") else table.column(n)
               for n in names}
    return [row for row in pa.table(columns).to_pylist() if any(v is not None for k, v in row.items() if ":" in k)]


def at(rows, time):
    """The latest of ``rows`` at ``time``."""
    return max((row for row in rows if row["time"] <= time), key=lambda row: (row["time"], row["product"]))


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """Two simulated runs, exported by the command; their records and the file's rows by entity."""
    where = tmp_path_factory.mktemp("rrd")
    make_recording(runs=2, duration_s=2.0, seed=4).save(where / "run.rec")
    records = Data.fromFile(where / "run.rec")._data_records.records
    done = mirvane("export", "run.rec", "run.rrd", "--quiet", cwd=where)
    assert done.returncode == 0 and done.stdout == done.stderr == "", done.stderr
    return records, read(where / "run.rrd")


def test_entities_hold_a_row_per_product_that_moves_or_tells_them(exported):
    records, recording = exported
    model = records[0].project.workspace
    counts = Counter()
    for record in records:
        for product in record.products:
            which = [kind for kind in ("perception", "decision", "planner", "controller") if product.HasField(kind)]
            assert len(which) == 1      # the simulator records one part a product
            counts[which[0], product.controller.robot if which == ["controller"] else ""] += 1
    expected = {"/log/decision": counts["decision", ""], "/log/planner": counts["planner", ""]}
    for robot in model.robots:
        moved = counts["controller", robot]
        expected.update({f"/plots/{robot}/{series}": moved for series in
                         ("joints/0", "joints/1", "effector/x", "effector/y", "effector/heading")})
        # The starting state shares its row with a first product that moves the same entity.
        starts = sum(r.products[0].controller.robot != robot for r in records)
        expected.update({f"/world/robots/{robot}": moved + starts, f"/world/robots/{robot}/joints": moved + starts,
                         f"/world/robots/{robot}/mount": len(records)})     # it stands still: once a record
    starts = sum(not r.products[0].HasField("perception") for r in records)
    expected.update({f"/world/cameras/{camera}": counts["perception", ""] + starts for camera in model.cameras})
    expected.update({f"/world/items/{item}": None for item in model.items})
    # The events have a test of their own; /world holds only its view coordinates.
    assert {path for path in recording if not path.startswith("/events/")} - {"/__properties", "/world"} == \
        set(expected)
    assert {path: len(recording[path]) for path, n in expected.items() if n is not None} == \
        {path: n for path, n in expected.items() if n is not None}
    decisions = [row["TextLog:text"][0] for row in recording["/log/decision"]]
    assert decisions[0] == "pick_place_a: move_to_pick (box_1)"


def test_values_at_a_product_time_are_what_replay_shows_then(exported, monkeypatch, tmp_path):
    records, recording = exported
    record = records[1]
    times = [p.timestamp_ns for p in record.products]
    unique = [t for t, n in Counter(times).items() if n == 1]
    chosen = [unique[i] for i in np.linspace(1, len(unique) - 1, 6).astype(int)]
    rig = Rig(monkeypatch, tmp_path, record, clock=[0.0] + [(t - times[0]) / 1e9 for t in chosen] + [1e9])
    rig.play()
    sightings = Sightings(record)
    for t, shown in zip(chosen, rig.shown):
        seen = sightings.at(times.index(t))     # items not held: where the picture draws them
        for name, robot in record.project.workspace.robots.items():
            joints = list(shown.workspace.robots[name].joint_positions.values)
            plotted = [at(recording[f"/plots/{name}/joints/{i}"], t)["Scalars:scalars"][0] for i in range(len(joints))]
            assert plotted == joints
            strip = np.array(at(recording[f"/world/robots/{name}"], t)["LineStrips3D:strips"][0])
            headings = np.arctan2(*(np.diff(strip[:, :2], axis=0).T[::-1]))
            base = 2 * math.atan2(robot.base_pose.orientation.z, robot.base_pose.orientation.w)
            turns = np.diff(np.concatenate([[base], headings]))
            assert np.allclose(np.remainder(turns - joints + math.pi, 2 * math.pi) - math.pi, 0, atol=1e-5)
        for name in record.project.workspace.items:
            center = at(recording[f"/world/items/{name}"], t)["Boxes3D:centers"][0]
            p = seen.get(name, shown.workspace.items[name].base_pose).position
            assert center == pytest.approx([p.x, p.y, p.z], abs=1e-6)


def test_an_export_sent_in_pieces_reads_back_as_one_sent_whole(tmp_path, monkeypatch):
    make_recording(runs=2, duration_s=1.0, seed=4).save(tmp_path / "run.rec")
    export_rrd(tmp_path / "run.rec", tmp_path / "whole.rrd")
    monkeypatch.setattr("mirvane.formats.rrd._SEND_EVERY", 7)
    export_rrd(tmp_path / "run.rec", tmp_path / "pieces.rrd")
    assert read(tmp_path / "pieces.rrd") == read(tmp_path / "whole.rrd")


def test_records_follow_one_another_and_all_are_counted(tmp_path):
    source = save(odd_records(), tmp_path / "odd.rec")
    counts = export_rrd(source, tmp_path / "odd.rrd")
    records = odd_records().records
    assert (counts.records, counts.products) == (len(records), sum(len(r.products) for r in records))
    recording = read(tmp_path / "odd.rrd")
    # The third record's plans come after the first record's arms, although stamped earlier.
    first = len(records[0].products) + len(records[1].products)
    plans = sorted((r["time"], r["product"]) for r in recording["/log/planner"] if r["product"] >= first)
    assert [product for _, product in plans] == [first + 2, first, first + 1]     # at -9 s, -5 ns, 4 s
    assert max(r["time"] for r in recording["/plots/arm_a/joints/0"]) < plans[0][0]


@pytest.mark.parametrize("existing", [False, True])
def test_interrupted_export_leaves_no_partial_output(tmp_path, existing):
    make_recording(runs=3, duration_s=1.0, seed=1).save(tmp_path / "run.rec")
    out = tmp_path / "out.rrd"
    if existing:
        out.write_bytes(b"what was there before")

    def interrupt(done, total):
        if 0 < done < total:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        export_rrd(tmp_path / "run.rec", out, progress=interrupt)
    assert sorted(os.listdir(tmp_path)) == (["out.rrd"] if existing else []) + ["run.rec"]
    if existing:
        assert out.read_bytes() == b"what was there before"


def test_damaged_values_are_marked_and_named(tmp_path):
    record = simulate(0.2, seed=1)
    record.project.workspace.items["box_1"].size.x = math.nan
    del record.project.workspace.robots["arm_b"].link_lengths[:]
    export_rrd(save(data_pb2.Records(records=[record]), tmp_path / "bad.rec"), tmp_path / "bad.rrd")
    recording = read(tmp_path / "bad.rrd")
    labels = {path: recording[path][0]["Points3D:labels"]
              for path in ("/world/items/box_1/damage", "/world/robots/arm_b/damage")}
    assert labels == {"/world/items/box_1/damage": ["box_1 size"], "/world/robots/arm_b/damage": ["arm_b link lengths"]}
    assert not any(row["Boxes3D:centers"] for row in recording["/world/items/box_1"])


def blueprint(path):
    """The views of the file's default blueprint, {(kind, origin): view's entity path}, and each
    view's eye {view path: (position, look target)}; read with rerun-sdk's reader of files with
    several stores (later releases; None with those before it)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            from rerun.chunk import RrdReader
        except ImportError:
            return None
        reader = RrdReader(str(path))
        views, eyes = {}, {}
        for store in reader.blueprints():
            for chunk in reader.stream(store=store):
                table = pa.Table.from_batches([chunk.to_record_batch()])
                row = table.select([n for n in table.column_names if ":" in n]).to_pylist()[-1]
                if "ViewBlueprint:class_identifier" in row:
                    views[row["ViewBlueprint:class_identifier"][0], row["ViewBlueprint:space_origin"][0]] = \
                        chunk.entity_path
                elif chunk.entity_path.endswith("/EyeControls3D"):
                    eyes[chunk.entity_path.rsplit("/", 1)[0]] = (row["EyeControls3D:position"][0],
                                                                 row["EyeControls3D:look_target"][0])
        return views, eyes


LEVELS = {"INFO": "info", "WARN": "warning", "ERROR": "error"}


def test_events_are_text_logs_with_levels_and_the_viewer_opens_on_cell_plots_and_events(every_fault, tmp_path):
    where, events = every_fault
    assert mirvane("export", where / "run.rec", "run.rrd", "--quiet", cwd=tmp_path).returncode == 0
    record = Data.fromFile(where / "run.rec").records()[0]
    first = record.products[0].timestamp_ns
    recording = read(tmp_path / "run.rrd")
    assert_shown([((row["time"] - first) * 1e-9, LEVELS[row["TextLog:level"][0]], path[len("/events/"):],
                   row["TextLog:text"][0]) for path, rows in recording.items() if path.startswith("/events/")
                  for row in rows], events)
    # Every row also on the record's own time, seconds from its first product, as the player counts.
    assert {row["record_time"] - (row["time"] - first) for rows in recording.values() for row in rows} == {0}
    read_back = blueprint(tmp_path / "run.rrd")
    if read_back is None:
        pytest.skip("this rerun-sdk reads no blueprint back")
    views, eyes = read_back
    assert set(views) == {("3D", "world"), ("TimeSeries", "plots/arm_a/joints"), ("TimeSeries", "plots/arm_b/joints"),
                          ("TextLog", "events")}
    # The 3D view looks down on the middle of the cell from its side, at a steep angle.
    (x, y, z), (tx, ty, tz) = eyes[views["3D", "world"]]
    bases = [robot.base_pose.position for robot in record.project.workspace.robots.values()]
    assert min(b.x for b in bases) < tx < max(b.x for b in bases) and abs(ty) < 0.5
    assert 45 < math.degrees(math.atan2(z - tz, math.hypot(x - tx, y - ty))) < 75


def test_mcap_scene_names_and_joints_are_those_of_the_rerun_view(tmp_path):
    record = simulate(2.0, seed=4)
    save(data_pb2.Records(records=[record]), tmp_path / "sim.rec")
    export_mcap(tmp_path / "sim.rec", tmp_path / "sim.mcap")
    export_rrd(tmp_path / "sim.rec", tmp_path / "sim.rrd")
    recording = read(tmp_path / "sim.rrd")
    with open(tmp_path / "sim.mcap", "rb") as f:
        scenes = [(m.log_time, SceneUpdate.FromString(m.data)) for _, _, m in make_reader(f).iter_messages(["/scene"])]
    model = record.project.workspace
    for t in [p.timestamp_ns for p in record.products][::97]:
        entities = {e.id: e for e in [s for time, s in scenes if time <= t][-1].entities}
        assert {id_: [text.text for text in e.texts] for id_, e in entities.items()} == {
            f"{kind}/{name}": [name] for kind, names in (("robot", model.robots), ("camera", model.cameras),
                                                         ("item", model.items)) for name in names}
        for name in model.robots:
            spheres = [[s.pose.position.x, s.pose.position.y, s.pose.position.z] for s in entities["robot/" + name].spheres]
            points = at(recording[f"/world/robots/{name}/joints"], t)["Points3D:positions"]
            assert np.allclose(spheres, points, atol=1e-6) and len(spheres) == len(model.robots[name].link_lengths)


@pytest.mark.parametrize("out", ["run.rrd", "run.mcap"])
def test_the_progress_bar_ends_at_100_percent(tmp_path, out):
    # Short enough that the bar's end comes before it would redraw by itself.
    assert mirvane("record", "run.rec", "--seconds", 0.3, cwd=tmp_path).returncode == 0
    done = mirvane("export", "run.rec", out, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    drawn = [frame for frame in re.split("[\r\n]", done.stderr) if "%" in frame]
    assert drawn[-1].startswith("exporting: 100%")
