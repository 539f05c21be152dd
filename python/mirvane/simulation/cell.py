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
from typing import Dict, List, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2

from .._version import __version__
from ..behavior import Behavior
from ..data import Data
from ..scene import KINDS, effector_of, held_height
from ..workspace import Workspace

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
    snapshot = project_pb2.ProjectSnapshot(version=__version__)
    snapshot.workspace.CopyFrom(workspace._getSnapshot())
    for behavior in behaviors:
        snapshot.behaviors[behavior.name()].CopyFrom(Behavior._ToModel(behavior))
    return snapshot


def simulate(duration_s: float = 10.0, seed: int = 0,
             start_ns: int = DEFAULT_START_NS) -> data_pb2.Record:
    """Run the demo cell for ``duration_s`` seconds and return what it recorded."""
    if duration_s <= 0.0:
        raise ValueError("duration_s must be positive")
    rng = np.random.default_rng(seed)
    workspace = build_cell()
    record = data_pb2.Record(start_timestamp_ns=start_ns,
                             stop_timestamp_ns=start_ns + _ns(duration_s))
    record.project.CopyFrom(project_snapshot(workspace, cell_behaviors()))

    plans = [_schedule(setup, workspace, duration_s, rng) for setup in _ROBOTS]
    boxes: Dict[str, _Box] = {}
    for plan in plans:
        boxes.update(plan.boxes)
    _Recorder(record, start_ns, duration_s, plans, boxes, rng).run()
    return record


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
        return np.asarray(self.held)[np.searchsorted(np.asarray(self.times), t, side="right") - 1]

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

    def _append(self, t: float, held: bool, x: float, y: float, yaw: float) -> None:
        self.times.append(t)
        self.held.append(held)
        self.x.append(x)
        self.y.append(y)
        self.yaw.append(yaw)


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
        self.boxes: Dict[str, _Box] = {}

    def add(self, step: str, box: str, q0: Floats, q1: Floats, duration: float, moving: bool) -> float:
        """Append a segment right after the last one; returns when it ends."""
        start = self.stops[-1] if self.stops else self.setup.start_s
        self.starts.append(start)
        self.stops.append(start + duration)
        self.q0.append(q0)
        self.q1.append(q1)
        self.steps.append(step)
        self.targets.append(box)
        self.moving.append(moving)
        return start + duration

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


def _schedule(setup: _RobotSetup, workspace: Workspace, duration_s: float,
              rng: np.random.Generator) -> _Plan:
    """Plan one robot's trips until ``duration_s``: each box feed to place, then all back."""
    plan = _Plan(setup)
    base = workspace.robots()[setup.name].base_pose
    for box in setup.boxes:
        model = workspace.items()[box]
        p = model.base_pose.position
        plan.boxes[box] = _Box(plan, p.z, held_height(base, model.size), [-1.0], [False], [p.x], [p.y], [0.0],
                               [-1.0], [0.0])

    def motion(step: str, box: str, q0: Floats, q1: Floats) -> float:
        return plan.add(step, box, q0, q1, _SETTLE_S + float(np.max(np.abs(q1 - q0))) / _JOINT_SPEED, True)

    q = plan.home
    t = setup.start_s
    trip = 0
    while t < duration_s:
        sources, targets = (setup.feed, setup.place) if trip % 2 == 0 else (setup.place, setup.feed)
        for box, src, dst in zip(setup.boxes, sources, targets):
            pick = plan.reach(*src, near=q)
            place = plan.reach(*dst, near=pick)
            track = plan.boxes[box]
            grasp = motion("move_to_pick", box, q, pick)
            t = plan.add("grasp", box, pick, pick, 0.35 + 0.15 * rng.random(), False)
            _, _, heading = (v[0] for v in plan.effector(pick[None, :]))
            # The gripper closes halfway through the grasp, then lifts.
            track.attach((grasp + t) / 2.0, t, yaw_offset=track.yaw[-1] - heading)
            release = motion("move_to_place", box, pick, place)
            fx, fy, heading = (v[0] for v in plan.effector(place[None, :]))
            t = plan.add("release", box, place, place, 0.3 + 0.1 * rng.random(), False)
            # It lowers the box over the first half of the release and opens at three quarters.
            track.rest(release, (release + t) / 2.0, (release + 3.0 * t) / 4.0, fx, fy, heading + track.yaw[-1])
            t = motion("retreat", box, place, plan.home)
            q = plan.home
        trip += 1
    return plan


# -- recording ---------------------------------------------------------------

# Events at one time are recorded in the order of the product kinds.
_KIND = {kind: n for n, kind in enumerate(KINDS)}


class _Recorder:
    """Samples the plans into products and writes them, in time order, into a record."""

    def __init__(self, record: data_pb2.Record, start_ns: int, duration_s: float,
                 plans: List[_Plan], boxes: Dict[str, _Box], rng: np.random.Generator) -> None:
        self.record = record
        self.start_ns = start_ns
        self.duration_s = duration_s
        self.plans = plans
        self.boxes = boxes
        self.rng = rng

    def run(self) -> None:
        events: List[Event] = []
        perception = self._samplePerception(events)
        controllers = [self._sampleController(k, plan, events) for k, plan in enumerate(self.plans)]
        for k, plan in enumerate(self.plans):
            for i, start in enumerate(plan.starts):
                if start < self.duration_s:
                    events.append((self._ns(start), _KIND["decision"], k, i))
                    if plan.moving[i]:
                        events.append((self._ns(start), _KIND["planner"], k, i))
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
                p.duration_s = plan.stops[i] - plan.starts[i]

    def _ns(self, t: float) -> int:
        return self.start_ns + _ns(t)

    def _stamps(self, t: Floats) -> List[int]:
        stamps: List[int] = (self.start_ns + np.round(t * 1e9).astype(np.int64)).tolist()
        return stamps

    def _times(self, hz: float, offset: float) -> Floats:
        return np.arange(offset, self.duration_s, 1.0 / hz)

    def _samplePerception(self, events: List[Event]) -> "_PerceptionSamples":
        t = self._times(PERCEPTION_HZ, 0.004)
        events.extend((s, _KIND["perception"], 0, i) for i, s in enumerate(self._stamps(t)))
        return _PerceptionSamples(t, self.plans, self.boxes, self.rng)

    def _sampleController(self, k: int, plan: _Plan, events: List[Event]) -> "_ControllerSamples":
        # Robots' controllers run on their own clocks, slightly out of phase.
        t = self._times(CONTROLLER_HZ, 0.0017 * (k + 1))
        events.extend((s, _KIND["controller"], k, i) for i, s in enumerate(self._stamps(t)))
        return _ControllerSamples(t, plan)


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

    def write(self, msg: system_pb2.Perception, i: int) -> None:
        for name, poses in self.cameras:
            _fill(msg.camera_poses[name], poses, i)
        for name, poses in self.boxes:
            _fill(msg.item_poses[name], poses, i)


class _ControllerSamples:
    """One robot's controller reports at every controller tick."""

    def __init__(self, t: Floats, plan: _Plan) -> None:
        q = plan.joints(t)
        fx, fy, fh = plan.effector(q)
        self.robot = plan.setup.name
        # Flat columns rather than rows: far fewer Python objects for the collector to scan.
        self.joints = [column.tolist() for column in q.T]
        self.effector = [fx.tolist(), fy.tolist(), fh.tolist()]
        self.held = plan.heldAt(t)
        self.held_poses: Dict[str, Poses] = {}
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
