"""Columns: a recording's products decoded into columns (``mirvane.formats.columns``), against
protobuf parsing the same bytes.

    python bench/columns.py [--seconds S] [--repeat R] [--quick]

A run of the sample cell of S seconds (default 600, ``--quick`` 60), as ``mirvane record`` makes
it, read into memory once. Parse: ``data_pb2.Records.FromString`` on the file's bytes (protobuf's
own runtime, its backend printed). Columns: ``record_columns`` of each record's bytes (their spans
found once beforehand), and ``product_columns`` of the products' bytes split beforehand, as an
MCAP chunk yields them. The calls alternate; the median of R (default 5) of each is kept.
Goal: columns at most as long as the parse (a ratio of at most 1.0).
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from typing import Callable, List


def make_run(path: str, seconds: float) -> None:
    from mirvane.data import Data
    from mirvane.simulation.cell import run_cell

    data = Data()
    data.addRecord(run_cell(seconds, seed=1)[0])
    data.save(path)


def timed(work: Callable[[], object], times: List[float]) -> None:
    start = time.perf_counter()
    work()
    times.append(time.perf_counter() - start)


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
    from mirvane.formats.columns import product_columns, record_columns
    from mirvane.formats.recordstream import RecordReader

    with tempfile.TemporaryDirectory(prefix="mirvane-bench-columns-") as scratch:
        path = os.path.join(scratch, "run.rec")
        make_run(path, seconds)
        with RecordReader(path) as reader:
            spans = reader.offsets()
        with open(path, "rb") as f:
            raw = f.read()
    view = memoryview(raw)
    records = data_pb2.Records.FromString(raw).records
    products = [p.SerializeToString() for record in records for p in record.products]
    n = len(products)
    print(f"mirvane columns benchmark: Python {sys.version.split()[0]}, protobuf {google.protobuf.__version__} "
          f"({api_implementation.Type()} backend), {seconds:g} s of run, {n} products, {len(raw) / 1e6:.1f} MB")
    parse: List[float] = []
    by_record: List[float] = []
    by_product: List[float] = []
    for _ in range(args.repeat):
        timed(lambda: data_pb2.Records.FromString(raw), parse)
        timed(lambda: [record_columns(view[offset:offset + length]) for offset, length in spans], by_record)
        timed(lambda: product_columns(products), by_product)
    base = statistics.median(parse)
    for name, times in (("protobuf parse", parse), ("columns of records", by_record),
                        ("columns of products", by_product)):
        took = statistics.median(times)
        print(f"  {name:20} {took * 1e3:8.1f} ms  {n / took:11.0f} products/s  {took / base:5.2f}x the parse")
    print("  goal: columns at most 1.0x the parse")


if __name__ == "__main__":
    main()
