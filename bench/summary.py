"""Benchmark of a project's summary text, str(project), at two numbers of behaviours.

    python bench/summary.py [--sizes N 2N] [--repeat R]

The summary is built in time linear in its length, so twice the behaviours
should take about twice the time (a quadratic build takes about four times).
Beside it, joining the same pieces in plain Python, the least the text costs.
"""

import argparse
import time
from typing import Callable, Dict, List, Sequence

from mirvane.behavior import Behavior
from mirvane.project import Project

RATIO_TARGET = 2.5  # time at 2N / time at N, at most: linear gives about 2
Row = Dict[str, float]


def project_with(n: int) -> Project:
    p = Project()
    for i in range(n):
        p.addBehavior(Behavior("behavior_%06d" % i, "arm_a", ("approach", "grasp", "lift", "place")))
    return p


def best_time(call: Callable[[], object], repeat: int) -> float:
    times: List[float] = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def joined(p: Project) -> str:
    """The same text, its pieces joined once in plain Python."""
    pieces: List[str] = ["Workspace\n", "{}".format(p.workspace()), "Behaviors\n"]
    pieces += ["{}".format(b._str(1)) for b in p.behaviors().values()]
    return "".join(pieces)


def measure(sizes: Sequence[int], repeat: int) -> List[Row]:
    rows: List[Row] = []
    for n in sizes:
        p = project_with(n)
        assert str(p) == joined(p)
        rows.append({"behaviors": n, "str_s": best_time(lambda: str(p), repeat),
                     "python_join_s": best_time(lambda: joined(p), repeat)})
    return rows


def report(rows: List[Row]) -> None:
    print("Project summary, str(project), best of the runs")
    for row in rows:
        print("  %6d behaviours: str %.4f s, plain-Python join %.4f s"
              % (row["behaviors"], row["str_s"], row["python_join_s"]))
    first, last = rows[0], rows[-1]
    ratio = last["str_s"] / first["str_s"]
    verdict = "ok" if ratio <= RATIO_TARGET else "MISS"
    print("  %d/%d behaviours: time x%.2f for behaviours x%.1f (linear about x2, at most x%.1f): %s"
          % (last["behaviors"], first["behaviors"], ratio, last["behaviors"] / first["behaviors"],
             RATIO_TARGET, verdict))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs=2, default=[20000, 40000], help="behaviours (default 20000 40000)")
    ap.add_argument("--repeat", type=int, default=5, help="timed calls per size (the best is kept)")
    args = ap.parse_args()
    report(measure(args.sizes, max(1, args.repeat)))


if __name__ == "__main__":
    main()
