"""Values of a record's products over time, addressed by field paths as the MCAP export's channels are.

A path names a product part, optionally one robot's, then fields, list positions and map keys:
``controller{robot=="arm_a"}.feedback.joint.positions.values[0]``,
``perception.item_poses["box_1"].position.x``, ``planner{robot=="arm_b"}.duration_s``.
Series come from the products themselves (not from replayed states): one point per product that
carries the part (and, with a filter, names the robot), at the product's time as playback counts it.
"""

import re
from typing import Any, Dict, List, Optional, Tuple

from google.protobuf.message import Message

from ..scene import KINDS
from .clock import product_times
from .fields import axis_title, describe

_PATH = re.compile(r'/?(?P<part>\w+)(?:\{robot=="(?P<robot>[^"]*)"\})?(?P<rest>(?:\.\w+|\[\d+\]|\["[^"]*"\])*)')
_STEP = re.compile(r'\.(\w+)|\[(\d+)\]|\["([^"]*)"\]')


def parse(path: str) -> Tuple[str, Optional[str], List[Any]]:
    """``path`` as (part, robot or None, steps: field names as str, positions as int, keys as 1-tuples)."""
    match = _PATH.fullmatch(path.strip())
    if match is None or match["part"] not in KINDS:
        raise ValueError(f"{path!r} is not a field path such as "
                         'controller{robot=="arm_a"}.feedback.joint.positions.values[0]')
    steps: List[Any] = []
    for name, position, key in _STEP.findall(match["rest"]):
        steps.append(name if name else int(position) if position else (key,))
    return match["part"], match["robot"], steps


def series(record: Any, path: str) -> Tuple[List[float], List[float]]:
    """The times (seconds, as playback counts them) and values of ``path`` over ``record``'s products."""
    part, robot, steps = parse(path)
    times = product_times(record)
    xs: List[float] = []
    ys: List[float] = []
    for t, product in zip(times, record.products):
        if not product.HasField(part):
            continue
        value: Any = getattr(product, part)
        if robot is not None and value.robot != robot:
            continue
        value = _walk(value, steps)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            xs.append(float(t))
            ys.append(float(value))
    return xs, ys


def fields(record: Any) -> List[str]:
    """Every numeric field path the record's products have, robots' parts filtered by robot."""
    found: Dict[str, None] = {}
    for product in record.products:
        for part in KINDS:
            if product.HasField(part):
                message = getattr(product, part)
                robot = getattr(message, "robot", "")
                head = f'{part}{{robot=="{robot}"}}' if robot else part
                _leaves(message, head, found)
    return sorted(found)


def default_paths(record: Any) -> List[str]:
    """Each robot's joint and effector positions, from the controller products."""
    return [path for path in fields(record) if path.startswith("controller{")
            and (".feedback.joint.positions.values[" in path or ".feedback.effector.positions.values[" in path)]


def default_plots(record: Any) -> List[Dict[str, Any]]:
    """The default paths as plots: for each robot its joints, then its effector, one plot per unit
    (``robot``, ``unit``, ``axis`` title, ``series`` of ``path`` and ``name``, ``title``)."""
    entries = []
    for path in default_paths(record):
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


def _walk(value: Any, steps: List[Any]) -> Any:
    for step in steps:
        try:
            if isinstance(step, str):
                if isinstance(value, Message) and step not in value.DESCRIPTOR.fields_by_name:
                    return None
                value = getattr(value, step)
            elif isinstance(step, int):
                value = value[step]
            else:
                value = value[step[0]] if step[0] in value else None
        except (AttributeError, IndexError, TypeError, KeyError):
            return None
        if value is None:
            return None
    return value


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
