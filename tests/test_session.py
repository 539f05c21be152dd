"""Live sessions in one process: each plays by its own clock and answers its own page."""

import json
import threading
import time
import urllib.request


from mirvane.data import Data
from mirvane.player.session import LiveOptions, LiveSession, Run
from mirvane.project import Project


def ask(session, path, control=None):
    """The answer of the session's page to a GET of ``path``, or to ``control`` posted there."""
    body = None if control is None else json.dumps(control).encode()
    request = urllib.request.Request(session.page.url + path, data=body,
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.load(answer)


def status_when(session, **expected):
    """The page's status once it says what ``expected`` does."""
    status, deadline = ask(session, "status.json"), time.monotonic() + 30
    while any(status[key] != value for key, value in expected.items()):
        assert time.monotonic() < deadline, status
        status = ask(session, f"status.json?after={status['version']}&wait=0.2")
    return status


def test_two_sessions_play_at_once_each_by_its_own_clock_and_controls(recorded):
    record = Data.fromFile(recorded / "run.rec").records()[-1]
    sessions = []
    for start in (0.5, 1.0):
        project = Project()
        project.load(str(recorded / "run.mvproj"))
        options = LiveOptions(start=start, paused=True, page=("127.0.0.1", 0), quiet=True)
        sessions.append(LiveSession([Run(project, record, name=f"from {start}")], options))
    first, second = sessions
    with first, second:
        players = [threading.Thread(target=session.play, daemon=True) for session in sessions]
        for player in players:
            player.start()
        # Each play shows the start of its own clock.
        assert status_when(first, preparing=False, shown=0.5)["record"] == "from 0.5"
        assert status_when(second, preparing=False, shown=1.0)["record"] == "from 1.0"
        assert ask(first, "control", {"action": "seek", "time": 1.5})["time"] == 1.5
        status_when(first, shown=1.5)
        assert ask(second, "status.json")["shown"] == 1.0
        ask(second, "control", {"action": "rate", "value": 4.0})
        ask(second, "control", {"action": "play"})
        status_when(second, finished=True)
        assert status_when(first, paused=True, shown=1.5, finished=False)
        ask(first, "control", {"action": "stop"})
        status_when(first, finished=True)
        for player in players:
            player.join(30)
            assert not player.is_alive()
