"""The arguments more than one subcommand takes, declared once here.

Each is a ``partial`` of ``Argument``: calling it gives the argument, and a keyword changes one
setting (``recording(help="the recording file to list")``).
"""

import argparse
import math
from functools import partial
from typing import TYPE_CHECKING, List, Optional

from ..analysis.align import Alignment, AlignmentRule, offset_refused
from . import Argument, UserError
from ..player.server import DEFAULT_HOST, DEFAULT_PORT
from ._arguments import parsed_by, positive_float, positive_int, seconds

if TYPE_CHECKING:
    from ..catalog.query import Limits

#: A recording: a recording file, or an MCAP file (as export or a recorder writes it).
recording = partial(Argument, "recording", metavar="RECORDING",
                    help="the recording: a recording file, or an MCAP file a recorder wrote")
new_recording = partial(Argument, "out", metavar="OUT.rec", help="the recording file to write")
project = partial(Argument, "--project", metavar="PROJECT.mvproj")
quiet = partial(Argument, "--quiet", action="store_true", help="print no progress")
#: A span of a record, in seconds after its first product (as ``mirvane events`` and the player count them).
span_from = partial(Argument, "--from", dest="span_from", type=seconds, metavar="SECONDS",
                    help="only from this many seconds after the record's first product (default: its start)")
span_to = partial(Argument, "--to", dest="span_to", type=seconds, metavar="SECONDS",
                  help="only up to this many seconds after the record's first product (default: its end)")
#: Seconds a clip of an event shows before it begins and after it ends, by default.
EVENT_PAD = 2.0
pad = partial(Argument, "--pad", type=seconds, metavar="SECONDS")


def index(does: str, default: Optional[int], default_text: str) -> Argument:
    """``--index``: the position of the record the subcommand ``does`` something with."""
    return Argument("--index", type=int, default=default, metavar="I",
                    help=f"{does} the record at this position, negative ones counting from the end but -1: "
                         f"the one that stopped last (default: {default_text}; 'mirvane info' lists them)")


#: Where ``--serve`` serves when given no address.
SERVE_DEFAULT = f"{DEFAULT_HOST}:{DEFAULT_PORT}"
#: The catalog a subcommand reads or writes.
db = partial(Argument, "--db", default="runs.duckdb", metavar="DB",
             help="the catalog's database file (default: runs.duckdb; 'mirvane index' makes it)")
#: Where a batch runs: a local process pool, or a Ray cluster.
workers = partial(Argument, "--workers", type=positive_int, metavar="N",
                  help="run on N local processes (default: one per CPU)")
ray = partial(Argument, "--ray", metavar="ADDRESS",
              help="run on the Ray cluster at ADDRESS (host:port of its head) instead, one task a file or "
                   "output; every node must reach the files at the same paths (pip install 'mirvane[cluster]')")


def query_limits() -> List[Argument]:
    """``--time-limit`` and ``--memory-limit``: what a query of the catalog may take."""
    from ..catalog.query import DEFAULT_SECONDS, half_the_memory_mb

    return [
        Argument("--time-limit", type=positive_float, default=DEFAULT_SECONDS, metavar="SECONDS",
                 help=f"stop a query after this many seconds (default: {DEFAULT_SECONDS:g})"),
        Argument("--memory-limit", type=positive_int, default=None, metavar="MiB",
                 help=f"let a query take at most this much memory (default: half this machine's, "
                      f"{half_the_memory_mb()} MiB)")]


def chosen_limits(args: argparse.Namespace) -> "Limits":
    """The limits ``query_limits``' arguments ask for."""
    from ..catalog.query import Limits

    if args.memory_limit is None:
        return Limits(args.time_limit)
    return Limits(args.time_limit, args.memory_limit)


def alignment() -> List[Argument]:
    """``--align``, ``--offset`` and ``--align-event``: how a second run, B, is placed against the
    first, A (``chosen_alignment`` reads them)."""
    return [
        Argument("--align", choices=(AlignmentRule.START.value,),
                 help="place B by its first product at A's (the default)"),
        Argument("--offset", type=offset, metavar="SECONDS",
                 help="place B's first product this many seconds after A's (negative: before)"),
        Argument("--align-event", type=parsed_by(Alignment.event), metavar="KIND[:SUBJECT]",
                 help="put the first event of KIND (about SUBJECT: a robot, item or camera it names) of each "
                      "run at one time, e.g. grasp:box_1")]


def chosen_alignment(args: argparse.Namespace) -> Alignment:
    """The alignment ``alignment``'s arguments ask for (by start unless told); one of them at most."""
    chosen = [option for option, value in (("--align", args.align), ("--offset", args.offset),
                                           ("--align-event", args.align_event)) if value is not None]
    if len(chosen) > 1:
        raise UserError(f"{' and '.join(chosen)} each place B; give one of them")
    if args.offset is not None:
        return Alignment(AlignmentRule.OFFSET, offset_s=args.offset)
    aligned: Alignment = args.align_event or Alignment()
    return aligned


def not_aligned(alignment: Alignment, error: Exception) -> UserError:
    """The user's error when ``alignment`` cannot place the runs (``align.AlignmentError``)."""
    return UserError(f"cannot align by {alignment}: {error}; choose another event or --offset")


def finite(text: str) -> float:
    """An argparse type: a finite number of seconds, of either sign."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a number of seconds, not {text!r}")
    return value


def offset(text: str) -> float:
    """An argparse type: an offset of B in seconds, of either sign, that the stamps can carry."""
    value = finite(text)
    refused = offset_refused(value)
    if refused:
        raise argparse.ArgumentTypeError(refused)
    return value
