"""Recording a live cell: a recorder killed at any moment, files cut anywhere, recovery, split and
snapshot files, and recorded files used as recordings by the command."""

import json
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from mcap.reader import NonSeekingReader, make_reader
from mcap.stream_reader import StreamReader
from mcap_protobuf.decoder import DecoderFactory

from dravik.api import data_pb2
from helpers import mirvane, read_until
from mirvane.analysis.events import Detector
from mirvane.data import Data
from mirvane.formats.mcap import McapRecords
from mirvane.formats.recorder import REORDER_SECONDS, Recorder
from mirvane.formats.recorder_file import SCENES_PER_SECOND
from mirvane.formats.split import run_files
from mirvane.project import Project
from mirvane.simulation.cell import build_cell, cell_behaviors, run_cell, simulate
from mirvane.simulation.faults import Faults

SECOND = 10 ** 9
FLUSH_SECONDS = 0.25

# Two threads record until the process is killed; each product tells its thread and its number.
RECORDING_CHILD = textwrap.dedent(f"""
    import sys, threading, time
    from mirvane.formats.recorder import Recorder
    from mirvane.project import Project
    from mirvane.simulation.cell import build_cell
    project = Project()
    project.setWorkspace(build_cell())
    recorder = Recorder(sys.argv[1], project, flush_seconds={FLUSH_SECONDS})

    def feed(kind):
        for i in range(10 ** 9):
            if kind == "controller":
                recorder.controller("arm_a", [i, -i], [0.5, 0.25, i / 7])
            else:
                recorder.perception(item_poses={{"box_1": (i, 0.5, 0.0, 0.0)}})
            time.sleep(0.001)

    for kind in ("controller", "perception"):
        threading.Thread(target=feed, args=(kind,)).start()
    print("recording", flush=True)
""")


def cell_project():
    project = Project()
    project.setWorkspace(build_cell())
    for behavior in cell_behaviors():
        project.addBehavior(behavior)
    return project


def products_of(path):
    return [p for r in Data.fromFile(path).records() for p in r.products]


