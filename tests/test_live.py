"""The live view of ``mirvane replay --serve``, watched in a real headless browser and over raw sockets."""

import contextlib
import importlib.util
import io
import os
import re
import socket
import time
import urllib.error
import urllib.request

import numpy as np
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from helpers import request, serving


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
    assert float(browser.find_element(By.ID, "span").text) == pytest.approx(4.0, abs=0.01)
    wait.until(lambda b: b.find_element(By.ID, "state").text == "finished")
    assert process.wait(timeout=30) == 0
    # The last picture stays after the command has ended.
    assert browser.execute_script("return arguments[0].naturalWidth", picture) == 640
    assert float(browser.find_element(By.ID, "time").text) == pytest.approx(4.0, abs=0.05)


def test_the_field_box_suggests_a_field_of_the_cells_own_robot(browser, serve):
    from selenium.webdriver.support.ui import WebDriverWait

    process, url = serve("--hold")
    assert b"arm_a" not in urllib.request.urlopen(url).read()     # the page itself names no cell
    browser.get(url)
    field = browser.find_element(By.ID, "field")
    WebDriverWait(browser, 30).until(lambda b: 'controller{robot=="arm_a"}' in field.get_attribute("placeholder"))


def open_stream(url):
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()
    client = socket.create_connection((host, int(port)))
    client.sendall(f"GET /stream.mjpg HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
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


# -- the player: one paused, looping replay that the tests below steer in turn ----------------

def control(url, **body):
    code, status = request(url, "control", body)
    assert code == 200, status
    return status


def status(url):
    return request(url, "status.json")[1]


def product_times(where):
    """The recording's product times in seconds after its first, and the products themselves."""
    from mirvane.data import Data

    record = Data.fromFile(where / "run.rec").records()[-1]
    ns = np.array([p.timestamp_ns for p in record.products])
    return 1e-9 * ns - 1e-9 * ns[0], record.products


@pytest.fixture(scope="module")
def player(recorded, browser):
    """A paused, looping replay (it never ends by itself), its URL, and the page open on it."""
    with serving(recorded, "--serve", "0", "--paused", "--loop") as (_, (url,)):
        opened(browser, url)
        yield url


def opened(browser, url):
    """The player page at ``url``, once it has set itself up (plotly loaded, every plot drawn)."""
    browser.get(url)
    wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "paused")
    wait(browser).until(lambda b: b.execute_script(
        "const plots = document.querySelectorAll('#charts .js-plotly-plot');"
        "return plots.length > 0 && [...plots].every((p) => p.querySelector('.scatterlayer .trace'))"))


def wait(browser, seconds=30):
    # Generous: a loaded machine may keep the page's script busy for seconds at a time.
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(browser, seconds, poll_frequency=0.05)


def frame(url, run=0):
    """The latest picture (of ``run``, when two are shown) and the playback time it shows."""
    with urllib.request.urlopen(url + f"frame.jpg?run={run}", timeout=10) as answer:
        return answer.read(), float(answer.headers["X-Playback-Time"])


def shown_at(url, seconds, run=0):
    """Wait for the published picture to show the time ``seconds`` (to the microsecond); give it."""
    deadline = time.monotonic() + 10
    while True:
        picture, at = frame(url, run)
        if at == pytest.approx(seconds, abs=2e-6) or time.monotonic() > deadline:
            assert at == pytest.approx(seconds, abs=2e-6)
            return picture
        time.sleep(0.05)


def key(browser, keys):
    from selenium.webdriver.common.action_chains import ActionChains

    ActionChains(browser).send_keys(keys).perform()


@pytest.mark.parametrize("how", ["button", "Space"])
def test_pause_stops_the_time_and_the_picture_and_play_resumes_from_there(browser, player, how):
    from selenium.webdriver.common.keys import Keys

    press = (lambda: browser.find_element(By.ID, "play").click()) if how == "button" else \
        (lambda: key(browser, Keys.SPACE))
    control(player, action="seek", time=0.5)
    press()
    wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "playing")
    time.sleep(0.5)
    press()
    paused = wait(browser).until(lambda b: (s := status(player))["paused"] and s)
    picture = shown_at(player, paused["time"])
    time.sleep(0.6)
    assert status(player)["time"] == paused["time"] and frame(player)[0] == picture
    assert float(browser.find_element(By.ID, "time").text) == pytest.approx(paused["time"], abs=0.006)
    press()
    resumed = wait(browser).until(lambda b: not (s := status(player))["paused"] and s)
    assert paused["time"] <= resumed["time"] < paused["time"] + 0.5
    control(player, action="pause")


