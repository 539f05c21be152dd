"""The running system as last reported: perception, decision, planner and controller."""

from typing import Optional

from dravik.api import system_pb2


class System:
    """Holds the latest system state of a work cell, as playback or a live link reports it."""

    def __init__(self) -> None:
        self._state: Optional[system_pb2.SystemState] = None

    def state(self) -> Optional[system_pb2.SystemState]:
        """The latest state, or None before any has arrived."""
        return self._state

    def __repr__(self) -> str:
        return f"<System {'with' if self._state is not None else 'without'} state>"

    def _setState(self, state: system_pb2.SystemState) -> None:
        """Take ``state`` as the latest; kept by reference (called every playback cycle)."""
        if not isinstance(state, system_pb2.SystemState):
            raise TypeError(f"expected a SystemState, got {type(state).__name__}")
        self._state = state
