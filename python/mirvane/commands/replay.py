"""``mirvane replay``: play a recorded run through the viewer, live or into a movie."""

import argparse
import contextlib
import math
import os
import sys
import tempfile
import time
from typing import Any, Callable, Optional, Tuple

from ..live import DEFAULT_HOST, DEFAULT_PORT
from . import UserError, described
from ._files import MOVIE_EXT, chosen_position, load_project, load_recording, number_in, rebound, whole_in, \
    writable_destination, writing
from ._lacking import warn_lacking
from .info import span_seconds

VIEW_SIZE = (640, 480)
# A thousandth of real time to a thousand times it: slower, a 5 s record would take
# over an hour; faster, a movie frame (or a live cycle) spans seconds of the record.
SPEEDS = (0.001, 1000.0)
# Movie frame rates that players show; more only makes frames no one sees.
FRAME_RATES = (1, 240)


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
                             "(default: 1)")
    parser.add_argument("--movie", metavar="OUT.mp4", help="write the replay into this movie")
    parser.add_argument("--fps", type=whole_in(*FRAME_RATES), metavar="F",
                        help=f"frames per second of the movie, from {FRAME_RATES[0]} to {FRAME_RATES[1]} "
                             "(default: 10)")
    parser.add_argument("--serve", nargs="?", const=f"{DEFAULT_HOST}:{DEFAULT_PORT}", metavar="[HOST:]PORT",
                        help=f"show the live replay in a browser at http://HOST:PORT/ (default "
                             f"{DEFAULT_HOST}:{DEFAULT_PORT}: loopback unless a host is named; "
                             "port 0 takes a free one)")
    parser.add_argument("--hold", action="store_true",
                        help="with --serve: keep showing the last picture after the end, until Ctrl-C")
    parser.add_argument("--quiet", action="store_true", help="print no progress")
    return parser


def run(args: argparse.Namespace) -> None:
    if args.fps is not None and not args.movie:
        raise UserError("--fps goes with --movie; add --movie OUT.mp4 or drop --fps")
    if args.movie and args.serve:
        raise UserError("--serve shows a live replay and --movie records one; choose one of them")
    if args.hold and not args.serve:
        raise UserError("--hold goes with --serve; add --serve or drop --hold")
    address = parse_address(args.serve) if args.serve else None
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
    viewer = WorkspaceViewer(project, *VIEW_SIZE)
    span = span_seconds(record)
    if args.movie:
        _replay_to_movie(replay, viewer, position, args, span)
    else:
        name = f"{os.path.basename(args.recording)} record {position}"
        _replay_live(replay, viewer, position, args, span, name, address)


def parse_address(text: str) -> Tuple[str, int]:
    """``[HOST:]PORT`` as (host, port); the host is loopback unless named."""
    host, _, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or int(port) > 65535:
        raise UserError(f"--serve {text}: give [HOST:]PORT with a port from 0 to 65535, e.g. 8765")
    return host or DEFAULT_HOST, int(port)


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
    """The viewer as playback sees it: draws through the real one and tells ``on_render``
    and ``on_frame`` of every cycle and every captured frame."""

    def __init__(self, viewer: Any, on_render: Callable[[], None] = lambda: None,
                 on_frame: Callable[[], None] = lambda: None) -> None:
        self._viewer = viewer
        self._on_render = on_render
        self._on_frame = on_frame

    def render(self) -> None:
        self._viewer.render()
        self._on_render()

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
                 name: str, address: Optional[Tuple[str, int]]) -> None:
    from tqdm import tqdm

    from ..live import LiveView

    with contextlib.ExitStack() as stack:
        live: Optional[LiveView] = None
        if address is not None:
            try:
                live = stack.enter_context(LiveView(*address, record=name, span_s=span, speed=args.speed))
            except OSError as e:
                raise UserError(f"cannot serve on {args.serve} ({e.strerror or e}); "
                                "choose another address with --serve [HOST:]PORT") from None
            if not args.quiet:
                print(f"Live view at {live.url} ({'Ctrl-C stops' if args.hold else 'until the end'})",
                      flush=True)
        bar = stack.enter_context(tqdm(total=span, desc="playing", unit="s", disable=args.quiet,
                                       bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s",
                                       leave=False))
        start: Optional[float] = None

        def rendered() -> None:
            nonlocal start
            now = time.monotonic()
            if start is None:
                start = now
            played = min(args.speed * (now - start), span)
            if played - bar.n >= 0.1:
                bar.update(played - bar.n)
            if live is not None:
                live.publish(viewer.image(), played)

        replay.setViewer(_Watched(viewer, on_render=rendered))
        replay.play(index=position, speed=args.speed)
        bar.close()
        if live is not None:
            live.finish(viewer.image())
            if args.hold:
                if not args.quiet:
                    print("Playback finished; still serving the last picture (Ctrl-C stops)", flush=True)
                while True:
                    time.sleep(3600)
            if live.visited:
                time.sleep(1.0)   # time for watching pages to learn that it has finished
