"""The playback clock of a live replay: pause, seek, step, rate, loop and the record's events, for every way of
driving it.

``Replay.play`` reads its live clock as ``t = speed * (time.time() - t0)``,
``time`` being looked up in its module at each use. A ``Clock`` bound as
``mirvane.replay.time`` for the call (with ``speed`` 1.0) answers ``time()``
with the playback position itself, so every control is a choice of what that
position is; ``play``, its record choice, reconstruction and nearest-product
rule stay as they are. The first reading is ``play``'s ``t0``: it answers 0.0,
and from then on the position, so that ``t`` is the position exactly.

The position, and everything the clock tells or is told (seeks, steps, events, the status), is
exact: seconds of stamp differences (``records.timebase``). Play measures its axis a little off
that, so a reading is the position carried onto play's axis (``PlayAxis``): at a product's exact
time, play reads that product's own time, and shows it.

Sessions may play at once, each on its own thread: within ``play_reads(clock.time)`` the play on
that thread reads that clock, through one object bound as ``mirvane.replay.time`` while any plays.
One clock may also be read by several plays at once, each on its own thread, as two runs compared
side by side are (``Clock.over``): each play reads the clock through a ``Reader`` of its own, which
answers with that play's own time (the clock's position less where the run begins on it), keeps
that play's first reading as its ``t0`` and paces it; the clock starts once every reader has.

Controls may come from any thread (the browser page's server, the terminal's
key reader, the Foxglove server, scripts); ``play`` runs on its caller's, and
its viewer calls ``pace`` in every cycle to wait, so that a paused replay
sleeps and a playing one draws no faster than a screen shows.
"""

import contextlib
import math
import reprlib
import threading
import time as _time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from ..analysis.events import INFO, SEVERITIES, Event
from ..records import EventTable, PlayAxis, as_times
from ..rebinding import replay_time, set_replay_time
from .times import RunTimes, exact_times, merged_times, nearest, product_times  # noqa: F401  (their home before)

#: The rates a menu or the faster/slower keys offer; scripts may set any in RATE_RANGE.
RATES = (0.1, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0)
RATE_RANGE = (0.01, 100.0)
#: The most pictures a second a playing replay draws.
MAX_FRAMES_PER_SECOND = 60.0
# How long a wait lasts before looking again, so that nothing hangs on a lost wake-up.
_WAIT_S = 0.5


@dataclass(frozen=True)
class Shown:
    """What one play of a clock shows, on its own record's axis (within 0 and its end)."""
    time: float         # the play's own time at the clock's position
    shown: float        # the own time the play last read: its picture's
    product: int        # the product it shows at ``time``


@dataclass(frozen=True)
class Status:
    """What the clock says at one moment."""
    time: float         # the playback position, seconds on the record's axis (within 0 to end)
    shown: float        # the position play last read: the time of the picture it shows (after a
                        # control, it follows with the next picture)
    end: float          # the record's end: its last product's time
    paused: bool
    loop: bool
    rate: float
    product: int        # position of the product play shows at ``time`` (its nearest-product rule),
                        # at once after a control
    products: int       # how many products the record has
    preparing: bool     # play is still rebuilding its states: no picture yet
    finished: bool      # play has returned
    version: int        # raised by every change of what the clock says, other than time running on
    seeks: int = 0      # raised by every move other than playing on: seek, jump, step, a loop going back
    event: int = 0      # the number of the last event begun at or before ``time`` (0: none yet)
    runs: Tuple[Shown, ...] = ()   # what each play reading the clock shows, in the order of its readers
    events: int = 0     # how many events the clock knows (more once those found while playing come)
    growing: bool = False   # more products are coming: at the end, playback waits for them
    live: bool = False      # playback follows the newest product as it comes


