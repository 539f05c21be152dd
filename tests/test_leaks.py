"""Every method of Project and Replay, called over and over, succeeding and failing, leaves nothing behind:
neither pymalloc blocks nor references to the objects it was given or looked up."""

import ctypes
import gc
import itertools
import sys
import warnings
from types import SimpleNamespace

import pytest
from google.protobuf import json_format
from tqdm import tqdm

import mirvane.project
import mirvane.replay
from mirvane.behavior import Behavior
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.system import System
from mirvane.workspace import Workspace
from replay_fakes import SECOND, FakeClip, FakeData, Rig, record

ROUNDS = 200  # measured calls per scenario
# Blocks are counted with pymalloc in use (not with PYTHONMALLOC=malloc, as under the sanitizers) and on
# the target interpreter: later ones keep caches of their own that grow in steps, around text-mode open.
BLOCKS = sys.getallocatedblocks() > 0 and sys.version_info[:2] == (3, 9)
# Calls made first, so that caches, traceback code objects and lazy attributes exist. More than 1024:
# after that many runs the interpreter gives each Python function an opcache of its own.
WARMUP = 1100
METHODS = [f for cls in (Project, Replay) for f in vars(cls).values() if callable(f)]
READABLE = ("__defaults__", "__kwdefaults__", "__annotations__", "__code__", "__dict__", "__globals__",
            "__closure__", "__name__", "__qualname__", "__module__", "__doc__")
WRITABLE = ("__defaults__", "__kwdefaults__", "__annotations__", "__dict__", "__doc__")


class CompanionError(Exception):
    """Raised by stand-ins; a heap type, so every instance kept alive shows in its reference count."""


def attempt(call):
    """The type of what ``call`` raised, or None; neither the exception nor its frames outlive this."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - every failure is a path being measured
        return type(error)
    return None


def growth(call, watched):
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    blocks = sys.getallocatedblocks()  # now counting the int that holds it, as the final count will
    for _ in itertools.repeat(None, ROUNDS):
        attempt(call)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks if BLOCKS else 0
    after = [sys.getrefcount(o) for o in watched]
    return grown, {i: a - r for i, (a, r) in enumerate(zip(after, refs)) if a != r}


def raiser(*args, **kwargs):
    raise CompanionError("from a companion")


class World:
    """A project saved once, files that fail to load, and a Replay of it wired to fakes, in tmp_path."""

    def __init__(self, monkeypatch, tmp_path):
        self.mp = monkeypatch
        self.rig = Rig(monkeypatch, tmp_path, record([0, SECOND // 2]))  # also makes tmp_path the cwd
        self.replay, self.viewer = self.rig.replay, self.rig.viewer
        self.project, self.behavior = Project(), Behavior("pick", "arm", ("reach", "grip"))
        self.project.addBehavior(self.behavior)
        self.replay.setProject(self.project)
        self.good = str(tmp_path / "d" / "p.mvproj")
        self.project.save(self.good)
        for name, text in (("bad.mvproj", "{"), ("unknown.mvproj", '{"nope": 1}'), ("array.mvproj", "[]"),
                           ("p.txt", "{}")):
            (tmp_path / name).write_text(text)
        self.watched = [self.project, self.behavior, self.project.workspace(), self.project.system(), self.good,
                        self.replay, self.viewer, self.rig.data, Project, Replay, Behavior, Workspace, System,
                        FakeClip, CompanionError, json_format.ParseError, json_format.MessageToJson,
                        mirvane.project.project_pb2, mirvane.replay.np, *METHODS]

    def set(self, target, name, value):
        self.mp.setattr(target, name, value)
        self.watched.append(value)

    def broken_workspace(self, method):
        workspace = Workspace()
        self.set(workspace, method, raiser)
        self.project.setWorkspace(workspace)
        self.watched.append(workspace)

    def play(self, *args, **kwargs):
        """Replay.play with the fakes' records emptied and the clock rewound, so the fakes keep nothing."""
        def call():
            for kept in (self.rig.events, self.rig.errors, self.rig.clips, self.viewer.shots):
                kept.clear()
            self.rig.clock.values = [0.0, 0.0, 0.3, 0.6]
            self.replay.play(*args, **kwargs)
        return call