@pytest.mark.parametrize("how", ["scrubber", "control"])
def test_a_seek_moves_the_time_within_one_product_and_changes_the_picture(browser, player, recorded, how):
    from selenium.webdriver.common.action_chains import ActionChains

    times, _ = product_times(recorded)
    control(player, action="seek", time=0.5)
    before = shown_at(player, 0.5)
    if how == "scrubber":
        scrubber = browser.find_element(By.ID, "scrubber")
        ActionChains(browser).move_to_element_with_offset(scrubber, scrubber.size["width"] // 4, 0).click().perform()
        target = float(wait(browser).until(lambda b: scrubber.get_attribute("value") != "0.5" and
                                           scrubber.get_attribute("value")))
        assert 2.0 < target < 4.0
    else:
        target = 3.0
        control(player, action="seek", time=target)
    gap = np.max(np.diff(times))   # within one product: the product shown (once play has read the clock)
    seen = wait(browser).until(lambda b: abs((s := status(player))["time"] - target) < 0.01
                               and abs(times[s["product"]] - target) <= gap and s)
    assert shown_at(player, seen["time"]) != before
    assert seen["paused"]


@pytest.mark.parametrize("forward, back", [(".", ","), ("next", "prev")])
def test_step_shows_the_neighbouring_product_time_exactly_and_back(browser, player, recorded, forward, back):
    stops = np.unique(product_times(recorded)[0])
    here = stops[400]
    control(player, action="seek", time=float(here))
    press = {k: (lambda k=k: key(browser, k)) for k in ",."}
    press.update({k: (lambda k=k: browser.find_element(By.ID, k).click()) for k in ("next", "prev")})
    for go, expected in ((forward, stops[401]), (forward, stops[402]), (back, stops[401]), (back, here)):
        version = status(player)["version"]
        press[go]()
        moved = wait(browser).until(lambda b: (s := status(player))["version"] != version and s)
        assert moved["time"] == expected and moved["paused"]
        shown_at(player, expected)


def test_rate_four_runs_the_time_four_times_as_fast(browser, player):
    from selenium.webdriver.support.ui import Select

    control(player, action="seek", time=0.2)
    Select(browser.find_element(By.ID, "rate")).select_by_value("4")
    wait(browser).until(lambda b: status(player)["rate"] == 4.0)
    start, wall = control(player, action="play")["time"], time.monotonic()
    time.sleep(0.6)
    played, wall = status(player)["time"] - start, time.monotonic() - wall
    control(player, action="pause")
    control(player, action="rate", value=1.0)
    assert 3.0 < played / wall < 4.5


def test_the_plot_cursor_follows_the_time_and_a_click_on_a_plot_seeks(browser, player):
    from selenium.webdriver.common.action_chains import ActionChains

    pytest.importorskip("plotly")
    cursor = "const d = document.querySelector('.plot'); return d && d._fullLayout && d._fullLayout.shapes[0].x0"
    for t in (1.0, 2.5):
        control(player, action="seek", time=t)
        wait(browser).until(lambda b: b.execute_script(cursor) == pytest.approx(t, abs=1e-6))
    plot = browser.find_element(By.CSS_SELECTOR, ".plot")
    ActionChains(browser).move_to_element_with_offset(plot, -plot.size["width"] // 4, 0).click().perform()
    # Where plotly's own axis puts that pixel.
    expected = browser.execute_script(
        "const d = arguments[0], l = d._fullLayout; return l.xaxis.p2l(d.clientWidth / 4 - l._size.l)", plot)
    seeked = wait(browser).until(lambda b: (s := status(player))["time"] != 2.5 and s)
    assert seeked["time"] == pytest.approx(expected, abs=0.02)
    wait(browser).until(lambda b: b.execute_script(cursor) == pytest.approx(seeked["time"], abs=1e-6))


def test_the_inspector_shows_the_controller_robot_of_the_current_product(browser, player, recorded):
    times, products = product_times(recorded)
    for at in (300, 700):
        n = next(n for n in range(at, len(products)) if products[n].HasField("controller")
                 and products[n].controller.robot != products[at - 1].controller.robot)
        control(player, action="seek", time=float(times[n]))
        wait(browser).until(lambda b: status(player)["product"] == n)
        robot = f'"{products[n].controller.robot}"'
        # Read in one go: the tree is rebuilt as the state changes.
        wait(browser).until(lambda b: b.execute_script(
            "const e = document.querySelector('[data-path=\"controller.robot\"] .value'); return e && e.textContent")
            == robot)
        wait(browser).until(lambda b: b.find_element(By.ID, "product").text ==
                            f"product {n} of 0–{len(products) - 1}, controller")


# Where each part of the page is (page coordinates), and what its plots show.
LAYOUT = """
const box = (e) => { const r = e.getBoundingClientRect(); return [r.left + scrollX, r.top + scrollY, r.width, r.height]; };
return {
  width: document.documentElement.clientWidth, scrollWidth: document.documentElement.scrollWidth,
  parts: Object.fromEntries(["#view", "#legend", "#bar", "#keys", ".analysis", ".side"].map(
    (s) => [s, box(document.querySelector(s))])),
  buttons: [...document.querySelectorAll(".bar button")].map((b) => b.getBoundingClientRect().height),
  tops: ["#bar", "#events", "#plots", ".side"].map((s) => box(document.querySelector(s))[1]),
  charts: [...document.querySelectorAll(".chart")].map((c) => {
    const d = c.querySelector(".plot"), cursor = d.querySelector(".shapelayer path").getBoundingClientRect();
    return {caption: c.querySelector("figcaption").textContent, x: d._fullLayout.xaxis.title.text,
            y: d._fullLayout.yaxis.title.text, names: d.data.map((t) => t.name), at: d._fullLayout.shapes[0].x0,
            cursor: cursor.left + cursor.width / 2, colour: getComputedStyle(c).borderLeftColor,
            lines: d.data.map((t) => t.line.color)};
  }),
  picture: (({naturalWidth: w, naturalHeight: h, clientWidth: bw, clientHeight: bh}) =>
    w && Math.min(bw, bh * w / h))(document.getElementById("view")),
};
"""


def viewport(browser, width, height):
    """Resize the window so that the page gets ``width`` x ``height`` pixels."""
    browser.set_window_size(width, height)
    inner = browser.execute_script("return [innerWidth, innerHeight]")
    browser.set_window_size(2 * width - inner[0], 2 * height - inner[1])


def overlap(a, b):
    return min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0]) > 0.5 and min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1]) > 0.5


