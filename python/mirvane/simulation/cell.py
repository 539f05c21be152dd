"""A small pick-and-place cell simulator that produces recordings for replay.

Two planar arms move boxes from a feed strip (y = 0.5 m) to a place strip
(y = -0.5 m) and, once all their boxes are moved, back again; three cameras
watch, one of them panning slowly. A run yields the products the real system
would record:

* perception at 30 Hz: every camera's pose and every box's pose (1 mm noise);
* controller at 100 Hz per robot: joint angles, effector ``(x, y, heading)``
  and, while holding, the held box and its pose;
* planner whenever a motion is planned: start and goal joints and duration;
* decision whenever a robot's behaviour moves to its next step.

Everything is a function of the time and the seed, so runs are reproducible.
"""

import math
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np
from numpy.typing import NDArray

from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2

from ..behavior import Behavior
from ..data import Data
from ..snapshots import snapshot_from_parts
from ..scene import ARM_CLEARANCE, KINDS, Robot, arm_gap, effector_of, held_height
from ..scene import robot as robot_shape
from ..workspace import Workspace
from .faults import Fault, Faults, Injected

Floats = NDArray[np.float64]
Poses = List[List[float]]  # columns x, y, z, qw, qz
Event = Tuple[int, int, int, int]  # (time ns, kind, source, index)

CONTROLLER_HZ = 100.0
PERCEPTION_HZ = 30.0
#: The steps every pick-and-place behaviour goes through, per box.
PICK_PLACE_STEPS: Tuple[str, ...] = ("move_to_pick", "grasp", "move_to_place", "release", "retreat")
#: Where recordings start unless told otherwise (late 2023, in ns since the epoch).
DEFAULT_START_NS = 1_700_000_000_000_000_000

_LINKS = (0.45, 0.35)
_HOME = (1.2, -1.9)           # joints of the tucked arm, clear of both strips
_JOINT_SPEED = 1.6            # rad/s of the fastest joint, plus a fixed settle time
_SETTLE_S = 0.5
_NOISE = 0.001                # perception noise, metres
_FALL_S = 0.15                # a box that slips is on the floor this soon
_SWING_S, _STAY_S = 0.6, 0.4  # a stray motion's swing out (and back) and its stay
_DETOUR_S = 2.0 * _SWING_S + _STAY_S
_CAMERA_Z = 1.5

Point = Tuple[float, float]


@dataclass(frozen=True)
class _RobotSetup:
    name: str
    behavior: str
    x: float
    y: float
    yaw: float
    start_s: float
    boxes: Tuple[str, ...]
    feed: Tuple[Point, ...]
    place: Tuple[Point, ...]


_ROBOTS = (
    _RobotSetup("arm_a", "pick_place_a", 0.0, 0.0, 0.0, 0.2, ("box_1", "box_2", "box_3"),
                ((0.15, 0.5), (0.35, 0.5), (0.55, 0.5)), ((-0.3, -0.45), (-0.1, -0.5), (0.1, -0.5))),
    _RobotSetup("arm_b", "pick_place_b", 1.5, 0.0, math.pi, 0.9, ("box_4", "box_5", "box_6"),
                ((1.35, 0.5), (1.15, 0.5), (0.95, 0.5)), ((1.4, -0.5), (1.6, -0.5), (1.8, -0.5))),
)
_BOX_SIZES = ((0.06, 0.06, 0.05), (0.08, 0.05, 0.04), (0.05, 0.05, 0.07))
# name, x, y, yaw (deg), field of view (deg), pan amplitude (deg), pan period (s)
_CAMERAS = (
    ("cam_top", 0.75, 1.25, -90.0, 70.0, 0.0, 0.0),
    ("cam_pan", 0.75, -1.2, 90.0, 50.0, 30.0, 12.0),
    ("cam_side", -0.85, 0.0, 0.0, 55.0, 0.0, 0.0),
)


