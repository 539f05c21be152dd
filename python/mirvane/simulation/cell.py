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
The parts: the cell's layout (``layout``), the robots' schedules and the
faults that change them (``motion``), what the sensors report (``samples``)
and the faults that strike it (``sample_faults``); here, a run put together
and written in time order.
"""

import heapq
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np

from dravik.api import data_pb2, project_pb2

from ..data import Data
from ..scene import KINDS
from .faults import Fault, Faults, Injected
from .layout import (CONTROLLER_HZ, DEFAULT_START_NS, PERCEPTION_HZ, PICK_PLACE_STEPS, ROBOTS, RunClock, Ticks,
                     build_cell, cell_behaviors, nanoseconds, project_snapshot)
from .motion import PLAN_FAULTS, Box, Draws, Mishaps, Plan, schedule
from .sample_faults import log_closest, strike, swing
from .samples import ControllerSamples, PerceptionSamples

__all__ = ["CONTROLLER_HZ", "DEFAULT_START_NS", "PERCEPTION_HZ", "PICK_PLACE_STEPS", "build_cell", "cell_behaviors",
           "make_recording", "project_snapshot", "Run", "run_cell", "simulate", "synthetic_record"]

Event = Tuple[int, int, int, int]  # (time ns, kind, source, index)
# Events at one time are recorded in the order of the product kinds.
_KIND = {kind: n for n, kind in enumerate(KINDS)}
_WINDOW = 1024      # samples stamped at a time


def simulate(duration_s: float = 10.0, seed: int = 0, start_ns: int = DEFAULT_START_NS,
             faults: Optional[Faults] = None) -> data_pb2.Record:
    """Run the demo cell for ``duration_s`` seconds and return what it recorded."""
    return run_cell(duration_s, seed, start_ns, faults)[0]


def run_cell(duration_s: float = 10.0, seed: int = 0, start_ns: int = DEFAULT_START_NS,
             faults: Optional[Faults] = None) -> Tuple[data_pb2.Record, List[Injected]]:
    """Run the demo cell for ``duration_s`` seconds, suffering ``faults``: what it recorded, and the
    faults it suffered, in the order they struck."""
    run = Run(duration_s, seed, start_ns, faults)
    record = data_pb2.Record()
    record.CopyFrom(run.header)
    for _ in run.products(record.products.add):
        pass
    return record, run.injected


class Run:
    """A run of the demo cell for ``duration_s`` seconds, suffering ``faults``, planned but not yet
    sampled: its record's ``header`` (a ``Record`` without products), the faults it suffers
    (``injected``, in the order they struck) and its products made one at a time (``products``)."""

    def __init__(self, duration_s: float = 10.0, seed: int = 0, start_ns: int = DEFAULT_START_NS,
                 faults: Optional[Faults] = None) -> None:
        if duration_s <= 0.0:
            raise ValueError("duration_s must be positive")
        rng = np.random.default_rng(seed)
        workspace = build_cell()
        self.header = data_pb2.Record(start_timestamp_ns=start_ns,
                                      stop_timestamp_ns=start_ns + nanoseconds(duration_s))
        self.header.project.CopyFrom(project_snapshot(workspace, cell_behaviors()))

        clock = RunClock(start_ns, duration_s)
        draws = [Draws(rng) for _ in ROBOTS]
        plans = [schedule(setup, workspace, duration_s, draw) for setup, draw in zip(ROBOTS, draws)]
        placed = faults.place(duration_s, seed) if faults is not None else []
        self.injected: List[Injected] = []
        if faults is not None and placed:
            # Planned again with the same draws, so that all is as in the twin without faults until one
            # strikes; what faults add (a second grasp) is drawn from the faults' own stream.
            extra = faults.stream(seed)
            robots = tuple(setup.name for setup in ROBOTS)
            plans = [schedule(setup, workspace, duration_s, draw.again(extra), Mishaps(
                         faults=[f for f in placed if f.kind in PLAN_FAULTS and f.choose(robots) == setup.name],
                         robot=setup.name, ticks=clock.controllers[k], clock=clock, log=self.injected, extra=extra))
                     for k, (setup, draw) in enumerate(zip(ROBOTS, draws))]
        boxes: Dict[str, Box] = {}
        for plan in plans:
            boxes.update(plan.boxes)
        self._sampler = _Sampler(self.header.project.workspace, clock, plans, boxes, rng,
                                 [f for f in placed if f.kind not in PLAN_FAULTS], self.injected)
        self.injected.sort(key=lambda fault: fault.shown_ns)

    def products(self, make: Callable[[], data_pb2.Product] = data_pb2.Product) -> Iterator[data_pb2.Product]:
        """The run's products in time order, each made by ``make`` and filled (once only)."""
        return self._sampler.products(make)