@pytest.mark.parametrize("width, height", [(1600, 1000), (1024, 768), (420, 800)])
def test_the_page_fits_the_window_with_named_plots_and_one_cursor(browser, player, width, height):
    pytest.importorskip("plotly")
    try:
        viewport(browser, width, height)
        opened(browser, player)
        control(player, action="seek", time=1.5)
        page = wait(browser).until(lambda b: (p := b.execute_script(LAYOUT))["picture"] and
                                   {c["at"] for c in p["charts"]} == {1.5} and p)
    finally:
        browser.set_window_size(1000, 800)
    # Each robot's joints and effector, one unit per axis, the time in seconds, one cursor line down them all.
    charts = page["charts"]
    assert [(c["caption"], c["y"], c["names"]) for c in charts] == [
        (f"{robot} · {what}", axis, names) for robot in ("arm_a", "arm_b") for what, axis, names in (
            ("joints", "angle (rad)", ["joint 0", "joint 1"]), ("effector x, y", "position (m)", ["x", "y"]),
            ("effector heading", "angle (rad)", ["heading"]))]
    assert {c["x"] for c in charts} == {"time (s)"} and charts[0]["colour"] != charts[3]["colour"]
    assert charts[0]["lines"] == charts[3]["lines"]   # joint n one colour, whichever the arm
    assert max(c["cursor"] for c in charts) - min(c["cursor"] for c in charts) < 1
    # Nothing covers anything; narrow, the state goes under the plots and the picture takes the width.
    parts = page["parts"]
    assert not [(a, b) for a in parts for b in parts if a < b and overlap(parts[a], parts[b])]
    assert page["scrollWidth"] <= page["width"] and max(page["buttons"]) < 40
    if width < 900:   # one column, as the README has it: the bar, the events, the plots, the state
        assert parts[".side"][1] >= parts[".analysis"][1] + parts[".analysis"][3]
        assert page["picture"] >= 0.75 * page["width"] and page["tops"] == sorted(page["tops"])
    else:
        assert page["picture"] >= 500
        assert parts[".side"][0] >= parts["#view"][0] + parts["#view"][2] and parts["#view"][3] > 300


