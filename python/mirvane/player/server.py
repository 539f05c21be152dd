"""A live replay in the browser: a player page, a picture stream, status and control, over HTTP.

``LiveView`` serves, from threads of its own, what the replay thread hands it and what its
playback clock says:

* ``/`` the player page (``page.html`` of this package: no asset from elsewhere);
* ``/stream.mjpg`` the pictures as they come, as a multipart JPEG stream, and ``/frame.jpg``
  the latest alone, each with its playback time in ``X-Playback-Time`` (with ``?run=1``, the
  second run's, when the clock is read by two plays: two runs compared side by side);
* ``/status.json`` record name, playback time, span and the clock's status (paused, loop,
  rate, product, products, preparing, finished), and in ``runs`` each run's name and own time,
  product and its kind; with ``?after=VERSION&wait=SECONDS``, once the clock has changed past
  that version or the seconds have passed;
* ``/events.json`` the record's events (as ``mirvane events --format json`` gives them; the
  status's ``event`` is the number of the last one passed), and in ``runs`` each run's, with
  where its time 0 falls on the clock (``shift``);
* ``/series.json`` field paths and their values over the record (``?run=``: of that run, on the
  clock's axis; a value JSON has no number for, a damaged one, as null: a gap in the plot;
  ``&width=``: at most a column's least and greatest value for a plot that many pixels wide), ``/state.json`` the shown state as a tree (of two runs, one tree with both values),
  ``/plotly.min.js`` the plotting library from the installed ``plotly``;
* ``POST /control`` a JSON control (``mirvane.player.clock.apply``), answered with the new status.

Anything else is 404: no file is ever served from disk. Only a page of this server may steer it:
controls need ``Content-Type: application/json`` (no cross-site form can send it and no preflight
is answered), a foreign ``Origin``, or a ``Host`` that is neither the served address nor a
loopback name, is refused with 403, as is anything but the page itself that a browser says
another site's page asked for (``Sec-Fetch-Site``), and on a host that is not loopback every
request must carry the server's random ``token``.
``Server`` and ``Handler`` hold these rules once, for any page of ours (the catalog's too): a
``Handler`` subclass answers its routes in methods wrapped in ``admitted``.
The replay thread only keeps a copy of at most ``MAX_PICTURES_PER_SECOND`` pictures a second
(and of the first after every control); the JPEG encoding happens on the serving threads, once
per picture however many browsers watch.
"""

import dataclasses
import functools
import hmac
import html
import importlib.util
import io
import json
import secrets
import socket
import socketserver
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from pathlib import Path
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple
from urllib.parse import parse_qs, urlsplit

from PIL import Image

from .. import viewer
from ..scene import kind_of
from . import inspector, series
from ..analysis.events import Event
from ..records import EventTable, json_text
from .addresses import LOOPBACK_NAMES, bracketed, is_loopback, reachable
from .clock import Clock, apply
from .fields import axis_title, describe

MAX_PICTURES_PER_SECOND = 30.0
MAX_CONTROL_BYTES = 4096
MAX_WAIT_S = 10.0
#: Where the live replay's servers listen unless told otherwise: this machine only.
DEFAULT_HOST = "127.0.0.1"
#: The Foxglove app's default WebSocket port; the page's too (with both, the page takes the next).
DEFAULT_PORT = 8765
# What a browser says of a request another site's page made (an <img>, a script, a fetch): only
# the page itself may be opened from there, as a link is followed.
_OTHER_SITES = ("cross-site", "same-site")
_BOUNDARY = "mirvane-frame"
# How often waiting threads look whether the view has closed.
_POLL_S = 0.25
# The widest plot a series is decimated for: a screen's pixels across, and then some.
_MOST_COLUMNS = 8192


class PageRun(NamedTuple):
    """A run the page shows: its name, record and events (in its own time)."""
    name: str
    record: Any
    events: Sequence[Event]


