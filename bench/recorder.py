"""The recorder: what ``add`` costs the caller, the products per second it sustains (beside the MCAP
export's), and the CPU it takes at a cell's own rate.

    python bench/recorder.py [--products N] [--seconds S]

The products are the sample cell's (``mirvane.simulation.cell.synthetic_record``):
about 233 a second, 86 % controller reports. Each measurement runs in a fresh
subprocess.

- *add*: one thread adds all N products as fast as it can while the writer works
  through them (it falls behind, so it is busy throughout); the time of each
  ``add`` call, median and 99th percentile, and of the ``controller`` helper,
  which also builds the product.
- *sustained*: the products per second from the first ``add`` until ``close``
  returns (everything encoded, written and synced), beside ``export_mcap`` of the
  same products from a recording file.
- *live*: S seconds of products added at their own times, as a live cell makes
  them; the process's CPU time over the wall time, in % of one core, less that of
  the same loop without a recorder (its waking to pace the products).

Goals: the cell's rate at under 1 % of a core; at least 200,000 products a second.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Optional, Tuple

if TYPE_CHECKING:
    from dravik.api import data_pb2

LIVE_CPU_GOAL = 1.0             # % of one core at the cell's rate
SUSTAINED_GOAL = 200_000        # products a second


def worker(task: str, products: int, seconds: float, scratch: str) -> dict:
    from dravik.api import data_pb2
    from mirvane.analysis.events import product_events
    from mirvane.data import Data
    from mirvane.formats.mcap import export_mcap
    from mirvane.formats.recorder import Recorder
    from mirvane.simulation.cell import synthetic_record

    record: data_pb2.Record = synthetic_record(products, seed=1)
    path = os.path.join(scratch, f"{task}.mcap")
    if task == "export":
        data = Data()
        data.addRecord(record)
        data.save(os.path.join(scratch, "r.rec"))
        start = time.perf_counter()
        export_mcap(os.path.join(scratch, "r.rec"), path, events=product_events)
        return {"per_second": len(record.products) / (time.perf_counter() - start)}
    if task == "add":
        costs, helper = [], []
        with Recorder(path, record.project) as recorder:
            for product in record.products:
                before = time.perf_counter_ns()
                recorder.add(product)
                costs.append(time.perf_counter_ns() - before)
            controllers = [p.controller for p in record.products if p.HasField("controller")][:10_000]
            for c in controllers:
                joints, effector = list(c.feedback.joint.positions.values), list(c.feedback.effector.positions.values)
                before = time.perf_counter_ns()
                recorder.controller(c.robot, joints, effector, time_ns=1)
                helper.append(time.perf_counter_ns() - before)
        return {"add": _quantiles(costs), "controller": _quantiles(helper)}
    if task == "sustained":
        return {"per_second": sustained(record, path)}
    # live: the products at their own pace, for the given seconds; the same loop without a recorder
    # first, whose CPU (waking to pace the products) is the caller's own, not the recorder's
    first = record.products[0].timestamp_ns
    live = [p for p in record.products if p.timestamp_ns - first < seconds * 1e9]

    def pace(recorder: Optional[Recorder]) -> Tuple[float, float]:
        cpu, wall = time.process_time(), time.perf_counter()
        for product in live:
            delay = (product.timestamp_ns - first) / 1e9 - (time.perf_counter() - wall)
            if delay > 0:
                time.sleep(delay)
            if recorder is not None:
                recorder.add(product)
        if recorder is not None:
            recorder.close()
        wall = time.perf_counter() - wall
        return 100.0 * (time.process_time() - cpu) / wall, len(live) / wall

    alone, _ = pace(None)
    with_recorder, rate = pace(Recorder(path, record.project))
    return {"cpu_percent": with_recorder - alone, "process_percent": with_recorder, "rate": rate}


def sustained(record: "data_pb2.Record", path: str) -> float:
    """Products a second a ``Recorder`` writing ``path`` takes in, ``record``'s products made
    beforehand: from the first ``add`` until ``close`` returns."""
    from mirvane.formats.recorder import Recorder

    start = time.perf_counter()
    with Recorder(path, record.project) as recorder:
        for product in record.products:
            recorder.add(product)
    return len(record.products) / (time.perf_counter() - start)


def _quantiles(nanoseconds: list) -> dict:
    ordered = sorted(nanoseconds)
    return {"median_us": statistics.median(ordered) / 1000, "p99_us": ordered[int(len(ordered) * 0.99)] / 1000}


def run(task: str, products: int, seconds: float, scratch: str) -> dict:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", task, str(products), str(seconds),
                           scratch], check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--products", type=int, default=100_000)
    ap.add_argument("--seconds", type=float, default=10.0, help="of the live measurement")
    ap.add_argument("--quick", action="store_true", help="20 000 products, 3 s live")
    ap.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        task, products, seconds, scratch = args.worker
        print(json.dumps(worker(task, int(products), float(seconds), scratch)))
        return
    products, seconds = (20_000, 3.0) if args.quick else (args.products, args.seconds)
    print(f"mirvane recorder benchmark: Python {sys.version.split()[0]}, {products} products")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-recorder-") as scratch:
        add = run("add", products, seconds, scratch)
        sustained = run("sustained", products, seconds, scratch)
        export = run("export", products, seconds, scratch)
        live = run("live", products, seconds, scratch)
    print(f"  add, writer busy:      median {add['add']['median_us']:.1f} us, 99th percentile "
          f"{add['add']['p99_us']:.1f} us a product")
    print(f"  controller(...):       median {add['controller']['median_us']:.1f} us, 99th percentile "
          f"{add['controller']['p99_us']:.1f} us (builds the product too)")
    print(f"  sustained:             {sustained['per_second']:9.0f} products/s (export_mcap: "
          f"{export['per_second']:.0f}/s; recorder/export {sustained['per_second'] / export['per_second']:.2f}); "
          f"goal {SUSTAINED_GOAL}/s: {sustained['per_second'] / SUSTAINED_GOAL:.2f} of it")
    print(f"  live, {live['rate']:.0f} products/s:  {live['cpu_percent']:.2f} % of one core "
          f"(goal under {LIVE_CPU_GOAL:g} %: {live['cpu_percent'] / LIVE_CPU_GOAL:.2f} of it; the process "
          f"{live['process_percent']:.2f} % with the feeding loop's own waking)")


if __name__ == "__main__":
    main()
