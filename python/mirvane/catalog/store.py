"""The catalog's database: a DuckDB file whose tables users write SQL against.

The names here are part of the interface (the README lists them):

* ``records``: one row per record, its key ``record_id``, the file and position it is at, its
  stamps and span, products by kind, the layout's robots, items and cameras, what its behaviours
  got done (``mirvane.analysis.metrics``), its events counted by severity and kind, its first
  warning and first error;
* ``events``: one row per event (``mirvane.analysis.events``), with its ``record_id`` and the
  fields as ``mirvane events`` names them (``end`` is a word of SQL: write it ``"end"``);
* ``files``: one row per recording file found, with what tells a changed file (size, modification
  and change times, content hash) and, for one that could not be read, why.

A catalog is known by a mark of its own: a table ``mirvane_catalog`` holding the schema version.
A catalog of earlier versions (a table ``catalog`` with an integer ``version`` beside the tables
above) is made anew by the next index; any other database is refused and left as it is.

``connect`` opens the file (DuckDB lets one process write it, or several read it); ``put`` and
``drop`` change what files contribute, in one transaction each, rolled back if it fails.
"""

import json
import os
from contextlib import contextmanager
from dataclasses import dataclass, fields
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from ..analysis.events import KINDS, Event
from ..reasons import first_line
from ..scene import KINDS as PRODUCT_KINDS

#: Bumped when a table changes; a catalog of another version is made anew by the next index.
SCHEMA_VERSION = 2
#: The table that marks a database as a catalog, holding its ``SCHEMA_VERSION``.
MARK = "mirvane_catalog"
#: What marked a catalog before ``MARK`` (version 1): a table of this name with one integer column.
_EARLIER_MARK = "catalog"
DEFAULT_DB = "runs.duckdb"

_TYPES: Dict[Any, str] = {int: "BIGINT", float: "DOUBLE", str: "VARCHAR"}


def kind_column(kind: str) -> str:
    """The records column counting an event kind's events: ``drop_events``, ``missed_grasp_events``."""
    return kind.replace("-", "_") + "_events"


#: The columns of ``records``, in order, and their types.
RECORD_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("record_id", "VARCHAR PRIMARY KEY"),
    ("file", "VARCHAR"), ("position", "INTEGER"), ("fingerprint", "VARCHAR"),
    ("start_ns", "BIGINT"), ("stop_ns", "BIGINT"), ("span_s", "DOUBLE"),
    ("products", "INTEGER"), *((f"{kind}_products", "INTEGER") for kind in PRODUCT_KINDS),
    ("robots", "VARCHAR[]"), ("items", "VARCHAR[]"), ("cameras", "VARCHAR[]"), ("behaviors", "VARCHAR[]"),
    ("steps", "INTEGER"), ("cycles", "INTEGER"), ("cycle_s", "DOUBLE"), ("items_moved", "INTEGER"),
    ("events", "INTEGER"), ("infos", "INTEGER"), ("warnings", "INTEGER"), ("errors", "INTEGER"),
    *((kind_column(kind), "INTEGER") for kind in KINDS),
    ("first_warning_time", "DOUBLE"), ("first_warning", "VARCHAR"),
    ("first_error_time", "DOUBLE"), ("first_error", "VARCHAR"),
)
#: The columns of ``events``: the record's key, then an event's fields as ``mirvane events`` names them.
EVENT_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("record_id", "VARCHAR"),
    *((field.name, _TYPES[field.type]) for field in fields(Event)),
)
FILE_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("file", "VARCHAR PRIMARY KEY"), ("size", "BIGINT"), ("mtime_ns", "BIGINT"), ("ctime_ns", "BIGINT"),
    ("fingerprint", "VARCHAR"),
    ("records", "INTEGER"), ("error", "VARCHAR"),
)
TABLES = {"records": RECORD_COLUMNS, "events": EVENT_COLUMNS, "files": FILE_COLUMNS}

Row = Dict[str, Any]


