"""Questions asked of a catalog, read-only, within a time and a memory limit.

The connection is ``store.connect``'s read-only one, with nothing outside the database reachable
(no files read or written, nothing attached). Besides, a query is one statement that reads: a
write, a setting, an export is refused before DuckDB sees it, in words that say so. A condition
(``records``' ``where``) must be one expression: the statement it makes is parsed and must be the
one asked for, the condition alone different. A query runs on a thread of its own, so that
Ctrl-C, a termination, the end of serving or the time limit interrupt it at once.
"""

import json
import os
import re
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from ..reasons import first_line
from .store import RECORD_COLUMNS

#: What a query may be (DuckDB's statement types): reading, and saying how it would read.
_READING = ("SELECT", "EXPLAIN")
DEFAULT_SECONDS = 60.0


def half_the_memory_mb() -> int:
    """Half the machine's memory, in MiB: what a query may take by default."""
    try:
        return max(64, os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2 // 2 ** 20)
    except (ValueError, OSError, AttributeError):    # no such figures here
        return 4096


@dataclass(frozen=True)
class Limits:
    """How long a query may run, and how much memory DuckDB may take for it."""
    seconds: float = DEFAULT_SECONDS
    memory_mb: int = field(default_factory=half_the_memory_mb)


class QueryError(Exception):
    """A query refused, or one DuckDB cannot run; the text says why in one line."""


@dataclass(frozen=True)
class Result:
    """A query's answer: its columns' names and its rows."""
    columns: Tuple[str, ...]
    rows: List[Tuple[Any, ...]]

    def dicts(self) -> List[dict]:   # type: ignore[type-arg]
        return [dict(zip(self.columns, row)) for row in self.rows]


def ask(con: Any, sql: str, parameters: Sequence[Any] = (), limits: Limits = Limits()) -> Result:
    """The answer to ``sql``, which must be one statement that only reads."""
    import duckdb

    try:
        statements = con.extract_statements(sql)
    except duckdb.Error as e:
        raise QueryError(in_words(e)) from None
    if len(statements) != 1:
        raise QueryError(f"give one statement, not {len(statements)}")
    kind = statements[0].type.name
    if kind not in _READING:
        raise QueryError(f"the catalog is only read here, and this statement is a {kind}; "
                         "give a SELECT (or change the catalog with 'mirvane index')")
    return _run(con, sql, list(parameters), limits)


def records(con: Any, where: Optional[str] = None, sort: Optional[str] = None, limits: Limits = Limits()) -> Result:
    """The records matching the SQL condition ``where``, ordered by ``sort`` (a column, and ``desc``
    after it for descending), then by file and position."""
    order = "file, position"
    if sort:
        name, *direction = sort.split()
        if name not in COLUMN_NAMES:
            raise QueryError(f"no column {name!r} to sort by; give one of {', '.join(COLUMN_NAMES)}")
        if [word.lower() for word in direction] not in ([], ["asc"], ["desc"]):
            raise QueryError(f"sort by {name!r}, '{name} asc' or '{name} desc', not {sort!r}")
        order = f'"{name}" {direction[0] if direction else "ASC"} NULLS LAST, {order}'
    sql = "SELECT * FROM records {} ORDER BY " + order
    if where:
        asked = sql.format(f"WHERE ({where})")
        if _shape(con, asked) != _shape(con, sql.format("WHERE (true)")):
            raise QueryError("give one condition on the records' columns (such as errors > 0), "
                             "not more of a query: it ends where its parenthesis would")
        return ask(con, asked, limits=limits)
    return ask(con, sql.format(""), limits=limits)


def _shape(con: Any, sql: str) -> Any:
    """``sql`` as DuckDB parses it, without where each part is in the text and without the
    condition of its one SELECT; raises ``QueryError`` for what does not parse."""
    tree = json.loads(con.execute("SELECT json_serialize_sql(?)", [sql]).fetchone()[0])
    if tree.get("error"):
        raise QueryError(_worded(str(tree.get("error_message", "cannot be parsed"))))
    statements = tree.get("statements", [])
    if len(statements) == 1 and isinstance(statements[0].get("node"), dict):
        statements[0]["node"].pop("where_clause", None)
    return _without_locations(statements)


def _without_locations(tree: Any) -> Any:
    if isinstance(tree, dict):
        return {key: _without_locations(value) for key, value in tree.items() if key != "query_location"}
    if isinstance(tree, list):
        return [_without_locations(value) for value in tree]
    return tree


#: The connections running a query now, for ``interrupt_all``.
_running: Set[Any] = set()
_running_lock = threading.Lock()


def interrupt_all() -> None:
    """Interrupt every query running in this process (a page's, when it stops serving)."""
    with _running_lock:
        for con in _running:
            con.interrupt()


def _run(con: Any, sql: str, parameters: List[Any], limits: Limits) -> Result:
    """``sql`` run on a thread of its own, waited for here, where signals arrive: interrupted at
    the time limit or on any exception (Ctrl-C, a termination), and waited for until it stops."""
    import duckdb

    try:
        con.execute(f"SET memory_limit = '{int(limits.memory_mb)}MiB'")
    except duckdb.Error as e:
        raise QueryError(f"cannot limit its memory to {limits.memory_mb} MiB ({in_words(e)})") from None
    answer: Dict[str, Any] = {}

    def work() -> None:
        try:
            cursor = con.execute(sql, parameters)
            answer["result"] = Result(tuple(column[0] for column in cursor.description or ()), cursor.fetchall())
        except Exception as e:  # noqa: BLE001 - handed to the waiting thread
            answer["error"] = e

    thread = threading.Thread(target=work, name="mirvane-query", daemon=True)
    with _running_lock:
        _running.add(con)
    try:
        thread.start()
        deadline = time.monotonic() + limits.seconds
        while thread.is_alive() and time.monotonic() < deadline:
            thread.join(min(deadline - time.monotonic(), 1.0))
        if thread.is_alive():
            raise QueryError(f"stopped at the time limit of {limits.seconds:g} s; ask for less, "
                             "or give it longer with --time-limit")
    finally:
        if thread.is_alive():
            con.interrupt()
            thread.join()
        with _running_lock:
            _running.discard(con)
    error = answer.get("error")
    if isinstance(error, duckdb.InterruptException):
        raise QueryError("interrupted (the page stopped serving)")
    if isinstance(error, duckdb.OutOfMemoryException):
        raise QueryError(f"needs more than the memory limit of {limits.memory_mb} MiB; ask for less, "
                         "or give it more with --memory-limit")
    if isinstance(error, duckdb.Error):
        raise QueryError(in_words(error))
    if error is not None:
        raise error
    result: Result = answer["result"]
    return result


_NO_COLUMN = re.compile(r'Referenced column "(.*)" not found in FROM clause!?')
_CANDIDATES = re.compile(r'Candidate bindings: "([^"]*)"')
_CLASS = re.compile(r"^[A-Z][A-Za-z ]* Error: ")


def in_words(error: BaseException) -> str:
    """What DuckDB says of a query it cannot run, in the catalog's words and one line."""
    return _worded(str(error) or first_line(error, limit=None))


def _worded(text: str) -> str:
    line = _CLASS.sub("", text.splitlines()[0] if text else "").rstrip("!")
    missing = _NO_COLUMN.fullmatch(line)
    if missing:
        candidate = _CANDIDATES.search(text)
        hint = f'; did you mean "{candidate.group(1)}"?' if candidate else ""
        return f'column "{missing.group(1)}" not found in the catalog\'s tables{hint}'
    return line or "cannot be run"


COLUMN_NAMES: Tuple[str, ...] = tuple(name for name, _ in RECORD_COLUMNS)
