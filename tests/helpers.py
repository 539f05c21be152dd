"""Helpers shared by the tests."""

import contextlib
import json
import os
import re
import shutil
import select
import subprocess
import sys
import textwrap
import time
import traceback
import urllib.error
import urllib.request
from pathlib import Path

import numpy as np
import pytest
from imageio_ffmpeg import read_frames

from dravik.api import data_pb2, system_pb2
from mirvane.data import Data
from mirvane.simulation.cell import simulate
from mirvane.system import System

# ffmpeg for decoding is started without running Python in the forked child first (imageio-ffmpeg
# would, to keep it out of Ctrl-C): the test process holds native threads (rerun's), and a fork
# that runs Python beside them may hang on a lock one of them held, as it did under the sanitizers.
os.environ["IMAGEIO_FFMPEG_NO_PREVENT_SIGINT"] = "1"
from mirvane.workspace import Workspace
from replay_fakes import SECOND

#: The console script installed beside the interpreter running the tests.
MIRVANE = str(Path(sys.executable).with_name("mirvane"))


def mirvane(*args, cwd, env=None, timeout=120):
    """The command run as a user runs it, as a process: its exit status and output (text)."""
    return subprocess.run([MIRVANE, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


# Runs a command in a grandchild forked from a small interpreter and gives back its exit status and
# peak memory. A child forked straight from the test process would count the test's own memory:
# the kernel keeps a process's peak across exec.
_MEASURED = """import os, sys
child = os.fork()
if child == 0:
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(child, 0)
sys.stderr.write("peak %d kB\\n" % usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def peak_memory(args, cwd, out):
    """Runs ``args`` with standard output and error to the file ``out``; gives its exit status and
    peak memory in kB (the last line of ``out``, which this removes)."""
    done = subprocess.run(measured(args), cwd=cwd, stdout=out, stderr=out)
    return (done.returncode, *said_and_peak(out))


def measured(args):
    """``args`` run so that their peak memory is the last line of their standard error."""
    return [sys.executable, "-c", _MEASURED, *map(str, args)]


def said_and_peak(out):
    """What a ``measured`` command wrote to the file ``out``, and its peak memory in kB."""
    out.seek(0)
    *said, peak = out.read().splitlines(keepends=True)
    return "".join(said), int(re.fullmatch(r"peak (\d+) kB\n", peak).group(1))


def lossless_ffmpeg(where):
    """An environment in which movies are written losslessly (moviepy's ffmpeg command with an exact
    RGB codec in place of its lossy one), so that decoded frames compare pixel for pixel."""
    script = where / "ffmpeg-lossless"
    script.write_text(f"#!{sys.executable}\n" + textwrap.dedent("""\
        import os, sys
        from imageio_ffmpeg import get_ffmpeg_exe
        exact = {"libx264": ["libx264rgb", "-qp", "0"], "yuv420p": ["rgb24"], "yuva420p": ["rgb24"]}
        os.execv(get_ffmpeg_exe(), [get_ffmpeg_exe(), *(a for arg in sys.argv[1:] for a in exact.get(arg, [arg]))])
        """))
    script.chmod(0o755)
    return dict(os.environ, FFMPEG_BINARY=str(script))


def decoded(movie):
    """A movie's frames as RGB arrays, decoded by the bundled ffmpeg."""
    frames = read_frames(str(movie))
    width, height = next(frames)["size"]
    return [np.frombuffer(raw, np.uint8).reshape(height, width, 3) for raw in frames]


def listing(*roots, contents=False):
    """Every path below each root, relative to it and sorted, by root; with ``contents``, each
    with its bytes (a regular file's, else b"")."""
    def entry(path, root):
        name = str(path.relative_to(root))
        return (name, path.read_bytes() if path.is_file() and not path.is_symlink() else b"") if contents else name
    return {root: sorted(entry(p, root) for p in Path(root).rglob("*")) for root in roots}


def entries(excinfo):
    """Traceback entry names below the test's own frame."""
    return [f.name for f in traceback.extract_tb(excinfo.tb)][1:]


def run(script, *flags, cwd=None, env=None):
    """Runs `script` in a fresh interpreter (a module initialises once per process)."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def read_until(process, text, timeout=60):
    """What ``process`` wrote to its stdout and stderr pipes up to the first ``text``."""
    seen = ""
    deadline = time.monotonic() + timeout
    while text not in seen:
        assert process.poll() is None and time.monotonic() < deadline, seen
        ready, _, _ = select.select([process.stdout, process.stderr], [], [], 0.1)
        for pipe in ready:
            seen += os.read(pipe.fileno(), 4096).decode(errors="replace")
    return seen


@contextlib.contextmanager
def serving(where, *args, name="run", beside=(), recording=None):
    """``mirvane replay NAME.rec [B.rec] --project NAME.mvproj ARGS`` (a ``--serve`` among them; ``beside``: the
    second recording; ``recording``: that one alone, in the project it carries) run in ``where`` as a process:
    gives it and the URLs it printed for its page, and ends it on the way out."""
    given = [recording] if recording else [f"{name}.rec", *map(str, beside), "--project", f"{name}.mvproj"]
    process = subprocess.Popen([MIRVANE, "replay", *given, *map(str, args)], cwd=where, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        seen = read_until(process, "Live view at")
        while not (note := re.search(r"Live view at (.*) \((?:until the end|Ctrl-C stops)\)", seen)):
            seen += read_until(process, ")")
        yield process, note[1].split(" or ")
    finally:
        process.kill()
        process.wait()


def request(url, path, body=None, headers=None, method=None):
    """(status, answer) of one request, a JSON answer decoded; a dict or list body is sent as JSON."""
    data = json.dumps(body).encode() if isinstance(body, (dict, list)) else body
    sent = {"Content-Type": "application/json"} if data is not None else {}
    req = urllib.request.Request(url + path, data=data, headers={**sent, **(headers or {})}, method=method)
    try:
        answer = urllib.request.urlopen(req, timeout=10)
    except urllib.error.HTTPError as refused:
        answer = refused
    with answer:
        content = answer.read()
        return answer.status, json.loads(content or b"null") if "json" in answer.headers["Content-Type"] else content


class Screen:
    """A tmux terminal's screen: keys pressed on it, and what it shows."""

    def __init__(self, session):
        self.session = session

    def press(self, *keys):
        subprocess.run(["tmux", "send-keys", "-t", self.session, *keys], check=True)

    def shows(self, pattern, timeout=20):
        """The first match of the regular expression ``pattern`` on the screen, once there is one."""
        deadline = time.monotonic() + timeout
        while True:
            screen = subprocess.run(["tmux", "capture-pane", "-p", "-t", self.session], capture_output=True,
                                    text=True).stdout
            found = re.search(pattern, screen)
            if found or time.monotonic() > deadline:
                assert found, f"{pattern!r} not on the screen:\n{screen}"
                return found
            time.sleep(0.1)


@contextlib.contextmanager
def terminal(command, cwd):
    """``command`` run in a 150 x 10 tmux terminal, then ``EXIT=`` its status; its ``Screen`` until the block ends."""
    if not shutil.which("tmux"):
        subprocess.run("apt-get update -q && apt-get install -y -q tmux", shell=True, check=True, capture_output=True)
    session = f"mirvane-{os.getpid()}-{Path(cwd).name}"
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "150", "-y", "10", "-c", str(cwd),
                    f"{command}; echo EXIT=$?; sleep 30"], check=True)
    try:
        yield Screen(session)
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session], capture_output=True)


