"""``mirvane replay``: play a recorded run through the viewer, live or into a movie."""

import argparse
import contextlib
import sys
from typing import TYPE_CHECKING, Any, FrozenSet, List, Optional, Set, Tuple, Union

from ..player.movie import DEFAULT_FPS, VIEW_SIZE, CannotShow, CannotWrite, EventSpan, MoviePlan, Run, Span, \
    make_movie, make_side_by_side
from . import Argument, UserError, described, first_line, warn, _options
from ._arguments import chosen_span, number_in, parse_address, positive_int, seconds, whole_in
from ._lacking import warn_lacking
from ._loading import StreamedChoice, load_project, reading, run_name, spooled_choice
from ._options import SERVE_DEFAULT
from ._paths import MOVIE_EXT, note_newer, writable_destination

if TYPE_CHECKING:
    from ..project import Project

# A thousandth of real time to a thousand times it: slower, a 5 s record would take
# over an hour; faster, a movie frame (or a live cycle) spans seconds of the record.
SPEEDS = (0.001, 1000.0)
# Movie frame rates that players show; more only makes frames no one sees.
FRAME_RATES = (1, 240)


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "replay", "replay a recorded run, live or into a movie",
        "Replay one record of RECORDING in the work cell of PROJECT.mvproj (or the one it carries). With --movie,\n"
        "capture it into an MP4 movie (or a clip of it: --from/--to, or --event N); otherwise\n"
        "play it live, in real time times --speed, and with --serve show it in a browser as it plays.\n"
        "With a second recording, show both side by side in the browser on one clock (--serve; B placed\n"
        "by its start, --offset or --align-event), or make a movie of both, each under a caption naming it.",
        ["mirvane replay run.rec --project run.mvproj --movie run.mp4 --fps 20",
         "mirvane replay run.rec --project run.mvproj --movie grasp.mp4 --event 3 --pad 1",
         "mirvane replay run.rec --project run.mvproj --serve    # then open http://127.0.0.1:8765/",
         "mirvane replay run.mcap --serve    # in the project the recording carries",
         "mirvane replay live.mcap --serve --follow    # while a recorder writes it",
         "mirvane replay clean.rec faulty.rec --project clean.mvproj --serve --align-event grasp:box_1",
         "mirvane replay clean.rec faulty.rec --project clean.mvproj --movie both.mp4"],
        _options.recording(),
        Argument("recording_b", nargs="?", metavar="RECORDING_B",
                 help="a second recording, to show beside the first (--serve) or in a movie of the two side by side"),
        _options.project(help="the project file of the recorded work cell (default: the project the record "
                              "carries)"),
        Argument("--project-b", metavar="PROJECT_B.mvproj",
                 help="the project file of RECORDING_B's work cell (default: --project, else the project "
                      "RECORDING_B's record carries)"),
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
        Argument("--follow", action="store_true",
                 help="with --serve: watch an MCAP recording while its recorder writes it (and the numbered files "
                      "it goes on to), playing its newest product (live) as it comes; the page says when the "
                      "recorder closes it, and serves until Ctrl-C"),
        *_options.alignment(),
        _options.quiet())


#: Which options go together, in the order they are checked: a replay given every option of the
#: first set and none of the second is refused in those words.
_CLIP = "--from, --to and --event"
_SECOND_RUN_ONLY = ("--project-b, --align, --offset and --align-event go with a second recording; "
                    "add RECORDING_B or drop them")
