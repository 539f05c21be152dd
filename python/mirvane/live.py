"""A live view of a replay in the browser: one page, a picture stream and a status, over HTTP.

``LiveView`` serves, from threads of its own, what the replay thread hands it:

* ``/`` the page (self-contained: no asset from elsewhere);
* ``/stream.mjpg`` the pictures as they come, as a multipart JPEG stream;
* ``/frame.jpg`` the latest picture alone;
* ``/status.json`` record name, playback time and span in seconds, speed, finished.

Anything else is 404: no file is ever served from disk. The replay thread only
keeps a copy of at most ``MAX_PICTURES_PER_SECOND`` pictures a second; the JPEG
encoding happens on the serving threads, once per picture however many
browsers watch.
"""

import io
import json
import socket
import socketserver
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Optional, Tuple

from PIL import Image

MAX_PICTURES_PER_SECOND = 30.0
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
_BOUNDARY = "mirvane-frame"
# How often waiting threads look whether the view has closed.
_POLL_S = 0.25


class LiveView:
    """The pictures and status of one replay, served at ``url`` until ``close``.

    ``publish`` and ``finish`` are called from the replay's thread; the server
    answers on threads of its own. Binding happens in the constructor, so a port
    in use fails there with ``OSError``.
    """

    def __init__(self, host: str, port: int, record: str, span_s: float, speed: float) -> None:
        self._record = record
        self._span_s = span_s
        self._speed = speed
        self._changed = threading.Condition()
        self._picture: Optional[Image.Image] = None
        self._sequence = 0           # pictures published so far
        self._time_s = 0.0
        self._finished = False
        self._closed = False
        self._last_publish = -float("inf")
        self._encoded: Tuple[int, bytes] = (0, b"")
        self._encode_lock = threading.Lock()
        self.visited = False         # whether anyone has asked for anything
        self._server = _Server((host, port), _Handler, self)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(_POLL_S,),
                                        name="mirvane-live", daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        host, port = self._server.server_name, self._server.server_port
        return f"http://{f'[{host}]' if ':' in host else host}:{port}/"

    def publish(self, picture: Image.Image, time_s: float) -> None:
        """Take the replay's current picture and playback time; cheap when too soon for a new picture."""
        self._time_s = time_s
        now = time.monotonic()
        if now - self._last_publish < 1.0 / MAX_PICTURES_PER_SECOND:
            return
        self._last_publish = now
        copy = picture.copy()   # the viewer may draw over its picture in the next cycle
        with self._changed:
            self._picture = copy
            self._sequence += 1
            self._changed.notify_all()

    def finish(self, picture: Optional[Image.Image]) -> None:
        """Playback is over: show ``picture`` as the last one and say so."""
        with self._changed:
            if picture is not None:
                self._picture = picture.copy()
                self._sequence += 1
            self._time_s = self._span_s
            self._finished = True
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

    def status(self) -> Dict[str, Any]:
        return {"record": self._record, "time": min(self._time_s, self._span_s), "span": self._span_s,
                "speed": self._speed, "finished": self._finished}

    def jpeg(self) -> Tuple[int, bytes]:
        """The latest picture as JPEG and its sequence number, encoded once per picture."""
        with self._changed:
            sequence, picture = self._sequence, self._picture
        with self._encode_lock:
            if self._encoded[0] != sequence and picture is not None:
                buffer = io.BytesIO()
                picture.convert("RGB").save(buffer, format="JPEG", quality=85)
                self._encoded = (sequence, buffer.getvalue())
            return self._encoded

    def wait_for_picture(self, after: int) -> bool:
        """Wait for a picture newer than ``after``; False once there will be none."""
        with self._changed:
            while self._sequence <= after:
                if self._closed or self._finished:
                    return False
                self._changed.wait(_POLL_S)
            return not self._closed


