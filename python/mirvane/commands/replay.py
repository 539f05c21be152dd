"""``mirvane replay``: play a recorded run through the viewer, live or into a movie."""

import argparse
import contextlib
import ipaddress
import math
import os
import secrets
import sys
import tempfile
import time
from typing import Any, Callable, Iterable, Iterator, List, Optional, Tuple

from ..player.server import DEFAULT_HOST, DEFAULT_PORT
from . import UserError, described
from ._files import MOVIE_EXT, chosen_position, first_line, load_project, load_recording, number_in, rebound, \
    whole_in, writable_destination, writing
from ._lacking import warn_lacking
from .info import span_seconds

VIEW_SIZE = (640, 480)
# A thousandth of real time to a thousand times it: slower, a 5 s record would take
# over an hour; faster, a movie frame (or a live cycle) spans seconds of the record.
SPEEDS = (0.001, 1000.0)
# Movie frame rates that players show; more only makes frames no one sees.
FRAME_RATES = (1, 240)
#: The Foxglove app's default WebSocket port.
FOXGLOVE_PORT = 8765
SERVE_DEFAULT = f"{DEFAULT_HOST}:{DEFAULT_PORT}"


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser = described(
        subparsers, "replay", "replay a recorded run, live or into a movie",
        "Replay one record of RECORDING in the work cell of PROJECT.mvproj. With --movie,\n"
        "capture it into an MP4 movie; otherwise play it live, in real time times --speed,\n"
        "and with --serve show it in a browser as it plays.",
        "mirvane replay run.rec --project run.mvproj --movie run.mp4 --fps 20",
        "mirvane replay run.rec --project run.mvproj --serve    # then open http://127.0.0.1:8765/")
    parser.add_argument("recording", metavar="RECORDING", help="the recording file")
    parser.add_argument("--project", required=True, metavar="PROJECT.mvproj",
                        help="the project file of the recorded work cell")
    parser.add_argument("--index", type=int, default=-1, metavar="I",
                        help="position of the record to replay, negative ones counting from the end "
                             "(default: -1, the one that stopped last; 'mirvane info' lists them)")
    parser.add_argument("--speed", type=number_in(*SPEEDS), default=1.0, metavar="S",
                        help=f"playback speed, 2 for twice as fast, from {SPEEDS[0]:g} to {SPEEDS[1]:g} "
                             "(default: 1); live, the starting rate")
    parser.add_argument("--start", type=_seconds, default=0.0, metavar="SECONDS",
                        help="live: start this many seconds into the record (default: 0)")
    parser.add_argument("--paused", action="store_true", help="live: start paused")
    parser.add_argument("--loop", action="store_true",
                        help="live: at the end, go on from the start instead of finishing")
    parser.add_argument("--movie", metavar="OUT.mp4", help="write the replay into this movie")
    parser.add_argument("--fps", type=whole_in(*FRAME_RATES), metavar="F",
                        help=f"frames per second of the movie, from {FRAME_RATES[0]} to {FRAME_RATES[1]} "
                             "(default: 10)")
    parser.add_argument("--serve", nargs="?", const=SERVE_DEFAULT, metavar="[HOST:]PORT",
                        help=f"show the live replay in a browser at http://HOST:PORT/ (default "
                             f"{DEFAULT_HOST}:{DEFAULT_PORT}: loopback unless a host is named; "
                             "port 0 takes a free one)")
    parser.add_argument("--foxglove", nargs="?", const=f"{DEFAULT_HOST}:{FOXGLOVE_PORT}", metavar="[HOST:]PORT",
                        help=f"serve the live replay to the Foxglove app at ws://HOST:PORT, its playback bar "
                             f"steering it (default {DEFAULT_HOST}:{FOXGLOVE_PORT}, loopback unless a host is "
                             "named; with --serve and no ports the page takes the next port; needs Python 3.10 "
                             "or newer and pip install 'mirvane[foxglove]')")
    parser.add_argument("--size", type=_size, default=VIEW_SIZE, metavar="WxH",
                        help=f"picture size in pixels (default: {VIEW_SIZE[0]}x{VIEW_SIZE[1]}); "
                             "larger for a sharp view on a big or HiDPI screen")
    parser.add_argument("--hold", action="store_true",
                        help="with --serve: keep showing the last picture after the end, until Ctrl-C")
    parser.add_argument("--quiet", action="store_true", help="print no progress")
    return parser


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

    from ..replay import Replay
    from ..viewer import WorkspaceViewer

    replay = Replay()
    replay.setProject(project)
    replay.setData(data)
    viewer = WorkspaceViewer(project, *args.size)
    span = span_seconds(record)
    if args.movie:
        _replay_to_movie(replay, viewer, position, args, span)
    else:
        name = f"{os.path.basename(args.recording)} record {position}"
        _replay_live(replay, viewer, position, args, span, name, address, record, foxglove)


def parse_address(text: str, option: str = "--serve") -> Tuple[str, int]:
    """``[HOST:]PORT`` as (host, port); the host is loopback unless named."""
    host, _, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or int(port) > 65535:
        raise UserError(f"{option} {text}: give [HOST:]PORT with a port from 0 to 65535, e.g. 8765")
    return host or DEFAULT_HOST, int(port)


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