def build_cell() -> Workspace:
    """The demo cell: two arms, three cameras and six boxes on the feed strip."""
    ws = Workspace()
    for setup in _ROBOTS:
        ws.addRobot(setup.name, setup.x, setup.y, _LINKS, yaw=setup.yaw, joint_positions=_HOME)
    for name, x, y, yaw, fov, _, _ in _CAMERAS:
        ws.addCamera(name, x, y, yaw=math.radians(yaw), field_of_view_deg=fov, z=_CAMERA_Z)
    for setup in _ROBOTS:
        for i, (box, (x, y)) in enumerate(zip(setup.boxes, setup.feed)):
            ws.addItem(box, x, y, size=_BOX_SIZES[i % len(_BOX_SIZES)])
    return ws


def cell_behaviors() -> List[Behavior]:
    """The behaviours the demo cell's robots run."""
    return [Behavior(s.behavior, robot=s.name, steps=PICK_PLACE_STEPS) for s in _ROBOTS]


def project_snapshot(workspace: Workspace, behaviors: Sequence[Behavior] = ()) -> project_pb2.ProjectSnapshot:
    """The project message a record carries: version, workspace (with its state) and behaviours."""
    return snapshot_from_parts(workspace, behaviors)


def simulate(duration_s: float = 10.0, seed: int = 0, start_ns: int = DEFAULT_START_NS,
             faults: Optional[Faults] = None) -> data_pb2.Record:
    """Run the demo cell for ``duration_s`` seconds and return what it recorded."""
    return run_cell(duration_s, seed, start_ns, faults)[0]


def run_cell(duration_s: float = 10.0, seed: int = 0, start_ns: int = DEFAULT_START_NS,
             faults: Optional[Faults] = None) -> Tuple[data_pb2.Record, List[Injected]]:
    """Run the demo cell for ``duration_s`` seconds, suffering ``faults``: what it recorded, and the
    faults it suffered, in the order they struck."""
    if duration_s <= 0.0:
        raise ValueError("duration_s must be positive")
    rng = np.random.default_rng(seed)
    workspace = build_cell()
    record = data_pb2.Record(start_timestamp_ns=start_ns,
                             stop_timestamp_ns=start_ns + _ns(duration_s))
    record.project.CopyFrom(project_snapshot(workspace, cell_behaviors()))

    clock = _Clock(start_ns, duration_s)
    draws = [_Draws(rng) for _ in _ROBOTS]
    plans = [_schedule(setup, workspace, duration_s, draw) for setup, draw in zip(_ROBOTS, draws)]
    placed = faults.place(duration_s, seed) if faults is not None else []
    injected: List[Injected] = []
    if faults is not None and placed:
        # Planned again with the same draws, so that all is as in the twin without faults until one
        # strikes; what faults add (a second grasp) is drawn from the faults' own stream.
        extra = faults.stream(seed)
        robots = tuple(setup.name for setup in _ROBOTS)
        plans = [_schedule(setup, workspace, duration_s, draw.again(extra),
                           _Mishaps([f for f in placed if f.kind in _PLAN_FAULTS and f.choose(robots) == setup.name],
                                    setup.name, clock.controllers[k], clock, injected, extra))
                 for k, (setup, draw) in enumerate(zip(_ROBOTS, draws))]
    boxes: Dict[str, _Box] = {}
    for plan in plans:
        boxes.update(plan.boxes)
    _Recorder(record, clock, plans, boxes, rng, [f for f in placed if f.kind not in _PLAN_FAULTS], injected).run()
    injected.sort(key=lambda fault: fault.shown_ns)
    return record, injected


def make_recording(runs: int = 1, duration_s: float = 10.0, seed: int = 0,
                   start_ns: int = DEFAULT_START_NS, gap_s: float = 5.0) -> Data:
    """A data set of ``runs`` consecutive simulated runs, ``gap_s`` apart."""
    data = Data()
    for run in range(runs):
        begin = start_ns + run * _ns(duration_s + gap_s)
        data.addRecord(simulate(duration_s, seed=seed + run, start_ns=begin))
    return data