class _Shown:
    """What the page has of one run: its latest picture, with the time and state it shows."""

    @functools.cached_property
    def latest(self) -> Optional[inspector.Latest]:
        """Found when the inspector first asks (a pass over the record), not before the first picture."""
        return inspector.Latest(self.run.record) if self.run.record is not None else None

    def __init__(self, run: PageRun, shift: float) -> None:
        self.run, self.shift = run, shift
        self.products = run.record.products if run.record is not None else []
        self.series = series.Kept(run.record) if run.record is not None else None
        self.picture: Optional[Image.Image] = None
        self.picture_time = 0.0
        self.state: Any = None
        self.sequence = 0           # pictures published so far
        self.last_publish = -float("inf")
        self.published_version = -1
        self.encoded: Tuple[int, bytes, float] = (0, b"", 0.0)
        self.encode_lock = threading.Lock()


class LiveView:
    """The pictures, status and controls of one replay, served at ``url`` until ``close``.

    ``publish`` and ``finish`` are called from the replay's thread; the server answers on
    threads of its own and steers ``clock``. Binding happens in the constructor, so a port in use
    fails there with ``OSError``. With a ``token`` every request must carry it (``?token=``); a
    host that is not loopback gets a random one unless given one.

    A clock read by several plays (``Clock.over``) shows ``runs``, one per reader, in its order;
    by default the page shows the one record.
    """

    def __init__(self, host: str, port: int, record_name: str, clock: Clock, record: Any = None,
                 span_s: Optional[float] = None, token: Optional[str] = None, runs: Sequence[PageRun] = ()) -> None:
        self._record_name = record_name
        self._span_s = clock.status().end if span_s is None else span_s
        self._clock = clock
        self._runs = [_Shown(run, reader.shift)
                      for run, reader in zip(runs or [PageRun(record_name, record, clock.events)], clock.readers)]
        self._changed = threading.Condition()
        self._closed = False
        self._fields: Optional[List[str]] = None
        self._fields_of = 0                 # how many products the field list was found in
        self._recorder = ""                     # a growing run's recorder: "writing", "closed" or none
        self._gaps: List[List[float]] = []      # seconds between its files
        self._searched: Optional[float] = None  # seconds of the run searched for events, while some are not
        self._series_lock = threading.Lock()
        self._server = Server((host, port), _Handler, self, token)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(_POLL_S,),
                                        name="mirvane-live", daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return self._server.urls()[0]

    @property
    def urls(self) -> List[str]:
        return self._server.urls()

    @property
    def port(self) -> int:
        return self._server.server_port

    @property
    def token(self) -> Optional[str]:
        return self._server.token

    @property
    def visited(self) -> bool:
        """Whether anyone has asked for anything."""
        return self._server.visited

    @property
    def runs(self) -> int:
        """How many runs the page shows."""
        return len(self._runs)

    def publish(self, picture: Optional[Image.Image], time_s: float, state: Any = None, run: int = 0) -> None:
        """Take the replay's current picture of ``run``, its playback time and the state it shows; cheap
        when too soon for a new picture, except after a control or while paused."""
        status = self._clock.status()
        now = time.monotonic()
        shown = self._runs[run]
        # Paused, play draws only after a control: each such picture is news.
        due = status.paused or status.version != shown.published_version
        if picture is None or (now - shown.last_publish < 1.0 / MAX_PICTURES_PER_SECOND and not due):
            return
        version = status.version
        shown.last_publish, shown.published_version = now, version
        copy = picture.copy()   # the viewer may draw over its picture in the next cycle
        with self._changed:
            shown.picture, shown.picture_time, shown.state = copy, time_s, state
            shown.sequence += 1
            self._changed.notify_all()

    def finish(self, picture: Optional[Image.Image], run: int = 0) -> None:
        """Playback is over: show ``picture`` as ``run``'s last one; watchers learn it from the clock."""
        with self._changed:
            if picture is not None:
                shown = self._runs[run]
                shown.picture = picture.copy()
                shown.picture_time = self._clock.status().runs[run].shown
                shown.sequence += 1
            self._changed.notify_all()

    def close(self) -> None:
        """Stop serving: the listening socket closes and open streams end."""
        with self._changed:
            self._closed = True
            self._changed.notify_all()
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self) -> "LiveView":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- for the request handlers ----------------------------------------------

    def status(self, after: Optional[int] = None, wait_s: float = 0.0) -> Dict[str, Any]:
        """The status, once the clock's version is past ``after`` or ``wait_s`` (at most
        ``MAX_WAIT_S``) have passed: a page learns of a control at once, without polling fast."""
        if after is not None and wait_s > 0:
            status = self._clock.wait(after, min(wait_s, MAX_WAIT_S))
        else:
            status = self._clock.status()
        fields = dataclasses.asdict(status)
        runs = [{"name": shown.run.name, **fields["runs"][n], "products": len(shown.products),
                 "kind": kind_of(shown.products[run.product]) or "" if shown.products and not status.preparing else ""}
                for n, (shown, run) in enumerate(zip(self._runs, status.runs))]
        kind = runs[0]["kind"] if len(runs) == 1 else ""
        return {"record": self._record_name, **fields, "span": self._span_s, "speed": status.rate, "kind": kind,
                "runs": runs, "recorder": self._recorder, "gaps": self._gaps, "searched": self._searched}

    def grown(self, span_s: float, recorder: str, gaps: Sequence[Tuple[float, float]]) -> None:
        """The one run grew to ``span_s`` seconds; its recorder is "writing", has "closed" its file,
        or is none (""); ``gaps`` (seconds) lie between its files."""
        self._span_s, self._recorder, self._gaps = span_s, recorder, [list(gap) for gap in gaps]

    def control(self, request: object) -> Dict[str, Any]:
        """Carry out one control (``ValueError`` when it cannot be) and give the new status."""
        apply(self._clock, request)
        return self.status()

    def found(self, events: Sequence[Event], run: int = 0) -> None:
        """The events of ``run`` found so far while it plays: ``/events.json`` lists them from now on."""
        shown = self._runs[run]
        shown.run = shown.run._replace(events=EventTable.of(events))

    def searching(self, seconds: Optional[float]) -> None:
        """The run has been searched for events up to ``seconds`` (None: all of it)."""
        self._searched = seconds

    def events_json(self) -> bytes:
        """``/events.json``: every run's events (the first run's also as ``events``), written an
        event at a time, as an hours-long run has tens of thousands."""
        listed = [",".join(json_text(dataclasses.asdict(event)) for event in shown.run.events) for shown in self._runs]
        runs = ",".join(f'{{"name": {json_text(shown.run.name)}, "shift": {json_text(shown.shift)}, "events": [{events}]}}'
                        for shown, events in zip(self._runs, listed))
        return f'{{"events": [{listed[0]}], "runs": [{runs}]}}'.encode()

    def state(self) -> Dict[str, Any]:
        """The shown state as a tree; of two runs, one tree of both, each source's latest report beside the
        other run's (``inspector.Latest``)."""
        with self._changed:
            states = [shown.state for shown in self._runs]
        if len(states) == 1:
            return {"nodes": inspector.tree(states[0])}
        products = [run.product for run in self._clock.status().runs]
        a, b = [inspector.tree(state) if shown.latest is None else shown.latest.tree(state, product)
                for shown, state, product in zip(self._runs, states, products)]
        return {"nodes": inspector.merged(a, b)}

    def series(self, path: Optional[str], run: int = 0, width: int = 0) -> Dict[str, Any]:
        """Without a path: the runs' field paths, the default ones and their plots; with one: its
        values in ``run`` (times on the clock's axis) and their unit, for a plot ``width`` pixels wide
        when given (``series.decimated``)."""
        records = [shown.run.record for shown in self._runs if shown.run.record is not None]
        shown = self._runs[run]
        if shown.series is None:
            return {"fields": [], "defaults": [], "plots": []} if path is None else {"path": path, "t": [], "v": []}
        with self._series_lock:
            count = sum(len(record.products) for record in records)
            if self._fields is None or series.FIELDS_FROM > self._fields_of and count >= 2 * self._fields_of:
                self._fields_of = count
                self._fields = sorted({field for record in records for field in series.fields(record)})
            if path is None:
                return {"fields": self._fields, "defaults": series.default_paths(found=self._fields),
                        "plots": series.default_plots(found=self._fields)}
            spelled, xs, ys = shown.series(path)
        xs, ys = series.decimated(xs, ys, width)
        unit = describe(series.parse(spelled).steps).unit
        return {"path": spelled, "t": (xs + shown.shift).tolist(), "v": ys.tolist(), "unit": unit,
                "axis": axis_title(unit)}

    def jpeg(self, run: int = 0) -> Tuple[int, bytes, float]:
        """The latest picture of ``run`` as JPEG, its sequence number and playback time, encoded once
        per picture."""
        shown = self._runs[run]
        with self._changed:
            sequence, picture, picture_time = shown.sequence, shown.picture, shown.picture_time
        with shown.encode_lock:
            if shown.encoded[0] != sequence and picture is not None:
                buffer = io.BytesIO()
                picture.convert("RGB").save(buffer, format="JPEG", quality=85)
                shown.encoded = (sequence, buffer.getvalue(), picture_time)
            return shown.encoded

    def still(self) -> bool:
        """Whether no newer picture is coming soon: the replay is paused, or not yet playing."""
        status = self._clock.status()
        return status.paused or status.preparing

    def wait_for_picture(self, after: int, run: int = 0) -> bool:
        """Wait for a picture of ``run`` newer than ``after``; False once there will be none."""
        with self._changed:
            while self._runs[run].sequence <= after:
                if self._closed or self._clock.status().finished:
                    return False
                self._changed.wait(_POLL_S)
            return not self._closed


