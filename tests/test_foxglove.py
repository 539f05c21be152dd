"""``mirvane replay --foxglove``: a live replay served to Foxglove, watched by a WebSocket client of the
protocol's own (JSON and binary frames), as the Foxglove app would watch it, steering its playback bar."""

import base64
import json
import os
import re
import struct
import subprocess
import sys
import time

import pytest

from helpers import MIRVANE, mirvane, read_until
from mirvane.data import Data

NEEDS_SDK = pytest.mark.skipif(sys.version_info < (3, 10), reason="foxglove-sdk needs Python 3.10 or newer")
PLAY, PAUSE = 0, 1
PLAYING, PAUSED, ENDED = 0, 1, 3


@pytest.mark.parametrize("args, error", [
    ([], "--foxglove needs Python 3.10 or newer" if sys.version_info < (3, 10)
     else "--foxglove needs foxglove-sdk: pip install 'mirvane[foxglove]'"),
    (["--movie", "out.mp4"], "--foxglove serves a live replay and --movie records one; choose one of them"),
])
def test_foxglove_is_refused_in_one_line_where_it_cannot_serve(recorded, tmp_path, args, error):
    # An interpreter with foxglove-sdk is shown one without it: a module that fails to import comes first.
    (tmp_path / "foxglove.py").write_text("raise ImportError('not here')\n")
    done = mirvane("replay", "run.rec", "--project", "run.mvproj", "--foxglove", *args, cwd=recorded, timeout=60,
                   env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert done.returncode == 2
    assert re.fullmatch(r"mirvane: error: (.*)\n", done.stderr).group(1).startswith(error)
    assert not (recorded / "out.mp4").exists()


class Foxglove:
    """The Foxglove app's side of the protocol, enough to watch and steer a replay."""

    def __init__(self, url):
        self.url = url
        self.info, self.channels, self._subscribed = None, {}, {}
        self.messages, self.states, self.times = [], [], []   # (topic, log time, message), states, times

    def __enter__(self):
        from websockets.sync.client import connect

        self.ws = connect(self.url, subprotocols=["foxglove.sdk.v1"]).__enter__()
        self.until(lambda: self.info is not None and self.channels, timeout=10)
        return self

    def __exit__(self, *exc):
        self.ws.__exit__(*exc)

    def subscribe(self, *topics):
        ids = {topic: id_ for id_, (topic, _) in self.channels.items()}
        self._subscribed.update({n: ids[topic] for n, topic in enumerate(topics)})
        self.ws.send(json.dumps({"op": "subscribe",
                                 "subscriptions": [{"id": n, "channelId": c} for n, c in self._subscribed.items()]}))

    def request(self, command, speed=1.0, seek=None, request_id="r"):
        rid = request_id.encode()
        self.ws.send(bytes([3, command]) + struct.pack("<fBQI", speed, seek is not None, seek or 0, len(rid)) + rid)

    def receive(self, timeout):
        """Take one frame, if one comes within ``timeout`` seconds; whether one came."""
        from websockets.exceptions import ConnectionClosed

        try:
            frame = self.ws.recv(timeout=timeout)
        except (TimeoutError, ConnectionClosed):
            return False
        if isinstance(frame, str):
            message = json.loads(frame)
            if message["op"] == "serverInfo":
                self.info = message
            elif message["op"] == "advertise":
                for channel in message["channels"]:
                    self.channels[channel["id"]] = channel["topic"], _message_class(channel)
        elif frame[0] == 1:     # message data
            subscription, log_time = struct.unpack_from("<IQ", frame, 1)
            topic, cls = self.channels[self._subscribed[subscription]]
            self.messages.append((topic, log_time, cls.FromString(frame[13:])))
        elif frame[0] == 2:     # time
            self.times.append(struct.unpack_from("<Q", frame, 1)[0])
        elif frame[0] == 5:     # playback state
            status, current, speed, did_seek, length = struct.unpack_from("<BQfBI", frame, 1)
            self.states.append((status, current, speed, bool(did_seek), frame[19:19 + length].decode()))
        return True

    def until(self, done, timeout=30):
        deadline = time.monotonic() + timeout
        while not done():
            assert time.monotonic() < deadline, (self.states[-3:], self.times[-3:])
            self.receive(0.2)

    def drain(self):
        """Take the frames on their way: control and data frames need not arrive in the order sent."""
        while self.receive(0.3):
            pass

    def state_for(self, request_id):
        self.until(lambda: any(state[4] == request_id for state in self.states))
        return next(state for state in self.states if state[4] == request_id)

    def log_times(self, topic, since=0):
        return [t for topic_, t, _ in self.messages[since:] if topic_ == topic]

    def events(self, since=0):
        return [(t, m.level, m.name, m.message) for topic, t, m in self.messages[since:] if topic == "/events"]

    def scenes(self, since=0):
        return [message for topic, _, message in self.messages[since:] if topic == "/scene"]


def _message_class(channel):
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    files = descriptor_pb2.FileDescriptorSet.FromString(base64.b64decode(channel["schema"]))
    pool = descriptor_pool.DescriptorPool()
    for file in files.file:
        pool.Add(file)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(channel["schemaName"]))


