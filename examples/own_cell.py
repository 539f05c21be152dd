"""Record a cell of your own: three robots, two cameras and ten parts, through the recorder alone.

    python examples/own_cell.py [--seconds S] [--no-faults] [OUT.mcap]    # and OUT.mvproj, its project

The cell: ``welder`` (7 joints) and ``loader`` (6 joints) stand on the floor and move parts across
the table; ``gantry`` (3 joints) hangs from a beam 1.7 m up, over the welder's area, and moves
spindles between two racks about 1.5 m above the table. Each robot runs one behaviour per part,
``approach``, ``close_gripper``, ``lift``, ``transfer``, ``open_gripper``, ``retreat``, and idles
between parts. Its motion is plain joint interpolation toward waypoints found by a small inverse
kinematics of its own. Perception is stamped when its frame is captured but reaches the recorder
about 20 ms later, as a real camera pipeline's does; the recorder writes the file in stamp order.

With faults (the default) two things go wrong, by hand: the loader loses its first part during the
transfer (perception sees it fall to the floor under where it was lost), and the welder's controller
is silent for 1 s in its first idle. ``mirvane events OUT.mcap`` should find those two and nothing
else at warning or error.
"""

import argparse
import bisect
import functools
import math
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from mirvane.behavior import Behavior
from mirvane.formats.recorder import Recorder
from mirvane.project import Project
from mirvane.workspace import Workspace

Point = Tuple[float, float]
XYZ = Tuple[float, float, float]

STEPS = ("approach", "close_gripper", "lift", "transfer", "open_gripper", "retreat")
ARM_HEIGHT = 0.2          # the links' plane above the mount, along its up axis (the default)
LINK_WIDTH = 0.05
PERCEPTION_HZ = 30.0
LATENCY_S = 0.020         # capture to hand-over of a perception frame
NOISE_M = 0.001           # perception's noise
LIFT_M = 0.06             # how far a part is raised off its support to be carried
GRAVITY = 9.81


@dataclass(frozen=True)
class Arm:
    name: str
    x: float
    y: float
    links: Tuple[float, ...]
    hz: float
    z: float = 0.0
    roll: float = 0.0
    yaw: float = 0.0
    home: Point = (0.0, 0.0)

    @property
    def plane_z(self) -> float:
        """The height of the links' plane: ``ARM_HEIGHT`` along the mount's up axis."""
        return self.z + ARM_HEIGHT * math.cos(self.roll)

    def effector(self, joints: Sequence[float]) -> Tuple[float, float, float]:
        """Where the effector is, ``(x, y, heading)`` in the floor plane (forward kinematics)."""
        heading, x, y = 0.0, 0.0, 0.0
        for length, joint in zip(self.links, joints):
            heading += joint
            x, y = x + length * math.cos(heading), y + length * math.sin(heading)
        flip = math.cos(self.roll)          # hung upside down (roll = pi): the arm's y axis and turns mirror
        c, s = math.cos(self.yaw), math.sin(self.yaw)
        return self.x + c * x - s * flip * y, self.y + s * x + c * flip * y, self.yaw + flip * heading

    def reach(self, target: Point) -> List[float]:
        """Joints that put the effector on ``target``: the first joint aims, the others bend alike."""
        c, s, flip = math.cos(self.yaw), math.sin(self.yaw), math.cos(self.roll)
        dx, dy = target[0] - self.x, target[1] - self.y
        lx, ly = c * dx + s * dy, flip * (-s * dx + c * dy)
        distance = math.hypot(lx, ly)

        def tip(bend: float) -> Point:
            heading, x, y = 0.0, 0.0, 0.0
            for k, length in enumerate(self.links):
                heading += bend if k else 0.0
                x, y = x + length * math.cos(heading), y + length * math.sin(heading)
            return x, y

        # The least bend that brings the tip close enough, then refined by bisection.
        bends = np.linspace(0.0, math.pi, 361)
        close = [b for b in bends if math.hypot(*tip(b)) <= distance]
        if not close or distance > sum(self.links):
            raise ValueError(f"{self.name} cannot reach {target}")
        low, high = close[0] - bends[1], close[0]
        for _ in range(50):
            bend = (low + high) / 2.0
            low, high = (bend, high) if math.hypot(*tip(bend)) > distance else (low, bend)
        x, y = tip(low)
        return [math.atan2(ly, lx) - math.atan2(y, x)] + [low] * (len(self.links) - 1)


@dataclass(frozen=True)
class Task:
    part: str
    pick: XYZ             # the part's centre where it rests before and after
    place: XYZ


