"""Two runs compared as a user compares them: ``mirvane diff`` on twin runs with and without a fault and
on runs placed by an event, and ``mirvane replay A B --movie`` against each run's own movie."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest

from helpers import MIRVANE, mirvane
from mirvane.data import Data
from mirvane.player import series
from mirvane.simulation.cell import run_cell
from mirvane.simulation.faults import Faults

SECONDS, SEED, RATE = 12, 5, 5
SECOND = 1_000_000_000


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    where = tmp_path_factory.mktemp("clean")
    assert mirvane("record", "clean.rec", "--seconds", SECONDS, "--seed", SEED, cwd=where).returncode == 0
    return where / "clean.rec"


# The value that differs first, where each fault begins: its path and B's value (a pattern).
@pytest.mark.parametrize("fault, tolerance, path, b_value", [
    (None, 0, None, None),
    ("damaged-value", 0, r'controller\{robot=="arm_\w"\}\.feedback\.joint\.positions\.values\[\d\]', "nan"),
    ("dropout", 0, r'perception\.item_poses\["box_\d"\]', None),
    ("bumped-camera", 0, r'perception\.camera_poses\["cam_\w+"\]\.position\.[xy]', r"-?\d\.\d+"),
    ("stall", 0, "time", r"\d+\.\d+"),
    ("missed-grasp", 0, r'controller\{robot=="arm_\w"\}\.grasped_item', ""),
    # The overrun's plan is longer by a few ulps where it begins; the arm is elsewhere a report later.
    ("plan-overrun", 0, r'planner\{robot=="arm_\w"\}\.duration_s', r"0\.8\d+"),
    ("plan-overrun", 1e-9, r'controller\{robot=="arm_\w"\}\.feedback\.joint\.positions\.values\[0\]', r"-?\d\.\d+"),
])
def test_diff_finds_where_a_fault_begins_and_nothing_in_a_run_against_itself(clean, tmp_path, fault, tolerance, path,
                                                                              b_value):
    other = clean
    if fault:
        made = mirvane("record", "faulty.rec", "--seconds", SECONDS, "--seed", SEED, "--faults", fault,
                       "--fault-rate", RATE, cwd=tmp_path)
        assert made.returncode == 0, made.stderr
        other = tmp_path / "faulty.rec"
    table = mirvane("diff", clean, other, "--tolerance", tolerance, cwd=tmp_path)
    done = mirvane("diff", clean, other, "--tolerance", tolerance, "--format", "json", cwd=tmp_path)
    assert table.returncode == done.returncode == (1 if fault else 0), table.stderr
    report = json.loads(done.stdout)
    a, b = report["metrics"]["a"], report["metrics"]["b"]
    assert a["span_s"] > SECONDS - 0.1 and a["steps"] > 10 and a["cycles"] >= 1 and a["items_moved"] >= 1
    if not fault:
        assert report["first_difference"] is None and a == b and report["only_in_a"] == report["only_in_b"] == []
        assert "alike: no products differ" in table.stdout
        return
    # The simulator knows where the faulty run leaves its twin: the diff finds it from the files alone.
    record, (struck,) = run_cell(SECONDS, SEED, faults=Faults((fault,), RATE))
    begins = next(k for k, p in enumerate(record.products) if p.timestamp_ns >= struck.begins_ns)
    first = report["first_difference"]
    assert 0 <= first["a_product"] - begins <= (1 if not tolerance else 3) and first["a_product"] == first["b_product"]
    assert all(abs(f["a"] - f["b"]) > tolerance for f in first["fields"] if isinstance(f["a"], float)
               and isinstance(f["b"], float))
    assert re.fullmatch(path, first["fields"][0]["path"]) and first["fields"][0]["a"] is not None
    assert first["fields"][0]["b"] is None if b_value is None else re.fullmatch(b_value, str(first["fields"][0]["b"]))
    assert f"first difference: A {first['a_time']:.3f} s, product {first['a_product']}" in table.stdout
    assert re.search(rf"\n  {path} +A ", table.stdout)
    assert struck.subject.split(",")[0] in json.dumps(first) + json.dumps(report["only_in_b"])


# B read from MCAP (4,096 products a block), A from its recording file in blocks of 2,000 bytes: the
# walk side by side passes equal products block against block, the blocks cut at other products.
@pytest.mark.parametrize("fault, options", [
    (None, ()),
    ("plan-overrun", ("--tolerance", "1e-9")),
    ("missed-grasp", ()),
])
def test_diff_says_the_same_whatever_blocks_it_reads_the_runs_in(clean, tmp_path, fault, options):
    other = clean
    if fault:
        assert mirvane("record", "faulty.rec", "--seconds", SECONDS, "--seed", SEED, "--faults", fault,
                       "--fault-rate", RATE, cwd=tmp_path).returncode == 0
        other = tmp_path / "faulty.rec"
    assert mirvane("export", other, "other.mcap", "--quiet", cwd=tmp_path).returncode == 0
    reports = []
    for block_bytes, b in ((1 << 20, other), (2000, "other.mcap")):
        shrunk = ("import sys, mirvane.formats.productstream as s; from mirvane.cli import main; "
                  f"s._BLOCKS = {block_bytes}; sys.exit(main(sys.argv[1:]))")
        done = subprocess.run([sys.executable, "-c", shrunk, "diff", clean, b, *options, "--format", "json"],
                              cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode == (1 if fault else 0), done.stderr
        reports.append({**json.loads(done.stdout), "b": None})
    assert reports[0] == reports[1]


def slower_with_a_camera_bumped(record):
    """``record`` with a camera seen 10 cm off from 1 s on, and its products after 2 s stamped as a
    run 20% slower would stamp them: its events later by up to 0.4 s, a camera moved among them."""
    first = record.products[0].timestamp_ns
    for product in record.products:
        since = product.timestamp_ns - first
        if since > 1 * SECOND and product.HasField("perception"):
            product.perception.camera_poses["cam_top"].position.x += 0.1
        if since > 2 * SECOND:
            product.timestamp_ns = first + 2 * SECOND + (since - 2 * SECOND) * 6 // 5
    record.stop_timestamp_ns = record.products[-1].timestamp_ns
    return record


INFOS = r"((step|grasp|release) ?)+"


@pytest.mark.parametrize("paired_within, only_a, only_b", [
    ([], "", "camera-moved"),                                       # the default: 1 s
    (["--event-tolerance", "0.05"], INFOS, "camera-moved " + INFOS),  # the loud first
])
def test_diff_pairs_events_that_only_moved_in_time_and_prints_paths_the_field_box_takes(
        recorded, tmp_path, paired_within, only_a, only_b):
    data = Data.fromFile(str(recorded / "run.rec"))
    later = Data()
    later.addRecord(slower_with_a_camera_bumped(data.records()[0]))
    later.save(str(tmp_path / "later.rec"))
    done = mirvane("diff", recorded / "run.rec", "later.rec", *paired_within, "--format", "json", cwd=tmp_path)
    report = json.loads(done.stdout)
    for listed, kinds in zip((report["only_in_a"], report["only_in_b"]), (only_a, only_b)):
        assert re.fullmatch(kinds, " ".join(event["kind"] for event in listed)), listed
    [field] = report["first_difference"]["fields"]
    assert field["path"] == 'perception.camera_poses["cam_top"].position.x'
    bare = field["path"].replace('["cam_top"]', "[cam_top]")
    assert str(series.parse(bare)) == str(series.parse(field["path"])) == field["path"]
    # Read by a reader that stops at once, as `| head` does: nothing but what it read.
    piped = subprocess.run(f"set -o pipefail; {MIRVANE} diff {recorded / 'run.rec'} later.rec --format json | true",
                           shell=True, executable="bash", cwd=tmp_path, capture_output=True, text=True)
    assert (piped.returncode, piped.stderr) == (1, ""), piped.stderr


@pytest.mark.parametrize("placing, status, anchors", [
    ([], 1, None),
    (["--align", "start"], 1, None),
    (["--offset", "-2"], 0, None),
    (["--align-event", "grasp:box_1"], 0, "grasp:box_1"),
    (["--align-event", "release:arm_b"], 0, "release:arm_b"),
    (["--align-event", "grasp:box_9"], 2, None),
])
def test_align_event_puts_the_chosen_events_of_both_runs_at_one_time(clean, tmp_path, placing, status, anchors):
    # B: the clean run 2 s later on its own clock, after one product seen at its start.
    record = Data.fromFile(str(clean)).records()[0]
    late = type(record)()
    late.CopyFrom(record)
    for product in late.products:
        product.timestamp_ns += 2_000_000_000
    late.products.insert(0, record.products[0])
    data = Data()
    data.addRecord(late)
    data.save(str(tmp_path / "late.rec"))
    done = mirvane("diff", clean, "late.rec", *placing, "--format", "json", cwd=tmp_path)
    assert done.returncode == status, done.stderr
    if status == 2:
        assert done.stderr == "mirvane: error: cannot align by the first grasp:box_9 of each: run A has no grasp " \
                              "event about box_9; choose another event or --offset\n"
        return
    report = json.loads(done.stdout)
    if anchors:     # A's event, and B's 2 s later on B's own clock
        a_time, b_time = report["alignment"]["anchors"]
        assert report["alignment"]["event"] == anchors and a_time > 0.5
        assert b_time == pytest.approx(a_time + 2.0, abs=1e-6)
        assert report["alignment"]["offset_s"] == pytest.approx(-2.0)
    assert status == 0 or report["first_difference"]["fields"][0]["path"] == "time"


def frames(path):
    """Each frame of the movie at ``path``, decoded by the bundled ffmpeg."""
    read_frames = pytest.importorskip("imageio_ffmpeg").read_frames
    reader = read_frames(str(path))
    width, height = next(reader)["size"]
    return [np.frombuffer(frame, np.uint8).reshape(height, width, 3).astype(int) for frame in reader]


def test_side_by_side_movie_halves_are_each_runs_own_movie(recorded, tmp_path):
    assert mirvane("record", "short.rec", "--seconds", 2, "--seed", 6, cwd=tmp_path).returncode == 0
    run, project = recorded / "run.rec", recorded / "run.mvproj"
    for args in ([run, "a.mp4"], ["short.rec", "b.mp4"], [run, "short.rec", "ab.mp4"]):
        done = mirvane("replay", *args[:-1], "--project", project, "--movie", args[-1], "--fps", 5, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    assert re.fullmatch(r"Wrote ab\.mp4: 21 frames at 5 fps \(4\.2 s\), A 21 frames and B 11\n", done.stdout)
    a, b, ab = frames(tmp_path / "a.mp4"), frames(tmp_path / "b.mp4"), frames(tmp_path / "ab.mp4")
    height, width, _ = a[0].shape
    assert len(ab) == len(a) == 21 and len(b) == 11 and ab[0].shape == (height + 16, 2 * width, 3)
    # Equal but for the encoder's noise (a mean of 0.1 to 0.5 of 255), nearer than the frames
    # before and after (0.6 to 2 from it as the arms move); B holds its last.
    for k, joined in enumerate(ab):
        for half, own, at in ((joined[16:, :width], a, k), (joined[16:, width:], b, min(k, len(b) - 1))):
            errors = [np.abs(half - own[j]).mean() for j in (at - 1, at, at + 1) if 0 <= j < len(own)]
            assert errors[at > 0] < 1.0 and errors[at > 0] == min(errors), (k, errors)
    assert np.abs(ab[0][:16, :width] - ab[0][:16, width:]).mean() > 1.0   # two captions


def test_runs_of_different_cells_have_each_their_own_events(clean, own_cell):
    own, _ = own_cell
    report = json.loads(mirvane("diff", clean, own, "--format", "json", cwd=own.parent).stdout)
    said = mirvane("events", own, "--format", "json", cwd=own.parent)
    listed = [json.loads(line) for line in said.stdout.splitlines()]
    assert sorted(report["only_in_b"], key=lambda event: event["number"]) == listed