@dataclass(frozen=True)
class FileState:
    """A recording file as the catalog last found it."""
    size: int
    mtime_ns: int
    ctime_ns: int
    fingerprint: Optional[str]
    error: Optional[str]


@dataclass(frozen=True)
class Scanned:
    """What reading one recording file gave: its rows, or why it could not be read.

    ``unchanged`` when its content hashed as indexed before: only its size and times are new.
    ``note`` says what a user may want to know of a file read (that it is empty).
    """
    file: str
    size: int
    mtime_ns: int
    fingerprint: Optional[str] = None
    records: Tuple[Row, ...] = ()
    events: Tuple[Row, ...] = ()
    error: Optional[str] = None
    unchanged: bool = False
    note: Optional[str] = None
    ctime_ns: int = 0


class CatalogError(Exception):
    """The database cannot be opened as asked (missing, held by a writer, not a catalog)."""


@contextmanager
def connect(path: str, write: bool = False) -> Iterator[Any]:
    """A connection to the catalog at ``path`` for the block: to write (made if missing, its tables
    made or made anew), or to read only (it must exist), with nothing outside it reachable."""
    import duckdb

    if not write and not os.path.isfile(path):
        raise CatalogError(f"{path}: no catalog there; make one with 'mirvane index PATH --db {path}'")
    try:
        con = duckdb.connect(path, read_only=not write,
                             config={} if write else {"enable_external_access": False})
    except duckdb.Error as e:
        text = first_line(e, limit=None)
        if "lock" in text.lower():
            raise CatalogError(f"{path}: in use by another process (an index running?); "
                               "try again once it has finished") from None
        raise CatalogError(f"{path}: not a catalog ({text}); give another --db") from None
    try:
        version = _version(con)
        if version == _FOREIGN:
            raise CatalogError(f"{path}: a database, but not a catalog of mirvane; give another --db")
        if write:
            _ensure_tables(con, version)
        elif version is None:
            raise CatalogError(f"{path}: an empty database, no catalog yet; make one with "
                               f"'mirvane index PATH --db {path}'")
        elif version != SCHEMA_VERSION:
            raise CatalogError(f"{path}: a catalog of another version of mirvane; "
                               f"bring it up to date with 'mirvane index PATH --db {path}'")
        yield con
    finally:
        con.close()


#: ``_version`` of a database that is no catalog of ours; ``None`` is an empty one.
_FOREIGN = -1


def _version(con: Any) -> Optional[int]:
    """The schema version of the catalog ``con`` is connected to, ``None`` for an empty database,
    ``_FOREIGN`` for one that is not a catalog."""
    tables = {name: columns for name, columns in con.execute(
        "SELECT table_name, list(column_name || ' ' || data_type ORDER BY ordinal_position) "
        "FROM information_schema.columns GROUP BY table_name").fetchall()}
    if not tables:
        return None
    if tables.get(MARK) == ["version INTEGER"]:
        found = con.execute(f"SELECT version FROM {MARK}").fetchall()
        return found[0][0] if len(found) == 1 and isinstance(found[0][0], int) and found[0][0] > 0 else _FOREIGN
    earlier = set(tables) == {*TABLES, _EARLIER_MARK} and tables[_EARLIER_MARK] == ["version INTEGER"] \
        and tables["files"] == _EARLIER_FILES
    if earlier and con.execute(f"SELECT version FROM {_EARLIER_MARK}").fetchall() == [(1,)]:
        return 1
    return _FOREIGN


#: The ``files`` table of a version 1 catalog, which with the earlier mark tells one.
_EARLIER_FILES = ["file VARCHAR", "size BIGINT", "mtime_ns BIGINT", "fingerprint VARCHAR", "records INTEGER",
                  "error VARCHAR"]


def _ensure_tables(con: Any, version: Optional[int]) -> None:
    if version == SCHEMA_VERSION:
        return
    with transaction(con):
        for table in (*TABLES, _EARLIER_MARK, MARK):
            con.execute(f"DROP TABLE IF EXISTS {table}")
        for table, columns in TABLES.items():
            con.execute(f"CREATE TABLE {table} ({', '.join(f'{_quoted(name)} {kind}' for name, kind in columns)})")
        con.execute(f"CREATE TABLE {MARK} (version INTEGER)")
        con.execute(f"INSERT INTO {MARK} VALUES (?)", [SCHEMA_VERSION])