# The cell. Parts rest with their centre at the support's height plus half their own.
WELDER = Arm("welder", 0.0, 0.0, (0.3, 0.22, 0.15, 0.1, 0.08, 0.06, 0.04), hz=100.0, home=(0.5, 0.0))
LOADER = Arm("loader", 2.0, 0.0, (0.34, 0.28, 0.16, 0.1, 0.07, 0.05), hz=100.0, yaw=math.pi, home=(1.45, 0.0))
GANTRY = Arm("gantry", 0.45, 0.0, (0.3, 0.25, 0.15), hz=50.0, z=1.7, roll=math.pi, home=(0.95, 0.0))
ARMS = (WELDER, LOADER, GANTRY)
RACK_TOP = 1.30           # the racks' shelves, under the gantry's plane (1.5 m)
PART_SIZES = {"bracket": (0.06, 0.04, 0.03), "housing": (0.08, 0.08, 0.05), "spindle": (0.04, 0.04, 0.08)}


def size_of(part: str) -> Tuple[float, float, float]:
    """A part's size, by its kind: the name before its number."""
    return PART_SIZES[part.rsplit("_", 1)[0]]


def _row(kind: str, count: int, x0: float, dx: float, y: float, support: float) -> List[Task]:
    """``count`` parts of ``kind`` on a support ``support`` metres up, from ``y`` across to ``-y``."""
    z = support + PART_SIZES[kind][2] / 2.0
    return [Task(f"{kind}_{k + 1}", (x0 + dx * k, y, z), (x0 + dx * k, -y, z)) for k in range(count)]


TASKS = {"welder": _row("bracket", 4, 0.3, 0.1, 0.55, 0.0), "loader": _row("housing", 4, 1.4, 0.1, 0.55, 0.0),
         "gantry": _row("spindle", 2, 0.35, 0.15, 0.4, RACK_TOP)}
# name, x, y, z, yaw, field of view (deg), view range (m)
CAMERAS = (("overhead", 1.0, 0.0, 2.2, -math.pi / 2, 90.0, 2.2),
           ("side", 1.0, -1.6, 1.2, math.pi / 2, 70.0, 2.5))


def build_project() -> Project:
    """The cell's project: layout and behaviours. Step roles are left to the defaults, which know
    ``close_gripper`` (a grasp) and ``open_gripper`` (a release)."""
    ws = Workspace()
    for arm in ARMS:
        ws.addRobot(arm.name, arm.x, arm.y, arm.links, yaw=arm.yaw, joint_positions=arm.reach(arm.home),
                    z=arm.z, roll=arm.roll, arm_height=ARM_HEIGHT, link_width=LINK_WIDTH)
    for name, x, y, z, yaw, fov, depth in CAMERAS:
        ws.addCamera(name, x, y, yaw=yaw, field_of_view_deg=fov, z=z, view_range=depth)
    for tasks in TASKS.values():
        for task in tasks:
            ws.addItem(task.part, task.pick[0], task.pick[1], size=size_of(task.part))
    project = Project()
    project.setWorkspace(ws)
    for arm in ARMS:
        project.addBehavior(Behavior(f"{arm.name}_cycle", robot=arm.name, steps=STEPS))
    return project


# -- the run: each robot's timeline, then the parts', sampled as the sensors would ----------------

@dataclass
class Timeline:
    """One robot's run: joint motions, decisions, plans, and the parts it held when."""
    arm: Arm
    moves: List[Tuple[float, float, List[float], List[float]]] = field(default_factory=list)
    decisions: List[Tuple[float, str, str]] = field(default_factory=list)
    plans: List[Tuple[float, List[float], List[float], float]] = field(default_factory=list)
    holds: List[Tuple[float, float, str]] = field(default_factory=list)
    idles: List[Tuple[float, float]] = field(default_factory=list)

    def joints(self, t: float) -> List[float]:
        starts = [m[0] for m in self.moves]
        k = bisect.bisect_right(starts, t) - 1
        if k < 0:
            return self.arm.reach(self.arm.home)
        t0, t1, q0, q1 = self.moves[k]
        u = min(max((t - t0) / (t1 - t0), 0.0), 1.0)
        u = u * u * (3.0 - 2.0 * u)        # smooth start and stop
        return [a + (b - a) * u for a, b in zip(q0, q1)]

    def held(self, t: float) -> str:
        return next((part for t0, t1, part in self.holds if t0 <= t < t1), "")


@dataclass
class Run:
    """What a recorded run did: the products handed over (and how many the recorder wrote out of
    order), the parts placed, the part lost (part, robot, seconds) and the controller silenced (robot,
    from, to seconds), for checking what the recording shows."""
    products: int = 0
    late: int = 0
    placed: List[str] = field(default_factory=list)
    lost: Optional[Tuple[str, str, float]] = None
    silent: Optional[Tuple[str, float, float]] = None


