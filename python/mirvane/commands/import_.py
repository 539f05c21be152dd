"""``mirvane import``: an MCAP file written by ``mirvane export`` (or with its channels) as a recording."""

import argparse
from typing import Any

from . import Argument, described, _options
from ._convert import MCAP_EXT, converting, counted
from ._paths import RECORDING_EXT, note_newer, readable_file, writable_destination


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "import", "read an MCAP file back into a recording",
        "Read IN.mcap, as 'mirvane export' writes it, into the recording file OUT.rec:\n"
        "the same records and products, stop times and starting states. An MCAP file\n"
        "from elsewhere works too if its channels and schemas are those of an export.\n"
        "Needs the mcap extra: pip install 'mirvane[mcap]'.",
        ["mirvane import run.mcap back.rec && mirvane info back.rec"],
        Argument("source", metavar="IN.mcap", help="the MCAP file to read"),
        _options.new_recording(),
        _options.quiet(help="print nothing but warnings and errors"))


def run(args: argparse.Namespace) -> None:
    readable_file(args.source, "MCAP file", make_one="write one with 'mirvane export'")
    writable_destination(args.out, RECORDING_EXT, "recording", inputs=[args.source])
    hint = "give an MCAP file written by 'mirvane export'"
    with converting(args.out, "importing", hint, args.quiet) as progress:
        from ..formats.mcap import import_mcap

        counts = import_mcap(args.source, args.out, progress=progress)
    note_newer(args.source, counts.newer)
    if not args.quiet:
        print(f"Imported {counted(counts)} of {args.source} to {args.out}")
