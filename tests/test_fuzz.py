"""Randomised calls of every Project and Replay method, and loads of damaged project files.

MIRVANE_FUZZ_EXAMPLES sets the examples per property (``make fuzz`` raises it).
"""

import copy
import decimal
import errno
import functools
import json
import math
import os
import re
import sys
import tempfile
import traceback

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from google.protobuf import json_format
from google.protobuf.message import DecodeError
from google.protobuf.internal.encoder import _VarintBytes

import mirvane.replay
from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2
from mirvane._version import __version__
from mirvane.behavior import Behavior
from mirvane.player import series
from mirvane.player.clock import Clock, apply
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.scene import KINDS, arm_points, kind_of, links_gap, links_moved
from mirvane.simulation.cell import build_cell, cell_behaviors, simulate
from mirvane.workspace import Workspace
from replay_fakes import SECOND, FakeClip, FakeViewer, Rig, record

EXAMPLES = int(os.environ.get("MIRVANE_FUZZ_EXAMPLES", "1000"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, derandomize=False,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# Parameters and defaults as the classes declare them; exact-type and float parameters.
METHODS = {
    Project: {"__init__": ("self",), "__str__": ("self",), "setWorkspace": ("self", "workspace"),
              "workspace": ("self",), "addBehavior": ("self", "behavior"), "behaviors": ("self",),
              "system": ("self",), "save": ("self", "file"), "load": ("self", "file"), "validate": ("self",),
              "_getSnapshot": ("self",), "_setSnapshot": ("self", "snapshot")},
    Replay: {"__init__": ("self",), "setProject": ("self", "project"), "setData": ("self", "data"),
             "setViewer": ("self", "viewer"), "play": ("self", "index", "speed", "moviename", "fps")},
}
DEFAULTS = {"play": (-1, 1.0, None, 10)}
EXACT = {"index": int, "fps": int, "moviename": str, "file": str}
TEMPLATES = ("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "%.200s() keywords must be strings",
             "keywords must be strings", "%s() got multiple values for keyword argument '%U'",
             "%s() got an unexpected keyword argument '%U'",
             "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)")


def from_template(template):
    """The template as a regex: %.Ns at most N characters, %zd a number, %s and %U any text."""
    pattern = re.sub(r"%\\\.(\d+)s", r".{0,\1}", re.escape(template))
    return re.compile(pattern.replace("%zd", r"-?\d+").replace("%s", ".*").replace("%U", ".*"), re.S)


BINDING_MESSAGES = [from_template(t) for t in TEMPLATES]


class Boom(Exception):
    """What the hostile special methods raise."""


Str, Int, FloatSub = type("Str", (str,), {}), type("Int", (int,), {}), type("FloatSub", (float,), {})


class KwName(str):
    """Equal in text to a parameter name, but never the same object, and hashed apart from it."""

    def __hash__(self):
        return str.__hash__(self) ^ 1


def hostile(behaviour):
    """An object whose listed special methods raise Boom or return the given value."""
    def special(result):
        def method(self, *args):
            if result is Boom:
                raise Boom("hostile")
            return result
        return method
    namespace = {"name": lambda self: self}  # addBehavior then keys the object by itself
    namespace.update({dunder: special(result) for dunder, result in behaviour.items()})
    return type("Odd", (), namespace)()


class Marker(int):
    """Stands for what each example makes afresh: the instance, one of the other class, a snapshot."""

    __repr__ = lambda self: ("SELF", "OTHER", "SNAPSHOT")[self]  # noqa: E731


SELF, OTHER, SNAPSHOT = Marker(0), Marker(1), Marker(2)
# Existing: p.mvproj (valid), bad.mvproj (not JSON), dir.mvproj (a directory, which save cannot replace).
FILES = ["p.mvproj", "P.MVPROJ", "sub/dir/q.mvproj", "missing.mvproj", "bad.mvproj", "dir.mvproj", "dir.mvproj",
         "p.mvproj/r.mvproj", "x.json", "", "a\x00.mvproj", "\ud800.mvproj"]
CURATED = {
    "index": [-1, 0, 1, -2, 2, -3, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 200, -2 ** 70, 10 ** 400, -10 ** 400],
    "speed": [1.0, 0.5, 2, 0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 1e308, 10 ** 400, FloatSub(3.0)],
    "moviename": [None, "", "m.mp4", "M.MP4", "x.avi", "mp4", Str("m.mp4")],
    "fps": [10, 1, 240, 0, -10, 2 ** 62, 2 ** 64, 10 ** 400, True, math.inf, math.nan],
    "file": FILES + [Str("p.mvproj")],
    "self": [SELF, SELF, OTHER], "snapshot": [SNAPSHOT],
}
PARAMS = sorted({p for methods in METHODS.values() for params in methods.values() for p in params})

values = st.one_of(
    st.sampled_from([SELF, OTHER, SNAPSHOT] + [v for vs in CURATED.values() for v in vs]),
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=10), st.text(max_size=10).map(Str),
    st.binary(max_size=8), st.integers().map(Int), st.lists(st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.dictionaries(st.sampled_from(["__float__", "__index__", "__bool__", "__eq__", "__hash__"]),
                    st.sampled_from([Boom, 2.5, FloatSub(2.5), "2.5", 3, 10 ** 400, True]), max_size=3).map(hostile),
)


def value_for(param):
    """Three times in four one of the values chosen for this parameter."""
    curated = st.sampled_from(CURATED.get(param, [SELF]))
    return st.integers(0, 3).flatmap(lambda i: values if i == 2 else curated)


def keyword_name(params):
    """Mostly one of the method's own parameter names, sometimes equal in text only, sometimes foreign."""
    own = st.sampled_from(params)
    return st.one_of(own, own, own.map(lambda p: "".join(list(p))), own.map(KwName), st.text(max_size=6),
                     st.sampled_from(PARAMS + ["foo", "", "Index", "ïndex", "\ud800", "x" * 300]))


@st.composite
def calls(draw, cls):
    """Each parameter passed by position, by keyword or not at all; then surplus arguments, often none."""
    # play, save and load do the most: drawn more often
    name = draw(st.sampled_from(sorted(METHODS[cls]) + (["play"] * 3 if cls is Replay else ["save", "load"] * 2)))
    params = METHODS[cls][name]
    form = draw(st.sampled_from(["class", "bound", "get", "partial", "partial-bound"]))
    pos, kw, skipped = [], {}, False
    for p in params[0 if form in ("class", "partial") else 1:]:
        how = draw(st.sampled_from(["position", "position", "keyword", "keyword", "none"]))
        skipped = skipped or how == "none"
        if how == "position" and not kw and not skipped:
            pos.append(draw(value_for(p)))
        elif how != "none":
            kw[draw(st.sampled_from([p, p, "".join(list(p)), KwName(p)]))] = draw(value_for(p))
    none = st.sampled_from([0, 0, 0, 1])  # surplus arguments in a quarter of the calls
    pos += draw(st.lists(values, max_size=7 - len(pos))) if draw(none) else []
    for _ in range(draw(st.integers(1, 7)) if draw(none) else 0):
        key = draw(keyword_name(params))
        kw[key] = draw(value_for(key))
    if draw(st.integers(0, 49).map(lambda i: i == 25)):
        kw[1] = None  # not a str: the interpreter refuses it before the method runs
    pre_kw = {k: v for k, v in kw.items() if form.startswith("partial") and draw(st.booleans())}
    post_kw = {k: v for k, v in kw.items() if k not in pre_kw or draw(st.booleans())}
    return name, form, pos, draw(st.integers(0, len(pos))), pre_kw, post_kw


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # noqa: BLE001 - the outcome is compared, not handled
        return e


def same_error(got, expected):
    """Same exception type and arguments; None for both when no exception is expected."""
    if expected is None or not isinstance(expected, Exception):
        assert not isinstance(got, Exception), got
    else:
        assert type(got) is type(expected) and got.args == expected.args, (got, expected)


def expected_binding(name, params, pos, kw):
    """("bound", values with speed made a float), or where binding fails and the error it must raise."""
    if not all(isinstance(k, str) for k in kw):
        return "interpreter", TypeError("keywords must be strings")
    defaults = DEFAULTS.get(name, ())
    n, total, required = len(pos), len(params), len(params) - len(defaults)

    def count_error(given, too_many):
        how = "exactly" if required == total else "at most" if too_many else "at least"
        expected = total if too_many and required != total else required
        return "binding", TypeError("%s() takes %s %d positional argument%s (%d given)"
                                    % (name, how, expected, "" if expected == 1 else "s", given))

    items, bound = list(kw.items()), dict(zip(params, pos))
    if n > total or (not kw and n < required):
        return count_error(n, n > total)
    taken = 0
    for i in range(n, total):
        p = params[i]  # by identity first, then by text
        hits = [v for k, v in items if k is sys.intern(p)] or [v for k, v in items if str.__eq__(k, p)]
        if hits:
            bound[p], taken = hits[0], taken + 1
        elif i < required:
            return count_error(i, False)
        else:
            bound[p] = defaults[i - required]
    if taken != len(items):
        for k, _ in items:
            where = [i for i, p in enumerate(params) if str.__eq__(k, p)]
            if not where:
                return "binding", TypeError("%s() got an unexpected keyword argument '%s'" % (name, str.__str__(k)))
            if where[0] < n:
                return "binding", TypeError("%s() got multiple values for keyword argument '%s'"
                                            % (name, str.__str__(k)))
    if "speed" in bound:
        real = outcome(lambda: math.fsum([bound["speed"]]))  # fsum converts as the C API does
        if isinstance(real, Exception):
            return "conversion", real
        bound["speed"] = real
    for p in params:
        kind, v = EXACT.get(p), bound[p]
        if kind and type(v) is not kind and not (v is None and p == "moviename"):
            return "type", TypeError("Argument '%s' has incorrect type (expected %s, got %s)"
                                     % (p, kind.__name__, type(v).__name__))
    return "bound", bound


def invoke(cls, inst, name, form, pos, split, pre_kw, kw):
    function = getattr(cls, name)
    target = {"class": function, "partial": function, "bound": getattr(inst, name),
              "partial-bound": getattr(inst, name), "get": function.__get__(inst, cls)}[form]
    if form.startswith("partial"):
        return functools.partial(target, *pos[:split], **pre_kw)(*pos[split:], **kw)
    return target(*pos, **kw)


class GuardedViewer(FakeViewer):
    """Stops a playback whose clock would take too many cycles to pass the end."""

    LIMIT = 64

    def render(self):
        self.events.append("render")
        if self.events.count("render") > self.LIMIT:
            raise OverflowError("loop guard")


class Clip(FakeClip):
    def write_videofile(self, name, /):
        self.written.append(name)  # the movie name is not a path this test controls


def environment(cls, mp, directory):
    """The instance under test, one of the other class, and for Replay the rig around it."""
    if cls is Replay:
        rig = Rig(mp, directory, record([SECOND], stop=5, tag="r0"), record([SECOND], stop=3, tag="r1"),
                  clock=tuple(i * 1e300 for i in range(GuardedViewer.LIMIT + 2)))
        rig.replay.setViewer(GuardedViewer(rig.events))
        mp.setattr(mirvane.replay, "ImageSequenceClip", Clip)
        return rig.replay, Project(), rig
    mp.chdir(directory)
    saved = Project()
    saved.addBehavior(Behavior("saved", steps=("s",)))
    saved.save("p.mvproj")
    with open("bad.mvproj", "w") as f:
        f.write("{")
    os.mkdir("dir.mvproj")
    inst = Project()
    inst.addBehavior(Behavior("b", robot="arm", steps=("pick",)))
    return inst, Replay(), None


def reference_parse(path):
    """The first half of load: read in text mode and parse into a fresh message. Text that starts with a
    JSON value other than an object is refused: Parse would take [] as an empty message."""
    with open(path) as f:
        text = f.read()
    start = text.lstrip(" \t\n\r")[:1]
    if start and start in '["-0123456789tfn':
        raise json_format.ParseError(
            "Failed to parse JSON: a project file holds one JSON object, and this text starts with '%s'." % start)
    snapshot = project_pb2.ProjectSnapshot()
    json_format.Parse(text, snapshot)
    return snapshot


def reference_restore(snapshot):
    """The second half, by the companions; gives the snapshot the restored project must then yield."""
    workspace = Workspace()
    workspace._setSnapshot(snapshot.workspace)
    expected = project_pb2.ProjectSnapshot(version=__version__)
    expected.workspace.CopyFrom(workspace._getSnapshot())
    for key, model in snapshot.behaviors.items():
        expected.behaviors[key].CopyFrom(Behavior._ToModel(Behavior._FromModel(model)))
    return expected


def check_load(p, file, call):
    """load either fails as reading, parsing or restoring does, leaving p untouched, or restores p from the file."""
    workspace, behaviors = p.workspace(), p.behaviors()
    held, layout = list(behaviors.items()), workspace._getSnapshot()
    parsed = outcome(lambda: reference_parse(file))
    restored = parsed if isinstance(parsed, Exception) else outcome(lambda: reference_restore(parsed))
    got = outcome(call)
    if isinstance(restored, Exception):
        same_error(got, restored)
        assert p.workspace() is workspace and p.behaviors() is behaviors and list(behaviors.items()) == held
        assert workspace._getSnapshot() == layout
        return restored
    assert got is None
    assert p._getSnapshot() == restored
    return None


def text_of(file):
    if os.path.isfile(file):
        with open(file) as f:
            return f.read()
    return None


def check_save(p, file, call):
    """save writes the snapshot's JSON, or fails only where a plain write fails, keeping the old file."""
    old = text_of(file)
    got = outcome(call)
    assert not [n for _, _, names in os.walk(".") for n in names if n.endswith(".tmp")]
    if got is None:
        assert text_of(file) == json_format.MessageToJson(p._getSnapshot(), sort_keys=True)
        return
    assert isinstance(got, (OSError, ValueError)) and text_of(file) == old, got
    with pytest.raises((OSError, ValueError)):  # only where a plain write fails too
        if os.path.dirname(file):
            os.makedirs(os.path.dirname(file), exist_ok=True)
        open(file, "a").close()


def check_play(rig, index, speed, moviename, fps, call):
    """The checks before the data is read, the record choice, then the number of cycles of the clock."""
    movie = bool(moviename)
    got = outcome(call)
    if movie and not moviename.lower().endswith(".mp4"):
        return same_error(got, AssertionError())
    if not speed > 0:
        return same_error(got, ValueError("speed must be a positive number"))
    if math.isinf(speed):
        return same_error(got, ValueError("speed must be a finite number"))
    if movie and not fps > 0:
        return same_error(got, ValueError("fps must be a positive integer"))
    if index != -1 and not index < 2:
        return same_error(got, AssertionError())
    if index < -2:
        return same_error(got, IndexError("list index out of range"))
    # One product at time 0: the loop ends after the first cycle whose clock is past 0.
    t, cycles = 0, 0
    while t <= 0 and cycles < GuardedViewer.LIMIT:
        t = outcome(lambda: speed * cycles / fps if movie else speed * ((cycles + 1) * 1e300))
        if isinstance(t, Exception):
            return same_error(got, t)
        if movie and len("tmp_{:08.2f}.png".format(t)) > os.pathconf(".", "PC_NAME_MAX"):
            # A clock beyond about 1e244 s prints a frame name too long for the viewer to write.
            return same_error(got, OSError(errno.ENAMETOOLONG, os.strerror(errno.ENAMETOOLONG)))
        cycles += 1
    if t <= 0:
        return same_error(got, OverflowError("loop guard"))
    assert got is None, got
    assert rig.events.count("render") == cycles
    assert ["r0", "r1"][max(index, 0) if index != -1 else 0] in rig.ws.calls[0][1]["state"].items
    assert [len(c.image_files) for c in rig.clips] == ([cycles] if movie else [])
    return None


@fuzz
@given(data=st.data())
@pytest.mark.parametrize("cls", [Project, Replay])
@pytest.mark.filterwarnings("ignore:.*returned non-:DeprecationWarning")  # hostile __float__/__index__ results
def test_random_calls_raise_only_what_binding_and_bodies_may(cls, data):
    name, form, pos, split, pre_kw, kw = data.draw(calls(cls))
    with pytest.MonkeyPatch.context() as mp, tempfile.TemporaryDirectory() as directory:
        inst, other, rig = environment(cls, mp, directory)
        made = (inst, other, Project()._getSnapshot())
        pos = [made[v] if type(v) is Marker else v for v in pos]
        pre_kw, kw = ({k: made[v] if type(v) is Marker else v for k, v in d.items()} for d in (pre_kw, kw))
        merged = dict(pre_kw)
        merged.update(kw)
        params = METHODS[cls][name]
        stage, bound = expected_binding(name, params, ([] if form in ("class", "partial") else [inst]) + pos, merged)
        before = dict(vars(inst))
        call = functools.partial(invoke, cls, inst, name, form, pos, split, pre_kw, kw)
        event("%s: %s" % (name, stage))

        if stage != "bound":
            got = outcome(call)
            same_error(got, bound)
            if stage in ("binding", "type", "interpreter"):
                assert any(m.fullmatch(str(got)) for m in BINDING_MESSAGES), got
            # Refusals by type, and the interpreter's own, add no traceback entry; the others one.
            own = "mirvane.%s.%s.%s" % (cls.__module__.split(".")[1], cls.__name__, name)
            entries = [e.name for e in traceback.extract_tb(got.__traceback__) if e.name == own]
            assert len(entries) == (stage in ("binding", "conversion")), entries
            assert vars(inst).keys() == before.keys() and all(vars(inst)[k] is v for k, v in before.items())
            return
        value = bound[params[1]] if len(params) > 1 else None
        if name in ("save", "load") and (not value.lower().endswith(".mvproj") or (
                name == "load" and not os.path.exists(value))):
            same_error(outcome(call), AssertionError())
        elif bound["self"] is not inst:  # the body meets a foreign object's attributes
            parsed = outcome(lambda: reference_parse(value)) if name == "load" else None
            got = outcome(call)
            if isinstance(parsed, Exception):
                same_error(got, parsed)
            else:
                assert not isinstance(got, Exception) or isinstance(got, AttributeError) or (
                    type(got) is TypeError and str(got).endswith("object is not callable")), got  # a snapshot's workspace
        elif name == "play":
            check_play(rig, bound["index"], bound["speed"], bound["moviename"], bound["fps"], call)
        elif name == "save":
            check_save(inst, value, call)
        elif name == "load":
            assert isinstance(check_load(inst, value, call), (type(None), json_format.ParseError, IsADirectoryError))
        elif name == "addBehavior":
            same_error(outcome(call), outcome(lambda: {}.__setitem__(value.name(), value)))
        elif name == "_setSnapshot":
            expected = outcome(lambda: reference_restore(value))
            same_error(outcome(call), expected)
            assert isinstance(expected, Exception) or inst._getSnapshot() == expected
        else:
            result = outcome(call)
            kinds = {"__str__": str, "behaviors": dict, "validate": bool, "_getSnapshot": project_pb2.ProjectSnapshot}
            assert not isinstance(result, Exception) and type(result) is kinds.get(name, type(result)), result


def project_file_tree():
    p = Project()
    p.setWorkspace(build_cell())
    for behavior in cell_behaviors():
        p.addBehavior(behavior)
    return json.loads(json_format.MessageToJson(p._getSnapshot()))


CELL, NEST = project_file_tree(), "@nested@"
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.just(10 ** 400) | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=6)


def slots(node):
    """Every (container, key) pair below ``node``."""
    pairs = node.items() if isinstance(node, dict) else enumerate(node) if isinstance(node, list) else ()
    return [slot for key, value in list(pairs) for slot in [(node, key)] + slots(value)]


@st.composite
def damaged_files(draw):
    """A saved project file with members renamed, retyped, dropped, deeply nested or huge, then its bytes damaged."""
    if draw(st.integers(0, 9)) == 0:
        return draw(st.binary(max_size=64))
    tree = copy.deepcopy(CELL)
    for _ in range(draw(st.integers(0, 3))):
        node, key = draw(st.sampled_from(slots(tree)))
        how = draw(st.sampled_from(["rename", "retype", "drop", "nest", "huge"]))
        if how == "rename" and isinstance(node, dict):
            node[draw(st.text(max_size=12))] = node.pop(key)
        elif how == "drop":
            del node[key]
        else:
            node[key] = {"nest": NEST, "huge": "x" * 2 ** 20}.get(how) or draw(json_values)
    depth = draw(st.sampled_from([1, 99, 101, 1000, 100000]))
    nested = draw(st.sampled_from(["[" * depth + "]" * depth, '{"a":' * depth + "1" + "}" * depth]))
    data = json.dumps(tree, indent=2).replace(json.dumps(NEST), nested).encode()
    at = draw(st.integers(0, len(data)))
    damage = draw(st.sampled_from(["none", "none", "truncate", "insert"]))
    if damage == "truncate":
        data = data[:at]
    elif damage == "insert":
        data = data[:at] + draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\x00", b"\r", b"\\"])) + data[at:]
    return data


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("load")


@fuzz
@given(content=damaged_files())
def test_load_of_a_damaged_file_fails_cleanly_or_restores_it(scratch, content):
    path = str(scratch / "f.mvproj")
    with open(path, "wb") as f:
        f.write(content)
    p = Project()
    workspace = Workspace()
    workspace.addItem("box", 0.1, 0.2)
    p.setWorkspace(workspace)
    p.addBehavior(Behavior("b", steps=("s",)))
    error = check_load(p, path, lambda: p.load(path))
    event(type(error).__name__)
    # Parse turns every failure into ParseError (json's RecursionError on deep nesting too); reading in
    # text mode fails on bytes that are not UTF-8; of the companions only Behavior refuses a parsed message.
    assert error is None or type(error) in (json_format.ParseError, UnicodeDecodeError) or (
        type(error) is ValueError and str(error) == "a behavior name must be a non-empty string"), repr(error)


def test_save_accepts_any_name_the_file_system_accepts(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = "n" * (os.pathconf(".", "PC_NAME_MAX") - len(".mvproj")) + ".mvproj"
    open(name, "w").close()  # the name itself is valid here
    Project().save(name)
    with open(name) as f:
        assert json.loads(f.read())["version"] == __version__


def test_save_through_a_symbolic_link_writes_the_linked_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("shared")
    Project().save("shared/real.mvproj")
    os.symlink("shared/real.mvproj", "link.mvproj")
    p = Project()
    p.addBehavior(Behavior("b"))
    p.save("link.mvproj")
    assert os.path.islink("link.mvproj") and "behaviors" in json.loads(text_of("shared/real.mvproj"))



# -- the catalog's names of files ---------------------------------------------------------------

file_names = st.binary(min_size=1, max_size=40).filter(lambda name: b"/" not in name and b"\0" not in name)


@fuzz
@given(name=file_names, decoy=st.booleans())
def test_the_catalog_names_any_file_in_text_and_finds_it_again(name, decoy):
    from mirvane.catalog.scan import find, on_disk, stored_name

    with tempfile.TemporaryDirectory() as folder:
        path = os.fsdecode(os.fsencode(folder) + b"/" + name + b".rec")
        open(path, "w").close()
        if decoy and stored_name(path) != path:     # a file already named as the escape would be
            open(stored_name(path), "w").close()
        found, refused = find([folder])
        for stored in [*found, *refused]:
            stored.encode("utf-8")      # text the database takes
        if stored_name(path) in found and not (decoy and stored_name(path) != path):
            assert os.path.samefile(on_disk(stored_name(path)), path)
        else:
            assert stored_name(path) in refused and len(found) == 1

# -- the live player's controls and field paths, as pages and scripts send them -----------------

deep = st.integers(1, 3000).map(lambda depth: functools.reduce(lambda inner, _: [inner], range(depth), []))
controls = json_values | st.fixed_dictionaries(
    {"action": st.sampled_from(["play", "stop", "faster", "seek", "jump", "step", "rate", "loop"]) | json_values | deep},
    optional={key: json_values | deep for key in ("time", "seconds", "products", "value", "on")})


@fuzz
@given(request=controls)
def test_a_control_is_carried_out_or_refused_in_one_line_changing_nothing(request):
    clock = Clock([0.0, 0.5, 1.0], paused=True)
    before = clock.status()
    try:
        apply(clock, request)
    except ValueError as e:
        assert "\n" not in str(e) and clock.status() == before


SIMULATED = simulate(0.3, seed=5)
STEPS = [".feedback", ".values", ".robot", ".imag", ".__class__", "[0]", "[5]", f"[{10 ** 400}]", '["box_1"]',
         '["x\n"]', "{", " x"]


@st.composite
def field_paths(draw):
    """The record's field paths spelled otherwise, their robot filter dropped, cut short, steps added."""
    path = draw(st.sampled_from(series.fields(SIMULATED)))
    zeros, past = "0" * draw(st.integers(0, 3)), draw(st.sampled_from([0, 0, 5]))
    path = re.sub(r"\[(\d+)\]", lambda position: f"[{zeros}{int(position[1]) + past}]", path)
    if draw(st.booleans()):
        path = re.sub(r"\{.*?\}", "", path)
    if draw(st.integers(0, 3)) == 0:
        path = path[:draw(st.integers(0, len(path)))]
    path += "".join(draw(st.lists(st.sampled_from(STEPS), max_size=2)))
    return draw(st.sampled_from(["", "/"])) + path + draw(st.sampled_from(["", " ", "\t"]))


@fuzz
@given(path=field_paths())
def test_a_field_path_is_one_series_in_one_spelling_or_refused_in_one_line(path):
    try:
        spelled = str(series.parse(path))
        found = series.series(SIMULATED, path)
    except ValueError as e:
        event("refused")
        assert "\n" not in str(e)
        return
    event("a series")
    assert str(series.parse(spelled)) == spelled and series.series(SIMULATED, spelled) == found and found[0]


@fuzz
@given(data=st.data())
def test_links_move_no_further_than_their_joints_turns_allow(data):
    # What events take for a bound on how much closer two arms came, without measuring them.
    links = data.draw(st.lists(st.floats(0.01, 2.0), min_size=1, max_size=3))
    before, after = (data.draw(st.lists(st.floats(-10.0, 10.0), min_size=len(links), max_size=len(links)))
                     for _ in range(2))
    other = data.draw(st.lists(st.tuples(st.floats(-3.0, 3.0), st.floats(-3.0, 3.0), st.just(0.25)),
                               min_size=2, max_size=4))
    was, now = ([(x, y, 0.2) for x, y in arm_points(0.1, -0.2, 0.7, links, joints)[0]] for joints in (before, after))
    moved = links_moved(links, before, after)
    assert all(math.dist(p, q) <= moved + 1e-9 for p, q in zip(was, now))
    assert links_gap(now, other) >= links_gap(was, other) - moved - 1e-9


# Pieces of conditions: ordinary ones, and what closes the parenthesis to add more to the query.
CONDITION_PIECES = ["errors > 0", "true", "span_s < 1e300", ")", "(", " UNION ALL SELECT * FROM records WHERE (",
                    "true) UNION ALL SELECT * FROM records WHERE (true", "true) UNION SELECT 1, 2 WHERE (true",
                    " ORDER BY 1", " --", "/*", "*/", ";", " OR ", "(SELECT count(*) FROM events) >= 0", "'", '"',
                    " LIMIT 1", "\n", " AND file LIKE '%x%'"]


@pytest.fixture(scope="module")
def one_record_catalog(tmp_path_factory):
    pytest.importorskip("duckdb")
    from mirvane.catalog import store

    path = str(tmp_path_factory.mktemp("catalog") / "runs.duckdb")
    with store.connect(path, write=True) as con:
        con.execute("INSERT INTO records (record_id, file, position, errors) VALUES ('r', 'run.rec', 0, 0)")
    with store.connect(path) as con:
        yield con


@fuzz
@given(pieces=st.lists(st.sampled_from(CONDITION_PIECES), min_size=1, max_size=6), extra=st.text(max_size=8))
def test_a_condition_is_the_records_matching_it_or_refused_in_one_line(one_record_catalog, pieces, extra):
    from mirvane.catalog import query

    try:
        found = query.records(one_record_catalog, "".join(pieces) + extra)
    except query.QueryError as e:
        event("refused")
        assert str(e) and "\n" not in str(e)
        return
    event("records")
    assert found.columns == query.COLUMN_NAMES and len(found.rows) <= 1     # the one record, or none


# A product of every part, whose bytes the property below damages.
_WHOLE = data_pb2.Product(timestamp_ns=7, controller=system_pb2.Controller(
    robot="arm", grasped_item="box", feedback=system_pb2.Feedback(
        joint=system_pb2.JointFeedback(positions=geometry_pb2.Positions(values=[0.5, 1.5])))),
    decision=system_pb2.Decision(behavior="b", step="s"), planner=system_pb2.Planner(
        robot="arm", waypoints=[geometry_pb2.Positions(values=[1.0])]), perception=system_pb2.Perception(
        item_poses={"box": geometry_pb2.Pose(position=geometry_pb2.Vector3(x=1.0))})).SerializeToString()


@st.composite
def damaged_products(draw):
    """A product's bytes with some bytes changed, put in or cut out, or any bytes at all."""
    data = bytearray(draw(st.sampled_from([_WHOLE, b""])))
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(data)))
        how = draw(st.sampled_from(["set", "insert", "cut"]))
        if how == "insert" or at == len(data):
            data[at:at] = draw(st.binary(min_size=1, max_size=6))
        elif how == "set":
            data[at] = draw(st.integers(0, 255))
        else:
            del data[at:at + draw(st.integers(1, 12))]
    return bytes(data)


