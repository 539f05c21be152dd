"""The command under bad luck and odd input: full disks, links, limits, newer files, repeated runs."""

import errno
import os
import re
import shutil
import subprocess
import textwrap

import pytest
from google.protobuf.internal.encoder import _VarintBytes

from dravik.api import data_pb2, system_pb2
from dravik.api.geometry_pb2 import Pose

from helpers import listing, mirvane, newer_recording
from mirvane.cli import COMMANDS

ONE_ERROR = r"mirvane: error: [^\n]+\n"


# -- a full file system ---------------------------------------------------------------------

# Where a tmpfs cannot be mounted (not root, or no mounts allowed), a shim in the child
# process makes every write under the directory fail as a full disk does; ffmpeg writes
# outside Python, so the movies' rows need the tmpfs.
SHIM = textwrap.dedent("""
    import builtins, errno, io, os
    FULL = os.environ["MIRVANE_TEST_FULL"]     # a folder (ending in a separator) or a name's start
    _open = io.open

    class _Full:
        def __init__(self, f):
            self._f = f
        def write(self, data):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        def __getattr__(self, name):
            return getattr(self._f, name)
        def __enter__(self):
            return self
        def __exit__(self, *exc):
            self._f.close()

    def open(file, mode="r", *args, **kwargs):
        f = _open(file, mode, *args, **kwargs)
        writing = isinstance(file, (str, bytes, os.PathLike)) and any(c in mode for c in "wax+")
        return _Full(f) if writing and os.path.realpath(file).startswith(FULL) else f

    builtins.open = io.open = open
""")


@pytest.fixture
def full(tmp_path):
    """A directory on a full file system holding old files, and the environment to run in."""
    where = tmp_path / "full"
    where.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp_path))
    mounted = os.geteuid() == 0 and shutil.which("mount") is not None and subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(where)], capture_output=True).returncode == 0
    for name in ("x.rec", "x.mvproj", "m.mp4", "e.mcap", "b.rec"):
        (where / name).write_bytes(b"old " + name.encode())
    if mounted:
        try:
            with open(where / ".filler", "wb") as f:
                while True:
                    f.write(b"\0" * 4096)
                    f.flush()
        except OSError as e:
            assert e.errno == errno.ENOSPC
    else:
        (tmp_path / "shim").mkdir()
        (tmp_path / "shim/sitecustomize.py").write_text(SHIM)
        env.update(PYTHONPATH=str(tmp_path / "shim"), MIRVANE_TEST_FULL=str(where) + os.sep)
    yield where, env, mounted
    if mounted:
        subprocess.run(["umount", str(where)], check=True)


@pytest.mark.parametrize("args, named", [
    (["record", "full/x.rec", "--seconds", 2], "full/x.rec"),
    (["record", "x.rec", "--project", "full/x.mvproj"], "full/x.mvproj"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "full/m.mp4", "--quiet"], "full/m.mp4"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "m.mp4", "--quiet"], "{full}"),
    (["export", "{run}/run.rec", "full/e.mcap", "--quiet"], "full/e.mcap"),
    (["import", "{run}/run.mcap", "full/b.rec", "--quiet"], "full/b.rec"),
])
def test_every_writing_subcommand_on_a_full_file_system(recorded, full, tmp_path, args, named):
    where, env, mounted = full
    if args[0] == "replay" and not mounted:
        pytest.skip("ffmpeg's writes need a real full file system (no tmpfs here)")
    if named == "{full}":
        # The movie's frames, in a temporary directory that fills up as they come
        # (Python takes another one when the first write fails).
        named = env["TMPDIR"] = str(where)
        os.truncate(where / ".filler", (where / ".filler").stat().st_size - 64 * 1024)
    before = listing(tmp_path, recorded, contents=True)
    done = mirvane(*(str(a).format(run=recorded) for a in args), cwd=tmp_path, env=env)
    assert done.returncode == 2, done.stderr
    assert re.fullmatch(ONE_ERROR, done.stderr), done.stderr
    assert f"error: {named}: cannot write " in done.stderr and "(no space left on device)" in done.stderr
    assert listing(tmp_path, recorded, contents=True) == before