COMPATIBILITY: Tuple[Tuple[FrozenSet[str], FrozenSet[str], str], ...] = tuple(
    (frozenset(given), frozenset(absent), refusal) for given, absent, refusal in [
        ({"--fps"}, {"--movie"}, "--fps goes with --movie; add --movie OUT.mp4 or drop --fps"),
        ({"--movie", "--serve"}, (), "--serve shows a live replay and --movie records one; choose one of them"),
        ({"--movie", "steering"}, (), "--start, --paused and --loop steer a live replay; drop them with --movie"),
        ({"--hold"}, {"--serve"}, "--hold goes with --serve; add --serve or drop --hold"),
        ({"--follow"}, {"--serve"}, "--follow watches a recording in the browser; add --serve"),
        ({"--follow", "RECORDING_B"}, (), "--follow watches one recording as it is written; drop RECORDING_B"),
        ({"--follow", "--index"}, (), "--follow plays the run the recorder writes; drop --index"),
        ({"--follow", "--foxglove"}, (), "--follow shows a recording as it is written on the page (--serve); "
                                         "drop --foxglove"),
        ({"clip"}, {"--movie"}, f"{_CLIP} make a clip of a movie; add --movie OUT.mp4 "
                                "(a live replay starts where --start says)"),
        ({"--event", "span"}, (), "--event N spans the event itself; drop --from and --to, or drop --event"),
        ({"--pad"}, {"--event"}, "--pad goes with --event; add --event N or drop --pad"),
        ({"RECORDING_B", "clip"}, (), f"a movie of two recordings shows them whole; drop {_CLIP}"),
        ({"RECORDING_B", "--movie", "aligned"}, (), "a movie of two recordings starts both together; drop --align, "
                                                   "--offset and --align-event, or watch them aligned with --serve"),
        ({"RECORDING_B"}, {"--movie", "--serve"}, "two recordings are shown side by side in a movie or in the "
                                                  "browser; add --movie OUT.mp4 or --serve"),
        ({"RECORDING_B", "--foxglove"}, {"--movie"}, "--foxglove shows one recording; watch two side by side "
                                                     "with --serve alone"),
        ({"--project-b"}, {"RECORDING_B"}, _SECOND_RUN_ONLY),
        ({"aligned"}, {"RECORDING_B"}, _SECOND_RUN_ONLY),
        ({"--foxglove", "--movie"}, (), "--foxglove serves a live replay and --movie records one; choose one of them"),
    ])


def _given(args: argparse.Namespace) -> Set[str]:
    """The options ``COMPATIBILITY`` names that ``args`` gives, and the kinds of them: ``steering`` a
    live replay, ``span`` of a clip, any ``clip``, ``aligned`` runs."""
    span = args.span_from is not None or args.span_to is not None
    given = {"--fps": args.fps is not None, "--movie": bool(args.movie), "--serve": bool(args.serve),
             "steering": bool(args.start or args.paused or args.loop), "--hold": args.hold, "span": span,
             "--event": args.event is not None, "clip": span or args.event is not None, "--pad": args.pad is not None,
             "RECORDING_B": args.recording_b is not None, "--project-b": bool(args.project_b),
             "aligned": args.align is not None or args.offset is not None or args.align_event is not None,
             "--foxglove": args.foxglove is not None, "--follow": args.follow, "--index": args.index != -1}
    return {name for name, present in given.items() if present}


def run(args: argparse.Namespace) -> None:
    given = _given(args)
    for needed, absent, refusal in COMPATIBILITY:
        if needed <= given and not absent & given:
            raise UserError(refusal)
    if args.recording_b is not None and args.movie:
        _side_by_side_movie(args)
        return
    address = parse_address(args.serve) if args.serve else None
    foxglove = _foxglove_address(args)
    if foxglove is not None and address is not None and address[1] == foxglove[1] != 0:
        if args.serve != SERVE_DEFAULT:
            raise UserError(f"--serve {args.serve} and --foxglove {args.foxglove} ask for one port; give them two")
        address = address[0], address[1] + 1   # the Foxglove app's default address stays Foxglove's
    if args.movie:
        writable_destination(args.movie, MOVIE_EXT, "movie", inputs=_given_paths(args.recording, args.project))

    if not args.movie:
        # What plays is imported before the spool's thread begins: beside a busy thread, each file an
        # import reads waits its turn for the interpreter (seconds, for the replay module's).
        import mirvane.replay  # noqa: F401
        from ..player import session  # noqa: F401
        # Played live: the runs' products stay on disk, so that memory does not grow with their length; one
        # run is played from its first product while the rest is read (or, followed, written).
        # Foxglove is given the run whole: its time range and messages are settled when it starts.
        growing = args.recording_b is None and foxglove is None
        position, spooled = spooled_choice(args.recording, args.index, growing=growing,
                                           follow=args.follow, notes=lambda text: warn(f"note: {text}"))
        try:
            _replay_live(_project(args.project, spooled, args.recording), spooled, position,
                         run_name(args.recording, position), args, address, foxglove)
        finally:
            spooled.close()
        return
    _replay_to_movie(args)


def _project(path: Optional[str], record: Any, recording: str) -> "Project":
    """The project file at ``path`` (warning of what it lacks of ``record``), or without one the
    project ``record`` carries."""
    if path is None:
        from ..snapshots import project_from_snapshot

        return project_from_snapshot(record.project)
    project = load_project(path)
    warn_lacking(project, [record], path, recording)
    return project


