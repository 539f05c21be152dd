"""One live replay: a record played by ``Replay.play`` on a playback clock, and what shows and steers it.

A ``LiveSession`` is made from runs (``Run``: a project, a record, its name and position) and
``LiveOptions``. It finds the record's
events (``analysis.events``) once, and owns the record's playback clock (``clock.Clock``, which
knows the events) and the clock's outputs: the progress line, the player page
(``server.LiveView``), the Foxglove server (``foxglove.FoxgloveLive``) and the terminal keys.
``with session:`` starts them (``start``) and closes them on the way out; ``play`` plays the
record, every picture followed by ``cycle`` (each output's share, then the clock's wait), and
then finishes them. Each picture shows what ``picture.Picture`` tells of the time play shows (each
robot's latest report; the subjects of the warnings and errors under way, marked); the progress
line names the last event passed.

A second live replay is a second session, with a project, viewer, clock and servers of its own.
Each play reads its own session's clock (``clock.play_reads``), so sessions may play at once,
each on a thread of its own.

Two runs compared side by side are one session of two runs: one clock over both runs, placed
by ``analysis.align``, and one page; each run is played by ``Replay.play`` on a thread of its own
into a project and viewer of its own, reading the clock through a ``clock.Reader`` of its own (its
own time on the shared clock).
"""

import contextlib
import math
import sys
import threading
import time
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from dravik.api import data_pb2
from tqdm import tqdm

from ..analysis.align import Alignment, AlignmentRule, align
from ..analysis.events import INFO, Detector, Event, record_events
from ..data import span_seconds
from ..formats.spooled import serialized
from ..project import Project
from ..records import EventTable, stamp_times
from ..viewer import WorkspaceViewer
from . import terminal
from .movie import replay_of
from .picture import POINT_MARK_S, marked  # noqa: F401  (marked, POINT_MARK_S: their old home)
from .clock import Clock, Reader, Status, play_reads
from .server import MAX_PICTURES_PER_SECOND, LiveView, PageRun
from .times import RunTimes
from .windows import WINDOW_S, Window, Windows

if TYPE_CHECKING:
    from .foxglove import FoxgloveLive

# After the end, how long watching pages get to learn that it has finished.
_FAREWELL_S = 1.0
# How often the progress line is redrawn while the replay plays on.
_LINES_PER_SECOND = 10.0
# The most of an event's text the progress line shows, so that the line fits a terminal.
_EVENT_TEXT = 60
#: Seconds a run may span and still have its events found before its first picture (some 0.5 s a
#: minute of the sample cell); a longer one shows its first picture at once and its events as found.
EVENTS_FIRST_S = 120.0
# How often, at most, events found while a run plays are told to the clock, the pictures and the page.
_TELL_S = 0.5
_TELL_COST = 20.0
# How long the products a growing run gains are waited for before the watchers are told of them:
# at least this, and some times what telling them took, so that a long run is not re-measured without end.
_GROWN_S = 0.25
_GROWN_COST = 4.0


@dataclass(frozen=True)
class LiveOptions:
    """How a live replay starts, where it is shown and what it tells on the terminal."""
    start: float = 0.0                          # seconds into the record
    rate: float = 1.0                           # times real time, within ``clock.RATE_RANGE``
    paused: bool = False
    loop: bool = False
    page: Optional[Tuple[str, int]] = None      # serve the player page at (host, port)
    foxglove: Optional[Tuple[str, int]] = None  # serve the replay to the Foxglove app at (host, port)
    size: Optional[Tuple[int, int]] = None      # the picture's, in pixels (default: the viewer's)
    hold: bool = False                          # with a page: serve the last picture until interrupted (or released)
    quiet: bool = False                         # no progress line and no notes
    keys: bool = True                           # read playback keys when standard input is a terminal
    window_s: float = WINDOW_S                  # seconds of record played as one record (``windows``)
    events_first_s: float = EVENTS_FIRST_S      # a run spanning more has its events found while it plays
    follow: bool = False                        # the run is a recording being written: play its newest product


@dataclass(frozen=True)
class Run:
    """A run a live session plays: the project it plays in (one of its own, as play sets its states),
    its record, the name the page and Foxglove give it, and its position in its recording."""
    project: Project
    record: data_pb2.Record
    name: str = "replay"
    position: int = 0


class CannotServe(Exception):
    """A server could not start at its address: ``output`` is ``"page"`` or ``"foxglove"``; the
    text says why."""

    def __init__(self, output: str, reason: str) -> None:
        super().__init__(reason)
        self.output = output


