"""The cell's motion: each robot's schedule of segments (``Plan``), planned trip by trip
(``schedule``), where each box is over time (``Box``), stray motions (``Detour``), and the faults
that change a schedule (``Mishaps``: a slip, a missed grasp, a plan overrun).

Everything is a function of the time and the draws, so runs are reproducible.
"""

import math
from array import array
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from ..scene import effector_of, held_height
from ..workspace import Workspace
from .faults import Fault, Injected
from .layout import HOME, LINKS, Floats, Point, RobotSetup, RunClock, Ticks

_JOINT_SPEED = 1.6            # rad/s of the fastest joint, plus a fixed settle time
_SETTLE_S = 0.5
_FALL_S = 0.15                # a box that slips is on the floor this soon
_SWING_S, _STAY_S = 0.6, 0.4  # a stray motion's swing out (and back) and its stay
DETOUR_S = 2.0 * _SWING_S + _STAY_S
#: The faults that change a robot's schedule; the others strike what is sampled.
PLAN_FAULTS = ("slip", "missed-grasp", "plan-overrun")


@dataclass
class Box:
    """Where a box is over time: resting at a pose, or held by its robot (from the gripper's
    closing to its opening), lifted to the carrying height and lowered again while held. Its
    times and poses are kept as plain doubles: a shift gives each box thousands."""
    robot: "Plan"
    rest_z: float
    held_z: float
    times: "array[float]"
    held: List[bool]
    x: "array[float]"
    y: "array[float]"
    yaw: "array[float]"      # rest yaw, or offset from the effector heading while held
    # The height from rest (0) to held (1) between these times.
    lift_times: "array[float]"
    lift: "array[float]"

    @classmethod
    def resting(cls, *, robot: "Plan", x: float, y: float, rest_z: float, held_z: float) -> "Box":
        """A box of ``robot``'s resting at ``(x, y)`` (yaw 0) from the start, not lifted."""
        return cls(robot=robot, rest_z=rest_z, held_z=held_z, times=array("d", [-1.0]), held=[False],
                   x=array("d", [x]), y=array("d", [y]), yaw=array("d", [0.0]), lift_times=array("d", [-1.0]),
                   lift=array("d", [0.0]))

    def poses(self, t: Floats, fx: Floats, fy: Floats, fh: Floats) -> Tuple[Floats, Floats, Floats, Floats]:
        """Poses at times ``t``, given the robot's effector at those times."""
        i = np.searchsorted(np.asarray(self.times), t, side="right") - 1
        held = np.asarray(self.held)[i]
        yaw = np.asarray(self.yaw)[i]
        x = np.where(held, fx, np.asarray(self.x)[i])
        y = np.where(held, fy, np.asarray(self.y)[i])
        yaw = np.where(held, fh + yaw, yaw)
        z = self.rest_z + (self.held_z - self.rest_z) * np.interp(t, self.lift_times, self.lift)
        return x, y, z, yaw

    def heldAt(self, t: Floats) -> NDArray[np.bool_]:
        held: NDArray[np.bool_] = np.asarray(self.held)[np.searchsorted(np.asarray(self.times), t, side="right") - 1]
        return held

    def attach(self, close: float, lifted: float, yaw_offset: float) -> None:
        """The gripper closes on the box at ``close`` and has lifted it at ``lifted``."""
        self._append(close, True, 0.0, 0.0, yaw_offset)
        self.lift_times.extend((close, lifted))
        self.lift.extend((0.0, 1.0))

    def rest(self, lower: float, lowered: float, open_: float, x: float, y: float, yaw: float) -> None:
        """Lowered from ``lower`` to ``lowered``, the box rests at ``(x, y)`` from ``open_``, when
        the gripper opens: the last pose held is the pose it rests in."""
        self._append(open_, False, x, y, math.remainder(yaw, 2.0 * math.pi))
        self.lift_times.extend((lower, lowered))
        self.lift.extend((1.0, 0.0))

    def fall(self, t: float, x: float, y: float, yaw: float) -> None:
        """At ``t`` the box slips from the gripper and lies at ``(x, y)`` on the floor."""
        self._append(t, False, x, y, math.remainder(yaw, 2.0 * math.pi))
        self.lift_times.extend((t, t + _FALL_S))
        self.lift.extend((1.0, 0.0))

    def _append(self, t: float, held: bool, x: float, y: float, yaw: float) -> None:
        self.times.append(t)
        self.held.append(held)
        self.x.append(x)
        self.y.append(y)
        self.yaw.append(yaw)


@dataclass(frozen=True)
class Detour:
    """A stray motion: from ``start`` the arm swings to ``joints`` (in ``_SWING_S``), stays there
    (``_STAY_S``) and swings back, the planned motion going on beneath."""
    start: float
    joints: Floats

    def weight(self, t: Floats) -> Floats:
        """How far along to ``joints`` the arm is at times ``t``, 0 to 1 (smoothly)."""
        a = np.clip(np.minimum(t - self.start, self.start + DETOUR_S - t) / _SWING_S, 0.0, 1.0)
        weight: Floats = a * a * (3.0 - 2.0 * a)
        return weight