def synthetic_record(n_products: int, seed: int = 0,
                     start_ns: int = DEFAULT_START_NS) -> data_pb2.Record:
    """A record of exactly ``n_products`` products of all kinds, for benchmarks.

    It is a simulated run cut to length, so its rates and contents are realistic.
    """
    if n_products < 0:
        raise ValueError("n_products must not be negative")
    per_second = len(_ROBOTS) * CONTROLLER_HZ + PERCEPTION_HZ + 3.0
    duration_s = n_products / per_second * 1.02 + 1.0
    record = simulate(duration_s, seed, start_ns)
    while len(record.products) < n_products:
        duration_s *= 1.5
        record = simulate(duration_s, seed, start_ns)
    del record.products[n_products:]
    if n_products:
        record.stop_timestamp_ns = record.products[-1].timestamp_ns
    return record


# -- motion planning ---------------------------------------------------------

@dataclass
class _Box:
    """Where a box is over time: resting at a pose, or held by its robot (from the gripper's
    closing to its opening), lifted to the carrying height and lowered again while held."""
    robot: "_Plan"
    rest_z: float
    held_z: float
    times: List[float]
    held: List[bool]
    x: List[float]
    y: List[float]
    yaw: List[float]      # rest yaw, or offset from the effector heading while held
    # The height from rest (0) to held (1) between these times.
    lift_times: List[float]
    lift: List[float]

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
        self.lift_times += [close, lifted]
        self.lift += [0.0, 1.0]

    def rest(self, lower: float, lowered: float, open_: float, x: float, y: float, yaw: float) -> None:
        """Lowered from ``lower`` to ``lowered``, the box rests at ``(x, y)`` from ``open_``, when
        the gripper opens: the last pose held is the pose it rests in."""
        self._append(open_, False, x, y, math.remainder(yaw, 2.0 * math.pi))
        self.lift_times += [lower, lowered]
        self.lift += [1.0, 0.0]

    def fall(self, t: float, x: float, y: float, yaw: float) -> None:
        """At ``t`` the box slips from the gripper and lies at ``(x, y)`` on the floor."""
        self._append(t, False, x, y, math.remainder(yaw, 2.0 * math.pi))
        self.lift_times += [t, t + _FALL_S]
        self.lift += [1.0, 0.0]

    def _append(self, t: float, held: bool, x: float, y: float, yaw: float) -> None:
        self.times.append(t)
        self.held.append(held)
        self.x.append(x)
        self.y.append(y)
        self.yaw.append(yaw)


@dataclass(frozen=True)
class _Detour:
    """A stray motion: from ``start`` the arm swings to ``joints`` (in ``_SWING_S``), stays there
    (``_STAY_S``) and swings back, the planned motion going on beneath."""
    start: float
    joints: Floats

    def weight(self, t: Floats) -> Floats:
        """How far along to ``joints`` the arm is at times ``t``, 0 to 1 (smoothly)."""
        a = np.clip(np.minimum(t - self.start, self.start + _DETOUR_S - t) / _SWING_S, 0.0, 1.0)
        weight: Floats = a * a * (3.0 - 2.0 * a)
        return weight


