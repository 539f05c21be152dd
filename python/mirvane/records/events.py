"""Events as plain values: what happened in a record, when, and how bad it was.

``mirvane.analysis.events`` finds them; the exports and the catalog take them as they are.
"""

from dataclasses import InitVar, dataclass
from enum import Enum
from typing import Any, Callable, Iterable, List, Optional, Tuple

from dravik.api import data_pb2, project_pb2


class _Named(str, Enum):
    """A kind that reads, prints and compares as its name (outputs show the bare string)."""

    def __str__(self) -> str:
        return str(self.value)

    def __format__(self, spec: str) -> str:
        return format(str(self.value), spec)


class Severity(_Named):
    """How bad an event is, from the least."""
    INFO = "info"
    WARNING = "warning"
    ERROR = "error"


class EventKind(_Named):
    """What happened."""
    STEP = "step"
    GRASP = "grasp"
    RELEASE = "release"
    DROP = "drop"
    MISSED_GRASP = "missed-grasp"
    UNSEEN = "unseen"
    CAMERA_MOVED = "camera-moved"
    NEAR_COLLISION = "near-collision"
    COLLISION = "collision"
    STALL = "stall"
    PLAN_OVERRUN = "plan-overrun"
    DAMAGED_VALUE = "damaged-value"
    TIME_ORDER = "time-order"


@dataclass(frozen=True)
class Event:
    """One event of a record.

    ``time`` and ``end`` are seconds after the record's first product, as the
    player counts them (``end`` is ``time`` for a point event); ``stamp_ns`` is
    the stamp of the product it begins at, ``product`` that product's position
    and ``number`` the event's number in the record, from 1 (0 until numbered).
    ``subject`` names the robot, item or camera (two robots: "arm_a,arm_b"), and ``robot``
    the robots it concerns ("" for none): the subject's robots, or the robot that lost the box a
    drop names as its subject.
    ``end_stamp_ns`` and ``end_product`` mark the product it ends at (those it
    begins at, unless given); they are not among its fields, so the outputs that
    list an event's fields list the same.
    """
    time: float
    end: float
    stamp_ns: int
    kind: str
    severity: str
    subject: str
    text: str
    record: int
    product: int
    number: int = 0
    robot: str = ""
    end_stamp_ns: InitVar[Optional[int]] = None
    end_product: InitVar[Optional[int]] = None

    def __post_init__(self, end_stamp_ns: Optional[int], end_product: Optional[int]) -> None:
        # Kept as attributes of the same names, so that ``dataclasses.replace`` carries them on.
        object.__setattr__(self, "end_stamp_ns", self.stamp_ns if end_stamp_ns is None else end_stamp_ns)
        object.__setattr__(self, "end_product", self.product if end_product is None else end_product)

    @property
    def subjects(self) -> Tuple[str, ...]:
        """The robots, items or cameras ``subject`` names, one by one."""
        return tuple(self.subject.split(","))

    @property
    def ends_at(self) -> Tuple[int, int]:
        """The stamp and position of the product the event ends at."""
        return self.__dict__["end_stamp_ns"], self.__dict__["end_product"]


#: What begins the text an export shows at a range event's end.
ENDED = "ended: "

#: A record's events, given its project, its products (read once, in order) and its position in its
#: recording: what the exports take.
EventsOf = Callable[[project_pb2.ProjectSnapshot, Iterable[data_pb2.Product], int], Iterable[Event]]
#: As ``EventsOf``, the products given in blocks of their bytes (``mirvane.formats.columns.Block``).
EventsOfBlocks = Callable[[project_pb2.ProjectSnapshot, Iterable[Any], int], Iterable[Event]]


def events_of_blocks(events: EventsOf) -> Optional[EventsOfBlocks]:
    """The same events from blocks, where ``events`` carries them as its ``of_blocks``: an export
    that reads products in blocks then never parses them."""
    return getattr(events, "of_blocks", None)


def event_marks(event: Event) -> List[Tuple[int, int, str]]:
    """Where the exports show ``event``: (stamp, product position, text) where it begins and, for a
    range event, where it ends, the text then beginning with ``ENDED``."""
    begins = (event.stamp_ns, event.product, event.text)
    if event.end == event.time:
        return [begins]
    stamp, product = event.ends_at
    return [begins, (max(event.stamp_ns, stamp), product, ENDED + event.text)]
