"""``mirvane recover``: a whole MCAP file from one its writer did not close (a killed recorder's)."""

import argparse
import os
from typing import Any, List

from . import Argument, UserError, described
from ._convert import MCAP_EXT, converting
from ._paths import readable_file, writable_destination


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "recover", "write a whole MCAP file from an unfinished or damaged one",
        "Read BROKEN.mcap up to where it stops being readable (a recorder killed mid-run\n"
        "leaves everything up to its last flush), skipping damaged bytes to the next whole\n"
        "chunk, and write what it holds, whole products in order, into FIXED.mcap; say how\n"
        "much was kept, what was skipped where and what was lost. FIXED.mcap is replaced\n"
        "only with --force. Exit status 0 only when FIXED.mcap reads back whole. Needs the\n"
        "mcap extra: pip install 'mirvane[mcap]'.",
        ["mirvane recover run.mcap fixed.mcap && mirvane info fixed.mcap"],
        Argument("broken", metavar="BROKEN.mcap", help="the MCAP file to recover"),
        Argument("fixed", metavar="FIXED.mcap", help="the whole MCAP file to write"),
        Argument("--force", action="store_true", help="replace FIXED.mcap if it exists"))


def run(args: argparse.Namespace) -> None:
    readable_file(args.broken, "MCAP file", make_one="give the file a recorder wrote")
    writable_destination(args.fixed, MCAP_EXT, "MCAP file", inputs=[args.broken])
    if os.path.lexists(args.fixed) and not args.force:
        raise UserError(f"{args.fixed}: exists; give --force to replace it, or another name")
    with converting(args.fixed, "recovering", "nothing was written", quiet=True):
        from ..formats.mcap import recover_mcap

        kept = recover_mcap(args.broken, args.fixed)
    what = f"Recovered {kept.records} record{'s' * (kept.records != 1)} ({kept.products} products) " \
           f"of {args.broken} into {args.fixed}"
    if not kept.stopped and not kept.skipped:
        print(f"{what}: it was whole, nothing lost")
        return
    said: List[str] = [f"skipped the damaged bytes {s.start:,} to {s.end:,} ({s.why}) and read on from the next "
                       "whole chunk" for s in kept.skipped]
    lost = kept.size - kept.kept_bytes
    if kept.stopped and lost:
        said.append(f"lost its last {lost:,} of {kept.size:,} bytes ({kept.stopped.split(': ', 1)[-1]}): "
                    "a recorder's file loses what it wrote after its last flush")
    elif kept.stopped:
        said.append("it ends after its last whole chunk, without the summary a closed file has: nothing lost there")
    print(f"{what}; {'; '.join(said)}")
