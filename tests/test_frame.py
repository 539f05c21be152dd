"""The module frame as seen through mirvane.project: argument binding, method
objects, module initialisation, global lookup and traceback entries."""

import builtins
import copy
import ctypes
import importlib
import inspect
import json
import os
import pickle
import pydoc
import sys
import types
import typing
import warnings

import pytest
from google.protobuf import json_format

import mirvane.project as m
from dravik.api import project_pb2
from helpers import entries, run
from mirvane.project import Project
from mirvane.replay import Replay

METHODS = ["__init__", "__str__", "setWorkspace", "workspace", "addBehavior", "behaviors", "system", "save",
           "load", "validate", "_getSnapshot", "_setSnapshot"]


class Named:
    def name(self):
        return "n"


@pytest.mark.parametrize("call, message, method", [
    (lambda p: Project(1), "__init__() takes exactly 1 positional argument (2 given)", "__init__"),
    (lambda p: p.addBehavior(), "addBehavior() takes exactly 2 positional arguments (1 given)", "addBehavior"),
    (lambda p: Project.validate(), "validate() takes exactly 1 positional argument (0 given)", "validate"),
    (lambda p: p.save("a.mvproj", "b"), "save() takes exactly 2 positional arguments (3 given)", "save"),
    # A missing required parameter is reported before any unknown keyword...
    (lambda p: p.addBehavior(foo=1), "addBehavior() takes exactly 2 positional arguments (1 given)",
     "addBehavior"),
    (lambda p: Project.addBehavior(foo=1), "addBehavior() takes exactly 2 positional arguments (0 given)",
     "addBehavior"),
    (lambda p: Project.addBehavior(self=p), "addBehavior() takes exactly 2 positional arguments (1 given)",
     "addBehavior"),
    # ...and too many positionals before any keyword is looked at.
    (lambda p: Project.save(p, p, p, file="x"), "save() takes exactly 2 positional arguments (3 given)", "save"),
    (lambda p: p.addBehavior(Named(), foo=1), "addBehavior() got an unexpected keyword argument 'foo'",
     "addBehavior"),
    (lambda p: Project.save(p, "x", file="y"), "save() got multiple values for keyword argument 'file'", "save"),
    (lambda p: p.save(file="x.mvproj", self=p), "save() got multiple values for keyword argument 'self'", "save"),
    (lambda p: Project.validate(p, x=1, self=p), "validate() got an unexpected keyword argument 'x'", "validate"),
    (lambda p: Project.validate(p, self=p, x=1), "validate() got multiple values for keyword argument 'self'",
     "validate"),
    (lambda p: Project.save(p, **{1: "x.mvproj"}), "keywords must be strings", None),
])
def test_binding_errors(call, message, method):
    p = Project()
    with pytest.raises(TypeError) as excinfo:
        call(p)
    assert str(excinfo.value) == message
    assert entries(excinfo)[1:] == ([f"mirvane.project.Project.{method}"] if method else [])
    assert p.behaviors() == {}


@pytest.mark.parametrize("call", [
    lambda p, b: Project.addBehavior(self=p, behavior=b),
    lambda p, b: Project.addBehavior(behavior=b, self=p),
    lambda p, b: p.addBehavior(behavior=b),
    # A keyword name made at run time is not interned: matched by its text.
    lambda p, b: Project.addBehavior(p, **{"".join(["beh", "avior"]): b}),
])
def test_keywords_bind_every_parameter(call):
    p, b = Project(), Named()
    assert call(p, b) is None and p.behaviors() == {"n": b}


@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (type("Text", (str,), {})("x.mvproj"), "Text"), (b"x.mvproj", "bytes"), (3, "int")])
@pytest.mark.parametrize("method", ["save", "load"])
def test_file_must_be_exactly_str(method, value, type_name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for call in (lambda: getattr(Project(), method)(value), lambda: getattr(Project, method)(Project(), file=value)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == f"Argument 'file' has incorrect type (expected str, got {type_name})"
        assert entries(excinfo) == ["<lambda>"]  # no entry for the method
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name, params, varnames, annotations", [
    ("__init__", 1, ("self",), {}),
    ("__str__", 1, ("self", "print_str", "behavior"), {"return": "str"}),
    ("setWorkspace", 2, ("self", "workspace"), {"workspace": "Workspace"}),
    ("workspace", 1, ("self",), {"return": "Workspace"}),
    ("addBehavior", 2, ("self", "behavior"), {"behavior": "Behavior"}),
    ("behaviors", 1, ("self",), {"return": "Dict[str, Behavior]"}),
    ("system", 1, ("self",), {"return": "System"}),
    ("save", 2, ("self", "file", "path", "_", "f", "snapshot", "json_string"), {"file": "str"}),
    ("load", 2, ("self", "file", "f", "json_string", "snapshot"), {"file": "str"}),
    ("validate", 1, ("self",), {"return": "bool"}),
    ("_getSnapshot", 1, ("self", "snapshot", "key", "value"), {"return": "project_pb2.ProjectSnapshot"}),
    ("_setSnapshot", 2, ("self", "snapshot", "key", "value"), {"snapshot": "project_pb2.ProjectSnapshot"}),
])
def test_method_object_attributes(name, params, varnames, annotations):
    f = vars(Project)[name]
    assert (type(f).__name__, type(f).__module__) == ("native_function", "mirvane.project")
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"Project.{name}", "mirvane.project")
    assert f.__doc__ is None and f.__closure__ is None and f.__globals__ is vars(m)
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__annotations__ == annotations
    code = f.__code__
    assert (code.co_name, code.co_varnames, code.co_argcount) == (name, varnames, params)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("f", [f for cls in (Project, Replay) for f in vars(cls).values() if callable(f)],
                         ids=lambda f: f.__qualname__)
