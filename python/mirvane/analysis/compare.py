"""Two runs compared product by product: where they first differ, their figures, and the events
only one of them has.

Products are paired in order from where both runs are under way on the clock of
their ``Aligned`` (the first product of each at or after the later start): a
pair differs when their times on that clock, or any of their values (the stamp
aside), differ by more than the tolerance (seconds, and the values' own units),
or when one run has no product left to pair. Texts, names and flags must be
equal; a value that is not a number equals only another such.

Events are paired by kind and subject: one of A with one of B at most
``event_tolerance`` seconds away on that clock (runs that only moved in time keep
their steps paired); those left without a partner are each run's own, the loud
ones first. Value paths are spelled as the player's field box takes them
(``perception.camera_poses["cam_side"]``, ``controller{robot=="arm_a"}...``).

Runs of one seed with and without a fault are equal up to the fault, product for
product, so their events up to there are one run's: the detector runs once over
what they share and is then copied for each (``run_events``).
"""

import copy
import math
from dataclasses import dataclass, replace
from typing import Any, Dict, List, Optional, Sequence, Tuple

from google.protobuf import text_format
from google.protobuf.message import Message

from dravik.api import data_pb2

from .. import scene
from ..records import duration_seconds, seconds_between
from .align import Aligned, Alignment, align
from .events import SEVERITIES, Detector, Event, numbered
from .metrics import Metrics, record_metrics

#: Seconds apart, on the shared clock, that two runs' events of one kind and subject may be and
#: still be one event of both: runs that took a little longer for something are not different runs.
EVENT_TOLERANCE_S = 1.0


@dataclass(frozen=True)
class FieldDifference:
    """A value that differs: its path in the product (``controller{robot=="arm_a"}.feedback.joint.positions.values[1]``,
    ``time`` for the time on the shared clock), and each run's value (None where a run has no such
    entry or element; a message as its text)."""
    path: str
    a: Any
    b: Any


@dataclass(frozen=True)
class Difference:
    """The first pair of products that differ: their positions and own times (None for a run that
    had no product left), their kinds, and the values that differ."""
    a_product: Optional[int]
    b_product: Optional[int]
    a_time: Optional[float]
    b_time: Optional[float]
    a_kind: str
    b_kind: str
    fields: Tuple[FieldDifference, ...] = ()


@dataclass(frozen=True)
class Comparison:
    """Two records compared: how they were placed, where they first differ (None: alike within the
    tolerance), each one's figures and the events only one of them has (the loud ones first), paired
    within ``event_tolerance`` seconds."""
    aligned: Aligned
    tolerance: float
    difference: Optional[Difference]
    metrics: Tuple[Metrics, Metrics]
    only: Tuple[List[Event], List[Event]]
    event_tolerance: float = EVENT_TOLERANCE_S


def compare_runs(a: data_pb2.Record, b: data_pb2.Record, alignment: Alignment = Alignment(),
                 tolerance: float = 0.0, indices: Tuple[int, int] = (0, 0),
                 event_tolerance: float = EVENT_TOLERANCE_S) -> Comparison:
    """Records ``a`` and ``b`` (at the positions ``indices`` of their recordings) compared, B placed
    by ``alignment``. Raises ``align.AlignmentError`` when a run lacks the event to align by."""
    shared = shared_products(a, b)
    a_events, b_events = run_events(a, b, indices, shared)
    aligned = align(alignment, a, b, a_events, b_events)
    return Comparison(aligned, tolerance, first_difference(a, b, aligned, tolerance, shared),
                      (record_metrics(a, a_events), record_metrics(b, b_events)),
                      unmatched_events(a, b, a_events, b_events, aligned, event_tolerance), event_tolerance)


def shared_products(a: data_pb2.Record, b: data_pb2.Record) -> int:
    """How many products, from the first, the two records share, stamps and all (none unless their
    projects are equal too): what the runs have in common, whatever their alignment."""
    if a.project != b.project:
        return 0
    shared = 0
    for pa, pb in zip(a.products, b.products):
        if pa != pb:
            break
        shared += 1
    return shared


