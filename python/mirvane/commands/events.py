"""``mirvane events``: the events found in a recording's records, as a table, JSON lines or CSV."""

import argparse
import csv
import dataclasses
import itertools
import math
import sys
from collections import Counter
import textwrap
from typing import Any, Iterable, Iterator, List, Tuple

from dravik.api.data_pb2 import Record

from ..records import json_text
from ..analysis.events import KINDS, SEVERITIES, Event, tally
from ..analysis.ordering import ordered_events
from ..formats.columns import Block
from ..scene import ARM_CLEARANCE
from ..formats.filenames import is_mcap
from . import Argument, UserError, described, printing, warn, _options
from ._loading import reading, streamed_recording
from ._paths import note_read, readable_file

FORMATS = ("table", "json", "csv")


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "events", "list the events found in a recording: steps, grasps, faults",
        "Find the events of each record from its products alone: behaviour steps, grasps and\n"
        "releases (info); missed grasps, items unseen, cameras moved, arms too close, stalled\n"
        "controllers and overrun plans (warning); drops, collisions, damaged values and time\n"
        "stamps out of order (error). Times are seconds after the record's first product, as\n"
        "the player counts them; numbers count each record's events from 1.\n"
        + textwrap.fill(f"Kinds: {', '.join(KINDS)}.", 86),
        ["mirvane events run.rec --severity warning",
         "mirvane events run.rec --index -1 --kind drop,stall --format json",
         "mirvane events --follow live.mcap    # while a recorder writes it"],
        _options.recording(help="the recording file to search"),
        _options.index("only", None, "all records"),
        Argument("--severity", choices=SEVERITIES, default=SEVERITIES[0], metavar="LEVEL",
                 help=f"only events of this severity or worse: {', '.join(SEVERITIES)} (default: info, all)"),
        Argument("--kind", type=_kinds, metavar="K[,K...]", help="only events of these kinds (default: every kind)"),
        Argument("--clearance", type=_clearance, default=ARM_CLEARANCE, metavar="METRES",
                 help=f"how far apart two arms' links keep, surface to surface: closer is a near-collision "
                      f"(default: {ARM_CLEARANCE:g})"),
        Argument("--follow", action="store_true",
                 help="read an MCAP file while its recorder writes it (and the numbered files it splits into "
                      "after it): print each event as found, and stop once the recorder has closed it; numbers "
                      "count events in the order found"),
        Argument("--format", choices=FORMATS, default="table",
                 help="a table (default), JSON lines or CSV with a header; JSON and CSV carry every field, "
                      "stamp_ns and product too; robot names the robots an event concerns (a drop's: the arm "
                      "the box fell from)"))


def _kinds(text: str) -> List[str]:
    kinds = [kind.strip() for kind in text.split(",")]
    unknown = [kind for kind in kinds if kind not in KINDS]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown kind {', '.join(map(repr, unknown))}; "
                                         f"give some of {', '.join(KINDS)}, separated by commas")
    return kinds


def _clearance(text: str) -> float:
    try:
        metres = float(text)
    except ValueError:
        metres = math.nan
    if not 0.0 <= metres < math.inf:
        raise argparse.ArgumentTypeError(f"{text!r} is no distance; give metres of 0 or more, such as 0.05")
    return metres


def run(args: argparse.Namespace) -> None:
    if args.follow:
        _follow(args)
        return
    stream = streamed_recording(args.recording)
    with reading(args.recording):
        # Picked, and the first record opened, before anything is printed.
        if args.index is None:
            records: Iterator[Tuple[int, Tuple[Record, Iterator[Block]]]] = enumerate(stream.blocks())
        else:
            position, header, blocks = stream.record_blocks(args.index)
            records = iter([(position, (header, blocks))])
        first = next(records, None)

    def found() -> Iterator[Event]:
        with reading(args.recording):
            for position, (header, blocks) in itertools.chain([first] if first else [], records):
                yield from ordered_events(header.project, blocks, position, clearance=args.clearance)

    _write(args, found())
    note_read(args.recording, stream.newer, stream.notes)


def _follow(args: argparse.Namespace) -> None:
    """Events printed as the recorder writes the file, until it closes it."""
    from ..analysis.following import arriving_events
    from ..formats.split import followed

    if args.index is not None:
        raise UserError("--follow lists every record as it is written; leave out --index")
    if not is_mcap(args.recording):
        raise UserError(f"{args.recording}: --follow reads an MCAP file a recorder is writing; give its .mcap file")
    readable_file(args.recording, "recording")
    sys.stdout.reconfigure(line_buffering=True)   # type: ignore[union-attr]  # each event out as found

    def found() -> Iterator[Event]:
        with reading(args.recording):
            pairs = followed(args.recording, lambda note: warn(f"note: {note}"))
            yield from arriving_events(pairs, clearance=args.clearance)

    _write(args, found())


def _write(args: argparse.Namespace, events: Iterator[Event]) -> None:
    """The events of the severity and kinds asked for, in the format asked for."""
    least = SEVERITIES.index(args.severity)
    chosen = (event for event in events
              if SEVERITIES.index(event.severity) >= least and (not args.kind or event.kind in args.kind))
    with printing():
        write = {"table": _table, "json": _json, "csv": _csv}[args.format]
        write(chosen)


def _json(events: Iterable[Event]) -> None:
    for event in events:
        print(json_text(dataclasses.asdict(event)))


def _csv(events: Iterable[Event]) -> None:
    writer = csv.writer(sys.stdout, lineterminator="\n")
    writer.writerow(field.name for field in dataclasses.fields(Event))
    for event in events:
        writer.writerow(dataclasses.astuple(event))


def _table(events: Iterable[Event]) -> None:
    print(f"{'record':>6} {'#':>4} {'time s':>9} {'end s':>9}  {'severity':8} {'kind':14} {'subject':12} "
          f"{'robot':12} text")
    severities: Counter[str] = Counter()
    for event in events:
        severities[event.severity] += 1
        print(f"{event.record:>6} {event.number:>4} {event.time:>9.3f} {event.end:>9.3f}  {event.severity:8} "
              f"{event.kind:14} {event.subject:12} {event.robot or '-':12} {event.text}")
    shown = sum(severities.values())
    print(f"{shown} event{'s' * (shown != 1)}: {tally(severities)}")
