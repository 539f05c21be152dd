"""The catalog in the browser: a page listing the records, and a record opened in the player.

``CatalogView`` serves, under the player server's rules (``mirvane.player.server.Server`` and
``Handler``: loopback unless a host is named, a token off loopback, Host and Origin checked):

* ``/`` the page (``page.html`` of this package);
* ``/records.json?where=CONDITION`` the records (``query.records``, and ``file_mtime_ns``, their
  file's time, which tells runs apart where simulated stamps do not), each one's events as (time,
  end, severity) for its strip, and the files that could not be read with why (``unreadable``); a
  condition it cannot use is 400 with the reason;
* ``POST /open`` ``{"record_id": ...}`` plays that record in the player, a ``LiveSession`` of
  its own on another port of the same host, paused at its first error (or its start), and
  answers the player's port and token; the page shows it beside a way back. One record plays
  at a time: opening another, ``POST /close`` or the end of serving ends it.

The database is opened read-only for each request, so ``mirvane index`` may bring it up to date
while the page is served. A recording is read outside the lock, from a file held open that must
be a regular one, so a file replaced by a pipe or a device holds up no other request.
"""

import contextlib
import itertools
import os
import threading
from http import HTTPStatus
from importlib import resources
from typing import Any, Dict, List, Optional, Tuple

from ..player.server import Handler, Server, admitted
from ..reasons import first_line
from . import query, scan, store

_POLL_S = 0.25
#: Records a page lists at most: a strip of events each, in one answer.
MAX_ROWS = 2000


class CatalogView:
    """The catalog ``db`` served at ``urls`` until ``close``; binding happens here (``OSError``)."""

    def __init__(self, host: str, port: int, db: str, limits: query.Limits = query.Limits()) -> None:
        self._db = db
        self._limits = limits
        self._host = host
        self._lock = threading.Lock()       # one request at a time reads the database, or opens a player
        self._player: Optional[Any] = None
        self._playing: Optional[threading.Thread] = None
        self._server = Server((host, port), _CatalogHandler, self)

    @property
    def urls(self) -> List[str]:
        """Where a browser opens the page (``Server.urls``)."""
        return self._server.urls()

    def serve(self) -> None:
        """Answer requests until interrupted."""
        self._server.serve_forever(_POLL_S)

    def close(self) -> None:
        query.interrupt_all()   # a slow condition's request holds the lock
        self.close_player()
        self._server.server_close()

    def __enter__(self) -> "CatalogView":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- for the request handler ---------------------------------------------------------

    def records(self, where: Optional[str]) -> Dict[str, Any]:
        """The records matching ``where``, and their events' times and severities by record."""
        with self._lock, store.connect(self._db) as con:
            found = query.records(con, where, limits=self._limits)
            keys = [row[found.columns.index("record_id")] for row in found.rows[:MAX_ROWS]]
            strips: Dict[str, List[Tuple[float, float, str]]] = {key: [] for key in keys}
            if keys:
                for key, time, end, severity in query.ask(
                        con, 'SELECT record_id, time, "end", severity FROM events '
                             'WHERE list_contains(?, record_id) ORDER BY record_id, number', [keys], self._limits).rows:
                    strips[key].append((time, end, severity))
            times = dict(query.ask(con, "SELECT file, mtime_ns FROM files").rows)
            unreadable = query.ask(con, "SELECT file, error FROM files WHERE error IS NOT NULL ORDER BY file").rows
        file = found.columns.index("file")
        return {"columns": [*found.columns, "file_mtime_ns"],
                "rows": [(*row, times.get(row[file])) for row in found.rows[:MAX_ROWS]], "total": len(found.rows),
                "events": strips, "unreadable": unreadable}

    def open(self, record_id: str) -> Dict[str, Any]:
        """Play the record ``record_id`` in the player, paused at its first error; where the
        player is served. Raises ``LookupError`` for no such record, ``ValueError`` for one that
        cannot be played now."""
        from ..player.session import CannotServe, LiveOptions, LiveSession, Run

        with self._lock, store.connect(self._db) as con:
            found = query.ask(con, "SELECT file, position, fingerprint, first_error_time FROM records "
                                   "WHERE record_id = ?", [record_id]).rows
        if not found:
            raise LookupError(f"no record {record_id!r} in the catalog; reload the page")
        file, position, fingerprint, first_error = found[0]
        record, project = _read_record(file, position, fingerprint)
        with self._lock:
            self._close_player_locked()
            options = LiveOptions(start=first_error or 0.0, paused=True, page=(self._host, 0), hold=True,
                                  quiet=True, keys=False)
            run = Run(project, record, f"{os.path.basename(file)} record {position}", position)
            player = LiveSession([run], options)
            try:
                player.__enter__()
            except CannotServe as e:
                raise ValueError(f"cannot serve the player ({e})") from None
            self._player = player
            self._playing = threading.Thread(target=_play, args=(player,), name="mirvane-catalog-player",
                                             daemon=True)
            self._playing.start()
            assert player.page is not None
            return {"port": player.page.port, "token": player.page.token, "record_id": record_id,
                    "name": player.name, "start": options.start}

    def close_player(self) -> None:
        with self._lock:
            self._close_player_locked()

    def _close_player_locked(self) -> None:
        if self._player is not None and self._playing is not None:
            self._player.release()
            self._playing.join()
        self._player = self._playing = None