@fuzz
@given(data=damaged_products())
def test_columns_of_damaged_products_are_protobufs_reading_or_refused(data):
    from mirvane.formats.columns import KIND_CODES, joined, newer_products, product_columns, record_columns
    from mirvane.records import DataFileError, newer_fields

    try:
        newer = newer_fields(data_pb2.Product.FromString(data))
    except (DecodeError, ValueError):
        newer = None
    try:    # checked whole, against the schema: as protobuf reads it
        found = newer_products(joined([data]))
    except DataFileError:
        found = None
    assert found == newer
    try:
        columns = product_columns([data])
    except DataFileError as e:
        event("refused")
        assert e.reason.startswith("not a recording file (product 0: ") and "\n" not in e.reason
        with pytest.raises(DataFileError):
            record_columns(b"\x22" + _VarintBytes(len(data)) + data)
        return
    event("decoded")
    product = data_pb2.Product.FromString(data)     # what the seam takes, protobuf takes too
    assert columns.stamp.tolist() == [product.timestamp_ns]
    assert KIND_CODES[columns.kinds[0]] == (kind_of(product) or "none")
    assert columns.strings[columns.robot[0]] == product.controller.robot
    # Bit for bit: a damaged value may be NaN, which equals nothing as a float.
    positions = list(product.controller.feedback.joint.positions.values)
    assert columns.joints.tobytes() == np.array(positions, dtype=np.float64).tobytes()


