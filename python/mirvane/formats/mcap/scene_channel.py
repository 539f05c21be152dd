"""The ``/scene`` channel: the work cell drawn as ``foxglove.SceneUpdate`` messages.

The drawing is native (``_columns.SceneDrawing``): the MCAP layout (``_columns.Layout``) hands it
products as their bytes; it applies them as playback does (``mirvane.scene.apply``,
``mirvane.sightings.ItemsSeen``) and draws what they moved with the cell's native geometry. Here the
models' fixed facts are found once, by ``mirvane.scene``'s rules.
"""

from typing import Any, List, Mapping, Optional, Tuple

from dravik.api import system_pb2

from ... import _columns, scene


class SceneChannel:
    """The ``/scene`` channel: a drawing of the cell (``mirvane.scene``) as a foxglove.SceneUpdate,
    following the workspace state as playback rebuilds it.

    Each entity is kept serialized as a one-entity SceneUpdate; concatenated,
    they are the SceneUpdate of the whole cell, so a product rebuilds only the
    entities it moves.
    """

    def __init__(self, robots: Any, cameras: Any, items: Any, state: system_pb2.WorkspaceState,
                 time: int, seen: Optional[Mapping[str, scene.Pose]] = None) -> None:
        extent = scene.extent(robots, cameras, items)
        # By name: a map's own order differs from one process to the next.
        self._drawing = _columns.SceneDrawing(
            [_robot(name, robots[name], state.robots.get(name)) for name in sorted(robots)],
            [_camera(name, cameras[name], state.cameras.get(name), extent) for name in sorted(cameras)],
            [_item(name, items[name], state.items.get(name)) for name in sorted(items)],
            [(name, pose.SerializeToString()) for name, pose in (seen or {}).items()], _timestamp(time))

    @property
    def drawing(self) -> Any:
        """The native drawing, for a native writer to follow products with (``_columns.Layout``)."""
        return self._drawing

    def update(self, time: int, clear: bool = False) -> bytes:
        """The SceneUpdate of the whole cell; ``clear`` first deletes whatever an earlier record showed."""
        return bytes(self._drawing.update(_timestamp(time), clear))


def _timestamp(time: int) -> Tuple[int, int]:
    """A time in nanoseconds as a Timestamp's seconds and nanoseconds (``FromNanoseconds``)."""
    return divmod(time, 1_000_000_000)


def _robot(name: str, model: Any, state: Optional[system_pb2.RobotState]) -> Tuple[Any, ...]:
    base = model.base_pose
    links = tuple(model.link_lengths)
    mount = scene.mount_of(model)
    problems = [] if scene.links_ok(links) else [f"{name} link lengths"]
    if not (scene.length_ok(mount.arm_height) or mount.arm_height == 0.0):
        problems.append(f"{name} arm height")
    if not scene.length_ok(mount.link_width):
        problems.append(f"{name} link width")
    joints = list(state.joint_positions.values) if state is not None else None
    p = base.position
    return name, scene.pose_ok(base), (p.x, p.y, p.z), links, mount.numbers(), problems, joints


def _placed(state: Any) -> Optional[Tuple[bool, bytes]]:
    return None if state is None else (state.HasField("base_pose"), state.base_pose.SerializeToString())


def _camera(name: str, model: Any, state: Optional[system_pb2.CameraState], extent: float) -> Tuple[Any, ...]:
    shape = scene.camera(name, model, None, extent)     # its field of view, the same wherever it is
    wedge: List[Tuple[float, float]] = shape.wedge(shape.reach, world=False)
    return (name, model.base_pose.SerializeToString(), scene.pose_ok(model.base_pose),
            scene.field_of_view_ok(model.field_of_view_deg), list(shape.problems), (0.0, 0.0, 0.0), wedge, _placed(state))


def _item(name: str, model: Any, state: Optional[system_pb2.ItemState]) -> Tuple[Any, ...]:
    shape = scene.item(name, model, None)
    size = model.size
    return (name, model.base_pose.SerializeToString(), scene.pose_ok(model.base_pose), scene.size_ok(size),
            list(shape.problems), (size.x, size.y, size.z), [], _placed(state))