def _read_record(file: str, position: int, fingerprint: str) -> Tuple[Any, Any]:
    """The record at ``position`` of the catalogued ``file`` and its project, read from the file
    held open, as indexed; ``ValueError`` (in one line) for one changed, unreadable, or that
    playback refuses."""
    from ..player.movie import CannotShow, check_showable
    from ..records import DataFileError
    from ..snapshots import project_from_snapshot

    try:
        with scan.pinned(file) as pinned:
            if scan.hashed(pinned) != fingerprint:
                raise ValueError(f"{file} changed since it was indexed; run 'mirvane index' again")
            with contextlib.closing(scan.records_of(file, pinned)) as records:
                record = next(itertools.islice(records, position, None), None)
        if record is None:
            raise ValueError(f"{file} has no record {position} any more; run 'mirvane index' again")
        check_showable(record, file, position)
        return record, project_from_snapshot(record.project)
    except OSError as e:
        raise ValueError(f"{file}: cannot read it ({(e.strerror or str(e)).lower()})") from None
    except (CannotShow, DataFileError) as e:
        raise ValueError(first_line(e, limit=None)) from None


def _play(player: Any) -> None:
    try:
        player.play()
    finally:
        player.__exit__(None, None, None)


class _CatalogHandler(Handler):

    @admitted
    def do_GET(self, view: CatalogView, path: str, params: Dict[str, List[str]]) -> None:
        if path == "/":
            self._send(HTTPStatus.OK, "text/html; charset=utf-8",
                       resources.files(__package__).joinpath("page.html").read_bytes())
        elif path == "/records.json":
            try:
                self._json(HTTPStatus.OK, view.records(params.get("where", [None])[0] or None))
            except query.QueryError as e:
                self._json(HTTPStatus.BAD_REQUEST, {"error": f"the condition cannot be used: {e}"})
            except store.CatalogError as e:
                self._json(HTTPStatus.BAD_REQUEST, {"error": str(e)})
        else:
            self._send(HTTPStatus.NOT_FOUND, "text/plain", b"not found\n")

    @admitted
    def do_POST(self, view: CatalogView, path: str, params: Dict[str, List[str]]) -> None:
        if path not in ("/open", "/close"):
            self._json(HTTPStatus.NOT_FOUND, {"error": "not found: POST /open or /close"})
            return
        ok, request = self.json_body()
        if not ok:
            return
        if path == "/close":
            view.close_player()
            self._json(HTTPStatus.OK, {})
            return
        if not isinstance(request, dict) or not isinstance(request.get("record_id"), str):
            self._json(HTTPStatus.BAD_REQUEST, {"error": 'send {"record_id": "..."}'})
            return
        try:
            self._json(HTTPStatus.OK, view.open(request["record_id"]))
        except LookupError as e:
            self._json(HTTPStatus.NOT_FOUND, {"error": str(e)})
        except (ValueError, store.CatalogError) as e:
            self._json(HTTPStatus.CONFLICT, {"error": str(e)})