def test_render_whose_manifest_finds_the_disk_full_stops_in_one_line_with_its_outputs_whole(recorded, tmp_path):
    (tmp_path / "runs").mkdir()
    shutil.copy(recorded / "run.rec", tmp_path / "runs")
    assert mirvane("index", "runs", cwd=tmp_path).returncode == 0
    (tmp_path / "shim").mkdir()
    (tmp_path / "shim/sitecustomize.py").write_text(SHIM)
    # The exports fit; the manifest, written beside them under a temporary name, does not.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "shim"), os.environ.get("PYTHONPATH", "")]),
               MIRVANE_TEST_FULL=str(tmp_path / "out" / "..mirvane"))
    done = mirvane("render", "--export", "mcap", "--out", "out", "--quiet", cwd=tmp_path, env=env)
    assert done.returncode == 2 and re.fullmatch(ONE_ERROR, done.stderr), done.stderr
    assert "out/.mirvane-render.json: cannot write it (no space left on device); the 1 output(s) made are whole" \
        in done.stderr
    assert os.listdir(tmp_path / "out") == ["run-0.mcap"]
    assert mirvane("info", tmp_path / "out" / "run-0.mcap", cwd=tmp_path).returncode == 0


# -- links, lengths and limits, checked before any work -------------------------------------

@pytest.mark.parametrize("link, args, message", [
    ("out.mp4", ["replay", "in.rec", "--project", "{run}/run.mvproj", "--movie", "out.mp4"],
     "out.mp4: names the input itself"),
    ("p.mvproj", ["record", "new.rec", "--project", "p.mvproj"], "p.mvproj: is a link to "),
    ("a.mcap", ["export", "in.rec", "a.mcap"], "a.mcap: names the input itself"),
    ("x.mcap", ["export", "{run}/run.rec", "x.mcap"], "x.mcap: is a link to "),
])
def test_a_destination_that_is_a_link_is_checked_where_it_leads(recorded, tmp_path, link, args, message):
    (tmp_path / "in.rec").write_bytes((recorded / "run.rec").read_bytes())
    (tmp_path / link).symlink_to("in.rec")
    before = listing(tmp_path, contents=True)
    done = mirvane(*(a.format(run=recorded) for a in args), cwd=tmp_path)
    assert done.returncode == 2 and re.fullmatch(ONE_ERROR, done.stderr), done.stderr
    assert message in done.stderr and "mirvane info" not in done.stderr
    assert listing(tmp_path, contents=True) == before


@pytest.mark.parametrize("args, message", [
    (["record", "q.rec", "--seed", "-1"], "--seed: must be from 0 to "),
    (["record", "q.rec", "--seconds", "0.0001"], "--seconds: must be from 0.01 to 28800"),
    (["record", "q.rec", "--seconds", "28801"], "--seconds: must be from 0.01 to 28800"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--speed", "1e-300"],
     "--speed: must be from 0.001 to 1000"),
    (["replay", "{run}/run.rec", "--project", "{run}/run.mvproj", "--movie", "x.mp4", "--fps", "100000"],
     "--fps: must be from 1 to 240"),
    (["record", "a" * 250 + ".rec"], "a.mvproj: the name is longer than this file system allows"),
    (["export", "empty.rec", "e.mcap"], "empty.rec: holds no records, so nothing to export"),
])
def test_values_outside_the_limits_are_refused_before_any_work(recorded, tmp_path, args, message):
    (tmp_path / "empty.rec").write_bytes(b"")
    before = listing(tmp_path, contents=True)
    done = mirvane(*(a.format(run=recorded) for a in args), cwd=tmp_path)
    assert done.returncode == 2 and re.fullmatch(ONE_ERROR, done.stderr), done.stderr
    assert message in done.stderr
    assert listing(tmp_path, contents=True) == before


