"""Split files read as one run, and a recording followed while its recorder writes it."""

import json
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from helpers import MIRVANE, mirvane, request, serving
from mirvane.formats.recorder import Recorder
from mirvane.project import Project


def _listed(command, recording, cwd):
    """What ``command`` says of ``recording``: for export, what info says of the file exported; for
    index, the figures the catalog keeps."""
    out = {"export": ["out.mcap", "--quiet"], "index": ["--db", f"{recording}.duckdb", "--quiet"]}.get(command, [])
    done = mirvane(command, recording, *out, cwd=cwd)
    assert done.returncode == 0, done.stderr
    if command == "export":
        return mirvane("info", "out.mcap", cwd=cwd).stdout, done.stderr
    if command == "index":
        kept = "SELECT * EXCLUDE (record_id, file, fingerprint, start_ns) FROM records"
        return mirvane("runs", *out[:2], "--sql", kept, cwd=cwd).stdout, done.stderr
    return done.stdout, done.stderr


@pytest.mark.parametrize("command", ["info", "events", "export", "index"])
def test_split_files_read_as_the_whole_recording_with_the_gap_noted(split_run, command):
    whole, quiet = _listed(command, "whole.mcap", split_run)
    split, said = _listed(command, "run-0001.mcap", split_run)
    assert split == whole and whole and quiet == ""
    if command != "export":
        assert said.startswith("mirvane: note: ") and said.endswith(
            "run-0004.mcap continues run-0003.mcap after a gap of 5.002 s\n") and said.count("\n") == 1


