"""``mirvane info``: one line per record of a recording file."""

import argparse
import datetime
import sys
from collections import Counter
from typing import Any, List

from ..analysis.events import tally
from ..analysis.metrics import MetricsFold
from ..analysis.ordering import found_events
from ..records import record_position, seconds_between
from . import described, _options
from ._loading import load_project, reading, streamed_recording
from ._lacking import RecordedNames, warn_lacking
from ._paths import note_read


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
    stream = streamed_recording(args.recording)
    names = RecordedNames()
    stops: List[int] = []
    lines: List[str] = []
    with reading(args.recording):
        for position, (header, blocks) in enumerate(stream.blocks()):
            names.record(header)
            fold = MetricsFold()
            counted = fold.folded(names.folded(blocks) if args.project else blocks, args.recording)
            severities = Counter(event.severity for event in found_events(header.project, counted, position))
            counts = fold.products
            first, last = fold.first_ns, fold.last_ns
            span = seconds_between(first, last) if first is not None and last is not None else 0.0
            stops.append(header.stop_timestamp_ns)
            kinds = ", ".join(f"{kind} {n}" for kind, n in counts.items())
            lines.append(f"{position}: stop {_when(header.stop_timestamp_ns)}, span {span:.3f} s, "
                         f"products: {kinds}; {tally(severities)}")
    note_read(args.recording, stream.newer, stream.notes)
    if args.project:
        warn_lacking(load_project(args.project), names, args.project, args.recording)
    if not lines:
        print(f"{args.recording} holds no records (a valid, empty recording)", file=sys.stderr)
    latest = record_position(-1, len(stops), lambda: stops, args.recording) if stops else None
    for position, line in enumerate(lines):
        print(line + (" (latest)" if position == latest else ""))


def _when(timestamp_ns: int) -> str:
    try:
        moment = datetime.datetime.fromtimestamp(timestamp_ns // 1_000_000_000, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{timestamp_ns} ns"
    return f"{moment:%Y-%m-%d %H:%M:%S}.{timestamp_ns % 1_000_000_000 // 1_000_000:03d} UTC"