class Cell:
    """The cell's run: plans every robot's timeline, then answers where everything is at a time."""

    def __init__(self, seconds: float, faults: bool, seed: int) -> None:
        self.rng = np.random.default_rng(seed)
        self.seconds = seconds
        self.run = Run()
        self.pieces: Dict[str, List[Tuple[float, Callable[[float], XYZ]]]] = {}   # part: (from, where) pieces
        for tasks in TASKS.values():
            for task in tasks:
                self.pieces[task.part] = [(-math.inf, _still(task.pick))]
        self.timelines = [self._plan(arm, start, faults) for arm, start in zip(ARMS, (0.3, 0.8, 1.4))]
        if faults:
            idle = next(i for i in self.timelines[0].idles if i[1] - i[0] > 1.5)
            self.run.silent = (WELDER.name, idle[0] + 0.3, idle[0] + 1.3)

    def _plan(self, arm: Arm, t: float, faults: bool) -> Timeline:
        line = Timeline(arm)
        q = arm.reach(arm.home)
        behaviour = f"{arm.name}_cycle"
        tasks, back = list(TASKS[arm.name]), False
        while t < self.seconds:
            for task in tasks:
                pick, place = (task.place, task.pick) if back else (task.pick, task.place)
                if self.pieces[task.part][-1][1](math.inf) != pick:
                    continue                  # lost on the floor: left for a person to pick up
                t, q = self._move(line, t, q, arm.reach(pick[:2]), "approach", task.part)
                line.decisions.append((t, "close_gripper", task.part))
                grasp = t + 0.2
                t += 0.4
                line.decisions.append((t, "lift", task.part))
                lift = (t, t + 0.4)
                t += 0.5
                carry_from = t
                t, q = self._move(line, t, q, arm.reach(place[:2]), "transfer", task.part)
                carry_to = t
                line.decisions.append((t, "open_gripper", task.part))
                lower, release = (t, t + 0.25), t + 0.3
                t += 0.5
                lost = faults and arm is LOADER and self.run.lost is None
                if lost:
                    at = (carry_from + carry_to) / 2.0
                    line.holds.append((grasp, at, task.part))
                    self._carry(line, task.part, pick, pick, lift, (at + 1.0, at + 1.0), grasp)
                    self._fall(task.part, line, at, pick[2] + LIFT_M, size_of(task.part)[2] / 2.0)
                    self.run.lost = (task.part, arm.name, at)
                else:
                    line.holds.append((grasp, release, task.part))
                    self._carry(line, task.part, pick, place, lift, lower, grasp)
                    self.pieces[task.part].append((release, _still(place)))
                    if release < self.seconds:
                        self.run.placed.append(task.part)
                t, q = self._move(line, t, q, arm.reach(arm.home), "retreat", task.part)
                idle = float(self.rng.uniform(1.6, 3.0))
                line.idles.append((t, t + idle))
                t += idle
                if t >= self.seconds:
                    break
            back = not back
        return line

    def _move(self, line: Timeline, t: float, q0: List[float], q1: List[float], step: str,
              part: str) -> Tuple[float, List[float]]:
        """A joint motion from ``q0`` to ``q1``, planned and decided at ``t``; when it ends, and where."""
        duration = max(0.8, 0.9 * max(abs(b - a) for a, b in zip(q0, q1)))
        line.decisions.append((t, step, part))
        line.plans.append((t, q0, q1, duration))
        line.moves.append((t, t + duration, q0, q1))
        return t + duration, q1

    def _carry(self, line: Timeline, part: str, pick: XYZ, place: XYZ, lift: Tuple[float, float],
               lower: Tuple[float, float], grasp: float) -> None:
        """The part from its grasp on: raised, carried with the effector, lowered onto ``place``."""
        def where(t: float) -> XYZ:
            x, y, _ = line.arm.effector(line.joints(t))
            up = _ramp(t, *lift) - _ramp(t, *lower)
            z = pick[2] + LIFT_M * up if t < lower[0] else place[2] + LIFT_M * up
            return x, y, z
        self.pieces[part].append((grasp, where))

    def _fall(self, part: str, line: Timeline, at: float, height: float, floor: float) -> None:
        """Lost at ``at``: it drops straight down to the floor and lies there."""
        x, y, _ = line.arm.effector(line.joints(at))

        def where(t: float) -> XYZ:
            return x, y, max(floor, height - GRAVITY * (t - at) ** 2 / 2.0)
        self.pieces[part].append((at, where))

    def part(self, name: str, t: float) -> XYZ:
        pieces = self.pieces[name]
        k = bisect.bisect_right([p[0] for p in pieces], t) - 1
        return pieces[k][1](t)


def _still(at: XYZ) -> Callable[[float], XYZ]:
    """Lying at ``at``, whatever the time."""
    return lambda t: at


