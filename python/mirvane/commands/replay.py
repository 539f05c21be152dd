"""``mirvane replay``: play a recorded run through the viewer, live or into a movie."""

import argparse
import contextlib
import math
import os
import sys
import tempfile
from typing import Any, Callable, Optional, Tuple

from ..data import span_seconds
from ..player.server import DEFAULT_HOST, DEFAULT_PORT
from . import Argument, UserError, described, _options
from ._files import MOVIE_EXT, chosen_position, first_line, load_project, load_recording, number_in, \
    parse_address, rebound, whole_in, writable_destination, writing
from ._lacking import warn_lacking

VIEW_SIZE = (640, 480)
# A thousandth of real time to a thousand times it: slower, a 5 s record would take
# over an hour; faster, a movie frame (or a live cycle) spans seconds of the record.
SPEEDS = (0.001, 1000.0)
# Movie frame rates that players show; more only makes frames no one sees.
FRAME_RATES = (1, 240)
SERVE_DEFAULT = f"{DEFAULT_HOST}:{DEFAULT_PORT}"


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "replay", "replay a recorded run, live or into a movie",
        "Replay one record of RECORDING in the work cell of PROJECT.mvproj. With --movie,\n"
        "capture it into an MP4 movie; otherwise play it live, in real time times --speed,\n"
        "and with --serve show it in a browser as it plays.",
        ["mirvane replay run.rec --project run.mvproj --movie run.mp4 --fps 20",
         "mirvane replay run.rec --project run.mvproj --serve    # then open http://127.0.0.1:8765/"],
        _options.recording(),
        _options.project(required=True, help="the project file of the recorded work cell"),
        _options.index("replay", -1, "-1"),
        Argument("--speed", type=number_in(*SPEEDS), default=1.0, metavar="S",
                 help=f"playback speed, 2 for twice as fast, from {SPEEDS[0]:g} to {SPEEDS[1]:g} "
                      "(default: 1); live, the starting rate"),
        Argument("--start", type=_seconds, default=0.0, metavar="SECONDS",
                 help="live: start this many seconds into the record (default: 0)"),
        Argument("--paused", action="store_true", help="live: start paused"),
        Argument("--loop", action="store_true", help="live: at the end, go on from the start instead of finishing"),
        Argument("--movie", metavar="OUT.mp4", help="write the replay into this movie"),
        Argument("--fps", type=whole_in(*FRAME_RATES), metavar="F",
                 help=f"frames per second of the movie, from {FRAME_RATES[0]} to {FRAME_RATES[1]} (default: 10)"),
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
    address = parse_address(args.serve) if args.serve else None
    foxglove = _foxglove_address(args)
    if foxglove is not None and address is not None and address[1] == foxglove[1] != 0:
        if args.serve != SERVE_DEFAULT:
            raise UserError(f"--serve {args.serve} and --foxglove {args.foxglove} ask for one port; give them two")
        address = address[0], address[1] + 1   # the Foxglove app's default address stays Foxglove's
    if args.movie:
        writable_destination(args.movie, MOVIE_EXT, "movie", inputs=[args.recording, args.project])

    data = load_recording(args.recording)
    records = data.records()
    position = chosen_position(args.index, records, args.recording)
    record = records[position]
    if not record.products:
        raise UserError(f"{args.recording}: record {position} has no products; "
                        "replay another (see 'mirvane info')")
    project = load_project(args.project)
    warn_lacking(project, [record], args.project, args.recording)
    if args.movie:
        _replay_to_movie(project, data, position, args, span_seconds(record))
    else:
        _replay_live(project, record, f"{os.path.basename(args.recording)} record {position}", args, address,
                     foxglove)


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


