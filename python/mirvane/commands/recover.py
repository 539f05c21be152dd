"""``mirvane recover``: a whole MCAP file from one its writer did not close (a killed recorder's)."""

import argparse
from typing import Any

from . import Argument, described
from ._convert import MCAP_EXT, converting
from ._paths import readable_file, writable_destination


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "recover", "write a whole MCAP file from an unfinished or damaged one",
        "Read BROKEN.mcap up to where it stops being readable (a recorder killed mid-run\n"
        "leaves everything up to its last flush) and write what it holds, whole products\n"
        "in order, into FIXED.mcap; say how much was kept and lost. Exit status 0 only\n"
        "when FIXED.mcap reads back whole. Needs the mcap extra: pip install 'mirvane[mcap]'.",
        ["mirvane recover run.mcap fixed.mcap && mirvane info fixed.mcap"],
        Argument("broken", metavar="BROKEN.mcap", help="the MCAP file to recover"),
        Argument("fixed", metavar="FIXED.mcap", help="the whole MCAP file to write"))


def run(args: argparse.Namespace) -> None:
    readable_file(args.broken, "MCAP file", make_one="give the file a recorder wrote")
    writable_destination(args.fixed, MCAP_EXT, "MCAP file", inputs=[args.broken])
    with converting(args.fixed, "recovering", "nothing was written", quiet=True):
        from ..formats.mcap import recover_mcap

        kept = recover_mcap(args.broken, args.fixed)
    what = f"{kept.records} record{'s' * (kept.records != 1)} ({kept.products} products)"
    if not kept.stopped:
        print(f"Recovered {what} of {args.broken} into {args.fixed}: it was whole, nothing lost")
        return
    lost = kept.size - kept.kept_bytes
    print(f"Recovered {what} of {args.broken} into {args.fixed}; lost its last {lost:,} of {kept.size:,} bytes "
          f"({kept.stopped.split(': ', 1)[-1]}): a recorder's file loses what it wrote after its last flush")
