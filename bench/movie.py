"""Movie playback against its floor: rendering the frames and encoding them raw with the bundled ffmpeg.

    python bench/movie.py [--seconds S] [--fps F] [--size W H] [--repeat R]

*Movie playback* is ``Replay.play(moviename=..., fps=F)`` through the real viewer
on a simulated run: reconstruction, the loop, a PNG screenshot per cycle, the
clip and its writer, each part timed. The *floor* is what any movie of that run
costs: rendering the same frames with the same viewer, plus encoding them, held
as raw RGB, through moviepy's ffmpeg writer with the settings ``write_videofile``
picks for an MP4. The two run alternately ``--repeat`` times in this process,
the best of each is kept, and their ratio per frame is printed with the target.
"""

import argparse
import contextlib
import os
import tempfile
import time
from collections import defaultdict
from importlib.metadata import version
from typing import Any, DefaultDict, Dict, Iterator, List

import numpy as np
from imageio_ffmpeg import count_frames_and_secs
from moviepy.video.io.ffmpeg_writer import FFMPEG_VideoWriter

import mirvane.movie
import mirvane.replay
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.simulation.cell import build_cell, make_recording
from mirvane.viewer import WorkspaceViewer

TARGET = 1.5  # movie playback per frame / (render + raw encode) per frame, at most
PARTS = ("render", "screenshot", "clip setup", "write")

Timings = DefaultDict[str, float]


@contextlib.contextmanager
def timed(timings: Timings, part: str) -> Iterator[None]:
    start = time.perf_counter()
    try:
        yield
    finally:
        timings[part] += time.perf_counter() - start


class TimedViewer(WorkspaceViewer):
    """The real viewer with its calls timed; with ``kept`` a list, a screenshot
    keeps the rendered frame there instead of writing a PNG."""

    def __init__(self, project: Project, size: List[int], timings: Timings, kept: Any = None) -> None:
        super().__init__(project, width=size[0], height=size[1])
        self.timings, self.kept = timings, kept

    def render(self) -> None:
        with timed(self.timings, "render"):
            super().render()

    def screenshot(self, filename: str) -> str:
        if self.kept is not None:
            self.kept.append(np.asarray(self.image()))
            return filename
        with timed(self.timings, "screenshot"):
            return str(super().screenshot(filename))


def timed_clip(timings: Timings) -> type:
    """mirvane.movie's clip with its making and its writing timed (the writer's progress bar silenced)."""
    class Clip(mirvane.movie.ImageSequenceClip):
        def __init__(self, image_files: List[str], fps: int) -> None:
            with timed(timings, "clip setup"):
                super().__init__(image_files, fps=fps)

        def write_videofile(self, filename: str) -> None:
            with timed(timings, "write"), open(os.devnull, "w") as quiet, \
                    contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
                super().write_videofile(filename)
    return Clip


class NoClip:
    """The floor's stand-in for the clip: the frames are encoded afterwards."""

    def __init__(self, image_files: List[str], fps: int) -> None:
        pass

    def write_videofile(self, filename: str) -> None:
        pass


def encode_raw(frames: List[Any], filename: str, fps: int) -> None:
    height, width = frames[0].shape[:2]
    with FFMPEG_VideoWriter(filename, (width, height), fps, codec="libx264", preset="medium") as writer:
        for frame in frames:
            writer.write_frame(frame)


def play(data: Any, size: List[int], fps: int, floor: bool) -> Dict[str, Any]:
    """One movie of the run in a fresh working directory: the timings and the frames in the MP4."""
    timings: Timings = defaultdict(float)
    kept: Any = [] if floor else None
    project = Project()
    project.setWorkspace(build_cell())
    replay = Replay()
    replay.setProject(project)
    replay.setData(data)
    replay.setViewer(TimedViewer(project, size, timings, kept))
    mirvane.replay.ImageSequenceClip = NoClip if floor else timed_clip(timings)
    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-movie-") as cwd:
        os.chdir(cwd)
        try:
            with timed(timings, "total"):
                replay.play(moviename="bench.mp4", fps=fps)
            if floor:
                with timed(timings, "encode"):
                    encode_raw(kept, "bench.mp4", fps)
            frames = count_frames_and_secs("bench.mp4")[0]
        finally:
            os.chdir(here)
    return {"timings": timings, "frames": frames}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=30.0, help="length of the simulated run (default 30)")
    ap.add_argument("--fps", type=int, default=10)
    ap.add_argument("--size", type=int, nargs=2, default=[640, 480], metavar=("W", "H"))
    ap.add_argument("--repeat", type=int, default=3, help="movies of each kind, the best is kept (default 3)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    data = make_recording(runs=1, duration_s=args.seconds, seed=args.seed)
    movies, floors = [], []
    for _ in range(max(1, args.repeat)):
        movies.append(play(data, args.size, args.fps, floor=False))
        floors.append(play(data, args.size, args.fps, floor=True))
    movie = min(movies, key=lambda run: run["timings"]["total"])
    floor = min(floors, key=lambda run: run["timings"]["render"] + run["timings"]["encode"])
    m, f, frames = movie["timings"], floor["timings"], movie["frames"]

    def row(label: str, seconds: float, share: bool = False) -> None:
        print("  %-34s %7.2f ms%s" % (label, seconds / frames * 1e3,
                                       "  %3.0f %%" % (100 * seconds / m["total"]) if share else ""))

    print("Movie playback: %g s run at fps %d, %dx%d, %d frames, best of %d (moviepy %s)"
          % (args.seconds, args.fps, args.size[0], args.size[1], frames, len(movies), version("moviepy")))
    for part in PARTS:
        row(part, m[part], share=True)
    row("reconstruction, loop, frame files", m["total"] - sum(m[part] for part in PARTS), share=True)
    row("movie playback per frame", m["total"])
    print("Floor: the same frames rendered, then encoded raw (libx264, preset medium, as write_videofile)")
    row("render", f["render"])
    row("raw encode", f["encode"])
    row("render + raw encode per frame", f["render"] + f["encode"])
    ratio = m["total"] / (f["render"] + f["encode"])
    print("Movie playback / (render + raw encode): %.2fx   target <= %.1fx: %s"
          % (ratio, TARGET, "ok" if ratio <= TARGET else "MISS"))
    if movie["frames"] != floor["frames"]:
        print("  the movies hold different numbers of frames: %d and %d" % (movie["frames"], floor["frames"]))


if __name__ == "__main__":
    main()