class Clock:
    """The playback position of one live replay of a record with the product times ``times`` (exact;
    ``played``, the same products' times on play's axis, by default the same) and the ``events``
    found in it (numbered), which the status counts and ``to_event`` goes to.

    ``now`` is the wall clock the position advances by (monotonic seconds); ``pace`` lets
    play draw at most ``frames_per_second`` pictures a second.

    One play reads it by ``time`` and ``pace``; several, each through one of ``readers`` (``over``).
    """

    def __init__(self, times: npt.ArrayLike, *, played: Optional[npt.ArrayLike] = None, start: float = 0.0,
                 rate: float = 1.0, paused: bool = False, loop: bool = False,
                 now: Callable[[], float] = _time.monotonic, frames_per_second: float = MAX_FRAMES_PER_SECOND,
                 events: Sequence[Event] = (), runs: Sequence[Tuple[Any, ...]] = ()) -> None:
        self._times = as_times(times)
        if not len(self._times):
            raise ValueError("a clock needs at least one product time")
        # Where play puts the products: the product shown at a position is play's choice there.
        self._played = self._times if played is None else as_times(played)
        self._axis = PlayAxis(self._played, self._times)
        self._end = float(self._times[-1])
        self._set_events(events)
        self._now = now
        self._frame_s = 1.0 / frames_per_second
        self._changed = threading.Condition()
        self._rate = checked_rate(rate)
        self._paused = paused
        self._loop = loop
        self._anchor_position = self._start = self._clamped(start)
        self._anchor_wall = now()
        self._started = False
        self._stopped = False
        self._finished = False
        self._growing = False
        self._live = False
        self._version = 0
        self._seeks = 0
        self._shown = self._anchor_position   # the clock a play last read: what it shows
        #: One per play reading the clock, in the order of ``runs`` (by default, the one record's).
        self.readers: List[Reader] = [Reader(self, *RunTimes(*run)) for run in runs] or \
            [Reader(self, self._times, 0.0, self._played, self._axis)]

    @property
    def start(self) -> float:
        """Where playback began: the position before any reading or control."""
        return self._start

    @classmethod
    def over(cls, runs: Sequence[Tuple[Any, ...]], **options: Any) -> "Clock":
        """A clock that several plays read at once, one per run: each a ``RunTimes`` (or its
        ``(times, shift)``). The clock's products are all of theirs."""
        placed = [RunTimes(*run) for run in runs]
        times, played = merged_times(placed)
        return cls(times, played=played, runs=placed, **options)

    # -- what play reads ----------------------------------------------------------------

    def time(self) -> float:
        """``play``'s ``time.time()``: 0.0 the first time (its ``t0``), then the playback position."""
        return self.readers[0].time()

    def pace(self) -> None:
        """Wait before play's next cycle (``Reader.pace``)."""
        self.readers[0].pace()

    def finish(self) -> None:
        """Play has returned: nothing moves any more."""
        with self._changed:
            self._anchor_position = self._position_locked() if self._started else self._anchor_position
            self._finished = True
            self._changed_locked()

    def read(self, reader: "Reader") -> float:
        """A play's reading through one of ``readers``: 0.0 the first time (its ``t0``), then its own
        time. The clock starts once every reader has given its ``t0``."""
        with self._changed:
            if not reader.started:
                reader.started = True
                if all(other.started for other in self.readers):
                    self._started = True
                    self._anchor_wall = self._now()
                    self._changed_locked()
                return 0.0
            if self._stopped:
                return float(np.nextafter(reader.played_end, math.inf))
            position = self._shown = self._position_locked()
            own = position - reader.shift
            reader.shown = own if position > self._end else min(own, reader.end)
            reader.read_version = self._version
            return reader.played(reader.shown)

    def wait_for_cycle(self, reader: "Reader") -> None:
        """Wait before the next cycle of the play reading through ``reader``: while paused until
        something changes, while playing until the next picture is due (at most ``frames_per_second``)."""
        with self._changed:
            # A change since play last read the clock means a cycle at once, to show it.
            seen = reader.read_version
            while self._paused and not self._stopped and self._version == seen:
                self._changed.wait(_WAIT_S)
            if self._version == seen:
                due = reader.last_frame + self._frame_s
                while self._version == seen and self._now() < due:
                    self._changed.wait(max(0.0, due - self._now()))
            reader.last_frame = self._now()

    # -- controls -------------------------------------------------------------------------

    def play(self) -> None:
        with self._changed:
            if self._paused:
                self._reanchor_locked()
                self._paused = False
                self._changed_locked()

    def pause(self) -> None:
        with self._changed:
            if not self._paused:
                self._reanchor_locked()
                self._paused = True
                self._changed_locked()

    def toggle(self) -> None:
        with self._changed:
            self._reanchor_locked()
            self._paused = not self._paused
            self._changed_locked()

    def seek(self, seconds: float) -> None:
        """Go to ``seconds`` on the record's axis (kept within 0 and the end)."""
        if not math.isfinite(seconds):
            raise ValueError(f"cannot seek to {seconds}: give a finite time in seconds")
        with self._changed:
            self._reanchor_locked(self._clamped(seconds))
            self._changed_locked()

    def jump(self, seconds: float) -> None:
        """Seek by ``seconds`` from where playback is, forward or (negative) back."""
        with self._changed:
            self._reanchor_locked(self._clamped(self._position_locked() + seconds))
            self._changed_locked()

    def step(self, products: int = 1) -> None:
        """Pause at the product time ``products`` steps on (negative: back) from the product play
        shows at the playback time, so that every step moves the product; products stamped at
        one time are one step."""
        with self._changed:
            shown = self._times[self._product_at(self._position_locked())]
            self._reanchor_locked(self._clamped(self._axis.step(shown, products)))
            self._paused = True
            self._changed_locked()

    def to_event(self, step: int = 1, least: str = INFO) -> None:
        """Pause where the event ``step`` event times on (negative: back) from the playback position
        begins, counting events of severity ``least`` or worse; with none that way, nothing changes."""
        if least not in SEVERITIES:
            raise ValueError(f"event: severity must be one of {', '.join(SEVERITIES)}, not {reprlib.repr(least)}")
        stops = self._event_stops[least]
        with self._changed:
            position = self._position_locked()
            if step > 0:
                nearest = int(np.searchsorted(stops, position, side="right"))       # the first stop after
            else:
                nearest = int(np.searchsorted(stops, position, side="left")) - 1   # the last stop before
            if step == 0 or not 0 <= nearest < len(stops):
                return
            at = nearest + step - (1 if step > 0 else -1)
            target = float(stops[min(max(at, 0), len(stops) - 1)])
            self._reanchor_locked(target)
            self._paused = True
            self._changed_locked()

    def to_start(self) -> None:
        self.seek(0.0)

    def to_end(self) -> None:
        self.seek(max(self._end, 0.0))

    def set_rate(self, rate: float) -> None:
        """Play ``rate`` times as fast as real time, within ``RATE_RANGE``."""
        rate = checked_rate(rate)
        with self._changed:
            self._reanchor_locked()
            self._rate = rate
            self._changed_locked()

    def faster(self) -> None:
        """The next rate up in ``RATES``."""
        with self._changed:
            rate = next((r for r in RATES if r > self._rate * (1 + 1e-9)), RATES[-1])
        self.set_rate(rate)

    def slower(self) -> None:
        """The next rate down in ``RATES``."""
        with self._changed:
            rate = next((r for r in reversed(RATES) if r < self._rate * (1 - 1e-9)), RATES[0])
        self.set_rate(rate)

    def set_loop(self, on: bool) -> None:
        """At the end, go on from the start (on) or finish (off)."""
        with self._changed:
            self._reanchor_locked()
            self._loop = bool(on)
            self._changed_locked()

    def stop(self) -> None:
        """End the replay as if it had played to the end."""
        with self._changed:
            self._reanchor_locked()
            self._stopped = True
            self._changed_locked()

    # -- what the watchers read -------------------------------------------------------------

    @property
    def times(self) -> Any:
        """The product times the clock plays, seconds after the first product (exact): a float
        array, or a spooled run's, computed from its stamps when read (``records.StampTimes``)."""
        return self._times

    @property
    def events(self) -> Sequence[Event]:
        """The record's events, as numbered."""
        return self._events

    def status(self) -> Status:
        with self._changed:
            return self._status_locked()

    def wait(self, after_version: int, timeout: float) -> Status:
        """The status once the clock has changed past ``after_version`` or ``timeout`` seconds have passed."""
        with self._changed:
            self._changed.wait_for(lambda: self._version != after_version, timeout)
            return self._status_locked()

    def found(self, events: Sequence[Event]) -> None:
        """The record's events, found while it plays (until then, the clock knows those it was given)."""
        with self._changed:
            self._set_events(events)
            self._changed_locked()

    def grow(self, times: npt.ArrayLike, played: npt.ArrayLike, growing: bool) -> None:
        """The one run's products so far (``times`` exact, ``played`` on play's axis), more of them
        to come while ``growing``: at the end, playback waits for them, and, live, goes on to the newest."""
        with self._changed:
            live = self._live
            if not live:
                self._reanchor_locked()   # where the held end was, playing on from there
            self._times, self._played = as_times(times), as_times(played)
            self._axis = PlayAxis(self._played, self._times)
            self._end = float(self._times[-1])
            self.readers[0].grow(self._times, self._played, self._axis)
            self._growing = growing
            if live:
                self._anchor_position, self._anchor_wall = self._end, self._now()
                self._live = growing
            self._set_events(self._events)
            self._changed_locked()

    def set_live(self, on: bool) -> None:
        """Follow the newest product as it comes (on: play from it), or stop following (off)."""
        with self._changed:
            self._reanchor_locked(self._end if on else None)
            self._live, self._paused = bool(on) and self._growing, self._paused and not on
            self._changed_locked()

    # -- the rules ------------------------------------------------------------------------

    def _set_events(self, events: Sequence[Event]) -> None:
        self._events = EventTable.of(events)
        # Where each event begins on the playback axis, in time order (the last of a time the
        # latest numbered), and, by least severity, the distinct times an event step stops at.
        begins = np.clip(self._events.column("time"), 0.0, max(self._end, 0.0))
        order = np.argsort(begins, kind="stable")
        self._event_begins = begins[order]
        self._event_numbers = self._events.column("number")[order]
        levels = self._events.levels()
        self._event_stops = {least: np.unique(begins[levels >= SEVERITIES.index(least)]) for least in SEVERITIES}

    def _position_locked(self) -> float:
        """Where playback is now; running on from the anchor unless paused, not yet started or
        finished. With loop on, passing the end goes on from the start."""
        position = self._anchor_position
        if self._paused or not self._started or self._finished or self._stopped:
            return position
        wall = self._now()
        position += self._rate * (wall - self._anchor_wall)
        if self._growing and position > self._end:
            # Held at the end until more comes, and going on from there then.
            self._anchor_position, self._anchor_wall = self._end, wall
            return self._end
        if self._loop and position > self._end > 0.0:
            position = math.fmod(position, self._end)
            self._anchor_position, self._anchor_wall = position, wall
            self._seeks += 1
            self._changed_locked()   # watchers see the jump back as a seek
        return position

    def _reanchor_locked(self, position: Optional[float] = None) -> None:
        # Every control but ``set_live`` leaves the newest product (it sets live again after this).
        self._live = False
        if position is not None:
            self._seeks += 1
        self._anchor_position = self._position_locked() if position is None else position
        self._anchor_wall = self._now()

    def _clamped(self, seconds: float) -> float:
        return min(max(seconds, 0.0), max(self._end, 0.0))

    def _changed_locked(self) -> None:
        self._version += 1
        self._changed.notify_all()

    def _product_at(self, position: float) -> int:
        return nearest(self._played, self._axis.played(position), self._axis.ordered)

    def _event_at(self, position: float) -> int:
        """The number of the last event begun at or before ``position``, 0 if none."""
        passed = int(np.searchsorted(self._event_begins, position, side="right"))
        return int(self._event_numbers[passed - 1]) if passed else 0

    def _status_locked(self) -> Status:
        position = self._position_locked()
        return Status(time=_within(position, self._end), shown=_within(self._shown, self._end), end=self._end,
                      paused=self._paused, loop=self._loop, rate=self._rate, product=self._product_at(position),
                      products=len(self._times), preparing=not self._started, finished=self._finished,
                      version=self._version, seeks=self._seeks, event=self._event_at(position),
                      events=len(self._events), growing=self._growing, live=self._live,
                      runs=tuple(reader.shown_at(position) for reader in self.readers))


