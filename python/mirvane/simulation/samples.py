"""What the cell's sensors report, sampled from the robots' plans: camera and box poses at every
perception time (``PerceptionSamples``, with noise) and each robot's controller reports
(``ControllerSamples``), written out one product at a time.

Samples are worked out a window of times at a time, as products are written (each a function of
its time, the noise drawn up front, the faults kept as what they change), so a run of any length
holds a window of them.
"""

import math
from typing import Any, Dict, List, Set, Tuple

import numpy as np

from dravik.api import geometry_pb2, system_pb2

from .layout import CAMERA_Z, CAMERAS, Floats, Ticks
from .motion import Box, Plan

Rows = List[List[float]]  # the same, as floats

_NOISE = 0.001                # perception noise, metres
_WINDOW = 1024                # samples worked out at a time


class _Windowed:
    """Samples at times ``t`` worked out a window at a time (``_window``), read in order."""

    def __init__(self, t: Ticks) -> None:
        self.t = t
        self._first = self._end = 0
        self._samples: Any = None

    def _at(self, i: int) -> Tuple[int, Any]:
        """The window holding sample ``i``, and ``i`` within it."""
        if not self._first <= i < self._end:
            self._first, self._end = i, min(i + _WINDOW, len(self.t))
            self._samples = self._window(i, self._end)
        return i - self._first, self._samples

    def _window(self, first: int, end: int) -> Any:
        raise NotImplementedError


class _Noise:
    """``count`` draws of perception noise from ``rng``, taken a window at a time, in order: the
    stream is passed over at once (as if drawn whole) and drawn again from where it began."""

    def __init__(self, rng: np.random.Generator, count: int) -> None:
        self._rng = np.random.Generator(type(rng.bit_generator)())
        self._rng.bit_generator.state = rng.bit_generator.state
        for first in range(0, count, _WINDOW):      # equal to one draw of them all
            rng.normal(0.0, _NOISE, min(_WINDOW, count - first))
        self._taken = 0

    def take(self, first: int, end: int) -> Floats:
        """The draws ``first`` to ``end``: later than those taken before."""
        assert first >= self._taken, "noise is taken in order"
        self._rng.normal(0.0, _NOISE, first - self._taken)
        self._taken = end
        noise: Floats = self._rng.normal(0.0, _NOISE, end - first)
        return noise


class PerceptionSamples(_Windowed):
    """Camera and box poses at every perception time, written out one product at a time."""

    def __init__(self, t: Ticks, plans: List[Plan], boxes: Dict[str, Box],
                 rng: np.random.Generator) -> None:
        super().__init__(t)
        self.plans = plans
        self.cameras = [camera[0] for camera in CAMERAS]
        self.boxes = sorted(boxes)
        self._boxes = [(name, boxes[name], _Noise(rng, len(t)), _Noise(rng, len(t))) for name in self.boxes]
        self.hidden: Dict[str, Set[int]] = {}       # boxes perception misses, at which samples
        # Cameras bumped: from which sample, by how much (x, y) and turned how far.
        self._bumps: Dict[str, List[Tuple[int, float, float, float]]] = {}

    def bump(self, camera: str, first: int, shift: float, turn: float) -> None:
        """From sample ``first`` on, ``camera`` is ``shift`` metres to the left of where it looked
        then, and turned by ``turn``."""
        _, _, _, qw, qz = self._camera(camera, first, first + 1)
        yaw = 2.0 * math.atan2(qz[0], qw[0])
        self._bumps.setdefault(camera, []).append((first, -shift * math.sin(yaw), shift * math.cos(yaw), turn))

    def write(self, msg: system_pb2.Perception, i: int) -> None:
        at, (cameras, boxes) = self._at(i)
        for name, rows in cameras:
            _fill(msg.camera_poses[name], rows, at)
        for name, rows in boxes:
            if i not in self.hidden.get(name, ()):
                _fill(msg.item_poses[name], rows, at)

    def _window(self, first: int, end: int) -> Tuple[List[Tuple[str, Rows]], List[Tuple[str, Rows]]]:
        t = self.t[first:end]
        effectors = {id(plan): plan.effector(plan.joints(t)) for plan in self.plans}
        boxes = []
        for name, box, x_noise, y_noise in self._boxes:
            bx, by, bz, byaw = box.poses(t, *effectors[id(box.robot)])
            boxes.append((name, _rows(bx + x_noise.take(first, end), by + y_noise.take(first, end), bz, byaw)))
        return [(name, self._camera(name, first, end)) for name in self.cameras], boxes

    def _camera(self, camera: str, first: int, end: int) -> Rows:
        name, x, y, yaw, _, amplitude, period = next(c for c in CAMERAS if c[0] == camera)
        t = self.t[first:end]
        yaws = np.full(len(t), math.radians(yaw))
        if period:
            yaws += math.radians(amplitude) * np.sin(2.0 * math.pi * t / period)
        xs, ys, _, qw, qz = rows = _rows(np.full(len(t), x), np.full(len(t), y), np.full(len(t), CAMERA_Z), yaws)
        for bumped, dx, dy, turn in self._bumps.get(camera, ()):
            for i in range(max(bumped - first, 0), len(t)):
                yaw = 2.0 * math.atan2(qz[i], qw[i]) + turn
                xs[i], ys[i], qw[i], qz[i] = xs[i] + dx, ys[i] + dy, math.cos(yaw / 2.0), math.sin(yaw / 2.0)
        return rows


class ControllerSamples(_Windowed):
    """One robot's controller reports at every controller tick but the ``silent`` ones."""

    def __init__(self, t: Ticks, plan: Plan) -> None:
        super().__init__(t)
        self.plan = plan
        self.robot = plan.setup.name
        self.silent: Set[int] = set()
        self.damaged: Set[int] = set()      # reports whose first joint is not a number

    def joints(self, i: int) -> List[float]:
        """The joints report ``i`` gives."""
        at, (joints, _, _, _) = self._at(i)
        return [column[at] for column in joints]

    def write(self, msg: system_pb2.Controller, i: int) -> None:
        at, (joints, effector, held, poses) = self._at(i)
        msg.robot = self.robot
        msg.feedback.joint.positions.values.extend([column[at] for column in joints])
        msg.feedback.effector.positions.values.extend([column[at] for column in effector])
        if held[at]:
            msg.grasped_item = held[at]
            _fill(msg.grasped_item_pose, poses[held[at]], at)

    def _window(self, first: int, end: int) -> Tuple[Rows, Rows, List[str], Dict[str, Rows]]:
        t = self.t[first:end]
        q = self.plan.joints(t)
        fx, fy, fh = self.plan.effector(q)
        joints = [column.tolist() for column in q.T]
        for i in self.damaged:
            if first <= i < end:
                joints[0][i - first] = math.nan
        held = self.plan.heldAt(t)
        carried = set(held)
        poses = {name: _rows(*box.poses(t, fx, fy, fh)) for name, box in self.plan.boxes.items() if name in carried}
        return joints, [fx.tolist(), fy.tolist(), fh.tolist()], held, poses


def _rows(x: Floats, y: Floats, z: Floats, yaw: Floats) -> Rows:
    """Columns x, y, z, qw, qz of many poses turned about z, worked out at once."""
    return [v.tolist() for v in (x, y, z, np.cos(yaw / 2.0), np.sin(yaw / 2.0))]


def _fill(pose: geometry_pb2.Pose, columns: Rows, i: int) -> None:
    p, q = pose.position, pose.orientation
    x, y, z, qw, qz = columns
    p.x, p.y, p.z, q.w, q.z = x[i], y[i], z[i], qw[i], qz[i]
