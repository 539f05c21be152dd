"""A live replay served to Foxglove over its WebSocket protocol, Foxglove's playback bar driving the clock.

The channels, schemas and messages are those of ``mirvane export``
(``mirvane.formats.mcap``): each product part is logged at its log time as the
playback clock passes it, so a plot gets every controller message and not only
the ones a picture showed, and so is each message of the record's events
(``/events``, and ``/events/spans`` where the schemas have it). ``/scene`` draws the state the replay shows, at
most ``SCENES_PER_SECOND`` times a second; after a seek (from Foxglove, the
browser page or the terminal, or a loop going back to the start) the whole
scene at the new time comes at once and the messages follow from there.

The server announces the record's time range, so Foxglove shows its own
playback bar; its play, pause, seek and speed requests drive the ``Clock``
(arriving on the server's thread), and every cycle broadcasts the time, and
the playback state whenever it changes.

Needs foxglove-sdk, which needs Python 3.10 or newer: ``pip install 'mirvane[foxglove]'``.
"""

import math
import time
from typing import Any, Dict, Optional, Tuple

import foxglove
import numpy as np
from dravik.api import data_pb2, system_pb2
from foxglove.websocket import Capability, ChannelView, Client, PlaybackCommand, PlaybackControlRequest, \
    PlaybackState, PlaybackStatus, ServerListener
from mcap_protobuf.schema import build_file_descriptor_set

from ..analysis.events import record_events
from ..formats import mcap
from ..records import duration_seconds
from ..sightings import Sightings
from .clock import RATE_RANGE, Clock, Status
from .times import exact_times, nearest
from .addresses import bracketed, reachable

SCENES_PER_SECOND = 30.0
# How long the last messages get to leave before the server stops.
_FLUSH_S = 0.5
# Log times this close are one: a position in seconds maps to nanoseconds only this well.
_SAME_NS = 1000