def _seconds(text: str) -> float:
    """An argparse type: a finite number of seconds, zero or more."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a number of seconds, zero or more, not {text!r}")
    return value


def _size(text: str) -> Tuple[int, int]:
    """An argparse type: WIDTHxHEIGHT in pixels, each from 16 to 8192."""
    width, _, height = text.lower().partition("x")
    if not (width.isdigit() and height.isdigit() and 16 <= int(width) <= 8192 and 16 <= int(height) <= 8192):
        raise argparse.ArgumentTypeError(f"must be WIDTHxHEIGHT with each from 16 to 8192 pixels, not {text!r}")
    return int(width), int(height)


def movie_frames(span: float, speed: float, fps: int) -> int:
    """How many frames a movie of a record spanning ``span`` seconds gets: one per clock step
    ``speed / fps`` up to and including the first step past the end."""
    if span < 0:
        return 0
    past = math.floor(span * fps / speed)   # near the first step past the end; settled exactly below
    while speed * past / fps <= span:
        past += 1
    while past > 0 and speed * (past - 1) / fps > span:
        past -= 1
    return past + 1


class _Counted:
    """The viewer as a movie's play sees it: draws through the real one and reports each captured frame."""

    def __init__(self, viewer: Any, on_frame: Callable[[], None]) -> None:
        self._viewer, self._on_frame = viewer, on_frame

    def render(self) -> None:
        self._viewer.render()

    def screenshot(self, filename: str) -> str:
        with writing(tempfile.gettempdir(), "the movie's frames", "free some space or set TMPDIR to another place"):
            written: str = self._viewer.screenshot(filename=filename)
        self._on_frame()
        return written


def _replay_to_movie(project: Any, data: Any, position: int, args: argparse.Namespace, span: float) -> None:
    import mirvane.replay
    from tqdm import tqdm

    from ..viewer import WorkspaceViewer

    fps = args.fps or 10
    expected = movie_frames(span, args.speed, fps)
    captured = 0
    bar = tqdm(total=expected, desc="capturing frames", unit="frame", disable=args.quiet, leave=False)

    def frame_captured() -> None:
        nonlocal captured
        captured += 1
        bar.update()
        if captured == expected:
            bar.close()   # the movie writer's bar follows

    replay = mirvane.replay.Replay()
    replay.setProject(project)
    replay.setData(data)
    replay.setViewer(_Counted(WorkspaceViewer(project, *args.size), frame_captured))
    with contextlib.ExitStack() as stack:
        stack.callback(bar.close)
        # Frames go to a directory of this command's own; play writes the movie
        # beside its destination and puts it in place only once complete.
        frames = stack.enter_context(tempfile.TemporaryDirectory(prefix="mirvane-frames-"))
        stack.enter_context(rebound(mirvane.replay, "_MOVIE_TMP_PNG_PATH", frames))
        # moviepy announces its steps on standard output; they are progress, so
        # they go with its bar to standard error, and with --quiet nowhere.
        if args.quiet:
            devnull = stack.enter_context(open(os.devnull, "w"))
            stack.enter_context(contextlib.redirect_stdout(devnull))
            stack.enter_context(contextlib.redirect_stderr(devnull))
        else:
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        with writing(args.movie, "the movie"):
            replay.play(index=position, speed=args.speed, moviename=args.movie, fps=fps)
    if not args.quiet:
        print(f"Wrote {args.movie}: {captured} frames at {fps} fps ({captured / fps:.1f} s)")


def _replay_live(project: Any, record: Any, name: str, args: argparse.Namespace,
                 page: Optional[Tuple[str, int]], foxglove: Optional[Tuple[str, int]]) -> None:
    from ..player.clock import checked_rate
    from ..player.session import CannotServe, LiveOptions, LiveSession

    span = span_seconds(record)
    if args.start > max(span, 0.0):
        raise UserError(f"--start {args.start:g}: the record spans {max(span, 0.0):.2f} s; start within it")
    try:
        checked_rate(args.speed)
    except ValueError as e:
        raise UserError(f"--speed {args.speed:g}: {e}") from None
    options = LiveOptions(start=args.start, rate=args.speed, paused=args.paused, loop=args.loop, page=page,
                          foxglove=foxglove, size=args.size, hold=args.hold, quiet=args.quiet)
    session = LiveSession(project, record, options, name)
    try:
        with session:
            session.play()
    except CannotServe as e:
        if e.output == "page":
            raise UserError(f"cannot serve on {args.serve} ({first_line(e)}); "
                            "choose another address with --serve [HOST:]PORT") from None
        raise UserError(f"cannot serve Foxglove on {args.foxglove} ({first_line(e)}); "
                        "choose another address with --foxglove [HOST:]PORT") from None
