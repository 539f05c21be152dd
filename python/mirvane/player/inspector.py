"""The state inspector's view of a ``SystemState``: a tree of named values with their units, that a
page can show and compare.

Fields come in the schema's order, map entries in key order, lists in theirs. Every field is
present, also those at their default, so that a value that changes to zero still shows as a change
(a message field only when set). A node is ``{"label", "path", "children"}`` with a ``note`` for a
quaternion (its yaw in degrees), or a leaf ``{"label", "path", "value"}`` with a ``unit`` where the
value has one; ``path`` joins the field names, map keys and list positions with dots.

Two states (two runs compared) make one tree, ``compared``: its leaves carry ``values``, each
state's (None where it has no such field), and ``differs`` where they are not equal. Two runs' states
are compared like with like (``Latest``): the workspace, and each source's latest report (each robot's
of the robots' parts) at the product each run shows, whichever came last.
"""

import bisect
from array import array
import math
from typing import Any, Dict, List, Optional, Tuple

from dravik.api import geometry_pb2, system_pb2
from google.protobuf.message import Message

from ..geometry import yaw_of
from ..scene import KINDS
from .fields import describe

Node = Dict[str, Any]


def tree(state: Optional[Message]) -> List[Node]:
    """``state``'s fields as nodes ([] for no state)."""
    return [] if state is None else _fields(state, "", [])


def compared(a: Optional[Message], b: Optional[Message]) -> List[Node]:
    """The trees of ``a`` and ``b`` as one, node by path: ``a``'s in its order, then what only ``b`` has."""
    return merged(tree(a), tree(b))


class Latest:
    """Where in a record each source reported: a run's state as ``compared`` pairs it with another's."""

    def __init__(self, record: Any) -> None:
        self._record = record
        self._positions: Dict[Tuple[str, str], "array[int]"] = {}
        for position, product in enumerate(record.products):
            for part in KINDS:
                if product.HasField(part):
                    report = getattr(product, part)
                    self._positions.setdefault((part, getattr(report, "robot", "")), array("q")).append(position)

    def tree(self, state: Optional[system_pb2.SystemState], product: int) -> List[Node]:
        """The workspace of ``state``, then each source's latest report at ``product`` (a robot's part
        one node per robot, ``controller · arm_a``), sources in the schema's order, robots by name."""
        nodes = [] if state is None or not state.HasField("workspace") else \
            [_node("workspace", state.workspace, "workspace", ["workspace"])]
        for part, robot in sorted(self._positions, key=lambda key: (KINDS.index(key[0]), key[1])):
            positions = self._positions[part, robot]
            before = bisect.bisect_right(positions, product)
            if before:
                report = getattr(self._record.products[positions[before - 1]], part)
                label, path = (f"{part} · {robot}", f"{part}.{robot}") if robot else (part, part)
                nodes.append({"label": label, "path": path, "children": _fields(report, path, [part])})
        return nodes


def merged(a: List[Node], b: List[Node]) -> List[Node]:
    """Two trees as one, node by path: ``a``'s in its order, then what only ``b`` has."""
    theirs = {node["path"]: node for node in b}
    nodes = [_pair(node, theirs.pop(node["path"], None), 0) for node in a]
    return nodes + [_pair(node, None, 1) for node in theirs.values()]


def _pair(node: Node, other: Optional[Node], side: int) -> Node:
    """``node`` of one tree (``side`` 0: a's, 1: b's) with the node at its path in the other, if any."""
    if "children" in node:
        children = other.get("children", []) if other is not None else []
        mine, theirs = (node["children"], children) if side == 0 else (children, node["children"])
        return {**node, "children": merged(mine, theirs)}
    values = [node["value"], other.get("value") if other is not None else None]
    paired = {key: value for key, value in node.items() if key != "value"}
    return {**paired, "values": values if side == 0 else values[::-1], "differs": values[0] != values[1]}


def _fields(message: Message, path: str, steps: List[Any]) -> List[Node]:
    nodes = []
    for field in message.DESCRIPTOR.fields:
        value = getattr(message, field.name)
        at, here = f"{path}.{field.name}" if path else field.name, [*steps, field.name]
        if field.message_type is not None and field.message_type.GetOptions().map_entry:
            entries = [_node(str(key), value[key], f"{at}.{key}", [*here, (key,)]) for key in sorted(value)]
            nodes.append({"label": f"{field.name} [{len(entries)}]", "path": at, "children": entries})
        elif field.is_repeated:
            entries = [_node(str(i), entry, f"{at}.{i}", [*here, i]) for i, entry in enumerate(value)]
            nodes.append({"label": f"{field.name} [{len(entries)}]", "path": at, "children": entries})
        elif field.message_type is None or message.HasField(field.name):
            node = _node(field.name, value, at, here)
            if isinstance(message, geometry_pb2.Pose) and field.name == "orientation":
                node["note"] = f"yaw {math.degrees(yaw_of(message)):.1f}°"
            nodes.append(node)
    return nodes


def _node(key: str, value: Any, path: str, steps: List[Any]) -> Node:
    if isinstance(value, Message):
        return {"label": key, "path": path, "children": _fields(value, path, steps)}
    field = describe(steps)
    if isinstance(value, float) and not math.isfinite(value):
        value = str(value)   # JSON has no NaN: the page shows the word
    leaf = {"label": field.name if isinstance(steps[-1], int) else key, "path": path, "value": value}
    if field.unit:
        leaf["unit"] = field.unit
    return leaf
