"""One failing call at a time, at every place where Project and Replay call out.

Each site makes exactly one call raise (a unique exception instance where the call
can be replaced) and checks that the caller gets that very exception with one
traceback entry per native method crossed, that the object is left as the steps
completed so far left it, and that no file the call did not write was touched.
"""

import os
import re
import traceback
from types import SimpleNamespace

import pytest

import mirvane.project
import mirvane.replay
from dravik.api import project_pb2, system_pb2
from mirvane.behavior import Behavior
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.workspace import Workspace
from replay_fakes import SECOND, FakeClip, Rig, record

OLD_NS = 1_000_000_000_000_000_000  # a past mtime: any rewrite would move it


class Injected(Exception):
    pass


class Fault:
    """Stands in for one callable: passes calls through, except the nth, which raises."""

    def __init__(self, real, nth=1, error=None):
        self.real, self.nth, self.calls = real, nth, 0
        self.error = error or Injected("injected at call %d" % nth)

    def __call__(self, *args, **kwargs):
        self.calls += 1
        if self.calls == self.nth:
            raise self.error
        return self.real(*args, **kwargs)


class Proxy:
    """Forwards attribute reads to ``target`` except for the overridden names."""

    def __init__(self, target, **overrides):
        self.__dict__.update(overrides, _target=target)

    def __getattr__(self, name):
        return getattr(self._target, name)


def inject(mp, owner, dotted, nth=1, error=None):
    """Replaces ``owner.a.b.c`` by a Fault; the objects on the way become proxies."""
    first, *rest = dotted.split(".")

    def wrap(obj, names, fault):
        if not names:
            return fault
        return Proxy(obj, **{names[0]: wrap(getattr(obj, names[0]), names[1:], fault)})

    leaf = owner
    for name in [first] + rest:
        leaf = getattr(leaf, name)
    fault = Fault(leaf, nth, error)
    mp.setattr(owner, first, wrap(getattr(owner, first), rest, fault))
    return fault


def at(owner, dotted, nth=1):
    """An injection into ``owner`` (or into what ``owner(context)`` gives) for a site table."""
    return lambda ctx, mp: inject(mp, owner(ctx) if callable(owner) else owner, dotted, nth)


def tree(root):
    """Every path below ``root``: a file's bytes and mtime, or "dir"; run-specific names generalised."""
    found = {}
    for here, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(here, name)
            key = re.sub(r"frames-\d+-\d+", "frames-*", os.path.relpath(path, root))
            key = re.sub(r"\.\d+-\d+\.tmp$", ".*.tmp", key)
            found[key] = "dir" if name in dirs else (open(path, "rb").read(), os.stat(path).st_mtime_ns)
    return found


def sentinel(path, content):
    path.write_bytes(content)
    os.utime(path, ns=(OLD_NS, OLD_NS))


def check_raised(excinfo, expected, entries):
    if isinstance(expected, Fault):
        assert excinfo.value is expected.error and expected.calls == expected.nth
        assert excinfo.value.__context__ is None  # no clean-up step chained onto it
        assert traceback.extract_tb(excinfo.tb)[-1].name == "__call__"  # raised where injected
    else:  # a library's own error: the call cannot be replaced
        assert type(excinfo.value) is expected
    names = [e.name for e in traceback.extract_tb(excinfo.tb) if e.name.startswith("mirvane.")]
    assert names == entries


# --- Project ------------------------------------------------------------------------------------

PM, R, P = mirvane.project, mirvane.replay, "mirvane.project.Project."
INIT, ADD, STR = [P + "__init__"], [P + "addBehavior"], [P + "__str__"]
SAVE, LOAD = [P + "save"], [P + "load"]
SAVE_SNAP, LOAD_SNAP = SAVE + [P + "_getSnapshot"], LOAD + [P + "_setSnapshot"]


class Unformattable:
    def __format__(self, spec):
        return self.fault(spec)


def unformattable(c, mp):
    c.project.setWorkspace(Unformattable())
    c.project._workspace.fault = Fault(None)
    return c.project._workspace.fault


def open_fails(c, mp):
    # The temporary name lands in a directory that does not exist.
    mp.setattr(PM, "os", Proxy(os, path=Proxy(os.path, join=lambda d, n: os.path.join(d, "gone", n))))
    return FileNotFoundError


def remove_fails_too(c, mp):
    inject(mp, PM, "os.remove")
    return inject(mp, PM, "os.fsync")


def load_from(name, make, error):
    """Loads ``proj/<name>`` made by ``make(path)``; the library's ``error`` is expected."""
    def install(c, mp):
        c.file = "proj/" + name
        make(c.tmp / c.file)
        return error
    return install


