"""A batch of products as columns: serialized products in, numpy arrays out, decoded natively.

The one seam between the wire and array-minded readers: ``record_columns`` takes one serialized
``Record`` (a recording file's record, as ``RecordReader.offsets`` spans it), ``product_columns``
serialized ``Product``s (as an MCAP chunk yields them). Either gives ``Columns``: one row a
product, in order. Strings (robots, items, behaviours, steps, cameras) come as ``int32`` codes
into ``strings``, whose code 0 is the empty string, a proto3 string left unset. Variable-length
values (joints, effector values, waypoints, the poses perception saw) are flat arrays with
offsets: row ``i``'s joints are ``joints[joint_offsets[i]:joint_offsets[i + 1]]``, so arms of
different joint counts share one array. A pose is seven numbers: position x, y, z, then
orientation w, x, y, z. Fields are decoded by the schemas' numbers (tables generated at build
time from the .proto sources); unknown fields are skipped, and bytes the schema does not allow
(a length past its message's end, a varint running out, a known field with another wire type,
a string that is not UTF-8) raise ``DataFileError`` with the reason, never reading past them.
"""

import itertools
from dataclasses import dataclass, fields
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Tuple, Union

import numpy as np
import numpy.typing as npt

from .. import _columns
from ..records import DataFileError, PathLike
from ..scene import KINDS

Buffer = Union[bytes, bytearray, memoryview]
#: The parts in ``Columns.parts``' bits, from the lowest: the Product's fields in number order.
PARTS: Tuple[str, ...] = ("perception", "decision", "planner", "controller")
#: ``Columns.kinds``' codes: 0 for a product without a part, else 1 + its place in ``scene.KINDS``.
KIND_CODES: Tuple[str, ...] = ("none",) + KINDS


def _kind_table() -> "npt.NDArray[np.uint8]":
    """The kind code of every combination of parts: the first present in ``scene.KINDS``' order."""
    table = np.zeros(1 << len(PARTS), dtype=np.uint8)
    for mask in range(1, len(table)):
        present = [kind for bit, kind in enumerate(PARTS) if mask >> bit & 1]
        table[mask] = 1 + next(n for n, kind in enumerate(KINDS) if kind in present)
    return table


_KIND_OF_PARTS = _kind_table()


@dataclass(frozen=True)
class Columns:
    """A batch of products, one row each (see the module's description)."""
    #: The names the codes stand for; ``strings[0] == ""``.
    strings: Tuple[str, ...]
    #: A record's start and stop stamps (0 for products given alone).
    start_ns: int
    stop_ns: int
    stamp: "npt.NDArray[np.int64]"
    #: The parts present, a bit each as ``PARTS`` lists them.
    parts: "npt.NDArray[np.uint8]"
    # The controller's report: its robot, the item held and its pose (``grasped_pose_set``: given).
    robot: "npt.NDArray[np.int32]"
    grasped_item: "npt.NDArray[np.int32]"
    grasped_pose_set: "npt.NDArray[np.uint8]"
    grasped_pose: "npt.NDArray[np.float64]"
    joint_offsets: "npt.NDArray[np.int64]"
    joints: "npt.NDArray[np.float64]"
    effector_offsets: "npt.NDArray[np.int64]"
    effector: "npt.NDArray[np.float64]"
    # The decision.
    behavior: "npt.NDArray[np.int32]"
    step: "npt.NDArray[np.int32]"
    target_item: "npt.NDArray[np.int32]"
    # The plan: its robot and seconds; its waypoints (rows of ``waypoint_offsets``) from ``plan_waypoints``.
    plan_robot: "npt.NDArray[np.int32]"
    plan_s: "npt.NDArray[np.float64]"
    plan_waypoints: "npt.NDArray[np.int64]"
    waypoint_offsets: "npt.NDArray[np.int64]"
    waypoints: "npt.NDArray[np.float64]"
    # What perception saw: items and cameras, each a name and a pose, from their offsets.
    item_offsets: "npt.NDArray[np.int64]"
    item: "npt.NDArray[np.int32]"
    item_pose: "npt.NDArray[np.float64]"
    camera_offsets: "npt.NDArray[np.int64]"
    camera: "npt.NDArray[np.int32]"
    camera_pose: "npt.NDArray[np.float64]"

    def __len__(self) -> int:
        return len(self.stamp)

    @property
    def kinds(self) -> "npt.NDArray[np.uint8]":
        """Each product's kind as ``scene.kind_of`` tells it, as codes into ``KIND_CODES``."""
        return _KIND_OF_PARTS[self.parts]

    def code(self, name: str) -> int:
        """The code of ``name``, or -1 when no product of the batch holds it."""
        try:
            return self.strings.index(name)
        except ValueError:
            return -1


class Block(NamedTuple):
    """Serialized products in one buffer, product ``i`` from ``starts[i]`` to ``ends[i]``: as a
    recording file holds them (a prefix between each) or laid end to end (a spool, a batch)."""
    data: Buffer
    starts: "npt.NDArray[np.int64]"
    ends: "npt.NDArray[np.int64]"


def joined(blobs: List[bytes]) -> Block:
    """Products each in its own bytes, as one block."""
    lengths = np.fromiter(map(len, blobs), np.int64, len(blobs))
    ends = np.cumsum(lengths)
    return Block(b"".join(blobs), ends - lengths, ends)


def blocks_of(products: Iterable[Any], size: int = 4096) -> Iterator[Block]:
    """Parsed products (``data_pb2.Product``) serialized again, ``size`` to a block."""
    given = iter(products)
    while True:
        blobs = [product.SerializeToString() for product in itertools.islice(given, size)]
        if not blobs:
            return
        yield joined(blobs)


def newer_products(block: Block, path: PathLike = "<bytes>", where: str = "") -> bool:
    """Whether ``block``'s products hold fields a newer version wrote (every field at every depth,
    checked natively); bytes no version writes raise ``DataFileError`` (``where`` begins its reason)."""
    try:
        return bool(_columns.newer_products(*block))
    except _columns.Refused as e:
        raise DataFileError(path, f"not a recording file ({where}{e})") from None


def equal_products(a: Block, b: Block) -> int:
    """How many products, from the first of each, blocks ``a`` and ``b`` hold alike byte for byte."""
    return int(_columns.equal_products(*a, *b))


def record_columns(data: Buffer, path: PathLike = "<bytes>") -> Columns:
    """The products of one serialized ``Record``; ``path`` names where it came from in an error."""
    return _made(_columns.record, data, path)


def product_columns(products: Iterable[Buffer], path: PathLike = "<bytes>") -> Columns:
    """The serialized ``Product``s ``products``, a row each."""
    return _made(_columns.products, products, path)


def block_columns(block: Block, path: PathLike = "<bytes>") -> Columns:
    """The products of ``block``, a row each."""
    return _made(_columns.block, block, path)


def _made(decode: Any, data: Any, path: PathLike) -> Columns:
    try:
        made: Dict[str, Any] = decode(*data) if isinstance(data, Block) else decode(data)
    except _columns.Refused as e:
        raise DataFileError(path, f"not a recording file ({e})") from None
    made["strings"] = tuple(made["strings"])
    return Columns(**{field.name: made[field.name] for field in fields(Columns)})
