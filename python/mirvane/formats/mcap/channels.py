"""The export's channels and their messages' types, its bounds, and the errors of every MCAP module."""

import os
from contextlib import contextmanager
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Type, cast

from foxglove_schemas_protobuf.Log_pb2 import Log
from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
from google.protobuf import message as pb_message
from dravik.api import data_pb2, export_pb2, system_pb2

from ... import scene
from ...records import DataFileError, UnfinishedFileError


def _foxglove_event() -> Optional[Type[pb_message.Message]]:
    """foxglove.Event, where the installed schemas have it."""
    try:
        from foxglove_schemas_protobuf import Event_pb2  # type: ignore[attr-defined, unused-ignore]
    except ImportError:
        return None
    return cast(Type[pb_message.Message], Event_pb2.Event)


#: A progress callback: called with (bytes of the input done, bytes in all).
Progress = Callable[[int, int], None]

RECORD = "/record"
START = "/workspace/start"
SCENE = "/scene"
#: The product parts in the order replay tests them, with their channels.
PARTS: Tuple[Tuple[str, str, Type[pb_message.Message]], ...] = tuple(
    (kind, "/" + kind, getattr(system_pb2, kind.capitalize())) for kind in scene.KINDS)
PART_OF = {topic: part for part, topic, _ in PARTS}
CHANNELS: Dict[str, Type[pb_message.Message]] = {
    RECORD: export_pb2.RecordHeader,
    START: system_pb2.WorkspaceState,
    **{topic: cls for _, topic, cls in PARTS},
    SCENE: SceneUpdate,
}
EVENTS = "/events"
EVENT_SPANS = "/events/spans"
#: foxglove.Event, or None where the installed schemas lack it.
FOXGLOVE_EVENT = _foxglove_event()
#: The channels of a record's events: derived from its products, so never imported.
EVENT_CHANNELS: Dict[str, Type[pb_message.Message]] = {
    EVENTS: Log, **({EVENT_SPANS: FOXGLOVE_EVENT} if FOXGLOVE_EVENT else {})}

#: Uncompressed bytes a chunk gathers before it is written.
CHUNK_BYTES = 1024 * 1024

#: Chunks the export lets compress on a thread of their own while it gathers the next: a block of
#: products (``ProductStream.blocks``) makes about 25, which then compress while the next block is
#: laid out, and at most this many uncompressed megabytes wait.
CHUNKS_AHEAD = 32

INT64 = 2 ** 63
PROGRESS_EVERY = 4096      # products or messages between progress updates


class McapError(DataFileError):
    """An MCAP export or import cannot be made from the given file; the message names it."""


class UnfinishedMcapError(McapError, UnfinishedFileError):
    """An MCAP file that ends before its closing summary; the message says how to recover it."""


def part_messages(product: data_pb2.Product) -> List[Tuple[str, bytes]]:
    """The channel and serialized message of each part ``product`` carries, in kind order."""
    return [(topic, getattr(product, part).SerializeToString(deterministic=True))
            for part, topic, _ in PARTS if product.HasField(part)]


@contextmanager
def opened(path: str, opener: Callable[[str], Any]) -> Iterator[Any]:
    """``opener(path)`` as a context manager, a file that cannot be opened being a McapError."""
    try:
        handle = opener(path)
    except OSError as e:
        raise McapError(path, f"cannot be read ({e.strerror or e})") from None
    with handle:
        yield handle


def capped(f: IO[bytes], size: int) -> IO[bytes]:
    """``f`` (``size`` bytes long) for the mcap library's reader, never asked for more than it has
    left: a damaged length within a record (a chunk's data, a string) then reads short and is
    refused, rather than having the size it declares allocated first."""
    return cast(IO[bytes], _Capped(f, size))


class _Capped:
    def __init__(self, f: IO[bytes], size: int) -> None:
        self._f, self._left = f, max(0, size - f.tell())     # read on from here, never sought meanwhile

    def read(self, n: int = -1) -> bytes:
        data = self._f.read(self._left if n < 0 or n > self._left else n)
        self._left -= len(data)
        return data


def file_size(path: str) -> int:
    """The file's size, 0 when it cannot be read (reading it then says why)."""
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
