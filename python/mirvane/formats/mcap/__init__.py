"""Recordings as MCAP files, the log format robotics tools open, and back.

``export_mcap`` writes a recording file's records into one MCAP file whose
messages are protobuf with their schemas embedded, so any MCAP reader decodes
them without mirvane's ``.proto`` files; ``import_mcap`` reads such a file back
into a recording file whose records equal the original ones.

Channels (a message's sequence number is its product's position in the record,
or the record's position in the file for the three messages that open a record):

* ``/record`` (``dravik.api.RecordHeader``) opens each record: its project,
  start and stop time stamps, the products that carry no part, the number of
  products and the record's time offset, and whatever fields a newer version
  wrote into the record and its products. Only import needs it.
* ``/workspace/start`` (``dravik.api.WorkspaceState``): the record's starting
  workspace state, at the record's first log time.
* ``/perception``, ``/decision``, ``/planner``, ``/controller``: each present
  part of each product, as recorded, at the product's log time. A product with
  several parts has one message on each of their channels.
* ``/scene`` (``foxglove.SceneUpdate``): a drawing of ``mirvane.scene``, the
  work cell rebuilt the way ``Replay.play`` rebuilds it (robots as their
  links, items as boxes, cameras as their field of view; a damaged value as a
  red sphere, named in its entity's metadata), once at the start of a record
  and after every product that moves something, so a 3D panel shows the cell
  moving; names as text, joints as spheres, as the Rerun export draws them.
  Each holds the whole cell (the first of a record also deletes what the record
  before showed), so a tool that seeks to any time shows it complete.
* ``/events`` (``foxglove.Log``), when the export is given them (``events=``, as
  ``mirvane export`` gives those of ``mirvane.analysis.events``): the record's events,
  each at its time: level from its severity, ``name`` its kind, ``message``
  its text; a range event (a stall, an item unseen) also at its end, its
  message then beginning "ended: ". Where the installed schemas have
  ``foxglove.Event`` (foxglove-schemas-protobuf 0.4, on Python 3.10 and newer),
  ``/events/spans`` holds each event as one, from its time to its end, its
  kind, severity, subject, robot, text and number as metadata. Import skips both:
  events are found from the products, never read back.

Time axis: all records go into one file, one after another, as
``mirvane.formats.timeline`` places them. A message's log time is its product's
time stamp plus the record's offset, which is zero unless the record would
start before the previous one has ended (records recorded one after another,
as a real cell and ``mirvane.simulation.cell`` make them, keep their own times)
or at a negative time; the offset travels in ``/record`` so that import
restores every time stamp exactly. Log times run from 0 to 2**64-1 and the
offset to 2**63-1: a record that needs more is refused, naming it and the stamp.

Chunks end only between products, so a file cut short anywhere holds whole
products: ``mirvane.formats.recorder`` writes through the same ``LayoutWriter``,
its records opened by a ``streamed`` header (their products not yet known).

Import reads the file in file order, holding one record at a time; messages of
one log time are taken a record's opening messages first, so a file whose
messages were re-sorted by time reads the same. A record's products are placed
by their sequence numbers. A file with no ``/record`` channel (written by
another tool) is read as well: each ``/workspace/start`` message begins a
record, its products follow, and messages with equal log time and sequence
number on different channels make up one product. The summary is optional.

Every MCAP file mirvane reads goes through ``McapRecords``, which refuses,
before decompressing, a chunk declaring more than ``MAX_EXPANSION`` times the
file's size or ``MAX_CHUNK_BYTES``, and a record declaring more than the file
holds; it refuses an unfinished file (cut short, or still being written) with
an ``UnfinishedMcapError`` saying how to recover it, or, with ``partial``, reads
what it holds (``recover_mcap``): every whole chunk, damaged bytes between them
skipped and listed, up to where it stops.

Both directions stream (one record's products in memory at most), show a
progress bar when asked, and replace their output whole or not at all. Every
problem with the input is a ``McapError`` naming the file.

One module a concept: ``channels`` (the channels, bounds and errors), ``layout``
(the writer, over the native ``_columns.Layout``), ``chunked`` (the file's records
around the chunks built natively), ``scene_channel`` (over the native
``_columns.SceneDrawing``), ``events_channel``, ``bounded`` (the bounded reader),
``assembly`` (records from messages, their schemas checked) and ``convert``
(whole files: export, import, recovery).
"""

try:    # the extra's packages, named at once when one is missing
    import foxglove_schemas_protobuf  # noqa: F401
    import mcap  # noqa: F401
    import mcap_protobuf  # noqa: F401
    import tqdm  # noqa: F401
except ImportError as e:  # pragma: no cover - depends on how mirvane was installed
    raise ImportError(f"mirvane.formats.mcap needs the mcap extra: pip install 'mirvane[mcap]' ({e})") from e

from .assembly import RecordAssembly
from .bounded import MAX_CHUNK_BYTES, MAX_EXPANSION, McapRecords, Skipped
from .channels import (CHANNELS, CHUNK_BYTES, EVENT_CHANNELS, EVENT_SPANS, EVENTS, PARTS, RECORD, SCENE, START,
                       McapError, Progress, UnfinishedMcapError, part_messages)
from .convert import Recovery, export_mcap, import_mcap, imported_recording, recover_mcap
from .events_channel import event_messages
from .layout import LayoutWriter, RecordsWriter
from .scene_channel import SceneChannel

__all__ = [
    "CHANNELS", "CHUNK_BYTES", "EVENT_CHANNELS", "EVENT_SPANS", "EVENTS", "MAX_CHUNK_BYTES", "MAX_EXPANSION",
    "PARTS", "RECORD", "SCENE", "START", "LayoutWriter", "McapError", "McapRecords", "Progress",
    "RecordAssembly", "RecordsWriter", "Recovery", "SceneChannel", "Skipped", "UnfinishedMcapError", "event_messages",
    "export_mcap", "import_mcap", "imported_recording", "part_messages", "recover_mcap",
]
