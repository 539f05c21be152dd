"""Project and Replay used from several threads at once, the interpreter switching between them as often as
it can: no crash, and every thread ends with what a serial run gives it."""

import sys
import threading
import traceback
from concurrent.futures import ThreadPoolExecutor

import pytest

from mirvane.behavior import Behavior
from mirvane.project import Project
from mirvane.replay import Replay
from replay_fakes import FakeData, record

THREADS = 8
ROUNDS = 25  # behaviours each thread adds, with a snapshot, a save and a load after each
LIVE_NS = 20_000_000  # recordings of 20 ms, replayed on the real clock
ITERATION_ERROR = "dictionary changed size during iteration"


@pytest.fixture(autouse=True)
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def together(work):
    """work(n) on THREADS threads released at once; what each returned or raised, in thread order."""
    start = threading.Barrier(THREADS)

    def run(n):
        start.wait()
        return work(n)
    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(run, n) for n in range(THREADS)]
    return [f.exception() or f.result() for f in futures]


def own_project(n, directory, shared=None):
    """Thread n's behaviours in a project of its own, round-tripped through a snapshot and a file after each."""
    project, path = Project(), str(directory / ("t%d" % n) / "p.mvproj")
    for i in range(ROUNDS):
        behavior = Behavior("t%d-%d" % (n, i), "arm%d" % n, ("step%d" % i,))
        project.addBehavior(behavior)
        if shared is not None:
            shared.addBehavior(behavior)
            assert shared.behaviors()["t%d-%d" % (n, i)] is behavior and shared.validate() is True
            for walk in (shared.__str__, shared._getSnapshot):  # others may add meanwhile
                try:
                    walk()
                except RuntimeError as error:
                    assert str(error) == ITERATION_ERROR
        project._setSnapshot(project._getSnapshot())
        project.save(path)
        loaded = Project()
        loaded.load(file=path)
    with open(path) as f:
        return list(project.behaviors()), str(project), str(loaded), f.read()


def test_projects_own_and_shared(tmp_path):
    shared = Project()
    outcomes = together(lambda n: own_project(n, tmp_path / "threads", shared))
    assert outcomes == [own_project(n, tmp_path / "serial") for n in range(THREADS)]
    names = [sorted("t%d-%d" % (n, i) for i in range(ROUNDS)) for n in range(THREADS)]
    assert [sorted(o[0]) for o in outcomes] == names
    keys = {name for own in names for name in own}
    assert set(shared.behaviors()) == keys and all(b.name() == k for k, b in shared.behaviors().items())
    assert set(shared._getSnapshot().behaviors) == keys


class Viewer:
    def __init__(self, fail_at=None):
        self.renders, self.fail_at = 0, fail_at

    def render(self):
        self.renders += 1
        if self.renders == self.fail_at:
            raise KeyError("viewer lost")


def live(n, failing=None, data=None):
    """A live playback of thread n's own 20 ms recording into a project of its own."""
    replay, project, viewer = Replay(), Project(), Viewer(fail_at=3 if n == failing else None)
    replay.setProject(project)
    replay.setData(data or FakeData(record([0, LIVE_NS // 2, LIVE_NS], tag="r%d" % n)))
    replay.setViewer(viewer)
    try:
        replay.play()
    except KeyError as error:
        return [(e.filename, e.lineno) for e in traceback.extract_tb(error.__traceback__)
                if e.name == "mirvane.replay.Replay.play"]
    return project, viewer


def test_live_playbacks_one_failing():
    failing = 3
    outcomes = together(lambda n: live(n, failing))
    # The failing play's traceback holds one entry of its own, where a serial failure puts it.
    assert len(outcomes[failing]) == 1 and outcomes[failing] == live(failing, failing)
    for n in set(range(THREADS)) - {failing}:  # each drove its own project, through to the last product
        project, viewer = outcomes[n]
        state = project.system().state()
        assert viewer.renders >= 2 and state.decision.step == "p2"
        assert project.workspace().state() == state.workspace and list(state.workspace.items) == ["r%d" % n]


class UnwindingData(FakeData):
    """Each read gives a records container of its own, whose release (as play returns) runs ``on_release``."""

    def __init__(self, on_release):
        super().__init__(record([0, LIVE_NS], tag="r"))
        self.on_release = on_release

    @property
    def _data_records(self):
        return type("Records", (), {"records": self.records.records, "__del__": lambda _: self.on_release()})()


def test_failing_play_keeps_its_line_while_another_thread_calls_replay():
    expected = live(0, failing=0, data=UnwindingData(lambda: None))
    released, entered = threading.Event(), threading.Event()

    def other():
        released.wait(5)
        Replay().setViewer(None)
        entered.set()
    thread = threading.Thread(target=other)
    thread.start()
    got = live(0, failing=0, data=UnwindingData(lambda: (released.set(), entered.wait(5))))
    thread.join()
    assert got == expected