class _Plan:
    """One robot's schedule: back-to-back segments, each a motion or a dwell."""

    def __init__(self, setup: _RobotSetup) -> None:
        self.setup = setup
        self.home = np.array(_HOME)
        self.starts: List[float] = []
        self.stops: List[float] = []
        self.q0: List[Floats] = []
        self.q1: List[Floats] = []
        self.steps: List[str] = []
        self.targets: List[str] = []
        self.moving: List[bool] = []
        self.planned: Dict[int, float] = {}      # the planned length of segments that overran
        self.detours: List[_Detour] = []
        self.boxes: Dict[str, _Box] = {}

    def add(self, step: str, box: str, q0: Floats, q1: Floats, duration: float, moving: bool,
            planned: Optional[float] = None) -> float:
        """Append a segment right after the last one, lasting ``duration`` (longer than ``planned``
        if it overruns); returns when it ends."""
        start = self.end()
        self.starts.append(start)
        self.stops.append(start + duration)
        self.q0.append(q0)
        self.q1.append(q1)
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
        q0, q1 = np.asarray(self.q0)[i], np.asarray(self.q1)[i]
        q[busy] = q0 + (q1 - q0) * s
        for detour in self.detours:
            w = detour.weight(t)[:, None]
            q = q + (detour.joints - q) * w
        return q

    def heldAt(self, t: Floats) -> List[str]:
        """The box held at each of the times ``t`` ("" for none)."""
        held = np.full(len(t), "", dtype=object)
        for name, box in self.boxes.items():
            held[box.heldAt(t)] = name
        return list(held)

    def effector(self, q: Floats) -> Tuple[Floats, Floats, Floats]:
        """Forward kinematics for joint rows ``q``: effector x, y and heading, as the scene has them."""
        s = self.setup
        rows = [effector_of(s.x, s.y, s.yaw, _LINKS, joints) for joints in np.asarray(q).tolist()]
        x, y, heading = np.array(rows, dtype=np.float64).reshape(-1, 3).T
        return x, y, heading

    def reach(self, x: float, y: float, near: Floats) -> Floats:
        """Joints that put the effector at ``(x, y)`` (inverse kinematics, elbow kept on one side)."""
        s = self.setup
        c, si = math.cos(-s.yaw), math.sin(-s.yaw)
        dx, dy = x - s.x, y - s.y
        lx, ly = c * dx - si * dy, si * dx + c * dy
        l1, l2 = _LINKS
        cos2 = (lx * lx + ly * ly - l1 * l1 - l2 * l2) / (2.0 * l1 * l2)
        if not -1.0 <= cos2 <= 1.0:
            raise ValueError(f"{s.name} cannot reach ({x}, {y})")
        q2 = -math.acos(cos2)
        q1 = math.atan2(ly, lx) - math.atan2(l2 * math.sin(q2), l1 + l2 * math.cos(q2))
        # Take the turn closest to where the arm is, not the long way round.
        q1 += 2.0 * math.pi * round((near[0] - q1) / (2.0 * math.pi))
        return np.array([q1, q2])


def _schedule(setup: _RobotSetup, workspace: Workspace, duration_s: float, draw: Callable[[], float],
              mishaps: Optional["_Mishaps"] = None) -> _Plan:
    """Plan one robot's trips until ``duration_s``: each box feed to place, then all back; the
    lengths of grasps and releases drawn by ``draw``, the ``mishaps`` striking at their chances."""
    plan = _Plan(setup)
    mishaps = mishaps or _Mishaps()
    base = workspace.robots()[setup.name].base_pose
    for box in setup.boxes:
        model = workspace.items()[box]
        p = model.base_pose.position
        plan.boxes[box] = _Box(plan, p.z, held_height(base, model.size), [-1.0], [False], [p.x], [p.y], [0.0],
                               [-1.0], [0.0])

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


class _Draws:
    """Uniform draws from the cell's stream, kept, so that a run with faults can plan with the same."""

    def __init__(self, rng: np.random.Generator) -> None:
        self.rng = rng
        self.kept: List[float] = []

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


class _Mishaps:
    """The faults that change one robot's schedule, waiting for their chance, and a log of those
    that struck."""

    def __init__(self, faults: Sequence[Fault] = (), robot: str = "", ticks: Optional[Floats] = None,
                 clock: Optional["_Clock"] = None, log: Optional[List[Injected]] = None,
                 extra: Optional[np.random.Generator] = None) -> None:
        self.faults = list(faults)
        self.robot = robot
        self.ticks = ticks if ticks is not None else np.zeros(0)
        self.clock = clock
        self.log = log if log is not None else []
        self.extra = extra

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
        i = int(np.searchsorted(self.ticks, t))
        return float(self.ticks[i]) if i < len(self.ticks) else t

    def draw(self) -> float:
        assert self.extra is not None
        return float(self.extra.random())

    def struck(self, kind: str, shown_s: float, begins_s: float) -> None:
        assert self.clock is not None
        self.log.append(Injected(kind, self.robot, self.clock.stamp(shown_s), self.clock.stamp(begins_s)))


# -- recording ---------------------------------------------------------------

# Events at one time are recorded in the order of the product kinds.
_KIND = {kind: n for n, kind in enumerate(KINDS)}
# The faults that change a robot's schedule; the others strike what is sampled.
_PLAN_FAULTS = ("slip", "missed-grasp", "plan-overrun")