@pytest.mark.parametrize("path, says", [
    ("cupboard.x", "not a field path"),
    ('controller{robot=="arm_a"}.feedback.joint.positions.values[5]', ""),   # no product has it
    ("controller.feedback.joint.positions.values[0]", "name one"),   # both arms report it
    ('planner{robot=="arm_a"}.duration_s', None),
])
def test_the_field_box_says_why_a_path_gives_no_plot(browser, player, path, says):
    pytest.importorskip("plotly")
    opened(browser, player)
    charts = len(browser.find_elements(By.CSS_SELECTOR, ".chart"))
    browser.find_element(By.ID, "field").send_keys(path)
    browser.find_element(By.ID, "add").click()
    if says is None:
        caption = wait(browser).until(lambda b: len(b.find_elements(By.CSS_SELECTOR, ".chart")) > charts and
                                      b.find_elements(By.CSS_SELECTOR, ".chart figcaption")[-1]
                                      .get_attribute("textContent"))
        assert caption == "picked fields · duration (s)" and browser.find_element(By.ID, "field-error").text == ""
    else:
        error = wait(browser).until(lambda b: b.find_element(By.ID, "field-error").text)
        assert says in error and len(browser.find_elements(By.CSS_SELECTOR, ".chart")) == charts


# Each node at a path ending so, its leaves' labels, values and units in order, and a quaternion's yaw.
NODES = """
return [...document.querySelectorAll(`#tree details[data-path$="${arguments[0]}"]`)].map((d) => ({
  yaw: (d.querySelector(":scope > summary .yaw") || {}).textContent,
  leaves: [...d.querySelectorAll(":scope > .leaf")].map((l) => [".label", ".value", ".unit"].map(
    (s) => l.querySelector(s).textContent))}));
"""


@pytest.mark.parametrize("ending, labels, units", [
    (".position", ["x", "y", "z"], ["m"] * 3),
    (".orientation", ["w", "x", "y", "z"], [""] * 4),
    (".effector_positions.values", ["x", "y", "heading"], ["m", "m", "rad"]),
    (".joint_positions.values", ["joint 0", "joint 1"], ["rad", "rad"]),
    ("planner", ["robot", "duration_s"], ["", "s"]),
])
def test_the_inspector_names_values_with_units_in_the_schemas_order(browser, player, ending, labels, units):
    control(player, action="seek", time=2.0)
    nodes = wait(browser).until(lambda b: b.find_elements(By.CSS_SELECTOR, '[data-path="planner.duration_s"]')
                                and b.execute_script(NODES, ending))
    for node in nodes:
        assert [(label, unit) for label, _, unit in node["leaves"]] == list(zip(labels, units))
        if ending == ".orientation":
            w, _, _, z = (float(value) for _, value, _ in node["leaves"])
            shown = float(node["yaw"].removeprefix("yaw ").removesuffix("°"))
            assert (shown - np.degrees(2 * np.arctan2(z, w)) + 180) % 360 - 180 == pytest.approx(0, abs=0.06)


@pytest.mark.parametrize("go, moved", [(".", 1), (",", -1)])
def test_after_a_seek_between_products_the_reply_and_a_step_name_the_product(browser, player, recorded, go, moved):
    times, _ = product_times(recorded)
    n = next(n for n in range(500, len(times)) if times[n - 1] < times[n] < times[n + 1] < times[n + 2])
    target = float(times[n] + 0.75 * (times[n + 1] - times[n]))   # between two products, nearer the later
    reply = control(player, action="seek", time=target)
    assert reply["time"] == target and reply["product"] == n + 1   # where playback is now, at once
    counter = lambda b: b.find_element(By.ID, "product").text.split(",")[0]
    wait(browser).until(lambda b: counter(b) == f"product {n + 1} of 0–{len(times) - 1}")
    key(browser, go)
    wait(browser).until(lambda b: counter(b) == f"product {n + 1 + moved} of 0–{len(times) - 1}")
    assert status(player)["time"] == times[n + 1 + moved]