_COORDINATE = st.floats(-1e4, 1e4) | st.floats(-1e-300, 1e-300)


@fuzz
@given(p=st.tuples(_COORDINATE, _COORDINATE, _COORDINATE), q=st.tuples(_COORDINATE, _COORDINATE, _COORDINATE))
def test_a_distance_in_the_cell_is_right_to_the_last_bit(p, q):
    # Thresholds are compared on distances: the native geometry's must be within a unit in the last
    # place of the true one (as math.dist is from Python 3.12), whatever the coordinates' scale.
    from mirvane.geometry import segments_apart

    with decimal.localcontext() as exact:
        exact.prec = 80
        true = float(sum((decimal.Decimal(a) - decimal.Decimal(b)) ** 2 for a, b in zip(p, q)).sqrt())
    assert abs(segments_apart(p, p, q, q) - true) <= math.ulp(true)


# One arm and the box _WHOLE names, as a project of the cell's.
_ONE_ARM = project_pb2.ProjectSnapshot()
_ONE_ARM.workspace.robots["arm"].link_lengths.extend([0.5, 0.5])
_ONE_ARM.workspace.items["box"].size.x = 0.1
_ONE_ARM.behaviors["b"].robot = "arm"


@fuzz
@given(data=damaged_products(), stamp=st.sampled_from([0, -(1 << 63), (1 << 63) - 1]))
def test_events_of_damaged_products_are_protobufs_or_refused_changing_nothing(data, stamp):
    from mirvane.analysis.events import Detector

    first = data_pb2.Product(timestamp_ns=stamp, controller=system_pb2.Controller(robot="arm")).SerializeToString()
    fed, fresh = Detector(_ONE_ARM), Detector(_ONE_ARM)
    assert fed.feed_serialized([first]) == fresh.feed_serialized([first])
    try:
        found = fed.feed_serialized([data])
    except ValueError as e:
        event("refused")
        assert str(e).startswith("product 0: ") and "\n" not in str(e)
    else:
        event("fed")    # as protobuf reads the bytes: merged, unknown fields skipped
        assert found == fresh.feed(data_pb2.Product.FromString(data))
    assert fed.feed_serialized([_WHOLE, first]) + fed.finish() == fresh.feed_serialized([_WHOLE, first]) + fresh.finish()



