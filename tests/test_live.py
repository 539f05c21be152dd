"""The live view of ``mirvane replay --serve``, watched in a real headless browser and over raw sockets."""

import os
import re
import shutil
import socket
import subprocess
import time
import urllib.error
import urllib.request

import pytest

from helpers import MIRVANE, read_until


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    where = tmp_path_factory.mktemp("live")
    done = subprocess.run([MIRVANE, "record", "run.rec", "--seconds", "4"], cwd=where, capture_output=True)
    assert done.returncode == 0, done.stderr
    return where


@pytest.fixture
def serve(recorded):
    """Starts ``mirvane replay --serve`` with extra arguments; gives the process and the page's URL."""
    started = []

    def start(*args):
        process = subprocess.Popen([MIRVANE, "replay", "run.rec", "--project", "run.mvproj", "--serve", "0",
                                    *args], cwd=recorded, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        started.append(process)
        url = re.search(r"http://127\.0\.0\.1:\d+/", read_until(process, "Live view at")).group(0)
        return process, url

    yield start
    for process in started:
        process.kill()
        process.wait()


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
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1000,800"):
        options.add_argument(flag)
    # Not the sanitizer runtime the suite may run under: the browser is not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver"), env=env))
    yield driver
    driver.quit()


def test_page_shows_the_replay_as_it_plays_and_says_when_it_is_finished(browser, serve):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    process, url = serve("--speed", "0.5")   # eight seconds
    browser.get(url)
    wait = WebDriverWait(browser, 30)
    wait.until(lambda b: b.find_element(By.ID, "record").text == "run.rec record 0")
    picture = browser.find_element(By.ID, "view")
    wait.until(lambda b: b.execute_script("return arguments[0].naturalWidth", picture) == 640)
    first_picture, first_time = picture.screenshot_as_png, float(browser.find_element(By.ID, "time").text)
    time.sleep(1.5)
    assert picture.screenshot_as_png != first_picture
    assert float(browser.find_element(By.ID, "time").text) > first_time
    assert browser.find_element(By.ID, "span").text == "4.0"
    wait.until(lambda b: b.find_element(By.ID, "state").text == "finished")
    assert process.wait(timeout=30) == 0
    # The last picture stays after the command has ended.
    assert browser.execute_script("return arguments[0].naturalWidth", picture) == 640
    assert float(browser.find_element(By.ID, "time").text) == pytest.approx(4.0, abs=0.05)


def open_stream(url):
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()
    client = socket.create_connection((host, int(port)))
    client.sendall(b"GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n")
    return client


def test_dropped_streams_other_tabs_and_unknown_paths_do_not_disturb_the_replay(serve):
    process, url = serve("--speed", "1.5")
    watchers = [open_stream(url) for _ in range(3)]
    watched = [b""] * 3
    for i, watcher in enumerate(watchers):
        while b"\xff\xd9" not in watched[i]:   # the end of a first picture
            watched[i] += watcher.recv(1 << 16)
        assert b"Content-Type: multipart/x-mixed-replace" in watched[i]
    # One drops mid-stream, abruptly; one stops reading; one watches to the end.
    watchers[0].setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    watchers[0].close()
    for path in ("../run.rec", "run.rec", "etc/passwd", "%2e%2e/run.mvproj", "stream.mjpg/x"):
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(url + path, timeout=10)
        assert refused.value.code == 404
    with urllib.request.urlopen(url + "frame.jpg", timeout=10) as picture:
        assert picture.headers["Content-Type"] == "image/jpeg" and picture.read(2) == b"\xff\xd8"
    while chunk := watchers[2].recv(1 << 16):
        watched[2] += chunk
    assert watched[2].count(b"--mirvane-frame") > 10
    assert process.wait(timeout=30) == 0
    watchers[1].close()
    watchers[2].close()
