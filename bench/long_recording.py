"""Long recordings: the peak memory of ``mirvane events``, ``info``, ``index``, ``diff``, ``export``
(to MCAP, to Rerun, a span), ``import``, ``record``, ``show --recording`` and ``recover`` on a
10-minute recording against a longer one.

    python bench/long_recording.py [--seconds S] [--mcap]

Two runs of the sample cell, ``mirvane record --seconds 600`` and ``--seconds S``
(default 3600; up to 28800, eight hours), and with ``--mcap`` their MCAP exports
too (which 'mirvane import' reads). Each command runs as its own process, forked from a small interpreter that
reads its peak RSS (``getrusage(RUSAGE_CHILDREN)``), so nothing else is counted.
``diff`` compares a run with itself: every product is walked in both; ``record`` records the run
again, ``export:span`` exports a second of it from 300 s, ``recover`` rewrites an MCAP export whole.
Goal: the longer recording's peak at most 1.25 times the shorter's.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MIRVANE = str(Path(sys.executable).with_name("mirvane"))
# A fresh small interpreter per command: the kernel keeps a process's peak across exec, and
# RUSAGE_CHILDREN keeps the greatest of all children waited for.
_MEASURED = """import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, done.returncode)
"""

# What a command writes, and the inputs it takes (by their ending) where not every one.
WRITTEN = {
    "export": "out.mcap",
    "import": "out.rec",
    "export:rrd": "out.rrd",
    "export:span": "out.mcap",
}
INPUTS = {
    "import": ".mcap",
    "record": ".rec",
    "recover": ".mcap",
}
#: Each command measured; a name's ":" tells variants of one command apart.
COMMANDS = ("events", "info", "index", "diff", "export", "import", "export:rrd", "export:span", "record", "show",
            "recover")


def mirvane(*args: str) -> list:
    return [MIRVANE, *args] if os.path.exists(MIRVANE) else [sys.executable, "-m", "mirvane", *args]


def operands(command: str, path: str) -> list:
    """What ``command`` is given to read the recording at ``path`` (``run<seconds>.rec`` or ``.mcap``)."""
    stem = os.path.splitext(path)[0]
    return {
        "index": ["--db", path + ".duckdb", "--quiet", path],
        "diff": [path, path],
        "export:span": [path, "--from", "300", "--to", "301"],
        "record": [stem + "-again.rec", "--seconds", os.path.basename(stem)[len("run"):]],
        "show": [stem + ".mvproj", "--recording", path],
        "recover": [path, stem + "-recovered.mcap", "--force"],
    }.get(command, [path])


def peak_kb(command: list) -> int:
    said = subprocess.run([sys.executable, "-c", _MEASURED, *command], capture_output=True, text=True, check=True)
    peak, status = map(int, said.stdout.split())
    if status:
        sys.exit(f"{' '.join(command)} failed ({status})")
    return peak


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=3600.0, help="the longer run (default 3600)")
    ap.add_argument("--mcap", action="store_true", help="measure the runs' MCAP exports too")
    args = ap.parse_args()
    lengths = (600.0, args.seconds)
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-long-") as scratch:
        files = {}
        for seconds in lengths:
            rec = os.path.join(scratch, f"run{seconds:g}.rec")
            start = time.perf_counter()
            subprocess.run(mirvane("record", rec, "--seconds", f"{seconds:g}"), check=True, capture_output=True)
            made = [rec]
            if args.mcap:
                subprocess.run(mirvane("export", rec, rec[:-4] + ".mcap", "--quiet"), check=True)
                made.append(rec[:-4] + ".mcap")
            print(f"recorded {seconds:g} s: {os.path.getsize(rec) / 2**20:.0f} MB "
                  f"({time.perf_counter() - start:.0f} s to make)")
            files[seconds] = made
        print(f"{'command':11} {'file':5} {'10 min kB':>11} {f'{args.seconds:g} s kB':>11} {'ratio':>6}  time s")
        for command in COMMANDS:
            for which in range(len(files[lengths[0]])):
                if not files[lengths[0]][which].endswith(INPUTS.get(command, "")):
                    continue
                peaks, took = [], []
                for seconds in lengths:
                    path = files[seconds][which]
                    written = [os.path.join(scratch, WRITTEN[command]), "--quiet"] if command in WRITTEN else []
                    start = time.perf_counter()
                    peaks.append(peak_kb(mirvane(command.split(":")[0], *operands(command, path), *written)))
                    took.append(time.perf_counter() - start)
                kind = os.path.splitext(files[lengths[0]][which])[1][1:]
                print(f"{command:11} {kind:5} {peaks[0]:>11,} {peaks[1]:>11,} {peaks[1] / peaks[0]:>6.2f}  "
                      f"{took[0]:.0f}, {took[1]:.0f}")
    print("goal: ratio at most 1.25")


if __name__ == "__main__":
    main()
