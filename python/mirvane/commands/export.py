"""``mirvane export``: a recording as an MCAP file or a Rerun recording, for robotics viewers."""

import argparse
import os
from typing import Any

from . import Argument, UserError, described, _options
from ._convert import MCAP_EXT, RRD_EXT, converting, counted
from ._files import has_records, note_newer, readable_file, writable_destination

#: The output's extension: what it is called and the extra that writes it.
FORMATS = {MCAP_EXT: ("MCAP file", "mcap"), RRD_EXT: ("Rerun recording", "rerun")}


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    return described(
        subparsers, "export", "write a recording as an MCAP file or a Rerun recording for robotics tools",
        "Write the records of RECORDING into OUT, one after another on its time axis.\n"
        "OUT.mcap: a channel per product kind (/perception, /decision, /planner, /controller),\n"
        "/workspace/start with each record's starting state and /scene, the work cell in\n"
        "3D as it moves. MCAP viewers open it; 'mirvane import' reads it back.\n"
        "Needs the mcap extra: pip install 'mirvane[mcap]'.\n"
        "OUT.rrd: a Rerun recording, the cell in 3D under world/, the arms' joints and\n"
        "effectors plotted under plots/, decisions and plans as text logs under log/.\n"
        "Needs the rerun extra: pip install 'mirvane[rerun]'.",
        ["mirvane export run.rec run.mcap",
         "mirvane export run.rec run.rrd && rerun run.rrd",
         "mirvane export run.rec last.mcap --index -1    # only the record that stopped last"],
        _options.recording(help="the recording to export: a recording file, or an MCAP file a recorder wrote"),
        Argument("out", metavar="OUT", help="the file to write: .mcap or .rrd"),
        _options.index("export only", None, "all records"),
        _options.quiet())


def run(args: argparse.Namespace) -> None:
    readable_file(args.recording, "recording")
    extension = os.path.splitext(args.out)[1].lower()
    if extension not in FORMATS:
        raise UserError(f"{args.out}: the name of the MCAP file must end in {MCAP_EXT}, or that of a Rerun "
                        f"recording in {RRD_EXT}; choose one that does")
    kind, extra = FORMATS[extension]
    writable_destination(args.out, extension, kind, inputs=[args.recording])
    has_records(args.recording, "nothing to export")
    hint = "check it with 'mirvane info' or make a recording with 'mirvane record'"
    with converting(args.out, "exporting", hint, args.quiet, extra) as progress:
        counts: Any
        if extra == "rerun":
            from ..formats.rrd import export_rrd

            counts = export_rrd(args.recording, args.out, args.index, progress=progress)
        else:
            from ..formats.mcap import export_mcap

            counts = export_mcap(args.recording, args.out, args.index, progress=progress)
    note_newer(args.recording, counts.newer)
    print(f"Exported {counted(counts)} of {args.recording} to {args.out}")