def save(records, path):
    """``records`` (a Records message) saved as a recording file at ``path``; gives ``path``."""
    data = Data()
    for record in records.records:
        data.addRecord(record)
    data.save(path)
    return path


def odd_records():
    """Records that stretch the format: part-less products, several parts in one product,
    an empty record, a record without a project, overlapping and negative times out of order."""
    busy = simulate(0.3, seed=5, start_ns=2 * SECOND)
    both = busy.products.add(timestamp_ns=busy.products[-1].timestamp_ns)
    both.perception.CopyFrom(busy.products[0].perception)
    both.controller.CopyFrom(busy.products[1].controller)
    busy.products.insert(0, data_pb2.Product(timestamp_ns=busy.products[0].timestamp_ns))
    busy.products.insert(7, data_pb2.Product(timestamp_ns=3))
    busy.products.add(timestamp_ns=busy.products[-1].timestamp_ns)
    busy.products.add(decision=system_pb2.Decision())       # a part that is present but empty
    empty = data_pb2.Record(start_timestamp_ns=7, stop_timestamp_ns=9)
    early = data_pb2.Record(stop_timestamp_ns=-1)
    for t in (-5, 4 * SECOND, -9 * SECOND):
        early.products.add(timestamp_ns=t, planner=system_pb2.Planner(robot="arm_a"))
    early.products.add(timestamp_ns=-2)
    return data_pb2.Records(records=[busy, empty, early, empty])


