"""A record's figures: how long its run went, how much it did, and what happened in it.

``record_metrics`` is the one place they are worked out, from the record and
its events (found from its products alone, as ``record_events`` finds them), for
whatever lists or compares runs.
"""

from dataclasses import dataclass
from typing import Dict, Optional, Sequence

from dravik.api import data_pb2

from ..data import span_seconds
from .events import KINDS, SEVERITIES, Event, record_events


@dataclass(frozen=True)
class Metrics:
    """The figures of one record."""
    #: Seconds from its first product to its last, as playback measures them.
    span_s: float
    products: int
    #: Behaviour steps begun (a decision each).
    steps: int
    #: Behaviour cycles completed: a behaviour moving on from the last of its steps.
    cycles: int
    #: Items carried and let go of in a release step: the pick-and-place moves completed.
    items_moved: int
    #: Events by kind, every kind of ``events.KINDS`` (most 0), and by severity.
    events: Dict[str, int]
    severities: Dict[str, int]

    def table(self) -> Dict[str, float]:
        """The figures by name, flat, in the order a table lists them (``events: KIND``, ``SEVERITY``s)."""
        rows: Dict[str, float] = {"span s": self.span_s, "products": self.products, "steps": self.steps,
                                  "cycles": self.cycles, "items moved": self.items_moved}
        rows.update((f"{severity}s" if severity != "info" else "info events", n)
                    for severity, n in self.severities.items())
        rows.update((f"events: {kind}", n) for kind, n in self.events.items())
        return rows


def record_metrics(record: data_pb2.Record, events: Optional[Sequence[Event]] = None) -> Metrics:
    """The figures of ``record``; ``events`` are its events if already found (else they are found)."""
    if events is None:
        events = record_events(record)
    by_kind = dict.fromkeys(KINDS, 0)
    by_severity = dict.fromkeys(SEVERITIES, 0)
    for event in events:
        by_kind[event.kind] += 1
        by_severity[event.severity] += 1
    last_steps = {name: behavior.steps[-1] for name, behavior in record.project.behaviors.items() if behavior.steps}
    now: Dict[str, str] = {}      # each behaviour's step
    cycles = 0
    for event in events:
        if event.kind == "step":
            decision = record.products[event.product].decision
            last = last_steps.get(decision.behavior)
            cycles += last is not None and now.get(decision.behavior) == last
            now[decision.behavior] = decision.step
    return Metrics(span_seconds(record), len(record.products), by_kind["step"], cycles, by_kind["release"],
                   by_kind, by_severity)
