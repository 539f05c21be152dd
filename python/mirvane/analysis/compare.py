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

Runs of one seed with and without a fault are equal up to the fault, byte for byte:
the walk side by side passes pairs of equal bytes unparsed, compared natively a
block at a time. Each run is read a block at a time, its products' bytes as the
file holds them: for each one's events and figures, then side by side for the
first difference.
"""

import concurrent.futures
import contextlib
import itertools
import math
import threading
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from google.protobuf import text_format
from google.protobuf.message import Message

from dravik.api import data_pb2

from .. import scene
from ..formats.columns import Block, block_columns, equal_products
from ..records import duration_seconds, seconds_between
from .align import Aligned, Alignment, placed
from .events import SEVERITIES, Event, numbered
from .metrics import Metrics, MetricsFold
from .ordering import found_events

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


#: A run to compare, opened afresh at each call: its record's header and products, read a block at
#: a time (``formats.productstream.ProductStream.record_blocks``), so neither run is ever held whole.
Run = Callable[[], Tuple[data_pb2.Record, Iterator[Block]]]
#: A product as a walk meets it: its bytes and its stamp.
_Item = Tuple[bytes, int]


def compare_runs(a: Run, b: Run, alignment: Alignment = Alignment(),
                 tolerance: float = 0.0, indices: Tuple[int, int] = (0, 0),
                 event_tolerance: float = EVENT_TOLERANCE_S) -> Comparison:
    """Runs ``a`` and ``b`` (the records at the positions ``indices`` of their recordings) compared,
    B placed by ``alignment``, in walks over both: their events and figures, then their products
    side by side up to the first difference. Raises ``align.AlignmentError`` when a run lacks the
    event to align by."""
    # The rules and the decoding let go of the interpreter: the runs are surveyed side by side. An
    # interrupt, or a run that cannot be read, stops the other at its next block.
    stop = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="mirvane-diff") as pool:
        try:
            surveys = [pool.submit(_surveyed, run, index, stop) for run, index in zip((a, b), indices)]
            (a_events, a_metrics, a_first), (b_events, b_metrics, b_first) = (survey.result() for survey in surveys)
        finally:
            stop.set()
    metrics, firsts = (a_metrics, b_metrics), (a_first, b_first)
    aligned = placed(alignment, (a_metrics.span_s, b_metrics.span_s), firsts, a_events, b_events)
    with contextlib.ExitStack() as opened:
        x, y = (opened.enter_context(contextlib.closing(_Cursor(run()[1]))) for run in (a, b))
        difference = first_difference(x, y, aligned, tolerance)
    return Comparison(aligned, tolerance, difference, metrics,
                      unmatched_events(firsts, a_events, b_events, aligned, event_tolerance), event_tolerance)


def _surveyed(run: Run, index: int, stop: threading.Event) -> Tuple[List[Event], Metrics, int]:
    """A run's events (as ``record_events`` finds them), its figures, and its first product's stamp
    (0 if none), in one walk (cut short, its results then of no use, once ``stop`` is set)."""
    header, blocks = run()
    try:
        fold = MetricsFold()
        unstopped = itertools.takewhile(lambda _: not stop.is_set(), blocks)
        events = numbered(list(found_events(header.project, fold.folded(unstopped), index)))
    finally:
        getattr(blocks, "close", lambda: None)()
    return events, fold.metrics(header.project, events), fold.first_ns or 0


class _Cursor:
    """A run's products in order, read a block at a time: the one at hand (None past the last), its
    position, the first's stamp. Stamps are read only for the blocks a walk stops in."""

    def __init__(self, blocks: Iterable[Block]) -> None:
        self._blocks = iter(blocks)
        self.at = 0
        self._block: Optional[Block] = None
        self._i = 0
        self._stamps: Optional[List[int]] = None
        self._held: Optional[_Item] = None
        self._next_block()
        self.first_ns = self.product[1] if self.product is not None else 0

    def _next_block(self) -> None:
        self._block = next(self._blocks, None)
        while self._block is not None and len(self._block.starts) == 0:
            self._block = next(self._blocks, None)
        self._i, self._stamps, self._held = 0, None, None

    @property
    def product(self) -> Optional[_Item]:
        """The product at hand: its bytes and its stamp."""
        block = self._block
        if block is None or self._held is not None:
            return self._held
        if self._stamps is None:
            self._stamps = block_columns(block).stamp.tolist()
        i = self._i
        self._held = bytes(block.data[block.starts[i]:block.ends[i]]), self._stamps[i]
        return self._held

    def step(self, n: int = 1) -> None:
        while n > 0 and self._block is not None:
            taken = min(n, len(self._block.starts) - self._i)
            self._i += taken
            self.at += taken
            self._held = None
            n -= taken
            if self._i == len(self._block.starts):
                self._next_block()

    def step_to(self, stamp_ns: int) -> None:
        """On to the first product stamped at or after ``stamp_ns`` (products in time order)."""
        while self.product is not None and self.product[1] < stamp_ns:
            self.step()

    def step_alike(self, other: "_Cursor") -> None:
        """Both on past the products they hold alike byte for byte from here (compared natively)."""
        while self._block is not None and other._block is not None:
            alike = equal_products(self._rest(), other._rest())
            left = min(len(self._block.starts) - self._i, len(other._block.starts) - other._i)
            self.step(alike)
            other.step(alike)
            if alike < left:
                return

    def _rest(self) -> Block:
        assert self._block is not None
        data, starts, ends = self._block
        return Block(data, starts[self._i:], ends[self._i:])

    def seen(self) -> Tuple[Optional[int], Optional[float], str]:
        """The product at hand's position, own time and kind (None, None, "" past the last)."""
        if self.product is None:
            return None, None, ""
        return self.at, seconds_between(self.first_ns, self.product[1]), _kind(self.product[0])

    def close(self) -> None:
        getattr(self._blocks, "close", lambda: None)()