_PLOTLY: Optional[bytes] = None


def plotly_js() -> Optional[bytes]:
    """plotly.js as the installed ``plotly`` package ships it, or None without that package."""
    global _PLOTLY
    if _PLOTLY is None:
        spec = importlib.util.find_spec("plotly")   # found, not imported: plotly's Python side is not needed
        if spec is None or spec.origin is None:
            return None
        try:
            _PLOTLY = (Path(spec.origin).parent / "package_data" / "plotly.min.js").read_bytes()
        except OSError:
            return None
    return _PLOTLY


class Server(ThreadingHTTPServer):
    """An HTTP server of ``view`` on threads of its own, and who may reach it: every request is
    first checked by the ``Handler`` (see the module's description). A host that is not loopback
    gets a random ``token`` unless given one. Binding happens here: an address in use is an ``OSError``."""
    daemon_threads = True   # a stream still open must not keep the command alive

    def __init__(self, address: Tuple[str, int], handler: Any, view: Any, token: Optional[str] = None) -> None:
        self.view = view
        host, port = address
        self.token = token if token is not None or is_loopback(host) else secrets.token_urlsafe(16)
        self.visited = False    # whether anyone has asked for anything
        # The family of the address asked for, so that "[::1]:8765" works too.
        self.address_family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
        super().__init__(address, handler)

    def server_bind(self) -> None:
        # As HTTPServer's, without its reverse name lookup, which can stall offline.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = str(self.server_address[0]), int(self.server_address[1])

    def urls(self) -> List[str]:
        """Where a browser opens the page: at the bound address, or, bound to every address of this
        machine (0.0.0.0, ::), at its addresses on its default routes and at its name."""
        port = self.server_port
        query = f"?token={self.token}" if self.token else ""
        host = str(self.server_address[0])
        dual_stack = self.address_family == socket.AF_INET6 and not self.socket.getsockopt(
            socket.IPPROTO_IPV6, socket.IPV6_V6ONLY)
        return [f"http://{bracketed(name)}:{port}/{query}" for name in reachable(host, dual_stack)]

    def allowed_hosts(self) -> List[str]:
        """The ``Host`` values a request may name: the served address or a loopback name, with the port
        (on port 80, the scheme's default, also without it, as clients leave it out)."""
        port = self.server_port
        names = [bracketed(name) for name in {self.server_name, *LOOPBACK_NAMES}]
        return [f"{name}:{port}" for name in names] + (names if port == 80 else [])


