"""Record a live cell: the sample cell's simulator run step by step, as a live system runs, feeding a
recorder from two threads (the controllers at 100 Hz per robot, perception at 30 Hz).

    python examples/record_live.py [--seconds S] [--serve]

While it records, the file (``examples/out/live.mcap``) is read as it grows, as a
viewer would (Foxglove opens it too): each second shows how many products are on
disk. At the end, ``--serve`` replays the finished file in the player in the browser.
"""

import argparse
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import List

from dravik.api import data_pb2
from mirvane.formats.mcap import McapRecords
from mirvane.formats.recorder import Recorder
from mirvane.project import Project
from mirvane.simulation.cell import build_cell, cell_behaviors, simulate

OUT_DIR = Path(__file__).resolve().parent / "out"


def feed(recorder: Recorder, products: List[data_pb2.Product], started: int, stop: threading.Event) -> None:
    """Hand each product to the recorder at its own moment, stamped with the real clock."""
    first = products[0].timestamp_ns if products else 0
    for product in products:
        due = started + product.timestamp_ns - first
        while time.time_ns() < due:
            if stop.wait((due - time.time_ns()) / 1e9):
                return
        if product.HasField("controller"):
            c = product.controller
            recorder.controller(c.robot, c.feedback.joint.positions.values, c.feedback.effector.positions.values,
                                grasped_item=c.grasped_item,
                                grasped_pose=c.grasped_item_pose if c.grasped_item else None)
        elif product.HasField("perception"):
            p = product.perception
            recorder.perception(camera_poses=p.camera_poses, item_poses=p.item_poses)
        else:
            recorder.add(data_pb2.Product(decision=product.decision, planner=product.planner))


def on_disk(path: Path) -> int:
    """The products a reader finds in the file so far: those up to the recorder's last flush."""
    return sum(len(record.products) for record in McapRecords(path, partial=True))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--serve", action="store_true", help="replay the file in the browser at the end")
    args = ap.parse_args()
    OUT_DIR.mkdir(exist_ok=True)
    path, project_path = OUT_DIR / "live.mcap", OUT_DIR / "live.mvproj"
    path.unlink(missing_ok=True)

    project = Project()
    project.setWorkspace(build_cell())
    for behavior in cell_behaviors():
        project.addBehavior(behavior)
    project.save(str(project_path))
    run = simulate(args.seconds, seed=3)
    controllers = [p for p in run.products if not p.HasField("perception")]
    perceptions = [p for p in run.products if p.HasField("perception")]

    stop = threading.Event()
    with Recorder(path, project, flush_seconds=0.5) as recorder:
        started = time.time_ns()
        threads = [threading.Thread(target=feed, args=(recorder, products, started, stop))
                   for products in (controllers, perceptions)]
        for thread in threads:
            thread.start()
        print(f"Recording {len(run.products)} products over {args.seconds:g} s into {path}")
        try:
            while any(thread.is_alive() for thread in threads):
                time.sleep(1.0)
                print(f"  {on_disk(path)} products on disk so far")
        finally:
            stop.set()
            for thread in threads:
                thread.join()
    print(f"Recorded {on_disk(path)} products; the file is whole.")
    replay = ["mirvane", "replay", str(path), "--project", str(project_path), "--serve"]
    if args.serve:
        subprocess.run([sys.executable, "-m", *replay[0:1], *replay[1:]], check=False)
    else:
        print("Replay it in the browser with:", " ".join(replay))


if __name__ == "__main__":
    main()
