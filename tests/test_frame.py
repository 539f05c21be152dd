"""The module frame as seen through mirvane.project: argument binding, method
objects, module initialisation, global lookup and traceback entries."""

import builtins
import ctypes
import importlib
import inspect
import json
import os
import pydoc
import subprocess
import sys
import textwrap
import traceback
import types
import typing
import warnings

import pytest
from google.protobuf import json_format

import mirvane.project as m
from dravik.api import project_pb2
from mirvane.project import Project

METHODS = ["__init__", "__str__", "setWorkspace", "workspace", "addBehavior", "behaviors", "system", "save",
           "load", "validate", "_getSnapshot", "_setSnapshot"]


def entries(excinfo):
    """Traceback entry names below the test's own frame."""
    return [f.name for f in traceback.extract_tb(excinfo.tb)][1:]


def run(script, *flags, cwd=None):
    done = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


class Named:
    def name(self):
        return "n"


# -- binding -----------------------------------------------------------------

@pytest.mark.parametrize("call, message, method", [
    (lambda p: Project(1), "__init__() takes exactly 1 positional argument (2 given)", "__init__"),
    (lambda p: p.addBehavior(), "addBehavior() takes exactly 2 positional arguments (1 given)", "addBehavior"),
    (lambda p: Project.validate(), "validate() takes exactly 1 positional argument (0 given)", "validate"),
    (lambda p: p.save("a.mvproj", "b"), "save() takes exactly 2 positional arguments (3 given)", "save"),
    # A missing required parameter is reported before any unknown keyword.
    (lambda p: p.addBehavior(foo=1), "addBehavior() takes exactly 2 positional arguments (1 given)",
     "addBehavior"),
    (lambda p: Project.addBehavior(foo=1), "addBehavior() takes exactly 2 positional arguments (0 given)",
     "addBehavior"),
    # Too many positionals are reported before keywords are looked at.
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
    names = [n for n in entries(excinfo) if n != "<lambda>"]
    assert names == ([f"mirvane.project.Project.{method}"] if method else [])
    assert p.behaviors() == {}


@pytest.mark.parametrize("call", [
    lambda p, b: Project.addBehavior(self=p, behavior=b),
    lambda p, b: Project.addBehavior(behavior=b, self=p),
    lambda p, b: p.addBehavior(behavior=b),
    # A keyword name made at run time is not interned: matched by text.
    lambda p, b: Project.addBehavior(p, **{"".join(["beh", "avior"]): b}),
])
def test_keywords_bind_every_parameter(call):
    p, b = Project(), Named()
    assert call(p, b) is None
    assert p.behaviors() == {"n": b}


@pytest.mark.parametrize("value, type_name", [
    (None, "NoneType"), (type("Text", (str,), {})("x.mvproj"), "Text"), (b"x.mvproj", "bytes"), (3, "int")])
@pytest.mark.parametrize("method", ["save", "load"])
def test_file_must_be_exactly_str(method, value, type_name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for call in (lambda: getattr(Project(), method)(value), lambda: getattr(Project, method)(Project(), file=value)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == f"Argument 'file' has incorrect type (expected str, got {type_name})"
        assert entries(excinfo) == ["<lambda>"]  # no entry for the method itself
    assert os.listdir(tmp_path) == []


# -- method objects ----------------------------------------------------------

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
    assert type(f).__name__ == "native_function"
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"Project.{name}", "mirvane.project")
    assert f.__doc__ is None and f.__closure__ is None and f.__globals__ is vars(m)
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__annotations__ == annotations
    code = f.__code__
    assert (code.co_name, code.co_varnames, code.co_argcount) == (name, varnames, params)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0


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


def test_attribute_writes_accepted(monkeypatch):
    f = Project.validate
    monkeypatch.setattr(f, "__annotations__", None)
    assert f.__annotations__ == {}
    monkeypatch.delattr(f, "__doc__")
    assert f.__doc__ is None
    monkeypatch.setattr(f, "__doc__", "text")
    monkeypatch.setattr(f, "marker", 1, raising=False)
    assert (f.__doc__, f.__dict__) == ("text", {"marker": 1})
    with pytest.raises(TypeError, match="^function's dictionary may not be deleted$"):
        del f.__dict__


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


def test_descriptor_binding():
    p = Project()
    assert Project.save is vars(Project)["save"]
    assert p.save.__func__ is Project.save and p.save.__self__ is p
    bound_none = Project.save.__get__(None, Project)
    assert bound_none.__self__ is None and bound_none.__func__ is Project.save


def test_introspection_tools_work():
    assert str(inspect.signature(Project.save)) == "(self, file: 'str')"
    assert str(inspect.signature(Project.behaviors)) == "(self) -> 'Dict[str, Behavior]'"
    text = pydoc.render_doc(Project, renderer=pydoc.plaintext)
    assert "load(self, file: 'str')" in text and "validate(self) -> 'bool'" in text


# -- the module and its class --------------------------------------------------

def test_module_namespace():
    dunders = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
               "__test__"}
    imported = {"os": os, "logging": importlib.import_module("logging"), "Dict": typing.Dict,
                "MessageToJson": json_format.MessageToJson, "Parse": json_format.Parse,
                "project_pb2": project_pb2, "__version__": importlib.import_module("mirvane._version").__version__,
                "MV_PROJECT_FILE_EXT": importlib.import_module("mirvane.constants").MV_PROJECT_FILE_EXT,
                "Workspace": importlib.import_module("mirvane.workspace").Workspace,
                "Behavior": importlib.import_module("mirvane.behavior").Behavior,
                "System": importlib.import_module("mirvane.system").System}
    assert set(vars(m)) == dunders | set(imported) | {"Project"}
    assert all(getattr(m, k) is v for k, v in imported.items())
    assert m.__test__ == {} and m.__doc__ is None and m.__builtins__ is builtins
    assert (m.__name__, m.__package__, m.__file__) == ("mirvane.project", "mirvane", m.__spec__.origin)
    assert m.__loader__ is m.__spec__.loader and not hasattr(m, "__path__")


def test_class_shape():
    assert type(Project) is type and Project.__bases__ == (object,) and Project.__doc__ is None
    assert (Project.__qualname__, Project.__module__) == ("Project", "mirvane.project")
    assert [k for k in vars(Project) if not k.startswith("__") or k in METHODS] == METHODS


def test_reimport_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "mirvane.project")
    again = importlib.import_module("mirvane.project")
    assert again is m and again.Project is Project  # the statements did not run again


def test_exec_step_only_for_its_own_module():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(m)
    assert api.PyModule_ExecDef(m, definition) == 0
    with pytest.raises(RuntimeError) as excinfo:
        api.PyModule_ExecDef(types.ModuleType("other"), definition)
    assert str(excinfo.value) == ("Module 'project' has already been imported. "
                                  "Re-initialisation is not supported.")


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
    lines = [json.loads(line) for line in run(IMPORT_SCRIPT.format(setup=setup))]
    assert lines[0] == first
    assert lines[1:] == ([] if first[0] == "ok" else [["ok", True]])


def test_second_interpreter_is_refused():
    out = run("""
        import mirvane.project, _xxsubinterpreters as sub
        try:
            sub.run_string(sub.create(), "import mirvane.project")
        except Exception as e:
            print(e)
    """)
    assert out == ["<class 'ImportError'>: Interpreter change detected - this module can only be loaded into "
                   "one interpreter per process."]


# -- globals, built-ins and traceback entries ---------------------------------

@pytest.fixture
def saved(tmp_path):
    path = str(tmp_path / "p.mvproj")
    Project().save(path)
    return path


def with_behavior(p):
    p.addBehavior(Named())
    return p


@pytest.mark.parametrize("name, call, method", [
    ("System", lambda p, path: Project(), "__init__"),
    ("Workspace", lambda p, path: Project(), "__init__"),
    ("__version__", lambda p, path: p._getSnapshot(), "_getSnapshot"),
    ("Behavior", lambda p, path: with_behavior(p)._getSnapshot(), "_getSnapshot"),
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


def test_global_falls_back_to_builtins_and_rebinding_takes_effect(saved, monkeypatch):
    Project().save(saved)  # the lookup sites have cached their values
    monkeypatch.delattr(m, "os")
    monkeypatch.setattr(builtins, "os", os, raising=False)
    monkeypatch.setattr(m, "MessageToJson", lambda snapshot: '{"version": "rebound"}')
    Project().save(saved)
    with open(saved) as f:
        assert f.read() == '{"version": "rebound"}'


def test_builtins_are_taken_at_import(saved, monkeypatch):
    real_assertion_error = AssertionError

    def no_open(*args, **kwargs):
        raise RuntimeError("builtins.open must not be used")

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "open", no_open)
        patch.setattr(builtins, "AssertionError", KeyError)
        Project().save(saved)
        Project().load(saved)
        try:
            Project().save(saved + ".txt")
        except BaseException as e:
            error = e
    assert type(error) is real_assertion_error and error.args == ()


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
