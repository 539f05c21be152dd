"""Movies of records: planned before any work, then played by ``Replay.play`` into frames.

A ``MoviePlan`` settles what a movie of one record is made of (its frame rate and speed, the frames
of the whole movie it keeps, which a clip's span picks, and the data play makes them from) and
refuses, in one line, one that could not be made. ``make_movie`` plays a plan into its movie (the
clip of ``mirvane.movie`` writes it, whole or not at all) and ``make_side_by_side`` two runs into
one. ``replay --movie``, its side-by-side movie and ``render`` all make movies here.

This is the player's layer: above the records and the event model (a clip of an event finds it
with ``record_events``), below the catalog and the commands, which only say what to make.
"""

import contextlib
import math
import os
import sys
import tempfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..data import Data, span_seconds
from ..records import play_seconds, seconds_between
from ..reasons import cannot_write
from ..rebinding import movie_clip, movie_frames_in
from .movie_windows import Cut, windowable, windowed

if TYPE_CHECKING:
    from dravik.api.data_pb2 import Product, Record

    from ..analysis.events import Event

    from ..project import Project
    from ..replay import Replay
    from ..viewer import WorkspaceViewer
    from .picture import Picture

Streamed = Tuple[int, "Record", Iterator["Product"]]

#: The picture size of a movie's frames, in pixels, unless told.
VIEW_SIZE = (640, 480)
DEFAULT_FPS = 10
# Frames a movie may take. The longest run 'record' makes (an hour) at the highest frame rate
# (240) is 864,000; past a million, rendering takes hours (some 10 ms a frame) and the frames,
# kept until the movie is written, tens of GB of temporary space.
MAX_MOVIE_FRAMES = 1_000_000


class CannotShow(ValueError):
    """A record that cannot be shown as asked: ``reason`` says why and what to do, in one line
    (naming the options of ``mirvane replay`` that mend it); ``path`` is its recording."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(reason)
        self.path, self.reason = path, reason


class CannotWrite(Exception):
    """A movie, or its frames, that could not be written at ``path``: ``reason`` says why and what to do."""

    def __init__(self, path: str, error: BaseException, what: str, advice: str = "") -> None:
        self.path, self.reason = path, cannot_write(path, error, what, advice)
        super().__init__(self.reason)


@dataclass(frozen=True)
class Span:
    """The seconds of a record a movie shows, after its first product: all of it unless told."""
    start: float = 0.0
    end: float = math.inf


@dataclass(frozen=True)
class EventSpan:
    """A record's event ``number`` (as ``mirvane events`` numbers them), ``pad`` seconds before and after."""
    number: int
    pad: float


def check_showable(record: "Record", path: str, position: int) -> None:
    """Refuse a record with nothing for playback to show."""
    if not record.products:
        raise CannotShow(path, f"{path}: record {position} has no products; replay another (see 'mirvane info')")
    span = span_seconds(record)
    if span < 0:
        raise CannotShow(path, f"{path}: record {position} has nothing to show: its last product is stamped "
                               f"{-span:.6g} s before its first, and playback runs from the first to the last; "
                               "replay another record (see 'mirvane info'), or find the stamps out of order with "
                               "'mirvane events'")


