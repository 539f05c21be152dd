"""Fixtures shared by the tests; plain helpers are in helpers.py."""

import contextlib
import os
import shutil
import subprocess

import pytest

from helpers import mirvane, serving


@pytest.fixture(scope="session")
def recorded(tmp_path_factory):
    """A 4 s run of the sample cell (seed 5) recorded by ``mirvane record``, its project file and its
    MCAP export: ``run.rec``, ``run.mvproj`` and ``run.mcap``. Tests read them and write elsewhere."""
    where = tmp_path_factory.mktemp("recorded")
    done = mirvane("record", "run.rec", "--seconds", 4, "--seed", 5, cwd=where)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(where)) == ["run.mvproj", "run.rec"]
    done = mirvane("export", "run.rec", "run.mcap", "--quiet", cwd=where)
    assert done.returncode == 0, done.stderr
    return where


@pytest.fixture
def serve(recorded):
    """Starts ``mirvane replay --serve 0`` on the recorded run with extra arguments (a later ``--serve``
    overrides the port); gives the process and the page's URL."""
    with contextlib.ExitStack() as started:
        def start(*args):
            process, urls = started.enter_context(serving(recorded, "--serve", "0", *args))
            return process, urls[0]

        yield start


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium through its WebDriver, installed with apt-get when missing."""
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        subprocess.run("apt-get update -q && apt-get install -y -q chromium chromium-driver",
                       shell=True, check=True, capture_output=True)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    options.page_load_strategy = "eager"   # a paused replay's picture stream never finishes loading
    # The tabs a test does not look at keep their timers running, as the one a user looks at does.
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1000,800",
                 "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                 "--disable-backgrounding-occluded-windows"):
        options.add_argument(flag)
    # Not the sanitizer runtime the suite may run under: the browser is not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver"), env=env))
    yield driver
    driver.quit()