def run_events(a: data_pb2.Record, b: data_pb2.Record, indices: Tuple[int, int],
               shared: int) -> Tuple[List[Event], List[Event]]:
    """The events of both records, as ``record_events`` finds them, those of their first ``shared``
    products (equal in both, as their projects are) found once."""
    detector = Detector(a.project, indices[0])
    common: List[Event] = []
    for product in a.products[:shared]:
        common.extend(detector.feed(product))
    found = []
    for record, index in zip((a, b), indices):
        own = copy.deepcopy(detector)
        own.record = index
        events = [replace(event, record=index) for event in common]
        for product in record.products[shared:]:
            events.extend(own.feed(product))
        found.append(numbered(events + own.finish()))
    return found[0], found[1]


def first_difference(a: data_pb2.Record, b: data_pb2.Record, aligned: Aligned, tolerance: float,
                     shared: int = 0) -> Optional[Difference]:
    """The first pair of products of ``a`` and ``b`` that differ on the clock of ``aligned`` (see the
    module's description), or None; the first ``shared`` products are known to be equal in both."""
    pa, pb = a.products, b.products
    if not pa or not pb:
        return None if len(pa) == len(pb) else _missing(a, b, 0 if pa else None, 0 if pb else None)
    a_first, b_first = pa[0].timestamp_ns, pb[0].timestamp_ns
    # Where both are under way: A's time max(0, offset), B's time max(0, -offset).
    i = _first_at(pa, a_first + max(0, aligned.offset_ns))
    j = _first_at(pb, b_first + max(0, -aligned.offset_ns))
    if i == j == 0 and aligned.offset_ns == 0:
        i = j = shared
    gap_ns = b_first - a_first - aligned.offset_ns      # B's stamp less A's, for products at one time
    tolerance_ns = tolerance * 1e9
    while i < len(pa) and j < len(pb):
        x, y = pa[i], pb[j]
        late_ns = y.timestamp_ns - x.timestamp_ns - gap_ns
        fields = [] if x == y else product_differences(x, y, tolerance)
        if abs(late_ns) > tolerance_ns:
            # Each on the shared clock, in A's seconds: where they should be together.
            fields.insert(0, FieldDifference("time", duration_seconds(x.timestamp_ns - a_first),
                                             duration_seconds(y.timestamp_ns - b_first + aligned.offset_ns)))
        if fields:
            return Difference(i, j, seconds_between(a_first, x.timestamp_ns), seconds_between(b_first, y.timestamp_ns),
                              scene.kind_of(x) or "", scene.kind_of(y) or "", tuple(fields))
        i, j = i + 1, j + 1
    if i == len(pa) and j == len(pb):
        return None
    return _missing(a, b, i if i < len(pa) else None, j if j < len(pb) else None)


def _first_at(products: Sequence[data_pb2.Product], stamp_ns: int) -> int:
    """The position of the first product stamped at or after ``stamp_ns`` (products in time order)."""
    return next((k for k, product in enumerate(products) if product.timestamp_ns >= stamp_ns), len(products))


def _missing(a: data_pb2.Record, b: data_pb2.Record, i: Optional[int], j: Optional[int]) -> Difference:
    """A run's product at ``i`` or ``j`` with none left in the other run to pair it with."""
    def at(record: data_pb2.Record, k: Optional[int]) -> Tuple[Optional[float], str]:
        if k is None:
            return None, ""
        return seconds_between(record.products[0].timestamp_ns, record.products[k].timestamp_ns), \
            scene.kind_of(record.products[k]) or ""
    (a_time, a_kind), (b_time, b_kind) = at(a, i), at(b, j)
    return Difference(i, j, a_time, b_time, a_kind, b_kind)


def product_differences(a: data_pb2.Product, b: data_pb2.Product, tolerance: float) -> List[FieldDifference]:
    """Every value of two products that differs beyond ``tolerance``, the stamp aside, in field order;
    a part of one robot in both is named with its robot, as the field box takes it."""
    found: List[FieldDifference] = []
    _differences(a, b, "", tolerance, found, skip="timestamp_ns")
    kind = scene.kind_of(a) or ""
    robot = getattr(getattr(a, kind), "robot", "") if kind and kind == scene.kind_of(b) else ""
    if not robot or getattr(getattr(b, kind), "robot", "") != robot:
        return found
    head = f'{kind}{{robot=="{robot}"}}'
    return [replace(f, path=head + f.path[len(kind):]) if f.path.startswith(kind + ".") else f for f in found]


