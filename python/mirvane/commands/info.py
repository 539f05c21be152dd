"""``mirvane info``: one line per record of a recording file."""

import argparse
import datetime
import sys
from typing import Any, Dict

from ..analysis.events import record_events, tally
from ..data import span_seconds
from ..scene import KINDS, kind_of
from . import described, _options
from ._loading import chosen_position, load_project, load_recording
from ._lacking import warn_lacking


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "info", "list the records of a recording file",
        "Print one line per record: its position, stop time, span in seconds, the number\n"
        "of products of each kind and of warnings and errors ('mirvane events' lists them).\n"
        "'mirvane replay --index -1' plays the record marked latest, the one that stopped\n"
        "last. With --project, also warn of what the records have that the project lacks.",
        ["mirvane info run.rec --project run.mvproj"],
        _options.recording(help="the recording to list: a recording file, or an MCAP file a recorder wrote"),
        _options.project(help="a project file to replay it with: warn of robots, cameras and items it lacks"))


def run(args: argparse.Namespace) -> None:
    records = load_recording(args.recording).records()
    if args.project:
        warn_lacking(load_project(args.project), records, args.project, args.recording)
    if not records:
        print(f"{args.recording} holds no records (a valid, empty recording)", file=sys.stderr)
    latest = chosen_position(-1, records, args.recording) if records else None
    for position, record in enumerate(records):
        counts: Dict[str, int] = dict.fromkeys(KINDS + ("none",), 0)
        for product in record.products:
            counts[kind_of(product) or "none"] += 1
        products = ", ".join(f"{kind} {n}" for kind, n in counts.items())
        mark = " (latest)" if position == latest else ""
        print(f"{position}: stop {_when(record.stop_timestamp_ns)}, span {span_seconds(record):.3f} s, "
              f"products: {products}; {tally(record_events(record, position))}{mark}")


def _when(timestamp_ns: int) -> str:
    try:
        moment = datetime.datetime.fromtimestamp(timestamp_ns // 1_000_000_000, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{timestamp_ns} ns"
    return f"{moment:%Y-%m-%d %H:%M:%S}.{timestamp_ns % 1_000_000_000 // 1_000_000:03d} UTC"
