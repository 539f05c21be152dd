"""mirvane.replay: the module's names, Replay's constructor and setters, and argument binding."""

import traceback

import pytest

import mirvane.replay
from mirvane.data import Data
from mirvane.project import Project
from mirvane.replay import Replay


def test_new_replays_hold_their_own_project_and_data_and_no_viewer():
    a, b = Replay(), Replay()
    assert type(a._project) is Project and type(a._data) is Data and a._viewer is None
    assert a._project is not b._project and a._data is not b._data


@pytest.mark.parametrize("setter, parameter", [("setProject", "project"), ("setData", "data"), ("setViewer", "viewer")])
def test_setters_store_the_object_itself_and_the_last_one_wins(setter, parameter):
    r, first, second = Replay(), [], object()
    assert getattr(r, setter)(first) is None and getattr(r, "_" + parameter) is first
    getattr(Replay, setter)(self=r, **{parameter: second})
    assert getattr(r, "_" + parameter) is second
    getattr(r, setter)(None)
    assert getattr(r, "_" + parameter) is None


@pytest.mark.parametrize("name, value", [("Data", "data"), ("Project", "project")])
def test_constructor_calls_the_rebound_global(monkeypatch, name, value):
    made = object()
    monkeypatch.setattr(mirvane.replay, name, lambda: made)
    assert getattr(Replay(), "_" + value) is made


@pytest.mark.parametrize("call, message", [
    (lambda r: Replay(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda r: r.setProject(), "setProject() takes exactly 2 positional arguments (1 given)"),
    (lambda r: r.setProject(1, 2), "setProject() takes exactly 2 positional arguments (3 given)"),
    (lambda r: r.setProject(foo=1), "setProject() takes exactly 2 positional arguments (1 given)"),
    (lambda r: r.setProject(1, foo=1), "setProject() got an unexpected keyword argument 'foo'"),
    (lambda r: r.setData(1, data=1), "setData() got multiple values for keyword argument 'data'"),
    (lambda r: r.setData(1, x=1), "setData() got an unexpected keyword argument 'x'"),
    (lambda r: Replay.play(), "play() takes at least 1 positional argument (0 given)"),
    (lambda r: r.play(-1, 1.0, None, 10, 0), "play() takes at most 5 positional arguments (6 given)"),
    (lambda r: r.play(5, index=5), "play() got multiple values for keyword argument 'index'"),
    (lambda r: r.play(True), "Argument 'index' has incorrect type (expected int, got bool)"),
    (lambda r: r.play(index=None), "Argument 'index' has incorrect type (expected int, got NoneType)"),
    (lambda r: r.play(fps=True), "Argument 'fps' has incorrect type (expected int, got bool)"),
    (lambda r: r.play(fps=None), "Argument 'fps' has incorrect type (expected int, got NoneType)"),
    (lambda r: r.play(moviename=b"a.mp4"), "Argument 'moviename' has incorrect type (expected str, got bytes)"),
])
def test_binding_errors(monkeypatch, call, message):
    # Without a viewer a call that got past binding would log instead of raising.
    log = []
    monkeypatch.setattr(mirvane.replay.logging, "error", lambda *a: log.append(a))
    with pytest.raises(TypeError) as excinfo:
        call(Replay())
    assert str(excinfo.value) == message and log == []
    # Binding failures add the method's traceback entry; exact-type refusals add none.
    entries = [e.name for e in traceback.extract_tb(excinfo.tb) if e.name.startswith("mirvane.replay.")]
    assert len(entries) == (0 if message.startswith("Argument") else 1)


def test_speed_is_converted_before_index_is_checked():
    with pytest.raises(TypeError) as excinfo:
        Replay().play(index="0", speed="fast")
    assert str(excinfo.value) == "must be real number, not str"


@pytest.mark.parametrize("method, annotations", [
    ("__init__", {}),
    ("setProject", {"project": "Project"}),
    ("setData", {"data": "Data"}),
    ("setViewer", {"viewer": "WorkspaceViewer"}),
    ("play", {"index": "int", "speed": "float", "moviename": "str", "fps": "int"}),
])
def test_annotations_are_texts_in_parameter_order(method, annotations):
    got = getattr(Replay, method).__annotations__
    assert got == annotations and list(got) == list(annotations)


def test_module_names_and_play_signature():
    assert mirvane.replay._MOVIE_EXT == ".mp4"
    assert mirvane.replay._MOVIE_TMP_PNG_PATH == "./tmp"
    assert mirvane.replay.__test__ == {}
    assert mirvane.replay.WorkspaceViewer.__name__ == "WorkspaceViewer"
    play = Replay.play
    assert play.__defaults__ == (-1, 1.0, None, 10)
    assert (play.__qualname__, play.__module__) == ("Replay.play", "mirvane.replay")
    assert play.__code__.co_varnames[:5] == ("self", "index", "speed", "moviename", "fps")
