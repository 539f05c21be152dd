"""The demo cell's layout: two arms, three cameras and six boxes, what each robot does, and how
often the cell's sensors report in a run (``RunClock``).

Two planar arms move boxes from a feed strip (y = 0.5 m) to a place strip (y = -0.5 m) and back;
three cameras watch, one of them panning slowly.
"""

import math
from dataclasses import dataclass
from typing import List, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from dravik.api import project_pb2

from ..behavior import Behavior
from ..snapshots import snapshot_from_parts
from ..workspace import Workspace

Floats = NDArray[np.float64]
Point = Tuple[float, float]

CONTROLLER_HZ = 100.0
PERCEPTION_HZ = 30.0
#: The steps every pick-and-place behaviour goes through, per box.
PICK_PLACE_STEPS: Tuple[str, ...] = ("move_to_pick", "grasp", "move_to_place", "release", "retreat")
#: Where recordings start unless told otherwise (late 2023, in ns since the epoch).
DEFAULT_START_NS = 1_700_000_000_000_000_000

LINKS = (0.45, 0.35)
HOME = (1.2, -1.9)           # joints of the tucked arm, clear of both strips
CAMERA_Z = 1.5
#: Metres the cameras see, as their fields of view are drawn.
CAMERA_RANGE = 0.6

@dataclass(frozen=True)
class RobotSetup:
    name: str
    behavior: str
    x: float
    y: float
    yaw: float
    start_s: float
    boxes: Tuple[str, ...]
    feed: Tuple[Point, ...]
    place: Tuple[Point, ...]


ROBOTS = (
    RobotSetup("arm_a", "pick_place_a", 0.0, 0.0, 0.0, 0.2, ("box_1", "box_2", "box_3"),
               ((0.15, 0.5), (0.35, 0.5), (0.55, 0.5)), ((-0.3, -0.45), (-0.1, -0.5), (0.1, -0.5))),
    RobotSetup("arm_b", "pick_place_b", 1.5, 0.0, math.pi, 0.9, ("box_4", "box_5", "box_6"),
               ((1.35, 0.5), (1.15, 0.5), (0.95, 0.5)), ((1.4, -0.5), (1.6, -0.5), (1.8, -0.5))),
)
_BOX_SIZES = ((0.06, 0.06, 0.05), (0.08, 0.05, 0.04), (0.05, 0.05, 0.07))
# name, x, y, yaw (deg), field of view (deg), pan amplitude (deg), pan period (s)
CAMERAS = (
    ("cam_top", 0.75, 1.25, -90.0, 70.0, 0.0, 0.0),
    ("cam_pan", 0.75, -1.2, 90.0, 50.0, 30.0, 12.0),
    ("cam_side", -0.85, 0.0, 0.0, 55.0, 0.0, 0.0),
)


def build_cell() -> Workspace:
    """The demo cell: two arms, three cameras and six boxes on the feed strip."""
    ws = Workspace()
    for setup in ROBOTS:
        ws.addRobot(setup.name, setup.x, setup.y, LINKS, yaw=setup.yaw, joint_positions=HOME)
    for name, x, y, yaw, fov, _, _ in CAMERAS:
        ws.addCamera(name, x, y, yaw=math.radians(yaw), field_of_view_deg=fov, z=CAMERA_Z, view_range=CAMERA_RANGE)
    for setup in ROBOTS:
        for i, (box, (x, y)) in enumerate(zip(setup.boxes, setup.feed)):
            ws.addItem(box, x, y, size=_BOX_SIZES[i % len(_BOX_SIZES)])
    return ws


def cell_behaviors() -> List[Behavior]:
    """The behaviours the demo cell's robots run."""
    return [Behavior(s.behavior, robot=s.name, steps=PICK_PLACE_STEPS) for s in ROBOTS]


def project_snapshot(workspace: Workspace, behaviors: Sequence[Behavior] = ()) -> project_pb2.ProjectSnapshot:
    """The project message a record carries: version, workspace (with its state) and behaviours."""
    return snapshot_from_parts(workspace, behaviors)


class Ticks:
    """A sensor's sampling times, seconds from the run's start: ``offset`` and every ``1 / hz`` after
    it before ``stop``, the very floats ``np.arange(offset, stop, 1 / hz)`` gives, worked out a span
    at a time (``ticks[first:end]``), so that a run of any length holds none of them whole."""

    def __init__(self, hz: float, offset: float, stop: float) -> None:
        step = 1.0 / hz
        # As arange has them: the first two, then the first plus i times the difference of those two.
        self._first, self._second = offset, offset + step
        self._delta = self._second - offset
        self._count = max(0, math.ceil((stop - offset) / step))

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, index: slice) -> Floats:
        first, end, stride = index.indices(self._count)
        assert stride == 1, "ticks are taken in spans"
        i = np.arange(first, max(first, end))
        t = (self._first + i * self._delta).astype(np.float64, copy=False)
        if first <= 1 < end:
            t[1 - first] = self._second
        return t

    def at(self, i: int) -> float:
        """Tick ``i``."""
        return float(self[i:i + 1][0])

    def searchsorted(self, t: float, side: str = "left") -> int:
        """Where ``t`` goes among the ticks, as ``np.searchsorted`` has it: the first tick at ``t``
        or after (``side="right"``: after)."""
        def before(i: int) -> bool:      # tick i comes before t
            return self.at(i) < t if side == "left" else self.at(i) <= t
        guess = min(max(0, math.ceil((t - self._first) / self._delta)), self._count)
        while guess > 0 and not before(guess - 1):
            guess -= 1
        while guess < self._count and before(guess):
            guess += 1
        return guess


class RunClock:
    """A run's sampling times, seconds from its start, and their stamps."""

    def __init__(self, start_ns: int, duration_s: float) -> None:
        self.start_ns = start_ns
        self.duration_s = duration_s
        self.perception = Ticks(PERCEPTION_HZ, 0.004, duration_s)
        # Robots' controllers run on their own clocks, slightly out of phase.
        self.controllers = [Ticks(CONTROLLER_HZ, 0.0017 * (k + 1), duration_s) for k in range(len(ROBOTS))]

    def stamp(self, t: float) -> int:
        return self.start_ns + nanoseconds(t)

    def stamps(self, t: Floats) -> List[int]:
        stamps: List[int] = (self.start_ns + np.round(t * 1e9).astype(np.int64)).tolist()
        return stamps


def nanoseconds(seconds: float) -> int:
    """``seconds`` as whole nanoseconds, as stamps count them."""
    return int(round(seconds * 1e9))
