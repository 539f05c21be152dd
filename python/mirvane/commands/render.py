"""``mirvane render``: movies, clips around errors, or exports of the catalog's chosen records."""

import argparse
import os
from typing import Any, Tuple

from . import Argument, UserError, described, warn, _options
from ._catalog import EXIT_SOME_FAILED, catalog, catalog_errors, workers

EXPORTS = ("mcap", "rrd")


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "render", "make movies, clips around errors or exports of the catalog's runs",
        "For each record of the catalog matching --where: a movie (--movies DIR), a clip around\n"
        "each of its errors (--clips DIR), or an export (--export mcap|rrd --out DIR), named\n"
        "from its recording and position. Outputs already made from the same input are kept;\n"
        "one that fails is reported and the others go on; the exit status is 1 if any failed.",
        ["mirvane render --where 'errors > 0' --clips clips/ --pad 2",
         "mirvane render --where \"file LIKE '%/nightly/%'\" --export mcap --out exports/"],
        _options.db(),
        Argument("--where", metavar="CONDITION", help="only records for which this SQL condition holds "
                                                      "(default: every record)"),
        Argument("--movies", metavar="DIR", help="a movie of each record, into DIR"),
        Argument("--clips", metavar="DIR", help="a clip around each error of each record, into DIR"),
        _options.pad(help=f"with --clips: seconds before and after each error (default: {_options.EVENT_PAD:g})"),
        Argument("--export", choices=EXPORTS, help="export each record as MCAP or a Rerun recording, into --out"),
        Argument("--out", metavar="DIR", help="with --export: the folder of the exports"),
        _options.workers(),
        _options.ray(),
        _options.quiet())


def run(args: argparse.Namespace) -> int:
    from ..catalog.batch import CLIP, MOVIE, JobKind, RenderError, render
    from ..catalog.query import QueryError

    chosen_kind, folder = _chosen(args)
    kind = JobKind(chosen_kind)
    if args.pad is not None and kind != CLIP:
        raise UserError("--pad goes with --clips; drop it or make clips")
    chosen = workers(args)
    with catalog(args.db) as con, catalog_errors():
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as e:
            raise UserError(f"{folder}: cannot make the folder ({e.strerror}); choose another") from None
        if not os.access(folder, os.W_OK | os.X_OK):
            raise UserError(f"{folder}: cannot write in it; choose a writable folder")
        try:
            done = render(con, args.where, kind, folder, _options.EVENT_PAD if args.pad is None else args.pad, chosen, args.quiet)
        except QueryError as e:
            raise UserError(f"--where: {e}") from None
        except RenderError as e:
            raise UserError(str(e)) from None
    for output, reason in done.failed:
        warn(f"cannot make {os.path.join(folder, output)}: {reason}")
    if not args.quiet:
        what = "clip" if kind == CLIP else "movie" if kind == MOVIE else f"{kind} export"
        print(f"{folder}: {len(done.made)} {what}{'s' * (len(done.made) != 1)} made, "
              f"{len(done.skipped)} already there, {len(done.failed)} failed")
    return EXIT_SOME_FAILED if done.failed else 0


def _chosen(args: argparse.Namespace) -> Tuple[str, str]:
    """The kind of output and its folder, from the one of --movies, --clips and --export given."""
    given = [(kind, folder) for kind, folder in (("movie", args.movies), ("clip", args.clips)) if folder]
    if args.export:
        if not args.out:
            raise UserError(f"--export {args.export} needs --out DIR, the folder of the exports")
        given.append((args.export, args.out))
    elif args.out:
        raise UserError("--out goes with --export; add --export mcap|rrd")
    if len(given) != 1:
        raise UserError("give one of --movies DIR, --clips DIR and --export mcap|rrd --out DIR")
    return given[0]