def test_two_tabs_see_each_others_controls(browser, player):
    from selenium.webdriver.common.keys import Keys

    first = browser.current_window_handle
    browser.switch_to.new_window("window")
    browser.get(player)
    wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "paused")
    try:
        for where, state in ((browser.current_window_handle, "playing"), (first, "paused")):
            key(browser, Keys.SPACE)
            browser.switch_to.window(first if where != first else browser.window_handles[-1])
            wait(browser).until(lambda b: b.find_element(By.ID, "state").text == state)
    finally:
        control(player, action="pause")
        browser.switch_to.window(browser.window_handles[-1])
        browser.close()
        browser.switch_to.window(first)


def test_loop_goes_on_past_the_end_until_stop(serve):
    process, url = serve("--loop", "--speed", "8", "--start", "3")
    times = [status(url)["time"]]
    while len(times) < 40:
        times.append(status(url)["time"])
        time.sleep(0.05)
    assert any(b < a for a, b in zip(times, times[1:])) and process.poll() is None   # it went round
    control(url, action="stop")
    assert process.wait(timeout=10) == 0


def test_start_paused_opens_paused_there(browser, serve):
    process, url = serve("--start", "2.5", "--paused")
    browser.get(url)
    wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "paused")
    assert browser.find_element(By.ID, "time").text == "2.50"
    assert status(url)["paused"] and status(url)["time"] == 2.5
    # The picture shows although no next one comes while paused.
    wait(browser).until(lambda b: b.execute_script("return document.getElementById('view').naturalWidth") > 0)
    shown_at(url, 2.5)


@pytest.mark.parametrize("headers", [{"Origin": "http://evil.example"}, {"Host": "evil.example:80"},
                                     {"Origin": "null"}, {"Host": "127.0.0.1:1"}])
def test_foreign_origins_and_hosts_are_refused_and_change_nothing(player, headers):
    before = status(player)
    code, answer = request(player, "control", {"action": "play"}, headers)
    assert code == 403 and "error" in answer
    assert request(player, "status.json", headers=headers)[0] == 403
    assert status(player)["version"] == before["version"] and status(player)["paused"]


@pytest.mark.parametrize("body, content_type, code, named", [
    (b"{not json", "application/json", 400, "not JSON"),
    (b"[]", "application/json", 400, "JSON object"),
    (b'{"action": "fly"}', "application/json", 400, "unknown action 'fly'"),
    (b'{"action": "seek", "time": "soon"}', "application/json", 400, "time must be a finite number"),
    (b'{"action": "seek", "time": NaN}', "application/json", 400, "time must be a finite number"),
    (b'{"action": "rate", "value": 1000}', "application/json", 400, "outside 0.01 to 100"),
    (b'{"action": "step", "products": 1.5}', "application/json", 400, "whole number"),
    (b'{"action": "loop", "on": "yes"}', "application/json", 400, "true or false"),
    (b'{"action": "pause"}', "text/plain", 415, "application/json"),
    (b'{"action": "seek", "time": 1, "pad": "' + b"x" * 5000 + b'"}', "application/json", 413, "4096 bytes"),
])
def test_malformed_controls_are_refused_with_one_line_and_change_nothing(player, body, content_type, code, named):
    before = status(player)
    answer = request(player, "control", body, {"Content-Type": content_type})
    assert answer[0] == code and named in answer[1]["error"] and "\n" not in answer[1]["error"]
    assert status(player)["version"] == before["version"]


@pytest.mark.parametrize("path", ["", "status.json", "frame.jpg", "stream.mjpg"])
def test_head_is_answered_like_get_without_a_body_and_no_version_is_told(player, path):
    import http.client

    host, port = re.match(r"http://([\d.]+):(\d+)/", player).groups()
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    connection.request("HEAD", "/" + path)
    answer = connection.getresponse()
    assert answer.status == 200 and answer.read() == b""
    assert answer.headers["Server"] == "mirvane" and "Python" not in str(answer.headers)
    connection.close()


def test_a_named_token_is_needed_for_every_request_and_the_page_passes_it_on(browser):
    from mirvane.player.server import LiveView
    from mirvane.player.clock import Clock

    with LiveView("127.0.0.1", 0, "r", Clock([0.0, 1.0]), token="s3cret") as view:
        assert view.url.endswith("/?token=s3cret")
        browser.get(view.url)   # play has not begun: the page says what it waits for
        wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "preparing 2 products")
        if importlib.util.find_spec("plotly"):
            wait(browser).until(lambda b: b.execute_script("return typeof Plotly") == "object")
        base = view.url.split("?")[0]
        for path in ("", "status.json", "control"):
            assert request(base, path, {"action": "play"} if path == "control" else None)[0] == 403
        assert request(base, "status.json?token=s3cret")[0] == 200
        assert request(base, "control?token=s3cret", {"action": "play"})[1]["paused"] is False


