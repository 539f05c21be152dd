"""``mirvane diff``: two recorded runs compared product by product, for scripts and for people."""

import argparse
import dataclasses
import math
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from dravik.api.data_pb2 import Record

from ..records import json_text
from ..analysis.align import Alignment, AlignmentError
from ..analysis.compare import EVENT_TOLERANCE_S, Comparison, Difference, Run, compare_runs
from ..analysis.events import Event
from . import Argument, _options, described, printing
from ..formats.columns import Block
from ..formats.productstream import ProductStream
from ._loading import reading, streamed_recording
from ._paths import note_newer

FORMATS = ("table", "json")
#: Exit statuses, as diff's: alike within the tolerance, different (trouble is a user error's, 2).
ALIKE, DIFFERENT = 0, 1


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    def index(run: str) -> Argument:
        return Argument(f"--index-{run.lower()}", type=int, default=-1, metavar="I",
                        help=f"the record of {run} to compare, as 'mirvane replay --index' picks it (default: -1, "
                             "the one that stopped last)")
    return described(
        subparsers, "diff", "compare two recorded runs: where they first differ, their figures, their events",
        "Compare a record of A with one of B, product by product, from where both are under way:\n"
        "the first pair that differs (its time, kind, and the values beyond the tolerance, with both),\n"
        "then the runs' figures side by side (span, steps, cycles, items moved, events by severity\n"
        "and kind) and the events only one run has (paired by kind and subject within the event\n"
        "tolerance; the loud ones first). Value paths are as the player's field box takes them.\n"
        "B is placed against A by its start (default), an offset, or the first event of a kind in\n"
        "each. Exit status 0: alike within the tolerance; 1: different; 2: trouble (a file, an index\n"
        "or an event not found).",
        ["mirvane diff clean.rec faulty.rec",
         "mirvane diff a.rec b.rec --align-event grasp:box_1 --tolerance 0.005 --format json"],
        Argument("recording_a", metavar="A", help="the first recording: a recording file, or an MCAP file"),
        Argument("recording_b", metavar="B", help="the second recording, compared with the first"),
        index("A"), index("B"),
        *_options.alignment(),
        Argument("--tolerance", type=_tolerance, default=0.0, metavar="T",
                 help="values (metres, radians, seconds) within T of each other are alike (default: 0, exact)"),
        Argument("--event-tolerance", type=_tolerance, default=EVENT_TOLERANCE_S, metavar="S",
                 help="an event of A and one of B of the same kind and subject at most S seconds apart, after "
                      f"the alignment, are one event of both (default: {EVENT_TOLERANCE_S:g})"),
        Argument("--format", choices=FORMATS, default="table",
                 help="a report for people (default) or one JSON object for scripts"))


def _tolerance(text: str) -> float:
    value = _options.finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be zero or more, not {text!r}")
    return value


def run(args: argparse.Namespace) -> int:
    alignment = _options.chosen_alignment(args)
    streams = [streamed_recording(path) for path in (args.recording_a, args.recording_b)]
    positions = []
    for stream, index in zip(streams, (args.index_a, args.index_b)):
        with reading(stream.path):
            positions.append(stream.record(index)[0])
    runs = [_run(stream, position) for stream, position in zip(streams, positions)]
    try:
        comparison = compare_runs(runs[0], runs[1], alignment, args.tolerance, (positions[0], positions[1]),
                                  args.event_tolerance)
    except AlignmentError as e:
        raise _options.not_aligned(alignment, e) from None
    for stream in streams:
        note_newer(stream.path, stream.newer)
    (a_path, b_path), (a_index, b_index) = (args.recording_a, args.recording_b), positions
    names = (f"{a_path} record {a_index}", f"{b_path} record {b_index}")
    with printing():
        if args.format == "json":
            _json(comparison, names, alignment)
        else:
            _table(comparison, names, alignment)
    return ALIKE if comparison.difference is None else DIFFERENT


