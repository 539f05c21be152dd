"""``mirvane replay``: play a recorded run through the viewer, live or into a movie."""

import argparse
import contextlib
import os
import sys
import tempfile
from typing import Any, Callable, Optional, Tuple

from ..data import span_seconds
from ..player.server import DEFAULT_HOST, DEFAULT_PORT
from . import Argument, UserError, described, _options
from ._files import MOVIE_EXT, chosen_position, chosen_span, first_line, load_project, load_recording, number_in, \
    parse_address, positive_int, rebound, seconds, whole_in, writable_destination, writing
from ._lacking import warn_lacking

VIEW_SIZE = (640, 480)
# A thousandth of real time to a thousand times it: slower, a 5 s record would take
# over an hour; faster, a movie frame (or a live cycle) spans seconds of the record.
SPEEDS = (0.001, 1000.0)
# Movie frame rates that players show; more only makes frames no one sees.
FRAME_RATES = (1, 240)
SERVE_DEFAULT = f"{DEFAULT_HOST}:{DEFAULT_PORT}"
# Frames a movie may take. The longest run 'record' makes (an hour) at the highest --fps (240)
# is 864,000; past a million, rendering takes hours (some 10 ms a frame) and the frames, kept
# until the movie is written, tens of GB of temporary space.
MAX_MOVIE_FRAMES = 1_000_000


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "replay", "replay a recorded run, live or into a movie",
        "Replay one record of RECORDING in the work cell of PROJECT.mvproj. With --movie,\n"
        "capture it into an MP4 movie (or a clip of it: --from/--to, or --event N); otherwise\n"
        "play it live, in real time times --speed, and with --serve show it in a browser as it plays.\n"
        "With a second recording, show both side by side in the browser on one clock (--serve; B placed\n"
        "by its start, --offset or --align-event), or make a movie of both, each under a caption naming it.",
        ["mirvane replay run.rec --project run.mvproj --movie run.mp4 --fps 20",
         "mirvane replay run.rec --project run.mvproj --movie grasp.mp4 --event 3 --pad 1",
         "mirvane replay run.rec --project run.mvproj --serve    # then open http://127.0.0.1:8765/",
         "mirvane replay clean.rec faulty.rec --project clean.mvproj --serve --align-event grasp:box_1",
         "mirvane replay clean.rec faulty.rec --project clean.mvproj --movie both.mp4"],
        _options.recording(),
        Argument("recording_b", nargs="?", metavar="RECORDING_B",
                 help="a second recording, to show beside the first (--serve) or in a movie of the two side by side"),
        _options.project(required=True, help="the project file of the recorded work cell"),
        Argument("--project-b", metavar="PROJECT_B.mvproj",
                 help="the project file of RECORDING_B's work cell (default: --project)"),
        _options.index("replay", -1, "-1"),
        Argument("--index-b", type=int, default=-1, metavar="J",
                 help="the record of RECORDING_B to replay, as --index picks RECORDING's (default: -1)"),
        Argument("--speed", type=number_in(*SPEEDS), default=1.0, metavar="S",
                 help=f"playback speed, 2 for twice as fast, from {SPEEDS[0]:g} to {SPEEDS[1]:g} "
                      "(default: 1); live, the starting rate"),
        Argument("--start", type=seconds, default=0.0, metavar="SECONDS",
                 help="live: start this many seconds into the record (default: 0)"),
        Argument("--paused", action="store_true", help="live: start paused"),
        Argument("--loop", action="store_true", help="live: at the end, go on from the start instead of finishing"),
        Argument("--movie", metavar="OUT.mp4", help="write the replay into this movie"),
        Argument("--fps", type=whole_in(*FRAME_RATES), metavar="F",
                 help=f"frames per second of the movie, from {FRAME_RATES[0]} to {FRAME_RATES[1]} (default: 10)"),
        _options.span_from(help="with --movie: a clip from this many seconds after the record's first product, "
                                "its frames those of the whole movie (a start between two frames begins at the "
                                "next)"),
        _options.span_to(help="with --movie: a clip up to this many seconds after the record's first product"),
        Argument("--event", type=positive_int, metavar="N",
                 help="with --movie: a clip of the record's event N, as 'mirvane events' numbers them"),
        _options.pad(help=f"with --event: seconds shown before the event and after it (default: "
                          f"{_options.EVENT_PAD:g})"),
        Argument("--serve", nargs="?", const=SERVE_DEFAULT, metavar="[HOST:]PORT",
                 help=f"show the live replay in a browser at http://HOST:PORT/ (default {SERVE_DEFAULT}: "
                      "loopback unless a host is named; port 0 takes a free one)"),
        Argument("--foxglove", nargs="?", const=SERVE_DEFAULT, metavar="[HOST:]PORT",
                 help=f"serve the live replay to the Foxglove app at ws://HOST:PORT, its playback bar steering it "
                      f"(default {SERVE_DEFAULT}, loopback unless a host is named; with --serve and no ports the "
                      "page takes the next port; needs Python 3.10 or newer and pip install 'mirvane[foxglove]')"),
        Argument("--size", type=_size, default=VIEW_SIZE, metavar="WxH",
                 help=f"picture size in pixels (default: {VIEW_SIZE[0]}x{VIEW_SIZE[1]}); "
                      "larger for a sharp view on a big or HiDPI screen"),
        Argument("--hold", action="store_true",
                 help="with --serve: keep showing the last picture after the end, until Ctrl-C"),
        *_options.alignment(),
        _options.quiet())


