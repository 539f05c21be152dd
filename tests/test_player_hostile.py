"""The player's server under hostile requests, as a real ``mirvane replay --serve`` process meets them."""

import json
import os
import random
import re
import socket
import urllib.request
from urllib.parse import quote

import pytest

from helpers import mirvane, request, serving

VALUES = 'controller{robot=="arm_a"}.feedback.joint.positions.values[%s]'


@pytest.fixture(scope="module")
def player(recorded):
    """A paused replay that never ends by itself, and its URL."""
    with serving(recorded, "--serve", "0", "--paused", "--loop") as (process, (url,)):
        yield process, url


def printed(process):
    """What ``process`` has written to its standard error since this was last asked."""
    os.set_blocking(process.stderr.fileno(), False)
    try:
        return os.read(process.stderr.fileno(), 1 << 20).decode(errors="replace")
    except BlockingIOError:
        return ""


def rss_mb(process):
    with open(f"/proc/{process.pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read())[1]) / 1024


def test_a_flood_of_spellings_keeps_one_series_per_field(player):
    process, url = player
    code, first = request(url, "series.json?path=" + quote(VALUES % 0))
    assert code == 200 and first["path"] == VALUES % 0 and len(first["t"]) > 300
    for _ in range(300):   # the allocator's steady state for answering, before anything is measured
        request(url, "series.json?path=" + quote(VALUES % 0))
    before = rss_mb(process)
    for n in range(1, 1001):   # each stored apart, 1,000 series would take some 7 MB
        spelled = ("/" if n % 2 else "") + VALUES % ("0" * n) + " " * (n % 7)
        assert request(url, "series.json?path=" + quote(spelled)) == (200, first)
    if os.environ.get("PYTHONMALLOC") != "malloc":   # the sanitizers hold freed blocks back, so RSS only grows
        assert rss_mb(process) - before < 2


@pytest.mark.parametrize("site, path, code", [
    ("cross-site", "series.json?path=" + quote(VALUES % 0), 403), ("same-site", "status.json", 403),
    ("cross-site", "frame.jpg", 403), ("cross-site", "", 200), ("same-origin", "series.json", 200),
    ("none", "status.json", 200)])
def test_another_sites_page_may_open_the_player_but_not_read_it(player, site, path, code):
    assert request(player[1], path, headers={"Sec-Fetch-Site": site})[0] == code


DEEP = b"[" * 1500 + b"]" * 1500
FIELD = "series.json?path="


@pytest.mark.parametrize("path, body, named", [
    ("control", b'{"action": "seek", "time": 1' + b"0" * 400 + b"}", "seek: time must be a finite number, not 10000"),
    ("control", b'{"action": "jump", "seconds": -' + b"9" * 400 + b"}", "jump: seconds must be a finite number"),
    ("control", b'{"action": ["seek"]}', "unknown action ['seek']"),
    ("control", b'{"action": {"a": 1}}', "unknown action {'a': 1}"),
    # Python 3.9's JSON parser gives up at such depths (the body nests too deeply), 3.13's does not.
    ("control", DEEP, ""),
    ("control", b'{"action": "step", "products": ' + DEEP + b"}", ""),
    ("control", b'{"action": "loop", "on": ' + b"[" * 500 + b"]" * 500 + b"}", "on must be true or false, not [[[["),
    ("control", b'{"action": "event", "severity": ' + b"[" * 500 + b"]" * 500 + b"}", "severity must be one of"),
    (FIELD + "planner.duration_s.imag", None, "planner.duration_s is a number; .imag names nothing"),
    (FIELD + 'controller{robot=="arm_a"}.robot.__class__.__basicsize__', None, "robot is text; .__class__ names"),
    (FIELD + 'perception.item_poses["box_1"].__dict__', None, '["box_1"] is a message (fields: position, orientation)'),
    (FIELD + 'controller{robot=="arm_a"}.feedback', None, "is a message (fields: joint, effector), not a number"),
    (FIELD + 'perception{robot=="arm_a"}.item_poses', None, "name no robot; drop the {robot==...} filter"),
    (FIELD + VALUES % 5, None, f"no product of this record has a value at {VALUES % 5}"),
    (FIELD + VALUES % ("9" * 400), None, "past the end of every list"),
    (FIELD + "controller.feedback.joint.positions.values[0]", None, f"robots 'arm_a', 'arm_b': name one, as in {VALUES % 0}"),
], ids=["huge time", "huge jump", "list action", "object action", "deep body", "deep products", "deep on", "deep severity",
         "imag",
        "__class__", "__dict__", "message", "robot filter", "empty", "huge position", "two robots"])
def test_hostile_requests_are_refused_in_one_line_changing_and_printing_nothing(player, path, body, named):
    process, url = player
    version = request(url, "status.json")[1]["version"]
    code, answer = request(url, quote(path, safe="/?="), body)
    assert code == 400 and named in answer["error"] and "\n" not in answer["error"]
    assert request(url, "status.json")[1]["version"] == version
    assert "Traceback" not in printed(process)


def test_on_port_80_a_host_named_without_the_port_is_the_same_host(recorded):
    host = f"127.0.{random.randrange(1, 255)}.{random.randrange(2, 255)}"   # port 80 of its own
    try:
        socket.create_server((host, 80)).close()
    except OSError as e:
        pytest.skip(f"cannot bind port 80 here: {e}")
    with serving(recorded, "--serve", f"{host}:80", "--paused") as (_, (url,)):
        for named, code in ((host, 200), (f"{host}:80", 200), (f"{host}:81", 403), ("localhost", 200)):
            headers = {"Host": named, "Origin": f"http://{named}"}
            assert request(url, "control", {"action": "pause"}, headers)[0] == code, named


@pytest.mark.parametrize("host", ["0.0.0.0", "[::]"])
def test_a_wildcard_bind_prints_urls_that_open_and_the_token_is_needed(recorded, host):
    if host == "[::]" and not socket.has_ipv6:
        pytest.skip("no IPv6 here")
    with serving(recorded, "--serve", f"{host}:0", "--paused") as (process, urls):
        token = re.search(r"\?token=([\w-]+)$", urls[0])[1]
        assert socket.gethostname() in urls[-1] and not any(f"//{host}:" in url for url in urls)
        for url in urls:
            base = url.split("?")[0]
            assert request(base, f"status.json?token={token}")[0] == 200, url
            for wrong in ("", token[:-1], token + "x", "é" * len(token)):
                assert request(base, f"status.json?token={quote(wrong)}")[0] == 403
        assert "Traceback" not in printed(process)


def strict(text):
    """``text`` parsed as JSON, refusing the bare NaN and Infinity that Python's parser lets through."""
    def refuse(word):
        raise ValueError(f"{word} is not JSON")
    return json.loads(text, parse_constant=refuse)


@pytest.mark.parametrize("answer", ["series.json", "events.json", "status.json", "state.json", "events --format json"])
def test_every_json_answer_is_json_a_damaged_value_a_gap(faulty, answer):
    where, events = faulty
    if answer.endswith("--format json"):
        done = mirvane("events", "faulty.rec", *answer.split()[1:], cwd=where)
        assert done.returncode == 0 and [strict(line) for line in done.stdout.splitlines()] == events
    else:
        with serving(where, "--serve", "0", "--paused", name="faulty") as (_, (url,)):
            paths = [series["path"] for plot in request(url, "series.json")[1]["plots"] for series in plot["series"]]
            bodies = [raw(url, f"series.json?path={quote(path)}") for path in paths] \
                if answer == "series.json" else [raw(url, answer)]
        answers = [strict(body) for body in bodies]
        if answer == "series.json":   # the damaged joint value: a gap in its series
            assert any(None in values["v"] for values in answers)


def raw(url, path):
    """The text of one answer, as a browser reads it before parsing."""
    with urllib.request.urlopen(url + path, timeout=10) as answer:
        return answer.read().decode()