def _run(stream: ProductStream, position: int) -> Run:
    """The record at ``position`` of ``stream``, opened afresh at each call, what goes wrong
    reading it refused as ``reading`` refuses it."""
    def opened() -> Tuple[Record, Iterator[Block]]:
        with reading(stream.path):
            _, header, blocks = stream.record_blocks(position)
        return header, _read(stream.path, blocks)
    return opened


def _read(path: str, blocks: Iterator[Block]) -> Iterator[Block]:
    with reading(path):
        yield from blocks


def _table(comparison: Comparison, names: Tuple[str, str], alignment: Alignment) -> None:
    aligned, difference = comparison.aligned, comparison.difference
    print(f"A: {names[0]}\nB: {names[1]}")
    anchors = aligned.anchors
    at = f" (A {anchors[0].time:.3f} s, B {anchors[1].time:.3f} s)" if anchors else ""
    print(f"aligned by {alignment}{at}: B's start at A's {aligned.offset_s:+.3f} s; "
          f"tolerance {comparison.tolerance:g}; events paired within {comparison.event_tolerance:g} s")
    print()
    if difference is None:
        print("alike: no products differ beyond the tolerance")
    else:
        print(f"first difference: {_where(difference)}")
        width = max((len(f.path) for f in difference.fields), default=0)
        for f in difference.fields:
            print(f"  {f.path:{width}}  A {_value(f.a)}  B {_value(f.b)}")
    print()
    rows = [table.table() for table in comparison.metrics]
    shown = [name for name in rows[0] if not name.startswith("events: ") or rows[0][name] or rows[1][name]]
    width = max(len(name) for name in shown)
    print(f"{'':{width}}  {'A':>10}  {'B':>10}")
    for name in shown:
        a, b = rows[0][name], rows[1][name]
        mark = "" if a == b else "  *"
        print(f"{name:{width}}  {_figure(a):>10}  {_figure(b):>10}{mark}")
    for run, only in zip("AB", comparison.only):
        print(f"\nevents only in {run}: {len(only)}")
        for event in only:
            print(f"  {event.number:>4} {event.time:>9.3f} s  {event.severity:8} {event.kind:14} {event.text}")


def _where(difference: Difference) -> str:
    def side(run: str, product: Optional[int], time: Optional[float], kind: str) -> str:
        if product is None:
            return f"{run} has no more products"
        return f"{run} {time:.3f} s, product {product}, {kind or 'no part'}"
    return "; ".join((side("A", difference.a_product, difference.a_time, difference.a_kind),
                      side("B", difference.b_product, difference.b_time, difference.b_kind)))


def _value(value: Any) -> str:
    if value is None:
        return "(none)"
    if isinstance(value, float):
        return repr(value)
    return repr(value) if isinstance(value, str) and not value.startswith("{") else str(value)


def _figure(value: float) -> str:
    return f"{value:.3f}" if isinstance(value, float) else str(value)


def _json(comparison: Comparison, names: Tuple[str, str], alignment: Alignment) -> None:
    aligned = comparison.aligned

    def events(only: Sequence[Event]) -> List[Dict[str, Any]]:
        return [dataclasses.asdict(event) for event in only]

    report = {
        "alike": comparison.difference is None,
        "a": names[0], "b": names[1],
        "alignment": {"rule": alignment.rule.value, "offset_s": aligned.offset_s,
                      "event": f"{alignment.kind}:{alignment.subject}".rstrip(":") if alignment.kind else None,
                      "anchors": [event.time for event in aligned.anchors] if aligned.anchors else None},
        "tolerance": comparison.tolerance, "event_tolerance": comparison.event_tolerance,
        "first_difference": dataclasses.asdict(comparison.difference) if comparison.difference else None,
        "metrics": {run: dataclasses.asdict(metrics) for run, metrics in zip("ab", comparison.metrics)},
        "only_in_a": events(comparison.only[0]), "only_in_b": events(comparison.only[1]),
    }
    print(json_text(_plain(report)))


def _plain(value: Any) -> Any:
    """``value`` with numbers JSON has no words for (not a number, infinities) as text."""
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, dict):
        return {key: _plain(v) for key, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value

