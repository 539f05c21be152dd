"""What the cell's sensors report, sampled from the robots' plans: camera and box poses at every
perception time (``PerceptionSamples``, with noise) and each robot's controller reports
(``ControllerSamples``), written out one product at a time.
"""

import math
from typing import Dict, List, Set, Tuple

import numpy as np

from dravik.api import geometry_pb2, system_pb2

from .layout import CAMERA_Z, CAMERAS, Floats
from .motion import Box, Plan

Poses = List[List[float]]  # columns x, y, z, qw, qz

_NOISE = 0.001                # perception noise, metres


class PerceptionSamples:
    """Camera and box poses at every perception time, written out one product at a time."""

    def __init__(self, t: Floats, plans: List[Plan], boxes: Dict[str, Box],
                 rng: np.random.Generator) -> None:
        self.cameras: List[Tuple[str, Poses]] = []
        for name, x, y, yaw, _, amplitude, period in CAMERAS:
            yaws = np.full(len(t), math.radians(yaw))
            if period:
                yaws += math.radians(amplitude) * np.sin(2.0 * math.pi * t / period)
            self.cameras.append((name, _poses(np.full(len(t), x), np.full(len(t), y),
                                              np.full(len(t), CAMERA_Z), yaws)))
        effectors = {id(plan): plan.effector(plan.joints(t)) for plan in plans}
        self.boxes: List[Tuple[str, Poses]] = []
        for name, box in sorted(boxes.items()):
            bx, by, bz, byaw = box.poses(t, *effectors[id(box.robot)])
            bx = bx + rng.normal(0.0, _NOISE, len(t))
            by = by + rng.normal(0.0, _NOISE, len(t))
            self.boxes.append((name, _poses(bx, by, bz, byaw)))
        self.hidden: Dict[str, Set[int]] = {}       # boxes perception misses, at which samples

    def bump(self, camera: str, first: int, shift: float, turn: float) -> None:
        """From sample ``first`` on, ``camera`` is ``shift`` metres to the left of where it looked
        then, and turned by ``turn``."""
        x, y, _, qw, qz = next(poses for name, poses in self.cameras if name == camera)
        yaw = 2.0 * math.atan2(qz[first], qw[first])
        dx, dy = -shift * math.sin(yaw), shift * math.cos(yaw)
        for i in range(first, len(x)):
            yaw = 2.0 * math.atan2(qz[i], qw[i]) + turn
            x[i], y[i], qw[i], qz[i] = x[i] + dx, y[i] + dy, math.cos(yaw / 2.0), math.sin(yaw / 2.0)

    def write(self, msg: system_pb2.Perception, i: int) -> None:
        for name, poses in self.cameras:
            _fill(msg.camera_poses[name], poses, i)
        for name, poses in self.boxes:
            if i not in self.hidden.get(name, ()):
                _fill(msg.item_poses[name], poses, i)


class ControllerSamples:
    """One robot's controller reports at every controller tick but the ``silent`` ones."""

    def __init__(self, t: Floats, plan: Plan) -> None:
        q = plan.joints(t)
        fx, fy, fh = plan.effector(q)
        self.robot = plan.setup.name
        # Flat columns rather than rows: far fewer Python objects for the collector to scan.
        self.joints = [column.tolist() for column in q.T]
        self.effector = [fx.tolist(), fy.tolist(), fh.tolist()]
        self.held = plan.heldAt(t)
        self.held_poses: Dict[str, Poses] = {}
        self.silent: Set[int] = set()
        carried = set(self.held)
        for name, box in plan.boxes.items():
            if name in carried:
                self.held_poses[name] = _poses(*box.poses(t, fx, fy, fh))

    def write(self, msg: system_pb2.Controller, i: int) -> None:
        msg.robot = self.robot
        msg.feedback.joint.positions.values.extend([column[i] for column in self.joints])
        msg.feedback.effector.positions.values.extend([column[i] for column in self.effector])
        held = self.held[i]
        if held:
            msg.grasped_item = held
            _fill(msg.grasped_item_pose, self.held_poses[held], i)


def _poses(x: Floats, y: Floats, z: Floats, yaw: Floats) -> Poses:
    """Columns x, y, z, qw, qz of many poses turned about z, worked out at once."""
    return [v.tolist() for v in (x, y, z, np.cos(yaw / 2.0), np.sin(yaw / 2.0))]


def _fill(pose: geometry_pb2.Pose, columns: Poses, i: int) -> None:
    p, q = pose.position, pose.orientation
    x, y, z, qw, qz = columns
    p.x, p.y, p.z, q.w, q.z = x[i], y[i], z[i], qw[i], qz[i]
