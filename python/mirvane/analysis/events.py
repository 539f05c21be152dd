"""Events: the moments that matter in a record, found from its products alone.

A ``Detector`` is fed a record's products one by one, in record order, and
returns the events each one completes; ``finish`` closes what is still open at
the end. It knows only what a recording holds: the record's project (layout,
starting state, behaviours) and its products, never what a simulator knew, so
it finds the same on anyone's recordings, live or afterwards, in one pass.
``record_events`` gives a whole record's events, numbered.

A point event (a grasp, a damaged value) is returned with the product that
shows it; a range event (a stall, an item unseen, arms too close) once it
ends, its ``time`` where it began and its ``end`` where it ended. Reports of
different sources may be out of step by up to ``SKEW_S``: an item seen moving
while nothing holds it, and a grasp step that ended holding nothing, are judged
only once the other sources have had that long to tell otherwise, so they are
returned up to ``SKEW_S`` after the product that shows them (keeping its mark).

Which steps grasp and release is each behaviour's declaration (``Behavior.role``: its roles, else
the defaults for the step's name); the behaviour a robot runs is the one its decisions name. An
item let go of outside a release step is told from the data: lost while its robot moves it is
dropped at once; let go of by a robot holding still, it is put down (a ``release``) if it comes
to rest where it was, dropped if it falls, judged ``SETTLE_S`` (and ``SKEW_S``) later. A motion
ends when its robot reports reaching the plan's last waypoint (``ARRIVAL_TOLERANCE``), so a robot
idling after it is not overrunning.
"""

import math
from dataclasses import replace
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2

from .. import scene
from ..behavior import StepRole, roles_of, step_role
from ..records import ENDED, Event, EventKind, Severity, duration_seconds, event_marks, seconds_between

__all__ = ["INFO", "WARNING", "ERROR", "SEVERITIES", "KINDS", "ENDED", "Event", "EventKind", "Severity",
           "Detector", "numbered", "record_events", "product_events", "marks", "tally"]

INFO, WARNING, ERROR = Severity.INFO, Severity.WARNING, Severity.ERROR
#: Severities from the least.
SEVERITIES: Tuple[str, ...] = tuple(Severity)

#: Every kind of event, and its severity (``near-collision`` becomes ``collision`` once the arms touch).
KINDS: Dict[str, Severity] = {
    EventKind.STEP: INFO,               # a behaviour moved to its next step
    EventKind.GRASP: INFO,              # a robot took hold of an item
    EventKind.RELEASE: INFO,            # ... and let go of it in a release step, or put it down
    EventKind.DROP: ERROR,              # a held item lost outside a release, or an item moving while nothing holds it
    EventKind.MISSED_GRASP: WARNING,    # a grasp step ended with nothing held
    EventKind.UNSEEN: WARNING,          # perception missed an item for longer than UNSEEN_S
    EventKind.CAMERA_MOVED: WARNING,    # a camera perceived away from its layout position (or where it last moved to)
    EventKind.NEAR_COLLISION: WARNING,  # two arms' links closer than the clearance (scene.ARM_CLEARANCE)
    EventKind.COLLISION: ERROR,         # ... touching
    EventKind.STALL: WARNING,           # a robot's controller silent for longer than STALL_PERIODS of its reports
    EventKind.PLAN_OVERRUN: WARNING,    # a motion took far longer than planned
    EventKind.DAMAGED_VALUE: ERROR,     # a value the scene model cannot use (not a number, out of reach)
    EventKind.TIME_ORDER: ERROR,        # a product stamped before the one before it, or a source's stamp repeated
}

