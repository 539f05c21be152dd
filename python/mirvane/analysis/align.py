"""Two runs on one clock: where the second run is placed against the first.

An ``Alignment`` is the rule a user chooses: ``start`` (both from their first
product), ``offset`` (the second run shifted by so many seconds) or ``event``
(the first event of a kind, perhaps of one subject, put at one time in both).
``align`` applies it to two records and gives ``Aligned``: the offset and the
shared clock over both runs, from which each run's own time follows. Whatever
shows or compares two runs (``mirvane diff``, the two-run player) places them
through it.
"""

import math
import re
from dataclasses import dataclass
from enum import Enum
from typing import Optional, Sequence, Tuple

from dravik.api import data_pb2

from ..records import duration_seconds, span_seconds
from .events import KINDS, Event



class AlignmentRule(str, Enum):
    """How B is placed: by its start, by an offset or by an event (the value is what JSON prints)."""
    START = "start"
    OFFSET = "offset"
    EVENT = "event"


class AlignmentError(ValueError):
    """A rule that cannot place the runs: the event it names is not in one of them."""


#: The largest offset, in seconds, either way: stamps are 64-bit nanoseconds, so a shift by more
#: than half their range could carry a stamp past what one can hold.
MAX_OFFSET_S = float(2 ** 62 // 10 ** 9)


def offset_refused(offset_s: float) -> Optional[str]:
    """Why ``offset_s`` cannot place B, or None when it can."""
    if not math.isfinite(offset_s) or abs(offset_s) > MAX_OFFSET_S:
        return f"an offset is a number of seconds within ±{MAX_OFFSET_S:.0f}, not {offset_s!r}"
    return None


@dataclass(frozen=True)
class Alignment:
    """How the second run (B) is placed against the first (A)."""
    rule: AlignmentRule = AlignmentRule.START
    #: ``offset``: seconds of A's clock at which B's first product is shown.
    offset_s: float = 0.0
    #: ``event``: the kind of event to put at one time, and its subject (any, if empty).
    kind: str = ""
    subject: str = ""

    @classmethod
    def event(cls, text: str) -> "Alignment":
        """``KIND[:SUBJECT]`` as an alignment; raises ``ValueError`` for an unknown kind."""
        kind, _, subject = text.partition(":")
        if kind not in KINDS:
            raise ValueError(f"unknown kind {kind!r}; give one of {', '.join(KINDS)}")
        return cls(AlignmentRule.EVENT, kind=kind, subject=subject)

    def __str__(self) -> str:
        if self.rule is AlignmentRule.OFFSET:
            return f"an offset of {self.offset_s:+.3f} s"
        if self.rule is AlignmentRule.EVENT:
            return f"the first {self.kind}{':' + self.subject if self.subject else ''} of each"
        return "start"


@dataclass(frozen=True)
class Aligned:
    """Two runs placed on one clock.

    A run's own time counts seconds from its first product, as the player does.
    B's time 0 falls at A's time ``offset_s`` (``offset_ns`` exactly). The shared
    clock starts where the first of them starts and spans both: at ``clock``
    seconds of it, A shows its own time ``times(clock)[0]`` and B ``[1]``
    (before a run's start or after its end, a player shows its first or last).
    """
    offset_ns: int
    a_span: float
    b_span: float
    #: The events put at one time, with ``event`` alignment.
    anchors: Optional[Tuple[Event, Event]] = None

    @property
    def offset_s(self) -> float:
        return duration_seconds(self.offset_ns)

    @property
    def start(self) -> float:
        """A's time at which the shared clock begins."""
        return min(0.0, self.offset_s)

    @property
    def span(self) -> float:
        """Seconds of the shared clock: from the first start to the last end."""
        return max(self.a_span, self.offset_s + self.b_span) - self.start

    def times(self, clock: float) -> Tuple[float, float]:
        """A's and B's own times at ``clock`` seconds of the shared clock."""
        a = clock + self.start
        return a, a - self.offset_s

    def clock(self, a_time: float) -> float:
        """The shared clock at A's own time ``a_time``."""
        return a_time - self.start

    @property
    def shifts(self) -> Tuple[float, float]:
        """Where A's and B's own time 0 fall on the shared clock."""
        return self.clock(0.0), self.clock(self.offset_s)


def first_event(events: Sequence[Event], kind: str, subject: str = "") -> Optional[Event]:
    """The first of ``events`` of ``kind`` about ``subject`` (any if empty): named as the event's
    subject, or as a word of its text (``grasp:box_1`` finds "arm_a grasped box_1")."""
    named = re.compile(rf"(?<!\w){re.escape(subject)}(?!\w)")
    return next((event for event in events if event.kind == kind and (
        not subject or subject in event.subject.split(",") or named.search(event.text))), None)


def align(alignment: Alignment, a: data_pb2.Record, b: data_pb2.Record,
          a_events: Sequence[Event] = (), b_events: Sequence[Event] = ()) -> Aligned:
    """Records ``a`` and ``b`` placed by ``alignment``; ``event`` alignment looks in their events
    (each record's, in record order). Raises ``AlignmentError`` when a run lacks the event, or for
    an offset no stamp could carry."""
    a_first, b_first = (record.products[0].timestamp_ns if record.products else 0 for record in (a, b))
    return placed(alignment, (span_seconds(a), span_seconds(b)), (a_first, b_first), a_events, b_events)


def placed(alignment: Alignment, spans: Tuple[float, float], firsts: Tuple[int, int],
           a_events: Sequence[Event] = (), b_events: Sequence[Event] = ()) -> Aligned:
    """``align`` for runs known by their spans (``span_seconds``) and first products' stamps, as
    two runs read a product at a time are."""
    if alignment.rule is AlignmentRule.OFFSET:
        refused = offset_refused(alignment.offset_s)
        if refused:
            raise AlignmentError(refused)
        return Aligned(round(alignment.offset_s * 1e9), *spans)
    if alignment.rule is not AlignmentRule.EVENT:
        return Aligned(0, *spans)
    found = []
    for name, first_ns, events in (("A", firsts[0], a_events), ("B", firsts[1], b_events)):
        event = first_event(events, alignment.kind, alignment.subject)
        if event is None:
            raise AlignmentError(f"run {name} has no {alignment.kind} event"
                                 + (f" about {alignment.subject}" if alignment.subject else ""))
        found.append((event, event.stamp_ns - first_ns))
    (a_event, a_ns), (b_event, b_ns) = found
    return Aligned(a_ns - b_ns, *spans, anchors=(a_event, b_event))