def _given_paths(*paths: Optional[str]) -> List[str]:
    return [path for path in paths if path]


def _foxglove_address(args: argparse.Namespace) -> Optional[Tuple[str, int]]:
    """Where --foxglove serves, once this interpreter is known to be able to."""
    if args.foxglove is None:
        return None
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


def _plan(args: argparse.Namespace, recording: str, index: int, project: Optional[str]
          ) -> Tuple[MoviePlan, "Project", int]:
    """The plan of the movie ``args`` ask for of the record ``index`` picks in ``recording``, read a
    product at a time; the project it is played in (the file at ``project``, else its own) and its position."""
    span: Union[Span, EventSpan] = EventSpan(args.event, _options.EVENT_PAD if args.pad is None else args.pad) \
        if args.event is not None else Span(*chosen_span(args.span_from, args.span_to))
    read = StreamedChoice(recording, index)
    try:
        with reading(recording):
            plan = MoviePlan.streamed(read, recording, args.fps or DEFAULT_FPS, args.speed, span)
    except CannotShow as e:
        raise UserError(e.reason) from None
    note_newer(recording, read.newer)
    assert read.position is not None
    return plan, read.project(project), read.position


def _replay_to_movie(args: argparse.Namespace) -> None:
    plan, project, _ = _plan(args, args.recording, args.index, args.project)
    try:
        with reading(args.recording):   # read again, window by window
            captured = make_movie(project, plan, args.movie, args.size, args.quiet)
    except CannotWrite as e:
        raise UserError(e.reason) from None
    if not args.quiet:
        shown = ", the record from {:.2f} s to {:.2f} s".format(*plan.shown()) if plan.clipped else ""
        print(f"Wrote {args.movie}: {captured} frames at {plan.fps} fps ({captured / plan.fps:.1f} s){shown}")


def _side_by_side_movie(args: argparse.Namespace) -> None:
    """``replay`` with a second recording and ``--movie``: the two runs' movie side by side."""
    project_b = args.project_b or args.project
    writable_destination(args.movie, MOVIE_EXT, "movie",
                         inputs=_given_paths(args.recording, args.recording_b, args.project, project_b))
    runs = []
    for recording, index, project_path in ((args.recording, args.index, args.project),
                                           (args.recording_b, args.index_b, project_b)):
        plan, project, position = _plan(args, recording, index, project_path)
        runs.append(Run(run_name(recording, position), project, plan))
    fps = runs[0].plan.fps
    try:
        with reading(args.recording_b), reading(args.recording):   # each read again, window by window
            a, b = make_side_by_side((runs[0], runs[1]), args.movie, args.size, args.quiet)
    except CannotWrite as e:
        raise UserError(e.reason) from None
    count = max(a, b)
    if not args.quiet:
        print(f"Wrote {args.movie}: {count} frames at {fps} fps ({count / fps:.1f} s), A {a} frames and B {b}")


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
    held = contextlib.ExitStack()   # B's spool, removed once played (else with the process)
    if args.recording_b is not None:
        position, record_b = spooled_choice(args.recording_b, args.index_b)
        held.callback(record_b.close)
        # A project of its own even when the file is A's: play sets the project's states.
        project_b = _project(args.project_b or args.project, record_b, args.recording_b)
        runs.append(Run(project_b, record_b, run_name(args.recording_b, position), position))  # type: ignore[arg-type]
    options = LiveOptions(start=args.start, rate=args.speed, paused=args.paused, loop=args.loop, page=page,
                          foxglove=foxglove, size=args.size, hold=args.hold, quiet=args.quiet, follow=args.follow)
    try:
        session = LiveSession(runs, options, alignment)
    except AlignmentError as e:
        raise _options.not_aligned(alignment, e) from None
    if args.start > max(session.span, 0.0):
        spans = "the record spans" if len(runs) == 1 else "the runs span, side by side,"
        raise UserError(f"--start {args.start:g}: {spans} {max(session.span, 0.0):.2f} s; start within it")
    try:
        with held, session:
            session.play()
    except CannotServe as e:
        if e.output == "page":
            raise UserError(f"cannot serve on {args.serve} ({first_line(e)}); "
                            "choose another address with --serve [HOST:]PORT") from None
        raise UserError(f"cannot serve Foxglove on {args.foxglove} ({first_line(e)}); "
                        "choose another address with --foxglove [HOST:]PORT") from None