def _kind(data: bytes) -> str:
    return scene.kind_of(data_pb2.Product.FromString(data)) or ""


def first_difference(x: _Cursor, y: _Cursor, aligned: Aligned, tolerance: float) -> Optional[Difference]:
    """The first pair of products of the runs ``x`` and ``y`` (each at its first product) that differ
    on the clock of ``aligned`` (see the module's description), or None."""
    if x.product is None or y.product is None:
        return None if x.product is y.product else _missing(x, y)
    a_first, b_first = x.first_ns, y.first_ns
    # Where both are under way: A's time max(0, offset), B's time max(0, -offset).
    x.step_to(a_first + max(0, aligned.offset_ns))
    y.step_to(b_first + max(0, -aligned.offset_ns))
    gap_ns = b_first - a_first - aligned.offset_ns      # B's stamp less A's, for products at one time
    tolerance_ns = tolerance * 1e9
    # Equal bytes are equal stamps: such a pair is alike when the runs' clocks are, and then
    # passed unparsed, many at a time.
    alike_when_equal = abs(gap_ns) <= tolerance_ns
    while True:
        if alike_when_equal:
            x.step_alike(y)
        pair = x.product, y.product
        if pair[0] is None or pair[1] is None:
            break
        (p, p_ns), (q, q_ns) = pair
        late_ns = q_ns - p_ns - gap_ns
        if p == q and abs(late_ns) <= tolerance_ns:
            x.step()
            y.step()
            continue
        p_product, q_product = data_pb2.Product.FromString(p), data_pb2.Product.FromString(q)
        fields = [] if p == q else product_differences(p_product, q_product, tolerance)
        if abs(late_ns) > tolerance_ns:
            # Each on the shared clock, in A's seconds: where they should be together.
            fields.insert(0, FieldDifference("time", duration_seconds(p_ns - a_first),
                                             duration_seconds(q_ns - b_first + aligned.offset_ns)))
        if fields:
            return Difference(x.at, y.at, seconds_between(a_first, p_ns), seconds_between(b_first, q_ns),
                              scene.kind_of(p_product) or "", scene.kind_of(q_product) or "", tuple(fields))
        x.step()
        y.step()
    return None if x.product is y.product else _missing(x, y)


def _missing(x: _Cursor, y: _Cursor) -> Difference:
    """A run's product at hand with none left in the other run to pair it with."""
    (i, a_time, a_kind), (j, b_time, b_kind) = x.seen(), y.seen()
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


def unmatched_events(firsts: Tuple[int, int], a_events: Sequence[Event], b_events: Sequence[Event],
                     aligned: Aligned, tolerance: float) -> Tuple[List[Event], List[Event]]:
    """The events of each record that the other has not, the loud ones first (then in time): paired
    with one of the same kind and subject at most ``tolerance`` seconds away on the shared clock
    (``firsts``: the stamps of the records' first products)."""
    if not a_events or not b_events:
        return _loud_first(a_events), _loud_first(b_events)
    # Nanoseconds since A's first product, on the shared clock.
    firsts = firsts[0], firsts[1] - aligned.offset_ns
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
