"""``mirvane export``: a recording as an MCAP file or a Rerun recording, for robotics viewers."""

import argparse
import contextlib
import os
from typing import Any, Iterator, Optional, Tuple

from . import Argument, UserError, described, _options
from ._convert import MCAP_EXT, RRD_EXT, converting, counted
from ._arguments import chosen_span
from ._paths import has_records, note_newer, readable_file, writable_destination

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
         "mirvane export run.rec last.mcap --index -1    # only the record that stopped last",
         "mirvane export run.rec grasp.mcap --from 12 --to 15    # seconds 12 to 15 of each record"],
        _options.recording(help="the recording to export: a recording file, or an MCAP file a recorder wrote"),
        Argument("out", metavar="OUT", help="the file to write: .mcap or .rrd"),
        _options.index("export only", None, "all records"),
        _options.span_from(help="export each record from this many seconds after its first product, starting "
                                "in the state it is in then (default: its start)"),
        _options.span_to(help="export each record up to this many seconds after its first product (default: its end)"),
        _options.quiet(help="print nothing but warnings and errors"))


def run(args: argparse.Namespace) -> None:
    readable_file(args.recording, "recording")
    extension = os.path.splitext(args.out)[1].lower()
    if extension not in FORMATS:
        raise UserError(f"{args.out}: the name of the MCAP file must end in {MCAP_EXT}, or that of a Rerun "
                        f"recording in {RRD_EXT}; choose one that does")
    kind, extra = FORMATS[extension]
    from ..formats.split import run_files

    writable_destination(args.out, extension, kind, inputs=run_files(args.recording))
    has_records(args.recording, "nothing to export")
    hint = "check it with 'mirvane info' or make a recording with 'mirvane record'"
    with converting(args.out, "exporting", hint, args.quiet, extra) as progress, \
            _spanned(args) as (source, index):
        from ..analysis.events import product_events

        counts: Any
        if extra == "rerun":
            from ..formats.rrd import export_rrd

            counts = export_rrd(source, args.out, index, progress=progress, events=product_events)
        else:
            from ..formats.mcap import export_mcap

            counts = export_mcap(source, args.out, index, progress=progress, events=product_events)
    note_newer(args.recording, counts.newer)
    if not args.quiet:
        print(f"Exported {counted(counts)} of {args.recording} to {args.out}")


@contextlib.contextmanager
def _spanned(args: argparse.Namespace) -> Iterator[Tuple[str, Optional[int]]]:
    """The recording to export and the index to export of it: the user's, or with ``--from`` or
    ``--to`` a temporary one of the chosen records cut to that span."""
    if args.span_from is None and args.span_to is None:
        yield args.recording, args.index
        return
    from ..formats.spans import spanned_recording

    start, end = chosen_span(args.span_from, args.span_to)
    with spanned_recording(args.recording, start, end, args.index) as (cut, kept):
        if not kept:
            which = f"record {args.index} of {args.recording} has" if args.index is not None else \
                f"no record of {args.recording} has"
            raise UserError(f"{which} products from {start:g} s to {end:g} s after its first; "
                            "see the records' spans with 'mirvane info'")
        yield cut, None