@functools.lru_cache(maxsize=None)
def _plain_mcap():
    """A short run's MCAP export, its chunks neither compressed nor checksummed, so that damage to
    a chunk's records reaches the walk over them."""
    from mcap.writer import CompressionType
    from mirvane.formats.mcap import export_mcap
    from helpers import rewrite, save

    with tempfile.TemporaryDirectory() as where:
        run = simulate(0.5, seed=2)
        for n, product in enumerate(run.products):
            if n % 4 == 1:
                product.perception.item_poses["box"].position.x = n     # a product of two parts
            elif n % 7 == 3:
                product.Clear()     # one of none
                product.timestamp_ns = run.products[n - 1].timestamp_ns
        save(data_pb2.Records(records=[run]), os.path.join(where, "run.rec"))
        export_mcap(os.path.join(where, "run.rec"), os.path.join(where, "run.mcap"))
        rewrite(os.path.join(where, "run.mcap"), os.path.join(where, "run.mcap"), False, chunk_size=1500,
                compression=CompressionType.NONE, enable_crcs=False)
        with open(os.path.join(where, "run.mcap"), "rb") as f:
            return f.read()


@fuzz
@given(damage=st.lists(st.tuples(st.floats(0.0, 0.7), st.binary(min_size=1, max_size=9)), max_size=3))
def test_a_damaged_mcap_spools_what_its_general_reader_reads_or_is_refused(damage):
    from mirvane.formats.spooled import spooled_record
    from mirvane.data import Data
    from mirvane.records import DataFileError, RecordIndexError

    data = bytearray(_plain_mcap())
    for share, bytes_ in damage:
        at = 8 + int(share * len(data))
        data[at:at + len(bytes_)] = bytes_
    with tempfile.TemporaryDirectory() as where:
        path = os.path.join(where, "run.mcap")
        with open(path, "wb") as f:
            f.write(data)
        try:
            spooled = spooled_record(path, 0)[1]
            products = list(spooled.products)
            spooled.close()
        except (DataFileError, RecordIndexError) as e:
            event("refused")
            assert e.reason and "\n" not in e.reason
            return
        try:    # it reads more of the file (message indexes, the scene), and may refuse what the spool skips
            whole = Data.fromFile(path).records()[0]
        except DataFileError:
            event("spooled, refused whole")
            return
        event("spooled")
        assert products == list(whole.products)


