"""Values of a record's products over time, addressed by field paths as the MCAP export's channels are.

A path names a product part, optionally one robot's, then fields, list positions and map keys:
``controller{robot=="arm_a"}.feedback.joint.positions.values[0]``,
``perception.item_poses["box_1"].position.x``, ``planner{robot=="arm_b"}.duration_s``.
Only the fields of the part's messages may be named, and the path must end at a number.
Series come from the products themselves (not from replayed states): one point per product that
carries the part (and, with a filter, names the robot), at the product's time as playback counts it.
A path whose products name several robots needs the filter: one series is one robot's.
"""

import re
import reprlib
from collections import OrderedDict
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple, Union

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2
from google.protobuf.descriptor import FieldDescriptor
from google.protobuf.message import Message

from ..scene import KINDS
from .times import exact_times
from .fields import axis_title, describe

#: The points (a time and a value each) that the series kept for reuse hold in all; past it the
#: least recently asked for go. 32 MB as float64 pairs: some 30 series of one arm over a ten-minute
#: record, a page's plots and what its field box added.
POINTS_KEPT = 2_000_000
#: The products the field list is found in: the first this many (some 45 s of the sample cell),
#: where every robot and part of a run has reported, so that an hours-long run lists them at once.
FIELDS_FROM = 10_000
# No list of a product comes near a position of ten digits.
_POSITION_DIGITS = 9

# A robot's name or a map key, in quotes: no quote and no control character (a path is one line).
_QUOTED = r'[^"\x00-\x1f\x7f]*'
# A map key without quotes, as diff once printed them (``camera_poses[cam_side]``): not all digits.
_BARE = r'(?![0-9]+\])[^\[\]"\x00-\x1f\x7f]+'
_PATH = re.compile(rf'/?(?P<part>\w+)(?:\{{robot=="(?P<robot>{_QUOTED})"\}})?'
                   rf'(?P<rest>(?:\.\w+|\[[0-9]+\]|\["{_QUOTED}"\]|\[{_BARE}\])*)')
_STEP = re.compile(rf'\.(\w+)|\[([0-9]+)\]|\["({_QUOTED})"\]|\[({_BARE})\]')
_NUMBERS = {FieldDescriptor.CPPTYPE_INT32, FieldDescriptor.CPPTYPE_INT64, FieldDescriptor.CPPTYPE_UINT32,
            FieldDescriptor.CPPTYPE_UINT64, FieldDescriptor.CPPTYPE_DOUBLE, FieldDescriptor.CPPTYPE_FLOAT,
            FieldDescriptor.CPPTYPE_ENUM}

#: A step of a path: a field's name, a list position, or a map key (as a 1-tuple).
Step = Union[str, int, Tuple[str]]
Values = npt.NDArray[np.float64]
# Users' text in messages: quoted, on one line, cut short when long.
_SHOWN = reprlib.Repr()
_SHOWN.maxstring = 120


class FieldPath(NamedTuple):
    part: str
    robot: Optional[str]
    steps: Tuple[Step, ...]

    def __str__(self) -> str:
        """The path's one spelling: no channel slash, no spaces around it, positions without leading zeros."""
        head = self.part if self.robot is None else f'{self.part}{{robot=="{self.robot}"}}'
        return head + "".join(_spelled(step) for step in self.steps)


def parse(path: str) -> FieldPath:
    """``path`` as a ``FieldPath``; ``ValueError`` when it is none, naming the first step that names no
    field, position or key of the part's messages, or the end when it is not a number."""
    match = _PATH.fullmatch(path.strip())
    if match is None or match["part"] not in KINDS:
        raise ValueError(f"{_shown(path)} is not a field path such as "
                         'controller{robot=="arm_a"}.feedback.joint.positions.values[0]')
    steps: List[Step] = []
    for name, position, key, bare in _STEP.findall(match["rest"]):
        if len(position.lstrip("0")) > _POSITION_DIGITS:
            raise ValueError(f"{_shown(path)}: position {position.lstrip('0')[:12]}... is past the end of every list")
        steps.append(name if name else int(position) if position else (bare or key,))
    parsed = FieldPath(match["part"], match["robot"], tuple(steps))
    _check(parsed, _shown(path))
    return parsed