def open_for_reading_fails(c, mp):
    # os.stat says it is a regular file; open then meets the directory.
    mp.setattr(PM, "os", Proxy(os, stat=lambda path: os.stat(c.tmp / "proj" / "keep.txt")))
    return load_from("dir.mvproj", os.mkdir, IsADirectoryError)(c, mp)


def foreign(result):
    return lambda c, mp: mp.setattr(*result(c)) or TypeError


def psite(id, op, install, entries, left="same", marks=()):
    return pytest.param(op, install, entries, left, id=id, marks=marks)




def WS(c):
    return c.project.workspace()


def fails_after(owner, name):
    """The first call runs, then raises: what it changed stays changed. Later calls only run."""
    def install(c, mp):
        target, fault = owner(c), Fault(None)
        real = getattr(target, name)

        def changing_then_failing(*args):
            real(*args)
            if not fault.calls:
                fault()
        mp.setattr(target, name, changing_then_failing)
        return fault
    return install


# left: the attribute names a failed constructor leaves; "same" for an unchanged project.
PROJECT_SITES = [
    psite("System()", "init", at(PM, "System"), INIT, ()),
    psite("Workspace()", "init", at(PM, "Workspace"), INIT, ("_system",)),
    psite("behavior.name()", "add", at(lambda c: c.newcomer, "name"), ADD),
    psite("behavior._str(1)", "str", at(lambda c: c.project._behaviors["b"], "_str"), STR),
    psite("format(workspace)", "str", unformattable, STR),
    psite("ProjectSnapshot(version=)", "save", at(PM, "project_pb2.ProjectSnapshot"), SAVE_SNAP),
    psite("workspace._getSnapshot", "save", at(WS, "_getSnapshot"), SAVE_SNAP),
    psite("workspace CopyFrom", "save", foreign(lambda c: (WS(c), "_getSnapshot", project_pb2.BehaviorModel)),
          SAVE_SNAP),
    psite("Behavior._ToModel", "save", at(PM, "Behavior._ToModel", 2), SAVE_SNAP),
    psite("behavior CopyFrom", "save", foreign(lambda c: (PM, "Behavior", Proxy(
        Behavior, _ToModel=lambda b: project_pb2.WorkspaceModel()))), SAVE_SNAP),
    psite("MessageToJson", "save", at(PM, "MessageToJson"), SAVE),
    psite("os.path.split", "save", at(PM, "os.path.split"), SAVE),
    psite("os.makedirs", "save", at(PM, "os.makedirs"), SAVE),
    psite("os.stat (is it a regular file)", "save", at(PM, "os.stat"), SAVE),
    psite("os.open (may it be written)", "save", at(PM, "os.open"), SAVE),
    psite("os.close", "save", at(PM, "os.close"), SAVE),
    psite("os.path.join", "save", at(PM, "os.path.join"), SAVE),
    psite("open(tmp, 'x')", "save", open_fails, SAVE),
    psite("f.write", "save", lambda c, mp: mp.setattr(PM, "MessageToJson", lambda s, **options: "\ud800")
          or UnicodeEncodeError, SAVE),
    psite("os.fsync", "save", at(PM, "os.fsync"), SAVE),
    psite("os.path.exists(file)", "save", at(PM, "os.path.exists"), SAVE),
    psite("os.stat (its mode)", "save", at(PM, "os.stat", 2), SAVE),
    psite("os.chmod", "save", at(PM, "os.chmod"), SAVE),
    psite("os.replace", "save", at(PM, "os.replace"), SAVE),
    psite("os.remove", "save", remove_fails_too, SAVE),
    # An EEXIST after the temporary file was made is no taken name: that file is ours.
    psite("os.fsync EEXIST", "save", lambda c, mp: inject(mp, PM, "os.fsync", error=FileExistsError(17, "injected")),
          SAVE),
    psite("os.path.exists(load)", "load", at(PM, "os.path.exists"), LOAD),
    psite("os.stat (load)", "load", at(PM, "os.stat"), LOAD),
    psite("not a regular file (load)", "load", load_from("dir.mvproj", os.mkdir, IsADirectoryError), LOAD),
    psite("open(file, 'r')", "load", open_for_reading_fails, LOAD),
    psite("f.read", "load", load_from("bad.mvproj", lambda p: sentinel(p, b"\xff{}"), UnicodeDecodeError), LOAD),
    psite("ProjectSnapshot()", "load", at(PM, "project_pb2.ProjectSnapshot"), LOAD),
    psite("Parse", "load", at(PM, "Parse"), LOAD),
    # load changes the project completely or not at all: each failure after the parse leaves it as it was.
    psite("project.workspace() (load)", "load", at(lambda c: c.project, "workspace"), LOAD),
    psite("workspace._getSnapshot (load)", "load", at(WS, "_getSnapshot"), LOAD),
    psite("project.workspace() (_setSnapshot)", "load", at(lambda c: c.project, "workspace", 2), LOAD_SNAP),
    psite("workspace._setSnapshot", "load", at(WS, "_setSnapshot"), LOAD_SNAP),
    psite("workspace._setSnapshot after changing it", "load", fails_after(WS, "_setSnapshot"), LOAD_SNAP),
    psite("Behavior._FromModel", "load", at(PM, "Behavior._FromModel", 2), LOAD_SNAP),
]