def handed_late(products, perception_ns=20_000_000, later=()):
    """``products`` in the order a recorder gets them when perception hands each frame over
    ``perception_ns`` after its stamp, and the products at positions ``later`` a second after theirs."""
    return [product for n, product in sorted(enumerate(products), key=lambda p: p[1].timestamp_ns + (
        SECOND if p[0] in later else perception_ns if p[1].HasField("perception") else 0))]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_a_recorder_killed_at_any_moment_loses_at_most_its_last_flush(tmp_path, seed):
    child = subprocess.Popen([sys.executable, "-c", RECORDING_CHILD, tmp_path / "run.mcap"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    read_until(child, "recording")
    time.sleep(REORDER_SECONDS + random.Random(seed).uniform(0.5, 2.0))
    killed = time.time_ns()
    child.send_signal(signal.SIGKILL)
    child.wait()

    done = mirvane("recover", "run.mcap", "fixed.mcap", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    products = products_of(tmp_path / "fixed.mcap")
    controllers = [p for p in products if p.HasField("controller")]
    perceptions = [p for p in products if p.HasField("perception")]
    # Each thread's products, in order, as added: none invented, none changed, none missing between.
    assert [list(p.controller.feedback.joint.positions.values) for p in controllers] == \
        [[i, -i] for i in range(len(controllers))]
    assert [p.perception.item_poses["box_1"].position.x for p in perceptions] == list(range(len(perceptions)))
    assert len(controllers) + len(perceptions) == len(products)
    # What was lost was added at most a flush interval and the reordering window (and a loaded
    # machine's slack) before the kill.
    for kept in (controllers, perceptions):
        assert killed - (FLUSH_SECONDS + REORDER_SECONDS + 1.0) * SECOND < kept[-1].timestamp_ns < killed


def test_a_file_cut_at_any_offset_gives_back_whole_products_from_its_start(tmp_path):
    path = tmp_path / "small.mcap"
    with Recorder(path, cell_project()) as recorder:
        for i in range(12):
            recorder.controller("arm_a", [i, -i], [0.5, 0.25, 0.0], time_ns=SECOND + i)
            if i % 3 == 2:
                recorder.flush()
    whole = path.read_bytes()
    added = products_of(path)
    with open(path, "rb") as f:
        marks = [(type(record).__name__, f.tell()) for record in StreamReader(f, emit_chunks=True).records]
    first_chunk = next(end for kind, end in marks if kind == "Chunk")
    data_end = next(end for kind, end in marks if kind == "DataEnd")

    cut = tmp_path / "cut.mcap"
    kept_by_offset = []
    for offset in range(len(whole)):
        if offset % 53 and not first_chunk - 2 <= offset <= data_end:
            continue
        cut.write_bytes(whole[:offset])
        reading = McapRecords(cut, partial=True)
        kept = [p for r in reading for p in r.products]
        assert kept == added[:len(kept)], offset
        kept_by_offset.append(len(kept))
    assert kept_by_offset == sorted(kept_by_offset)
    assert set(kept_by_offset) == {0, 3, 6, 9, 12}      # a flush's products come back together or not at all


@pytest.mark.parametrize("damage, status, said", [
    ("none", 0, r"Recovered 1 record \(12 products\) of in.mcap into out.mcap: it was whole, nothing lost\n"),
    ("cut", 0, r"Recovered 1 record \(9 products\) of in.mcap into out.mcap; lost its last [\d,]+ of [\d,]+ bytes "
               r"\(cut short: .*\): a recorder's file loses what it wrote after its last flush\n"),
    ("not MCAP", 2, r"mirvane: error: in.mcap: not an MCAP file .*; nothing was written\n"),
])
def test_recover_writes_a_whole_file_or_nothing(tmp_path, damage, status, said):
    with Recorder(tmp_path / "rec.mcap", cell_project()) as recorder:
        for i in range(12):
            recorder.controller("arm_a", [i], time_ns=SECOND + i)
            if i in (8, 11):
                recorder.flush()
    whole = (tmp_path / "rec.mcap").read_bytes()
    with open(tmp_path / "rec.mcap", "rb") as f:
        ends = [f.tell() for record in StreamReader(f, emit_chunks=True).records if type(record).__name__ == "Chunk"]
    (tmp_path / "in.mcap").write_bytes({"none": whole, "cut": whole[:ends[-1] - 1], "not MCAP": whole[1:]}[damage])

    done = mirvane("recover", "in.mcap", "out.mcap", cwd=tmp_path)
    assert done.returncode == status
    assert re.fullmatch(said, done.stdout + done.stderr)
    if status:
        assert not (tmp_path / "out.mcap").exists()
    else:
        with open(tmp_path / "out.mcap", "rb") as f:     # whole: the mcap library reads it by its summary
            summary = make_reader(f).get_summary()
        assert summary.statistics.channel_message_counts
        kept = products_of(tmp_path / "out.mcap")
        assert kept == products_of(tmp_path / "rec.mcap")[:len(kept)]


@pytest.fixture(scope="module")
def chunked(tmp_path_factory):
    """A recorder's file of 30 products, each flushed into a chunk of its own, and where its chunks end."""
    path = tmp_path_factory.mktemp("chunked") / "rec.mcap"
    with Recorder(path, cell_project(), flush_seconds=1000) as recorder:
        for i in range(30):
            recorder.controller("arm_a", [i], time_ns=SECOND + i)
            recorder.flush()
    with open(path, "rb") as f:
        ends = [f.tell() for record in StreamReader(f, emit_chunks=True).records if type(record).__name__ == "Chunk"]
    return path, ends


SKIPPED = r"skipped the damaged bytes [\d,]+ to [\d,]+ \(damaged MCAP file at byte \d+ \(CRCValidationError: .*\)\) and read on from the next whole chunk"


@pytest.mark.parametrize("damage, said", [
    ("flipped", SKIPPED + "\n"),
    ("flipped and cut", SKIPPED + r"; lost its last [\d,]+ of [\d,]+ bytes \(cut short: .*\): a recorder's file loses what"),
    ("cut after a chunk", r"it ends after its last whole chunk, without the summary a closed file has: nothing lost there\n"),
])
def test_recover_keeps_every_whole_chunk_and_says_what_it_skipped_where(chunked, tmp_path, damage, said):
    path, ends = chunked
    broken = bytearray(path.read_bytes())
    if "flipped" in damage:     # inside the chunk of product 5 (the project's chunk is the first)
        broken[ends[6] - 20] ^= 0xFF
    broken = broken[:{"flipped": len(broken), "flipped and cut": ends[-1] - 1, "cut after a chunk": ends[20]}[damage]]
    (tmp_path / "in.mcap").write_bytes(broken)
    done = mirvane("recover", "in.mcap", "out.mcap", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    count = {"flipped": 29, "flipped and cut": 28, "cut after a chunk": 20}[damage]
    assert re.match(rf"Recovered 1 record \({count} products\) of in.mcap into out.mcap; {said}", done.stdout), done.stdout
    lost = [5] if "flipped" in damage else []
    assert [p.controller.feedback.joint.positions.values[0] for p in products_of(tmp_path / "out.mcap")] == \
        [i for i in range(count + len(lost)) if i not in lost]


def test_recover_replaces_an_existing_file_only_with_force(chunked, tmp_path):
    (tmp_path / "out.mcap").write_bytes(b"mine")
    done = mirvane("recover", chunked[0], "out.mcap", cwd=tmp_path)
    assert done.returncode == 2 and done.stderr == "mirvane: error: out.mcap: exists; give --force to replace it, " \
        "or another name\n" and (tmp_path / "out.mcap").read_bytes() == b"mine"
    assert mirvane("recover", chunked[0], "out.mcap", "--force", cwd=tmp_path).returncode == 0
    assert len(products_of(tmp_path / "out.mcap")) == 30


@pytest.mark.parametrize("command", [["info", "cut.mcap"], ["import", "cut.mcap", "x.rec"],
                                     ["export", "cut.mcap", "x.mcap"], ["export", "cut.mcap", "x.rrd"],
                                     ["replay", "cut.mcap", "--project", "cell.mvproj", "--quiet"]])
def test_commands_refuse_an_unfinished_file_in_one_line_saying_how_to_recover_it(tmp_path, command):
    cell_project().save(str(tmp_path / "cell.mvproj"))
    recorder = Recorder(tmp_path / "cut.mcap", cell_project())
    recorder.controller("arm_a", [0.5])
    recorder.flush()       # left unclosed, as by a crash
    done = mirvane(*command, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert re.fullmatch(r"mirvane: error: cut.mcap: unfinished MCAP file \(truncated at byte [\d,]+, or still "
                        r"being written\); 'mirvane events --follow cut.mcap' and 'mirvane replay cut.mcap --serve "
                        r"--follow' follow it while written, 'mirvane "
                        r"recover cut.mcap FIXED.mcap' writes a whole file of what it holds\n", done.stderr)
    recorder.close()


def test_the_mcap_reader_opens_a_file_while_it_is_written(tmp_path):
    path = tmp_path / "growing.mcap"

    def read_so_far():
        """The controller messages the mcap library reads before it meets the unwritten end."""
        found = []
        with open(path, "rb") as f:
            try:
                for _, channel, message, decoded in NonSeekingReader(
                        f, decoder_factories=[DecoderFactory()]).iter_decoded_messages(log_time_order=False):
                    if channel.topic == "/controller":
                        found.append(list(decoded.feedback.joint.positions.values))
            except Exception:   # the end of what has been written so far
                pass
        return found

    with Recorder(path, cell_project(), flush_seconds=3600) as recorder:
        for i in range(5):
            recorder.controller("arm_a", [i])
        recorder.flush()
        assert read_so_far() == [[i] for i in range(5)]
        recorder.controller("arm_a", [5])
        assert read_so_far() == [[i] for i in range(5)]     # not flushed yet
        recorder.flush()
        assert read_so_far() == [[i] for i in range(6)]


def spans(files):
    """Each file's products' time stamps, in seconds, each file read whole."""
    result = []
    for path in files:
        reading = McapRecords(path)
        result.append([p.timestamp_ns / SECOND for r in reading for p in r.products])
    return result


# Split files are read as parts of one run; snapshots, windows apart, each alone.
@pytest.mark.parametrize("options, count, faults, expected, named", [
    ({"max_seconds": 1.0}, 35, (), [[i / 10 for i in range(k, min(k + 10, 35))] for k in range(0, 35, 10)], "run-"),
    ({"snapshot_seconds": 1.0, "after_seconds": 0.5, "trigger_when": lambda p: p.decision.step == "fault"},
     50, (20, 40), [[i / 10 for i in range(10, 26)], [i / 10 for i in range(30, 46)]], "run-snapshot-"),
])
def test_split_and_snapshot_files_are_whole_with_the_right_spans(tmp_path, options, count, faults, expected, named):
    with Recorder(tmp_path / "run.mcap", cell_project(), **options) as recorder:
        for i in range(count):      # a product every 0.1 s
            if i in faults:
                recorder.decision("pick_place_a", "fault", time_ns=i * SECOND // 10)
            else:
                recorder.controller("arm_a", [i / 10], time_ns=i * SECOND // 10)
    assert recorder.files == [str(tmp_path / f"{named}{n:04d}.mcap") for n in range(1, len(expected) + 1)]
    assert spans(recorder.files) == expected
    assert run_files(recorder.files[0]) == (recorder.files if "snapshot" not in named else recorder.files[:1])


# A point event triggers with the product that shows it, a range event (a stall) once it ends; perception
# handed over late finds nothing more, the event model being fed in stamp order.
@pytest.mark.parametrize("faults, trigger_on, snapshots, perception_ns", [
    ((), "error", 0, 0), (("damaged-value",), "error", 1, 0), (("stall",), "error", 0, 0),
    (("stall",), "warning", 1, 0), ((), "error", 0, 20_000_000), (("damaged-value",), "error", 1, 20_000_000)])
def test_trigger_on_snapshots_the_seconds_around_what_the_event_model_finds(tmp_path, faults, trigger_on, snapshots,
                                                                             perception_ns):
    record, injected = run_cell(10.0, seed=1, faults=Faults(faults, per_minute=6.0) if faults else None)
    with Recorder(tmp_path / "run.mcap", record.project, snapshot_seconds=2.0, after_seconds=0.5,
                  trigger_on=trigger_on, detector=Detector) as recorder:
        for product in handed_late(record.products, perception_ns):
            recorder.add(product)
    assert len(recorder.files) == snapshots
    for path, fault in zip(recorder.files, injected):
        stamps = spans([path])[0]
        assert stamps[0] <= fault.shown_ns / SECOND <= stamps[-1] <= stamps[0] + 2.5 + 0.02


def test_trigger_on_without_a_detector_is_refused_in_one_line_before_any_file(tmp_path):
    needs = r"^trigger_on needs a detector: give detector=mirvane\.analysis\.events\.Detector$"
    with pytest.raises(ValueError, match=needs):
        Recorder(tmp_path / "run.mcap", cell_project(), snapshot_seconds=2.0, trigger_on="error")
    assert not os.listdir(tmp_path)


def test_split_by_size_keeps_every_product_once(tmp_path):
    record = simulate(6.0)
    with Recorder(tmp_path / "run.mcap", record.project, max_bytes=60_000) as recorder:
        for product in record.products:
            recorder.add(product)
    sizes = [os.path.getsize(f) for f in recorder.files]
    assert len(sizes) > 2 and max(sizes) < 60_000 * 1.1      # a chunk more at most
    assert [p for f in recorder.files for r in McapRecords(f) for p in r.products] == list(record.products)


# Stamps in hundredths of a second; the window is 1 s, so the fault at 14.99 s keeps 13.99 s on.
@pytest.mark.parametrize("stamps, most_bytes, kept", [
    ([*range(500), 360_000, *range(500, 1500)], None, range(1399, 1500)),   # one product an hour ahead
    ([*range(360_000, 360_500), *range(1500)], None, range(1399, 1500)),    # the clock stepped back an hour
    ([0] * 1500, 200, None),            # a clock standing still: what 200 bytes hold, some ten products
])
def test_snapshot_mode_keeps_only_its_seconds_however_the_stamps_run(tmp_path, monkeypatch, stamps, most_bytes, kept):
    if most_bytes:
        monkeypatch.setattr("mirvane.formats.recorder.SNAPSHOT_MOST_BYTES", most_bytes)
    with Recorder(tmp_path / "run.mcap", cell_project(), snapshot_seconds=1.0,
                  trigger_when=lambda p: p.decision.step == "fault") as recorder:
        for n in stamps[:-1]:
            recorder.controller("arm_a", [0.0], time_ns=n * SECOND // 100)
        recorder.decision("pick_place_a", "fault", time_ns=stamps[-1] * SECOND // 100)
    if kept is None:
        (shown,), = [spans(recorder.files)]
        assert 1 < len(shown) <= 10 and set(shown) == {0.0}
    else:
        assert spans(recorder.files) == [[n / 100 for n in kept]]


@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.controller("arm_a", [0.1], time_ns=True), TypeError, "time_ns must be an int of nanoseconds, not bool"),
    (lambda r: r.decision("b", "s", time_ns=1.5), TypeError, "time_ns must be an int of nanoseconds, not float"),
    (lambda r: r.perception(item_poses={"box_1": (0.3, 0.5, 0.0)}), ValueError,
     "the pose of item 'box_1' must be a Pose or (x, y, z, yaw) in metres and radians, not 3 values"),
    (lambda r: r.perception(camera_poses={"cam": "1234"}), ValueError, "the pose of camera 'cam' must be a Pose"),
    (lambda r: r.controller("arm_a", [0.1], grasped_pose=(0, 0, 0, None)), TypeError,
     "the pose of grasped_pose must be four numbers (x, y, z, yaw), not int, int, int, NoneType"),
])
def test_the_recorder_refuses_what_is_no_stamp_or_pose_in_one_line(tmp_path, call, error, message):
    with Recorder(tmp_path / "run.mcap", cell_project()) as recorder:
        with pytest.raises(error) as excinfo:
            call(recorder)
    assert str(excinfo.value).startswith(message) and "\n" not in str(excinfo.value)
    assert [r.products for r in McapRecords(recorder.files[0])] == [[]]


def test_a_max_bytes_too_small_for_a_file_is_refused_before_any_file(tmp_path):
    with pytest.raises(ValueError, match=r"^max_bytes must be at least [\d,]+ for this project, not 2,000: "
                                         r"every file takes [\d,]+ bytes before its first product"):
        Recorder(tmp_path / "run.mcap", cell_project(), max_bytes=2000)
    assert not os.listdir(tmp_path)


@pytest.fixture(scope="module")
def live_recording(tmp_path_factory):
    """The sample cell's products recorded as they come, in two records (the project changed
    between them), and the same file imported."""
    where = tmp_path_factory.mktemp("recorded")
    record = simulate(2.0)
    (where / "products").write_bytes(record.SerializeToString())
    project = cell_project()
    project.save(str(where / "cell.mvproj"))
    with Recorder(where / "live.mcap", project) as recorder:
        for n, product in enumerate(record.products):
            if n == len(record.products) // 2:
                recorder.project_changed(project)
            recorder.add(product)
    assert mirvane("import", "live.mcap", "back.rec", cwd=where).returncode == 0
    return where


@pytest.mark.parametrize("command, output", [
    (["info", "{}", "--project", "{p}"], None),
    (["export", "{}", "out.mcap"], "out.mcap"),
    (["replay", "{}", "--project", "{p}", "--movie", "out.mp4", "--fps", "4", "--quiet"], None),
    (["replay", "{}", "--project", "{p}", "--movie", "out.mp4", "--fps", "4", "--index", "0"], None),
])
def test_a_recorded_file_is_a_recording_to_every_command(live_recording, tmp_path, command, output):
    records = Data.fromFile(live_recording / "live.mcap").records()
    assert [p for r in records for p in r.products] == \
        list(data_pb2.Record.FromString((live_recording / "products").read_bytes()).products)
    assert len(records) == 2 and records == Data.fromFile(live_recording / "back.rec").records()
    results = []
    for source in ("live.mcap", "back.rec"):
        done = mirvane(*(a.format(live_recording / source, p=live_recording / "cell.mvproj") for a in command), cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        results.append((done.stdout.replace(str(live_recording / source), "R"),
                        (tmp_path / output).read_bytes() if output else b""))
    assert results[0] == results[1]


# Products of the sample cell with perception handed over 20 ms late; and a frame a second late, or a
# controller report stamped an hour ahead.
@pytest.mark.parametrize("late_frame, ahead, late", [(False, False, 0), (True, False, 1), (False, True, 0)])
def test_products_handed_over_late_are_written_in_stamp_order(tmp_path, late_frame, ahead, late):
    record = simulate(2.0)
    products = list(record.products)
    frames = [n for n, p in enumerate(products) if p.HasField("perception")]
    handed = handed_late(products, later=frames[5:6] if late_frame else ())
    if ahead:   # the report handed over just before a frame stamped before it
        handed[next(n for n, p in enumerate(handed) if p is products[frames[5]]) - 1].timestamp_ns += 3600 * SECOND
    with Recorder(tmp_path / "run.mcap", record.project, flush_seconds=0.05) as recorder:
        for product in handed:
            recorder.add(product)
        # What the window's seconds have passed reaches the disk unflushed: nothing holds it back.
        passed = sum(p.timestamp_ns < products[-1].timestamp_ns - 0.6 * SECOND for p in products)
        deadline = time.time() + 30
        while sum(len(r.products) for r in McapRecords(tmp_path / "run.mcap", partial=True)) < passed:
            assert time.time() < deadline
            time.sleep(0.05)
        recorder.flush()    # the file left so, as by a crash, keeps every product
        assert mirvane("recover", "run.mcap", "fixed.mcap", cwd=tmp_path).returncode == 0
    stamps = [p.timestamp_ns for p in products_of(tmp_path / "run.mcap")]
    assert products_of(tmp_path / "fixed.mcap") == products_of(tmp_path / "run.mcap")
    assert sorted(stamps) == sorted(p.timestamp_ns for p in products)
    assert recorder.late_products == late == sum(a > b for a, b in zip(stamps, stamps[1:]))
    done = mirvane("events", "run.mcap", "--kind", "time-order", "--format", "json", cwd=tmp_path)
    assert [re.sub(r"\d", "0", json.loads(line)["text"]) for line in done.stdout.splitlines()] == \
        ["perception stamped 0.000000 s before the product before it"] * late


@pytest.mark.parametrize("clock_s", [-3.0e7, 0.0])
def test_the_scene_follows_products_stamped_by_any_clock(tmp_path, clock_s):
    """A device clock a year behind the computer's, or level with it: the 3D view still moves."""
    products = list(simulate(2.0).products)
    shift = time.time_ns() + int(clock_s * SECOND) - products[0].timestamp_ns
    with Recorder(tmp_path / "run.mcap", cell_project()) as recorder:
        for product in products:
            product.timestamp_ns += shift
            recorder.add(product)
    with open(tmp_path / "run.mcap", "rb") as f:
        scenes = sum(1 for _ in make_reader(f).iter_messages(topics=["/scene"]))
    assert scenes > 30


# Reports a scene interval apart, or closer: the 3D view follows every interval, never more often.
@pytest.mark.parametrize("apart, drawn", [(1.0, [0, 1, 2, 3, 4, 5, 6]), (0.5, [0, 2, 4, 6]), (0.4, [0, 3, 6])])
def test_the_recorders_scene_is_drawn_once_an_interval_has_passed(tmp_path, apart, drawn):
    interval = SECOND // SCENES_PER_SECOND
    start = time.time_ns() + 10 * SECOND    # after the record's opening scene
    stamps = [start + round(k * apart * interval) for k in range(7)]
    with Recorder(tmp_path / "run.mcap", cell_project()) as recorder:
        for k, stamp in enumerate(stamps):
            recorder.controller("arm_a", [k, -k], time_ns=stamp)
    with open(tmp_path / "run.mcap", "rb") as f:
        scenes = [message.log_time for _, _, message in make_reader(f).iter_messages(topics=["/scene"])]
    assert [t for t in scenes if t >= start] == [stamps[k] for k in drawn]


def test_a_clock_standing_still_holds_no_more_than_the_reorder_windows_most(monkeypatch):
    from mirvane.formats import reorder

    monkeypatch.setattr(reorder, "MOST_PRODUCTS", 4)
    given = []
    window = reorder.ReorderWindow(SECOND, given.extend)
    window.add([(5, k) for k in range(10)])
    assert given == [(5, k) for k in range(6)]      # the first in, in the order they came
    window.drain()
    assert given == [(5, k) for k in range(10)]