class FoxgloveLive:
    """The replay of ``record`` as ``clock`` plays it, served at ``urls`` until ``close``.

    ``workspace`` is the replay's: its state is what the replay shows. ``cycle``
    is called after every playback cycle, ``finish`` once play has returned.
    """

    def __init__(self, host: str, port: int, record: data_pb2.Record, workspace: Any, clock: Clock,
                 name: str) -> None:
        self._record, self._workspace, self._clock = record, workspace, clock
        stamps = [product.timestamp_ns for product in record.products]
        # Log times as the export gives a file's first record: its own stamps, none negative.
        offset = max(0, -min(stamps))
        self._log_times = np.array(stamps, dtype=np.int64) + offset
        self._zero = stamps[0] + offset     # the log time of playback position 0
        # The products in the order the clock passes them; by their exact log times, as seconds
        # on the clock's axis are only good to a fraction of a microsecond.
        self._order = np.argsort(self._log_times, kind="stable")
        self._sorted = self._log_times[self._order]
        # Where perception saw the items no robot holds, by product: the scene drawn after a seek
        # puts them where an export's scene has them then.
        self._sightings, self._times = Sightings(record), exact_times(record)
        # The server's own context, kept: its channels close with it.
        self._context = context = foxglove.Context()
        self._channels = {
            topic: foxglove.Channel(topic, message_encoding="protobuf", context=context, schema=foxglove.Schema(
                name=cls.DESCRIPTOR.full_name, encoding="protobuf",
                data=build_file_descriptor_set(cls).SerializeToString()))
            for topic, cls in {**mcap.CHANNELS, **mcap.EVENT_CHANNELS}.items() if topic != mcap.RECORD}
        # The events' messages, by log time, as the export writes them.
        self._events = mcap.event_messages(record_events(record), offset)
        self._event_times = np.array([time for _, time, _, _ in self._events], dtype=np.int64)
        end = max(int(self._log_times[-1]), self._zero)
        self._server = foxglove.start_server(
            name=name, host=host, port=port, context=context, capabilities=[Capability.Time],
            server_listener=_Listener(self), playback_time_range=(self._zero, end))
        #: Where the Foxglove app connects: at the bound address, or at this machine's for a wildcard one.
        self.urls = [f"ws://{bracketed(name)}:{self._server.port}" for name in reachable(host)]
        self._passed = -1                   # the log time up to which messages are sent
        self._last: Optional[Status] = None
        self._shown: Optional[system_pb2.WorkspaceState] = None   # the state the latest /scene draws
        self._scene_wall = -math.inf
        # The latest starting state and scene, for a client that subscribes while nothing moves.
        self._latest: Dict[str, Tuple[bytes, int]] = {}
        self._watched = False               # a client has subscribed

    def cycle(self) -> None:
        """Send what the clock has passed since the last cycle, the scene if due, the time and state."""
        status, now = self._clock.status(), time.monotonic()
        jumped = self._last is None or status.seeks != self._last.seeks
        if jumped:
            # From the new position on, itself included; at the start also what lies before it.
            self._passed = self._log_time(status.time) - 2 * _SAME_NS if status.time > 0 else -1
            self._log(mcap.START, self._record.project.workspace.state.SerializeToString(deterministic=True),
                      self._zero)
        self._send_passed(status.time)
        self._send_scene(status, now, clear=jumped)
        self._server.broadcast_time(self._log_time(status.time))
        if jumped or self._changed(status):
            self._server.broadcast_playback_state(self.state(status, did_seek=jumped))
        self._last = status

    def finish(self) -> None:
        """Play has returned: the rest of the messages, the last scene, and the state Ended."""
        status = self._clock.status()
        self._send_passed(status.time)
        self._send_scene(status, math.inf, clear=False)
        self._server.broadcast_time(self._log_time(status.time))
        self._server.broadcast_playback_state(self.state(status))
        if self._watched:
            time.sleep(_FLUSH_S)   # time for the last messages to reach the app before the server stops

    def close(self) -> None:
        self._server.stop()

    def __enter__(self) -> "FoxgloveLive":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- what Foxglove asks -------------------------------------------------------------

    def subscribed(self, topic: str) -> None:
        """A client has subscribed to ``topic``: the latest starting state or scene again, for it."""
        self._watched = True
        latest = self._latest.get(topic)
        if latest is not None:
            self._channels[topic].log(latest[0], log_time=latest[1])

    def control(self, request: PlaybackControlRequest) -> PlaybackState:
        """Apply a playback request of the Foxglove app to the clock; the state it leads to."""
        low, high = RATE_RANGE
        speed = request.playback_speed
        if math.isfinite(speed) and speed > 0:
            self._clock.set_rate(min(max(speed, low), high))
        if request.seek_time is not None:
            self._clock.seek(duration_seconds(request.seek_time - self._zero))
        if request.playback_command == PlaybackCommand.Play:
            self._clock.play()
        else:
            self._clock.pause()
        return self.state(self._clock.status(), did_seek=request.seek_time is not None,
                          request_id=request.request_id)

    def state(self, status: Status, did_seek: bool = False, request_id: Optional[str] = None) -> PlaybackState:
        """The clock's status as Foxglove's playback state."""
        playback = (PlaybackStatus.Ended if status.finished else PlaybackStatus.Buffering if status.preparing
                    else PlaybackStatus.Paused if status.paused else PlaybackStatus.Playing)
        return PlaybackState(status=playback, current_time=self._log_time(status.time), playback_speed=status.rate,
                             did_seek=did_seek, request_id=request_id)

    # -- the rules ------------------------------------------------------------------------

    def _changed(self, status: Status) -> bool:
        last = self._last
        return last is None or (status.version, status.paused, status.finished) != (
            last.version, last.paused, last.finished)

    def _send_passed(self, position: float) -> None:
        """Log every product part and event message whose time lies after the last position sent, up to
        ``position``."""
        up_to = self._log_time(position) + _SAME_NS
        begin = int(np.searchsorted(self._sorted, self._passed, side="right"))
        end = int(np.searchsorted(self._sorted, up_to, side="right"))
        for index in self._order[begin:end]:
            product = self._record.products[int(index)]
            for topic, data in mcap.part_messages(product):
                self._log(topic, data, int(self._log_times[index]))
        first, last = (int(np.searchsorted(self._event_times, t, side="right")) for t in (self._passed, up_to))
        for topic, log_time, data, _ in self._events[first:last]:
            self._log(topic, data, log_time)
        self._passed = max(self._passed, up_to)

    def _send_scene(self, status: Status, now: float, clear: bool) -> None:
        """The whole cell as the replay shows it, when it has changed and one is due."""
        state = self._workspace.state()
        due = clear or status.paused or now - self._scene_wall >= 1.0 / SCENES_PER_SECOND
        if not due or (state is self._shown and not clear):
            return
        # The scene follows the state it is given: a copy, not the replay's own.
        copy = system_pb2.WorkspaceState()
        copy.CopyFrom(state)
        log_time = self._log_time(status.shown)   # the time of the state play shows
        workspace = self._record.project.workspace
        seen = self._sightings.at(nearest(self._times, status.shown))
        scene = mcap.SceneChannel(workspace.robots, workspace.cameras, workspace.items, copy, log_time, seen)
        self._log(mcap.SCENE, scene.update(log_time, clear=clear), log_time)
        self._shown, self._scene_wall = state, now

    def _log(self, topic: str, data: bytes, log_time: int) -> None:
        if topic in (mcap.START, mcap.SCENE):
            self._latest[topic] = data, log_time
        self._channels[topic].log(data, log_time=log_time)

    def _log_time(self, position: float) -> int:
        return self._zero + max(0, round(position * 1e9))


class _Listener(ServerListener):
    """Hands Foxglove's playback requests to the server's clock."""

    def __init__(self, live: FoxgloveLive) -> None:
        self._live = live

    def on_subscribe(self, client: Client, channel: ChannelView) -> None:
        self._live.subscribed(channel.topic)

    def on_playback_control_request(self, playback_control_request: PlaybackControlRequest) -> PlaybackState:
        return self._live.control(playback_control_request)