def _ramp(t: float, t0: float, t1: float) -> float:
    """0 before ``t0``, 1 from ``t1`` on, straight between."""
    return 0.0 if t < t0 else 1.0 if t >= t1 else (t - t0) / (t1 - t0)


def record(path: Union[str, Path], seconds: float = 60.0, faults: bool = True, seed: int = 7) -> Run:
    """Run the cell for ``seconds`` and record it into the MCAP file ``path`` (which must not exist)."""
    cell = Cell(seconds, faults, seed)
    project = build_project()
    # Stamped by the clock, as a live cell is: the recorder's /scene follows products from when it opened.
    start_ns = time.time_ns()

    def stamp(t: float) -> int:
        return start_ns + int(round(t * 1e9))

    handed: List[Tuple[float, int, Callable[[Recorder], None]]] = []   # (when it reaches the recorder, ...)

    def hand(at: float, call: Callable[[Recorder], None]) -> None:
        handed.append((at, len(handed), call))

    for line in cell.timelines:
        arm = line.arm
        for t, step, part in line.decisions:
            hand(t, functools.partial(_decide, f"{arm.name}_cycle", step, part, stamp(t)))
        for t, q0, q1, duration in line.plans:
            hand(t, functools.partial(_plan, arm.name, [q0, q1], duration, stamp(t)))
        silent = cell.run.silent if cell.run.silent and cell.run.silent[0] == arm.name else None
        for t in np.arange(0.0017 * (ARMS.index(arm) + 1), seconds, 1.0 / arm.hz):
            if not (silent and silent[1] <= t < silent[2]):
                hand(float(t), functools.partial(_report, cell, line, float(t), stamp(t)))
    for t in np.arange(0.004, seconds, 1.0 / PERCEPTION_HZ):
        late = LATENCY_S + float(cell.rng.uniform(-0.004, 0.004))
        noise = cell.rng.normal(0.0, NOISE_M, (len(cell.pieces), 2))
        hand(float(t) + late, functools.partial(_perceive, cell, float(t), stamp(t), noise))
    handed = [h for h in handed if h[0] < seconds]
    handed.sort(key=lambda h: (h[0], h[1]))
    with Recorder(path, project, reorder_window=0.5) as recorder:
        for _, _, call in handed:
            call(recorder)
    cell.run.late = recorder.late_products
    cell.run.products = len(handed)
    return cell.run


def _decide(behavior: str, step: str, part: str, stamp: int, recorder: Recorder) -> None:
    recorder.decision(behavior, step, part, time_ns=stamp)


def _plan(robot: str, waypoints: List[List[float]], duration: float, stamp: int, recorder: Recorder) -> None:
    recorder.planner(robot, waypoints, duration, time_ns=stamp)


def _report(cell: Cell, line: Timeline, t: float, stamp: int, recorder: Recorder) -> None:
    joints = line.joints(t)
    held = line.held(t)
    pose = (*cell.part(held, t), 0.0) if held else None
    recorder.controller(line.arm.name, joints, line.arm.effector(joints), grasped_item=held, grasped_pose=pose,
                        time_ns=stamp)


def _perceive(cell: Cell, t: float, stamp: int, noise: "np.ndarray[Any, np.dtype[np.float64]]",
              recorder: Recorder) -> None:
    cameras = {name: (x, y, z, yaw) for name, x, y, z, yaw, _, _ in CAMERAS}
    items = {}
    for (name, _), (nx, ny) in zip(sorted(cell.pieces.items()), noise):
        x, y, z = cell.part(name, t)
        items[name] = (x + nx, y + ny, z, 0.0)
    recorder.perception(camera_poses=cameras, item_poses=items, time_ns=stamp)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out", nargs="?", default=str(Path(__file__).with_suffix(".mcap")))
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--no-faults", dest="faults", action="store_false")
    args = ap.parse_args()
    Path(args.out).unlink(missing_ok=True)
    run = record(args.out, args.seconds, args.faults)
    project = Path(args.out).with_suffix(".mvproj")
    build_project().save(str(project))       # what replay takes besides the file
    print(f"Recorded {args.seconds:g} s of the cell ({run.products} products, {run.late} out of order) to {args.out}: "
          f"{len(run.placed)} parts placed" + (f", {run.lost[0]} lost by {run.lost[1]} at {run.lost[2]:.2f} s"
                                               if run.lost else "")
          + (f", {run.silent[0]}'s controller silent from {run.silent[1]:.2f} s to {run.silent[2]:.2f} s"
             if run.silent else ""))
    print(f"Its events: mirvane events {args.out}; watch it: mirvane replay {args.out} --project {project} --serve")


if __name__ == "__main__":
    main()
