"""``mirvane index``: bring a catalog of runs up to date with the recordings under some paths."""

import argparse
from typing import Any

from . import Argument, UserError, described, warn, _options
from ._catalog import DB_EXT, EXIT_SOME_FAILED, catalog_errors, needs_duckdb, workers
from ._paths import writable_destination



def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "index", "catalog the runs of recordings: metrics and events, in a database",
        "Find the recordings under PATH (.rec, and MCAP files a recorder or 'mirvane export'\n"
        "wrote), read each record once and keep its metrics and events in the catalog DB (a\n"
        "DuckDB file; tables records, events and files; 'mirvane runs' queries it). Run again,\n"
        "only new and changed files are read, and removed ones dropped. A file that cannot be\n"
        "read is listed with the reason and the exit status is 1; the others are indexed.\n"
        "The DB must be a catalog (or missing, or empty): any other database is refused.",
        ["mirvane index nightly/ --db runs.duckdb",
         "mirvane index nightly/ --ray 10.0.0.5:6379    # on a Ray cluster"],
        Argument("paths", nargs="+", metavar="PATH", help="a recording, or a folder to search for recordings"),
        _options.db(),
        Argument("--rehash", action="store_true",
                 help="hash every file, even one whose size and times are as indexed before"),
        _options.workers(),
        _options.ray(),
        _options.quiet())


def run(args: argparse.Namespace) -> int:
    from ..catalog.index import index
    from ..catalog.scan import PathError

    needs_duckdb()
    chosen = workers(args)
    writable_destination(args.db, DB_EXT, "catalog")
    try:
        with catalog_errors():
            done = index(args.paths, args.db, chosen, args.quiet, rehash=args.rehash)
    except PathError as e:
        raise UserError(str(e)) from None
    for file, reason in done.unreadable:
        warn(f"cannot index {file}: {reason}")
    for file, note in done.notes:
        warn(f"note: {file}: {note}")
    if not args.quiet:
        print(f"Indexed {done.read} file{'s' * (done.read != 1)} ({done.records} records, {done.events} events) "
              f"into {args.db}; {done.unchanged} unchanged, {done.removed} removed, "
              f"{len(done.unreadable)} unreadable")
    return EXIT_SOME_FAILED if done.unreadable else 0
