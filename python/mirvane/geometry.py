"""Poses in the messages: made from and read as a place and a heading (yaw).

The work cell is modelled top-down: positions are metres in the floor plane
(``z`` is height) and orientations are rotations about the vertical axis
(yaw), stored as unit quaternions in the messages.
"""

import math
from typing import Protocol, Tuple

from dravik.api import geometry_pb2

from . import _columns


#: A point or direction in space: x, y, z.
Vector3 = Tuple[float, float, float]


class _Vector(Protocol):
    x: float
    y: float
    z: float


class _Quaternion(_Vector, Protocol):
    w: float


class PoseMessage(Protocol):
    """A pose message of any schema: a position and a unit-quaternion orientation."""

    @property
    def position(self) -> _Vector: ...

    @property
    def orientation(self) -> _Quaternion: ...


def set_pose(pose: PoseMessage, x: float, y: float, z: float = 0.0, yaw: float = 0.0, *,
             roll: float = 0.0, pitch: float = 0.0) -> None:
    """Fill ``pose`` in place with a position and a rotation of ``yaw`` radians about z (after
    ``pitch`` about y and ``roll`` about x, where given)."""
    pose.position.x = x
    pose.position.y = y
    pose.position.z = z
    if roll or pitch:
        pose.orientation.w, pose.orientation.x, pose.orientation.y, pose.orientation.z = _quaternion(roll, pitch, yaw)
        return
    pose.orientation.w = math.cos(yaw / 2.0)
    pose.orientation.x = 0.0
    pose.orientation.y = 0.0
    pose.orientation.z = math.sin(yaw / 2.0)


def make_pose(x: float, y: float, z: float = 0.0, yaw: float = 0.0) -> geometry_pb2.Pose:
    """Return a new pose at ``(x, y, z)`` turned by ``yaw`` radians about z."""
    pose = geometry_pb2.Pose()
    set_pose(pose, x, y, z, yaw)
    return pose


def yaw_of(pose: geometry_pb2.Pose) -> float:
    """Rotation of ``pose`` about z, in radians; an unset orientation counts as none."""
    q = pose.orientation
    w, x, y, z = q.w, q.x, q.y, q.z     # each field read once: a message's fields are slow to reach
    return math.atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z))


def roll_pitch_of(pose: geometry_pb2.Pose) -> Tuple[float, float]:
    """Rotation of ``pose`` about x and then y (``set_pose``'s ``roll`` and ``pitch``), radians."""
    q = pose.orientation
    w, x, y, z = q.w, q.x, q.y, q.z
    roll = math.atan2(2.0 * (w * x + y * z), 1.0 - 2.0 * (x * x + y * y))
    return roll, math.asin(min(max(2.0 * (w * y - z * x), -1.0), 1.0))


def segments_apart(p: Vector3, q: Vector3, r: Vector3, s: Vector3) -> float:
    """The least distance between the segments ``pq`` and ``rs`` in space."""
    return _columns.segments_apart(p, q, r, s)


def _quaternion(roll: float, pitch: float, yaw: float) -> Tuple[float, float, float, float]:
    """(w, x, y, z) of ``rotation(roll, pitch, yaw)``."""
    cr, sr = math.cos(roll / 2.0), math.sin(roll / 2.0)
    cp, sp = math.cos(pitch / 2.0), math.sin(pitch / 2.0)
    cy, sy = math.cos(yaw / 2.0), math.sin(yaw / 2.0)
    return (cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy,
            cr * sp * cy + sr * cp * sy, cr * cp * sy - sr * sp * cy)