@dataclass(frozen=True)
class MoviePlan:
    """What a movie of a record is made of, settled before any work: the frames of the whole movie
    it keeps (all of them, or a clip's), how many play makes, and the data it makes them from."""
    fps: int
    speed: float
    frames: range
    played: int
    data: Optional[Data]    # the record play plays, unless it is read a product at a time (``read``)
    position: int       # of the record played, in ``data``
    events: "Tuple[Event, ...]" = ()     # the record's, which its frames show
    #: The record's position, header and products, read afresh at each call, when it is never held whole.
    read: Optional[Callable[[], "Streamed"]] = None

    @classmethod
    def of(cls, record: "Record", path: str, position: int, fps: int = DEFAULT_FPS, speed: float = 1.0,
           span: Union[Span, EventSpan] = Span(), data: Optional[Data] = None) -> "MoviePlan":
        """The plan of a movie of ``record``, the record at ``position`` of the recording at ``path``
        (``data``, if given, holds it there; else it is played alone). Raises ``CannotShow``."""
        from ..analysis.events import record_events
        from ..movie import shown_through

        check_showable(record, path, position)
        events = tuple(record_events(record, position))
        first = record.products[0].timestamp_ns
        frames = _frames_of(span, events, path, position, first, record.products[-1].timestamp_ns, speed, fps)
        # Play runs its clock from the record's start, so the frames before a clip are played (not
        # drawn) as the whole movie plays them; the products after its last frame are left out.
        needed = shown_through(record, speed * (frames.stop - 1) / fps)
        played = _played(path, position, span_seconds(record), first, needed.products[-1].timestamp_ns, speed, fps)
        played_at = position
        if needed is not record or data is None:
            data, played_at = Data(), 0
            data.addRecord(needed)
        return cls(fps, speed, frames, played, data, played_at, events)

    @classmethod
    def streamed(cls, read: Callable[[], "Streamed"], path: str, fps: int = DEFAULT_FPS, speed: float = 1.0,
                 span: Union[Span, EventSpan] = Span()) -> "MoviePlan":
        """``of`` the record ``read()`` gives (its position in the recording at ``path``, its header
        and its products, read afresh at each call), never held whole: read for its events and
        stamps, for the stamps about its span's end, and (``make_movie``) for its frames. A record
        whose stamps go back in time is read whole.
        """
        from ..analysis.events import product_events
        from ..movie import shown_stamps

        position, header, products = read()
        stamps = _Stamps()
        events = tuple(product_events(header.project, stamps.seen(products), position))
        if not stamps.ordered or not stamps.count or not windowable(None, speed, fps):
            position, header, products = read()
            header.products.extend(products)
            return cls.of(header, path, position, fps, speed, span)
        frames = _frames_of(span, events, path, position, stamps.first, stamps.last, speed, fps)
        last = speed * (frames.stop - 1) / fps
        # A movie to the record's end needs all of it: only a clip ending before has its end's stamps read.
        near = [stamps.last] if last >= play_seconds(stamps.first, stamps.last) else _stamps_near(read()[2], last)
        count, stamp = shown_stamps(stamps.first, near, last)
        played = _played(path, position, seconds_between(stamps.first, stamps.last), stamps.first,
                         near[count - 1] if stamp is None else stamp, speed, fps)
        return cls(fps, speed, frames, played, None, position, events, read)

    @property
    def clipped(self) -> bool:
        """Whether the movie keeps only some of the frames play makes."""
        return len(self.frames) != self.played

    def shown(self) -> Tuple[float, float]:
        """The record's seconds at the first and the last frame kept."""
        return self.speed * self.frames.start / self.fps, self.speed * (self.frames.stop - 1) / self.fps


def _stamps_near(products: Iterator["Product"], t: float) -> List[int]:
    """The stamps of the products (in time order) of the last time on play's axis at or before
    ``t``, and of the first after it, if any: what ``movie.shown_stamps`` needs of them."""
    first: Optional[int] = None
    near: List[int] = []
    for product in products:
        stamp = product.timestamp_ns
        first = stamp if first is None else first
        if near and play_seconds(first, near[-1]) != play_seconds(first, stamp):
            if play_seconds(first, stamp) > t:
                return [*near, stamp]
            near = []
        near.append(stamp)
    return near


class _Stamps:
    """The stamps of products passing by: the first, the last, how many and whether in time order."""

    def __init__(self) -> None:
        self.first = self.last = self.count = 0
        self.ordered = True

    def seen(self, products: Iterator["Product"]) -> Iterator["Product"]:
        for product in products:
            stamp = product.timestamp_ns
            self.first = stamp if not self.count else self.first
            self.ordered = self.ordered and (not self.count or stamp >= self.last)
            self.last, self.count = stamp, self.count + 1
            yield product