def make_recording(runs: int = 1, duration_s: float = 10.0, seed: int = 0,
                   start_ns: int = DEFAULT_START_NS, gap_s: float = 5.0) -> Data:
    """A data set of ``runs`` consecutive simulated runs, ``gap_s`` apart."""
    data = Data()
    for run in range(runs):
        begin = start_ns + run * nanoseconds(duration_s + gap_s)
        data.addRecord(simulate(duration_s, seed=seed + run, start_ns=begin))
    return data


def synthetic_record(n_products: int, seed: int = 0,
                     start_ns: int = DEFAULT_START_NS) -> data_pb2.Record:
    """A record of exactly ``n_products`` products of all kinds, for benchmarks.

    It is a simulated run cut to length, so its rates and contents are realistic.
    """
    if n_products < 0:
        raise ValueError("n_products must not be negative")
    per_second = len(ROBOTS) * CONTROLLER_HZ + PERCEPTION_HZ + 3.0
    duration_s = n_products / per_second * 1.02 + 1.0
    record = simulate(duration_s, seed, start_ns)
    while len(record.products) < n_products:
        duration_s *= 1.5
        record = simulate(duration_s, seed, start_ns)
    del record.products[n_products:]
    if n_products:
        record.stop_timestamp_ns = record.products[-1].timestamp_ns
    return record


class _Sampler:
    """Samples the plans into products, in time order; the faults that strike samples (not plans)
    are applied as it is made and logged in ``log``."""

    def __init__(self, workspace: project_pb2.WorkspaceModel, clock: RunClock, plans: List[Plan],
                 boxes: Dict[str, Box], rng: np.random.Generator, faults: Sequence[Fault],
                 log: List[Injected]) -> None:
        self.clock = clock
        self.plans = plans
        swings = [start for start in (swing(plans, clock, f.at_s) for f in faults
                                      if f.kind == "near-collision") if start is not None]
        self.perception = PerceptionSamples(clock.perception, plans, boxes, rng)
        self.controllers = [ControllerSamples(t, plan) for t, plan in zip(clock.controllers, plans)]
        for fault in faults:
            strike(fault, clock, self.perception, self.controllers, log)
        for start in swings:
            log_closest(start, clock, workspace, self.controllers, log)

    def products(self, make: Callable[[], data_pb2.Product]) -> Iterator[data_pb2.Product]:
        controllers, perception = self.controllers, self.perception
        for t_ns, kind, k, i in self._events():
            product = make()
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
                for joints in plan.ends(i):
                    p.waypoints.add().values.extend(joints)
                p.duration_s = plan.planned.get(i, plan.stops[i] - plan.starts[i])
            yield product

    def _events(self) -> Iterator[Event]:
        """Every sample and step, in time order: each sensor's and each robot's steps in turn, merged."""
        clock = self.clock
        sampled = [_sampled(clock, clock.perception, _KIND["perception"], 0, set())]
        sampled += [_sampled(clock, t, _KIND["controller"], k, samples.silent)
                    for k, (t, samples) in enumerate(zip(clock.controllers, self.controllers))]
        return heapq.merge(*(_stepped(clock, plan, k) for k, plan in enumerate(self.plans)), *sampled)


def _stepped(clock: RunClock, plan: Plan, k: int) -> Iterator[Event]:
    """The events of robot ``k``'s steps that start within the run: a decision at each, and a plan
    at each motion (its segments are back to back, so already in time order)."""
    for i, start in enumerate(plan.starts):
        if start < clock.duration_s:
            at = clock.stamp(start)
            steps = [(at, _KIND["decision"], k, i)]
            if plan.moving[i]:
                steps.append((at, _KIND["planner"], k, i))
            yield from sorted(steps)


def _sampled(clock: RunClock, t: Ticks, kind: int, k: int, silent: Set[int]) -> Iterator[Event]:
    """The events of a sensor sampled at times ``t`` but the ``silent`` samples, stamped a window at a time."""
    for first in range(0, len(t), _WINDOW):
        for i, s in enumerate(clock.stamps(t[first:first + _WINDOW]), first):
            if i not in silent:
                yield s, kind, k, i
