"""The ``mirvane`` command, run as a user runs it: a process, its exit status, its output, its files."""

import math
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

from helpers import MIRVANE, listing, mirvane, read_until
from mirvane.data import Data


@pytest.fixture(scope="module")
def two(recorded, tmp_path_factory):
    """A recording of two records: a 1 s run, then the 4 s one of ``recorded`` (which stopped later).
    A recording file is its records one after another, so two files joined are one."""
    where = tmp_path_factory.mktemp("two")
    assert mirvane("record", "short.rec", "--seconds", 1, cwd=where).returncode == 0
    joined = where / "two.rec"
    joined.write_bytes((where / "short.rec").read_bytes() + (recorded / "run.rec").read_bytes())
    assert mirvane("export", joined, "two.mcap", cwd=where).returncode == 0
    return joined


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A recording large enough that exporting it takes a few seconds."""
    where = tmp_path_factory.mktemp("big")
    assert mirvane("record", "big.rec", "--seconds", 1200, cwd=where).returncode == 0
    return where / "big.rec"


def one_record_line(span):
    kinds = r"perception 120, decision \d+, planner \d+, controller 800, none 0"
    return (rf"0: stop 2023-11-14 22:13:24\.000 UTC, span {span} s, products: {kinds}; "
            r"0 warnings, 0 errors \(latest\)\n")


@pytest.mark.parametrize("args, output", [
    (["info", "{run}/run.rec"], one_record_line(r"3\.99\d")),
    (["show", "{run}/run.mvproj"], r"Workspace\n  Robots\n    arm_a: .*cam_pan: .*box_6: .*pick_place_b \(arm_b\): .*"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "20", "--index", "0"], r""),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "20", "--quiet"], r""),
    (["record", "again.rec", "--project", "sub/again.mvproj", "--seconds", "0.5"],
     r"Recorded 0\.5 s of the sample cell \(\d+ products\) to again\.rec, its project to sub/again\.mvproj\n"),
])
def test_subcommands_on_recorded_files(recorded, tmp_path, args, output):
    (tmp_path / "sub").mkdir()
    before = listing(recorded)
    done = mirvane(*(a.format(run=recorded) for a in args), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(output, done.stdout, re.S)
    assert listing(recorded) == before
    made = listing(tmp_path)[tmp_path]
    assert made == (["again.rec", "sub", "sub/again.mvproj"] if args[0] == "record" else ["sub"])
    if args[0] == "record":
        assert mirvane("info", "again.rec", cwd=tmp_path).stdout.startswith("0: stop")
        assert mirvane("show", "sub/again.mvproj", cwd=tmp_path).returncode == 0


@pytest.mark.parametrize("index, quiet, chosen", [([], [], [0, 1]), (["--index", "-1"], [], [1]),
                                                  (["--index", "0"], ["--quiet"], [0])])
def test_export_then_import_gives_the_recorded_records(two, tmp_path, index, quiet, chosen):
    records = Data.fromFile(two).records()
    expected = [records[i] for i in chosen]
    products = sum(len(r.products) for r in expected)
    counted = rf"{len(expected)} records? \({products} products\)"
    exported = mirvane("export", two, "run.mcap", *index, *quiet, cwd=tmp_path)
    assert exported.returncode == 0, exported.stderr
    said = "" if quiet else rf"Exported {counted} of {re.escape(str(two))} to run\.mcap\n"
    assert re.fullmatch(said, exported.stdout)
    imported = mirvane("import", "run.mcap", "back.rec", *quiet, cwd=tmp_path)
    assert imported.returncode == 0, imported.stderr
    assert re.fullmatch("" if quiet else rf"Imported {counted} of run\.mcap to back\.rec\n", imported.stdout)
    assert list(Data.fromFile(tmp_path / "back.rec").records()) == expected
    assert (exported.stderr + imported.stderr == "") == bool(quiet)   # progress bars unless quiet
    assert sorted(os.listdir(tmp_path)) == ["back.rec", "run.mcap"]


@pytest.mark.parametrize("command", ["record", "info", "events", "diff", "show", "replay", "export", "import",
                                     "recover"])
def test_help_of_every_subcommand_has_an_example(tmp_path, command):
    done = mirvane(command, "--help", cwd=tmp_path)
    assert done.returncode == 0 and f"example:\n  mirvane {command} " in done.stdout
    module = subprocess.run([sys.executable, "-m", "mirvane", command, "--help"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert module.stdout == done.stdout


def listening_socket():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    return s


@pytest.mark.parametrize("args, message", [
    (["info", "missing.rec"], "missing.rec: no such file"),
    (["info", "folder"], "folder: not a file"),
    (["info", "damaged.rec"], "damaged.rec: truncated"),
    (["info", "{run}/run.mvproj"], "not a recording file"),
    (["show", "missing.mvproj"], "missing.mvproj: no such file"),
    (["show", "damaged.mvproj"], "damaged.mvproj: not a project file"),
    (["show", "{run}/run.rec"], "a project file must end in .mvproj"),
    (["replay", "{run}/run.rec", "--project", "damaged.mvproj"], "not a project file"),
    (["replay", "damaged.rec", "--project", "{run}/run.mvproj"], "damaged.rec: truncated"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--index", "1"], "index 1 is out of range"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--index", "-2"], "index -2 is out of range"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "0"], "--speed: must be a positive"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "nan"], "--speed: must be a positive"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--fps", "0"],
     "--fps: must be from 1 to 240"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.avi"], "must end in .mp4"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "nowhere/m.mp4"], "does not exist"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "damaged.rec/m.mp4"], "is not a directory"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "folder.mp4"], "is a directory"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--serve", "{port}"], "cannot serve on"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--start", "99"], "the record spans"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--start", "-1"], "--start: must be a number"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "500"], "outside 0.01 to 100"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--size", "10x10"], "--size: must be WIDTHxHEIGHT"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--loop"],
     "steer a live replay"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--from", "1"], "add --movie OUT.mp4"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--event", "99"],
     "--event 99: record 0 of"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--from", ".31", "--to", ".39"],
     "holds no frame of the movie"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--from", "9"],
     "record 0 spans 3.99"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj"], "add --movie OUT.mp4"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.avi"],
     "must end in .mp4"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--project-b", "x.mvproj"], "add RECORDING_B"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--event", "1"],
     "shows them whole"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--offset", "1"],
     "starts both together"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--align-event", "grasp"], "add RECORDING_B"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--serve", "0", "--foxglove"],
     "--foxglove shows one recording"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--serve", "0", "--align-event",
      "release"], "cannot align by the first release of each: run A has no release event"),
    (["replay", "{run}/run.rec", "{run}/run.rec", "--project", "{run}/run.mvproj", "--serve", "0", "--offset", "-2",
      "--start", "9"], "the runs span, side by side, 5.99 s"),
    (["diff", "{run}/run.rec", "missing.rec"], "missing.rec: no such file"),
    (["diff", "{run}/run.rec", "{run}/run.rec", "--index-b", "1"], "index 1 is out of range"),
    (["diff", "{run}/run.rec", "{run}/run.rec", "--offset", "1", "--align-event", "grasp"], "each place B"),
    (["diff", "{run}/run.rec", "{run}/run.rec", "--align-event", "fire:box_1"], "unknown kind 'fire'"),
    (["diff", "{run}/run.rec", "{run}/run.rec", "--tolerance", "-1"], "--tolerance: must be zero or more"),
    (["record", "out.txt"], "the name of the recording must end in .rec"),
    (["record", "out.rec", "--project", "nowhere/out.mvproj"], "does not exist"),
    (["record", "out.rec", "--seconds", "0"], "--seconds: must be a positive"),
    (["record", "out.rec", "--faults", "slip,fire"], "unknown fault 'fire'; give 'all' or some of slip,"),
    (["record", "out.rec", "--fault-rate", "2"], "give --faults too"),
    (["events", "{run}/run.rec", "--kind", "fire"], "unknown kind 'fire'"),
    (["events", "{run}/run.rec", "--index", "1"], "index 1 is out of range"),
    (["export", "{run}/run.rec", "out.mcap", "--index", "1"], "index 1 is out of range"),
    (["export", "half.rec", "out.mcap"], "half.rec: truncated"),
    (["export", "{run}/run.mvproj", "out.mcap"], "not a recording file"),
    (["export", "{run}/run.rec", "nowhere/out.mcap"], "does not exist"),
    (["export", "{run}/run.rec", "out.rec"], "the name of the MCAP file must end in .mcap"),
    (["export", "{run}/run.rec", "out.rec"], "or that of a Rerun recording in .rrd"),
    (["export", "{run}/run.rec", "out.rrd", "--index", "1"], "index 1 is out of range"),
    (["export", "{run}/run.rec", "out.mcap", "--from", "5"], "no record of"),
    (["export", "{run}/run.rec", "out.rrd", "--from", "2", "--to", "1"], "--to 1 is before --from 2"),
    (["export", "half.rec", "out.rrd"], "half.rec: truncated"),
    (["import", "{run}/run.rec", "out.rec"], "run.rec: not an MCAP file"),
    (["import", "half.mcap", "out.rec"], "half.mcap: unfinished MCAP file (truncated at byte"),
    (["import", "missing.mcap", "out.rec"], "missing.mcap: no such file"),
    (["import", "{mcap}", "nowhere/out.rec"], "does not exist"),
])
def test_bad_input_is_one_line_status_2_and_leaves_nothing(recorded, two, tmp_path, args, message):
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder.mp4").mkdir()
    (tmp_path / "damaged.rec").write_bytes(b"\x0a\xff\xff\xff")
    (tmp_path / "damaged.mvproj").write_text('{"workspace": {"robots": 5}}')
    for name, whole in ("half.rec", recorded / "run.rec"), ("half.mcap", two.with_suffix(".mcap")):
        (tmp_path / name).write_bytes(whole.read_bytes()[:whole.stat().st_size // 2])
    before = listing(recorded, tmp_path)
    with listening_socket() as busy:
        done = mirvane(*(a.format(run=recorded, mcap=two.with_suffix(".mcap"), port=busy.getsockname()[1])
                         for a in args), cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert re.fullmatch(r"mirvane: error: [^\n]+\n", done.stderr) and message in done.stderr, done.stderr
    assert listing(recorded, tmp_path) == before


def test_export_without_the_mcap_extra_says_how_to_get_it(recorded, tmp_path):
    # A package that shadows the installed one as a missing one would fail.
    (tmp_path / "mcap").mkdir()
    (tmp_path / "mcap/__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'mcap'\")\n")
    done = mirvane("export", recorded / "run.rec", "out.mcap", cwd=tmp_path,
                   env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert done.returncode == 2
    assert done.stderr == "mirvane: error: MCAP files need the mcap extra; run pip install 'mirvane[mcap]'\n"
    assert sorted(os.listdir(tmp_path)) == ["mcap"]


@pytest.mark.parametrize("fps, speed", [(10, 1.0), (25, 2.0)])
def test_movie_holds_a_frame_per_cycle_and_leaves_no_frames(recorded, tmp_path, fps, speed):
    count_frames = pytest.importorskip("imageio_ffmpeg").count_frames_and_secs
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    (tmp_path / "out").mkdir()
    done = mirvane("replay", recorded / "run.rec", "--project", recorded / "run.mvproj", "--movie", "out/run.mp4",
                   "--fps", fps, "--speed", speed, cwd=tmp_path, env=dict(os.environ, TMPDIR=str(scratch)))
    assert done.returncode == 0, done.stderr
    cycles = int(re.fullmatch(r"Wrote out/run\.mp4: (\d+) frames at \d+ fps \(.*\)\n", done.stdout).group(1))
    # One cycle per clock step speed / fps from 0 up to the first past the span (just under 4 s).
    assert cycles == math.floor(3.99 * fps / speed) + 2
    assert count_frames(str(tmp_path / "out/run.mp4"))[0] == cycles
    assert "out/run.mp4" in done.stderr and ".tmp" not in done.stderr   # moviepy names the movie
    assert listing(tmp_path) == {tmp_path: ["out", "out/run.mp4", "scratch"]}


REPLAY = ["replay", "{run}/run.rec", "--project", "{run}/run.mvproj"]


@pytest.mark.parametrize("args, wait_for, sent", [
    (REPLAY + ["--movie", "m.mp4", "--fps", "50", "--speed", "0.2"], "capturing frames", signal.SIGINT),
    (REPLAY + ["--serve", "0", "--speed", "0.2"], "Live view at", signal.SIGINT),
    (REPLAY + ["--serve", "0", "--speed", "20", "--hold"], "still serving", signal.SIGINT),
    (["export", "{big}", "big.mcap"], "exporting", signal.SIGINT),
    (REPLAY + ["--movie", "m.mp4", "--fps", "50", "--speed", "0.2"], "capturing frames", signal.SIGTERM),
])
def test_interrupted_command_leaves_nothing(recorded, big, tmp_path, args, wait_for, sent):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    before = listing(recorded, big.parent, tmp_path)
    process = subprocess.Popen([MIRVANE, *(a.format(run=recorded, big=big) for a in args)],
                               cwd=tmp_path, env=dict(os.environ, TMPDIR=str(scratch)),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        seen = read_until(process, wait_for)
        time.sleep(0.5)
        process.send_signal(sent)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 128 + sent
    word = "interrupted" if sent == signal.SIGINT else "terminated"
    assert err.decode().endswith(f"mirvane: {word}\n") and b"Traceback" not in err
    assert listing(recorded, big.parent, tmp_path) == before
    url = re.search(r"http://[\d.]+:(\d+)/", seen)
    if url:  # the port is free again
        with socket.socket() as s:
            s.bind(("127.0.0.1", int(url.group(1))))
