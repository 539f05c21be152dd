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

from dataclasses import replace
from sys import intern
from typing import Dict, Iterable, List, Mapping, Sequence, Tuple

from dravik.api import data_pb2, geometry_pb2, project_pb2

from .. import _columns, scene
from ..behavior import DEFAULT_STEP_ROLES, StepRole, roles_of
from ..formats.columns import Block
from ..records import ENDED, Event, EventKind, Severity, event_marks, seconds_between

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


#: The rules' engine (``mirvane._columns.Events``) takes the thresholds above in this order, the
#: clearance first; roles as these codes.
_LIMITS = (CLEARANCE_MARGIN_M, UNSEEN_S, ITEM_MOVED_M, CAMERA_MOVED_M, STALL_PERIODS, OVERRUN_FACTOR,
           OVERRUN_SLACK_S, ARRIVAL_TOLERANCE, STILL_RAD_S, _ROUNDING_M, _SKEW_NS, int(SETTLE_S * 1e9), PERIOD_REPORTS)
_ROLE_CODES = {StepRole.OTHER: 0, StepRole.GRASP: 1, StepRole.RELEASE: 2}
_DEFAULT_ROLES = [(step, _ROLE_CODES[role]) for step, role in DEFAULT_STEP_ROLES.items()]
#: The engine's kinds, by its numbers.
_KIND_OF: Tuple[EventKind, ...] = tuple(EventKind(name) for name in _columns.EVENT_KINDS)

#: An event as the engine gives it: kind number, subject, text, start stamp and product, end stamp and
#: product, robots.
Found = Tuple[int, str, str, int, int, int, int, str]


class Detector:
    """Finds a record's events product by product (see the module's description): the rules run in
    ``mirvane._columns.Events``, fed serialized products; what the project tells is worked out here."""

    def __init__(self, project: project_pb2.ProjectSnapshot, record: int = 0, *,
                 clearance: float = scene.ARM_CLEARANCE) -> None:
        """``clearance``: metres two arms' links keep apart, surface to surface; closer is a
        near-collision, touching a collision."""
        layout = project.workspace
        self.record = record
        robot_of = {name: behavior.robot or name for name, behavior in project.behaviors.items()}
        roles = [(name, [(step, _ROLE_CODES[role]) for step, role in roles_of(behavior).items()])
                 for name, behavior in project.behaviors.items()]
        # Arms whose layout can be drawn (with no joints known, all zero).
        shapes = (scene.robot(name, model, None) for name, model in layout.robots.items())
        arms = [(shape.name, scene.mount_of(layout.robots[shape.name]).numbers(), list(shape.links))
                for shape in shapes if shape.points]
        self._engine = _columns.Events(
            list(layout.items), [(name, _position(camera.base_pose.position)) for name, camera in layout.cameras.items()],
            list(robot_of.items()), roles, _DEFAULT_ROLES, list(set(layout.robots) | set(robot_of.values())),
            arms, (clearance,) + _LIMITS)
        self._feed = self._engine.feed

    def feed(self, product: data_pb2.Product) -> List[Event]:
        """The events ``product``, the next of the record, completes."""
        found = self._feed(product.SerializeToString())
        return self._events(found) if found else []

    def feed_serialized(self, products: Iterable[bytes]) -> List[Event]:
        """The events of serialized products, the next of the record, fed in one call (a ``ValueError``
        names a product whose bytes are not a product)."""
        return self._events(self._engine.feed_many(products))

    def feed_block(self, block: Block) -> List[Event]:
        """The events of a block of serialized products, the next of the record, worked through
        without holding the interpreter."""
        return self._events(self._engine.feed_block(*block))

    def finish(self) -> List[Event]:
        """The range events still open at the end of the record, ended at its last product."""
        return self._events(self._engine.finish())

    def __deepcopy__(self, memo: Dict[int, object]) -> "Detector":
        twin = Detector.__new__(Detector)
        twin.record, twin._engine = self.record, self._engine.__deepcopy__(memo)
        twin._feed = twin._engine.feed
        return twin

    def _events(self, found: Sequence[Found]) -> List[Event]:
        first, record = self._engine.first_ns, self.record
        if first is None:   # no product fed (a record without any): no event
            return []
        # Texts and names repeat (a run's tens of thousands of events have a few dozen texts): held once.
        return [Event(seconds_between(first, stamp), seconds_between(first, end_stamp), stamp, _KIND_OF[kind],
                      KINDS[_KIND_OF[kind]], intern(subject), intern(text), record, product, robot=intern(robot),
                      end_stamp_ns=end_stamp, end_product=end_product)
                for kind, subject, text, stamp, product, end_stamp, end_product, robot in found]


def _position(p: geometry_pb2.Vector3) -> Tuple[float, float, float]:
    return p.x, p.y, p.z


def numbered(events: Iterable[Event]) -> List[Event]:
    """``events`` of one record in record order (by the product each begins at), numbered from 1."""
    ordered = sorted(events, key=lambda event: event.product)
    # One already so numbered is kept, not copied: events renumbered as more are found are held once.
    return [event if event.number == n else replace(event, number=n) for n, event in enumerate(ordered, 1)]


def record_events(record: data_pb2.Record, index: int = 0, *, clearance: float = scene.ARM_CLEARANCE) -> List[Event]:
    """The events of ``record``, the record at position ``index`` of its recording, numbered
    (``clearance`` as ``Detector`` takes it)."""
    return product_events(record.project, record.products, index, clearance=clearance)


def product_events(project: project_pb2.ProjectSnapshot, products: Iterable[data_pb2.Product], index: int = 0, *,
                   clearance: float = scene.ARM_CLEARANCE) -> List[Event]:
    """``record_events`` of a record given as its project and its products, read one at a time
    (so a streamed record is never held whole)."""
    detector = Detector(project, index, clearance=clearance)
    found = detector.feed_serialized(product.SerializeToString() for product in products)
    return numbered(found + detector.finish())


def block_events(project: project_pb2.ProjectSnapshot, blocks: Iterable[Block], index: int = 0, *,
                 clearance: float = scene.ARM_CLEARANCE) -> List[Event]:
    """``product_events`` of a record's products given in blocks of their bytes, never parsed here."""
    detector = Detector(project, index, clearance=clearance)
    found = [event for block in blocks for event in detector.feed_block(block)]
    return numbered(found + detector.finish())


# What an export that reads products in blocks calls instead (``mirvane.records.events_of_blocks``).
product_events.of_blocks = block_events  # type: ignore[attr-defined]


def marks(record: data_pb2.Record, event: Event) -> List[Tuple[int, int, str]]:
    """Where the exports show ``event``, one of ``record``'s (``mirvane.records.event_marks``: the
    event carries its end's mark, so the record is no longer needed)."""
    return event_marks(event)


def tally(severities: Mapping[str, int]) -> str:
    """Warnings and errors counted (``severities``: events of each severity), in words ("2 warnings, 1 error")."""
    return ", ".join(f"{severities.get(severity, 0)} {severity}{'s' * (severities.get(severity, 0) != 1)}"
                     for severity in SEVERITIES[1:])