def series(record: Any, path: str, start: int = 0, stop: Optional[int] = None) -> Tuple[List[float], List[float]]:
    """The times (seconds after the first product, exact) and values of ``path`` over ``record``'s products
    (those from ``start`` to ``stop``); ``ValueError`` when no product has a value there, or when products of
    several robots do."""
    part, robot, steps = field = parse(path)
    stamps = getattr(record, "stamps", None)    # a spooled record's: the times of these products alone
    times = exact_times(record)[start:stop] if stamps is None else (stamps[start:stop] - stamps[:1].sum()) / 1e9
    xs: List[float] = []
    ys: List[float] = []
    robots: Set[str] = set()
    for t, product in zip(times, record.products[start:start + len(times)]):
        if not product.HasField(part):
            continue
        value: Any = getattr(product, part)
        if robot is not None and value.robot != robot:
            continue
        value = _walk(value, steps)
        if value is not None:
            xs.append(float(t))
            ys.append(float(value))
            robots.add(getattr(getattr(product, part), "robot", ""))
    if len(robots) > 1:
        named = sorted(robots)
        raise ValueError(f"{field} mixes the robots {', '.join(map(repr, named))}: name one, as in "
                         f"{field._replace(robot=next(name for name in named if name))}")
    if not xs and not start:
        raise ValueError(f"no product of this record has a value at {field}; the field list names those there are")
    return xs, ys


class Kept:
    """The series of one record, each computed once and kept in its path's one spelling, however it
    was spelled; past ``points`` points in all, the least recently asked for go."""

    def __init__(self, record: Any, points: int = POINTS_KEPT) -> None:
        self._record, self._points = record, points
        # Each path's times and values, and how many of the record's products they cover (a growing
        # record's series are taken on from there).
        self._kept: "OrderedDict[str, Tuple[Values, Values, int]]" = OrderedDict()
        self._held = 0

    def __call__(self, path: str) -> Tuple[str, Values, Values]:
        """``path`` in its one spelling, and its times and values (``series``)."""
        spelled = str(parse(path))
        count = len(self._record.products)
        if spelled in self._kept:
            self._kept.move_to_end(spelled)
            kept_xs, kept_ys, covered = self._kept[spelled]
            if covered < count:
                more_xs, more_ys = series(self._record, spelled, covered, count)
                self._kept[spelled] = np.append(kept_xs, more_xs), np.append(kept_ys, more_ys), count
                self._held += len(more_xs)
        else:
            new_xs, new_ys = series(self._record, spelled, 0, count)
            self._kept[spelled] = np.array(new_xs), np.array(new_ys), count
            self._held += len(new_xs)
        while self._held > self._points and len(self._kept) > 1:
            _, (dropped, _, _) = self._kept.popitem(last=False)
            self._held -= len(dropped)
        xs, ys, _ = self._kept[spelled]
        return spelled, xs, ys


def decimated(xs: Values, ys: Values, columns: int) -> Tuple[Values, Values]:
    """``xs``, ``ys`` (times in order) as a plot ``columns`` pixels wide draws them: in each column of
    time, the point of its least value and that of its greatest, in time order; as they are when
    they have no more than two points a column."""
    if columns < 1 or len(xs) <= 2 * columns or not xs[-1] > xs[0]:
        return xs, ys
    column = np.minimum(((xs - xs[0]) / (xs[-1] - xs[0]) * columns).astype(int), columns - 1)
    by_value = np.lexsort((ys, column))      # each column's points from its least value (gaps last) up
    ends = np.flatnonzero(np.diff(column[by_value])) + 1
    kept = np.unique(np.concatenate((by_value[np.r_[0, ends]], by_value[np.r_[ends - 1, len(xs) - 1]])))
    return xs[kept], ys[kept]


def fields(record: Any) -> List[str]:
    """Every numeric field path the record's first ``FIELDS_FROM`` products have, robots' parts filtered by robot."""
    found: Dict[str, None] = {}
    for product in record.products[:FIELDS_FROM]:
        for part in KINDS:
            if product.HasField(part):
                message = getattr(product, part)
                _leaves(message, str(FieldPath(part, getattr(message, "robot", "") or None, ())), found)
    return sorted(found)


def default_paths(*records: Any, found: Optional[Sequence[str]] = None) -> List[str]:
    """Each robot's joint and effector positions, from the controller products (of all ``records``,
    or among the field paths ``found`` in them)."""
    found = sorted({path for record in records for path in fields(record)}) if found is None else found
    return [path for path in found if path.startswith("controller{")
            and (".feedback.joint.positions.values[" in path or ".feedback.effector.positions.values[" in path)]