# -- events: the faulty run's page, in a tab of its own ------------------------------------------

@pytest.fixture(scope="module")
def faulty_tab(faulty, browser, player):
    """A paused replay of the faulty run, open in a tab beside the player's: its URL and tab."""
    with serving(faulty[0], "--serve", "0", "--paused", name="faulty") as (_, (url,)):
        first = browser.current_window_handle
        browser.switch_to.new_window("tab")
        opened(browser, url)
        tab = browser.current_window_handle
        browser.switch_to.window(first)
        yield url, tab


@pytest.fixture
def events_page(browser, faulty_tab):
    """The faulty run's page in front for one test."""
    url, tab = faulty_tab
    first = browser.current_window_handle
    browser.switch_to.window(tab)
    try:
        yield url
    finally:
        browser.switch_to.window(first)


SEVERITIES = ["info", "warning", "error"]


def choose(browser, severity):
    from selenium.webdriver.support.ui import Select

    Select(browser.find_element(By.ID, "severity")).select_by_value(severity)
    browser.execute_script("document.activeElement.blur()")   # as after a change; the keys are the player's


# The event list's rows and the scrubber's marks, as shown.
EVENTS = """
return {
  rows: [...document.querySelectorAll("#event-list li")].map((r) => [+r.dataset.number, r.className.split(" ")[0],
    ...[".at", ".kind", ".about", ".text"].map((s) => r.querySelector(s).textContent)]),
  marks: [...document.querySelectorAll("#marks .mark")].map((m) => [+m.dataset.number, m.classList[1],
    parseFloat(m.style.left), parseFloat(m.style.width) || 0]),
  tally: document.getElementById("tally").textContent,
};
"""


@pytest.mark.parametrize("severity", SEVERITIES)
def test_the_list_and_the_marks_show_the_events_command_gives_of_the_severity_chosen(
        browser, events_page, faulty, severity):
    _, events = faulty
    assert request(events_page, "events.json")[1]["events"] == events
    choose(browser, severity)
    chosen = [e for e in events if SEVERITIES.index(e["severity"]) >= SEVERITIES.index(severity)]
    shown = wait(browser).until(lambda b: len((p := b.execute_script(EVENTS))["rows"]) == len(chosen) and p)
    # A drop names its box, and the arm it fell from beside.
    about = {e["number"]: e["subject"] + (f" ({e['robot']})" if e["kind"] == "drop" else "") for e in chosen}
    assert shown["rows"] == [[e["number"], e["severity"], f"{e['time']:.2f} s", e["kind"], about[e["number"]],
                              e["text"]] for e in chosen]
    # Where the scrubber's thumb is at the event's start: a range event spans to its end.
    end = status(events_page)["end"]
    assert shown["marks"] == [[e["number"], e["severity"], pytest.approx(100 * e["time"] / end, abs=1e-3),
                               pytest.approx(100 * (e["end"] - e["time"]) / end, abs=1e-3)] for e in chosen]
    assert shown["tally"] == f"{len(events)} events: 2 warnings, 2 errors"


def named(events, name):
    """The first event of a kind, or the one numbered after or before it: "drop", "drop+1"."""
    kind, by = re.fullmatch(r"([a-z-]+?)([+-]1)?", name).groups()
    first = next(e for e in events if e["kind"] == kind)
    return events[events.index(first) + int(by or 0)]


@pytest.mark.parametrize("how, severity, start, expected", [
    ("click", "warning", "drop", "unseen"),            # a row of the list
    ("n", "info", "drop", "drop+1"),                   # the keys, over every event
    ("p", "info", "stall", "stall-1"),
    ("next-event", "error", "step", "damaged-value"),  # the buttons, over the errors only
    ("prev-event", "warning", "unseen", "stall"),
])
def test_a_click_in_the_list_and_the_event_keys_seek_to_the_event_and_highlight_it(
        browser, events_page, faulty, how, severity, start, expected):
    _, events = faulty
    choose(browser, severity)
    target = named(events, expected)
    control(events_page, action="seek", time=named(events, start)["time"])
    if how == "click":
        browser.find_element(By.CSS_SELECTOR, f'#event-list li[data-number="{target["number"]}"]').click()
    elif how in ("n", "p"):
        key(browser, how)
    else:
        browser.find_element(By.ID, how).click()
    moved = wait(browser).until(lambda b: (s := status(events_page))["time"] == target["time"] and s)
    assert moved["event"] == target["number"] and moved["paused"]
    wait(browser).until(lambda b: b.find_element(By.CSS_SELECTOR, "#event-list li.current")
                        .get_attribute("data-number") == str(target["number"]))


