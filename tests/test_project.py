"""mirvane.project: the Project class, its snapshot conversion and its project file."""

import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile
import types

import pytest
from google.protobuf import json_format

import mirvane.project as m
from dravik.api import project_pb2, system_pb2
from helpers import entries, listing, run
from mirvane._version import __version__
from mirvane.behavior import Behavior
from mirvane.constants import MV_PROJECT_FILE_EXT as EXT
from mirvane.project import Project
from mirvane.simulation.cell import build_cell
from mirvane.system import System
from mirvane.workspace import Workspace


class FakeWorkspace:
    def __format__(self, fmt):
        return f"<ws {fmt!r}>"


class FakeBehavior:
    def __init__(self, key):
        self.key = key

    def name(self):
        return self.key

    def _str(self, indent):
        return f"[{self.key}:{indent!r}]"


class Items:
    """Neither a dict nor None: walked through its own items() or values()."""

    def __init__(self, elements):
        self.elements = elements

    def items(self):
        return self.elements

    values = items


class Models:
    """Stands in for Behavior, whose conversions are looked up on the class."""

    @staticmethod
    def _ToModel(behavior):
        return project_pb2.BehaviorModel(name=behavior.key.upper())

    @staticmethod
    def _FromModel(model):
        return ("restored", model.name)


def cell_project():
    p = Project()
    p.setWorkspace(build_cell())
    p.addBehavior(Behavior("pick", "arm_a", ["approach", "grasp"]))
    p.addBehavior(Behavior("place", "arm_b"))
    return p


def state_of(p):
    return p.workspace()._getSnapshot(), dict(p.behaviors())


def test_new_project():
    p = Project()
    assert list(vars(p)) == ["_system", "_workspace", "_behaviors"]
    assert type(p.system()) is System and type(p.workspace()) is Workspace
    assert p.system() is p.system() and p.workspace() is p.workspace()
    assert p.behaviors() == {} and p.behaviors() is not Project().behaviors() and p.validate() is True
    w = FakeWorkspace()
    assert p.setWorkspace(w) is None and p.workspace() is w


@pytest.mark.parametrize("failing, left", [("System", []), ("Workspace", ["_system"])])
def test_constructor_failure_keeps_earlier_steps(failing, left, monkeypatch):
    monkeypatch.setattr(m, failing, dict.pop)  # raises TypeError when called without arguments
    p = Project.__new__(Project)
    with pytest.raises(TypeError) as excinfo:
        p.__init__()
    assert list(vars(p)) == left and entries(excinfo) == ["mirvane.project.Project.__init__"]


def test_add_behavior():
    p = Project()
    a, b, again = FakeBehavior("a"), FakeBehavior("b"), FakeBehavior("a")
    for behavior in (a, b, again):
        assert p.addBehavior(behavior) is None
    assert list(p.behaviors().items()) == [("a", again), ("b", b)]  # the first key keeps its place
    for key, exc in [(lambda: ["unhashable"], TypeError), (lambda: {}["missing"], KeyError)]:
        bad = FakeBehavior("c")
        bad.name = key
        with pytest.raises(exc) as excinfo:
            p.addBehavior(bad)
        assert list(p.behaviors()) == ["a", "b"] and entries(excinfo)[0] == "mirvane.project.Project.addBehavior"


def test_behaviors_is_the_projects_own_dict():
    p = cell_project()
    assert p.behaviors() is p._behaviors
    del p.behaviors()["pick"]
    assert "pick" not in str(p) and list(p._getSnapshot().behaviors) == ["place"]
    for value, type_name in [([], "list"), (type("Sub", (dict,), {})(), "Sub"), (Items([]), "Items")]:
        p._behaviors = value
        with pytest.raises(TypeError) as excinfo:
            p.behaviors()
        assert str(excinfo.value) == f"Expected dict, got {type_name}"
        assert entries(excinfo) == ["mirvane.project.Project.behaviors"]
    p._behaviors = None
    assert p.behaviors() is None