class _Clock:
    """A run's sampling times, seconds from its start, and their stamps."""

    def __init__(self, start_ns: int, duration_s: float) -> None:
        self.start_ns = start_ns
        self.duration_s = duration_s
        self.perception = self._times(PERCEPTION_HZ, 0.004)
        # Robots' controllers run on their own clocks, slightly out of phase.
        self.controllers = [self._times(CONTROLLER_HZ, 0.0017 * (k + 1)) for k in range(len(_ROBOTS))]

    def stamp(self, t: float) -> int:
        return self.start_ns + _ns(t)

    def stamps(self, t: Floats) -> List[int]:
        stamps: List[int] = (self.start_ns + np.round(t * 1e9).astype(np.int64)).tolist()
        return stamps

    def _times(self, hz: float, offset: float) -> Floats:
        return np.arange(offset, self.duration_s, 1.0 / hz)


class _Recorder:
    """Samples the plans into products and writes them, in time order, into a record; the faults
    that strike samples (not plans) are applied here and logged in ``log``."""

    def __init__(self, record: data_pb2.Record, clock: _Clock, plans: List[_Plan], boxes: Dict[str, _Box],
                 rng: np.random.Generator, faults: Sequence[Fault], log: List[Injected]) -> None:
        self.record = record
        self.clock = clock
        self.plans = plans
        self.boxes = boxes
        self.rng = rng
        self.faults = faults
        self.log = log

    def run(self) -> None:
        clock = self.clock
        swings = [start for start in (self._swing(f.at_s) for f in self.faults if f.kind == "near-collision")
                  if start is not None]
        perception = _PerceptionSamples(clock.perception, self.plans, self.boxes, self.rng)
        controllers = [_ControllerSamples(t, plan) for t, plan in zip(clock.controllers, self.plans)]
        for fault in self.faults:
            self._strike(fault, perception, controllers)
        for start in swings:
            self._closest(start, controllers)

        events: List[Event] = [(s, _KIND["perception"], 0, i) for i, s in enumerate(clock.stamps(clock.perception))]
        for k, (t, samples) in enumerate(zip(clock.controllers, controllers)):
            events.extend((s, _KIND["controller"], k, i) for i, s in enumerate(clock.stamps(t))
                          if i not in samples.silent)
        for k, plan in enumerate(self.plans):
            for i, start in enumerate(plan.starts):
                if start < clock.duration_s:
                    events.append((clock.stamp(start), _KIND["decision"], k, i))
                    if plan.moving[i]:
                        events.append((clock.stamp(start), _KIND["planner"], k, i))
        events.sort()

        products = self.record.products
        for t_ns, kind, k, i in events:
            product = products.add()
            product.timestamp_ns = t_ns
            if kind == _KIND["controller"]:
                controllers[k].write(product.controller, i)
            elif kind == _KIND["perception"]:
                perception.write(product.perception, i)
            elif kind == _KIND["decision"]:
                plan = self.plans[k]
                d = product.decision
                d.behavior, d.step, d.target_item = plan.setup.behavior, plan.steps[i], plan.targets[i]
            else:
                plan = self.plans[k]
                p = product.planner
                p.robot = plan.setup.name
                p.waypoints.add().values.extend(np.asarray(plan.q0[i]).tolist())
                p.waypoints.add().values.extend(np.asarray(plan.q1[i]).tolist())
                p.duration_s = plan.planned.get(i, plan.stops[i] - plan.starts[i])

    def _strike(self, fault: Fault, perception: "_PerceptionSamples",
                controllers: List["_ControllerSamples"]) -> None:
        """Apply a fault that strikes what is sampled, at the first sample at its time or after."""
        clock, robots = self.clock, tuple(setup.name for setup in _ROBOTS)
        if fault.kind in ("dropout", "bumped-camera"):
            t = clock.perception
            subject = fault.choose(tuple(name for name, _ in (perception.boxes if fault.kind == "dropout"
                                                              else perception.cameras)))
        elif fault.kind in ("stall", "damaged-value"):
            subject = fault.choose(robots)
            k = robots.index(subject)
            t = clock.controllers[k]
        else:
            return
        first = int(np.searchsorted(t, fault.at_s))
        if first >= len(t):
            return
        shown = begins = float(t[first])
        if fault.kind == "dropout":
            perception.hidden.setdefault(subject, set()).update(
                range(first, int(np.searchsorted(t, shown + fault.scaled(1.0, 2.0)))))
        elif fault.kind == "bumped-camera":
            perception.bump(subject, first, fault.scaled(0.04, 0.08), math.radians(fault.scaled(3.0, 8.0)))
        elif fault.kind == "stall":
            if first == 0:
                return
            controllers[k].silent.update(range(first, int(np.searchsorted(t, begins + fault.scaled(0.5, 1.5)))))
            shown = float(t[first - 1])     # the last report before the silence
        else:
            controllers[k].joints[0][first] = math.nan
        self.log.append(Injected(fault.kind, subject, clock.stamp(shown), clock.stamp(begins)))

    def _swing(self, at_s: float) -> Optional[float]:
        """Both arms swing into the middle between their bases, to within a few centimetres, from
        ``at_s`` or as soon after as no box changes hands meanwhile; when they do (or None)."""
        a, b = self.plans[:2]
        start = at_s
        for handed in sorted(t for plan in (a, b) for box in plan.boxes.values() for t in box.times):
            if start <= handed <= start + _DETOUR_S:
                start = handed + 0.001
        if start + _DETOUR_S >= self.clock.duration_s:
            return None
        ax, ay, bx, by = a.setup.x, a.setup.y, b.setup.x, b.setup.y
        apart = math.hypot(bx - ax, by - ay)
        ux, uy = (bx - ax) / apart, (by - ay) / apart
        for plan, side in ((a, -1.0), (b, 1.0)):
            # Effectors 6 cm apart: 1 cm between the links' surfaces.
            x, y = (ax + bx) / 2.0 + side * 0.03 * ux, (ay + by) / 2.0 + side * 0.03 * uy
            plan.detours.append(_Detour(start, plan.reach(x, y, near=plan.joints(np.array([start]))[0])))
        return start

    def _closest(self, start: float, controllers: List["_ControllerSamples"]) -> None:
        """Log a swing at the first controller report in it after which the arms, as last reported,
        are closer than the clearance."""
        clock, workspace = self.clock, self.record.project.workspace
        stop = start + _DETOUR_S
        reports = sorted((t, k, i) for k, ticks in enumerate(clock.controllers) for i, t in enumerate(ticks.tolist())
                         if start <= t <= stop and i not in controllers[k].silent)
        arms: Dict[int, Robot] = {}
        for t, k, i in reports:
            name = _ROBOTS[k].name
            state = system_pb2.RobotState()
            state.joint_positions.values.extend(column[i] for column in controllers[k].joints)
            arms[k] = robot_shape(name, workspace.robots[name], state)
            if len(arms) == 2 and arm_gap(arms[0], arms[1]) < ARM_CLEARANCE:
                subject = ",".join(s.name for s in _ROBOTS[:2])
                self.log.append(Injected("near-collision", subject, clock.stamp(t), clock.stamp(start)))
                return


class _PerceptionSamples:
    """Camera and box poses at every perception time, written out one product at a time."""

    def __init__(self, t: Floats, plans: List[_Plan], boxes: Dict[str, _Box],
                 rng: np.random.Generator) -> None:
        self.cameras: List[Tuple[str, Poses]] = []
        for name, x, y, yaw, _, amplitude, period in _CAMERAS:
            yaws = np.full(len(t), math.radians(yaw))
            if period:
                yaws += math.radians(amplitude) * np.sin(2.0 * math.pi * t / period)
            self.cameras.append((name, _poses(np.full(len(t), x), np.full(len(t), y),
                                              np.full(len(t), _CAMERA_Z), yaws)))
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


class _ControllerSamples:
    """One robot's controller reports at every controller tick but the ``silent`` ones."""

    def __init__(self, t: Floats, plan: _Plan) -> None:
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


def _ns(seconds: float) -> int:
    return int(round(seconds * 1e9))
