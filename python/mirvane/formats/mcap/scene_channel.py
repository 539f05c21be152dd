"""The ``/scene`` channel: the work cell drawn as ``foxglove.SceneUpdate`` messages."""

import math
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

from foxglove_schemas_protobuf.LinePrimitive_pb2 import LinePrimitive
from foxglove_schemas_protobuf.SceneEntity_pb2 import SceneEntity
from foxglove_schemas_protobuf.SceneEntityDeletion_pb2 import SceneEntityDeletion
from foxglove_schemas_protobuf.SceneUpdate_pb2 import SceneUpdate
from dravik.api import data_pb2, system_pb2

from ... import scene, sightings
from ...geometry import set_pose
from ...records import RENEW_EVERY, renewed

_FRAME = "world"
_ROBOT_COLOR = (0.95, 0.55, 0.15, 1.0)
_ITEM_COLOR = (0.25, 0.5, 0.9, 1.0)
_CAMERA_COLOR = (0.2, 0.75, 0.3, 1.0)
_JOINT_COLOR = (0.92, 0.92, 0.92, 1.0)
_NAME_COLOR = (1.0, 1.0, 1.0, 1.0)
_NAME_PIXELS = 14.0         # names are drawn this high on the screen, however far
_NAME_ABOVE = 0.06          # metres above what they name
_DAMAGE_COLOR = (0.85, 0.0, 0.0, 1.0)
_DAMAGE_SIZE = 0.1          # metres; the sphere that marks a damaged value


class SceneChannel:
    """The ``/scene`` channel: a drawing of the cell (``mirvane.scene``) as a foxglove.SceneUpdate,
    following the workspace state as playback rebuilds it.

    Each entity is kept serialized as a one-entity SceneUpdate; concatenated,
    they are the SceneUpdate of the whole cell, so a product rebuilds only the
    entities it moves.
    """

    def __init__(self, robots: Any, cameras: Any, items: Any, state: system_pb2.WorkspaceState,
                 time: int, seen: Optional[Mapping[str, scene.Pose]] = None) -> None:
        self._robots, self._cameras, self._items = robots, cameras, items
        self._state = state
        self._applied = 0
        self._seen = sightings.ItemsSeen()      # where items not held were last seen
        self._seen.poses.update(seen or {})     # a scene begun mid-record: as its sightings were then
        self._extent = scene.extent(robots, cameras, items)
        self._entities: Dict[str, bytes] = {}
        self._moved: Dict[str, Callable[[str, int], None]] = {}    # what to draw anew, by name
        self._drawn_cameras: Dict[str, Any] = {}     # each camera's pose as last drawn
        # By name: a map's own order differs from one process to the next.
        for name in sorted(robots):
            self._robot(name, time)
        for name in sorted(cameras):
            self._camera(name, time)
        for name in sorted(items):
            self._item(name, time)

    def apply(self, product: data_pb2.Product) -> bool:
        """Apply ``product`` to the state as playback does; whether it moved anything. What it
        moved is drawn anew by the next ``update``."""
        self._applied += 1
        if self._applied % RENEW_EVERY == 0:     # a whole shift's state takes no more than a minute's
            self._state = renewed(self._state)
        moved = scene.apply(product, self._state)
        for camera in moved.cameras:    # perception reports every camera, most of them standing still
            if self._state.cameras[camera].base_pose != self._drawn_cameras.get(camera):
                self._moved[camera] = self._camera
        if moved.robot:
            self._moved[moved.robot] = self._robot
        seen = self._seen.apply(product)
        for item in {moved.item, *seen} - {""}:
            self._moved[item] = self._item
        return bool(moved or seen)

    @property
    def moved(self) -> bool:
        """Whether products applied since the last ``update`` moved anything."""
        return bool(self._moved)

    def update(self, time: int, clear: bool = False) -> bytes:
        """The SceneUpdate of the whole cell; ``clear`` first deletes whatever an earlier record showed."""
        for name, draw in self._moved.items():
            draw(name, time)
        self._moved.clear()
        deletions = b""
        if clear:
            deletion = SceneEntityDeletion(type=SceneEntityDeletion.ALL)
            deletion.timestamp.FromNanoseconds(time)
            deletions = SceneUpdate(deletions=[deletion]).SerializeToString(deterministic=True)
        return deletions + b"".join(self._entities.values())

    def _robot(self, name: str, time: int) -> None:
        model = self._robots.get(name)
        if model is None:       # a robot the layout does not know has no shape
            return
        shape = scene.robot(name, model, self._state.robots.get(name))
        update, entity = _entity("robot", name, time)
        width = shape.width
        for p, q, length in zip(shape.points_3d, shape.points_3d[1:], shape.links):
            link = entity.cubes.add()   # along x: the link's direction
            _along(link.pose, p, q, -math.atan2(q[2] - p[2], math.hypot(q[0] - p[0], q[1] - p[1])))
            link.size.x, link.size.y, link.size.z = length, width, width
            _color(link.color, _ROBOT_COLOR)
        for x, y, z in shape.points_3d[:-1]:      # the base and the joints, not the effector
            joint = entity.spheres.add()
            set_pose(joint.pose, x, y, z)
            joint.size.x = joint.size.y = joint.size.z = 2.0 * scene.JOINT_RADIUS
            _color(joint.color, _JOINT_COLOR)
        for p, q in zip(shape.stand, shape.stand[1:]):     # the pedestal or hanger
            post = entity.cylinders.add()   # along z: the post's direction
            _along(post.pose, p, q, math.atan2(math.hypot(q[0] - p[0], q[1] - p[1]), q[2] - p[2]))
            post.size.x = post.size.y = 2.0 * scene.JOINT_RADIUS
            post.size.z = math.dist(p, q)
            _color(post.color, _JOINT_COLOR)
        if shape.points_3d:
            x, y, z = shape.points_3d[0]
            _name(entity, name, x, y, z + width)
        self._keep(update, entity, shape)

    def _item(self, name: str, time: int) -> None:
        model = self._items.get(name)
        if model is None:
            return
        shape = scene.item(name, model, self._state.items.get(name), seen=self._seen.poses.get(name))
        update, entity = _entity("item", name, time)
        if shape.drawable:
            box = entity.cubes.add()
            _copy_pose(box.pose, shape.pose)
            box.size.x, box.size.y, box.size.z = shape.size.x, shape.size.y, shape.size.z
            _color(box.color, _ITEM_COLOR)
            p = shape.pose.position
            _name(entity, name, p.x, p.y, p.z + shape.size.z / 2.0)
        self._keep(update, entity, shape)

    def _camera(self, name: str, time: int) -> None:
        model = self._cameras.get(name)
        if model is None:
            return
        state = self._state.cameras.get(name)
        if state is not None:
            self._drawn_cameras[name] = type(state.base_pose)()
            self._drawn_cameras[name].CopyFrom(state.base_pose)
        shape = scene.camera(name, model, state, self._extent)
        update, entity = _entity("camera", name, time)
        if shape.drawable:
            view = entity.lines.add(type=LinePrimitive.LINE_LOOP, thickness=0.01)
            _copy_pose(view.pose, shape.pose)
            for x, y in shape.wedge(shape.reach, world=False):
                view.points.add(x=x, y=y)
            _color(view.color, _CAMERA_COLOR)
            p = shape.pose.position
            _name(entity, name, p.x, p.y, p.z)
        self._keep(update, entity, shape)

    def _keep(self, update: SceneUpdate, entity: SceneEntity, shape: scene.Shape) -> None:
        _mark(entity, shape)
        self._entities[entity.id] = update.SerializeToString(deterministic=True)


