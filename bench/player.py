"""The live player on long recordings: time to the first picture, seeks and peak memory, on a
10-minute recording against a longer one.

    python bench/player.py [--seconds S] [--seeks N] [--runs DIR] [--spool]

Each run of the sample cell (``mirvane record --seconds 600`` and ``--seconds S``, default 3600)
is served paused (``mirvane replay --serve 0 --paused``): the time from starting the process to
``/frame.jpg`` serving a picture, then ``--seeks`` seeded seeks (default 20), each timed from the
control's request to ``/frame.jpg`` serving the picture of the time sought (its
``X-Playback-Time``): at once, while the keyframes and events are still being found, and again once
they are; and the process's peak RSS (``VmHWM``) after them. First, the rate at which the run's
spool is filled (products a second, every product in), from the 10-minute ``.rec`` and its MCAP export.
"""

import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

MIRVANE = str(Path(sys.executable).with_name("mirvane"))
_POLL_S = 0.005
# The longest wait for a run's events (and its keyframes before them) to be found.
_SETTLE_S = 600.0


def mirvane(*args: str) -> list:
    return [MIRVANE, *args] if os.path.exists(MIRVANE) else [sys.executable, "-m", "mirvane", *args]


def picture_time(url: str) -> str:
    """The playback time of the picture ``/frame.jpg`` serves, or "" while it has none."""
    try:
        with urllib.request.urlopen(url + "frame.jpg", timeout=30) as answer:
            answer.read()
            return answer.headers["X-Playback-Time"]
    except urllib.error.HTTPError:
        return ""


def control(url: str, action: dict) -> dict:
    request = urllib.request.Request(url + "control", data=json.dumps(action).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)


def status(url: str) -> dict:
    with urllib.request.urlopen(url + "status.json", timeout=30) as answer:
        return json.load(answer)


def sought(url: str, span: float, seeks: int, seed: int) -> list:
    """The seconds each of ``seeks`` seeded seeks took, from the control until its picture is served."""
    rng = random.Random(seed)
    took = []
    for _ in range(seeks):
        target = round(rng.uniform(0.0, span), 3)
        asked = time.perf_counter()
        at = control(url, {"action": "seek", "time": target})["time"]
        while picture_time(url) != f"{at:.6f}":
            time.sleep(_POLL_S)
        took.append(time.perf_counter() - asked)
    return took


def peak_kb(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmHWM:\s+(\d+)", status.read())[1])


def measure(rec: str, seeks: int) -> dict:
    """The player's figures on the recording ``rec`` (its project beside it)."""
    start = time.perf_counter()
    process = subprocess.Popen(mirvane("replay", rec, "--project", rec[:-4] + ".mvproj", "--serve", "0", "--paused"),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = process.stdout.readline()
        url = re.search(r"Live view at (\S+)", line)[1]
        while not picture_time(url):
            time.sleep(_POLL_S)
        first = time.perf_counter() - start
        span = status(url)["span"]
        figures = {"first": first}
        for seed, when in ((1, "at once"), (2, "settled")):
            if when == "settled":   # the events found: the keyframes were before them
                while status(url).get("events", 1) == 0 and time.perf_counter() - start < _SETTLE_S:
                    time.sleep(0.5)
            took = sorted(sought(url, span, seeks, seed))
            figures[when] = statistics.median(took), took[min(len(took) - 1, round(0.99 * (len(took) - 1)))]
        return {**figures, "peak": peak_kb(process.pid)}
    finally:
        process.kill()
        process.wait()


def spool_rates(rec: str) -> dict:
    """Products a second the opening pass spools (``formats.spooled``, every product in) from the
    recording ``rec`` and from its MCAP export, each the best of three; in the process's CPU time,
    which other work on a shared machine changes less than the time passed."""
    from mirvane.formats.spooled import spooled_record

    mcap = rec[:-4] + ".mcap"
    if not os.path.exists(mcap):
        subprocess.run(mirvane("export", rec, mcap, "--quiet"), check=True, capture_output=True)
    rates = {}
    for path in (rec, mcap):
        best = float("inf")
        for _ in range(3):
            start = time.process_time()
            _, record = spooled_record(path, -1)
            best = min(best, time.process_time() - start)
            count = len(record.products)
            record.close()
        rates[os.path.splitext(path)[1]] = count / best
    return rates


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=3600.0, help="the longer run (default 3600)")
    ap.add_argument("--seeks", type=int, default=20, help="seeks measured on each run (default 20)")
    ap.add_argument("--runs", metavar="DIR", help="record the runs here, or play those already there (default: "
                                                  "a temporary directory), so that two versions play the same runs")
    ap.add_argument("--spool", action="store_true", help="only the spool's opening pass on the 10-minute run")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-player-") as scratch:
        scratch = args.runs or scratch
        ten = os.path.join(scratch, "run600.rec")
        if not os.path.exists(ten):
            subprocess.run(mirvane("record", ten, "--seconds", "600"), check=True, capture_output=True)
        rates = spool_rates(ten)
        print("spooled, 600 s run (CPU time): " + ", ".join(f"{kind} {rate:,.0f} products/s"
                                                            for kind, rate in rates.items()) + " (goal: at least 80,000)")
        if args.spool:
            return
        print(f"{'run':>8} {'MB':>5} {'first picture s':>16} {'seek median/p99 ms, at once':>28} "
              f"{'settled':>12} {'peak RSS MB':>12}")
        for seconds in (600.0, args.seconds):
            rec = os.path.join(scratch, f"run{seconds:g}.rec")
            if not os.path.exists(rec):
                subprocess.run(mirvane("record", rec, "--seconds", f"{seconds:g}"), check=True, capture_output=True)
            got = measure(rec, args.seeks)
            seeks = [f"{1e3 * got[when][0]:.0f}/{1e3 * got[when][1]:.0f}" for when in ("at once", "settled")]
            print(f"{seconds:>7g}s {os.path.getsize(rec) / 2**20:>5.0f} {got['first']:>16.1f} {seeks[0]:>28} "
                  f"{seeks[1]:>12} {got['peak'] / 1024:>12.0f}")


if __name__ == "__main__":
    main()