def tinted(picture, colour):
    """How many pixels of ``picture`` (JPEG) are its floor's colour tinted towards ``colour`` (by a quarter or more)."""
    from PIL import Image

    pixels = np.asarray(Image.open(io.BytesIO(picture)).convert("RGB"), dtype=float).reshape(-1, 3)
    values, counts = np.unique(pixels, axis=0, return_counts=True)
    floor = values[counts.argmax()]
    towards = np.asarray(colour) - floor
    share = (pixels - floor) @ towards / (towards @ towards)
    off = np.linalg.norm(pixels - floor - np.outer(share, towards), axis=1)
    return int(((share > 0.25) & (off < 12)).sum())


@pytest.mark.parametrize("at, after, marked", [
    ("drop", -1.0, None),                # before the first fault
    ("damaged-value", 0.02, "error"),    # a point error, a moment after
    ("stall", 0.5, "error"),             # a stall of the arm whose damaged value is still shown: the worse
    ("unseen", 0.5, "warning"),          # while it lasts
    ("unseen", 1.6, None),               # and no longer
])
def test_the_picture_marks_the_subject_of_a_warning_or_error_while_it_lasts(events_page, faulty, at, after, marked):
    from mirvane.viewer import legend

    colours = {meaning.split()[-1]: colour for meaning, _, colour in legend() if meaning.startswith("subject of")}
    t = named(faulty[1], at)["time"] + after
    control(events_page, action="seek", time=t)
    picture = shown_at(events_page, t)
    assert {severity for severity, colour in colours.items() if tinted(picture, colour) > 100} == \
        ({marked} if marked else set())


# -- two runs side by side: clean.rec beside itself or beside its twin with a slip -------------------

@pytest.fixture(scope="module")
def side_by_side(twins, browser):
    """Opens, for a second recording B (and more arguments), the page of clean.rec (or of NAME.rec in
    ``where``) beside it, paused, in a tab of its own, once: gives its URL and tab."""
    pages = {}
    with contextlib.ExitStack() as stack:
        def page(b, *args, where=twins[0], name="clean"):
            if (b, args) not in pages:
                _, (url,) = stack.enter_context(serving(where, "--serve", "0", "--paused", *args, beside=[b],
                                                        name=name))
                first = browser.current_window_handle
                browser.switch_to.new_window("tab")
                opened(browser, url)
                pages[b, args] = url, browser.current_window_handle
                browser.switch_to.window(first)
            return pages[b, args]
        yield page


@pytest.fixture
def beside(browser, side_by_side):
    """Puts the page of a run beside B (``side_by_side``) in front for one test: gives its URL."""
    first = browser.current_window_handle

    def front(b, *args, **kwargs):
        url, tab = side_by_side(b, *args, **kwargs)
        browser.switch_to.window(tab)
        return url
    yield front
    browser.switch_to.window(first)


def both_shown(url):
    """Both runs' pictures once each shows its own time as the status gives it."""
    return [shown_at(url, run["time"], n) for n, run in enumerate(status(url)["runs"])]


@pytest.mark.parametrize("keys", [".", ",", "n", Keys.ARROW_RIGHT, Keys.END, Keys.HOME, " "])
def test_a_run_beside_itself_shows_two_equal_pictures_at_every_control(browser, beside, keys):
    url = beside("clean.rec")
    control(url, action="seek", time=2.5)
    version = status(url)["version"]
    key(browser, keys)
    wait(browser).until(lambda b: status(url)["version"] != version)
    if keys == " ":   # play a moment, then pause
        time.sleep(0.5)
        key(browser, keys)
    s = wait(browser).until(lambda b: (s := status(url))["paused"] and s)
    assert s["runs"][0]["time"] == s["runs"][1]["time"] == s["time"]
    a, b = both_shown(url)
    assert a == b