def run(args: argparse.Namespace) -> None:
    if args.fps is not None and not args.movie:
        raise UserError("--fps goes with --movie; add --movie OUT.mp4 or drop --fps")
    if args.movie and args.serve:
        raise UserError("--serve shows a live replay and --movie records one; choose one of them")
    if args.movie and (args.start or args.paused or args.loop):
        raise UserError("--start, --paused and --loop steer a live replay; drop them with --movie")
    if args.hold and not args.serve:
        raise UserError("--hold goes with --serve; add --serve or drop --hold")
    clip = args.span_from is not None or args.span_to is not None or args.event is not None
    if clip and not args.movie:
        raise UserError("--from, --to and --event make a clip of a movie; add --movie OUT.mp4 "
                        "(a live replay starts where --start says)")
    if args.event is not None and (args.span_from is not None or args.span_to is not None):
        raise UserError("--event N spans the event itself; drop --from and --to, or drop --event")
    if args.pad is not None and args.event is None:
        raise UserError("--pad goes with --event; add --event N or drop --pad")
    aligned = args.align is not None or args.offset is not None or args.align_event is not None
    if args.recording_b is not None:
        if clip:
            raise UserError("a movie of two recordings shows them whole; drop --from, --to and --event")
        if args.movie:
            if aligned:
                raise UserError("a movie of two recordings starts both together; drop --align, --offset and "
                                "--align-event, or watch them aligned with --serve")
            from ._side_by_side import replay_side_by_side
            replay_side_by_side(args)
            return
        if not args.serve:
            raise UserError("two recordings are shown side by side in a movie or in the browser; "
                            "add --movie OUT.mp4 or --serve")
        if args.foxglove is not None:
            raise UserError("--foxglove shows one recording; watch two side by side with --serve alone")
    elif args.project_b or aligned:
        raise UserError("--project-b, --align, --offset and --align-event go with a second recording; "
                        "add RECORDING_B or drop them")
    address = parse_address(args.serve) if args.serve else None
    foxglove = _foxglove_address(args)
    if foxglove is not None and address is not None and address[1] == foxglove[1] != 0:
        if args.serve != SERVE_DEFAULT:
            raise UserError(f"--serve {args.serve} and --foxglove {args.foxglove} ask for one port; give them two")
        address = address[0], address[1] + 1   # the Foxglove app's default address stays Foxglove's
    if args.movie:
        writable_destination(args.movie, MOVIE_EXT, "movie", inputs=[args.recording, args.project])

    data, position, record = chosen_record(args.recording, args.index)
    movie = _Movie(args, data, position, span_seconds(record)) if args.movie else None
    project = load_project(args.project)
    warn_lacking(project, [record], args.project, args.recording)
    if movie is not None:
        _replay_to_movie(project, movie, args)
    else:
        _replay_live(project, record, position, run_name(args.recording, position), args, address, foxglove)


def chosen_record(recording: str, index: int) -> Tuple[Any, int, Any]:
    """The recording's data, and the position and record ``index`` picks, once it is known to have
    something to show."""
    data = load_recording(recording)
    records = data.records()
    position = chosen_position(index, records, recording)
    record = records[position]
    if not record.products:
        raise UserError(f"{recording}: record {position} has no products; "
                        "replay another (see 'mirvane info')")
    span = span_seconds(record)
    if span < 0:
        raise UserError(f"{recording}: record {position} has nothing to show: its last product is stamped "
                        f"{-span:.6g} s before its first, and playback runs from the first to the last; replay "
                        "another record (see 'mirvane info'), or find the stamps out of order with 'mirvane events'")
    return data, position, record


