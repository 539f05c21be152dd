"""One interpreter per process, and one initialisation per module object.

Each case runs in a fresh interpreter: a module, once initialised, stays so
for the life of the process."""

import subprocess
import sys
import textwrap

import pytest

# A sub-interpreter that shares the main one's GIL: newer interpreters refuse
# modules in isolated ones before the module itself is asked.
SUBINTERPRETER = """
try:
    import _xxsubinterpreters as interpreters
    try:
        interp = interpreters.create(isolated=False)
    except TypeError:
        interp = interpreters.create()
except ImportError:
    import _interpreters as interpreters
    interp = interpreters.create("legacy")

def run_in_sub(code):
    try:
        failure = interpreters.run_string(interp, code)
    except interpreters.RunFailedError as error:
        return str(error)
    return failure.formatted if failure else None
"""


def run(code):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.mark.parametrize("module", ["mirvane.project", "mirvane.replay"])
def test_a_second_interpreter_cannot_load_the_module(module):
    out = run(SUBINTERPRETER + f"""
import {module}
print(run_in_sub("import {module}"))
""")
    # Older interpreters report it as "<class 'ImportError'>: ...".
    assert "ImportError" in out[-1]
    assert out[-1].endswith(
        ": Interpreter change detected - this module can only be loaded into one interpreter per process.")


def test_reimport_gives_the_same_module_and_runs_nothing_again():
    out = run("""
import sys
import mirvane.replay as first
replay_class = first.Replay
first.marker = "kept"
del sys.modules["mirvane.replay"], sys.modules["mirvane.project"]
import mirvane.replay as second
# The statements did not run again: they would have imported mirvane.project.
print(second is first, second.Replay is replay_class, second.marker, "mirvane.project" in sys.modules)
""")
    assert out == ["True True kept False"]


def test_exec_step_runs_once_per_module_object():
    out = run("""
import _imp, importlib.util, sys
spec = importlib.util.find_spec("mirvane.replay")
first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
_imp.exec_dynamic(first)
print(first is not second, sys.modules["mirvane.replay"] is first, "mirvane.project" in sys.modules)
try:
    _imp.exec_dynamic(second)
except RuntimeError as error:
    print(error)
print(_imp.exec_dynamic(first), _imp.create_dynamic(spec) is first)
""")
    assert out == [
        "True True True",
        "Module 'replay' has already been imported. Re-initialisation is not supported.",
        "0 True",
    ]


def test_create_step_copies_what_the_spec_has():
    out = run("""
import _imp, importlib.util, types
origin = importlib.util.find_spec("mirvane.project").origin
full = types.SimpleNamespace(name="mirvane.project", origin=origin, loader=None, parent=None,
                             submodule_search_locations=["elsewhere"])
module = _imp.create_dynamic(full)
print(module.__name__, module.__package__, module.__loader__, module.__path__, module.__file__ == origin)
bare = types.SimpleNamespace(name="mirvane.project", origin=origin, submodule_search_locations=None)
module = _imp.create_dynamic(bare)
print(sorted(k for k in vars(module) if k not in ("__name__", "__doc__", "__spec__")))
""")
    assert out == ["mirvane.project None None ['elsewhere'] True", "['__file__', '__loader__', '__package__']"]