def _differences(a: Message, b: Message, path: str, tolerance: float, found: List[FieldDifference],
                 skip: str = "") -> None:
    if a == b and not skip:
        return
    fields = {f.name: f for f, _ in a.ListFields()}
    fields.update((f.name, f) for f, _ in b.ListFields() if f.name not in fields)
    for name, f in sorted(fields.items(), key=lambda item: item[1].number):
        if name == skip:
            continue
        where = f"{path}.{name}" if path else name
        x, y = getattr(a, name), getattr(b, name)
        if f.message_type is not None and f.message_type.GetOptions().map_entry:
            keys = sorted(set(x) | set(y), key=str)
            elements: List[Tuple[str, Any, Any]] = [(f'{where}["{key}"]', x[key] if key in x else None,
                                                     y[key] if key in y else None) for key in keys]
        elif f.is_repeated:
            elements = [(f"{where}[{k}]", x[k] if k < len(x) else None, y[k] if k < len(y) else None)
                        for k in range(max(len(x), len(y)))]
        else:
            elements = [(where, x, y)]
        for at, u, v in elements:
            if isinstance(u, Message) and isinstance(v, Message):
                _differences(u, v, at, tolerance, found)
            elif not alike(u, v, tolerance):
                found.append(FieldDifference(at, _shown(u), _shown(v)))


def alike(a: Any, b: Any, tolerance: float) -> bool:
    """Two values alike: numbers within ``tolerance`` (not a number only with not a number), others equal."""
    if a == b:
        return True
    if isinstance(a, float) and isinstance(b, float):
        return abs(a - b) <= tolerance or (math.isnan(a) and math.isnan(b))
    return False


def _shown(value: Any) -> Any:
    """A value as a difference shows it: a message as its text on one line."""
    if isinstance(value, Message):
        return "{" + text_format.MessageToString(value, as_one_line=True) + "}"
    return value


def unmatched_events(a: data_pb2.Record, b: data_pb2.Record, a_events: Sequence[Event], b_events: Sequence[Event],
                     aligned: Aligned, tolerance: float) -> Tuple[List[Event], List[Event]]:
    """The events of each record that the other has not, the loud ones first (then in time): paired
    with one of the same kind and subject at most ``tolerance`` seconds away on the shared clock."""
    if not a_events or not b_events:
        return _loud_first(a_events), _loud_first(b_events)
    # Nanoseconds since A's first product, on the shared clock.
    firsts = a.products[0].timestamp_ns, b.products[0].timestamp_ns - aligned.offset_ns
    kinds: Dict[Tuple[str, str], Tuple[List[Tuple[int, Event]], List[Tuple[int, Event]]]] = {}
    for side, (events, first) in enumerate(zip((a_events, b_events), firsts)):
        for event in events:
            kinds.setdefault((event.kind, event.subject), ([], []))[side].append((event.stamp_ns - first, event))
    only: Tuple[List[Event], List[Event]] = ([], [])
    tolerance_ns = tolerance * 1e9
    for xs, ys in kinds.values():
        # In time order, the earlier of two that are too far apart has no partner left: the most pairs.
        xs.sort(key=lambda at: at[0])
        ys.sort(key=lambda at: at[0])
        i = j = 0
        while i < len(xs) and j < len(ys):
            apart = ys[j][0] - xs[i][0]
            if abs(apart) <= tolerance_ns:
                i, j = i + 1, j + 1
            elif apart > 0:
                only[0].append(xs[i][1])
                i += 1
            else:
                only[1].append(ys[j][1])
                j += 1
        only[0].extend(event for _, event in xs[i:])
        only[1].extend(event for _, event in ys[j:])
    return _loud_first(only[0]), _loud_first(only[1])


def _loud_first(events: Sequence[Event]) -> List[Event]:
    """``events`` by severity, the worst first, then in record order."""
    return sorted(events, key=lambda event: (-SEVERITIES.index(event.severity), event.product, event.number))