class _Watched:
    """The viewer as playback sees it: draws through the real one, calls every one of
    ``on_render`` after each cycle's picture and ``on_frame`` after each captured frame,
    then ``pace`` (the playback clock's wait before the next cycle)."""

    def __init__(self, viewer: Any, on_render: Iterable[Callable[[], None]] = (),
                 on_frame: Callable[[], None] = lambda: None, pace: Callable[[], None] = lambda: None) -> None:
        self._viewer = viewer
        #: One callback per live output (progress, browser page, ...); more may be appended.
        self.on_render: List[Callable[[], None]] = list(on_render)
        self._on_frame = on_frame
        self._pace = pace

    def render(self) -> None:
        self._viewer.render()
        for callback in self.on_render:
            callback()
        self._pace()

    def screenshot(self, filename: str) -> str:
        with writing(tempfile.gettempdir(), "the movie's frames", "free some space or set TMPDIR to another place"):
            written: str = self._viewer.screenshot(filename=filename)
        self._on_frame()
        return written


def _replay_to_movie(replay: Any, viewer: Any, position: int, args: argparse.Namespace, span: float) -> None:
    import mirvane.replay
    from tqdm import tqdm

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

    replay.setViewer(_Watched(viewer, on_frame=frame_captured))
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


def _replay_live(replay: Any, viewer: Any, position: int, args: argparse.Namespace, span: float,
                 name: str, address: Optional[Tuple[str, int]], record: Any,
                 foxglove: Optional[Tuple[str, int]]) -> None:
    import mirvane.replay
    from tqdm import tqdm

    from ..player import terminal
    from ..player.server import LiveView
    from ..player.clock import product_times

    clock = _clock(product_times(record), args)
    with contextlib.ExitStack() as stack:
        live: Optional[LiveView] = None
        if address is not None:
            token = None if _loopback(address[0]) else secrets.token_urlsafe(16)
            try:
                live = stack.enter_context(LiveView(*address, record_name=name, clock=clock, record=record,
                                                    span_s=span, token=token))
            except OSError as e:
                raise UserError(f"cannot serve on {args.serve} ({e.strerror or e}); "
                                "choose another address with --serve [HOST:]PORT") from None
            if not args.quiet:
                print(f"Live view at {live.url} ({'Ctrl-C stops' if args.hold else 'until the end'})",
                      flush=True)
        keyed = stack.enter_context(terminal.keys(clock))
        bar = stack.enter_context(tqdm(total=span, desc=f"preparing {len(record.products)} products", unit="s",
                                       disable=args.quiet, leave=False,
                                       bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.2f}/{total:.2f} s"))
        if keyed and not args.quiet:
            print(terminal.HELP, file=sys.stderr, flush=True)
        system = replay._project.system()

        shown = ""

        def progress() -> None:
            nonlocal shown
            if args.quiet:
                return
            status = clock.status()
            desc = f"{'paused' if status.paused else 'playing'} {status.rate:g}x{' loop' if status.loop else ''}"
            if shown != desc:
                shown = desc
                bar.set_description_str(desc)
            if abs(status.time - bar.n) >= 0.05 or status.paused:
                bar.update(status.time - bar.n)

        watched = _Watched(viewer, on_render=[progress], pace=clock.pace)
        if live is not None:
            view = live
            watched.on_render.append(lambda: view.publish(viewer.image(), clock.status().shown, system.state()))
        served = None
        if foxglove is not None:
            from ..player.foxglove import FoxgloveLive
            workspace = replay._project.workspace()
            try:
                served = stack.enter_context(FoxgloveLive(*foxglove, record=record, workspace=workspace, clock=clock,
                                                          name=name))
            except RuntimeError as e:   # foxglove-sdk's: binding failed
                raise UserError(f"cannot serve Foxglove on {args.foxglove} ({first_line(e)}); "
                                "choose another address with --foxglove [HOST:]PORT") from None
            watched.on_render.append(served.cycle)
            if not args.quiet:
                print(f"Foxglove at {served.url} (open it in the Foxglove app: Open connection)", flush=True)
        replay.setViewer(watched)
        with rebound(mirvane.replay, "time", clock):
            replay.play(index=position, speed=1.0)
        if live is not None:
            live.finish(viewer.image())
        clock.finish()
        if served is not None:
            served.finish()
        bar.close()
        if live is not None:
            if args.hold:
                if not args.quiet:
                    print("Playback finished; still serving the last picture (Ctrl-C stops)", flush=True)
                while True:
                    time.sleep(3600)
            if live.visited:
                time.sleep(1.0)   # time for watching pages to learn that it has finished


def _loopback(host: str) -> bool:
    """Whether ``host`` names this machine only (then no token is needed to reach the server)."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _clock(times: Any, args: argparse.Namespace) -> Any:
    """The playback clock the options ask for; a value it refuses is the user's to mend."""
    from ..player.server import MAX_PICTURES_PER_SECOND
    from ..player.clock import Clock

    end = float(times[-1])
    if args.start > max(end, 0.0):
        raise UserError(f"--start {args.start:g}: the record spans {max(end, 0.0):.2f} s; start within it")
    try:
        # No output of the command shows more pictures a second than the page's stream.
        return Clock(times, start=args.start, rate=args.speed, paused=args.paused, loop=args.loop,
                     frames_per_second=MAX_PICTURES_PER_SECOND)
    except ValueError as e:
        raise UserError(f"--speed {args.speed:g}: {e}") from None
