"""Questions asked of a catalog, read-only.

The connection is ``store.connect``'s read-only one, with nothing outside the database reachable
(no files read or written, nothing attached). Besides, a query is one statement that reads: a
write, a setting, an export is refused before DuckDB sees it, in words that say so.
"""

from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

from ..reasons import first_line
from .store import RECORD_COLUMNS

#: What a query may be (DuckDB's statement types): reading, and saying how it would read.
_READING = ("SELECT", "EXPLAIN")


class QueryError(Exception):
    """A query refused, or one DuckDB cannot run; the text says why in one line."""


@dataclass(frozen=True)
class Result:
    """A query's answer: its columns' names and its rows."""
    columns: Tuple[str, ...]
    rows: List[Tuple[Any, ...]]

    def dicts(self) -> List[dict]:   # type: ignore[type-arg]
        return [dict(zip(self.columns, row)) for row in self.rows]


def ask(con: Any, sql: str, parameters: Sequence[Any] = ()) -> Result:
    """The answer to ``sql``, which must be one statement that only reads."""
    import duckdb

    try:
        statements = duckdb.extract_statements(sql)
    except duckdb.Error as e:
        raise QueryError(first_line(e, limit=None)) from None
    if len(statements) != 1:
        raise QueryError(f"give one statement, not {len(statements)}")
    kind = statements[0].type.name
    if kind not in _READING:
        raise QueryError(f"the catalog is only read here, and this statement is a {kind}; "
                         "give a SELECT (or change the catalog with 'mirvane index')")
    try:
        cursor = con.execute(sql, list(parameters))
        return Result(tuple(column[0] for column in cursor.description or ()), cursor.fetchall())
    except duckdb.Error as e:
        raise QueryError(first_line(e, limit=None)) from None


def records(con: Any, where: Optional[str] = None, sort: Optional[str] = None) -> Result:
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
    condition = f"WHERE ({where})" if where else ""
    return ask(con, f"SELECT * FROM records {condition} ORDER BY {order}")


COLUMN_NAMES: Tuple[str, ...] = tuple(name for name, _ in RECORD_COLUMNS)