def default_plots(*records: Any, found: Optional[Sequence[str]] = None) -> List[Dict[str, Any]]:
    """The default paths as plots: for each robot its joints, then its effector, one plot per unit
    (``robot``, ``unit``, ``axis`` title, ``series`` of ``path`` and ``name``, ``title``)."""
    entries = []
    for path in default_paths(*records, found=found):
        _, robot, steps = parse(path)
        field = describe(steps)
        entries.append(((robot or "", "joint" not in steps, field.unit), steps[-1], path, field))
    plots: Dict[Tuple[str, bool, str], Dict[str, Any]] = {}
    for key, _, path, field in sorted(entries, key=lambda entry: entry[:2]):
        robot, effector, unit = key
        plot = plots.setdefault(key, {"robot": robot, "unit": unit, "axis": axis_title(unit), "series": []})
        plot["series"].append({"path": path, "name": field.name})
    for (robot, effector, _), plot in plots.items():
        names = ", ".join(entry["name"] for entry in plot["series"])
        plot["title"] = f"{robot} · effector {names}" if effector else f"{robot} · joints"
    return list(plots.values())


def _walk(value: Any, steps: Tuple[Step, ...]) -> Any:
    """The value at ``steps`` (checked against the schema), or None where a list is too short or a map lacks the key."""
    for step in steps:
        if isinstance(step, str):
            value = getattr(value, step)
        elif isinstance(step, int):
            if step >= len(value):
                return None
            value = value[step]
        elif step[0] in value:
            value = value[step[0]]
        else:
            return None
    return value


def _check(path: FieldPath, shown: str) -> None:
    """Refuse ``path`` unless each step is a field, position or key of what the step before it
    holds, in the part's schema, and it ends at a number."""
    field = data_pb2.Product.DESCRIPTOR.fields_by_name[path.part]
    if path.robot is not None and "robot" not in field.message_type.fields_by_name:
        raise ValueError(f"{shown}: {path.part} products name no robot; drop the {{robot==...}} filter")
    entry = False   # whether the last step took one entry of a list field
    done = path._replace(steps=())
    for step in path.steps:
        holds, hint = _holding(field, entry)
        if isinstance(step, str) and holds == "a message" and step in field.message_type.fields_by_name:
            field, entry = field.message_type.fields_by_name[step], False
        elif isinstance(step, int) and holds == "a list":
            entry = True
        elif isinstance(step, tuple) and holds == "a map":
            field, entry = field.message_type.fields_by_name["value"], False
        else:
            raise ValueError(f"{shown}: {done} is {holds}{hint}; {_spelled(step)} names nothing in it")
        done = done._replace(steps=done.steps + (step,))
    holds, hint = _holding(field, entry)
    if holds != "a number":
        raise ValueError(f"{shown}: {done} is {holds}{hint}, not a number; a plot needs a number")


def _holding(field: FieldDescriptor, entry: bool) -> Tuple[str, str]:
    """What a value of ``field`` is (one entry of it, for a list, when ``entry``), and what may follow it."""
    if field.is_repeated and not entry:
        if field.message_type is not None and field.message_type.GetOptions().map_entry:
            return "a map", ' (give a key, as ["name"])'
        return "a list", " (give a position, as [0])"
    if field.message_type is not None:
        return "a message", f" (fields: {', '.join(field.message_type.fields_by_name)})"
    if field.cpp_type in _NUMBERS:
        return "a number", ""
    return ("true or false", "") if field.cpp_type == FieldDescriptor.CPPTYPE_BOOL else ("text", "")


def _spelled(step: Step) -> str:
    return f".{step}" if isinstance(step, str) else f"[{step}]" if isinstance(step, int) else f'["{step[0]}"]'


def _shown(text: str) -> str:
    return _SHOWN.repr(text)


def _leaves(message: Message, head: str, found: Dict[str, None]) -> None:
    for field, value in message.ListFields():
        path = f"{head}.{field.name}"
        if field.message_type is not None and field.message_type.GetOptions().map_entry:
            for key in value:
                entry = value[key]
                if isinstance(entry, Message):
                    _leaves(entry, f'{path}["{key}"]', found)
                elif _numeric(entry):
                    found[f'{path}["{key}"]'] = None
        elif field.is_repeated:
            for position, entry in enumerate(value):
                if isinstance(entry, Message):
                    _leaves(entry, f"{path}[{position}]", found)
                elif _numeric(entry):
                    found[f"{path}[{position}]"] = None
        elif isinstance(value, Message):
            _leaves(value, path, found)
        elif _numeric(value):
            found[path] = None


def _numeric(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)
