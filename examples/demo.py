"""Demo: build a work-cell project, save and reload it, then replay a simulated run into a movie.

Run from anywhere; files go to ``examples/out``.
"""

from pathlib import Path

from imageio_ffmpeg import count_frames_and_secs

from mirvane.behavior import Behavior
from mirvane.constants import MV_PROJECT_FILE_EXT
from mirvane.data import Data
from mirvane.project import Project
from mirvane.replay import Replay
from mirvane.simulation.cell import PICK_PLACE_STEPS, build_cell, make_recording
from mirvane.viewer import WorkspaceViewer

OUT_DIR = Path(__file__).resolve().parent / "out"


def project_round_trip(out_dir: Path) -> Project:
    """Build the demo project, save it, load it back into a new project and return that."""
    p = Project()
    p.setWorkspace(build_cell())
    p.addBehavior(Behavior("pick_place_a", robot="arm_a", steps=PICK_PLACE_STEPS))
    p.addBehavior(Behavior("pick_place_b", robot="arm_b", steps=PICK_PLACE_STEPS))
    p.addBehavior(Behavior("calibrate_cameras", steps=("show_board", "capture", "solve", "store")))
    print(str(p))

    path = out_dir / ("demo" + MV_PROJECT_FILE_EXT)
    p.save(str(path))
    print(f"Saved the project to {path}")

    q = Project()
    q.load(str(path))
    print("Loaded it back:")
    print(str(q))
    return q


def replay(project: Project, out_dir: Path) -> None:
    """Simulate a ten-second run, pass it through a recording file and replay it into a movie."""
    recording = out_dir / "demo_run.rec"
    make_recording(runs=1, duration_s=10.0, seed=7).save(str(recording))
    data = Data.fromFile(str(recording))
    print(f"Recorded {data.productCount()} products to {recording}")

    viewer = CountingViewer(project, width=640, height=480)
    r = Replay()
    r.setProject(project)
    r.setData(data)
    r.setViewer(viewer)
    movie = out_dir / "demo.mp4"
    r.play(moviename=str(movie), fps=20)
    frames, _ = count_frames_and_secs(str(movie))
    print(f"The movie is at {movie}: the play loop ran {viewer.cycles} cycles, the movie holds {frames} frames")
    if frames != viewer.cycles:
        raise SystemExit("the movie does not hold one frame per cycle")


class CountingViewer(WorkspaceViewer):
    """The viewer, counting the cycles of the play loop (one render each)."""

    def __init__(self, project: Project, width: int, height: int) -> None:
        super().__init__(project, width=width, height=height)
        self.cycles = 0

    def render(self) -> None:
        super().render()
        self.cycles += 1


def main() -> None:
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    project = project_round_trip(OUT_DIR)
    replay(project, OUT_DIR)


if __name__ == "__main__":
    main()
