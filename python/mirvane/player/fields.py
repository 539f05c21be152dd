"""What the numbers in products and states are: a short name and a unit for each field, as the
player's plots and state inspector show them.

A field is addressed by its steps from a part or a state: field names (str), list positions (int)
and map keys (1-tuples), as ``series.parse`` gives them. Joint values (of a robot's state, a
controller's feedback, a planner's waypoints) are angles in radians; effector values are the
scene's ``EFFECTOR_AXES``, metres and radians; positions are metres and ``duration_s`` seconds.
"""

from dataclasses import dataclass
from typing import Any, Sequence

from ..scene import EFFECTOR_AXES

_EFFECTOR_UNITS = {"x": "m", "y": "m", "heading": "rad"}
#: What an axis of each unit measures, for its title.
QUANTITIES = {"rad": "angle", "m": "position", "s": "duration"}


@dataclass(frozen=True)
class Field:
    name: str   # "joint 0", "x", "heading", "duration_s", ...
    unit: str   # "rad", "m", "s", or "" for none


def describe(steps: Sequence[Any]) -> Field:
    """The name and unit of the field at ``steps``."""
    names = [step for step in steps if isinstance(step, str)]
    last = steps[-1] if steps else ""
    if isinstance(last, int) and names[-1:] == ["values"]:
        # The list's owner: joint_positions, effector_positions, feedback.joint.positions, waypoints.
        owner = names[-3] if names[-2:-1] == ["positions"] and len(names) > 2 else names[-2] if len(names) > 1 else ""
        if owner.startswith("effector"):
            if last < len(EFFECTOR_AXES):
                return Field(EFFECTOR_AXES[last], _EFFECTOR_UNITS[EFFECTOR_AXES[last]])
            return Field(f"effector {last}", "")
        if owner.startswith("joint") or owner == "waypoints":
            return Field(f"joint {last}", "rad")
    if not isinstance(last, str):
        return Field(str(last[0] if isinstance(last, tuple) else last), "")
    if names[-2:-1] == ["position"]:
        return Field(last, "m")
    return Field(last, "s" if last.endswith("_s") else "")


def axis_title(unit: str) -> str:
    """An axis title for values in ``unit``: "angle (rad)", "position (m)"."""
    return f"{QUANTITIES.get(unit, 'value')} ({unit})" if unit else "value"