class _Server(ThreadingHTTPServer):
    daemon_threads = True   # a stream still open must not keep the command alive

    def __init__(self, address: Tuple[str, int], handler: Any, view: LiveView) -> None:
        self.view = view
        host, port = address
        # The family of the address asked for, so that "[::1]:8765" works too.
        self.address_family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
        super().__init__(address, handler)

    def server_bind(self) -> None:
        # As HTTPServer's, without its reverse name lookup, which can stall offline.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = str(self.server_address[0]), int(self.server_address[1])


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "mirvane-live"
    timeout = 30.0   # seconds a browser may leave a write unread before its answer is dropped

    def do_GET(self) -> None:
        view = self.server.view
        view.visited = True
        path = self.path.split("?", 1)[0]
        try:
            if path == "/":
                self._send(HTTPStatus.OK, "text/html; charset=utf-8", _PAGE.encode())
            elif path == "/status.json":
                self._send(HTTPStatus.OK, "application/json", json.dumps(view.status()).encode())
            elif path == "/frame.jpg":
                sequence, jpeg = view.jpeg()
                if sequence:
                    self._send(HTTPStatus.OK, "image/jpeg", jpeg)
                else:
                    self._send(HTTPStatus.SERVICE_UNAVAILABLE, "text/plain", b"no picture yet\n")
            elif path == "/stream.mjpg":
                self._stream(view)
            else:
                self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")
        except OSError:
            pass    # the browser went away or stopped reading mid-answer: nothing to clean up

    def _send(self, status: HTTPStatus, content_type: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def _stream(self, view: LiveView) -> None:
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={_BOUNDARY}")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        sent = 0
        while True:
            sequence, jpeg = view.jpeg()
            if sequence != sent:
                self.wfile.write(f"--{_BOUNDARY}\r\nContent-Type: image/jpeg\r\n"
                                 f"Content-Length: {len(jpeg)}\r\n\r\n".encode() + jpeg + b"\r\n")
                self.wfile.flush()
                sent = sequence
            if not view.wait_for_picture(sent):
                sequence, _ = view.jpeg()
                if sequence == sent:   # the last picture is out: the stream ends here
                    return

    def log_message(self, format: str, *args: Any) -> None:
        pass    # requests are not news; the terminal shows the replay's progress


_PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>mirvane live replay</title>
<style>
  body { margin: 0; background: #202024; color: #e8e8e8; font: 14px/1.4 system-ui, sans-serif; }
  main { max-width: 960px; margin: 0 auto; padding: 16px; }
  h1 { font-size: 18px; font-weight: 600; margin: 0 0 8px; }
  #view { display: block; max-width: 100%; max-height: calc(100vh - 96px); margin: 0 auto;
          background: #2c2c32; border-radius: 4px; }
  #bar { display: flex; gap: 16px; align-items: center; margin-top: 8px; }
  progress { flex: 1; height: 8px; }
  #state { font-weight: 600; }
  #state.finished { color: #8fd18f; }
  #state.gone { color: #f0a060; }
</style>
</head>
<body>
<main>
  <h1>Replay of <span id="record">...</span></h1>
  <img id="view" src="/stream.mjpg" alt="the work cell as the replay runs">
  <div id="bar">
    <span><span id="time">0.0</span> s of <span id="span">0.0</span> s</span>
    <progress id="progress" max="1" value="0"></progress>
    <span>speed <span id="speed">1</span>&times;</span>
    <span id="state">playing</span>
  </div>
</main>
<script>
  const $ = (id) => document.getElementById(id);
  let finished = false;
  async function poll() {
    try {
      const s = await (await fetch("/status.json", {cache: "no-store"})).json();
      $("record").textContent = s.record;
      document.title = "mirvane: " + s.record;
      $("time").textContent = s.time.toFixed(1);
      $("span").textContent = s.span.toFixed(1);
      $("speed").textContent = s.speed;
      $("progress").value = s.span > 0 ? s.time / s.span : 1;
      if (s.finished) {
        finished = true;
        $("state").textContent = "finished";
        $("state").className = "finished";
        return;   // the picture stays as the stream left it
      }
    } catch (e) {
      if (!finished) {
        $("state").textContent = "stopped: the replay command has ended";
        $("state").className = "gone";
      }
      return;
    }
    setTimeout(poll, 200);
  }
  poll();
</script>
</body>
</html>
"""