# -- thresholds ----------------------------------------------------------------------------
#: Metres beyond the clearance two arms must be again for their closeness to end: their reports
#: alternate, each pairing one arm's fresh pose with the other's older one, so a gap near the
#: clearance flickers across it.
CLEARANCE_MARGIN_M = 0.02
#: Seconds an item may go unseen: at 30 frames a second a frame or two go missing now and then;
#: half a second (15 frames) is perception losing it.
UNSEEN_S = 0.5
#: Metres an item may move while nothing holds it: perception's noise is about a millimetre, and a
#: box rises a few millimetres in the moment between its gripper closing and the next report.
ITEM_MOVED_M = 0.02
#: Seconds an item let go of (or dropped) takes to come to rest, before it is expected to stay put.
SETTLE_S = 0.25
#: Metres a camera may be perceived away from its layout position: mounts are fixed (a camera may
#: pan, so its heading is not compared), so anything beyond noise is a knock.
CAMERA_MOVED_M = 0.02
#: Seconds the reports of different sources may be out of step (perception stamps a frame when it
#: is taken, a controller when it reports): a camera may see a box rise before its gripper's report
#: of the grasp, and one source may stop that much before another at a record's end.
SKEW_S = 0.15
_SKEW_NS = int(SKEW_S * 1e9)
#: Report periods a controller may stay silent: one late report is jitter, five missed are a stall.
STALL_PERIODS = 5.0
#: Reports a controller makes before its period (the median of their intervals) is taken as known.
PERIOD_REPORTS = 9
#: How much longer than planned a motion may take: controllers settle, but not for half as long
#: again as the whole motion; short motions get OVERRUN_SLACK_S besides.
OVERRUN_FACTOR = 1.5
OVERRUN_SLACK_S = 0.25
#: Per value, how near the plan's last waypoint a robot has got there: radians for a joint,
#: metres (or radians, for a heading) for an effector. A centimetre at a metre's reach is well
#: within a gripper's play, and far beyond a settled controller's error.
ARRIVAL_TOLERANCE = 0.01
#: Radians a second below which each of a robot's joints is holding still: a controller's jitter at
#: rest is far slower, and an arm carrying something turns tens of times faster.
STILL_RAD_S = 0.05
#: Metres far below what floating point makes of a distance in the cell: a bound on it this much beyond a
#: threshold is beyond it, exactly worked out or not.
_ROUNDING_M = 1e-9


#: Where something began: the stamp and the position of a product.
_Mark = Tuple[int, int]


class _Reports:
    """A robot's controller reports so far: the last, and its period once known (and the silence,
    ``STALL_PERIODS`` of it, that is a stall; infinite until then)."""
    __slots__ = ("last", "intervals", "period_ns", "stall_ns")

    def __init__(self, last: _Mark) -> None:
        self.last = last
        self.intervals: List[int] = []
        self.period_ns: Optional[float] = None
        self.stall_ns = math.inf


class _Arm:
    """An arm of the layout, as its joints were last reported (None: damaged, not drawn)."""
    __slots__ = ("mount", "links", "joints", "_points", "pairs")

    def __init__(self, shape: scene.Robot, model: project_pb2.RobotModel) -> None:
        self.mount, self.links = scene.mount_of(model), shape.links
        self.joints: Optional[Sequence[float]] = None
        self._points: Optional[Sequence[scene.Point3]] = ()
        #: Every other arm, with the name of the pair they make (their names in order).
        self.pairs: List[Tuple["_Arm", Tuple[str, str]]] = []

    def move(self, joints: Optional[Sequence[float]]) -> float:
        """The arm as ``joints`` put it: at most how far its links moved (infinite: not known)."""
        before, self.joints, self._points = self.joints, joints, None
        if joints is None or before is None or len(before) != len(joints):
            return math.inf
        return scene.links_moved(self.links, before, joints)

    @property
    def points(self) -> Sequence[scene.Point3]:
        """Its joints' points in space, worked out when first needed."""
        if self._points is None:
            self._points = () if self.joints is None else \
                scene.forward_kinematics(self.mount, self.links, self.joints).points
        return self._points