class Plan:
    """One robot's schedule: back-to-back segments, each a motion or a dwell. A shift has tens of
    thousands, so their times and joints are kept as plain doubles (``ends`` gives a segment's joints)."""

    def __init__(self, setup: RobotSetup) -> None:
        self.setup = setup
        self.home = np.array(HOME)
        self.starts = array("d")
        self.stops = array("d")
        self._q0 = array("d")        # each segment's joints at its start, a row after another
        self._q1 = array("d")        # and at its stop
        self.steps: List[str] = []
        self.targets: List[str] = []
        self.moving: List[bool] = []
        self.planned: Dict[int, float] = {}      # the planned length of segments that overran
        self.detours: List[Detour] = []
        self.boxes: Dict[str, Box] = {}

    def add(self, step: str, box: str, q0: Floats, q1: Floats, duration: float, moving: bool,
            planned: Optional[float] = None) -> float:
        """Append a segment right after the last one, lasting ``duration`` (longer than ``planned``
        if it overruns); returns when it ends."""
        start = self.end()
        self.starts.append(start)
        self.stops.append(start + duration)
        self._q0.extend(q0.tolist())
        self._q1.extend(q1.tolist())
        self.steps.append(step)
        self.targets.append(box)
        self.moving.append(moving)
        if planned is not None:
            self.planned[len(self.starts) - 1] = planned
        return start + duration

    def end(self) -> float:
        """When the last segment ends (before the first: when the robot sets out)."""
        return self.stops[-1] if self.stops else self.setup.start_s

    def joints(self, t: Floats) -> Floats:
        """Joint angles at times ``t`` (smooth-step between segment ends; home before the first)."""
        q = np.tile(self.home, (len(t), 1))
        if not self.starts:     # a run too short for this robot to start
            return q
        i = np.searchsorted(np.asarray(self.starts), t, side="right") - 1
        busy = i >= 0
        i = i[busy]
        starts, stops = np.asarray(self.starts)[i], np.asarray(self.stops)[i]
        a = np.clip((t[busy] - starts) / (stops - starts), 0.0, 1.0)
        s = (a * a * (3.0 - 2.0 * a))[:, None]
        q0, q1 = self._rows(self._q0)[i], self._rows(self._q1)[i]
        q[busy] = q0 + (q1 - q0) * s
        for detour in self.detours:
            w = detour.weight(t)[:, None]
            q = q + (detour.joints - q) * w
        return q

    def ends(self, i: int) -> Tuple[List[float], List[float]]:
        """Segment ``i``'s joints at its start and at its stop."""
        return self._rows(self._q0)[i].tolist(), self._rows(self._q1)[i].tolist()

    def _rows(self, joints: "array[float]") -> Floats:
        rows: Floats = np.frombuffer(joints, dtype=np.float64).reshape(-1, len(self.home))
        return rows

    def heldAt(self, t: Floats) -> List[str]:
        """The box held at each of the times ``t`` ("" for none)."""
        held = np.full(len(t), "", dtype=object)
        for name, box in self.boxes.items():
            held[box.heldAt(t)] = name
        return list(held)

    def effector(self, q: Floats) -> Tuple[Floats, Floats, Floats]:
        """Forward kinematics for joint rows ``q``: effector x, y and heading, as the scene has them."""
        s = self.setup
        rows = [effector_of(s.x, s.y, s.yaw, LINKS, joints) for joints in np.asarray(q).tolist()]
        x, y, heading = np.array(rows, dtype=np.float64).reshape(-1, 3).T
        return x, y, heading

    def reach(self, x: float, y: float, near: Floats) -> Floats:
        """Joints that put the effector at ``(x, y)`` (inverse kinematics, elbow kept on one side)."""
        s = self.setup
        c, si = math.cos(-s.yaw), math.sin(-s.yaw)
        dx, dy = x - s.x, y - s.y
        lx, ly = c * dx - si * dy, si * dx + c * dy
        l1, l2 = LINKS
        cos2 = (lx * lx + ly * ly - l1 * l1 - l2 * l2) / (2.0 * l1 * l2)
        if not -1.0 <= cos2 <= 1.0:
            raise ValueError(f"{s.name} cannot reach ({x}, {y})")
        q2 = -math.acos(cos2)
        q1 = math.atan2(ly, lx) - math.atan2(l2 * math.sin(q2), l1 + l2 * math.cos(q2))
        # Take the turn closest to where the arm is, not the long way round.
        q1 += 2.0 * math.pi * round((near[0] - q1) / (2.0 * math.pi))
        return np.array([q1, q2])


