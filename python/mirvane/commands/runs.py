"""``mirvane runs``: the catalog's records, chosen and sorted, any read-only query, or a page."""

import argparse
import csv
import os
import sys
from typing import Any, Sequence, Tuple

from ..records import json_text
from . import Argument, UserError, described, first_line, printing, _options
from ._arguments import parse_address
from ._catalog import catalog
from ._options import SERVE_DEFAULT

FORMATS = ("table", "json", "csv")
#: The columns a table of records shows (JSON and CSV carry them all).
TABLE_COLUMNS = ("record_id", "file", "position", "span_s", "items_moved", "cycles", "warnings", "errors",
                 "first_error")


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "runs", "list the catalog's runs, query it, or serve a page of it",
        "List the records of the catalog ('mirvane index' makes it), those matching a SQL\n"
        "condition on the columns of the table records, sorted by a column; or run any query\n"
        "that reads (tables records, events and files; the README lists their columns); or\n"
        "serve a page that lists them and opens one in the player at its first error.",
        ["mirvane runs --where 'errors > 0' --sort 'errors desc'",
         "mirvane runs --sql \"SELECT subject, count(*) AS drops FROM events WHERE kind = 'drop' GROUP BY subject\"",
         "mirvane runs --serve    # then open http://127.0.0.1:8765/"],
        _options.db(),
        Argument("--where", metavar="CONDITION", help="only records for which this SQL condition holds"),
        Argument("--sort", metavar="COLUMN", help="sort by this column of records; 'COLUMN desc' for descending"),
        Argument("--sql", metavar="QUERY", help="run this query (one statement that reads) and print its answer"),
        Argument("--format", choices=FORMATS, default="table",
                 help="a table (default), JSON lines or CSV with a header; JSON and CSV carry every column"),
        Argument("--serve", nargs="?", const=SERVE_DEFAULT, metavar="[HOST:]PORT",
                 help=f"serve a page of the runs at http://HOST:PORT/ (default {SERVE_DEFAULT}: loopback "
                      "unless a host is named, which gets a token; port 0 takes a free one)"),
        *_options.query_limits())


def run(args: argparse.Namespace) -> None:
    from ..catalog.query import QueryError, ask, records

    if args.sql is not None and (args.where or args.sort):
        raise UserError("--sql is a whole query; give --where and --sort without it, or put them in the query")
    if args.serve is not None:
        if args.sql is not None or args.format != "table":
            raise UserError("--serve shows the runs in a browser; drop --sql and --format")
        _serve(args)
        return
    with catalog(args.db) as con:
        try:
            limits = _options.chosen_limits(args)
            result = ask(con, args.sql, limits=limits) if args.sql is not None else records(
                con, args.where, args.sort, limits)
        except QueryError as e:
            option = "--sql" if args.sql is not None else "--where/--sort"
            raise UserError(f"{option}: {e}") from None
    columns, rows = result.columns, result.rows
    if args.format == "table" and args.sql is None:
        shown = [columns.index(name) for name in TABLE_COLUMNS]
        columns = TABLE_COLUMNS
        rows = [tuple(_shown_file(row[i]) if name == "file" else row[i] for i, name in zip(shown, TABLE_COLUMNS))
                for row in rows]
    with printing():
        {"table": _table, "json": _json, "csv": _csv}[args.format](columns, rows)


def _serve(args: argparse.Namespace) -> None:
    from ..catalog.page import CatalogView

    host, port = parse_address(args.serve)
    with catalog(args.db):
        pass    # refused here, in one line, if it is missing or not a catalog
    try:
        view = CatalogView(host, port, args.db, _options.chosen_limits(args))
    except OSError as e:
        raise UserError(f"cannot serve on {args.serve} ({first_line(e)}); "
                        "choose another address with --serve [HOST:]PORT") from None
    with view:
        print(f"Runs at {' or '.join(view.urls)} (Ctrl-C stops)", flush=True)
        view.serve()


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.3f}"
    if isinstance(value, list):
        return ",".join(map(_text, value))
    return str(value)


def _shown_file(path: str) -> str:
    """A file as a table shows it: from here when it lies below, else whole."""
    relative = os.path.relpath(path)
    return path if relative.startswith(os.pardir) else relative


def _table(columns: Sequence[str], rows: Sequence[Tuple[Any, ...]]) -> None:
    texts = [[_text(value) for value in row] for row in rows]
    widths = [max([len(name)] + [len(row[i]) for row in texts]) for i, name in enumerate(columns)]
    print("  ".join(name.ljust(width) for name, width in zip(columns, widths)).rstrip())
    for row in texts:
        print("  ".join(value.ljust(width) for value, width in zip(row, widths)).rstrip())
    print(f"{len(rows)} row{'s' * (len(rows) != 1)}")


def _json(columns: Sequence[str], rows: Sequence[Tuple[Any, ...]]) -> None:
    for row in rows:
        print(json_text(dict(zip(columns, row)), default=str))


def _csv(columns: Sequence[str], rows: Sequence[Tuple[Any, ...]]) -> None:
    writer = csv.writer(sys.stdout, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow([_text(value) if isinstance(value, list) or value is None else value for value in row])