def run_name(recording: str, position: int) -> str:
    """How the page, a caption and the terminal name a record."""
    return f"{os.path.basename(recording)} record {position}"


def _foxglove_address(args: argparse.Namespace) -> Optional[Tuple[str, int]]:
    """Where --foxglove serves, once this interpreter is known to be able to."""
    if args.foxglove is None:
        return None
    if args.movie:
        raise UserError("--foxglove serves a live replay and --movie records one; choose one of them")
    if sys.version_info < (3, 10):
        raise UserError(f"--foxglove needs Python 3.10 or newer (this is {sys.version_info[0]}.{sys.version_info[1]}); "
                        "run mirvane with a newer Python, or watch with --serve")
    try:
        from ..player import foxglove  # noqa: F401
    except ImportError:
        raise UserError("--foxglove needs foxglove-sdk: pip install 'mirvane[foxglove]'") from None
    return parse_address(args.foxglove, "--foxglove")


def _size(text: str) -> Tuple[int, int]:
    """An argparse type: WIDTHxHEIGHT in pixels, each from 16 to 8192."""
    width, _, height = text.lower().partition("x")
    if not (width.isdigit() and height.isdigit() and 16 <= int(width) <= 8192 and 16 <= int(height) <= 8192):
        raise argparse.ArgumentTypeError(f"must be WIDTHxHEIGHT with each from 16 to 8192 pixels, not {text!r}")
    return int(width), int(height)


class _Movie:
    """What a movie of a record is made of, settled before any work: the frames of the whole movie
    it keeps (all of them, or a clip's) and the data play makes them from."""

    def __init__(self, args: argparse.Namespace, data: Any, position: int, span: float) -> None:
        from ..data import Data
        from ..movie import frame_count, frames_within, shown_through

        self.fps = args.fps or 10
        record = data.records()[position]
        start, end = _clip_span(args, record, position, span)
        self.frames = frames_within(start, end, span, args.speed, self.fps)
        if not self.frames:
            raise UserError(f"the span from {start:g} s to {end:g} s holds no frame of the movie: at --fps {self.fps} "
                            f"and --speed {args.speed:g} its frames are {args.speed / self.fps:g} s apart; widen it")
        # Play runs its clock from the record's start, so the frames before a clip are played (not
        # drawn) as the whole movie plays them; the products after its last frame are left out.
        needed = shown_through(record, args.speed * (self.frames.stop - 1) / self.fps)
        self.data, self.position = data, position
        if needed is not record:
            self.data, self.position = Data(), 0
            self.data.addRecord(needed)
        self.played = frame_count(span_seconds(needed), args.speed, self.fps)
        if self.played > MAX_MOVIE_FRAMES:
            raise UserError(f"{args.recording}: record {position} spans {span:.6g} s, and playing it to "
                            f"{span_seconds(needed):.6g} s for the movie takes {self.played:,} frames at --fps "
                            f"{self.fps} and --speed {args.speed:g}, more than {MAX_MOVIE_FRAMES:,}; make a clip of a "
                            "part of it with --from/--to SECONDS or --event N, or raise --speed")


def _clip_span(args: argparse.Namespace, record: Any, position: int, span: float) -> Tuple[float, float]:
    """The seconds of the record a movie shows: ``--from``/``--to``, or ``--event`` padded."""
    if args.event is None:
        start, end = chosen_span(args.span_from, args.span_to)
    else:
        from ..analysis.events import record_events

        events = record_events(record, position)
        event = next((e for e in events if e.number == args.event), None)
        if event is None:
            have = f"{len(events)} events, numbered from 1" if events else "no events"
            raise UserError(f"--event {args.event}: record {position} of {args.recording} has {have}; "
                            f"see them with 'mirvane events {args.recording} --index {position}'")
        pad = _options.EVENT_PAD if args.pad is None else args.pad
        start, end = max(event.time - pad, 0.0), event.end + pad
    if start > max(span, 0.0):
        raise UserError(f"--from {start:g}: record {position} spans {max(span, 0.0):.6g} s; start within it")
    return start, end


class _Captured:
    """The viewer as a movie's play sees it: draws and captures the frames the movie keeps,
    takes in the others without drawing them, and reports each frame played."""

    def __init__(self, viewer: Any, frames: range, on_frame: Callable[[bool], None]) -> None:
        self._viewer, self._frames, self._on_frame = viewer, frames, on_frame
        self._frame = 0     # the number of the frame play is at

    def render(self) -> None:
        if self._frame in self._frames:
            self._viewer.render()
        else:
            self._viewer.skip()

    def screenshot(self, filename: str) -> str:
        kept = self._frame in self._frames
        self._frame += 1
        if kept:
            with writing(tempfile.gettempdir(), "the movie's frames", "free some space or set TMPDIR to another place"):
                filename = self._viewer.screenshot(filename=filename)
        self._on_frame(kept)
        return filename


