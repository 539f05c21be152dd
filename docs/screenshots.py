"""The pictures of the docs and the README, made from real runs: ``make screenshots``.

Records a clean run of the sample cell and the same run with faults with the ``mirvane`` command,
serves the player on the faulty run, the two runs on one page and the catalog's page, photographs
each in headless Chromium (chromium and chromedriver on PATH, selenium installed), takes a frame of
a clip around the drop with ffmpeg, and writes them, their colours reduced, to docs/images/.
"""

import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from io import BytesIO
from pathlib import Path

from imageio_ffmpeg import get_ffmpeg_exe
from PIL import Image
from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

IMAGES = Path(__file__).resolve().parent / "images"
MIRVANE = shutil.which("mirvane") or str(Path(sys.executable).with_name("mirvane"))
WIDTH, HEIGHT = 1200, 800
#: The tour's runs (README.md), and two more for the catalog.
RUNS = {"clean": (3, []), "bad": (3, ["--faults", "all", "--fault-rate", "12"]),
        "night_1": (1, ["--faults", "slip,stall", "--fault-rate", "6"]), "night_2": (2, [])}


def mirvane(*args, cwd):
    return subprocess.run([MIRVANE, *map(str, args)], cwd=cwd, check=True, capture_output=True, text=True).stdout


def save(png, name, height=None):
    """A screenshot as a small PNG (its top ``height`` pixels, if given): 128 colours are plenty for flat pages."""
    image = Image.open(BytesIO(png)).convert("RGB")
    image = image.crop((0, 0, image.width, height or image.height)).quantize(128, method=Image.Quantize.MEDIANCUT)
    image.save(IMAGES / f"{name}.png", optimize=True)
    print(f"docs/images/{name}.png: {(IMAGES / f'{name}.png').stat().st_size // 1024} kB")


def served(args, cwd, ready):
    """Starts ``mirvane ARGS`` (a ``--serve``) and gives the process and the URL it printed once ``ready`` matches."""
    process = subprocess.Popen([MIRVANE, *args], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    seen = ""
    while not (found := re.search(ready, seen)):
        line = process.stdout.readline()
        if not line:
            raise SystemExit(f"mirvane {' '.join(args)} ended: {seen}")
        seen += line
    return process, found[1].split(" or ")[0]


def photograph(browser, url, settled):
    browser.get(url)
    WebDriverWait(browser, 60, poll_frequency=0.1).until(lambda b: b.execute_script(settled))
    time.sleep(1.0)   # the picture stream and plots catch up
    return browser.get_screenshot_as_png()


PLAYER_READY = ("return document.getElementById('state').textContent === 'paused' && "
                "[...document.querySelectorAll('#charts .js-plotly-plot')].some((p) => p.querySelector('.trace'))")


def main():
    IMAGES.mkdir(exist_ok=True)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={WIDTH},{HEIGHT}",
                 "--hide-scrollbars"):
        options.add_argument(flag)
    with tempfile.TemporaryDirectory() as where:
        for name, (seed, faults) in RUNS.items():
            mirvane("record", f"{name}.rec", "--seconds", 20, "--seed", seed, *faults, cwd=where)
        events = [json.loads(line) for line in
                  mirvane("events", "bad.rec", "--kind", "drop", "--format", "json", cwd=where).splitlines()]
        drop = events[0]
        at = f"{drop['time'] + 0.3:.2f}"   # the dropped box still glowing

        mirvane("replay", "bad.rec", "--project", "bad.mvproj", "--movie", "drop.mp4", "--event", drop["number"],
                "--pad", 1, "--quiet", cwd=where)
        subprocess.run([get_ffmpeg_exe(), "-v", "error", "-ss", "1.2", "-i", "drop.mp4", "-frames:v", "1", "clip.png"],
                       cwd=where, check=True)
        save((Path(where) / "clip.png").read_bytes(), "clip")

        mirvane("index", ".", "--workers", 1, cwd=where)
        browser = webdriver.Chrome(options=options, service=webdriver.ChromeService(shutil.which("chromedriver")))
        pages = [
            ("player", ["replay", "bad.rec", "--project", "bad.mvproj"], PLAYER_READY),
            ("two-runs", ["replay", "clean.rec", "bad.rec", "--project", "clean.mvproj", "--project-b", "bad.mvproj"],
             PLAYER_READY),
        ]
        try:
            for name, args, settled in pages:
                process, url = served([*args, "--serve", "0", "--paused", "--start", at], where,
                                      r"Live view at (.*) \((?:until the end|Ctrl-C stops)\)")
                try:
                    save(photograph(browser, url, settled), name)
                finally:
                    process.kill()
                    process.wait()
            process, url = served(["runs", "--serve", "0"], where, r"Runs at (\S+)")
            try:
                save(photograph(browser, url, "return document.querySelectorAll('#rows tr').length > 0"), "catalog",
                     height=240)
            finally:
                process.kill()
                process.wait()
        finally:
            browser.quit()


if __name__ == "__main__":
    main()
