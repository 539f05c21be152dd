"""Behaviours: named sequences of steps that one robot runs."""

from typing import Iterable, Tuple

from dravik.api import project_pb2


class Behavior:
    """A named sequence of steps run by one robot, e.g. pick, move, place.

    Behaviours are values: they compare equal when name, robot and steps match.
    """

    def __init__(self, name: str, robot: str = "", steps: Iterable[str] = ()) -> None:
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

    def name(self) -> str:
        """The behaviour's name, which is also its key in a project."""
        return self._name

    def robot(self) -> str:
        """Name of the robot that runs it ("" when not assigned)."""
        return self._robot

    def steps(self) -> Tuple[str, ...]:
        """Its steps, in order."""
        return self._steps

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Behavior):
            return NotImplemented
        return (self._name, self._robot, self._steps) == (other._name, other._robot, other._steps)

    def __hash__(self) -> int:
        return hash((self._name, self._robot, self._steps))

    def __repr__(self) -> str:
        return f"Behavior({self._name!r}, robot={self._robot!r}, steps={self._steps!r})"

    def __str__(self) -> str:
        return self._str(0)

    def _str(self, indent: int) -> str:
        """A one-line description, indented by ``indent`` levels of two spaces."""
        robot = self._robot or "no robot"
        steps = " -> ".join(self._steps) if self._steps else "no steps"
        return f"{'  ' * indent}{self._name} ({robot}): {steps}\n"

    @staticmethod
    def _ToModel(behavior: "Behavior") -> project_pb2.BehaviorModel:
        """A new message describing ``behavior``."""
        if not isinstance(behavior, Behavior):
            raise TypeError(f"expected a Behavior, got {type(behavior).__name__}")
        return project_pb2.BehaviorModel(name=behavior._name, robot=behavior._robot,
                                         steps=behavior._steps)

    @staticmethod
    def _FromModel(model: project_pb2.BehaviorModel) -> "Behavior":
        """A new behaviour built from ``model``."""
        if not isinstance(model, project_pb2.BehaviorModel):
            raise TypeError(f"expected a BehaviorModel, got {type(model).__name__}")
        return Behavior(model.name, model.robot, model.steps)