OPERATIONS = {
    "init": lambda c: c.blank.__init__(),
    "add": lambda c: c.project.addBehavior(c.newcomer),
    "str": lambda c: str(c.project),
    "save": lambda c: c.project.save(c.file),
    "load": lambda c: c.project.load(c.file),
}


def held(p):
    ws = p._workspace
    return ({k: id(v) for k, v in vars(p).items()}, [(k, id(v)) for k, v in p._behaviors.items()],
            Workspace._getSnapshot(ws) if isinstance(ws, Workspace) else ws)


@pytest.mark.parametrize("op, install, entries, left", PROJECT_SITES)
def test_project_call_failing(monkeypatch, tmp_path, op, install, entries, left):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "proj").mkdir()
    other = Project()
    other.workspace().addItem("cup", 0.3, 0.1)
    for b in (Behavior("c", "arm", ["pick"]), Behavior("d")):
        other.addBehavior(b)
    other.save("proj/p.mvproj")  # the existing project file; loading it changes the project
    os.utime("proj/p.mvproj", ns=(OLD_NS, OLD_NS))
    sentinel(tmp_path / "proj" / "keep.txt", b"keep")
    c = SimpleNamespace(tmp=tmp_path, file="proj/p.mvproj", project=Project(), newcomer=Behavior("z"),
                        blank=Project.__new__(Project))
    c.project.workspace().addItem("box", 0.1, 0.2)
    for b in (Behavior("a", "arm", ["x"]), Behavior("b")):
        c.project.addBehavior(b)

    expected = install(c, monkeypatch)
    before, files = held(c.project), tree(tmp_path)
    with pytest.raises(Exception) as excinfo:
        OPERATIONS[op](c)
    check_raised(excinfo, expected, entries)

    if op == "init":
        assert list(vars(c.blank)) == list(left)
    else:
        assert held(c.project) == before
    # Nothing written, nothing left: the old project file keeps its bytes and mtime (a temporary
    # file stays only when removing it failed too).
    left_over = {".p.mvproj.*.tmp"} if install is remove_fails_too else set()
    after = tree(tmp_path)
    assert set(after) == set(files) | {"proj/" + n for n in left_over}
    assert all(after[k] == files[k] for k in files)


# --- Replay -------------------------------------------------------------------------------------

PLAY, INIT_R = ["mirvane.replay.Replay.play"], ["mirvane.replay.Replay.__init__"]
MOVIE = ["workspace"] + ["workspace", "system", "render", "screenshot"] * 4
LIVE = ["workspace"] + ["workspace", "system", "render"] * 2


def unreadable_data(rig, mp):
    fault = Fault(None)
    rig.replay.setData(type("Data", (), {"_data_records": property(lambda self: fault())})())
    return fault


def fake_product(name, make, expected=None):
    """Plays a record whose one product is a stand-in whose ``name`` is ``make()``."""
    def install(rig, mp):
        real, value = record([SECOND]), make()
        product = Proxy(real.products[0], **{name: value})
        fake = SimpleNamespace(stop_timestamp_ns=0, project=real.project, products=[product])
        rig.replay.setData(SimpleNamespace(_data_records=SimpleNamespace(records=[fake])))
        return expected or value
    return install


def snapshot_copy(rig, mp):
    copy = Fault(None)
    make = system_pb2.SystemState
    mp.setattr(R, "system_pb2",
               Proxy(system_pb2, SystemState=lambda **kw: make(**kw) if kw else Proxy(make(), CopyFrom=copy)))
    return copy


def writer(rig, mp):
    fault = Fault(None)
    mp.setattr(R, "ImageSequenceClip", lambda files, fps: Proxy(FakeClip(files, fps=fps),
                                                                               write_videofile=fault))
    return fault


def site(id, install, done=0, frames=False, extra=(), fresh=False, live=False, entries=PLAY):
    return pytest.param(install, done, frames, set(extra), fresh, live, entries, id=id)