def _replay_to_movie(project: Any, movie: _Movie, args: argparse.Namespace) -> None:
    import mirvane.replay
    from tqdm import tqdm

    from ..movie import keeping
    from ..viewer import WorkspaceViewer

    played = captured = 0
    bar = tqdm(total=movie.played, desc="capturing frames", unit="frame", disable=args.quiet, leave=False)

    def frame_played(kept: bool) -> None:
        nonlocal played, captured
        played += 1
        captured += kept
        bar.update()
        if played == movie.played:
            bar.close()   # the movie writer's bar follows

    replay = mirvane.replay.Replay()
    replay.setProject(project)
    replay.setData(movie.data)
    replay.setViewer(_Captured(WorkspaceViewer(project, *args.size), movie.frames, frame_played))
    with contextlib.ExitStack() as stack:
        stack.callback(bar.close)
        # Frames go to a directory of this command's own; play writes the movie
        # beside its destination and puts it in place only once complete.
        frames = stack.enter_context(tempfile.TemporaryDirectory(prefix="mirvane-frames-"))
        stack.enter_context(rebound(mirvane.replay, "_MOVIE_TMP_PNG_PATH", frames))
        stack.enter_context(rebound(mirvane.replay, "ImageSequenceClip", keeping(movie.frames)))
        # moviepy announces its steps on standard output; they are progress, so
        # they go with its bar to standard error, and with --quiet nowhere.
        if args.quiet:
            devnull = stack.enter_context(open(os.devnull, "w"))
            stack.enter_context(contextlib.redirect_stdout(devnull))
            stack.enter_context(contextlib.redirect_stderr(devnull))
        else:
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        with writing(args.movie, "the movie"):
            replay.play(index=movie.position, speed=args.speed, moviename=args.movie, fps=movie.fps)
    if not args.quiet:
        fps = movie.fps
        shown = "" if len(movie.frames) == movie.played else \
            f", the record from {args.speed * movie.frames.start / fps:.2f} s to " \
            f"{args.speed * (movie.frames.stop - 1) / fps:.2f} s"
        print(f"Wrote {args.movie}: {captured} frames at {fps} fps ({captured / fps:.1f} s){shown}")


def _replay_live(project: Any, record: Any, index: int, name: str, args: argparse.Namespace,
                 page: Optional[Tuple[str, int]], foxglove: Optional[Tuple[str, int]]) -> None:
    from ..analysis.align import AlignmentError
    from ..player.clock import checked_rate
    from ..player.session import CannotServe, LiveOptions, LiveSession, Run

    try:
        checked_rate(args.speed)
    except ValueError as e:
        raise UserError(f"--speed {args.speed:g}: {e}") from None
    runs = [Run(project, record, name, index)]
    alignment = _options.chosen_alignment(args)
    if args.recording_b is not None:
        _, position, record_b = chosen_record(args.recording_b, args.index_b)
        # A project of its own even when the file is A's: play sets the project's states.
        project_b = load_project(args.project_b or args.project)
        warn_lacking(project_b, [record_b], args.project_b or args.project, args.recording_b)
        runs.append(Run(project_b, record_b, run_name(args.recording_b, position), position))
    options = LiveOptions(start=args.start, rate=args.speed, paused=args.paused, loop=args.loop, page=page,
                          foxglove=foxglove, size=args.size, hold=args.hold, quiet=args.quiet)
    try:
        session = LiveSession(runs, options, alignment)
    except AlignmentError as e:
        raise _options.not_aligned(alignment, e) from None
    if args.start > max(session.span, 0.0):
        spans = "the record spans" if len(runs) == 1 else "the runs span, side by side,"
        raise UserError(f"--start {args.start:g}: {spans} {max(session.span, 0.0):.2f} s; start within it")
    try:
        with session:
            session.play()
    except CannotServe as e:
        if e.output == "page":
            raise UserError(f"cannot serve on {args.serve} ({first_line(e)}); "
                            "choose another address with --serve [HOST:]PORT") from None
        raise UserError(f"cannot serve Foxglove on {args.foxglove} ({first_line(e)}); "
                        "choose another address with --foxglove [HOST:]PORT") from None