def render_fails_second_time():
    seen = [0]

    def render():
        seen[0] = 1 - seen[0]
        if not seen[0]:
            raise CompanionError("viewer lost")
    return render


def attributes():
    for f in METHODS:
        for name in READABLE:
            getattr(f, name)
        f.__get__(None, Project), f.__get__(Project()), repr(f)
        for name in WRITABLE:
            setattr(f, name, getattr(f, name))


SCENARIOS = {
    # Project: success
    "project-new": lambda w: (Project, None),
    "project-methods": lambda w: (lambda: (str(w.project), w.project.setWorkspace(w.project.workspace()),
                                           w.project.behaviors(), w.project.system(), w.project.validate(),
                                           w.project.addBehavior(behavior=w.behavior)), None),
    "snapshot-round-trip": lambda w: (lambda: w.project._setSnapshot(w.project._getSnapshot()), None),
    "save-load": lambda w: (lambda: (w.project.save(w.good), w.project.load(file=w.good)), None),
    # Project: binding and type errors
    "project-count": lambda w: (lambda: Project(1), TypeError),
    "addBehavior-count": lambda w: (w.project.addBehavior, TypeError),
    "addBehavior-unexpected": lambda w: (lambda: w.project.addBehavior(w.behavior, x=1), TypeError),
    "addBehavior-multiple": lambda w: (lambda: w.project.addBehavior(w.behavior, behavior=w.behavior), TypeError),
    "save-exact-type": lambda w: (lambda: w.project.save(None), TypeError),
    "load-exact-type": lambda w: (lambda: w.project.load(file=b"p.mvproj"), TypeError),
    "behaviors-not-dict": lambda w: w.set(w.project, "_behaviors", [w.behavior]) or (w.project.behaviors, TypeError),
    "str-without-behaviors": lambda w: w.mp.setattr(w.project, "_behaviors", None)
    or (w.project.__str__, AttributeError),
    # Project: companions and files that fail
    "name-raises": lambda w: (lambda: w.project.addBehavior(SimpleNamespace(name=raiser)), CompanionError),
    "toModel-raises": lambda w: w.set(mirvane.project, "Behavior", SimpleNamespace(_ToModel=raiser))
    or (lambda: w.project.save(w.good), CompanionError),
    "fromModel-raises": lambda w: w.set(mirvane.project, "Behavior", SimpleNamespace(_FromModel=raiser))
    or (lambda: w.project.load(w.good), CompanionError),
    "Behavior-missing": lambda w: w.mp.delattr(mirvane.project, "Behavior") or (w.project._getSnapshot, NameError),
    "workspace-getSnapshot-raises": lambda w: w.broken_workspace("_getSnapshot")
    or (lambda: w.project.save(w.good), CompanionError),
    "workspace-setSnapshot-raises": lambda w: w.broken_workspace("_setSnapshot")
    or (lambda: w.project.load(w.good), CompanionError),
    "MessageToJson-raises": lambda w: w.set(mirvane.project, "MessageToJson", raiser)
    or (lambda: w.project.save(w.good), CompanionError),
    "save-bad-extension": lambda w: (lambda: w.project.save("p.json"), AssertionError),
    "load-bad-json": lambda w: (lambda: w.project.load("bad.mvproj"), json_format.ParseError),
    "load-unknown-member": lambda w: (lambda: w.project.load("unknown.mvproj"), json_format.ParseError),
    "load-not-an-object": lambda w: (lambda: w.project.load("array.mvproj"), json_format.ParseError),
    "load-missing": lambda w: (lambda: w.project.load("missing.mvproj"), AssertionError),
    "load-bad-extension": lambda w: (lambda: w.project.load("p.txt"), AssertionError),
    # Replay: set-up and binding
    "replay-new": lambda w: (Replay, None),
    "replay-setters": lambda w: (lambda: (w.replay.setProject(w.project), w.replay.setData(data=w.rig.data),
                                          Replay.setViewer(**{"self": w.replay, "viewer": w.viewer})), None),
    "replay-count": lambda w: (lambda: Replay(1), TypeError),
    "setProject-count": lambda w: (lambda: w.replay.setProject(1, 2), TypeError),
    "setProject-missing": lambda w: (lambda: w.replay.setProject(foo=1), TypeError),
    "setData-multiple": lambda w: (lambda: w.replay.setData(1, data=1), TypeError),
    "setData-unexpected": lambda w: (lambda: w.replay.setData(1, x=1), TypeError),
    "play-count": lambda w: (lambda: w.replay.play(-1, 1.0, None, 10, 0), TypeError),
    "play-unbound": lambda w: (Replay.play, TypeError),
    "play-multiple": lambda w: (lambda: w.replay.play(5, index=5), TypeError),
    "play-exact-type": lambda w: (lambda: w.replay.play(True), TypeError),
    "play-moviename-type": lambda w: (lambda: w.replay.play(moviename=b"m.mp4"), TypeError),
    "play-speed-conversion": lambda w: (lambda: w.replay.play(index="0", speed="fast"), TypeError),
    # Replay.play
    "play-guard": lambda w: w.set(mirvane.replay, "logging", SimpleNamespace(error=lambda *a: None))
    or w.replay.setViewer(None) or (w.play(), None),
    "play-live": lambda w: (w.play(), None),
    "play-movie": lambda w: (w.play(moviename="m.mp4", fps=10), None),
    "play-render-raises": lambda w: w.set(w.viewer, "render", render_fails_second_time())
    or (w.play(), CompanionError),
    "play-movie-render-raises": lambda w: w.set(w.viewer, "render", render_fails_second_time())
    or (w.play(moviename="m.mp4"), CompanionError),
    "play-writer-raises": lambda w: w.mp.setattr(FakeClip, "fail", True) or (w.play(moviename="m.mp4"), RuntimeError),
    "play-index-assertion": lambda w: (w.play(index=1), AssertionError),
    "play-movie-name-assertion": lambda w: (w.play(moviename="m.avi"), AssertionError),
    "play-movie-destination-refused": lambda w: (w.play(moviename="missing/m.mp4"), FileNotFoundError),
    "play-movie-no-frames": lambda w: w.replay.setData(FakeData(record([SECOND, 0])))
    or (w.play(moviename="m.mp4"), ValueError),
    "play-speed-refused": lambda w: (w.play(speed=0.0), ValueError),
    "play-np-missing": lambda w: w.mp.delattr(mirvane.replay, "np") or (w.play(), NameError),
    # The method objects themselves
    "method-attributes": lambda w: (attributes, None),
}