class Reader:
    """What one play reads of a ``Clock`` and how it waits: its own time, seconds on its record's
    axis, is the clock's position less ``shift``, held at its last product's (``times``, exact;
    ``played``, on play's axis) until the clock passes its own end, so that a run shorter than the
    clock plays on, showing its last picture, until the clock ends. Play reads it on its own axis.
    Its first reading is play's ``t0`` (0.0); the clock starts once every reader has given it."""

    def __init__(self, clock: Clock, times: npt.ArrayLike, shift: float,
                 played: Optional[npt.ArrayLike] = None, axis: Optional[PlayAxis] = None) -> None:
        self.times = as_times(times)
        self.shift = float(shift)
        self._clock = clock
        self.end = float(self.times[-1])
        self._played = self.times if played is None else as_times(played)
        self.played_end = float(self._played[-1])
        self._axis = axis or PlayAxis(self._played, self.times)
        # The play's bookkeeping, which the clock keeps under its lock.
        self.started = False
        self.shown = clock.start - self.shift   # the own time play last read
        self.read_version = -1                  # the clock's version then
        self.last_frame = -math.inf

    def grow(self, times: Any, played: Any, axis: PlayAxis) -> None:
        """The run's products so far, and their axis (the clock's lock held)."""
        self.times, self._played, self.end, self.played_end = times, played, float(times[-1]), float(played[-1])
        self._axis = axis

    def time(self) -> float:
        """``play``'s ``time.time()``: 0.0 the first time (its ``t0``), then the play's own time (on its axis)."""
        return self._clock.read(self)

    def played(self, own: float) -> float:
        """The play's own time ``own`` (exact) on play's axis."""
        return self._axis.played(own)

    def pace(self) -> None:
        """Wait before play's next cycle (``Clock.wait_for_cycle``)."""
        self._clock.wait_for_cycle(self)

    def shown_at(self, position: float) -> Shown:
        """What the play shows at the clock's ``position`` (the clock's lock held)."""
        own = _within(position - self.shift, self.end)
        return Shown(time=own, shown=_within(self.shown, self.end),
                     product=nearest(self._played, self.played(own), self._axis.ordered))


