"""Poses in the messages: made from and read as a place and a heading (yaw).

The work cell is modelled top-down: positions are metres in the floor plane
(``z`` is height) and orientations are rotations about the vertical axis
(yaw), stored as unit quaternions in the messages.
"""

import math
from typing import Protocol

from dravik.api import geometry_pb2


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


def set_pose(pose: PoseMessage, x: float, y: float, z: float = 0.0, yaw: float = 0.0) -> None:
    """Fill ``pose`` in place with a position and a rotation of ``yaw`` radians about z."""
    pose.position.x = x
    pose.position.y = y
    pose.position.z = z
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