class StandIn:
    """The two accessors of a project the viewer relies on."""

    def __init__(self, workspace=None, system=None):
        self._workspace = workspace if workspace is not None else Workspace()
        self._system = system if system is not None else System()

    def workspace(self):
        return self._workspace

    def system(self):
        return self._system


def shown_events(events):
    """Where the exports show the events ``mirvane events --format json`` lists: (seconds, severity,
    kind, text) at each event's time and, for a range event, at its end, its text then beginning
    "ended: "; in time order."""
    entries = [(e["time"], e["severity"], e["kind"], e["text"]) for e in events]
    entries += [(e["end"], e["severity"], e["kind"], "ended: " + e["text"]) for e in events if e["end"] != e["time"]]
    return sorted(entries, key=lambda entry: (entry[0], entry[3]))


def assert_shown(found, events):
    """``found``, entries as ``shown_events`` gives them, are the ``events``' at their times to a microsecond."""
    found, expected = sorted(found, key=lambda entry: (entry[0], entry[3])), shown_events(events)
    assert [entry[1:] for entry in found] == [entry[1:] for entry in expected]
    assert [entry[0] for entry in found] == pytest.approx([entry[0] for entry in expected], abs=1e-6)


def rewrite(source, out, sort, drop=(), **options):
    """``source``'s messages written anew by the mcap library's writer with ``options``;
    ``sort``: in log time order, and at one time by topic (parts before /record); those of the
    channels ``drop`` names left out."""
    from mcap.reader import make_reader
    from mcap.writer import Writer

    with open(source, "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        messages = [m for m in reader.iter_messages(log_time_order=False) if m[1].topic not in drop]
    if sort:
        messages.sort(key=lambda m: (m[2].log_time, m[1].topic))
    with open(out, "wb") as f:
        writer = Writer(f, **options)
        writer.start()
        schemas = {i: writer.register_schema(s.name, s.encoding, s.data) for i, s in summary.schemas.items()}
        channels = {i: writer.register_channel(c.topic, c.message_encoding, schemas[c.schema_id])
                    for i, c in summary.channels.items()}
        for _, channel, message in messages:
            writer.add_message(channels[channel.id], message.log_time, message.data, message.publish_time,
                               message.sequence)
        writer.finish()


def _varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def newer_recording(good, path):
    """``good`` as a newer version might write it: a field this one does not know in the record
    and in its first products (of either kind), and in a perception part."""
    record = Data.fromFile(good).records()[0]
    record = data_pb2.Record.FromString(record.SerializeToString())
    for product in record.products[:40]:
        product.ParseFromString(product.SerializeToString() + b"\x48\x07")     # field 9: 7
    perception = next(p for p in record.products if p.HasField("perception")).perception
    perception.ParseFromString(perception.SerializeToString() + b"\xfa\x01\x02hi")  # field 31: "hi"
    blob = record.SerializeToString(deterministic=True) + b"\x52\x03new"      # field 10: "new"
    path.write_bytes(b"\x0a" + _varint(len(blob)) + blob)


def foreign(path, *messages):
    """An MCAP written by another program: (topic, message, log time, sequence) in turn."""
    from mcap_protobuf.writer import Writer as ProtobufWriter

    with open(path, "wb") as f, ProtobufWriter(f) as writer:
        for topic, message, stamp, sequence in messages:
            writer.write_message(topic, message, log_time=stamp, publish_time=stamp, sequence=sequence)