def _exported_scene(mcap_path, log_time):
    """The export's /scene as a tool shows it at ``log_time``: its latest message up to then."""
    from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
    from mcap.reader import make_reader

    with open(mcap_path, "rb") as f:
        data = [m.data for _, _, m in make_reader(f).iter_messages(topics=["/scene"]) if m.log_time <= log_time][-1]
    return SceneUpdate.FromString(data)


def _exported_events(mcap_path):
    """The export's /events: (log time, level, kind, text) of each."""
    from foxglove_schemas_protobuf.Log_pb2 import Log
    from mcap.reader import make_reader

    with open(mcap_path, "rb") as f:
        logs = [(m.log_time, Log.FromString(m.data)) for _, _, m in make_reader(f).iter_messages(topics=["/events"])]
    return [(time, log.level, log.name, log.message) for time, log in logs]


def _entities(scene):
    """A scene's entities without the time stamps that say when they were drawn."""
    entities = []
    for entity in scene.entities:
        entity = type(entity).FromString(entity.SerializeToString())
        entity.ClearField("timestamp")
        entities.append(entity.SerializeToString(deterministic=True))
    return sorted(entities)


@pytest.fixture
def replaying(recorded):
    """``mirvane replay --paused --serve 0 --foxglove 127.0.0.1:0``: the process and what it printed."""
    process = subprocess.Popen([MIRVANE, "replay", "run.rec", "--project", "run.mvproj", "--paused",
                                "--serve", "0", "--foxglove", "127.0.0.1:0"], cwd=recorded,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    yield process, read_until(process, "(open it in")
    process.kill()
    process.wait()


@NEEDS_SDK
def test_foxglove_watches_and_steers_the_replay(recorded, replaying):
    record = Data.fromFile(recorded / "run.rec").records()[0]
    controllers = {p.timestamp_ns: p.controller for p in record.products if p.HasField("controller")}
    stamps = [p.timestamp_ns for p in record.products]
    process, printed = replaying
    assert re.search(r"Live view at http://127\.0\.0\.1:\d+/", printed)
    with Foxglove(re.search(r"Foxglove at (ws://127\.0\.0\.1:\d+)", printed).group(1)) as app:
        start, end = (app.info[key]["sec"] * 10 ** 9 + app.info[key]["nsec"]
                      for key in ("dataStartTime", "dataEndTime"))
        assert (start, end) == (stamps[0], stamps[-1]) and "playbackControl" in app.info["capabilities"]
        app.subscribe("/scene", "/controller", "/workspace/start", "/events")

        # Paused at the start: a subscriber gets the cell as it stands.
        app.until(lambda: app.log_times("/scene") and app.log_times("/workspace/start"))
        assert _entities(app.scenes()[-1]) == _entities(_exported_scene(recorded / "run.mcap", start))

        # Playing at twice the speed, then paused: every controller message on the way, once, as recorded.
        app.request(PLAY, speed=2.0, request_id="play")
        assert app.state_for("play")[0:3:2] == (PLAYING, 2.0)
        app.until(lambda: app.times and app.times[-1] > start + 10 ** 9)
        app.request(PAUSE, speed=2.0, request_id="pause")
        status, paused_at, *_ = app.state_for("pause")
        assert status == PAUSED and start + 10 ** 9 < paused_at < end
        app.until(lambda: app.times[-1] == paused_at, timeout=5)
        app.drain()
        # The start's own message too, if the app subscribed before the replay first showed it.
        sent = app.log_times("/controller")
        assert sent[sent[:1] == [start]:] == sorted(t for t in controllers if start < t <= paused_at)
        for topic, log_time, message in app.messages:
            if topic == "/controller":
                part = controllers[log_time]
                assert (message.robot, list(message.feedback.joint.positions.values)) == \
                    (part.robot, list(part.feedback.joint.positions.values))

        # The events on the way too, as the export logs them.
        events = _exported_events(recorded / "run.mcap")
        assert app.events() == [e for e in events if e[0] <= paused_at]

        # A seek to a product of its own time, paused: the whole scene there at once, as the export draws it.
        target = next(t for t in sorted(controllers) if t > start + 2 * 10 ** 9 and stamps.count(t) == 1)
        seen = len(app.messages)
        app.request(PAUSE, speed=2.0, seek=target, request_id="seek")
        status, at, _, did_seek, _ = app.state_for("seek")
        assert (status, did_seek) == (PAUSED, True) and abs(at - target) < 1000
        app.until(lambda: any(scene.deletions for scene in app.scenes(seen)))
        scene = next(scene for scene in app.scenes(seen) if scene.deletions)
        assert _entities(scene) == _entities(_exported_scene(recorded / "run.mcap", target))

        # Playing on from there at four times the speed, to the end: the controller messages from there on.
        app.request(PLAY, speed=4.0, request_id="on")
        app.until(lambda: app.states[-1][0] == ENDED)
        app.drain()
        assert app.log_times("/controller", seen) == sorted(t for t in controllers if t >= target)
        assert app.events(seen) == [e for e in events if e[0] >= target]
    assert process.wait(timeout=30) == 0
