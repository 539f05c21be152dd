"""The live player on long recordings: time to the first picture, seeks and peak memory, on a
10-minute recording against a longer one.

    python bench/player.py [--seconds S] [--seeks N] [--runs DIR] [--spool]

Each run of the sample cell (``mirvane record --seconds 600`` and ``--seconds S``, default 3600;
with ``--mcap`` its MCAP export too) is served paused (``mirvane replay --serve 0 --paused``): the
time from starting the process to ``/frame.jpg`` serving a picture, then ``--seeks`` seeded seeks
(default 20), each timed from the control's request to ``/frame.jpg`` serving the picture of the
time sought (its ``X-Playback-Time``): at once (within what is read by then), and again once the
opening pass is done (every product read and searched for events, the keyframes with them: its
products a second from the process's start); and the process's peak RSS (``VmHWM``) after them. First, the rate at which the run's
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


def measure(recording: str, seeks: int) -> dict:
    """The player's figures on ``recording``, in the project it carries."""
    start = time.perf_counter()
    process = subprocess.Popen(mirvane("replay", recording, "--serve", "0", "--paused"),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = process.stdout.readline()
        url = re.search(r"Live view at (\S+)", line)[1]
        while not picture_time(url):
            time.sleep(_POLL_S)
        figures = {"first": time.perf_counter() - start}
        # At once: within what is read by then.
        figures["at once"] = quantiles(sought(url, status(url)["span"], seeks, 1))
        # The opening pass: every product read, and searched for events (the keyframes found with them).
        while True:
            now = status(url)
            if not now["growing"] and "read" not in figures:
                figures["read"] = time.perf_counter() - start
            if not now["growing"] and now.get("searched") is None or time.perf_counter() - start > _SETTLE_S:
                figures["opened"], figures["products"] = time.perf_counter() - start, now["products"]
                break
            time.sleep(0.25)
        figures["settled"] = quantiles(sought(url, now["span"], seeks, 2))
        return {**figures, "peak": peak_kb(process.pid)}
    finally:
        process.kill()
        process.wait()


def quantiles(took: list) -> tuple:
    """The median and 99th percentile of ``took``."""
    took = sorted(took)
    return statistics.median(took), took[min(len(took) - 1, round(0.99 * (len(took) - 1)))]


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
    ap.add_argument("--mcap", action="store_true", help="each run's MCAP export too (exported once into --runs: "
                                                        "some 25 minutes for 8 hours)")
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
        print(f"{'run':>13} {'MB':>5} {'first picture s':>16} {'read s':>7} {'opening pass products/s':>24} "
              f"{'seek median/p99 ms, at once':>28} {'settled':>12} {'peak RSS MB':>12}")
        for seconds in (600.0, args.seconds):
            rec = os.path.join(scratch, f"run{seconds:g}.rec")
            if not os.path.exists(rec):
                subprocess.run(mirvane("record", rec, "--seconds", f"{seconds:g}"), check=True, capture_output=True)
            for recording in (rec, rec[:-4] + ".mcap") if args.mcap else (rec,):
                if not os.path.exists(recording):
                    subprocess.run(mirvane("export", rec, recording, "--quiet"), check=True, capture_output=True)
                got = measure(recording, args.seeks)
                seeks = [f"{1e3 * got[when][0]:.0f}/{1e3 * got[when][1]:.0f}" for when in ("at once", "settled")]
                print(f"{seconds:>7g}s {recording[-4:]:>5} {os.path.getsize(recording) / 2**20:>5.0f} "
                      f"{got['first']:>16.1f} {got['read']:>7.1f} {got['products'] / got['opened']:>24,.0f} "
                      f"{seeks[0]:>28} {seeks[1]:>12} {got['peak'] / 1024:>12.0f}", flush=True)
        print("goals: first picture within 3 s; seeks settled median under 150 ms, p99 under 500 ms; an opening "
              "pass of at least 80,000 products/s; the peak under 500 MB and within 1.25x of the 10-minute run's")


if __name__ == "__main__":
    main()