# done: how many of the playback's events (placement, then per cycle workspace, system, render,
# screenshot) completed; frames: the call's frame directory stays, with the frames written so far
# (any step failing once it is made leaves it for the caller); extra: further paths it leaves.
REPLAY_SITES = [
    # For the constructor, done counts the attributes stored before the failing call.
    site("Project()", at(R, "Project"), entries=INIT_R),
    site("Project()->System()", at(PM, "System"), entries=INIT_R + [P + "__init__"]),
    site("Data()", at(R, "Data"), 1, entries=INIT_R),
    site("logging.error", lambda rig, mp: rig.replay.setViewer(None) or inject(mp, R, "logging.error")),
    site("os.path.realpath", at(R, "os.path.realpath")),
    site("os.path.isdir(movie)", at(R, "os.path.isdir")),
    site("os.path.dirname", at(R, "os.path.dirname")),
    site("os.path.isdir(movie directory)", at(R, "os.path.isdir", 2)),
    site("os.access", at(R, "os.access")),
    site("_data_records", unreadable_data),
    site("np.argmax", at(R, "np.argmax")),
    site("SystemState(workspace=)", at(R, "system_pb2.SystemState")),
    site("HasField", fake_product("HasField", lambda: Fault(None))),
    site("CopyFrom(product field)", fake_product("decision", project_pb2.BehaviorModel, TypeError)),
    site("SystemState()", at(R, "system_pb2.SystemState", 2)),
    site("snapshot CopyFrom", snapshot_copy),
    site("project.workspace() placement", at(lambda rig: rig.replay._project, "workspace")),
    site("workspace._setState placement", at(lambda rig: rig.ws, "_setState")),
    site("os.path.exists", at(R, "os.path.exists"), 1),
    site("os.mkdir(root)", at(R, "os.mkdir"), 1, fresh=True),
    site("os.path.join(frames dir)", at(R, "os.path.join"), 1),
    site("os.mkdir(frames dir)", at(R, "os.mkdir"), 1),
    site("np.array", at(R, "np.array"), 1, frames=True),
    site("time.time start", at(R, "time.time"), 1, live=True),
    site("time.time loop", at(R, "time.time", 3), 4, live=True),
    site("np.abs", at(R, "np.abs", 2), 5, frames=True),
    site("np.argmin", at(R, "np.argmin", 2), 5, frames=True),
    site("project.workspace() loop", at(lambda rig: rig.replay._project, "workspace", 3), 5, frames=True),
    site("workspace._setState loop", at(lambda rig: rig.ws, "_setState", 3), 5, frames=True),
    site("project.system()", at(lambda rig: rig.replay._project, "system", 2), 6, frames=True),
    site("system._setState", at(lambda rig: rig.sys, "_setState", 2), 6, frames=True),
    site("render", at(lambda rig: rig.viewer, "render", 2), 7, frames=True),
    site("os.path.join(frame)", at(R, "os.path.join", 3), 8, frames=True),
    site("screenshot", at(lambda rig: rig.viewer, "screenshot", 2), 8, frames=True),
    site("ImageSequenceClip", at(R, "ImageSequenceClip"), 17, frames=True),
    site("write_videofile", writer, 17, frames=True),
    site("shutil.rmtree", at(R, "shutil.rmtree"), 17, frames=True, extra=["m.mp4"]),
    site("os.rmdir", at(R, "os.rmdir"), 17, extra=["m.mp4", "tmp"], fresh=True),  # not an OSError
]


@pytest.mark.parametrize("install, done, frames, extra, fresh, live, entries", REPLAY_SITES)
def test_replay_call_failing(monkeypatch, tmp_path, install, done, frames, extra, fresh, live, entries):
    rig = Rig(monkeypatch, tmp_path, record([5 * SECOND, 5 * SECOND + 250_000_000]))
    sentinel(tmp_path / "keep.txt", b"keep")
    if not fresh:
        (tmp_path / "tmp").mkdir()
        sentinel(tmp_path / "tmp" / "keep.png", b"png of someone else")
    expected = install(rig, monkeypatch)
    files = tree(tmp_path)
    constructing = entries != PLAY
    target = Replay.__new__(Replay) if constructing else rig.replay
    held = dict(vars(target))
    with pytest.raises(Exception) as excinfo:
        target.__init__() if constructing else rig.play(moviename=None if live else "m.mp4")
    check_raised(excinfo, expected, entries)

    if constructing:  # the attributes stored before the failing call, and no more
        assert list(vars(target)) == ["_project", "_data", "_viewer"][:done]
        return
    assert vars(target) == held
    assert rig.events == (LIVE if live else MOVIE)[:done]  # what the last completed step left
    shots = rig.events[:done].count("screenshot")
    assert len(rig.viewer.shots) == shots
    if frames:
        extra |= {"tmp/frames-*"} | {"tmp/frames-*/tmp_%08.2f.png" % (0.1 * k) for k in range(shots)}
    after = tree(tmp_path)
    assert set(after) == set(files) | extra
    assert all(after[k] == files[k] for k in files)  # sentinels keep their bytes and mtime


# Calls that cannot be made to fail here: the file object comes from the built-in open taken
# at import, and its flush and fileno do not fail on a working local file system.
NOT_PROVOKED = {"save: f.flush": "built-in file object", "save: f.fileno": "built-in file object"}