def _entity(kind: str, name: str, time: int) -> Tuple[SceneUpdate, SceneEntity]:
    """A one-entity scene update and its new entity, to be filled in."""
    update = SceneUpdate()
    entity = update.entities.add(id=f"{kind}/{name}", frame_id=_FRAME)
    entity.timestamp.FromNanoseconds(time)
    return update, entity


def _name(entity: SceneEntity, name: str, x: float, y: float, z: float) -> None:
    """``name`` written just above (x, y, z), facing the viewer."""
    text = entity.texts.add(text=name, billboard=True, font_size=_NAME_PIXELS, scale_invariant=True)
    set_pose(text.pose, x, y, z + _NAME_ABOVE)
    _color(text.color, _NAME_COLOR)


def _mark(entity: SceneEntity, shape: scene.Shape) -> None:
    """Red spheres where ``shape`` is damaged, and what is, in the entity's metadata."""
    for x, y, z in shape.markers:
        sphere = entity.spheres.add()
        set_pose(sphere.pose, scene.bounded(x), scene.bounded(y), scene.bounded(z))
        sphere.size.x = sphere.size.y = sphere.size.z = _DAMAGE_SIZE
        _color(sphere.color, _DAMAGE_COLOR)
    if shape.problems:
        entity.metadata.add(key="bad values", value=", ".join(shape.problems))


def _copy_pose(target: Any, source: Any) -> None:
    target.position.x, target.position.y, target.position.z = (
        source.position.x, source.position.y, source.position.z)
    q = source.orientation
    target.orientation.x, target.orientation.y, target.orientation.z, target.orientation.w = q.x, q.y, q.z, q.w


def _color(target: Any, rgba: Tuple[float, float, float, float]) -> None:
    target.r, target.g, target.b, target.a = rgba


def _along(pose: Any, p: scene.Point3, q: scene.Point3, pitch: float) -> None:
    """``pose`` halfway between ``p`` and ``q``, facing from ``p`` towards ``q`` seen from above and
    turned ``pitch`` radians about its y axis (to lay a shape's axis along ``pq``)."""
    set_pose(pose, (p[0] + q[0]) / 2.0, (p[1] + q[1]) / 2.0, (p[2] + q[2]) / 2.0,
             math.atan2(q[1] - p[1], q[0] - p[0]), pitch=pitch)