@pytest.mark.parametrize("workspace, behaviors, expected", [
    (None, {}, "Workspace\nNoneBehaviors\n"),
    (7, {}, "Workspace\n7Behaviors\n"),
    (FakeWorkspace(), {"a": FakeBehavior("a"), "b": FakeBehavior("b")}, "Workspace\n<ws ''>Behaviors\n[a:1][b:1]"),
    (None, Items([FakeBehavior("x"), FakeBehavior("y")]), "Workspace\nNoneBehaviors\n[x:1][y:1]"),
    (None, Items((FakeBehavior("x"),)), "Workspace\nNoneBehaviors\n[x:1]"),
    (None, Items(iter([FakeBehavior("x"), FakeBehavior("y")])), "Workspace\nNoneBehaviors\n[x:1][y:1]"),
    (None, types.SimpleNamespace(values=lambda: [FakeBehavior("z")]), "Workspace\nNoneBehaviors\n[z:1]"),
])
def test_summary_text(workspace, behaviors, expected):
    p = Project()
    p.setWorkspace(workspace)
    p._behaviors = behaviors
    assert str(p) == expected


def test_summary_errors():
    p = Project()
    grower = FakeBehavior("g")
    grower._str = lambda indent: p._behaviors.setdefault("new", grower) and "text"
    for behaviors, exc, message in [
            (None, AttributeError, "'NoneType' object has no attribute 'values'"),
            (object(), AttributeError, "'object' object has no attribute 'values'"),
            ({"g": grower}, RuntimeError, "dictionary changed size during iteration")]:
        p._behaviors = behaviors
        with pytest.raises(exc) as excinfo:
            str(p)
        assert str(excinfo.value) == message and entries(excinfo)[0] == "mirvane.project.Project.__str__"


def test_snapshot_round_trip():
    p = Project()
    first, second = p._getSnapshot(), p._getSnapshot()
    assert type(first) is project_pb2.ProjectSnapshot and first.version == __version__
    assert first.workspace == p.workspace()._getSnapshot() and len(first.behaviors) == 0
    assert first == second and first is not second
    state = system_pb2.SystemState()
    p.system()._setState(state)  # the system is in no snapshot
    assert p._getSnapshot() == first
    p._setSnapshot(first)
    assert p.system().state() is state

    p = cell_project()
    snapshot = p._getSnapshot()
    assert snapshot.workspace == p.workspace()._getSnapshot()
    assert dict(snapshot.behaviors) == {k: Behavior._ToModel(b) for k, b in p.behaviors().items()}
    q = Project()
    workspace, old = q.workspace(), q.behaviors()
    assert q._setSnapshot(snapshot) is None
    assert q.workspace() is workspace and q.behaviors() is not old and state_of(q) == state_of(p)
    assert all(q.behaviors()[k] is not b for k, b in p.behaviors().items())
    q._setSnapshot(project_pb2.ProjectSnapshot())
    assert q.behaviors() == {}


def test_conversions_use_the_behavior_global(monkeypatch):
    monkeypatch.setattr(m, "Behavior", Models)
    p = Project()
    p._behaviors = {"k1": FakeBehavior("a"), "k2": FakeBehavior("b")}
    snapshot = p._getSnapshot()
    assert {k: v.name for k, v in snapshot.behaviors.items()} == {"k1": "A", "k2": "B"}
    p._setSnapshot(snapshot)  # keys come from the map, not from name()
    assert p.behaviors() == {"k1": ("restored", "A"), "k2": ("restored", "B")}


class WrongModels(Models):
    _ToModel = staticmethod(lambda behavior: project_pb2.WorkspaceModel())


class GrowingModels(Models):
    _ToModel = staticmethod(lambda behavior: behavior.grow() or project_pb2.BehaviorModel())


def growing():
    behaviors = {}
    behaviors["a"] = types.SimpleNamespace(grow=lambda: behaviors.setdefault("z", 0))
    return behaviors


