"""The catalog: indexing a folder of runs serially, on the local pool and on a local Ray cluster.

    python bench/catalog.py [--runs N] [--seconds S] [--quick]

N simulated runs of S seconds (default 200 of 30 s, ``--quick`` 20 of 10 s; every fourth with
faults), made by the bench into a temporary folder. Printed: records a second indexed serially
(one process), on the local pool (one worker per CPU) and on a Ray cluster on this machine (in a
network and process namespace of its own, as the tests start one; skipped where none can be
made or Ray is missing), each into a new catalog; a re-index of the unchanged folder, as the
``mirvane index`` command (a process); and a query over the events table (which item is dropped
most), the best of 5. Goals: the pool at least 1.8x serial on 2 cores, Ray within 1.3x of the
pool's time, the re-index under 1 s, the query under 100 ms.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DROPPED_MOST = "SELECT subject, count(*) AS drops FROM events WHERE kind = 'drop' GROUP BY subject ORDER BY drops DESC"


def make_runs(folder: str, runs: int, seconds: float) -> None:
    from mirvane.data import Data
    from mirvane.simulation.cell import simulate
    from mirvane.simulation.faults import Faults

    for n in range(runs):
        data = Data()
        data.addRecord(simulate(seconds, seed=n, faults=Faults.parse("all") if n % 4 == 3 else None))
        data.save(os.path.join(folder, f"run_{n:03d}.rec"))


def timed_index(folder: str, db: str, count: int = 1, ray: str = "") -> float:
    """Seconds to index ``folder`` into the new catalog ``db``."""
    from mirvane.catalog.index import index
    from mirvane.catalog.workers import Workers

    start = time.perf_counter()
    index([folder], db, Workers(count, ray or None), quiet=True)
    return time.perf_counter() - start


def on_ray(folder: str, db: str, cpus: int) -> str:
    """Seconds to index on a Ray cluster started in namespaces of its own, or why it could not be."""
    try:
        import ray  # noqa: F401
    except ImportError:
        return "skipped: Ray is not installed (pip install 'mirvane[cluster]')"
    ray_command = str(Path(sys.executable).with_name("ray"))
    with tempfile.TemporaryDirectory(prefix="ray", dir="/tmp") as scratch:
        script = (f"set -e; ip link set lo up; trap '{ray_command} stop --force >/dev/null 2>&1' EXIT; "
                  f"{ray_command} start --head --port 6392 --num-cpus {cpus} --include-dashboard=false "
                  f"--disable-usage-stats --object-store-memory {10 ** 8} --temp-dir {scratch} >/dev/null; "
                  f"{sys.executable} {__file__} --on-ray 127.0.0.1:6392 --folder {folder} --db {db}")
        done = subprocess.run(["unshare", "--net", "--pid", "--fork", "--mount-proc", "sh", "-c", script],
                              capture_output=True, text=True)
    if done.returncode != 0:
        return f"skipped: no cluster in namespaces here ({(done.stderr.strip().splitlines() or ['?'])[-1]})"
    return done.stdout.strip().splitlines()[-1]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--quick", action="store_true", help="20 runs of 10 s, for a smoke run")
    ap.add_argument("--on-ray", help=argparse.SUPPRESS)     # the part run inside the cluster's namespaces
    ap.add_argument("--folder", help=argparse.SUPPRESS)
    ap.add_argument("--db", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.on_ray:
        print(json.dumps(timed_index(args.folder, args.db, ray=args.on_ray)))
        return
    runs, seconds = (20, 10.0) if args.quick else (args.runs, args.seconds)

    import duckdb
    from mirvane.catalog import query, store
    from mirvane.catalog.workers import cpu_count

    cpus = cpu_count()
    print(f"mirvane catalog benchmark: Python {sys.version.split()[0]}, DuckDB {duckdb.__version__}, "
          f"{runs} runs of {seconds:g} s, {cpus} CPUs")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-catalog-") as scratch:
        folder = os.path.join(scratch, "runs")
        os.mkdir(folder)
        make_runs(folder, runs, seconds)
        serial = timed_index(folder, os.path.join(scratch, "serial.duckdb"))
        pool = timed_index(folder, os.path.join(scratch, "pool.duckdb"), cpus)
        ray = on_ray(folder, os.path.join(scratch, "ray.duckdb"), cpus)
        db = os.path.join(scratch, "pool.duckdb")
        mirvane = shutil.which("mirvane", path=os.path.dirname(sys.executable)) or "mirvane"
        start = time.perf_counter()
        subprocess.run([mirvane, "index", folder, "--db", db, "--quiet"], check=True)
        again = time.perf_counter() - start
        with store.connect(db) as con:
            events = query.ask(con, "SELECT count(*) FROM events").rows[0][0]
            asked = []
            for _ in range(5):
                start = time.perf_counter()
                query.ask(con, DROPPED_MOST)
                asked.append(time.perf_counter() - start)
    print(f"  serial:     {runs / serial:7.1f} records/s ({serial:.1f} s)")
    print(f"  local pool: {runs / pool:7.1f} records/s ({pool:.1f} s, {cpus} workers); "
          f"{serial / pool:.2f}x serial (goal: at least 1.8x on 2 cores)")
    if ray.startswith("skipped"):
        print(f"  Ray:        {ray}")
    else:
        on = float(ray)
        print(f"  Ray:        {runs / on:7.1f} records/s ({on:.1f} s, a local cluster of {cpus} CPUs); "
              f"{on / pool:.2f}x the pool's time (goal: within 1.3x)")
    print(f"  re-index of the unchanged folder: {again:.2f} s, the command as a process (goal: under 1 s)")
    print(f"  query over the events ({events} rows), the item dropped most: {min(asked) * 1e3:.1f} ms "
          f"(goal: under 100 ms)")


if __name__ == "__main__":
    main()