def test_method_objects_pickle_by_reference_and_copy_as_themselves(f, protocol):
    assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


@pytest.mark.parametrize("attribute, value, exc, message", [
    ("__name__", 1, TypeError, "__name__ must be set to a string object"),
    ("__qualname__", None, TypeError, "__qualname__ must be set to a string object"),
    ("__defaults__", [1], TypeError, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), TypeError, "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], TypeError, "__annotations__ must be set to a dict object"),
    ("__dict__", [], TypeError, "setting function's dictionary to a non-dict"),
    ("__globals__", {}, AttributeError, None),
    ("__code__", None, AttributeError, None),
])
def test_attribute_writes_refused(attribute, value, exc, message):
    with pytest.raises(exc) as excinfo:
        setattr(Project.validate, attribute, value)
    assert message is None or str(excinfo.value) == message


@pytest.mark.parametrize("attribute, value", [("__defaults__", (None,)), ("__kwdefaults__", {"behavior": None})])
def test_default_writes_warn_and_leave_calls_alone(attribute, value):
    f = Project.addBehavior
    with pytest.warns(RuntimeWarning):
        setattr(f, attribute, value)
    try:
        assert getattr(f, attribute) == value
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
            Project().addBehavior()
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(f, attribute, None)


def test_binding_and_introspection():
    p = Project()
    assert Project.save is vars(Project)["save"] and p.save.__func__ is Project.save and p.save.__self__ is p
    bound_none = Project.save.__get__(None, Project)
    assert bound_none.__self__ is None and bound_none.__func__ is Project.save
    assert str(inspect.signature(Project.save)) == "(self, file: 'str')"
    assert str(inspect.signature(Project.behaviors)) == "(self) -> 'Dict[str, Behavior]'"
    text = pydoc.render_doc(Project, renderer=pydoc.plaintext)
    assert "load(self, file: 'str')" in text and "validate(self) -> 'bool'" in text


def test_module_and_class():
    imported = {"os": os, "logging": sys.modules["logging"], "Dict": typing.Dict, "project_pb2": project_pb2,
                "MessageToJson": json_format.MessageToJson, "Parse": json_format.Parse}
    for module, name in [("_version", "__version__"), ("constants", "MV_PROJECT_FILE_EXT"),
                         ("workspace", "Workspace"), ("behavior", "Behavior"), ("system", "System")]:
        imported[name] = getattr(importlib.import_module("mirvane." + module), name)
    assert set(vars(m)) == set(imported) | {"Project", "__test__", "__builtins__", "__doc__", "__file__",
                                            "__loader__", "__name__", "__package__", "__spec__"}
    assert all(getattr(m, k) is v for k, v in imported.items())
    assert m.__test__ == {} and m.__doc__ is None and m.__builtins__ is builtins and not hasattr(m, "__path__")
    assert (m.__package__, m.__file__, m.__loader__) == ("mirvane", m.__spec__.origin, m.__spec__.loader)
    assert type(Project) is type and Project.__bases__ == (object,) and Project.__doc__ is None
    assert (Project.__qualname__, Project.__module__) == ("Project", "mirvane.project")
    assert [k for k in vars(Project) if not k.startswith("__") or k in METHODS] == METHODS


def test_reimport_and_exec_step(monkeypatch):
    monkeypatch.delitem(sys.modules, "mirvane.project")
    again = importlib.import_module("mirvane.project")
    assert again is m and again.Project is Project  # the statements did not run again
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(m)
    assert api.PyModule_ExecDef(m, definition) == 0
    with pytest.raises(RuntimeError) as excinfo:
        api.PyModule_ExecDef(types.ModuleType("other"), definition)
    assert str(excinfo.value) == "Module 'project' has already been imported. Re-initialisation is not supported."


