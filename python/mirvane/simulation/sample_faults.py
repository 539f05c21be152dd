"""The faults that strike what the cell's sensors report rather than its robots' schedules: a
dropout, a bumped camera, a stall, a damaged value (``strike``) and a near collision (``swing``
into the shared middle, logged at the report that shows the arms too close: ``log_closest``).
"""

import math
from typing import Dict, List, Optional

import numpy as np

from dravik.api import project_pb2, system_pb2

from ..scene import ARM_CLEARANCE, Robot, arm_gap
from ..scene import robot as robot_shape
from .faults import Fault, Injected
from .layout import ROBOTS, RunClock, Ticks
from .motion import DETOUR_S, Detour, Plan
from .samples import ControllerSamples, PerceptionSamples


def strike(fault: Fault, clock: RunClock, perception: PerceptionSamples, controllers: List[ControllerSamples],
           log: List[Injected]) -> None:
    """Apply a fault that strikes what is sampled, at the first sample at its time or after, and log it."""
    robots = tuple(setup.name for setup in ROBOTS)
    if fault.kind in ("dropout", "bumped-camera"):
        t = clock.perception
        subject = fault.choose(tuple(perception.boxes if fault.kind == "dropout" else perception.cameras))
    elif fault.kind in ("stall", "damaged-value"):
        subject = fault.choose(robots)
        k = robots.index(subject)
        t = clock.controllers[k]
    else:
        return
    first = t.searchsorted(fault.at_s)
    if first >= len(t):
        return
    shown = begins = t.at(first)
    if fault.kind == "dropout":
        perception.hidden.setdefault(subject, set()).update(
            range(first, t.searchsorted(shown + fault.scaled(1.0, 2.0))))
    elif fault.kind == "bumped-camera":
        perception.bump(subject, first, fault.scaled(0.04, 0.08), math.radians(fault.scaled(3.0, 8.0)))
    elif fault.kind == "stall":
        if first == 0:
            return
        controllers[k].silent.update(range(first, t.searchsorted(begins + fault.scaled(0.5, 1.5))))
        shown = t.at(first - 1)     # the last report before the silence
    else:
        # A report a stall silenced shows nothing: the next one sent is damaged.
        while first in controllers[k].silent:
            first += 1
        if first >= len(t):
            return
        shown = begins = t.at(first)
        controllers[k].damaged.add(first)
    log.append(Injected(fault.kind, subject, clock.stamp(shown), clock.stamp(begins)))


def swing(plans: List[Plan], clock: RunClock, at_s: float) -> Optional[float]:
    """Both arms swing into the middle between their bases, to within a few centimetres, from
    ``at_s`` or as soon after as no box changes hands meanwhile; when they do (or None)."""
    a, b = plans[:2]
    start = at_s
    for handed in sorted(t for plan in (a, b) for box in plan.boxes.values() for t in box.times):
        if start <= handed <= start + DETOUR_S:
            start = handed + 0.001
    if start + DETOUR_S >= clock.duration_s:
        return None
    ax, ay, bx, by = a.setup.x, a.setup.y, b.setup.x, b.setup.y
    apart = math.hypot(bx - ax, by - ay)
    ux, uy = (bx - ax) / apart, (by - ay) / apart
    for plan, side in ((a, -1.0), (b, 1.0)):
        # Effectors 6 cm apart: 1 cm between the links' surfaces.
        x, y = (ax + bx) / 2.0 + side * 0.03 * ux, (ay + by) / 2.0 + side * 0.03 * uy
        plan.detours.append(Detour(start, plan.reach(x, y, near=plan.joints(np.array([start]))[0])))
    return start


def log_closest(start: float, clock: RunClock, workspace: project_pb2.WorkspaceModel,
                controllers: List[ControllerSamples], log: List[Injected]) -> None:
    """Log a swing at the first controller report in it after which the arms, as last reported,
    are closer than the clearance."""
    stop = start + DETOUR_S
    reports = sorted((t, k, i) for k, ticks in enumerate(clock.controllers)
                     for i, t in enumerate(_between(ticks, start, stop), ticks.searchsorted(start))
                     if i not in controllers[k].silent)
    arms: Dict[int, Robot] = {}
    for t, k, i in reports:
        name = ROBOTS[k].name
        state = system_pb2.RobotState()
        state.joint_positions.values.extend(controllers[k].joints(i))
        arms[k] = robot_shape(name, workspace.robots[name], state)
        if len(arms) == 2 and arm_gap(arms[0], arms[1]) < ARM_CLEARANCE:
            subject = ",".join(s.name for s in ROBOTS[:2])
            log.append(Injected("near-collision", subject, clock.stamp(t), clock.stamp(start)))
            return


def _between(ticks: Ticks, start: float, stop: float) -> List[float]:
    """The ticks from ``start`` to ``stop``, both included."""
    between: List[float] = ticks[ticks.searchsorted(start):ticks.searchsorted(stop, side="right")].tolist()
    return between
