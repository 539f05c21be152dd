"""Metrics: how much a record's run got done, from its products and events alone.

``record_metrics`` counts a record's products by kind, the behaviours that ran, the steps and
cycles they completed (a cycle: a behaviour from its first step through its last, as its
project lists them, ended by its next decision) and the items moved (released in a release
step, the event model's rule for a pick and place done).
"""

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from dravik.api import data_pb2

from ..data import seconds_between
from ..scene import KINDS, kind_of
from .events import Event


@dataclass(frozen=True)
class Metrics:
    """What a record's run got done."""
    products: Dict[str, int]            # by kind (``scene.KINDS``), and ``none`` for products without a part
    behaviors: Tuple[str, ...]          # those that made a decision, by name
    steps: int                          # steps ended by their behaviour's next one
    cycles: int                         # behaviours' cycles completed
    cycle_s: Optional[float]            # their mean length in seconds (None without one)
    moved: int                          # items released in a release step


def record_metrics(record: data_pb2.Record, events: Sequence[Event]) -> Metrics:
    """The metrics of ``record``, whose events (``record_events``) are ``events``."""
    products: Dict[str, int] = dict.fromkeys(KINDS + ("none",), 0)
    decisions: Dict[str, List[Tuple[int, str]]] = {}    # behaviour: (stamp, step) in record order
    for product in record.products:
        kind = kind_of(product) or "none"
        products[kind] += 1
        if kind == "decision":
            decisions.setdefault(product.decision.behavior, []).append((product.timestamp_ns, product.decision.step))
    steps, cycles = 0, []
    for behavior, made in decisions.items():
        steps += len(made) - 1
        model = record.project.behaviors.get(behavior)
        if model is not None and model.steps:
            cycles += _cycles(made, model.steps[0], model.steps[-1])
    return Metrics(products, tuple(sorted(decisions)), steps, len(cycles),
                   sum(cycles) / len(cycles) if cycles else None,
                   sum(event.kind == "release" for event in events))


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
