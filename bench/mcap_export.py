"""MCAP export and import, and Rerun export: throughput and peak memory against the recording's size.

    python bench/mcap_export.py [--products N] [--quick]

Two recordings of N products (default 200 000): one record, and ten records of
N/10 products each. For each, in fresh subprocesses: ``export_mcap``,
``import_mcap`` of its output, ``export_rrd`` (a Rerun recording) and, for
reference, ``Data.fromFile`` loading the whole recording. Memory is the RSS high-water mark gained during the call
(VmHWM, the mark first lowered to the current RSS as bench/run.py does), so it shows
what streaming saves: export and import hold one record at a time, a load
holds them all.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from run import _reset_rss_peak

MB = 1024 * 1024


def _peak_rss_bytes() -> int:
    """This process's RSS high-water mark. Not getrusage: after exec that starts
    from the parent's RSS, which the recordings made here would hide."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise OSError("no VmHWM in /proc/self/status")


def worker(task: str, source: str, out: str) -> dict:
    from mirvane.analysis.events import product_events
    from mirvane.data import Data
    from mirvane.formats.mcap import export_mcap, import_mcap
    from mirvane.formats.rrd import export_rrd

    reset = _reset_rss_peak()
    before = _peak_rss_bytes()
    start = time.perf_counter()
    if task == "export":
        export_mcap(source, out, events=product_events)     # as mirvane export writes it
    elif task == "import":
        import_mcap(source, out)
    elif task == "rrd":
        export_rrd(source, out, events=product_events)
    else:
        Data.fromFile(source)
    return {"seconds": time.perf_counter() - start, "rss_peak_bytes": _peak_rss_bytes() - before,
            "rss_peak_reset": reset}


def make_recording(path: str, products: int, records: int) -> None:
    from dravik.api import data_pb2
    from mirvane.formats.recordstream import RecordWriter
    from mirvane.simulation.cell import DEFAULT_START_NS, synthetic_record

    start = DEFAULT_START_NS
    with open(path, "wb") as f:
        writer = RecordWriter(f)
        for i in range(records):
            record: data_pb2.Record = synthetic_record(products // records, seed=i, start_ns=start)
            writer.write(record)
            start = record.stop_timestamp_ns + 5 * 10 ** 9


def run(task: str, source: str, out: str) -> dict:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", task, source, out],
                          check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--products", type=int, default=200_000)
    ap.add_argument("--quick", action="store_true", help="20 000 products, for a smoke run")
    ap.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(*args.worker)))
        return
    n = 20_000 if args.quick else args.products

    import google.protobuf
    print(f"mirvane MCAP benchmark: Python {sys.version.split()[0]}, protobuf {google.protobuf.__version__}, "
          f"{n} products")
    print(f"  {'recording':<18} {'file MB':>8} {'MCAP MB':>8} {'RRD MB':>7} {'export/s':>9} {'import/s':>9} "
          f"{'rrd/s':>7} {'export peak':>12} {'import peak':>12} {'rrd peak':>9} {'load peak':>10}")
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-mcap-") as scratch:
        for records in (1, 10):
            recording = os.path.join(scratch, f"r{records}.rec")
            mcap = os.path.join(scratch, f"r{records}.mcap")
            back = os.path.join(scratch, f"r{records}-back.rec")
            rrd = os.path.join(scratch, f"r{records}.rrd")
            make_recording(recording, n, records)
            size = os.path.getsize(recording)
            export, imported, load = run("export", recording, mcap), run("import", mcap, back), \
                run("load", recording, "")
            rerun = run("rrd", recording, rrd)
            label = f"{records} x {n // records} products"

            def peak(result: dict) -> str:
                # Peak RSS gained, as a multiple of the recording file's size.
                return f"{result['rss_peak_bytes'] / size:11.2f}x"

            print(f"  {label:<18} {size / MB:8.1f} {os.path.getsize(mcap) / MB:8.1f} {os.path.getsize(rrd) / MB:7.1f} "
                  f"{n / export['seconds']:9.0f} {n / imported['seconds']:9.0f} {n / rerun['seconds']:7.0f} "
                  f"{peak(export):>12} {peak(imported):>12} {peak(rerun):>9} {peak(load):>10}")
            if not all(r["rss_peak_reset"] for r in (export, imported, rerun, load)):
                print("  (the RSS high-water mark could not be reset: the peaks include start-up)")
    print("  export/s, import/s, rrd/s: products per second; peaks: RSS gained during the call / recording size")


if __name__ == "__main__":
    main()