class Detector:
    """Finds a record's events product by product (see the module's description)."""

    def __init__(self, project: project_pb2.ProjectSnapshot, record: int = 0, *,
                 clearance: float = scene.ARM_CLEARANCE) -> None:
        """``clearance``: metres two arms' links keep apart, surface to surface; closer is a
        near-collision, touching a collision."""
        layout = project.workspace
        self.record = record
        self._clearance_m = clearance
        self._items = tuple(layout.items)
        self._cameras = {name: camera.base_pose.position for name, camera in layout.cameras.items()}
        self._robot_of = {name: behavior.robot or name for name, behavior in project.behaviors.items()}
        self._roles = {name: roles_of(behavior) for name, behavior in project.behaviors.items()}
        self._robots = set(layout.robots) | set(self._robot_of.values())
        # Arms whose layout can be drawn (with no joints known, all zero).
        shapes = (scene.robot(name, model, None) for name, model in layout.robots.items())
        self._arms = {shape.name: _Arm(shape, layout.robots[shape.name]) for shape in shapes if shape.points}
        for name, arm in self._arms.items():
            arm.pairs = [(other, (name, each) if name < each else (each, name))
                         for each, other in self._arms.items() if each != name]
        self._position = -1
        self._stamp_ns = 0
        self._first_ns: Optional[int] = None
        self._previous_ns: Optional[int] = None
        self._latest_ns = -(1 << 63)       # the greatest stamp yet
        self._stamps: Dict[Tuple[str, str], int] = {}           # the last stamp of each source
        self._steps: Dict[str, Tuple[str, str, StepRole]] = {}  # robot: (step, target, its role)
        self._held: Dict[str, str] = {}                         # robot: item
        # Robots in a release step: until when a let-go counts as its release (inf while the step goes
        # on; SKEW_S past its end, for a report of the let-go that comes late).
        self._releasing: Dict[str, float] = {}
        # Items seen moving while nothing held them: (until when a grasp report may still explain it,
        # the drop).
        self._dropping: Dict[str, Tuple[int, Event]] = {}
        self._grasped: Dict[str, Tuple[_Mark, str]] = {}        # robot: (grasp step ended, its text)
        # robot: (motion planned, its seconds, its last waypoint: None until a decision ends it)
        self._plans: Dict[str, Tuple[_Mark, float, Optional[Sequence[float]]]] = {}
        self._joints: Dict[str, Tuple[int, Sequence[float]]] = {}     # robot: its last joints, when
        self._seen_held: Dict[str, scene.Point3] = {}   # held item: where it was last seen
        # Items let go of by a robot holding still: (the let-go, its robot and step, where last seen held,
        # until when it may still fall).
        self._let_go: Dict[str, Tuple[_Mark, str, str, Optional[scene.Point3], int]] = {}
        self._reports: Dict[str, _Reports] = {}
        self._close: Dict[Tuple[str, str], Tuple[_Mark, float]] = {}   # pair: (closer since, least gap)
        self._apart: Dict[Tuple[str, str], float] = {}    # pair: at least how far apart their links are now
        self._unseen: Dict[str, _Mark] = {}
        self._resting: Dict[str, Tuple[float, float, float]] = {}      # unheld item: where it was seen
        self._settling: Dict[str, int] = {}     # item let go of: until when it may still move
        self._mounts: Dict[str, Tuple[float, float, float]] = {}       # cameras found moved: where to
        self._camera_seen: Dict[str, geometry_pb2.Pose] = {}   # the last usable pose of each camera, checked

    # -- feeding ---------------------------------------------------------------------------

    def feed(self, product: data_pb2.Product) -> List[Event]:
        """The events ``product``, the next of the record, completes."""
        self._position += 1
        stamp = self._stamp_ns = product.timestamp_ns
        if self._first_ns is None:
            self._first_ns = stamp
        found: List[Event] = []
        self._judge_drops(found)
        if self._let_go:
            self._judge_let_go(found)
        kind = scene.kind_of(product)
        # Each part's rules; each names what made the product.
        if kind == "controller":
            source = self._controller(product.controller, found)
        elif kind == "perception":
            source = self._perception(product.perception, found)
        elif kind == "decision":
            source = self._decision(product.decision, found)
        elif kind == "planner":
            source = self._planner(product.planner, found)
        else:
            source = "product"
        self._order(kind or "no part", source, found)
        self._previous_ns = stamp
        return found

    def _judge_drops(self, found: List[Event]) -> None:
        """The drops no source has told otherwise of within ``SKEW_S``, as drops."""
        for item, (until, event) in list(self._dropping.items()):
            if until < self._stamp_ns:
                del self._dropping[item]
                found.append(event)

    def finish(self) -> List[Event]:
        """The range events still open at the end of the record, ended at its last product."""
        if self._previous_ns is None:
            return []
        now = (self._previous_ns, self._position)
        found = [event for _, event in self._dropping.values()]
        self._dropping = {}
        self._judge_let_go(found, math.inf)
        for robot, reports in self._reports.items():
            # Sources stop out of step too: a silence at the end is a stall only beyond the skew.
            if now[0] - reports.last[0] > reports.stall_ns + _SKEW_NS:
                self._stall(robot, reports, now, found)
        for item, since in self._unseen.items():
            self._unseen_for(item, since, now, found)
        for pair, (since, gap) in self._close.items():
            self._too_close(pair, since, gap, now, found)
        for robot, (since, planned, _) in self._plans.items():
            self._overrun(robot, since, planned, now, found)
        found.extend(self._event(EventKind.MISSED_GRASP, robot, text, since)
                     for robot, (since, text) in self._grasped.items())
        self._reports, self._unseen, self._close, self._plans, self._grasped = {}, {}, {}, {}, {}
        return found

    # -- the rules -------------------------------------------------------------------------

    def _order(self, kind: str, source: str, found: List[Event]) -> None:
        """Stamps go forward in a recording (its own order: a recorder writes products handed over late
        in their place); a source (a robot's controller, perception) never repeats one."""
        stamp, previous, key = self._stamp_ns, self._previous_ns, (kind, source)
        what = kind if source == kind else f"{source} {kind}"     # perception is its own source
        if previous is not None and stamp < previous:
            found.append(self._event(EventKind.TIME_ORDER, source, f"{what} stamped "
                                     f"{duration_seconds(previous - stamp):.6f} s before the product before it"))
        elif stamp <= self._latest_ns and self._stamps.get(key) == stamp:   # only a stamp seen before repeats one
            found.append(self._event(EventKind.TIME_ORDER, source, f"{what} stamp repeated"))
        self._stamps[key] = stamp
        if stamp > self._latest_ns:
            self._latest_ns = stamp

    def _decision(self, decision: system_pb2.Decision, found: List[Event]) -> str:
        robot = self._robot_of.get(decision.behavior, decision.behavior)
        step, target, role = self._steps.get(robot, ("", "", StepRole.OTHER))
        if role is StepRole.GRASP and not self._held.get(robot):
            # Missed unless the robot reports holding something within the skew.
            missed = self._grasped.get(robot)
            if missed is not None:
                found.append(self._event(EventKind.MISSED_GRASP, robot, missed[1], missed[0]))
            self._grasped[robot] = (self._now(), f"{robot}'s {step} of {target or 'its item'} ended holding nothing")
        role = step_role(self._roles.get(decision.behavior, {}), decision.step)
        if role is StepRole.RELEASE:
            self._releasing[robot] = math.inf
        elif robot in self._releasing:
            self._releasing[robot] = min(self._releasing[robot], self._stamp_ns + _SKEW_NS)
        plan = self._plans.get(robot)
        if plan is not None and plan[2] is None:    # a plan its robot's reports cannot be compared with
            del self._plans[robot]
            self._overrun(robot, plan[0], plan[1], self._now(), found)
        self._steps[robot] = (decision.step, decision.target_item, role)
        found.append(self._event(EventKind.STEP, robot, f"{robot} {scene.decision_text(decision)}"))
        return robot

    def _planner(self, planner: system_pb2.Planner, found: List[Event]) -> str:
        robot = planner.robot
        waypoints = planner.waypoints
        usable = all(scene.joints_ok(waypoint.values) for waypoint in waypoints)
        if not usable:
            found.append(self._event(EventKind.DAMAGED_VALUE, robot, f"damaged value: {robot} planned waypoints"))
        before = self._plans.get(robot)
        if before is not None:      # planned again before getting there
            self._overrun(robot, before[0], before[1], self._now(), found)
        self._plans[robot] = (self._now(), planner.duration_s,
                              tuple(waypoints[-1].values) if usable and waypoints else None)
        return robot

    def _controller(self, controller: system_pb2.Controller, found: List[Event]) -> str:
        robot, item = controller.robot, controller.grasped_item
        self._robots.add(robot)
        feedback = controller.feedback
        joints = feedback.joint.positions.values[:]
        # Joints and effector checked at once: apart only when damaged.
        joints_ok = scene.joints_ok(joints + feedback.effector.positions.values[:])
        if not (joints_ok and (not item or scene.pose_ok(controller.grasped_item_pose))):
            joints_ok = scene.joints_ok(joints)
            self._damaged_report(controller, joints_ok, found)
        now = self._stamp_ns, self._position
        reports = self._reports.get(robot)
        if self._plans.get(robot, (0, 0, None))[2] is not None:
            self._arrival(robot, feedback, reports.last[0] if reports else None, found)
        last = self._joints.get(robot)
        if joints_ok:
            self._joints[robot] = (now[0], joints)
        if reports is None:
            self._reports[robot] = _Reports(now)
        else:
            if now[0] - reports.last[0] > reports.stall_ns:
                self._stall(robot, reports, now, found)
            if reports.period_ns is None:
                reports.intervals.append(now[0] - reports.last[0])
                if len(reports.intervals) >= PERIOD_REPORTS:
                    reports.period_ns = sorted(reports.intervals)[len(reports.intervals) // 2]
                    reports.stall_ns = STALL_PERIODS * reports.period_ns
            reports.last = now
        held = self._held.get(robot, "")
        if held != item:
            self._hand(robot, held, item, joints_ok and _turning(last, now[0], joints), found)
        grasped = self._grasped.get(robot) if self._grasped else None
        if grasped is not None and (item or now[0] > grasped[0][0] + _SKEW_NS):
            del self._grasped[robot]
            if not item:
                found.append(self._event(EventKind.MISSED_GRASP, robot, grasped[1], grasped[0]))
        if self._releasing.get(robot, math.inf) < now[0]:
            del self._releasing[robot]
        arm = self._arms.get(robot)
        if arm is not None:
            self._clearance(arm, arm.move(joints if joints_ok else None), now, found)
        return robot

    def _damaged_report(self, controller: system_pb2.Controller, joints_ok: bool, found: List[Event]) -> None:
        robot, item = controller.robot, controller.grasped_item
        problems = [f"{robot} {what}" for what, ok in (
            ("joints", joints_ok),
            ("effector", scene.joints_ok(controller.feedback.effector.positions.values)),
            ("held pose", not item or scene.pose_ok(controller.grasped_item_pose))) if not ok]
        found.append(self._event(EventKind.DAMAGED_VALUE, robot, "damaged value: " + ", ".join(problems)))

    def _hand(self, robot: str, held: str, item: str, moving: bool, found: List[Event]) -> None:
        """``robot`` held ``held`` and now holds ``item`` (``moving``: its arm is under way)."""
        self._held[robot] = item
        if held:
            self._resting.pop(held, None)
            self._settling[held] = self._stamp_ns + int(SETTLE_S * 1e9)
            step = self._steps.get(robot, ("",))[0]
            seen = self._seen_held.pop(held, None)
            if robot in self._releasing:
                found.append(self._event(EventKind.RELEASE, robot, f"{robot} released {held}"))
            elif not moving:    # put down or dropped: whether it falls tells
                self._let_go[held] = (self._now(), robot, step, seen,
                                      self._stamp_ns + int(SETTLE_S * 1e9) + _SKEW_NS)
            else:
                found.append(self._lost(robot, held, step, self._now()))
        if item:
            # Seen moving just before this report of the grasp: lifted, not dropped.
            self._dropping.pop(item, None)
            if item in self._let_go:     # taken again before it could fall: it had been put down
                self._judge_let_go(found, only=item)
            found.append(self._event(EventKind.GRASP, robot, f"{robot} grasped {item}"))

    def _clearance(self, arm: _Arm, moved: float, now: _Mark, found: List[Event]) -> None:
        """The arms as last reported, this one just moved at most ``moved``: too close, or no longer."""
        clearance = self._clearance_m
        within = clearance + CLEARANCE_MARGIN_M
        for shape, pair in arm.pairs:
            open_ = self._close.get(pair)
            # Measured only once they may have come within reach: before, what they were apart less
            # what this arm moved since is as good (it decides alike).
            gap = self._apart.get(pair, -math.inf) - moved
            if not gap > within + _ROUNDING_M:
                gap = scene.links_gap(arm.points, shape.points, within,
                                      (arm.mount.link_width, shape.mount.link_width)) \
                    if arm.points and shape.points else math.inf
            self._apart[pair] = gap
            if gap < clearance:
                self._close[pair] = (now, gap) if open_ is None else (open_[0], min(open_[1], gap))
            elif open_ is not None and gap > within:
                del self._close[pair]
                self._too_close(pair, *open_, now, found)

    def _perception(self, perception: system_pb2.Perception, found: List[Event]) -> str:
        cameras, items = perception.camera_poses, perception.item_poses
        damaged: List[str] = []
        # A camera where it was last seen, usable, is neither damaged nor moved: only the others are checked.
        camera_at: Dict[str, scene.Point3] = {}
        for name in cameras:
            pose = cameras[name]
            if pose != self._camera_seen.get(name):
                at = scene.usable_position(pose)
                if at is None:
                    damaged.append(name)
                else:
                    camera_at[name] = at
                    self._camera_seen[name] = geometry_pb2.Pose()
                    self._camera_seen[name].CopyFrom(pose)
        item_at: Dict[str, scene.Point3] = {}
        for name in items:
            at = scene.usable_position(items[name])
            if at is None:
                damaged.append(name)
            else:
                item_at[name] = at
        if damaged:
            found.append(self._event(EventKind.DAMAGED_VALUE, ",".join(damaged),
                                     "damaged value: " + ", ".join(f"{name} pose" for name in damaged)))
        for name, p in camera_at.items():
            layout = self._cameras.get(name)
            if layout is None or name in damaged:
                continue
            mount = self._mounts.get(name, (layout.x, layout.y, layout.z))
            moved = math.hypot(p[0] - mount[0], p[1] - mount[1], p[2] - mount[2])
            if moved > CAMERA_MOVED_M:
                self._mounts[name] = p
                off = math.hypot(p[0] - layout.x, p[1] - layout.y, p[2] - layout.z)
                found.append(self._event(EventKind.CAMERA_MOVED, name, f"{name} moved {moved * 100:.1f} cm, now "
                                         f"{off * 100:.1f} cm from its layout position"))
        held = self._held.values()
        # A robot overdue may hold what seems to move by itself.
        stamp = self._stamp_ns
        overdue = any(stamp - r.last[0] > r.stall_ns for r in self._reports.values())
        for name in self._items:
            if name not in items:
                if name not in self._unseen:
                    self._unseen[name] = self._now()
                continue
            since = self._unseen.pop(name, None)
            if since is not None:
                self._unseen_for(name, since, self._now(), found)
            if name in damaged:
                continue
            seen = item_at[name]
            if name in held:
                self._seen_held[name] = seen
            if name in self._let_go:
                self._falling(name, seen, found)
            if name in held or overdue or self._settling.get(name, stamp) > stamp or name in self._let_go:
                continue
            rest = self._resting.setdefault(name, seen)
            moved = math.hypot(seen[0] - rest[0], seen[1] - rest[1], seen[2] - rest[2])
            if moved > ITEM_MOVED_M:
                self._resting[name] = seen
                self._dropping.setdefault(name, (stamp + _SKEW_NS, self._event(
                    EventKind.DROP, name, f"{name} moved {moved * 100:.1f} cm while nothing held it")))
        return "perception"

    def _arrival(self, robot: str, feedback: system_pb2.Feedback, previous_ns: Optional[int],
                 found: List[Event]) -> None:
        """Ends ``robot``'s motion if ``feedback`` has it at the plan's last waypoint (its joints or its
        effector, whichever the waypoint holds), reached since its previous report (at ``previous_ns``)."""
        since, planned, target = self._plans[robot]
        assert target is not None
        reported = (feedback.joint.positions.values, feedback.effector.positions.values)
        comparable = [values for values in reported if len(values) == len(target)]
        if not comparable:
            if any(reported):   # it holds neither: only the robot's next decision can end the motion
                self._plans[robot] = (since, planned, None)
        elif any(all(abs(value - goal) <= ARRIVAL_TOLERANCE for value, goal in zip(values, target))
                 for values in comparable):
            del self._plans[robot]
            self._overrun(robot, since, planned, self._now(), found, previous_ns)

    def _falling(self, item: str, seen: scene.Point3, found: List[Event]) -> None:
        """``item``, let go of by a robot holding still, seen at ``seen``: dropped if away from where it was."""
        since, robot, step, where, until = self._let_go[item]
        if where is None:
            self._let_go[item] = (since, robot, step, seen, until)
        elif math.dist(seen, where) > ITEM_MOVED_M:
            del self._let_go[item]
            self._settling[item] = self._stamp_ns + int(SETTLE_S * 1e9)     # falling still
            found.append(self._lost(robot, item, step, since))

    def _judge_let_go(self, found: List[Event], now: Optional[float] = None, only: str = "") -> None:
        """The items let go of (``only`` that one) that have had their time to fall, and did not: put down."""
        now = self._stamp_ns if now is None else now
        for item, (since, robot, _, _, until) in list(self._let_go.items()):
            if until < now or item == only:
                del self._let_go[item]
                found.append(self._event(EventKind.RELEASE, robot, f"{robot} put down {item}", since))

    def _lost(self, robot: str, item: str, step: str, since: _Mark) -> Event:
        return self._event(EventKind.DROP, item, f"{robot} lost {item} during {step or 'no step'}", since,
                           robot=robot)

    # -- range events, once they end -------------------------------------------------------

    def _stall(self, robot: str, reports: _Reports, now: _Mark, found: List[Event]) -> None:
        silent = now[0] - reports.last[0]
        if silent > reports.stall_ns:
            found.append(self._event(EventKind.STALL, robot,
                                     f"{robot}'s controller silent for {duration_seconds(silent):.2f} s",
                                     reports.last, now))

    def _unseen_for(self, item: str, since: _Mark, now: _Mark, found: List[Event]) -> None:
        unseen = duration_seconds(now[0] - since[0])
        if unseen > UNSEEN_S:
            found.append(self._event(EventKind.UNSEEN, item, f"{item} unseen for {unseen:.2f} s", since, now))

    def _too_close(self, pair: Tuple[str, str], since: _Mark, gap: float, now: _Mark, found: List[Event]) -> None:
        a, b = pair
        text = (f"{a} and {b} touched" if gap <= 0.0 else
                f"{a} and {b} came within {gap * 100:.1f} cm of each other")
        kind = EventKind.COLLISION if gap <= 0.0 else EventKind.NEAR_COLLISION
        found.append(self._event(kind, f"{a},{b}", text, since, now))

    def _overrun(self, robot: str, since: _Mark, planned: float, now: _Mark, found: List[Event],
                 earliest_ns: Optional[int] = None) -> None:
        """A motion planned at ``since`` ended by ``now``, or (reports being apart) as early as ``earliest_ns``."""
        took = duration_seconds(now[0] - since[0])
        least = took if earliest_ns is None else duration_seconds(max(earliest_ns, since[0]) - since[0])
        if least > max(OVERRUN_FACTOR * planned, planned + OVERRUN_SLACK_S):
            found.append(self._event(EventKind.PLAN_OVERRUN, robot,
                                     f"{robot}'s motion took {took:.2f} s, planned {planned:.2f} s", since, now))

    # -- making events ---------------------------------------------------------------------

    def _now(self) -> _Mark:
        return self._stamp_ns, self._position

    def _time(self, stamp: int) -> float:
        assert self._first_ns is not None
        return seconds_between(self._first_ns, stamp)

    def _event(self, kind: EventKind, subject: str, text: str, since: Optional[_Mark] = None,
               until: Optional[_Mark] = None, robot: Optional[str] = None) -> Event:
        """An event of ``kind`` about ``subject``; it concerns the subject's robots unless ``robot`` is given."""
        start = since or self._now()
        end = until or start
        if robot is None:
            robot = ",".join(name for name in subject.split(",") if name in self._robots)
        return Event(self._time(start[0]), self._time(end[0]), start[0], kind, KINDS[kind], subject, text,
                     self.record, start[1], robot=robot, end_stamp_ns=end[0], end_product=end[1])


def _turning(last: Optional[Tuple[int, Sequence[float]]], stamp: int, joints: Sequence[float]) -> bool:
    """Whether a robot's ``joints`` at ``stamp`` turned faster than ``STILL_RAD_S`` since its ``last``
    report (not known: no)."""
    if last is None or len(last[1]) != len(joints) or stamp <= last[0]:
        return False
    reach = STILL_RAD_S * duration_seconds(stamp - last[0])
    return any(abs(value - before) > reach for value, before in zip(joints, last[1]))


def numbered(events: Iterable[Event]) -> List[Event]:
    """``events`` of one record in record order (by the product each begins at), numbered from 1."""
    ordered = sorted(events, key=lambda event: event.product)
    return [replace(event, number=n) for n, event in enumerate(ordered, 1)]


def record_events(record: data_pb2.Record, index: int = 0, *, clearance: float = scene.ARM_CLEARANCE) -> List[Event]:
    """The events of ``record``, the record at position ``index`` of its recording, numbered
    (``clearance`` as ``Detector`` takes it)."""
    return product_events(record.project, record.products, index, clearance=clearance)


def product_events(project: project_pb2.ProjectSnapshot, products: Iterable[data_pb2.Product], index: int = 0, *,
                   clearance: float = scene.ARM_CLEARANCE) -> List[Event]:
    """``record_events`` of a record given as its project and its products, read one at a time
    (so a streamed record is never held whole)."""
    detector = Detector(project, index, clearance=clearance)
    found = [event for product in products for event in detector.feed(product)]
    return numbered(found + detector.finish())


def marks(record: data_pb2.Record, event: Event) -> List[Tuple[int, int, str]]:
    """Where the exports show ``event``, one of ``record``'s (``mirvane.records.event_marks``: the
    event carries its end's mark, so the record is no longer needed)."""
    return event_marks(event)


def tally(severities: Mapping[str, int]) -> str:
    """Warnings and errors counted (``severities``: events of each severity), in words ("2 warnings, 1 error")."""
    return ", ".join(f"{severities.get(severity, 0)} {severity}{'s' * (severities.get(severity, 0) != 1)}"
                     for severity in SEVERITIES[1:])