def _within(position: float, end: float) -> float:
    return max(min(position, end), 0.0) if end >= 0 else 0.0


def checked_rate(rate: float) -> float:
    """``rate`` if a clock can play at it, else ``ValueError`` saying the range."""
    low, high = RATE_RANGE
    if not (isinstance(rate, (int, float)) and not isinstance(rate, bool) and low <= rate <= high):
        raise ValueError(f"rate {rate!r} is outside {low:g} to {high:g}; give a rate in that range")
    return float(rate)


class _PlayTime:
    """``mirvane.replay.time`` while live replays play: what each thread's play reads as ``time()``."""

    def __init__(self, ordinary: Any) -> None:
        self.ordinary = ordinary    # what the binding replaced: the time module
        self.readings: Dict[int, Callable[[], float]] = {}

    def time(self) -> float:
        reading = self.readings.get(threading.get_ident())
        return reading() if reading is not None else float(self.ordinary.time())


_play_time: Optional[_PlayTime] = None
_binding = threading.Lock()


@contextlib.contextmanager
def play_reads(reading: Callable[[], float]) -> Iterator[None]:
    """Within the block, ``Replay.play`` on this thread reads ``reading()`` (a clock's ``time``) as its
    ``time.time()``; plays on other threads read their own, or the real time."""
    global _play_time
    thread = threading.get_ident()
    with _binding:
        if _play_time is None:
            _play_time = _PlayTime(replay_time())
            set_replay_time(_play_time)
        bound = _play_time
        bound.readings[thread] = reading
    try:
        yield
    finally:
        with _binding:
            del bound.readings[thread]
            if not bound.readings:
                set_replay_time(bound.ordinary)
                _play_time = None