def _frames_of(span: Union[Span, EventSpan], events: Sequence["Event"], path: str, position: int,
               first_ns: int, last_ns: int, speed: float, fps: int) -> range:
    """The frames of the whole movie of a record (its first and last products stamped ``first_ns``
    and ``last_ns``) that a movie of ``span`` keeps."""
    from ..movie import frames_within

    whole = seconds_between(first_ns, last_ns)
    start, end = _seconds(span, events, path, position, whole)
    # Play's clock ends a little off the exact end: a span to the end reaches the movie's last frame.
    frames = frames_within(start, end if end < whole else math.inf, play_seconds(first_ns, last_ns), speed, fps)
    if not frames:
        raise CannotShow(path, f"the span from {start:g} s to {end:g} s holds no frame of the movie: at --fps "
                               f"{fps} and --speed {speed:g} its frames are {speed / fps:g} s apart; widen it")
    return frames


def _played(path: str, position: int, whole: float, first_ns: int, needed_ns: int, speed: float, fps: int) -> int:
    """How many frames play makes of a record spanning ``whole`` seconds to show the product
    stamped ``needed_ns``; refused past ``MAX_MOVIE_FRAMES``."""
    from ..movie import frame_count

    played = frame_count(play_seconds(first_ns, needed_ns), speed, fps)
    if played > MAX_MOVIE_FRAMES:
        raise CannotShow(path, f"{path}: record {position} spans {whole:.6g} s, and playing it to "
                               f"{seconds_between(first_ns, needed_ns):.6g} s for the movie takes {played:,} frames "
                               f"at --fps {fps} and --speed {speed:g}, more than {MAX_MOVIE_FRAMES:,}; make a clip "
                               "of a part of it with --from/--to SECONDS or --event N, or raise --speed")
    return played


def _seconds(span: Union[Span, EventSpan], events: Sequence["Event"], path: str, position: int,
             whole: float) -> Tuple[float, float]:
    """The seconds of the record a movie shows: a span, or one of its ``events`` padded."""
    if isinstance(span, Span):
        start, end = span.start, span.end
    else:
        event = next((e for e in events if e.number == span.number), None)
        if event is None:
            have = f"{len(events)} events, numbered from 1" if events else "no events"
            raise CannotShow(path, f"--event {span.number}: record {position} of {path} has {have}; "
                                   f"see them with 'mirvane events {path} --index {position}'")
        start, end = max(event.time - span.pad, 0.0), event.end + span.pad
    if start > max(whole, 0.0):
        raise CannotShow(path, f"--from {start:g}: record {position} spans {max(whole, 0.0):.6g} s; start within it")
    return start, end


def replay_of(project: "Project", data: Data, viewer: Any) -> "Replay":
    """A ``Replay`` of ``data`` in ``project``, showing it to ``viewer``."""
    from ..replay import Replay

    replay = Replay()
    replay.setProject(project)
    replay.setData(data)
    replay.setViewer(viewer)
    return replay


class _Captured:
    """The viewer as a movie's play sees it: draws and captures the frames the movie keeps
    (``frames``, numbered from play's first, which is the movie's frame ``first``), each with what
    ``picture`` tells of its time, and reports each frame played."""

    def __init__(self, viewer: "WorkspaceViewer", plan: MoviePlan, on_frame: Callable[[bool], None],
                 picture: "Picture", frames: range, first: int = 0) -> None:
        self._viewer, self._plan, self._frames, self._on_frame = viewer, plan, frames, on_frame
        self._picture = picture
        self._first = first
        self._frame = 0     # the number of the frame play is at

    def render(self) -> None:
        if self._frame in self._frames:
            # The clock of the movie's frame k, computed as play computes it.
            self._picture.tell(self._viewer, self._plan.speed * (self._first + self._frame) / self._plan.fps)
            self._viewer.render()

    def screenshot(self, filename: str) -> str:
        kept = self._frame in self._frames
        self._frame += 1
        if kept:
            try:
                filename = self._viewer.screenshot(filename=filename)
            except OSError as e:
                raise CannotWrite(tempfile.gettempdir(), e, "the movie's frames",
                                  "free some space or set TMPDIR to another place") from None
        self._on_frame(kept)
        return filename