@fuzz
@given(data=damaged_products())
def test_a_damaged_products_parts_are_laid_out_as_protobuf_reads_them_or_refused(data):
    from conftest import laid_out
    from mirvane.formats.mcap.channels import PARTS

    later = data_pb2.Product(timestamp_ns=9, decision=system_pb2.Decision(step="after")).SerializeToString()
    written = [(topic, time, message) for topic, time, message in laid_out(data, later)
               if topic.strip("/") in KINDS]
    # The file goes on whole after a product refused, with the next product in it.
    assert written[-1] == ("/decision", 2, system_pb2.Decision(step="after").SerializeToString())
    try:
        product = data_pb2.Product.FromString(data)
    except (DecodeError, ValueError):
        assert written[:-1] == []       # what protobuf refuses, the native walk refuses
        return
    if not written[:-1]:
        event("refused or no part")     # bytes no writer makes (a known field's wire type) are refused too
        return
    event("laid out")
    parts = [(topic, cls) for part, topic, cls in PARTS if product.HasField(part)]
    assert [(topic, time) for topic, time, _ in written[:-1]] == [(topic, 1) for topic, _ in parts]
    for (_, _, message), (topic, cls) in zip(written, parts):
        assert cls.FromString(message) == getattr(product, topic.strip("/"))
