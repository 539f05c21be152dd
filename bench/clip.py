"""A clip of a long run against the whole movie of it, both made by the mirvane command.

    python bench/clip.py [--seconds S] [--clip C] [--quick]

``mirvane record`` makes a run of S seconds (default 600, ``--quick`` 60); then
``mirvane replay --movie`` makes the whole movie of it, and a clip of C seconds
(default 5) from its middle (``--from``/``--to``), each timed as a process from
start to exit. A clip is made by play as the whole movie is, drawing only its own
frames, so its cost is the record's reconstruction and the clock's cycles up to
the clip, beside the drawing and encoding of every frame for the whole movie.
Goal: the clip takes at most 0.3 of the whole movie's time.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from typing import List

GOAL = 0.3   # clip time / whole movie time, at most
MIRVANE = os.path.join(os.path.dirname(sys.executable), "mirvane")


def timed(args: List[str], where: str) -> float:
    start = time.perf_counter()
    subprocess.run([MIRVANE, *args], cwd=where, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=600.0, help="the run's length")
    parser.add_argument("--clip", type=float, default=5.0, help="the clip's length, from the run's middle")
    parser.add_argument("--quick", action="store_const", dest="seconds", const=60.0, help="a 60 s run")
    args = parser.parse_args()
    seconds, start = args.seconds, args.seconds / 2

    print(f"mirvane clip benchmark: Python {sys.version.split()[0]}; a {seconds:g} s run, "
          f"a {args.clip:g} s clip from {start:g} s; fps 10, 640x480")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-clip-") as where:
        subprocess.run([MIRVANE, "record", "run.rec", "--seconds", str(seconds), "--seed", "1"], cwd=where,
                       check=True, stdout=subprocess.DEVNULL)
        replay = ["replay", "run.rec", "--project", "run.mvproj", "--quiet", "--movie"]
        whole = timed([*replay, "whole.mp4"], where)
        clip = timed([*replay, "clip.mp4", "--from", str(start), "--to", str(start + args.clip)], where)
    print(f"  whole movie {whole:8.2f} s")
    print(f"  clip        {clip:8.2f} s")
    print(f"  clip / whole {clip / whole:.3f}  (goal: at most {GOAL}) {'OK' if clip / whole <= GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