def _picture(plan: MoviePlan, cut: "Optional[Cut]" = None) -> "Picture":
    """What ``plan``'s pictures show beyond play's state: of the record, or of ``cut`` of it."""
    from .picture import Picture

    step = plan.speed / plan.fps
    if cut is not None:
        return Picture(cut.record, plan.events, step, cut.reports, cut.seen, np.asarray(cut.times, dtype=np.float64))
    assert plan.data is not None    # a plan holds one of them
    return Picture(plan.data.records()[plan.position], plan.events, step)


def _play(project: "Project", plan: MoviePlan, size: Tuple[int, int], on_frame: Callable[[bool], None],
          moviename: str, window: Optional[Tuple[range, Data, "Picture"]] = None) -> None:
    """``plan`` played by ``Replay.play`` into a movie named ``moviename``, each frame reported; or
    with ``window`` (its frames of the movie, the data it is played from, the movie's picture)
    that window of it, whose frames 1 on are the movie's."""
    from ..viewer import WorkspaceViewer

    viewer = WorkspaceViewer(project, *size, captioned=True)
    if window is None:
        assert plan.data is not None    # a plan without it is played in windows
        captured = _Captured(viewer, plan, on_frame, _picture(plan), plan.frames)
        data, position = plan.data, plan.position
    else:
        frames, data, picture = window
        captured = _Captured(viewer, plan, on_frame, picture, range(1, len(frames) + 1), frames.start - 1)
        position = 0
    replay_of(project, data, captured).play(index=position, speed=plan.speed, moviename=moviename, fps=plan.fps)


@contextlib.contextmanager
def _progress_output(quiet: bool) -> Iterator[None]:
    """moviepy announces its steps on standard output; they are progress, so within the block
    they go with its bar to standard error, and when ``quiet`` nowhere."""
    with contextlib.ExitStack() as stack:
        if quiet:
            devnull = stack.enter_context(open(os.devnull, "w"))
            stack.enter_context(contextlib.redirect_stdout(devnull))
            stack.enter_context(contextlib.redirect_stderr(devnull))
        else:
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        yield


def make_movie(project: "Project", plan: MoviePlan, out: str, size: Tuple[int, int] = VIEW_SIZE,
               quiet: bool = False) -> int:
    """Play ``plan`` in ``project`` into the movie ``out``, written whole or not at all, with a
    progress bar unless ``quiet``; the number of frames it holds. Raises ``CannotWrite``."""
    from tqdm import tqdm

    from ..movie import ImageSequenceClip, keeping

    played = captured = 0
    bar = tqdm(total=plan.played, desc="capturing frames", unit="frame", disable=quiet, leave=False)

    def frame_played(kept: bool) -> None:
        nonlocal played, captured
        played += 1
        captured += kept
        bar.update()
        if played == plan.played:
            bar.close()   # the movie writer's bar follows

    def frame_kept(kept: bool) -> None:
        bar.update(int(kept))

    windows = _windows(plan)
    with contextlib.ExitStack() as stack:
        stack.callback(bar.close)
        # Frames go to a directory of this call's own, removed however play ends (play leaves
        # them when it fails); the movie is written beside its destination, in place once complete.
        frames = stack.enter_context(tempfile.TemporaryDirectory(prefix="mirvane-frames-"))
        stack.enter_context(_progress_output(quiet))
        try:
            if windows is None:
                stack.enter_context(movie_frames_in(frames))
                stack.enter_context(movie_clip(keeping(plan.frames)))
                _play(project, plan, size, frame_played, out)
                return captured
            bar.reset(total=len(plan.frames))
            kept = _played_in_windows(project, plan, windows, size, frames, frame_kept, out)
            bar.close()
            ImageSequenceClip(kept, fps=plan.fps).write_videofile(out)
        except OSError as e:
            raise CannotWrite(out, e, "the movie") from None
    return len(kept)


def _windows(plan: MoviePlan) -> Optional[Iterator[Tuple[range, "Record", Cut]]]:
    """The windows ``plan`` is played in (``movie_windows``), or None when it is played whole."""
    if plan.read is not None:
        _, header, products = plan.read()
        return windowed(header, products, plan.frames, plan.speed, plan.fps)
    assert plan.data is not None
    record = plan.data.records()[plan.position]
    if not windowable(record, plan.speed, plan.fps):
        return None
    return windowed(record, record.products, plan.frames, plan.speed, plan.fps)