def test_the_shortest_record_replays_and_an_empty_recording_is_valid(tmp_path):
    assert mirvane("record", "short.rec", "--seconds", 0.01, cwd=tmp_path).returncode == 0
    done = mirvane("replay", "short.rec", "--project", "short.mvproj", "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    (tmp_path / "empty.rec").write_bytes(b"")
    done = mirvane("info", "empty.rec", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "") and "holds no records" in done.stderr


# -- the same input, the same bytes ---------------------------------------------------------

@pytest.mark.parametrize("args, outputs", [
    (["record", "{n}.rec", "--seconds", "1", "--seed", "4"], ["{n}.rec", "{n}.mvproj"]),
    (["export", "{run}/run.rec", "{n}.mcap", "--quiet"], ["{n}.mcap"]),
    (["import", "{run}/run.mcap", "{n}.rec", "--quiet"], ["{n}.rec"]),
])
def test_one_input_gives_the_same_bytes_in_every_process(recorded, tmp_path, args, outputs):
    made = []
    for n, seed in ("a", "1"), ("b", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed)    # and a different address layout each time
        assert mirvane(*(a.format(run=recorded, n=n) for a in args), cwd=tmp_path, env=env).returncode == 0
        made.append([(tmp_path / o.format(n=n)).read_bytes() for o in outputs])
    assert made[0] == made[1]


# -- newer files ----------------------------------------------------------------------------

NOTE = "mirvane: note: {} was written by a newer version of mirvane; what this version does not know is kept as it is\n"


@pytest.mark.parametrize("args, noted", [
    (["info", "newer.rec"], ["newer.rec"]),
    (["replay", "newer.rec", "--project", "newer.mvproj", "--speed", "50", "--quiet"], ["newer.rec", "newer.mvproj"]),
    (["show", "newer.mvproj"], ["newer.mvproj"]),
    (["export", "newer.rec", "newer.mcap", "--quiet"], ["newer.rec"]),
])
def test_newer_files_are_read_with_one_note(recorded, tmp_path, args, noted):
    newer_recording(recorded / "run.rec", tmp_path / "newer.rec")
    text = (recorded / "run.mvproj").read_text()
    (tmp_path / "newer.mvproj").write_text(text.replace('"workspace": {', '"colour": "red", "workspace": {'
                                                        '"floor": {"size": 3}, ', 1))
    done = mirvane(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "".join(NOTE.format(name) for name in noted)
    if args[0] == "export":
        assert mirvane("import", "newer.mcap", "back.rec", "--quiet", cwd=tmp_path).returncode == 0
        assert (tmp_path / "back.rec").read_bytes() == (tmp_path / "newer.rec").read_bytes()


@pytest.mark.parametrize("content", [
    b"\x0a\x02\x12\x00",                  # a record's start time (an integer) given as bytes
    b"\x0a\x04\x22\x02\x0a\x00",          # a product's time stamp given as bytes
    b"\x0a\x02\x5b\x5c",                  # a group, which no writer of these files uses
], ids=["record", "product", "group"])
def test_damaged_data_stays_refused(tmp_path, content):
    (tmp_path / "bad.rec").write_bytes(content)
    done = mirvane("info", "bad.rec", cwd=tmp_path)
    assert done.returncode == 2 and "bad.rec: not a recording file" in done.stderr, done.stderr


# -- a project that lacks what the recording has --------------------------------------------

@pytest.mark.parametrize("project, lacking", [
    ("{}", "robots arm_a, arm_b; cameras cam_pan, cam_side, cam_top; items box_1"),
    ('{"workspace": null}', "robots arm_a, arm_b; cameras"),
    (None, "robots ghost that its behaviours name"),
])
@pytest.mark.parametrize("args", [
    ["replay", "{run}/run.rec", "--project", "p.mvproj", "--speed", "50", "--quiet"],
    ["show", "p.mvproj", "--recording", "{run}/run.rec"],
    ["info", "{run}/run.rec", "--project", "p.mvproj"],
])
def test_a_project_lacking_what_the_recording_has_is_one_warning(recorded, tmp_path, project, lacking, args):
    text = (recorded / "run.mvproj").read_text()
    ghost = text.replace('"robot": "arm_a"', '"robot": "ghost"', 1)
    (tmp_path / "p.mvproj").write_text(ghost if project is None else project)
    done = mirvane(*(a.format(run=recorded) for a in args), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(r"mirvane: warning: p\.mvproj lacks what \S+run\.rec has: [^\n]+\n", done.stderr)
    assert lacking in done.stderr


def test_names_only_products_carry_are_warned_of_by_info_as_by_show(tmp_path):
    products = [data_pb2.Product(timestamp_ns=1, controller=system_pb2.Controller(robot="arm_x", grasped_item="box_x")),
                data_pb2.Product(timestamp_ns=2, perception=system_pb2.Perception(camera_poses={"cam_x": Pose()})),
                data_pb2.Product(timestamp_ns=3, controller=system_pb2.Controller())]
    blob = data_pb2.Record(products=products).SerializeToString()
    (tmp_path / "run.rec").write_bytes(b"\x0a" + _VarintBytes(len(blob)) + blob)
    (tmp_path / "p.mvproj").write_text("{}")
    said = [mirvane(*args, cwd=tmp_path).stderr for args in (["info", "run.rec", "--project", "p.mvproj"],
                                                              ["show", "p.mvproj", "--recording", "run.rec"])]
    assert said[0] == said[1] and "robots arm_x; cameras cam_x; items box_x" in said[0]


# -- the sweep: every subcommand, awkward input ---------------------------------------------

REC, PROJ = "{run}/run.rec", "{run}/run.mvproj"
AWKWARD = {
    "record": [[""], ["-"], ["dir.rec"], ["fifo.rec"], ["x.rec", "--project", "x.rec"], ["x.rec", "--seconds", "inf"],
               ["x.rec", "--seed", "1.5"], ["x.rec", "--project", ""], ["x.rec", "--project", "dir.mvproj"],
               ["/dev/null/x.rec"], ["x.rec", "--faults", ","], ["x.rec", "--faults", "all", "--fault-rate", "inf"]],
    "info": [[""], ["new\nline.rec"], ["x" * 300 + ".rec"], ["dir.rec"], ["fifo.rec"], ["/dev/null"], [PROJ],
             [REC, "--project", REC]],
    "events": [[""], ["dir.rec"], ["fifo.rec"], [PROJ], [REC, "--index", "x"], [REC, "--severity", "fatal"],
               [REC, "--kind", "step,"], [REC, "--format", "xml"]],
    "diff": [[""], [REC, ""], ["dir.rec", REC], [REC, "fifo.rec"], [PROJ, REC], [REC, REC, "--index-a", "x"],
             [REC, REC, "--offset", "inf"], [REC, REC, "--offset", "1e300"], [REC, REC, "--tolerance", "nan"], [REC, REC, "--align-event", ":box_1"],
             [REC, REC, "--align", "end"]],
    "show": [[""], ["dir.mvproj"], ["text.mvproj"], ["array.mvproj"], [PROJ, "--recording", PROJ]],
    "replay": [[REC, "--project", ""], [REC, "--project", PROJ, "--index", "x"],
               [REC, "--project", PROJ, "--index", "99999999999999999999"],
               [REC, "--project", PROJ, "--movie", ""], [REC, "--project", PROJ, "--movie", "fifo.rec/m.mp4"],
               [REC, "--project", PROJ, "--serve", "99999"], [REC, "--project", PROJ, "--serve", "a:b:c"],
               [REC, "--project", PROJ, "--movie", "m.mp4", "--serve"], [REC, "--project", PROJ, "--fps", "5"],
               [REC, "fifo.rec", "--project", PROJ, "--movie", "m.mp4"],
               [REC, REC, "--project", PROJ, "--offset", "-1e300", "--movie", "m.mp4"],
               [REC, REC, "--project", PROJ, "--project-b", "dir.mvproj", "--movie", "m.mp4"]],
    "export": [[REC, ""], [REC, "dir.mcap"], [REC, "/proc/x.mcap"], ["fifo.rec", "x.mcap"],
               [REC, "x.mcap", "--index", "-9"], [PROJ, "x.mcap"]],
    "import": [["{run}/run.mcap", ""], [REC, "x.rec"], ["text.mvproj", "x.rec"], ["{run}/run.mcap", "/proc/x.rec"],
               ["dir.rec", "x.rec"]],
    "recover": [["", "x.mcap"], ["dir.mcap", "x.mcap"], ["fifo.rec", "x.mcap"], [REC, "x.mcap"],
                ["{run}/run.mcap", "dir.mcap"], ["{run}/run.mcap", "{run}/run.mcap"], ["{run}/run.mcap", "x.rec"]],
    "index": [[""], ["missing"], ["fifo.rec"], ["{run}", "--db", "dir.rec"], ["{run}", "--db", "runs.db"],
              ["{run}", "--db", "/proc/x.duckdb"], ["{run}", "--workers", "0"], ["{run}", "--workers", "2", "--ray", "x:1"]],
    "runs": [["--db", "missing.duckdb"], ["--db", "text.mvproj"], ["--db", "dir.mcap"], ["--format", "xml"],
             ["--sql", "SELECT 1", "--where", "true"], ["--serve", "99999"], ["--serve", "0", "--sql", "SELECT 1"]],
    "render": [[], ["--movies", "m", "--export", "mcap", "--out", "o"], ["--export", "mcap"], ["--out", "o"],
               ["--movies", "m", "--pad", "1"], ["--clips", "c", "--db", "missing.duckdb"],
               ["--clips", "c", "--db", "text.mvproj"], ["--export", "mp4", "--out", "o"]],
}


@pytest.mark.parametrize("command", [c.__name__.rsplit(".", 1)[1].rstrip("_") for c in COMMANDS])
def test_sweep_of_awkward_input_through_every_subcommand(recorded, tmp_path, command):
    assert AWKWARD.get(command), f"give {command} its rows of awkward input"
    (tmp_path / "dir.rec").mkdir()
    (tmp_path / "dir.mvproj").mkdir()
    (tmp_path / "dir.mcap").mkdir()
    os.mkfifo(tmp_path / "fifo.rec")
    (tmp_path / "text.mvproj").write_text("not json")
    (tmp_path / "array.mvproj").write_text("[]")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    for args in AWKWARD[command]:
        before = listing(tmp_path, recorded, contents=True)
        done = mirvane(command, *(a.format(run=recorded) for a in args), cwd=tmp_path, env=env)
        shown = f"{command} {args}: {done.stderr}"
        assert done.returncode == 2 and done.stdout == "", shown
        assert re.fullmatch(ONE_ERROR, done.stderr) and "Traceback" not in done.stderr, shown
        assert listing(tmp_path, recorded, contents=True) == before, shown