_Answer = Callable[[Any, Any, str, Dict[str, List[str]]], None]


def admitted(answer: _Answer) -> Callable[[Any], None]:
    """A request method of a ``Handler`` that first refuses what another site or a name not ours
    may have sent, then answers from the server's view and the request's path and query."""
    @functools.wraps(answer)
    def method(self: "Handler") -> None:
        self.server.visited = True
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        try:
            if not self._refused(url.path, query):
                answer(self, self.server.view, url.path, query)
        except OSError:
            pass    # the browser went away or stopped reading mid-answer: nothing to clean up
    return method


class Handler(BaseHTTPRequestHandler):
    """What every page of ours answers alike: who is refused, JSON bodies, JSON and plain answers,
    HEAD as GET. A subclass answers its routes in ``do_GET`` and ``do_POST`` wrapped in ``admitted``."""
    server: Server
    server_version = "mirvane"
    timeout = 30.0   # seconds a browser may leave a write unread before its answer is dropped

    def version_string(self) -> str:
        return self.server_version   # no interpreter version for anyone to read

    def do_HEAD(self) -> None:
        self.do_GET()

    def do_GET(self) -> None:
        self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")

    def _refused(self, path: str, query: Dict[str, List[str]]) -> bool:
        """Answer 403 to a request that another site, or a name that is not ours, may have sent."""
        server = self.server
        if server.token is not None:
            given = query.get("token", [""])[0]
            ok = hmac.compare_digest(given.encode(), server.token.encode())
            reason = "this server needs the token of the URL it printed"
            origins = {f"http://{self.headers.get('Host', '')}"}
        else:
            ok = self.headers.get("Host", "") in server.allowed_hosts()
            reason = "the Host header names neither this server nor a loopback name"
            origins = {f"http://{host}" for host in server.allowed_hosts()}
        origin = self.headers.get("Origin")
        if ok and origin is not None and origin not in origins:
            ok, reason = False, f"requests from {origin} may not reach this server"
        if ok and path != "/" and self.headers.get("Sec-Fetch-Site") in _OTHER_SITES:
            ok, reason = False, "another site's page may open this page but not read or steer it"
        if not ok:
            self.close_connection = True
            self._json(HTTPStatus.FORBIDDEN, {"error": reason})
        return not ok

    def json_body(self) -> Tuple[bool, Any]:
        """(True, the request's JSON body), or (False, None) once refused (415, 411, 413 or 400
        answered): it must be ``Content-Type: application/json``, which no cross-site form can
        send, and at most ``MAX_CONTROL_BYTES``."""
        if self.headers.get_content_type() != "application/json":
            self._json(HTTPStatus.UNSUPPORTED_MEDIA_TYPE,
                       {"error": "send the control as Content-Type: application/json"})
            return False, None
        length = self.headers.get("Content-Length", "")
        if not (length.isascii() and length.isdigit()):
            self._json(HTTPStatus.LENGTH_REQUIRED, {"error": "give the body's Content-Length"})
            return False, None
        if len(length) > len(str(MAX_CONTROL_BYTES)) or int(length) > MAX_CONTROL_BYTES:
            self.close_connection = True   # the body is not read
            self._json(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                       {"error": f"a control is at most {MAX_CONTROL_BYTES} bytes"})
            return False, None
        body = self.rfile.read(int(length))
        try:
            return True, json.loads(body)
        except RecursionError:
            self._json(HTTPStatus.BAD_REQUEST, {"error": "the body nests too deeply for a control"})
        except (ValueError, UnicodeDecodeError) as e:
            self._json(HTTPStatus.BAD_REQUEST, {"error": f"the body is not JSON ({e})"})
        return False, None

    def _json(self, status: HTTPStatus, value: Dict[str, Any]) -> None:
        self._send(status, "application/json", json_text(value).encode())

    def _send(self, status: HTTPStatus, content_type: str, body: bytes, cache: str = "no-store",
              extra: Optional[Dict[str, str]] = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", cache)
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass    # requests are not news; the terminal shows the replay's progress


class _Handler(Handler):
    """The player's routes."""

    @admitted
    def do_GET(self, view: "LiveView", path: str, query: Dict[str, List[str]]) -> None:
        run = _run(query, view)
        if run is None:
            self._json(HTTPStatus.NOT_FOUND, {"error": f"no such run: the page shows runs 0 to {view.runs - 1}"})
        elif path == "/":
            self._send(HTTPStatus.OK, "text/html; charset=utf-8", _page())
        elif path == "/status.json":
            self._json(HTTPStatus.OK, view.status(*_waiting(query)))
        elif path == "/events.json":
            self._send(HTTPStatus.OK, "application/json", view.events_json())
        elif path == "/state.json":
            self._json(HTTPStatus.OK, view.state())
        elif path == "/series.json":
            try:
                self._json(HTTPStatus.OK, view.series(query.get("path", [None])[0], run, _width(query)))
            except ValueError as e:
                self._json(HTTPStatus.BAD_REQUEST, {"error": str(e)})
        elif path == "/plotly.min.js" and plotly_js() is not None:
            self._send(HTTPStatus.OK, "text/javascript; charset=utf-8", plotly_js() or b"",
                       cache="max-age=86400")
        elif path == "/frame.jpg":
            sequence, jpeg, at = view.jpeg(run)
            if sequence:
                self._send(HTTPStatus.OK, "image/jpeg", jpeg, extra={"X-Playback-Time": f"{at:.6f}"})
            else:
                self._send(HTTPStatus.SERVICE_UNAVAILABLE, "text/plain", b"no picture yet\n")
        elif path == "/stream.mjpg":
            self._stream(view, run)
        else:
            self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")

    @admitted
    def do_POST(self, view: "LiveView", path: str, query: Dict[str, List[str]]) -> None:
        if path != "/control":
            self._json(HTTPStatus.NOT_FOUND, {"error": "not found: controls go to POST /control"})
            return
        ok, request = self.json_body()
        if not ok:
            return
        try:
            self._json(HTTPStatus.OK, view.control(request))
        except ValueError as e:
            self._json(HTTPStatus.BAD_REQUEST, {"error": str(e)})

    def _stream(self, view: LiveView, run: int) -> None:
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={_BOUNDARY}")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command == "HEAD":
            return
        self.wfile.write(f"--{_BOUNDARY}\r\n".encode())
        sent = 0
        while True:
            sequence, jpeg, at = view.jpeg(run)
            if sequence != sent:
                part = (f"Content-Type: image/jpeg\r\nX-Playback-Time: {at:.6f}\r\n"
                        f"Content-Length: {len(jpeg)}\r\n\r\n".encode() + jpeg + f"\r\n--{_BOUNDARY}\r\n".encode())
                # A browser shows a part once the next one has begun: while paused no next
                # picture may come for long, so the picture goes twice.
                self.wfile.write(part * (2 if view.still() else 1))
                self.wfile.flush()
                sent = sequence
            if not view.wait_for_picture(sent, run):
                sequence, _, _ = view.jpeg(run)
                if sequence == sent:   # the last picture is out: the stream ends here
                    return


def _run(query: Dict[str, List[str]], view: LiveView) -> Optional[int]:
    """The run a request asks for (``?run=N``, counting from 0; the first by default); None for one
    the page does not show."""
    asked = query.get("run", ["0"])[0]
    return int(asked) if asked.isascii() and asked.isdigit() and len(asked) < 3 and int(asked) < view.runs else None


def _width(query: Dict[str, List[str]]) -> int:
    """``?width=PIXELS`` of a series request, the plot's (up to ``_MOST_COLUMNS``); 0 for every point."""
    asked = query.get("width", ["0"])[0]
    return min(int(asked), _MOST_COLUMNS) if asked.isascii() and asked.isdigit() and len(asked) < 7 else 0


def _waiting(query: Dict[str, List[str]]) -> Tuple[Optional[int], float]:
    """``?after=VERSION&wait=SECONDS`` of a status request; anything else asks for no wait."""
    try:
        after, wait_s = int(query["after"][0]), float(query["wait"][0])
    except (KeyError, ValueError):
        return None, 0.0
    return after, wait_s if 0 < wait_s < float("inf") else 0.0


@functools.lru_cache(maxsize=None)
def _page() -> bytes:
    """The page, with the legend of the viewer's colours."""
    page = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")
    legend = "".join(f'<li><span class="swatch {shape}" style="--colour: rgb{colour}"></span>'
                     f'{html.escape(meaning)}</li>' for meaning, shape, colour in viewer.legend())
    return page.replace("<!-- legend -->", legend).encode()