def test_a_file_of_another_project_ends_the_run_before_it(split_run, tmp_path):
    for n in (1, 2):
        shutil.copy(split_run / f"run-000{n}.mcap", tmp_path)
    with Recorder(tmp_path / "run-0003.mcap", Project()) as recorder:   # an empty cell's
        recorder.controller("arm_a", [0.5], time_ns=1)
    done = mirvane("info", "run-0001.mcap", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.count("\n") == 1 and "controller 400" in done.stdout
    assert done.stderr == ("mirvane: note: run-0003.mcap holds another project, so the run ends at run-0002.mcap; "
                           "read run-0003.mcap by itself\n")


# Records 3 s of the sample cell over some 4 s (split every second when told), then says when it closed.
WRITER = """import sys, time
sys.path.insert(0, sys.argv[1])
from conftest import record_slowly
record_slowly(sys.argv[2], 3.0, pause=0.005, split=float(sys.argv[3]) or None, flush_seconds=0.5)
print(time.time(), flush=True)
"""


def _writing(where, split, name):
    """A recorder writing ``live.mcap`` in ``where`` in a process of its own, once its first file ``name`` is there."""
    writer = subprocess.Popen([sys.executable, "-c", WRITER, Path(__file__).parent, where / "live.mcap", str(split)],
                              stdout=subprocess.PIPE, text=True)
    while not (where / name).exists():
        assert writer.poll() is None
        time.sleep(0.05)
    return writer


@pytest.mark.parametrize("split, name", [(0, "live.mcap"), (1.0, "live-0001.mcap")])
def test_events_follow_prints_events_as_the_recorder_writes_and_stops_when_it_closes(tmp_path, split, name):
    writer = _writing(tmp_path, split, name)
    follower = subprocess.Popen([MIRVANE, "events", "--follow", name, "--format", "json"], cwd=tmp_path,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(60, follower.kill)    # cancelled once done, so that nothing runs on behind the test
    watchdog.start()
    try:
        lines = [(time.time(), line) for line in follower.stdout]
        follower.wait()
    finally:
        watchdog.cancel()
    closed = float(writer.communicate()[0])
    assert follower.returncode == 0, follower.stderr.read()
    assert lines[0][0] < closed - 1.0 and lines[-1][0] < closed + 5.0
    assert "".join(line for _, line in lines) == mirvane("events", name, "--format", "json", cwd=tmp_path).stdout


@pytest.mark.parametrize("command, args, said", [
    ("events", ["run.rec"], "run.rec: --follow reads an MCAP file a recorder is writing; give its .mcap file"),
    ("events", ["run.mcap", "--index", "0"], "--follow lists every record as it is written; leave out --index"),
    ("replay", ["run.rec", "--serve", "0"], "run.rec: --follow watches an MCAP file a recorder is writing; give its "
                                            ".mcap file"),
    ("replay", ["run.mcap"], "--follow watches a recording in the browser; add --serve"),
    ("replay", ["run.mcap", "run.mcap", "--serve", "0"], "--follow watches one recording as it is written; drop "
                                                         "RECORDING_B")])
def test_follow_refuses_what_it_cannot_follow_in_one_line(recorded, command, args, said):
    done = mirvane(command, "--follow", *args, cwd=recorded)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"mirvane: error: {said}\n")


@pytest.mark.parametrize("split, name", [(0, "live.mcap"), (1.0, "live-0001.mcap")])
def test_the_player_follows_a_recording_as_its_recorder_writes_it_and_says_when_it_closes(tmp_path, browser, split,
                                                                                           name):
    from selenium.webdriver.common.by import By

    writer = _writing(tmp_path, split, name)
    with serving(tmp_path, "--serve", "0", "--follow", recording=name) as (_, urls):
        browser.get(urls[0])
        seen = []   # (when, the page's status) until the page says the recorder has closed the file, all searched
        while not seen or (seen[-1][1]["recorder"], seen[-1][1]["growing"], seen[-1][1]["searched"]) != \
                ("closed", False, None):
            seen.append((time.time(), request(urls[0], "status.json")[1]))
            assert seen[-1][0] - seen[0][0] < 60, seen[-1][1]
            if len(seen) == 5:      # a pause leaves the newest product; "live" goes back to it
                left = request(urls[0], "control", {"action": "pause"})[1]
                back = request(urls[0], "control", {"action": "live", "on": True})[1]
                assert (left["live"], left["paused"], back["live"], back["paused"]) == (False, True, True, False)
                assert back["time"] == back["end"] >= left["end"]
            time.sleep(0.05)
        closed = float(writer.communicate()[0])
        listed = request(urls[0], "events.json")[1]["events"]
        page = lambda element: browser.find_element(By.ID, element)    # noqa: E731
        while "the recorder has closed the file" not in page("state").text or len(page("event-list").find_elements(
                By.TAG_NAME, "li")) < len(listed):
            assert time.time() < closed + 30, page("state").text
            time.sleep(0.1)
        assert page("live").is_displayed() and float(page("span").text) == pytest.approx(seen[-1][1]["end"], abs=0.01)
    while_written = [status for when, status in seen if when < closed and status["recorder"] == "writing"]
    assert len({status["end"] for status in while_written}) >= 3
    assert all(status["live"] or status["paused"] for status in while_written)
    assert any(status["events"] for status in while_written)
    assert seen[-1][0] < closed + 1.5 and seen[-1][1]["end"] > while_written[-1]["end"]
    expected = [json.loads(line) for line in mirvane("events", name, "--format", "json", cwd=tmp_path).stdout.splitlines()]
    assert [(event["number"], event["kind"], event["time"]) for event in listed] == \
        [(event["number"], event["kind"], event["time"]) for event in expected] and expected


@pytest.mark.parametrize("split, name", [(0, "live.mcap"), (1.0, "live-0001.mcap")])
def test_a_followed_recording_is_spooled_as_each_flush_lands_until_its_recorder_closes_it(tmp_path, split, name):
    from mirvane.formats.spooled import growing_record
    from mirvane.formats.split import run_stream

    writer = _writing(tmp_path, split, name)
    _, grown = growing_record(tmp_path / name, 5, follow=True)
    try:
        seen = [(time.time(), 0, len(grown.products))]     # when, bytes written, products spooled
        while not grown.ended and seen[-1][0] < seen[0][0] + 60:
            count = grown.wait(seen[-1][2], 0.05)
            seen.append((time.time(), sum(f.stat().st_size for f in tmp_path.glob("live*.mcap")), count))
        closed = float(writer.communicate()[0])
        assert grown.ended and grown.closed_by_recorder and grown.failed is None and seen[-1][0] < closed + 5.0
        # Each flush seen while the recorder writes: its products are in within 1.5 s.
        flushes = [(when, before) for (when, size, _), (_, written, before) in zip(seen[1:], seen)
                   if size > written and when < closed - 0.2]
        assert len(flushes) > 3 and all(any(count > before for then, _, count in seen if then <= when + 1.5)
                                        for when, before in flushes)
        expected = list(run_stream(tmp_path / name).record(0)[2])
        assert grown.stamps.tolist() == [p.timestamp_ns for p in expected] and grown.gaps == []
        assert list(grown.products) == expected
    finally:
        grown.close()


@pytest.mark.parametrize("name", ["run.rec", "run.mcap"])
def test_damaged_bytes_end_a_grown_record_with_what_was_read(recorded, tmp_path, name):
    from mirvane.formats.spooled import growing_record, spooled_record
    from mirvane.records import DataFileError

    damaged = tmp_path / name
    data = bytearray((recorded / name).read_bytes())
    data[len(data) * 6 // 10:len(data) * 6 // 10 + 64] = b"\xff" * 64
    damaged.write_bytes(bytes(data))
    _, grown = growing_record(damaged, 0)
    try:
        count = grown.wait(10 ** 9, 60)
        assert grown.ended and isinstance(grown.failed, DataFileError) and 1 <= count == len(grown.stamps)
    finally:
        grown.close()
    with pytest.raises(DataFileError):
        spooled_record(damaged, 0)


def test_the_player_plays_split_files_as_one_run_and_shows_the_gap(split_run):
    shown = {}
    for name in ("whole.mcap", "run-0001.mcap"):
        with serving(split_run, "--serve", "0", "--paused", recording=name) as (_, urls):
            while (status := request(urls[0], "status.json")[1])["growing"] or status["searched"] is not None:
                time.sleep(0.05)
            shown[name] = status
    whole, split = shown["whole.mcap"], shown["run-0001.mcap"]
    assert (split["products"], split["end"], whole["gaps"]) == (whole["products"], whole["end"], [])
    [(before, after)] = split["gaps"]
    assert after - before == pytest.approx(5.002, abs=1e-3) and 0 < before < after < split["end"]
