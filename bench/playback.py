"""What a live replay costs, and how soon a seek shows: ``mirvane replay`` as a user runs it.

    python bench/playback.py [--seconds S] [--window W]

Records a run of ``--seconds`` (default 10) with ``mirvane record``, then measures the
``mirvane replay`` process's CPU time (user + system, all its threads, from /proc) per wall
second over ``--window`` seconds (default 5) once playback has begun:

* live, not serving;
* paused (``--paused``);
* serving one watching page (``--serve``, the player page open in headless Chromium);
* two runs side by side (``mirvane replay A B --serve``), with the page open as above (or, without
  Chromium, no page), beside one run served the same way;

and the time from a ``POST /control`` seek to the first picture of the stream that shows the new
time (``X-Playback-Time``), over several seeks while playing at the defaults: of one run, and of
two side by side until both streams show it.
"""

import argparse
import http.client
import json
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List, Optional, Tuple

MIRVANE = str(Path(sys.executable).with_name("mirvane"))
GOALS = {"live, not serving": 0.15, "paused": 0.02, "serving one page": 0.5}
SEEK_GOAL_MS = 100.0
#: Two runs side by side: CPU at most this many times one run's, a seek shown in both within this.
TWO_RUNS_CPU_GOAL = 2.0
SEEK_BOTH_GOAL_MS = 150.0
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def started(where: str, *args: str, beside: Tuple[str, ...] = ()) -> Tuple["subprocess.Popen[bytes]", str]:
    """``mirvane replay`` (of run.rec, and ``beside`` it another recording) with ``args``, once it shows
    ``playing`` or ``paused``; and what it printed."""
    process = subprocess.Popen([MIRVANE, "replay", "run.rec", *beside, "--project", "run.mvproj", *args], cwd=where,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = ""
    while not re.search(r"(playing|paused) \d", seen):
        ready, _, _ = select.select([process.stdout, process.stderr], [], [], 30)
        assert ready and process.poll() is None, seen
        for pipe in ready:
            seen += os.read(pipe.fileno(), 4096).decode(errors="replace")
    return process, seen


def cpu_per_wall(process: "subprocess.Popen[bytes]", window: float) -> float:
    cpu, wall = cpu_seconds(process.pid), time.monotonic()
    deadline = wall + window
    while time.monotonic() < deadline:
        # Keep its pipes drained, as a terminal would.
        ready, _, _ = select.select([process.stdout, process.stderr], [], [], 0.2)
        for pipe in ready:
            os.read(pipe.fileno(), 65536)
    return (cpu_seconds(process.pid) - cpu) / (time.monotonic() - wall)


def stopped(process: "subprocess.Popen[bytes]") -> None:
    process.kill()
    process.wait()


def browser() -> Optional[Callable[[str], Callable[[], None]]]:
    """Opens a page in headless Chromium, giving its closer; None without Chromium or selenium."""
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        return None
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None

    def open_page(url: str) -> Callable[[], None]:
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        options.page_load_strategy = "eager"
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,900"):
            options.add_argument(flag)
        driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
        driver.get(url)
        return driver.quit

    return open_page


def seek_latencies(url: str, seeks: int, runs: int = 1) -> List[float]:
    """Milliseconds from each seek's request to the first streamed picture at the new time (of every
    one of ``runs`` side by side: the last of them)."""
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()   # type: ignore[union-attr]
    streams = [http.client.HTTPConnection(host, int(port), timeout=10) for _ in range(runs)]
    for run, stream in enumerate(streams):
        stream.request("GET", f"/stream.mjpg?run={run}")
    answers = [stream.getresponse() for stream in streams]

    def next_picture_time(pictures: http.client.HTTPResponse) -> float:
        at, length = None, 0
        while True:   # a part's headers, up to the blank line before its picture
            line = pictures.fp.readline().decode(errors="replace").strip()
            if line.startswith("X-Playback-Time:"):
                at = float(line.split(":", 1)[1])
            elif line.startswith("Content-Length:"):
                length = int(line.split(":", 1)[1])
            elif not line and length:
                break
        pictures.fp.read(length)
        assert at is not None
        return at

    control = http.client.HTTPConnection(host, int(port), timeout=10)
    latencies = []
    for n in range(seeks):
        target = 2.0 if n % 2 else 7.0
        time.sleep(0.3)
        sent = time.monotonic()
        control.request("POST", "/control", json.dumps({"action": "seek", "time": target}),
                        {"Content-Type": "application/json"})
        control.getresponse().read()
        for pictures in answers:   # one after the other: a picture already come waits in its socket
            while not target - 1e-6 <= next_picture_time(pictures) < target + 0.5:
                pass
        latencies.append(1000 * (time.monotonic() - sent))
    for stream in streams:
        stream.close()
    control.close()
    return latencies


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--window", type=float, default=5.0)
    parser.add_argument("--seeks", type=int, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="mirvane-bench-") as where:
        for name, seed in (("run.rec", "0"), ("other.rec", "1")):
            subprocess.run([MIRVANE, "record", name, "--seconds", str(args.seconds), "--seed", seed], cwd=where,
                           check=True, capture_output=True)
        print(f"Live replay of a {args.seconds:g} s record: CPU seconds per wall second over {args.window:g} s")
        figures = {}
        process, _ = started(where)
        figures["live, not serving"] = cpu_per_wall(process, args.window)
        stopped(process)
        process, _ = started(where, "--paused")
        figures["paused"] = cpu_per_wall(process, args.window)
        stopped(process)
        open_page = browser()
        if open_page is not None:
            process, printed = started(where, "--serve", "0", "--loop")
            close = open_page(re.search(r"http://\S+", printed).group(0))   # type: ignore[union-attr]
            time.sleep(1.0)
            figures["serving one page"] = cpu_per_wall(process, args.window)
            close()
            stopped(process)
        for name, figure in figures.items():
            print(f"  {name:<20} {figure:6.3f}   (goal <= {GOALS[name]})")
        if open_page is None:
            print("  serving one page     skipped: needs chromium, chromedriver and selenium")
        served = {}
        for runs, beside in ((1, ()), (2, ("other.rec",))):
            process, printed = started(where, "--serve", "0", "--loop", beside=beside)
            close = open_page(re.search(r"http://\S+", printed).group(0)) if open_page else None  # type: ignore
            time.sleep(1.0)
            served[runs] = cpu_per_wall(process, args.window)
            if close is not None:
                close()
            stopped(process)
        watched = "one page" if open_page else "no page"
        print(f"Two runs side by side, serving {watched}: {served[2]:.3f} CPU s per wall s, {served[2] / served[1]:.2f}x "
              f"one run's ({served[1]:.3f}; goal <= {TWO_RUNS_CPU_GOAL:g}x)")
        for runs, beside, goal in ((1, (), SEEK_GOAL_MS), (2, ("other.rec",), SEEK_BOTH_GOAL_MS)):
            process, printed = started(where, "--serve", "0", "--loop", beside=beside)
            latencies = seek_latencies(re.search(r"http://\S+", printed).group(0), args.seeks, runs)  # type: ignore
            stopped(process)
            shown = "first picture at the new time" if runs == 1 else "both pictures at the new time"
            print(f"Seek to {shown}, {len(latencies)} seeks while playing: median "
                  f"{statistics.median(latencies):.0f} ms, max {max(latencies):.0f} ms (goal <= {goal:.0f} ms)")


if __name__ == "__main__":
    main()