IMPORT_SCRIPT = """
import json, sys, traceback, types
import mirvane
{setup}
try:
    import mirvane.project
    print(json.dumps(["ok", mirvane.project.project_pb2 is sys.modules["dravik.api.project_pb2"]]))
except Exception as e:
    print(json.dumps([type(e).__name__, str(e), traceback.extract_tb(e.__traceback__)[-1].name,
                      "mirvane.project" in sys.modules]))
    sys.modules.pop("mirvane.system")
    import mirvane.project  # a failed import starts again from scratch
    print(json.dumps(["ok", mirvane.project.Project().validate()]))
"""


@pytest.mark.parametrize("setup, first", [
    ("sys.modules['mirvane.system'] = types.ModuleType('mirvane.system')",
     ["ImportError", "cannot import name System", "init mirvane.project", False]),
    ("sys.modules['mirvane.system'] = None",
     ["ModuleNotFoundError", "import of mirvane.system halted; None in sys.modules", "init mirvane.project", False]),
    # A submodule missing as a package attribute is taken from sys.modules.
    ("import dravik.api.project_pb2; del sys.modules['dravik.api'].project_pb2", ["ok", True]),
])
def test_import_failures(setup, first):
    done = run(IMPORT_SCRIPT.format(setup=setup))
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert lines == [first] + ([] if first[0] == "ok" else [["ok", True]])


@pytest.fixture
def saved(tmp_path):
    path = str(tmp_path / "p.mvproj")
    Project().save(path)
    return path


@pytest.mark.parametrize("name, call, method", [
    ("System", lambda p, path: Project(), "__init__"),
    ("Workspace", lambda p, path: Project(), "__init__"),
    ("__version__", lambda p, path: p._getSnapshot(), "_getSnapshot"),
    ("Behavior", lambda p, path: (p.addBehavior(Named()), p._getSnapshot()), "_getSnapshot"),
    ("Behavior", lambda p, path: p._setSnapshot(project_pb2.ProjectSnapshot(
        behaviors={"b": project_pb2.BehaviorModel()})), "_setSnapshot"),
    ("os", lambda p, path: p.save(path), "save"),
    ("MV_PROJECT_FILE_EXT", lambda p, path: p.save(path), "save"),
    ("MessageToJson", lambda p, path: p.save(path), "save"),
    ("project_pb2", lambda p, path: p.save(path), "_getSnapshot"),
    ("os", lambda p, path: p.load(path), "load"),
    ("Parse", lambda p, path: p.load(path), "load"),
    ("project_pb2", lambda p, path: p.load(path), "load"),
])
def test_missing_global_is_name_error(name, call, method, saved, monkeypatch):
    p = Project()
    monkeypatch.delattr(m, name)
    with pytest.raises(NameError) as excinfo:
        call(p, saved)
    assert str(excinfo.value) == f"name '{name}' is not defined"
    assert entries(excinfo)[-1] == f"mirvane.project.Project.{method}"


def test_global_lookup_and_captured_builtins(saved, monkeypatch):
    real_assertion_error = AssertionError
    Project().save(saved)  # the lookup sites have cached their values
    with monkeypatch.context() as patch:
        patch.delattr(m, "os")  # found among the built-ins instead
        patch.setattr(builtins, "os", os, raising=False)
        patch.setattr(m, "MessageToJson", lambda snapshot, **options: '{"version": "rebound"}')
        # open and AssertionError were taken at import: replacing them changes nothing
        patch.setattr(builtins, "open", None)
        patch.setattr(builtins, "AssertionError", KeyError)
        Project().save(saved)
        Project().load(saved)
        try:
            Project().save(saved + ".txt")
        except BaseException as e:
            error = e
    assert type(error) is real_assertion_error and error.args == ()
    with open(saved) as f:
        assert f.read() == '{"version": "rebound"}'


def test_one_entry_per_failing_method():
    class Failing(Project):
        def workspace(self):
            raise KeyError("boom")

    with pytest.raises(KeyError) as excinfo:
        Failing().save("x.mvproj")
    assert entries(excinfo) == ["mirvane.project.Project.save", "mirvane.project.Project._getSnapshot", "workspace"]
    assert excinfo.tb.tb_next.tb_frame.f_globals is vars(m)


def test_native_recursion_is_bounded():
    p = Project()
    p.workspace = p._getSnapshot  # _getSnapshot calls the project's workspace()
    with pytest.raises(RecursionError, match="^maximum recursion depth exceeded while calling a Python object$"):
        p._getSnapshot()


@pytest.mark.parametrize("call", [
    lambda p, callee, mp: p.addBehavior(types.SimpleNamespace(name=callee)),  # behavior.name()
    lambda p, callee, mp: mp.setattr(m, "Workspace", callee) or p.__init__(),  # Workspace()
], ids=["method", "global"])
def test_callee_returning_null_without_error(call, monkeypatch):
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(SystemError, match=r"^NULL result without error in PyObject_Call$"):
        call(Project(), testcapi.return_null_without_error, monkeypatch)
