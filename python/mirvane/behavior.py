"""Behaviours: named sequences of steps that one robot runs, and what each step does to an item."""

from enum import Enum
from typing import Dict, Iterable, Mapping, Optional, Tuple, Union

from dravik.api import project_pb2


class StepRole(str, Enum):
    """What a behaviour's step does to an item: takes hold of it, lets go of it, or neither."""
    GRASP = "grasp"
    RELEASE = "release"
    OTHER = "other"

    def __str__(self) -> str:
        return str(self.value)


#: The role of a step by its name, for the steps a behaviour declares no role for: the names
#: cells commonly give their grippers' steps.
DEFAULT_STEP_ROLES: Mapping[str, StepRole] = {
    **dict.fromkeys(("grasp", "pick", "close_gripper", "gripper_close", "grip", "grab", "clamp", "suck",
                     "vacuum_on"), StepRole.GRASP),
    **dict.fromkeys(("release", "place", "open_gripper", "gripper_open", "drop", "put_down", "unclamp",
                     "vacuum_off", "let_go"), StepRole.RELEASE),
}

#: The project file's spelling of each role.
_ROLE_MODELS = {StepRole.GRASP: project_pb2.STEP_ROLE_GRASP, StepRole.RELEASE: project_pb2.STEP_ROLE_RELEASE,
                StepRole.OTHER: project_pb2.STEP_ROLE_OTHER}
_MODEL_ROLES = {model: role for role, model in _ROLE_MODELS.items()}


def step_role(roles: Mapping[str, StepRole], step: str) -> StepRole:
    """The role of ``step`` in a behaviour declaring ``roles``: its own, else the default for its name."""
    return roles.get(step) or DEFAULT_STEP_ROLES.get(step, StepRole.OTHER)


def roles_of(model: project_pb2.BehaviorModel) -> Dict[str, StepRole]:
    """The roles ``model`` declares (one left unspecified is not declared)."""
    return {step: _MODEL_ROLES[role] for step, role in model.roles.items() if role in _MODEL_ROLES}


class Behavior:
    """A named sequence of steps run by one robot, e.g. pick, move, place.

    ``roles`` names what steps do to an item (``{"close_gripper": StepRole.GRASP}``, or the role's
    string, ``"grasp"``); a step it does not name takes ``DEFAULT_STEP_ROLES``' role for its name,
    else ``StepRole.OTHER``. Behaviours are values: they compare equal when name, robot, steps and
    declared roles match.
    """

    def __init__(self, name: str, robot: str = "", steps: Iterable[str] = (), *,
                 roles: Optional[Mapping[str, Union[StepRole, str]]] = None) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError("a behavior name must be a non-empty string")
        if not isinstance(robot, str):
            raise TypeError(f"robot must be a string, got {type(robot).__name__}")
        if isinstance(steps, str):
            # A lone string would otherwise become one step per character.
            raise TypeError("steps must be a sequence of strings, not a string")
        steps = tuple(steps)
        for step in steps:
            if not isinstance(step, str):
                raise TypeError(f"each step must be a string, got {type(step).__name__}")
        self._name = name
        self._robot = robot
        self._steps: Tuple[str, ...] = steps
        self._roles = _declared(roles or {}, steps)

    def name(self) -> str:
        """The behaviour's name, which is also its key in a project."""
        return self._name

    def robot(self) -> str:
        """Name of the robot that runs it ("" when not assigned)."""
        return self._robot

    def steps(self) -> Tuple[str, ...]:
        """Its steps, in order."""
        return self._steps

    def roles(self) -> Dict[str, StepRole]:
        """The roles declared for its steps, by step (the defaults not included)."""
        return dict(self._roles)

    def role(self, step: str) -> StepRole:
        """What ``step`` does to an item: its declared role, else the default for its name."""
        return step_role(self._roles, step)

    def _key(self) -> Tuple[str, str, Tuple[str, ...], Tuple[Tuple[str, StepRole], ...]]:
        return self._name, self._robot, self._steps, tuple(sorted(self._roles.items()))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Behavior):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        roles = f", roles={ {step: role.value for step, role in sorted(self._roles.items())} !r}" \
            if self._roles else ""
        return f"Behavior({self._name!r}, robot={self._robot!r}, steps={self._steps!r}{roles})"

    def __str__(self) -> str:
        return self._str(0)

    def _str(self, indent: int) -> str:
        """A one-line description, indented by ``indent`` levels of two spaces."""
        robot = self._robot or "no robot"
        steps = " -> ".join(self._steps) if self._steps else "no steps"
        roles = "".join(f"; {step}: {role}" for step, role in sorted(self._roles.items()))
        return f"{'  ' * indent}{self._name} ({robot}): {steps}{roles}\n"

    @staticmethod
    def _ToModel(behavior: "Behavior") -> project_pb2.BehaviorModel:
        """A new message describing ``behavior``."""
        if not isinstance(behavior, Behavior):
            raise TypeError(f"expected a Behavior, got {type(behavior).__name__}")
        # No roles, nothing written: older project files save to the same bytes.
        return project_pb2.BehaviorModel(name=behavior._name, robot=behavior._robot, steps=behavior._steps,
                                         roles={step: _ROLE_MODELS[role] for step, role in behavior._roles.items()})

    @staticmethod
    def _FromModel(model: project_pb2.BehaviorModel) -> "Behavior":
        """A new behaviour built from ``model``."""
        if not isinstance(model, project_pb2.BehaviorModel):
            raise TypeError(f"expected a BehaviorModel, got {type(model).__name__}")
        return Behavior(model.name, model.robot, model.steps, roles=roles_of(model))


def _declared(roles: Mapping[str, Union[StepRole, str]], steps: Tuple[str, ...]) -> Dict[str, StepRole]:
    """``roles`` checked against ``steps``, as ``StepRole``s."""
    if not isinstance(roles, Mapping):
        raise TypeError(f"roles must map step names to roles, got {type(roles).__name__}")
    declared: Dict[str, StepRole] = {}
    for step, role in roles.items():
        if step not in steps:
            raise ValueError(f"roles name {step!r}, which is not one of the steps; name one of {list(steps)}")
        try:
            declared[step] = StepRole(role)
        except ValueError:
            raise ValueError(f"{role!r} is not a step role; use one of {[r.value for r in StepRole]}") from None
    return declared