class LiveSession:
    """The live replay of one run, or of two side by side, as ``options`` ask.

    Play sets each run's project's states: it is the session's own while it plays. A rate the clock
    cannot play is a ``ValueError`` here; a server that cannot start, ``CannotServe`` from ``start``.

    With two runs, the second is placed against the first by ``alignment`` (by their starts unless
    given; an ``analysis.align.AlignmentError`` here when a run lacks the event to align by), both on
    one clock shown on the page (not in Foxglove); ``options.start`` is then seconds of that clock.
    """

    def __init__(self, runs: Sequence[Run], options: LiveOptions = LiveOptions(),
                 alignment: Optional[Alignment] = None) -> None:
        if not 1 <= len(runs) <= 2:
            raise ValueError(f"a live session plays one run or two side by side, not {len(runs)}")
        first = runs[0]
        self.options, self.name = options, first.name
        self.record: Any = first.record     # a record, or a spooled one (``formats.spooled``), growing or not
        # A spooled run still being read (its file's end, or what a recorder writes next) grows as it plays.
        self._growing = len(runs) == 1 and getattr(first.record, "ended", True) is False
        alignment = alignment or Alignment()
        # A long or growing run's events are found as the keyframes' walk passes its products (each
        # of two runs' by its own walk), unless two runs are placed by an event, which needs them
        # first; the page lists them as found.
        self._finding = alignment.rule is not AlignmentRule.EVENT and (self._growing or any(
            span_seconds(run.record) > options.events_first_s for run in runs))
        self._position = first.position
        self._shown = [PageRun(run.name, run.record, [] if self._finding else record_events(run.record, run.position))
                       for run in runs]
        self.events: Sequence[Event] = self._shown[0].events
        self._visits = [_EventsFound(self, run.record, run.position, number) if self._finding else None
                        for number, run in enumerate(runs)]
        self._closing = threading.Event()
        self._telling = threading.Lock()
        # How far each run has been searched for events (seconds; None: all of it).
        self._search_at: List[Optional[float]] = [0.0 if self._finding else None] * len(runs)
        self.page: Optional[LiveView] = None
        self.foxglove: Optional["FoxgloveLive"] = None
        self._grower: Optional[threading.Thread] = None
        if options.follow:
            options = replace(options, start=math.inf)      # at the newest product
        elif self._growing:
            _reach(first.record, options.start)
        # No output shows more pictures a second than the page's stream.
        timing: Dict[str, Any] = dict(start=options.start, rate=options.rate, paused=options.paused,
                                      loop=options.loop, frames_per_second=MAX_PICTURES_PER_SECOND)
        #: Seconds the clock spans: the record's, or both runs' side by side.
        self.span: float
        shown = self._shown
        if len(runs) == 1:
            # A growing run's stamps read once, so that both axes have its products of that moment.
            spooled: Any = first.record
            exact, played = self._times(spooled.stamps) if self._growing else RunTimes.of(first.record)[::2]
            self.clock = Clock(exact, played=played, events=self.events, **timing)
            self.span = span_seconds(first.record)
        else:
            if options.foxglove is not None:
                raise ValueError("Foxglove shows one run; watch two side by side on the page")
            aligned = align(alignment, first.record, runs[1].record, shown[0].events, shown[1].events)
            self.span, self._shifts = aligned.span, aligned.shifts
            self.clock = Clock.over([RunTimes.of(run.record, shift) for run, shift in zip(shown, aligned.shifts)],
                                    events=on_clock(shown, aligned.shifts), **timing)
        self._plays = [_Play(self, number, run.project, page_run, reader) for number, (run, page_run, reader) in
                       enumerate(zip(runs, shown, self.clock.readers))]
        self._project = first.project
        self._outputs = contextlib.ExitStack()
        self._bar: Optional["tqdm[Any]"] = None
        self._line: Tuple[str, ...] = ()   # what the progress line says, at which version of the clock, and when
        self._line_version = -1
        self._drawn = -math.inf
        self._released = threading.Event()

    def __enter__(self) -> "LiveSession":
        with self._outputs:     # closed at once if starting fails
            self.start()
            self._outputs = self._outputs.pop_all()
        return self

    def __exit__(self, *exc: object) -> None:
        self._outputs.close()

    def start(self) -> None:
        """Start the outputs: the page, Foxglove, the terminal keys and the progress line, with a
        note of where to watch each server (before the progress line, which redraws its own line)."""
        options, outputs = self.options, self._outputs
        if options.page is not None:
            try:
                self.page = outputs.enter_context(LiveView(
                    *options.page, record_name=" and ".join(play.run.name for play in self._plays), clock=self.clock,
                    record=self.record, span_s=self.span, runs=[play.run for play in self._plays]))
            except OSError as e:
                raise CannotServe("page", e.strerror or str(e)) from None
            self._note(f"Live view at {' or '.join(self.page.urls)} "
                       f"({'Ctrl-C stops' if options.hold else 'until the end'})")
        if options.foxglove is not None:
            from .foxglove import FoxgloveLive

            try:
                self.foxglove = outputs.enter_context(FoxgloveLive(
                    *options.foxglove, record=self.record, workspace=self._project.workspace(), clock=self.clock,
                    name=self.name))
            except RuntimeError as e:   # foxglove-sdk's: binding failed
                raise CannotServe("foxglove", str(e)) from None
            self._note(f"Foxglove at {' or '.join(self.foxglove.urls)} (open it in the Foxglove app: Open connection)")
        if options.keys and outputs.enter_context(terminal.keys(self.clock)) and not options.quiet:
            print(terminal.HELP, file=sys.stderr, flush=True)   # before the progress line, on a line of its own
        if self._finding:
            for run in range(len(self._shown)):     # those found before the page began, and how far
                self.found(run=run)
                self.searched(self._search_at[run], run)
        if self._growing:
            self._grown(self.record.stamps, ended=False)
            if options.follow and not options.paused:
                self.clock.set_live(True)
            self._grower = threading.Thread(target=self._grow, name="mirvane-grown", daemon=True)
            self._grower.start()
            outputs.callback(self._stop_growing)
        elif len(self._plays) == 1 and getattr(self.record, "gaps", None):    # a split run read by now
            self._tell_page(self.record.stamps)
        products = sum(len(play.run.record.products) for play in self._plays)
        self._bar = outputs.enter_context(tqdm(
            total=self.span, desc=f"preparing {products} products", unit="s",
            disable=options.quiet, leave=False,
            bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.2f}/{total:.2f} s{postfix}"))

    def play(self) -> None:
        """Play the record (each run) until its end or a stop, then finish the outputs; with a page, give
        its watchers the end (with ``hold``, until interrupted)."""
        self._play_all()
        self.finish()
        if self.page is not None:
            if self.options.hold or self.options.follow:
                self._note("Playback finished; still serving the last picture (Ctrl-C stops)")
                while not self._released.wait(3600):
                    pass
            if self.page.visited:
                time.sleep(_FAREWELL_S)

    def release(self) -> None:
        """End the replay from another thread: play returns as at the end, and a held page goes."""
        self._released.set()
        self.clock.stop()

    def _play_all(self) -> None:
        """Each run played to the end or a stop: the first on this thread, any other on a thread of its
        own. A play that fails stops the clock, so that the others end too; its failure is raised."""
        failed: List[BaseException] = []

        def play(run: "_Play") -> None:
            try:
                run.play()
            except BaseException as e:
                failed.append(e)
                self.clock.stop()
        others = [threading.Thread(target=play, args=(run,), name=f"mirvane-play-{run.number}", daemon=True)
                  for run in self._plays[1:]]
        for thread in others:
            thread.start()
        try:
            self._plays[0].play()
        except BaseException:
            self.clock.stop()
            raise
        finally:
            for thread in others:
                thread.join()
        if failed:
            raise failed[0]

    def cycle(self, run: int = 0) -> None:
        """After each picture the play of ``run`` draws: the progress line, the page and Foxglove (the first
        run's play), then the clock's wait."""
        status = self.clock.status()
        play = self._plays[run]
        if run == 0:
            self._progress(status)
        if self.page is not None:
            self.page.publish(play.viewer.image(), status.runs[run].shown, play.system.state(), run)
        if self.foxglove is not None and run == 0:
            self.foxglove.cycle()
        play.windows.keyframes.go()     # the first picture is out: the walk may take the time
        play.reader.pace()

    def finish(self) -> None:
        """Play has returned: the last pictures to the page, the clock finished, Foxglove's last messages."""
        if self.page is not None:
            for play in self._plays:
                self.page.finish(play.viewer.image(), play.number)
        self.clock.finish()
        if self.foxglove is not None:
            self.foxglove.finish()
        if self._bar is not None:
            self._bar.close()

    def searched(self, seconds: Optional[float], run: int = 0) -> None:
        """Run ``run`` has been searched for events up to ``seconds`` (None: all of it): the page
        says how far the run searched least has come."""
        with self._telling:
            self._search_at[run] = seconds
            if self.page is not None:
                searching = [at for at in self._search_at if at is not None]
                self.page.searching(min(searching) if searching else None)

    def found(self, events: Optional[Sequence[Event]] = None, run: int = 0) -> None:
        """The events of run ``run`` found so far (numbered), told to the clock, the pictures and the
        page (those there are yet: the walk that finds them may begin before the page does); by
        default, again."""
        with self._telling:
            page_run = self._shown[run] = self._shown[run]._replace(
                events=EventTable.of(self._shown[run].events if events is None else events))
            self.events = self._shown[0].events
            self.clock.found(self.events if len(self._shown) == 1 else on_clock(self._shown, self._shifts))
            for play in getattr(self, "_plays", ())[run:run + 1]:
                play.windows.found(page_run.events)
            if self.page is not None:
                self.page.found(page_run.events, run)

    def _grow(self) -> None:
        """While the run grows, tell the windows, the clock and the page of the products it gains."""
        record, known = self.record, len(self.clock.times)
        while not self._closing.is_set():
            count = record.wait(known, _GROWN_S)
            ended = record.ended
            if count <= known and not ended:
                continue
            began = time.monotonic()
            known = self._grown(record.stamps, ended)      # read after ``ended``: all of them once it is
            if ended:
                return
            self._closing.wait(max(_GROWN_S, _GROWN_COST * (time.monotonic() - began)))

    def _grown(self, stamps: Any, ended: bool) -> int:
        """The run's products are those stamped ``stamps`` (more to come unless ``ended``): how many."""
        self._plays[0].windows.grow(stamps, ended)
        self.clock.grow(*self._times(stamps), growing=not ended)
        self._tell_page(stamps)
        return len(stamps)

    def _tell_page(self, stamps: Any) -> None:
        """The page's span, the recorder's state and the gaps between the run's files, in seconds."""
        first = int(stamps[0])
        if self.page is not None:
            self.page.grown((int(stamps[-1]) - first) / 1e9, _recorder(self.record, self.options.follow),
                            [((before - first) / 1e9, (after - first) / 1e9) for before, after in self.record.gaps])

    def _stop_growing(self) -> None:
        self._closing.set()
        if self._grower is not None:
            self._grower.join()

    @staticmethod
    def _times(stamps: Any) -> Tuple[Any, Any]:
        """The exact times and play's of the growing run's products, stamped ``stamps``: computed
        from them when read, never held (an hours-long run's would be 16 bytes a product)."""
        return stamp_times(stamps), stamp_times(stamps, play=True)

    def _progress(self, status: Status) -> None:
        """Redraw the progress line when what it says changes: at once after a control (paused or
        not), else at most ``_LINES_PER_SECOND`` times a second."""
        if self._bar is None or self.options.quiet:
            return
        described = f"{'paused' if status.paused else 'playing'} {status.rate:g}x{' loop' if status.loop else ''}"
        product = f"product {status.product} of 0–{status.products - 1}"
        if len(self._plays) > 1:
            product = ", ".join(f"{'AB'[play.number]} product {shown.product} of 0–{len(play.run.record.products) - 1}"
                                for play, shown in zip(self._plays, status.runs))
        elif status.event:
            event = self.events[status.event - 1]
            text = event.text if len(event.text) <= _EVENT_TEXT else event.text[:_EVENT_TEXT - 1] + "…"
            severity = f", {event.severity}" if event.severity != INFO else ""
            product += f", event {event.number} at {event.time:.2f} s{severity}: {text}"
        line = (described, f"{status.time:.2f}", product)
        now = time.monotonic()
        if line == self._line or (status.version == self._line_version and now - self._drawn < 1 / _LINES_PER_SECOND):
            return
        self._line, self._line_version, self._drawn = line, status.version, now
        self._bar.set_description_str(described, refresh=False)
        self._bar.set_postfix_str(product, refresh=False)
        self._bar.n = status.time
        if len(self._plays) == 1:
            self._bar.total = max(status.end, 0.0)     # a growing run's, as far as it is read
        self._bar.refresh()

    def _note(self, text: str) -> None:
        if not self.options.quiet:
            print(text, flush=True)


def on_clock(runs: Sequence[PageRun], shifts: Sequence[float]) -> EventTable:
    """The events of ``runs`` on the clock that places each run's time 0 at its shift, in time order."""
    return EventTable.on_one_clock([EventTable.of(run.events) for run in runs], shifts)


def _reach(record: Any, seconds: float) -> None:
    """Wait until a growing run has products ``seconds`` after its first, or has ended."""
    while not record.ended:
        stamps = record.stamps
        if (int(stamps[-1]) - int(stamps[0])) / 1e9 >= seconds:
            return
        record.wait(len(stamps), _GROWN_S)


def _recorder(record: Any, following: bool) -> str:
    """What the page says of a growing run's recorder: "" for a finished file being read."""
    if record.closed_by_recorder:
        return "closed"
    return "writing" if following and not record.ended else ""


class _EventsFound:
    """A run's events found as the keyframes' walk passes its products (``windows.Visit``: read
    again from the run's spool as the bytes they are, in blocks the event rules take whole), told
    to the session at most every ``_TELL_S`` while it plays, and all of them, numbered as
    ``record_events`` numbers them, at its end; the page is told how far the search has come."""

    def __init__(self, session: LiveSession, record: Any, position: int, run: int = 0) -> None:
        self._session, self._record, self._detector = session, record, Detector(record.project, position)
        self._run = run
        self._found = EventTable()      # numbered, as last told
        self._new: List[Event] = []     # found since
        self._told, self._untold = -math.inf, False
        self._every = _TELL_S
        self._first: Optional[int] = None
        self._at = 0

    def __call__(self, passed: int, stamp: int, ended: bool) -> None:
        if self._first is None and passed:
            self._first = int(self._record.products[0].timestamp_ns)
        for block in serialized(self._record.products, self._at, passed):
            found = self._detector.feed_block(block)
            if found:
                self._new += found
                self._untold = True
        self._at = max(self._at, passed)
        if ended:
            self._new += self._detector.finish()
        if ended or passed >= len(self._record.products) or time.monotonic() - self._told >= self._every:
            self._tell(stamp, ended)

    def _tell(self, stamp: int, ended: bool) -> None:
        began = time.monotonic()
        if self._untold or ended:
            self._untold = False
            # As columns: an hours-long run's tens of thousands of events in a few megabytes.
            self._found, self._new = self._found.numbered(self._new), []
            self._session.found(self._found, self._run)
        self._session.searched(None if ended else (stamp - (self._first or stamp)) / 1e9, self._run)
        # Telling renumbers every event found: as they grow many, it is done less often.
        self._told = time.monotonic()
        self._every = max(_TELL_S, _TELL_COST * (self._told - began))


class _Play:
    """One run of a live session played: ``Replay.play`` of its record, window by window (``windows``),
    into a project and viewer of its own, reading the session's clock through ``reader``, each picture
    followed by the session's cycle. Play leaves a window when the clock leaves its times (played on
    or sought); the window of the clock's time is then played from its start."""

    def __init__(self, session: LiveSession, number: int, project: Project, run: PageRun, reader: Reader) -> None:
        self.number, self.run, self.reader = number, run, reader
        self.system = project.system()
        self.viewer = WorkspaceViewer(project, *(session.options.size or ()))
        self.windows = Windows(run.record, run.events, session.options.window_s,
                               visit=session._visits[number])
        start = session.clock.start - reader.shift
        self._window: Window = self.windows.at(start)
        # The time play last read, exact and on the window's axis: what its next picture shows.
        self._shown = start, self._window.played(start)
        self._project, self._viewing = project, _Cycling(self, session)
        self._began = False         # whether play has read its t0 in the window it plays
        self.leaving: Optional[float] = None   # the time play left its window for, if it did

    def play(self) -> None:
        try:
            with play_reads(self._read):
                while True:
                    self._began, self.leaving = False, None
                    replay_of(self._project, self._window.data, self._viewing).play(index=0, speed=1.0)
                    if self.leaving is None:
                        return
                    self._window = self.windows.at(self.leaving)
        finally:
            self.windows.close()

    def _read(self) -> float:
        """The clock as play reads it in its window, noting what play will show; past the window's end
        when the clock has left it."""
        window = self._window
        if not self._began:
            self._began = True
            # The first reading of all is the clock's start; a later window's t0 is its own.
            return 0.0 if self.reader.started else self.reader.time()
        played = self.reader.time()
        own = self.reader.shown
        if played > self.reader.played_end:     # the clock is past the end, or stopped
            return window.played_end + 1.0
        if not window.holds(own):
            self.leaving = own
            return window.played_end + 1.0
        self._shown = own, window.played(own)
        return self._shown[1]

    def tell(self) -> None:
        """Tell the viewer what its next picture, of the time play shows, shows beyond play's state."""
        self._window.picture.tell(self.viewer, *self._shown)


class _Cycling:
    """The viewer as a live play sees it: each picture drawn by the real one, then the session's cycle."""

    def __init__(self, play: _Play, session: LiveSession) -> None:
        self._play, self._session = play, session

    def render(self) -> None:
        if self._play.leaving is not None:
            return      # play draws once more past its window's end, which the next window shows instead
        self._play.tell()
        self._play.viewer.render()
        self._session.cycle(self._play.number)

    def screenshot(self, filename: str) -> str:
        return self._play.viewer.screenshot(filename=filename)