@pytest.mark.parametrize("after, differ", [(-1.0, False), (-0.01, False), (0.05, True), (2.0, True)])
def test_a_fault_shows_beside_its_clean_twin_from_when_it_strikes(browser, beside, twins, after, differ):
    url = beside("slip.rec")
    control(url, action="seek", time=twins[1] + after)
    a, b = both_shown(url)
    assert (a != b) == differ
    # The inspector marks the values that differ (the dropped box's pose, as long as it lies elsewhere), and
    # the nodes on the way to them.
    marked = "const t = document.getElementById('tree'); return [t.querySelectorAll('.leaf.differs').length > 0, " \
             "!!t.querySelector('details.differs[data-path=workspace]')]"
    wait(browser).until(lambda b: b.execute_script(marked) == [differ, differ])


def test_one_pause_stops_both_runs(browser, beside):
    url = beside("slip.rec")
    control(url, action="seek", time=1.0)
    key(browser, Keys.SPACE)
    wait(browser).until(lambda b: b.find_element(By.ID, "state").text == "playing")
    time.sleep(0.5)
    key(browser, Keys.SPACE)
    paused = wait(browser).until(lambda b: (s := status(url))["paused"] and s)
    pictures, times = both_shown(url), [run["time"] for run in paused["runs"]]
    time.sleep(0.6)
    assert [run["time"] for run in status(url)["runs"]] == times and both_shown(url) == pictures
    assert times[0] == times[1] > 1.2


# Each plot's traces: name, colour and dash.
TRACES = """
return [...document.querySelectorAll(".plot")].map((d) => d.data.map((t) => [t.name, t.line.color, t.line.dash]));
"""


@pytest.mark.parametrize("field", [None, 'planner{robot=="arm_a"}.duration_s'])
def test_the_plots_overlay_both_runs_one_colour_per_field_b_dashed(browser, beside, field):
    pytest.importorskip("plotly")
    url = beside("slip.rec")
    opened(browser, url)
    if field:
        browser.find_element(By.ID, "field").send_keys(field)
        browser.find_element(By.ID, "add").click()
    plots = wait(browser).until(lambda b: len(p := b.execute_script(TRACES)) == (7 if field else 6) and p)
    for traces in plots[-1:] if field else plots:
        assert traces and len(traces) % 2 == 0
        for (a, colour, dash), (b, *other) in zip(traces[::2], traces[1::2]):
            assert a.endswith(" · A") and b == a[:-1] + "B" and other == [colour, "dash"] and dash == "solid"
        assert len({colour for _, colour, _ in traces}) == len(traces) // 2


@pytest.mark.parametrize("placing, numbers", [(("--align-event", "grasp:box_4"), (7, 7)),
                                              (("--align-event", "grasp"), (4, 4)),
                                              (("--offset", "-1.5"), None)])
def test_b_is_placed_as_asked_and_align_event_puts_both_events_at_one_time(browser, beside, recorded, twins,
                                                                          placing, numbers):
    url = beside(twins[0] / "clean.rec", "--project-b", twins[0] / "clean.mvproj", *placing,
                 where=recorded, name="run")
    if numbers is None:   # B's first product 1.5 s before A's
        control(url, action="seek", time=2.0)
        expected = [0.5, 2.0]
    else:
        runs = request(url, "events.json")[1]["runs"]
        expected = [run["events"][number - 1]["time"] for run, number in zip(runs, numbers)]
        marks = [browser.find_element(By.CSS_SELECTOR, f'.mark-row[data-run="{letter}"] .mark[data-number="{n}"]')
                 for letter, n in zip("AB", numbers)]
        assert marks[0].get_attribute("style") == marks[1].get_attribute("style")
        marks[1].click()
    s = wait(browser).until(lambda b: (s := status(url))["seeks"] and s)
    assert [run["time"] for run in s["runs"]] == pytest.approx(expected, abs=1e-6)
    for n, run in enumerate(s["runs"]):
        shown_at(url, run["time"], n)


def leaves(nodes):
    for node in nodes:
        yield from leaves(node["children"]) if "children" in node else [node]


def test_two_runs_are_compared_source_by_source_not_by_their_last_products(recorded):
    # B 13 ms behind A: at most times their last reports come from different robots.
    with serving(recorded, "--serve", "0", "--paused", "--offset", "0.013", beside=["run.rec"]) as (_, (url,)):
        for seconds in np.linspace(0.5, 3.5, 13):
            control(url, action="seek", time=seconds)
            robots = [leaf for leaf in leaves(request(url, "state.json")[1]["nodes"]) if leaf["label"] == "robot"]
            assert robots and not any(leaf["differs"] for leaf in robots)
