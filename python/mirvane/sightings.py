"""Where the items no robot holds are drawn: where perception last saw them.

Playback's state follows the controllers alone (``scene.apply``); perception's news of an item
let go (falling, sliding, at rest) is newer only where this module says so. Every drawing (the
viewer, ``/scene``, the Rerun export) takes its items' places from here.
"""

from bisect import bisect_right
from typing import Dict, List, Optional, Tuple

from dravik.api import data_pb2

from .scene import Pose, kind_of, pose_ok


#: ``ItemsSeen.packed``: each pose seen, serialized, and what each robot holds.
PackedSeen = Tuple[Dict[str, bytes], Dict[str, str]]


class ItemsSeen:
    """Where perception last saw each item no robot holds, since a controller last reported it held:
    ``poses`` after the products of a record taken in order (``apply``). An item is drawn with its
    grasp while held, then where perception sees it (falling, sliding, at rest); one not seen since
    it was let go where it was let go (the state's pose). Playback's state follows the controllers
    alone (``apply`` above): perception's news is newer only where this says so."""

    def __init__(self) -> None:
        self.poses: Dict[str, Pose] = {}
        self._holding: Dict[str, str] = {}      # robot -> the item it holds

    def copy(self) -> "ItemsSeen":
        """Another, as this one is now, taking products on its own."""
        other = ItemsSeen()
        other.poses, other._holding = dict(self.poses), dict(self._holding)
        return other

    def packed(self) -> "PackedSeen":
        """As it is now, in bytes: a pose parsed from a product keeps that whole product in memory."""
        return {name: pose.SerializeToString() for name, pose in self.poses.items()}, dict(self._holding)

    @classmethod
    def unpacked(cls, packed: "PackedSeen") -> "ItemsSeen":
        """One as ``packed`` was."""
        seen = cls()
        seen.poses = {name: Pose.FromString(pose) for name, pose in packed[0].items()}
        seen._holding = dict(packed[1])
        return seen

    def changed_by_report(self, robot: str, item: str) -> bool:
        """Whether a controller report of ``robot`` holding ``item`` (or nothing: "") changes what this
        holds: not when the robot held it already (its grasp dropped the item's sighting, and none is
        taken while it is held)."""
        return self._holding.get(robot) != item

    def apply(self, product: data_pb2.Product, kind: Optional[str] = "") -> Tuple[str, ...]:
        """Take what ``product`` tells of the items; the items whose drawn place it may have changed
        (``kind``: its ``kind_of``, when known)."""
        kind = kind_of(product) if kind == "" else kind
        if kind == "perception":
            held = set(self._holding.values())
            # A damaged sighting is the events' to name; the drawing keeps the last usable one.
            seen = sorted(name for name, pose in product.perception.item_poses.items()
                          if name not in held and pose_ok(pose))
            for name in seen:
                self.poses[name] = product.perception.item_poses[name]
            return tuple(seen)
        if kind != "controller":
            return ()
        controller = product.controller
        before = self._holding.get(controller.robot, "")
        self._holding[controller.robot] = controller.grasped_item
        self.poses.pop(controller.grasped_item, None)    # its grasp, in the state, is newer
        return tuple(sorted({before, controller.grasped_item} - {""}))


class Sightings:
    """``ItemsSeen.poses`` at every product of ``record``, found from the record alone (as ``Reports``
    are), so that the picture of a product is the same however playback came to it."""

    def __init__(self, record: data_pb2.Record, before: Optional[ItemsSeen] = None) -> None:
        # ``before``: what was seen before the record's products (a record cut from a longer one).
        seen = before.copy() if before is not None else ItemsSeen()
        self._items: Dict[str, Tuple[List[int], List[Optional[Pose]]]] = {
            name: ([-1], [pose]) for name, pose in seen.poses.items()}
        for position, product in enumerate(record.products):
            for name in seen.apply(product):
                positions, poses = self._items.setdefault(name, ([], []))
                positions.append(position)
                poses.append(seen.poses.get(name))

    def at(self, product: int) -> Dict[str, Pose]:
        """Where perception last saw each item not held since, at the product at position ``product``."""
        found = {}
        for name, (positions, poses) in self._items.items():
            pose = poses[bisect_right(positions, product) - 1] if positions[0] <= product else None
            if pose is not None:
                found[name] = pose
        return found