@pytest.mark.parametrize("behaviors, models, exc, message", [
    (lambda: None, Models, AttributeError, "'NoneType' object has no attribute 'items'"),
    (lambda: {1: FakeBehavior("a")}, Models, TypeError, None),  # the map takes str keys only
    (lambda: {"a": FakeBehavior("a")}, WrongModels, TypeError, None),
    (growing, GrowingModels, RuntimeError, "dictionary changed size during iteration"),
])
def test_get_snapshot_failures(behaviors, models, exc, message, monkeypatch):
    monkeypatch.setattr(m, "Behavior", models)
    p = Project()
    p._behaviors = behaviors()
    with pytest.raises(exc) as excinfo:
        p._getSnapshot()
    assert message is None or str(excinfo.value) == message
    assert entries(excinfo)[0] == "mirvane.project.Project._getSnapshot"


@pytest.mark.parametrize("element, exc, message", [
    (("k",), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (("k", 1, 2), ValueError, "too many values to unpack (expected 2)"),
    (["k"], ValueError, "need more than 1 value to unpack"),
    ("abc", ValueError, "too many values to unpack (expected 2)"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
@pytest.mark.parametrize("direction", ["_getSnapshot", "_setSnapshot"])
@pytest.mark.parametrize("wrap", [list, iter])
def test_unpacking_items(element, exc, message, direction, wrap, monkeypatch):
    monkeypatch.setattr(m, "Behavior", Models)
    p = Project()
    pairs = Items(wrap([("ok", FakeBehavior("ok")), element]))
    with pytest.raises(exc) as excinfo:
        if direction == "_getSnapshot":
            p._behaviors = pairs
            p._getSnapshot()
        else:
            p._setSnapshot(types.SimpleNamespace(workspace=Workspace()._getSnapshot(), behaviors=pairs))
    assert str(excinfo.value) == message and entries(excinfo)[0] == f"mirvane.project.Project.{direction}"


def test_set_snapshot_failures_keep_earlier_steps():
    p = cell_project()
    before, held = state_of(p), p.behaviors()
    with pytest.raises(TypeError):  # the workspace refuses: nothing else happens
        p._setSnapshot(types.SimpleNamespace(workspace=None, behaviors={}))
    assert state_of(p) == before and p.behaviors() is held
    workspace, good = Workspace()._getSnapshot(), Behavior._ToModel(Behavior("first"))
    with pytest.raises(TypeError) as excinfo:  # converted in key order
        p._setSnapshot(types.SimpleNamespace(workspace=workspace, behaviors={"z_bad": 3, "first": good}))
    assert entries(excinfo)[0] == "mirvane.project.Project._setSnapshot"
    assert state_of(p) == (workspace, {"first": Behavior("first")}) and p.behaviors() is not held


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("name", ["p" + EXT, "P" + EXT.upper(), "a/b/p" + EXT.title()])
def test_save_and_load(name, tmp_path):
    p, path = cell_project(), str(tmp_path / name)
    assert p.save(path) is None
    assert read(path).decode() == json_format.MessageToJson(p._getSnapshot(), sort_keys=True)
    q = Project()
    system = q.system()
    assert q.load(file=path) is None
    assert q.system() is system and state_of(q) == state_of(p)
    Project.save(Project(), file=path)  # overwrites; no behaviours, no member for them
    text = read(path).decode()
    assert text == json_format.MessageToJson(Project()._getSnapshot(), sort_keys=True) and "behaviors" not in text
    folder, name = os.path.split(path)
    assert listing(folder) == {folder: [name]}


def test_save_bare_name_and_load_other_version(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    snapshot = cell_project()._getSnapshot()
    snapshot.version = "0.0.0-elsewhere"
    monkeypatch.setattr(m, "MessageToJson", lambda s, **options: json_format.MessageToJson(snapshot))
    Project().save("bare" + EXT)
    assert listing(tmp_path) == {tmp_path: ["bare" + EXT]}
    q = Project()
    q.load("bare" + EXT)
    assert set(q.behaviors()) == {"pick", "place"}


def test_the_same_project_saves_to_the_same_bytes_in_every_process(tmp_path):
    save_and_load = """
        from mirvane.behavior import Behavior
        from mirvane.project import Project
        from mirvane.simulation.cell import build_cell
        p = Project()
        p.setWorkspace(build_cell())
        for name in ("place", "pick", "zero", "idle", "calibrate", "a"):
            p.addBehavior(Behavior(name, "arm_a", ["reach"]))
        p.save("p%s.mvproj")
        q = Project()
        q.load("p%s.mvproj")
        print(list(q.behaviors()))
    """
    seeds = "123"
    orders = {run(save_and_load % (seed, seed), cwd=tmp_path, env={**os.environ, "PYTHONHASHSEED": seed}).stdout
              for seed in seeds}
    assert len(orders) == 1 and "calibrate" in orders.pop()
    assert len({read(tmp_path / f"p{seed}.mvproj") for seed in seeds}) == 1


DATA = os.path.join(os.path.dirname(__file__), "data")


def parsed(path):
    return json_format.Parse(read(path), project_pb2.ProjectSnapshot())


# Written by 0.1.0 before and after its files were sorted; either build loads the other's files.
@pytest.mark.parametrize("fixture", ["project-v0.1.0.mvproj", "project-v0.1.0-sorted.mvproj"])
def test_kept_project_files_load(fixture, tmp_path):
    p, again = Project(), str(tmp_path / "again.mvproj")
    p.load(os.path.join(DATA, fixture))
    p.save(again)
    assert parsed(again) == parsed(os.path.join(DATA, fixture))
    assert read(again) == read(os.path.join(DATA, "project-v0.1.0-sorted.mvproj"))


@pytest.mark.parametrize("name", ["p.json", "p" + EXT + ".bak", "p" + EXT.replace(".", "_"), "new/p.txt"])
def test_save_refuses_other_names(name, tmp_path):
    with pytest.raises(AssertionError) as excinfo:
        Project().save(str(tmp_path / name))
    assert excinfo.value.args == () and entries(excinfo) == ["mirvane.project.Project.save"]
    assert listing(tmp_path) == {tmp_path: []}


NOT_AN_OBJECT = "Failed to parse JSON: a project file holds one JSON object, and this text starts with '%s'."


@pytest.mark.parametrize("name, content", [
    ("missing" + EXT, None), ("missing.txt", None), ("present.json", "{}"),
    ("bad" + EXT, "{"), ("unknown" + EXT, '{"foo": 1}'), ("typed" + EXT, '{"behaviors": 3}'),
    ("array" + EXT, "[]"), ("null" + EXT, "null"), ("string" + EXT, '\n "text"'), ("number" + EXT, "42")])
def test_load_failures_leave_project_unchanged(name, content, tmp_path):
    path = tmp_path / name
    if content is not None:
        path.write_text(content)
    p = cell_project()
    before, held = state_of(p), p.behaviors()
    expected = AssertionError if content is None or not name.endswith(EXT) else json_format.ParseError
    with pytest.raises(expected) as excinfo:
        p.load(str(path))
    assert entries(excinfo)[0] == "mirvane.project.Project.load"
    assert expected is not AssertionError or excinfo.value.args == ()
    if content and content.strip()[0] != "{":
        assert str(excinfo.value) == NOT_AN_OBJECT % content.strip()[0]
    assert state_of(p) == before and p.behaviors() is held


def test_load_reports_a_workspace_it_cannot_put_back(tmp_path, monkeypatch):
    path = str(tmp_path / ("p" + EXT))
    cell_project().save(path)
    p = Project()
    errors = [ValueError("loading"), ValueError("putting back")]

    def set_snapshot(message):  # changes the workspace, then fails, every time
        Workspace._setSnapshot(p.workspace(), message)
        raise errors.pop(0)
    p.workspace()._setSnapshot = set_snapshot
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(ValueError, match="^loading$"):
        p.load(path)
    assert [(str(r.exc_value), r.object) for r in reported] == [("putting back", set_snapshot)]


def test_optimised_interpreter_skips_name_checks(tmp_path):
    done = run("from mirvane.project import Project\nProject().save('plain.json')\nProject().load('plain.json')\n"
               "Project().load('missing.mvproj')", "-O", cwd=tmp_path)
    assert done.stderr.endswith("FileNotFoundError: [Errno 2] No such file or directory: 'missing.mvproj'\n")
    assert listing(tmp_path) == {tmp_path: ["plain.json"]}


# Saving writes a temporary file beside the target and renames it over the
# target, so a failure at any point leaves the old file as it was.

class OsWith:
    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(os, name)


def raising(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / ("k" + EXT)
    path.write_bytes(b"OLD CONTENT\n")
    return path


@pytest.mark.parametrize("break_it", [
    lambda p, mp: setattr(p, "_behaviors", {"x": object()}),  # Behavior._ToModel refuses it
    lambda p, mp: mp.setattr(m, "MessageToJson", raising(ValueError("no text"))),
])
def test_failed_build_touches_nothing(break_it, existing, tmp_path, monkeypatch):
    p = Project()
    break_it(p, monkeypatch)
    for target in (existing, tmp_path / "new" / ("k" + EXT)):
        with pytest.raises((TypeError, ValueError)):
            p.save(str(target))
    assert read(existing) == b"OLD CONTENT\n" and listing(tmp_path) == {tmp_path: ["k" + EXT]}


@pytest.mark.parametrize("replaced, json_text, exc", [
    ({"fsync": raising(OSError(errno.EIO, "I/O error"))}, None, OSError),
    ({"replace": raising(PermissionError(errno.EACCES, "denied"))}, None, PermissionError),
    ({"chmod": raising(OSError(errno.EPERM, "not permitted"))}, None, OSError),
    ({}, "\ud800", UnicodeEncodeError),
    ({}, 5, TypeError),
    # Not taken for a clash of temporary names: only creating the file can clash.
    ({"fsync": raising(FileExistsError(errno.EEXIST, "odd"))}, None, FileExistsError),
])
def test_failed_write_keeps_old_file(replaced, json_text, exc, existing, tmp_path, monkeypatch):
    monkeypatch.setattr(m, "os", OsWith(**replaced))
    if json_text is not None:
        monkeypatch.setattr(m, "MessageToJson", lambda snapshot, **options: json_text)
    with pytest.raises(exc) as excinfo:
        Project().save(str(existing))
    assert entries(excinfo)[0] == "mirvane.project.Project.save"
    assert read(existing) == b"OLD CONTENT\n" and listing(tmp_path) == {tmp_path: ["k" + EXT]}


def test_save_replaces_with_a_synced_file_beside_the_target(existing, monkeypatch):
    events = []

    def fsync(fd):
        events.append("fsync")
        os.fsync(fd)

    def replace(source, target):
        events.append((os.path.dirname(source), os.path.basename(source) != os.path.basename(target), read(source)))
        os.replace(source, target)

    os.chmod(existing, 0o604)
    monkeypatch.setattr(m, "os", OsWith(fsync=fsync, replace=replace))
    p = cell_project()
    p.save(str(existing))
    text = json_format.MessageToJson(p._getSnapshot(), sort_keys=True).encode()
    assert events == ["fsync", (str(existing.parent), True, text)]
    assert read(existing) == text and os.stat(existing).st_mode & 0o7777 == 0o604
    assert listing(existing.parent) == {existing.parent: [existing.name]}


# Two ways to drop the privilege to write any file: the suite runs as root.
UNPRIVILEGED = {"nobody": ["--reuid=65534", "--regid=65534", "--clear-groups"],
                "root without capabilities": ["--inh-caps=-all", "--bounding-set=-all"]}


@pytest.mark.parametrize("who", UNPRIVILEGED)
def test_save_refuses_a_file_its_user_may_not_write(who):
    setpriv = shutil.which("setpriv")
    if not setpriv:
        pytest.skip("setpriv (util-linux) is not installed")
    as_user = [setpriv, *UNPRIVILEGED[who], sys.executable, "-c"]
    can_run = subprocess.run(as_user + ["import mirvane.project"], capture_output=True, text=True)
    if can_run.returncode:
        pytest.skip(f"{who} cannot import mirvane with {sys.executable}: {can_run.stderr.strip()[-200:]}")
    directory = tempfile.mkdtemp()  # pytest's own is for root alone
    try:
        os.chmod(directory, 0o777)  # anyone may make and replace files in it
        kept = os.path.join(directory, "kept" + EXT)
        with open(kept, "wb") as f:
            f.write(b"OLD CONTENT\n")
        os.chmod(kept, 0o444)
        saving = f"from mirvane.project import Project\nProject().save('new{EXT}')\nProject().save('kept{EXT}')"
        done = subprocess.run(as_user + [saving], cwd=directory, capture_output=True, text=True)
        assert done.stderr.endswith(f"PermissionError: [Errno 13] Permission denied: 'kept{EXT}'\n"), done.stderr
        assert read(kept) == b"OLD CONTENT\n" and listing(directory) == {directory: ["kept" + EXT, "new" + EXT]}
        # A directory it may not write in is named, not the temporary file it could not make there.
        os.mkdir(os.path.join(directory, "closed"), 0o555)
        done = subprocess.run(as_user + [f"from mirvane.project import Project\nProject().save('closed/new{EXT}')"],
                              cwd=directory, capture_output=True, text=True)
        assert done.stderr.endswith(f"PermissionError: [Errno 13] Permission denied: 'closed/new{EXT}'\n"), done.stderr
    finally:
        shutil.rmtree(directory)


# Never a real device here: a run against a build without the check would replace it.
@pytest.mark.parametrize("make_target, error", [
    (os.mkdir, IsADirectoryError),
    (os.mkfifo, OSError),
    (lambda path: (os.mkfifo(path + ".pipe"), os.symlink(path + ".pipe", path)), OSError),
], ids=["directory", "pipe", "link to a pipe"])
def test_save_refuses_what_is_not_a_regular_file(tmp_path, make_target, error):
    target = str(tmp_path / ("k" + EXT))
    make_target(target)
    before = listing(tmp_path)
    with pytest.raises(error, match="k" + re.escape(EXT)) as excinfo:
        Project().save(target)
    assert type(excinfo.value) is error and entries(excinfo) == ["mirvane.project.Project.save"]
    assert listing(tmp_path) == before and not os.path.isfile(target)


# In a process of its own: a build without the check would wait for ever on the pipe, and read
# /dev/zero until memory ran out.
@pytest.mark.parametrize("make_file, refused", [
    (os.mkfifo, True), (lambda path: os.symlink("/dev/zero", path), True),
    (lambda path: os.symlink("saved" + EXT, path), False),
], ids=["pipe", "link to /dev/zero", "link to a regular file"])
def test_load_reads_only_a_regular_file(tmp_path, make_file, refused):
    cell_project().save(str(tmp_path / ("saved" + EXT)))
    make_file(str(tmp_path / ("k" + EXT)))
    done = run(f"""
        from mirvane.project import Project
        p = Project()
        p.load("k{EXT}")
        print(sorted(p.behaviors()))
        """, cwd=tmp_path)
    if refused:
        assert done.stderr.endswith(f"OSError: [Errno 22] not a regular file, so it is not read: 'k{EXT}'\n")
        assert done.stderr.count("in mirvane.project.Project.load") == 1 and done.stdout == ""
    else:
        assert (done.returncode, done.stdout) == (0, "['pick', 'place']\n")


def test_save_survives_a_non_str_name_part(tmp_path):
    done = run("""
        import os, posixpath, types, mirvane.project as m
        split = lambda file: (posixpath.dirname(file), posixpath.basename(file).encode())
        path = types.SimpleNamespace(**{**vars(posixpath), "split": split})
        m.os = types.SimpleNamespace(**{**vars(os), "path": path})
        try:
            m.Project().save("k.mvproj")
            print("saved")
        except TypeError:
            print("TypeError")
    """, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.strip() in ("saved", "TypeError")