@pytest.fixture(autouse=True)
def quiet_process(monkeypatch):
    """No other thread allocating while blocks are counted: tqdm's monitor, left by an earlier test's
    progress bar in this process, wakes every 10 s and copies its list of bars."""
    monkeypatch.setattr(tqdm, "monitor_interval", 0)
    if tqdm.monitor is not None:
        tqdm.monitor.exit()
        tqdm.monitor = None


@pytest.fixture
def world(monkeypatch, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # writes of __defaults__: neither shown nor recorded
        yield World(monkeypatch, tmp_path)


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_repeated_calls_keep_nothing(world, scenario):
    call, expected = SCENARIOS[scenario](world)
    for _ in range(WARMUP):
        assert attempt(call) is expected
    blocks, refs = growth(call, world.watched)
    if blocks or refs:
        # A leak grows again over the next rounds; a one-off allocation elsewhere does not.
        blocks, refs = growth(call, world.watched)
    assert (blocks, {repr(world.watched[i])[:80]: d for i, d in refs.items()}) == (0, {})


@pytest.mark.parametrize("leak", [
    pytest.param("block", marks=pytest.mark.skipif(not BLOCKS, reason="blocks not counted")), "reference"])
def test_measurement_sees_one_leak_per_call(world, leak):
    kept, behavior = [], ctypes.py_object(world.behavior)
    leaking = {"block": lambda: kept.append(object()), "reference": lambda: ctypes.pythonapi.Py_IncRef(behavior)}
    blocks, refs = growth(leaking[leak], world.watched)
    assert blocks >= ROUNDS if leak == "block" else list(refs.values()) == [ROUNDS]
    for _ in range(ROUNDS if leak == "reference" else 0):
        ctypes.pythonapi.Py_DecRef(behavior)
