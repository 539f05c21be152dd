"""A record's figures: how long its run went, how much it did, and what happened in it.

``record_metrics`` is the one place they are worked out, from the record and its events (found
from its products alone, as ``record_events`` finds them), for whatever lists or compares runs:
the catalog's columns and ``mirvane diff``'s table are these figures.
"""

from dataclasses import dataclass
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from dravik.api import data_pb2, project_pb2

from ..formats.columns import KIND_CODES, Block, Columns, block_columns
from ..records import PathLike, seconds_between
from ..scene import KINDS as PRODUCT_KINDS
from ..scene import kind_of
from .events import KINDS, SEVERITIES, Event, record_events


@dataclass(frozen=True)
class Metrics:
    """The figures of one record."""
    #: Seconds from its first product to its last, as playback measures them.
    span_s: float
    products: int
    #: Products by kind (``scene.KINDS``), and ``none`` for products without a part.
    products_by_kind: Dict[str, int]
    #: The behaviours that made a decision, by name.
    behaviors: Tuple[str, ...]
    #: Behaviour steps completed: each decision but a behaviour's last, which nothing in the run ended.
    steps: int
    #: Behaviour cycles completed: a behaviour from its first step through its last, as its model
    #: lists them, ended by its next decision (one begun before the record is not whole in it).
    cycles: int
    #: Their mean length in seconds, from the first step's decision to the one after the last step
    #: (None without a cycle).
    cycle_s: Optional[float]
    #: Items carried and put down (``release`` events: let go of in a release step, or by a robot holding
    #: still and come to rest): the pick-and-place moves completed.
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
    fold = MetricsFold()
    for product in record.products:
        fold.add(product)
    return fold.metrics(record.project, events)


class MetricsFold:
    """``record_metrics`` gathered a product at a time, so a streamed record is never held whole:
    ``add`` each product in record order (or pass them through ``counted``), then ``metrics``."""

    def __init__(self) -> None:
        self.count = 0
        self.first_ns: Optional[int] = None
        self.last_ns: Optional[int] = None
        self.products: Dict[str, int] = dict.fromkeys(PRODUCT_KINDS + ("none",), 0)
        self.decisions: Dict[str, List[Tuple[int, str]]] = {}   # behaviour: (stamp, step) in record order

    def add(self, product: data_pb2.Product) -> None:
        self.count += 1
        if self.first_ns is None:
            self.first_ns = product.timestamp_ns
        self.last_ns = product.timestamp_ns
        kind = kind_of(product) or "none"
        self.products[kind] += 1
        if kind == "decision":
            self.decisions.setdefault(product.decision.behavior, []).append(
                (product.timestamp_ns, product.decision.step))

    def add_columns(self, columns: Columns) -> None:
        """``add`` each product of ``columns`` in turn, read from its arrays."""
        if not len(columns):
            return
        self.count += len(columns)
        if self.first_ns is None:
            self.first_ns = int(columns.stamp[0])
        self.last_ns = int(columns.stamp[-1])
        for kind, n in zip(KIND_CODES, np.bincount(columns.kinds, minlength=len(KIND_CODES)).tolist()):
            self.products[kind] += n
        names, decided = columns.strings, np.flatnonzero(columns.kinds == KIND_CODES.index("decision"))
        for stamp, behavior, step in zip(columns.stamp[decided].tolist(), columns.behavior[decided].tolist(),
                                         columns.step[decided].tolist()):
            self.decisions.setdefault(names[behavior], []).append((stamp, names[step]))

    def counted(self, products: Iterable[data_pb2.Product]) -> Iterator[data_pb2.Product]:
        """``products`` as they come, each added on its way."""
        for product in products:
            self.add(product)
            yield product

    def folded(self, blocks: Iterable[Block], path: PathLike = "<bytes>") -> Iterator[Block]:
        """``blocks`` of products as they come, each added on its way (decoded as columns; ``path``
        names them in an error)."""
        for block in blocks:
            self.add_columns(block_columns(block, path))
            yield block

    def metrics(self, project: project_pb2.ProjectSnapshot, events: Sequence[Event]) -> Metrics:
        """The figures of the products added, a record of ``project`` whose events are ``events``."""
        by_kind = dict.fromkeys(KINDS, 0)
        by_severity = dict.fromkeys(SEVERITIES, 0)
        for event in events:
            by_kind[event.kind] += 1
            by_severity[event.severity] += 1
        steps, cycles = 0, []
        for behavior, made in self.decisions.items():
            steps += len(made) - 1
            model = project.behaviors.get(behavior)
            if model is not None and model.steps:
                cycles += _cycles(made, model.steps[0], model.steps[-1])
        span = 0.0 if self.first_ns is None or self.last_ns is None else seconds_between(self.first_ns, self.last_ns)
        return Metrics(span, self.count, dict(self.products), tuple(sorted(self.decisions)), steps,
                       len(cycles), sum(cycles) / len(cycles) if cycles else None, by_kind["release"],
                       by_kind, by_severity)




def _cycles(decisions: Sequence[Tuple[int, str]], first: str, last: str) -> List[float]:
    """The seconds of each completed cycle in a behaviour's ``decisions``."""
    done: List[float] = []
    began: Optional[int] = None
    for (stamp, step), (next_stamp, _) in zip(decisions, decisions[1:]):
        if step == first and began is None:
            began = stamp
        if step == last and began is not None:
            done.append(seconds_between(began, next_stamp))
            began = None
    return done