@contextmanager
def transaction(con: Any) -> Iterator[None]:
    """The block as one transaction: committed at its end, rolled back if it raises, so that a
    failure leaves the catalog as it was and the connection usable."""
    con.execute("BEGIN")
    try:
        yield
    except BaseException:
        con.execute("ROLLBACK")
        raise
    con.execute("COMMIT")


def files(con: Any) -> Dict[str, FileState]:
    """The files the catalog knows, as it found them."""
    rows = con.execute("SELECT file, size, mtime_ns, ctime_ns, fingerprint, error FROM files").fetchall()
    return {file: FileState(size, mtime, ctime, fingerprint, error)
            for file, size, mtime, ctime, fingerprint, error in rows}


def put(con: Any, scanned: Sequence[Scanned]) -> None:
    """Put what reading some files gave in place of what the catalog had of them, in one transaction."""
    changed = [one for one in scanned if not one.unchanged]
    with transaction(con):
        _delete(con, [one.file for one in changed], files=True)
        _insert(con, "records", RECORD_COLUMNS, [row for one in changed for row in one.records])
        _insert(con, "events", EVENT_COLUMNS, [row for one in changed for row in one.events])
        _insert(con, "files", FILE_COLUMNS, [
            {"file": one.file, "size": one.size, "mtime_ns": one.mtime_ns, "ctime_ns": one.ctime_ns,
             "fingerprint": one.fingerprint, "records": None if one.error else len(one.records), "error": one.error}
            for one in changed])
        for one in scanned:
            if one.unchanged:
                con.execute("UPDATE files SET size = ?, mtime_ns = ?, ctime_ns = ? WHERE file = ?",
                            [one.size, one.mtime_ns, one.ctime_ns, one.file])


def drop(con: Any, gone: Sequence[str]) -> None:
    """Forget the files ``gone`` and their records and events."""
    if gone:
        with transaction(con):
            _delete(con, gone, files=True)


def _delete(con: Any, gone: Sequence[str], files: bool) -> None:
    con.execute("DELETE FROM events WHERE record_id IN (SELECT record_id FROM records WHERE list_contains(?, file))",
                [list(gone)])
    con.execute("DELETE FROM records WHERE list_contains(?, file)", [list(gone)])
    if files:
        con.execute("DELETE FROM files WHERE list_contains(?, file)", [list(gone)])


def _insert(con: Any, table: str, columns: Sequence[Tuple[str, str]], rows: Sequence[Row]) -> None:
    """Insert ``rows`` by columns: handed to DuckDB as arrays, which it scans at once (a row at a
    time, it takes milliseconds a row)."""
    if not rows:
        return
    import numpy as np

    arrays: Dict[str, Any] = {}
    selected: List[str] = []
    for n, (name, kind) in enumerate(columns):
        values = [row[name] for row in rows]
        column = f"c{n}"
        if kind.endswith("[]"):     # lists go as JSON text
            arrays[column] = np.array([json.dumps(list(v)) for v in values], dtype=object)
            selected.append(f"from_json({column}, '[\"VARCHAR\"]')")
        elif kind.startswith("VARCHAR"):
            arrays[column] = np.array(values, dtype=object)
            selected.append(column)
        else:   # numbers (None is NULL) as text, cast exactly: a float array would turn NaN into NULL
            arrays[column] = np.array([None if v is None else repr(v) for v in values], dtype=object)
            selected.append(f"CAST({column} AS {kind.split()[0]})")
    con.register("batch", arrays)
    try:
        con.execute(f"INSERT INTO {table} SELECT {', '.join(selected)} FROM batch")
    finally:
        con.unregister("batch")


def _quoted(name: str) -> str:
    return f'"{name}"'