def _played_in_windows(project: "Project", plan: MoviePlan, windows: Iterator[Tuple[range, "Record", Cut]],
                       size: Tuple[int, int], directory: str, on_frame: Callable[[bool], None], out: str) -> List[str]:
    """``plan``'s frames played window by window, each reported, kept in ``directory``, in order."""
    kept: List[str] = []
    for window, played_from, cut in windows:
        data = Data()
        data.addRecord(played_from)
        with movie_frames_in(os.path.join(directory, "play")), \
                movie_clip(_keeper(directory, kept, range(1, len(window) + 1))):
            _play(project, plan, size, on_frame, out, (window, data, _picture(plan, cut)))
    return kept


@dataclass(frozen=True)
class Run:
    """One of two runs of a side-by-side movie: its name in the caption, its project, its movie's plan."""
    name: str
    project: "Project"
    plan: MoviePlan


def make_side_by_side(runs: Tuple[Run, Run], out: str, size: Tuple[int, int] = VIEW_SIZE,
                      quiet: bool = False) -> Tuple[int, int]:
    """Two runs in one movie ``out``, side by side, at the first's frame rate; the frames of each.

    Each run is played by ``Replay.play`` into the frames of its own movie, kept instead of written
    (``play``'s clip is rebound for the call to one that keeps them), then joined under captions
    naming the runs by ``mirvane.movie.SideBySideClip``, which writes the movie whole or not at all.
    The left half of frame k is frame k of A's own movie, the right half B's; the shorter run holds
    its last frame. Raises ``CannotWrite``.
    """
    from ..movie import SideBySideClip
    from ..viewer import caption

    fps = runs[0].plan.fps
    # Both runs' frames in one directory of this call's own, removed however it ends.
    with tempfile.TemporaryDirectory(prefix="mirvane-frames-") as scratch, _progress_output(quiet):
        a, b = (_frames(run, os.path.join(scratch, side), out, size, quiet) for run, side in zip(runs, "ab"))
        captions = caption(f"A: {runs[0].name}", size[0]), caption(f"B: {runs[1].name}", size[0])
        clip = SideBySideClip(a, b, captions, fps)
        try:
            clip.write_videofile(out)
        except OSError as e:
            raise CannotWrite(out, e, "the movie") from None
    return len(a), len(b)


def _frames(run: Run, directory: str, out: str, size: Tuple[int, int], quiet: bool) -> List[str]:
    """The run played by ``Replay.play`` into its movie's frames, kept in ``directory``, in order."""
    from tqdm import tqdm

    os.mkdir(directory)
    kept: List[str] = []
    bar = tqdm(total=run.plan.played, desc=f"capturing {run.name}", unit="frame", disable=quiet, leave=False)

    def frame_played(shown: bool) -> None:
        bar.update(int(shown))
    windows = _windows(run.plan)
    with contextlib.closing(bar):
        if windows is not None:
            return _played_in_windows(run.project, run.plan, windows, size, directory, frame_played, out)
        with movie_frames_in(os.path.join(directory, "play")), movie_clip(_keeper(directory, kept)):
            _play(run.project, run.plan, size, frame_played, out)
    return kept


def _keeper(directory: str, kept: List[str], frames: range = range(MAX_MOVIE_FRAMES + 2)) -> Callable[..., Any]:
    """What ``play`` takes for its clip: moves the ``frames`` it is given, in order, into ``directory``
    (listed in ``kept``, after those there) when asked to write the movie, before ``play`` removes
    its frame directory."""
    class Kept:
        def __init__(self, image_files: Sequence[str], fps: int) -> None:
            self.image_files = list(image_files)[frames.start:frames.stop]

        def write_videofile(self, moviename: str) -> None:
            for frame in self.image_files:
                kept.append(os.path.join(directory, f"{len(kept):08d}.png"))
                os.replace(frame, kept[-1])
    return Kept
