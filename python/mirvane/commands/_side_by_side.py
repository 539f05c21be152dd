"""``mirvane replay A B --movie``: two runs in one movie, side by side.

Each run is played into its frames by ``Replay.play``, as a movie of it alone
is; the frames are kept instead of written into a movie (``play``'s clip is
rebound for the call to one that keeps them), then joined under captions
naming the runs by ``mirvane.movie.SideBySideClip``, which writes the movie
whole or not at all. The left half of frame k is frame k of A's own movie, the
right half B's; the shorter run holds its last frame.
"""

import argparse
import contextlib
import os
import sys
import tempfile
from typing import Any, Callable, List, Sequence

from ._files import MOVIE_EXT, load_project, rebound, writable_destination, writing
from ._lacking import warn_lacking


def replay_side_by_side(args: argparse.Namespace) -> None:
    """``replay`` with a second recording: their movie side by side."""
    project_b = args.project_b or args.project
    writable_destination(args.movie, MOVIE_EXT, "movie",
                         inputs=[args.recording, args.recording_b, args.project, project_b])
    runs = [_Run(args, args.recording, args.index, args.project), _Run(args, args.recording_b, args.index_b, project_b)]
    fps = runs[0].movie.fps
    with contextlib.ExitStack() as stack:
        scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="mirvane-frames-"))
        if args.quiet:
            devnull = stack.enter_context(open(os.devnull, "w"))
            stack.enter_context(contextlib.redirect_stdout(devnull))
            stack.enter_context(contextlib.redirect_stderr(devnull))
        else:   # moviepy's steps are progress, and go with the bars to standard error
            stack.enter_context(contextlib.redirect_stdout(sys.stderr))
        frames = [run.frames(os.path.join(scratch, side), args) for run, side in zip(runs, "ab")]
        from ..movie import SideBySideClip
        from ..viewer import caption

        captions = caption(f"A: {runs[0].name}", args.size[0]), caption(f"B: {runs[1].name}", args.size[0])
        clip = SideBySideClip(frames[0], frames[1], captions, fps)
        with writing(args.movie, "the movie"):
            clip.write_videofile(args.movie)
    count = max(map(len, frames))
    if not args.quiet:
        print(f"Wrote {args.movie}: {count} frames at {fps} fps ({count / fps:.1f} s), "
              f"A {len(frames[0])} frames and B {len(frames[1])}")


class _Run:
    """One of the two runs: its record, checked, its project and its whole movie's making."""

    def __init__(self, args: argparse.Namespace, recording: str, index: int, project_path: str) -> None:
        from ..data import span_seconds
        from .replay import _Movie, chosen_record, run_name

        data, position, record = chosen_record(recording, index)
        self.project = load_project(project_path)
        warn_lacking(self.project, [record], project_path, recording)
        self.movie = _Movie(argparse.Namespace(**{**vars(args), "recording": recording}), data, position,
                            span_seconds(record))
        self.name = run_name(recording, position)

    def frames(self, directory: str, args: argparse.Namespace) -> List[str]:
        """The run played by ``Replay.play`` into its movie's frames, kept in ``directory``, in order."""
        import mirvane.replay
        from tqdm import tqdm

        from ..viewer import WorkspaceViewer
        from .replay import _Captured

        os.mkdir(directory)
        kept: List[str] = []
        bar = tqdm(total=self.movie.played, desc=f"capturing {self.name}", unit="frame", disable=args.quiet,
                   leave=False)

        def captured(_: bool) -> None:
            bar.update()
        replay = mirvane.replay.Replay()
        replay.setProject(self.project)
        replay.setData(self.movie.data)
        replay.setViewer(_Captured(WorkspaceViewer(self.project, *args.size), self.movie.frames, captured))
        with contextlib.closing(bar), \
                rebound(mirvane.replay, "_MOVIE_TMP_PNG_PATH", os.path.join(directory, "play")), \
                rebound(mirvane.replay, "ImageSequenceClip", _keeper(directory, kept)):
            replay.play(index=self.movie.position, speed=args.speed, moviename=args.movie, fps=self.movie.fps)
        return kept


def _keeper(directory: str, kept: List[str]) -> Callable[..., Any]:
    """What ``play`` takes for its clip: moves the frames it is given, in order, into ``directory``
    (listed in ``kept``) when asked to write the movie, before ``play`` removes its frame directory."""
    class Kept:
        def __init__(self, image_files: Sequence[str], fps: int) -> None:
            self.image_files = list(image_files)

        def write_videofile(self, moviename: str) -> None:
            for k, frame in enumerate(self.image_files):
                kept.append(os.path.join(directory, f"{k:08d}.png"))
                os.replace(frame, kept[-1])
    return Kept
