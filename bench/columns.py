"""Columns, and every hot path over a recording, each as a ratio to protobuf parsing the same bytes.

    python bench/columns.py [--seconds S] [--repeat R] [--quick]

A run of the sample cell of S seconds (default 600, ``--quick`` 60), as ``mirvane record`` makes
it. The base: ``data_pb2.Records.FromString`` on the file's bytes (protobuf's own runtime, its
backend printed). Against it, in one process, the calls alternating and the median of R (default
5) of each kept:

- columns: ``record_columns`` of each record's bytes (their spans found once beforehand), and
  ``product_columns`` of the products' bytes split beforehand, as an MCAP chunk yields them;
- events: every product of the file fed to the detector from its bytes, as ``mirvane events``
  reads them (``bench/events.py``'s pass from bytes);
- metrics: the fold of the figures from each record's columns (``MetricsFold.add_columns``);
- export: ``export_mcap`` with the events, as ``mirvane export`` writes it (``bench/mcap_export.py``);
- diff: ``mirvane diff`` of the run and one with faults (``bench/diff.py``), against parsing both;
- index: ``mirvane index`` of the file into a new catalog, serially (``bench/catalog.py``);
- recorder: the products, made beforehand, from the first ``add`` until ``close`` returns
  (``bench/recorder.py``'s sustained rate).

Each line gives its goal: columns at most 1x the parse, events and metrics 1.5x, export 3x, diff 2x
the parse of both; the recorder at least 200,000 products a second, the index 250,000.
"""

import argparse
import itertools
import os
import statistics
import sys
import tempfile
import time
from typing import Callable, Dict, List, Tuple

import catalog
import diff
import events
import mcap_export
import recorder

#: Each measurement's goal: the most times the parse it may take, or (products/s) the least rate.
RATIO_GOALS = {"columns of records": 1.0, "columns of products": 1.0, "events": 1.5, "metrics": 1.5,
               "export": 3.0, "diff": 2.0}
RATE_GOALS = {"index": 250_000, "recorder": 200_000}


def timed(work: Callable[[], object], times: List[float]) -> None:
    start = time.perf_counter()
    work()
    times.append(time.perf_counter() - start)


def record_columns_of(view: memoryview, spans: List[Tuple[int, int]]) -> list:
    """The columns of each record whose bytes ``spans`` gives in ``view``."""
    from mirvane.formats.columns import record_columns

    return [record_columns(view[offset:offset + length]) for offset, length in spans]


def folded(view: memoryview, spans: List[Tuple[int, int]], projects: list) -> None:
    """Each record's figures, from its columns (``MetricsFold.add_columns``)."""
    from mirvane.analysis.metrics import MetricsFold

    for columns, project in zip(record_columns_of(view, spans), projects):
        fold = MetricsFold()
        fold.add_columns(columns)
        fold.metrics(project, [])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="60 s of run, for a smoke run")
    args = ap.parse_args()
    seconds = 60 if args.quick else args.seconds

    import google.protobuf
    from google.protobuf.internal import api_implementation

    from dravik.api import data_pb2
    from mirvane.formats.columns import product_columns
    from mirvane.formats.recordstream import RecordReader

    with tempfile.TemporaryDirectory(prefix="mirvane-bench-columns-") as scratch:
        clean, faulty = diff.make_runs(scratch, seconds)     # the run, and one with faults
        with RecordReader(clean) as reader:
            spans = reader.offsets()
        with open(clean, "rb") as f:
            raw = f.read()
        with open(faulty, "rb") as f:
            other = f.read()
        view = memoryview(raw)
        records = data_pb2.Records.FromString(raw).records
        projects = [record.project for record in records]
        products = [p.SerializeToString() for record in records for p in record.products]
        n = len(products)
        both = n + sum(len(record.products) for record in data_pb2.Records.FromString(other).records)
        print(f"mirvane columns benchmark: Python {sys.version.split()[0]}, protobuf {google.protobuf.__version__} "
              f"({api_implementation.Type()} backend), {seconds:g} s of run, {n} products, {len(raw) / 1e6:.1f} MB")
        made = itertools.count()

        def fresh(ext: str) -> str:     # the recorder and the catalog make a new file, never over one
            return os.path.join(scratch, f"out-{next(made)}{ext}")

        work: Dict[str, Callable[[], object]] = {
            "parse": lambda: data_pb2.Records.FromString(raw),
            "parse both": lambda: (data_pb2.Records.FromString(raw), data_pb2.Records.FromString(other)),
            "columns of records": lambda: record_columns_of(view, spans),
            "columns of products": lambda: product_columns(products),
            "metrics": lambda: folded(view, spans, projects),
            "events": lambda: events.find_events_in_bytes(clean),
            "export": lambda: mcap_export.worker("export", clean, fresh(".mcap")),
            "diff": lambda: diff.diff(clean, faulty),
            "index": lambda: catalog.timed_index(clean, fresh(".duckdb")),
            "recorder": lambda: recorder.sustained(records[0], fresh(".mcap")),
        }
        times: Dict[str, List[float]] = {name: [] for name in work}
        for _ in range(args.repeat):
            for name, call in work.items():
                timed(call, times[name])
    took = {name: statistics.median(each) for name, each in times.items()}
    print(f"  {'':20} {'ms':>8} {'products/s':>11} {'x parse':>8}  goal")
    for name, seconds_taken in took.items():
        base = took["parse both" if name == "diff" else "parse"]
        ratio = seconds_taken / base
        rate = (both if name in ("diff", "parse both") else n) / seconds_taken
        if name in RATIO_GOALS:
            goal = f"at most {RATIO_GOALS[name]:g}x{' the parse of both' if name == 'diff' else ''}: " \
                   f"{'met' if ratio <= RATIO_GOALS[name] else 'not met'}"
        elif name in RATE_GOALS:
            goal = f"at least {RATE_GOALS[name]:,} products/s: {'met' if rate >= RATE_GOALS[name] else 'not met'}"
        else:
            goal = ""
        print(f"  {name:20} {seconds_taken * 1e3:8.1f} {rate:11.0f} {ratio:8.2f}  {goal}")


if __name__ == "__main__":
    main()