def apply(clock: Clock, request: object) -> None:
    """Carry out one control of the JSON interface (``{"action": ...}``) on ``clock``.

    A request it cannot carry out raises ``ValueError`` with a one-line reason and changes nothing.
    """
    if not isinstance(request, dict):
        raise ValueError("the body must be a JSON object such as {\"action\": \"pause\"}")
    action = request.get("action")
    simple: Dict[str, Callable[[], None]] = {
        "play": clock.play, "pause": clock.pause, "toggle": clock.toggle, "stop": clock.stop,
        "start": clock.to_start, "end": clock.to_end, "faster": clock.faster, "slower": clock.slower}
    if isinstance(action, str) and action in simple:
        simple[action]()
    elif action == "seek":
        clock.seek(_number(request, "time"))
    elif action == "jump":
        clock.jump(_number(request, "seconds"))
    elif action == "step":
        products = request.get("products", 1)
        if not isinstance(products, int) or isinstance(products, bool):
            raise ValueError(f"step: products must be a whole number, not {reprlib.repr(products)}")
        clock.step(products)
    elif action == "rate":
        clock.set_rate(_number(request, "value"))
    elif action == "event":
        clock.to_event(_whole(request, "step"), request.get("severity", INFO))
    elif action in ("loop", "live"):
        on = request.get("on")
        if not isinstance(on, bool):
            raise ValueError(f"{action}: on must be true or false, not {reprlib.repr(on)}")
        (clock.set_loop if action == "loop" else clock.set_live)(on)
    else:
        known = ", ".join(sorted([*simple, "seek", "jump", "step", "event", "rate", "loop", "live"]))
        raise ValueError(f"unknown action {reprlib.repr(action)}; known: {known}")


def _number(request: Dict[Any, Any], key: str) -> float:
    value = request.get(key)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        with contextlib.suppress(OverflowError):   # an integer beyond every float
            if math.isfinite(value):
                return float(value)
    raise ValueError(f"{request['action']}: {key} must be a finite number, not {reprlib.repr(value)}")


def _whole(request: Dict[Any, Any], key: str) -> int:
    value = request.get(key, 1)
    if not isinstance(value, int) or isinstance(value, bool):
        raise ValueError(f"{request['action']}: {key} must be a whole number, not {reprlib.repr(value)}")
    return value