def schedule(setup: RobotSetup, workspace: Workspace, duration_s: float, draw: Callable[[], float],
              mishaps: Optional["Mishaps"] = None) -> Plan:
    """Plan one robot's trips until ``duration_s``: each box feed to place, then all back; the
    lengths of grasps and releases drawn by ``draw``, the ``mishaps`` striking at their chances."""
    plan = Plan(setup)
    mishaps = mishaps or Mishaps()
    arm = workspace.robots()[setup.name]
    for box in setup.boxes:
        model = workspace.items()[box]
        p = model.base_pose.position
        plan.boxes[box] = Box.resting(robot=plan, x=p.x, y=p.y, rest_z=p.z, held_z=held_height(arm, model.size))

    def motion(step: str, box: str, q0: Floats, q1: Floats) -> float:
        planned = _SETTLE_S + float(np.max(np.abs(q1 - q0))) / _JOINT_SPEED
        start = plan.end()
        longest = 3.5       # times as long as planned
        overrun = mishaps.due("plan-overrun", start, start + longest * planned)
        if overrun is None:
            return plan.add(step, box, q0, q1, planned, True)
        mishaps.struck(overrun.kind, start, start)
        return plan.add(step, box, q0, q1, planned * overrun.scaled(2.5, longest), True, planned=planned)

    q = plan.home
    t = setup.start_s
    trip = 0
    fallen: Dict[str, Point] = {}       # boxes that slipped, where they lie
    while t < duration_s:
        sources, targets = (setup.feed, setup.place) if trip % 2 == 0 else (setup.place, setup.feed)
        for box, src, dst in zip(setup.boxes, sources, targets):
            pick = plan.reach(*fallen.pop(box, src), near=q)
            place = plan.reach(*dst, near=pick)
            track = plan.boxes[box]
            grasp = motion("move_to_pick", box, q, pick)
            t = plan.add("grasp", box, pick, pick, 0.35 + 0.15 * draw(), False)
            missed = mishaps.due("missed-grasp", grasp, t)
            if missed is not None:      # the gripper closed on nothing: the behaviour grasps again
                mishaps.struck(missed.kind, t, (grasp + t) / 2.0)
                grasp, t = t, plan.add("grasp", box, pick, pick, 0.35 + 0.15 * mishaps.draw(), False)
            _, _, heading = (v[0] for v in plan.effector(pick[None, :]))
            # The gripper closes halfway through the grasp, then lifts.
            track.attach((grasp + t) / 2.0, t, yaw_offset=track.yaw[-1] - heading)
            carry, release = t, motion("move_to_place", box, pick, place)
            slip = mishaps.due("slip", carry + 0.75 * (release - carry), release)
            if slip is not None:        # the box falls from the gripper and lies where it fell
                when = mishaps.tick(max(slip.at_s, carry + 0.25 * (release - carry)))
                mishaps.struck(slip.kind, when, when)
                fx, fy, heading = (v[0] for v in plan.effector(plan.joints(np.array([when]))))
                fallen[box] = (fx, fy)
                track.fall(when, fx, fy, heading + track.yaw[-1])
            fx, fy, heading = (v[0] for v in plan.effector(place[None, :]))
            t = plan.add("release", box, place, place, 0.3 + 0.1 * draw(), False)
            if slip is None:
                # It lowers the box over the first half of the release and opens at three quarters.
                track.rest(release, (release + t) / 2.0, (release + 3.0 * t) / 4.0, fx, fy,
                           heading + track.yaw[-1])
            t = motion("retreat", box, place, plan.home)
            q = plan.home
        trip += 1
    return plan


class Draws:
    """Uniform draws from the cell's stream, kept, so that a run with faults can plan with the same."""

    def __init__(self, rng: np.random.Generator) -> None:
        self.rng = rng
        self.kept = array("d")

    def __call__(self) -> float:
        value = float(self.rng.random())
        self.kept.append(value)
        return value

    def again(self, extra: np.random.Generator) -> Callable[[], float]:
        """The same draws again, then draws from ``extra``."""
        kept = iter(self.kept)

        def draw() -> float:
            value = next(kept, None)
            return float(extra.random()) if value is None else value
        return draw


@dataclass
class Mishaps:
    """The faults that change one robot's schedule, waiting for their chance, and a log of those
    that struck."""
    faults: List[Fault] = field(default_factory=list)
    robot: str = ""
    ticks: Ticks = field(default_factory=lambda: Ticks(1.0, 0.0, 0.0))     # the robot's controller reports
    clock: Optional[RunClock] = None
    log: List[Injected] = field(default_factory=list)
    extra: Optional[np.random.Generator] = None                    # the faults' own draws

    def due(self, kind: str, chance: float, shown: float) -> Optional[Fault]:
        """The first fault of ``kind`` that may strike at ``chance`` (seconds), taken, unless what
        it does would show only at ``shown``, past the end of the run."""
        if self.clock is None or shown >= self.clock.duration_s:
            return None
        fault = next((f for f in self.faults if f.kind == kind and f.at_s <= chance), None)
        if fault is not None:
            self.faults.remove(fault)
        return fault

    def tick(self, t: float) -> float:
        """The robot's first controller report at ``t`` or after."""
        i = self.ticks.searchsorted(t)
        return self.ticks.at(i) if i < len(self.ticks) else t

    def draw(self) -> float:
        assert self.extra is not None
        return float(self.extra.random())

    def struck(self, kind: str, shown_s: float, begins_s: float) -> None:
        assert self.clock is not None
        self.log.append(Injected(kind, self.robot, self.clock.stamp(shown_s), self.clock.stamp(begins_s)))
