"""Events: a recording's events found in one pass, against reading the recording alone.

    python bench/events.py [--products N] [--repeat R] [--quick]

A recording file of N products (default 200 000, ``--quick`` 20 000) of the
sample cell. Reading: each record parsed from the file (``RecordReader``) and
every product's stamp touched, the least any pass over the products does.
Events: the same, every product fed to ``mirvane.analysis.events.Detector``.
Events from bytes: each record's products as the file holds them, a block at a time
(``ProductStream.blocks``: checked against the schema natively, unparsed), fed to the
detector a block a call, as ``mirvane events`` does.
The three alternate in one process, the best of R (default 3) of each is kept.
Goal: events take at most 1.5 times as long as the reading.
"""

import argparse
import os
import sys
import tempfile
import time
from typing import Callable


def make_recording(path: str, products: int) -> None:
    from mirvane.formats.recordstream import RecordWriter
    from mirvane.simulation.cell import synthetic_record

    with open(path, "wb") as f:
        RecordWriter(f).write(synthetic_record(products, seed=1))


def read(path: str) -> int:
    from mirvane.formats.recordstream import RecordReader

    stamps = 0
    with RecordReader(path) as reader:
        for _, record in reader.records():
            for product in record.products:
                stamps += product.timestamp_ns
    return stamps


def find_events(path: str) -> int:
    from mirvane.analysis.events import Detector
    from mirvane.formats.recordstream import RecordReader

    found = 0
    with RecordReader(path) as reader:
        for position, (_, record) in enumerate(reader.records()):
            detector = Detector(record.project, position)
            for product in record.products:
                found += len(detector.feed(product))
            found += len(detector.finish())
    return found


def find_events_in_bytes(path: str) -> int:
    from mirvane.analysis.ordering import found_events
    from mirvane.formats.productstream import ProductStream

    return sum(1 for position, (header, blocks) in enumerate(ProductStream(path).blocks())
               for _ in found_events(header.project, blocks, position))


def best(work: Callable[[str], int], path: str, times: list) -> int:
    start = time.perf_counter()
    result = work(path)
    times.append(time.perf_counter() - start)
    return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--products", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="20 000 products, for a smoke run")
    args = ap.parse_args()
    n = 20_000 if args.quick else args.products

    import google.protobuf
    print(f"mirvane events benchmark: Python {sys.version.split()[0]}, protobuf {google.protobuf.__version__}, "
          f"{n} products")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-events-") as scratch:
        path = os.path.join(scratch, "run.rec")
        make_recording(path, n)
        reading: list = []
        finding: list = []
        from_bytes: list = []
        for _ in range(args.repeat):
            best(read, path, reading)
            events = best(find_events, path, finding)
            best(find_events_in_bytes, path, from_bytes)
    ratio = min(finding) / min(reading)
    print(f"  reading: {n / min(reading):10.0f} products/s ({min(reading) / n * 1e6:.2f} us a product)")
    print(f"  events:  {n / min(finding):10.0f} products/s ({min(finding) / n * 1e6:.2f} us a product, "
          f"{events} events)")
    print(f"  events from bytes: {n / min(from_bytes):6.0f} products/s ({min(from_bytes) / n * 1e6:.2f} us a product)")
    print(f"  events / reading: {ratio:.1f}x, from bytes {min(from_bytes) / min(reading):.1f}x (goal: at most 1.5x)")


if __name__ == "__main__":
    main()
