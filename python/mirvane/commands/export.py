"""``mirvane export``: a recording as an MCAP file, for the robotics world's log viewers."""

import argparse
from typing import Any

from . import described
from ._convert import MCAP_EXT, converting, counted
from ._files import has_records, note_newer, readable_file, writable_destination


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser = described(
        subparsers, "export", "write a recording as an MCAP file for robotics tools",
        "Write the records of RECORDING into OUT.mcap, one after another on its time\n"
        "axis: a channel per product kind (/perception, /decision, /planner, /controller),\n"
        "/workspace/start with each record's starting state and /scene, the work cell in\n"
        "3D as it moves. MCAP viewers open it; 'mirvane import' reads it back.\n"
        "Needs the mcap extra: pip install 'mirvane[mcap]'.",
        "mirvane export run.rec run.mcap",
        "mirvane export run.rec last.mcap --index -1    # only the record that stopped last")
    parser.add_argument("recording", metavar="RECORDING", help="the recording file to export")
    parser.add_argument("out", metavar="OUT.mcap", help="the MCAP file to write")
    parser.add_argument("--index", type=int, metavar="I",
                        help="export only the record at this position, negative ones counting from the end "
                             "but -1: the one that stopped last (default: all records; 'mirvane info' "
                             "lists them)")
    parser.add_argument("--quiet", action="store_true", help="print no progress")
    return parser


def run(args: argparse.Namespace) -> None:
    readable_file(args.recording, "recording")
    writable_destination(args.out, MCAP_EXT, "MCAP file", inputs=[args.recording])
    has_records(args.recording, "nothing to export")
    hint = "check it with 'mirvane info' or make a recording with 'mirvane record'"
    with converting(args.out, "exporting", hint, args.quiet) as progress:
        from ..mcap import export_mcap

        counts = export_mcap(args.recording, args.out, args.index, progress=progress)
    note_newer(args.recording, counts.newer)
    print(f"Exported {counted(counts)} of {args.recording} to {args.out}")
