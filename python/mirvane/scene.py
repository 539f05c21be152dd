"""The work cell as shapes in world coordinates, and how a recorded product changes it.

This is the one place for the cell's geometry and for the rule by which a
product changes the state: the viewer, the MCAP ``/scene`` channel and the
Rerun export are drawings of it. Each shape tells which of its values are
usable (finite, within reach, positive where a length or size must be) and,
where they are not, what is damaged and where to mark it, so that every
drawing marks damage alike.

The cell is laid out top-down: positions are metres in the floor plane
(``z`` is height) and orientations are rotations about the vertical axis; a
robot's mount may be raised, tilted or hung (see ``forward_kinematics``), and
distances between robots are measured in space. An item's pose is where its
centre is (a box on the floor is half its height up). An item no robot holds
is drawn where perception last saw it, or where it was last known to be
(``sightings.ItemsSeen``); a held one with its grasp. A camera's field of view is drawn
as deep as it sees (``view_range``).
"""

import math
from bisect import bisect_right
from dataclasses import dataclass, field
from typing import Callable, Collection, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from dravik.api import data_pb2, geometry_pb2, project_pb2, system_pb2

from . import _columns
from .geometry import roll_pitch_of, yaw_of

Point = Tuple[float, float]
Point3 = Tuple[float, float, float]
Pose = geometry_pb2.Pose

#: The product kinds in the order playback tests them: a product counts as the first it carries.
KINDS: Tuple[str, ...] = ("perception", "decision", "planner", "controller")
#: What an arm's effector positions are, in order: metres in the floor plane and the heading in radians
#: (``forward_kinematics`` tells how they follow from the joints).
EFFECTOR_AXES: Tuple[str, ...] = ("x", "y", "heading")
#: Metres (and radians) beyond which a value is taken for damage, not for a work cell.
FAR = 1.0e4
#: The widest field of view drawn; a full circle would show no direction.
_WIDEST_VIEW_DEG = 359.0
#: Items narrower than this are drawn this wide, so that they show.
_THINNEST_ITEM = 0.01
#: Metres above its mount of the plane an arm's links move in, unless its layout says otherwise: clear
#: of the items on the floor.
ARM_HEIGHT = 0.2
#: Metres; an arm's links are this wide and this thick, unless its layout says otherwise.
LINK_WIDTH = 0.05
#: Metres; the 3D drawings show an arm's base and joints as balls this big round, over its links.
JOINT_RADIUS = 0.03
#: Metres two arms' links keep between them at least, surface to surface, unless told otherwise
#: (``Detector(clearance=...)``): the sample cell's arms are planned well apart (40 cm at their
#: closest), so that a few centimetres of tracking error or a stray motion cannot make them touch.
ARM_CLEARANCE = 0.1


# -- the product rule ----------------------------------------------------------------------

def kind_of(product: data_pb2.Product) -> Optional[str]:
    """The kind ``product`` counts as, or None when it carries no part."""
    for kind in KINDS:
        if product.HasField(kind):
            return kind
    return None


@dataclass(frozen=True)
class Moved:
    """What applying a product moved: the controller's robot and item, the perceived cameras."""
    robot: str = ""
    item: str = ""
    cameras: Tuple[str, ...] = ()

    def __bool__(self) -> bool:
        return bool(self.robot or self.item or self.cameras)


def apply(product: data_pb2.Product, state: Union[system_pb2.SystemState, system_pb2.WorkspaceState]) -> Moved:
    """Apply ``product`` to ``state`` in place, as playback rebuilds a record's states.

    A system state takes the product's part and the workspace changes it
    brings; a workspace state only the changes. Only the first kind the
    product carries counts.
    """
    if isinstance(state, system_pb2.SystemState):
        system: Optional[system_pb2.SystemState] = state
        workspace = state.workspace
    else:
        system, workspace = None, state
    kind = kind_of(product)
    if kind is not None and system is not None:
        getattr(system, kind).CopyFrom(getattr(product, kind))
    if kind == "perception":
        poses = product.perception.camera_poses
        for camera, pose in poses.items():
            workspace.cameras[camera].base_pose.CopyFrom(pose)
        return Moved(cameras=tuple(poses))
    if kind != "controller":
        return Moved()
    controller = product.controller
    if controller.robot:
        robot = workspace.robots[controller.robot]
        robot.joint_positions.CopyFrom(controller.feedback.joint.positions)
        robot.effector_positions.CopyFrom(controller.feedback.effector.positions)
    if controller.grasped_item:
        workspace.items[controller.grasped_item].base_pose.CopyFrom(controller.grasped_item_pose)
    return Moved(robot=controller.robot, item=controller.grasped_item)


class LastWriters:
    """The products that last wrote each part of a state (``apply``), so that a state at some moment
    is rebuilt from them alone, applied in their order: each part's last writer wins, as when every
    product is applied (what a record's thousands of states at regular times need, and no more)."""

    def __init__(self) -> None:
        self._by: Dict[Tuple[str, str], Tuple[int, data_pb2.Product]] = {}

    def take(self, position: int, product: data_pb2.Product, kind: Optional[str]) -> None:
        """The product at ``position``, whose kind is ``kind`` (``kind_of``)."""
        if kind is None:
            return
        placed, by = (position, product), self._by
        by["part", kind] = placed
        if kind == "perception":
            for camera in product.perception.camera_poses:
                by["camera", camera] = placed
        elif kind == "controller":
            by["robot", product.controller.robot] = placed
            by["item", product.controller.grasped_item] = placed

    def take_reports(self, positions: Sequence[int], robots: Sequence[str], items: Sequence[str],
                     parsed: Callable[[int], data_pb2.Product]) -> List[data_pb2.Product]:
        """Controller reports at ``positions``, in order, each of the robot ``robots[i]`` holding
        ``items[i]``: taken as ``take`` takes them one by one, though only those last of their robot
        or item (and so of the part) are parsed (``parsed(i)``); those, in order."""
        last = {}
        for i, (robot, item) in enumerate(zip(robots, items)):
            last["robot", robot] = last["item", item] = i
        wanted = sorted(set(last.values()))
        reports = [parsed(i) for i in wanted]
        for i, product in zip(wanted, reports):
            self.take(positions[i], product, "controller")
        return reports

    def apply(self, state: system_pb2.SystemState) -> None:
        """Apply them to ``state`` (its workspace the record's starting one)."""
        for _, product in sorted(dict(self._by.values()).items()):
            apply(product, state)


class Reports:
    """Each robot's latest controller report at every product of ``record``: what a picture of a
    product shows of the robots beyond the state play hands it (whose controller part is the last
    report only, of whichever robot reported last). Found from the record alone, so that the picture
    of a product is the same however playback came to it."""

    def __init__(self, record: data_pb2.Record, before: Optional[Dict[str, system_pb2.Controller]] = None) -> None:
        # ``before``: each robot's latest report before the record's products (a record cut from a longer one).
        self._robots: Dict[str, Tuple[List[int], List[system_pb2.Controller]]] = {
            robot: ([-1], [report]) for robot, report in (before or {}).items()}
        for position, product in enumerate(record.products):
            if kind_of(product) == "controller" and product.controller.robot:
                positions, reports = self._robots.setdefault(product.controller.robot, ([], []))
                positions.append(position)
                reports.append(product.controller)

    def at(self, product: int) -> Dict[str, system_pb2.Controller]:
        """Each robot's latest report at or before the product at position ``product``, in name order."""
        latest = {}
        for robot, (positions, reports) in sorted(self._robots.items()):
            reported = bisect_right(positions, product)
            if reported:
                latest[robot] = reports[reported - 1]
        return latest


def decision_text(decision: system_pb2.Decision) -> str:
    """A decision in words: its behaviour, its step and the item it targets."""
    text = f"{decision.behavior or '-'}: {decision.step or '-'}"
    return text + (f" ({decision.target_item})" if decision.target_item else "")


# -- usable values -------------------------------------------------------------------------

def pose_ok(pose: Pose) -> bool:
    """True when ``pose`` can be drawn: a finite place within reach and a finite heading."""
    return usable_position(pose) is not None


def usable_position(pose: Pose) -> Optional[Point3]:
    """Where ``pose`` is, if it can be drawn (``pose_ok``), else None."""
    p, q = pose.position, pose.orientation
    return _columns.usable_position(p.x, p.y, p.z, q.w, q.x, q.y, q.z)


def length_ok(length: float) -> bool:
    """True when ``length`` (metres) can be drawn: positive and within reach."""
    return 0.0 < length <= FAR


def links_ok(links: Sequence[float]) -> bool:
    """True when an arm's link lengths can be drawn: at least one, each ``length_ok``, all within reach."""
    return bool(links) and all(length_ok(v) for v in links) and sum(links) <= FAR


def size_ok(size: geometry_pb2.Vector3) -> bool:
    """True when an item's size can be drawn: each side ``length_ok``."""
    return length_ok(size.x) and length_ok(size.y) and length_ok(size.z)


def field_of_view_ok(degrees: float) -> bool:
    """True when a camera's field of view can be drawn: between 0 and 360 degrees."""
    return 0.0 < degrees < 360.0


def joints_ok(joints: Sequence[float]) -> bool:
    """True when joint values can be drawn: all numbers within reach (none is fine)."""
    return _columns.joints_ok(joints)


def bounded(value: float) -> float:
    """``value`` brought within reach, 0 for no number: where a 3D drawing puts a damage marker."""
    return 0.0 if math.isnan(value) else min(max(value, -FAR), FAR)


# -- shapes --------------------------------------------------------------------------------

def arm_points(x: float, y: float, yaw: float, link_lengths: Sequence[float],
               joints: Sequence[float]) -> Tuple[List[Point], float]:
    """Joint positions of a planar arm, base first and effector last, and the effector heading.

    Missing joint angles count as zero and surplus ones are ignored, so a robot
    whose state has not arrived yet still has a drawable shape.
    """
    points, heading = forward_kinematics(Mount(x, y, 0.0, yaw=yaw), link_lengths, joints)
    return [(px, py) for px, py, _ in points], heading


def links_moved(link_lengths: Sequence[float], before: Sequence[float], after: Sequence[float]) -> float:
    """At most how far any point of a planar arm's links moved when its joints went from ``before``
    to ``after`` (as many of each): turning joint j by d moves nothing by more than d times the
    length of the links beyond it. Cheap, with no trigonometry, so that the exact distance between
    arms (``links_gap``) is needed only once they may have come close."""
    return _columns.links_moved(link_lengths, before, after)


def held_height(model: project_pb2.RobotModel, size: geometry_pb2.Vector3, joints: Sequence[float] = ()) -> float:
    """The centre height of an item of ``size`` held by the arm ``model`` with ``joints``: hanging
    from the effector, its top against the links' underside."""
    mount = mount_of(model)
    effector = forward_kinematics(mount, model.link_lengths, joints).points[-1]
    return effector[2] - mount.link_width / 2.0 - size.z / 2.0


def effector_of(x: float, y: float, yaw: float, link_lengths: Sequence[float],
                joints: Sequence[float]) -> Tuple[float, float, float]:
    """Effector ``(x, y, heading)`` of an arm standing on a level mount at ``(x, y)`` facing ``yaw``
    (``forward_kinematics`` of such a mount)."""
    points, heading = arm_points(x, y, yaw, link_lengths, joints)
    ex, ey = points[-1]
    return ex, ey, heading


@dataclass(frozen=True)
class Shape:
    """What every shape has: its name, what of it is damaged and where to mark that.

    Poses are the messages of the model and state it was made from, not copies: a
    shape is to be drawn before the state changes again.
    """
    name: str
    #: Damaged values, each as "<name> <what>" ("box_1 size").
    problems: Tuple[str, ...] = ()
    #: Places (x, y, z) to mark damage at, as given: a drawing keeps them within its view.
    markers: Tuple[Point3, ...] = ()


@dataclass(frozen=True)
class Robot(Shape):
    """An arm on its mount: its joints from the first to the effector, seen from above (``points``)
    and in space (``points_3d``), drawn unless ``points`` is empty; ``stand`` is the pedestal or
    hanger from the floor or the mount to the first joint (``stand``)."""
    base: Pose = field(default_factory=Pose)
    links: Tuple[float, ...] = ()
    points: Tuple[Point, ...] = ()
    heading: float = 0.0
    points_3d: Tuple[Point3, ...] = ()
    stand: Tuple[Point3, ...] = ()
    width: float = LINK_WIDTH

    @property
    def z(self) -> float:
        """The height of the first joint: of the links' centre lines, for a level mount."""
        return self.points_3d[0][2] if self.points_3d else self.base.position.z + ARM_HEIGHT


@dataclass(frozen=True)
class Item(Shape):
    """A box of ``size`` at ``pose``, drawn if ``drawable``; ``held`` while a robot holds it."""
    pose: Pose = field(default_factory=Pose)
    size: geometry_pb2.Vector3 = field(default_factory=geometry_pb2.Vector3)
    held: bool = False
    drawable: bool = False

    def corners(self) -> List[Point]:
        """The box's corners on the floor, at least ``_THINNEST_ITEM`` apart."""
        yaw = yaw_of(self.pose)
        c, s = math.cos(yaw), math.sin(yaw)
        hx, hy = max(self.size.x, _THINNEST_ITEM) / 2.0, max(self.size.y, _THINNEST_ITEM) / 2.0
        x, y = self.pose.position.x, self.pose.position.y
        return [(x + c * dx - s * dy, y + s * dx + c * dy) for dx, dy in ((hx, hy), (-hx, hy), (-hx, -hy), (hx, -hy))]


@dataclass(frozen=True)
class Camera(Shape):
    """A camera at ``pose`` looking along its heading, its field of view drawn if ``drawable``."""
    pose: Pose = field(default_factory=Pose)
    field_of_view_deg: float = 0.0
    drawable: bool = False
    #: Metres: how deep its field of view is drawn (``view_range``).
    reach: float = 0.0

    @property
    def yaw(self) -> float:
        return yaw_of(self.pose)

    @property
    def half_angle(self) -> float:
        """Half the drawn field of view, radians."""
        return math.radians(min(self.field_of_view_deg, _WIDEST_VIEW_DEG)) / 2.0

    def wedge(self, reach: float, world: bool = True) -> List[Point]:
        """The field of view as a triangle ``reach`` metres deep: the camera, then the ends of
        its edges; in world coordinates, or in the camera's own frame."""
        x, y, turn = (self.pose.position.x, self.pose.position.y, self.yaw) if world else (0.0, 0.0, 0.0)
        half = self.half_angle
        return [(x, y)] + [(x + reach * math.cos(turn + a), y + reach * math.sin(turn + a)) for a in (half, -half)]


def _at(pose: Pose) -> Point3:
    return pose.position.x, pose.position.y, pose.position.z


def robot(name: str, model: project_pb2.RobotModel, state: Optional[system_pb2.RobotState]) -> Robot:
    """The arm ``name`` in its state (its joints; none yet: all zero)."""
    base = model.base_pose
    links = tuple(model.link_lengths)
    joints = list(state.joint_positions.values) if state is not None else []
    if not pose_ok(base):
        return Robot(name, (f"{name} base pose",), (_at(base),), base=base, links=links)
    problems = ([f"{name} joints"] if not joints_ok(joints) else []) + \
        ([f"{name} link lengths"] if not links_ok(links) else [])
    mount = mount_of(model)
    if not (length_ok(mount.arm_height) or mount.arm_height == 0.0):
        problems.append(f"{name} arm height")
    if not length_ok(mount.link_width):
        problems.append(f"{name} link width")
    if problems:
        return Robot(name, tuple(problems), (_at(base),), base=base, links=links)
    arm = forward_kinematics(mount, links, joints)
    return Robot(name, base=base, links=links, points=tuple((x, y) for x, y, _ in arm.points), heading=arm.heading,
                 points_3d=tuple(arm.points), stand=stand(mount, arm.points[0]), width=mount.link_width)


def item(name: str, model: project_pb2.ItemModel, state: Optional[system_pb2.ItemState],
         held: bool = False, held_pose: Optional[Pose] = None, seen: Optional[Pose] = None) -> Item:
    """The item ``name`` where it is now (its centre): at ``held_pose`` while held, if usable, else
    where perception last saw it (``seen``, as ``ItemsSeen`` gives it), else as its state says."""
    problems = _layout_problems(name, model.base_pose, "size", size_ok(model.size))
    markers: List[Point3] = []
    if held_pose is not None and not pose_ok(held_pose):
        problems.append(f"{name} held pose")
        markers.append(_at(held_pose))
        held_pose = None
    pose = held_pose if held_pose is not None else seen if seen is not None else \
        _current(name, model.base_pose, state, problems, markers)
    drawable = pose_ok(pose) and size_ok(model.size)
    if not drawable:
        markers.append(_at(pose))
    return Item(name, tuple(problems), tuple(markers), pose=pose, size=model.size, held=held, drawable=drawable)


def camera(name: str, model: project_pb2.CameraModel, state: Optional[system_pb2.CameraState],
           extent: float = 0.0) -> Camera:
    """The camera ``name`` where it is now, seeing ``view_range`` deep in a cell ``extent`` big."""
    fov = model.field_of_view_deg
    problems = _layout_problems(name, model.base_pose, "field of view", field_of_view_ok(fov))
    if model.HasField("view_range") and not length_ok(model.view_range):
        problems.append(f"{name} view range")
    markers: List[Point3] = []
    pose = _current(name, model.base_pose, state, problems, markers)
    drawable = pose_ok(pose) and field_of_view_ok(fov)
    if not drawable:
        markers.append(_at(pose))
    return Camera(name, tuple(problems), tuple(markers), pose=pose, field_of_view_deg=fov, drawable=drawable,
                  reach=view_range(model, extent))


def _layout_problems(name: str, pose: Pose, what: str, ok: bool) -> List[str]:
    """A layout's damage: the value ``what`` unless ``ok``, and its pose."""
    return ([] if ok else [f"{name} {what}"]) + ([] if pose_ok(pose) else [f"{name} pose"])


def _current(name: str, layout: Pose, state: Optional[Union[system_pb2.CameraState, system_pb2.ItemState]],
             problems: List[str], markers: List[Point3]) -> Pose:
    """The pose ``name`` is in now: its state's if usable, else the layout's (marked if damaged)."""
    if not pose_ok(layout):
        markers.append(_at(layout))
    if state is not None and state.HasField("base_pose"):
        if pose_ok(state.base_pose):
            return state.base_pose
        problems.append(f"{name} pose")
    return layout


def arm_gap(a: Robot, b: Robot) -> float:
    """The least distance between two arms' links, surface to surface (0 or less: they touch);
    infinite when either cannot be drawn."""
    if not a.points or not b.points:
        return math.inf
    return links_gap(a.points_3d, b.points_3d, widths=(a.width, b.width))


def links_gap(a: Sequence[Point3], b: Sequence[Point3], within: float = math.inf,
              widths: Tuple[float, float] = (LINK_WIDTH, LINK_WIDTH)) -> float:
    """The least distance, surface to surface, between the links of two arms whose joints are at
    the points ``a`` and ``b``, each link a capsule as thick as the arm's of ``widths``: exact up
    to ``within``, beyond it perhaps a smaller number still above it (the distance between boxes
    around the arms)."""
    return _columns.links_gap(a, b, within, widths[0], widths[1])


@dataclass(frozen=True)
class Cell:
    """The whole cell: its shapes in name order and the damage found in them."""
    robots: Tuple[Robot, ...]
    cameras: Tuple[Camera, ...]
    items: Tuple[Item, ...]

    @property
    def problems(self) -> List[str]:
        """Every damaged value, sorted, each once."""
        shapes: Tuple[Shape, ...] = self.robots + self.cameras + self.items
        return sorted({p for shape in shapes for p in shape.problems})


def cell(robots: Mapping[str, project_pb2.RobotModel], cameras: Mapping[str, project_pb2.CameraModel],
         items: Mapping[str, project_pb2.ItemModel], state: Optional[system_pb2.WorkspaceState],
         held: Collection[str] = (), held_poses: Optional[Mapping[str, Pose]] = None,
         seen: Optional[Mapping[str, Pose]] = None) -> Cell:
    """The cell of the layout ``robots``, ``cameras``, ``items`` in ``state`` (none: as laid out);
    the items named in ``held`` are held, at ``held_poses`` where given; the others where perception
    saw them (``seen``, as ``Sightings`` gives it) if it did since they were last held."""
    poses, sighted, size = held_poses or {}, seen or {}, extent(robots, cameras, items)
    # In name order: a map's order differs from process to process, and where shapes overlap
    # the order they are drawn in shows.
    return Cell(
        tuple(robot(name, model, state.robots.get(name) if state is not None else None)
              for name, model in sorted(robots.items())),
        tuple(camera(name, model, state.cameras.get(name) if state is not None else None, size)
              for name, model in sorted(cameras.items())),
        tuple(item(name, model, state.items.get(name) if state is not None else None, name in held, poses.get(name),
                   sighted.get(name))
              for name, model in sorted(items.items())))


# -- robots as mounted ---------------------------------------------------------------------

@dataclass(frozen=True)
class Mount:
    """Where and how a robot is fastened: its base position, its orientation (``roll``, ``pitch``,
    ``yaw`` radians, as ``geometry.set_pose`` turns them; hung from a ceiling or gantry: ``roll``
    pi), the height of its arm's plane above it along its up axis and its links' thickness."""
    x: float = 0.0
    y: float = 0.0
    z: float = 0.0
    roll: float = 0.0
    pitch: float = 0.0
    yaw: float = 0.0
    arm_height: float = ARM_HEIGHT
    link_width: float = LINK_WIDTH

    def numbers(self) -> Tuple[float, float, float, float, float, float, float, float]:
        """Its values in the order above, as the native geometry takes a mount."""
        return self.x, self.y, self.z, self.roll, self.pitch, self.yaw, self.arm_height, self.link_width


def mount_of(model: project_pb2.RobotModel) -> Mount:
    """The mount of the robot ``model`` (its sizes today's where its layout leaves them out)."""
    p, base = model.base_pose.position, model.base_pose
    roll, pitch = roll_pitch_of(base)
    return Mount(p.x, p.y, p.z, roll, pitch, yaw_of(base),
                 model.arm_height if model.HasField("arm_height") else ARM_HEIGHT,
                 model.link_width if model.HasField("link_width") else LINK_WIDTH)


class Kinematics(NamedTuple):
    """An arm in space, from ``forward_kinematics``."""
    #: The first joint (where the links start, ``arm_height`` above the mount) to the effector.
    points: List[Point3]
    #: The effector's heading (``EFFECTOR_AXES``' third).
    heading: float


def forward_kinematics(mount: Mount, link_lengths: Sequence[float], joints: Sequence[float]) -> Kinematics:
    """Where an arm on ``mount`` with ``joints`` (radians) has its joints and effector, in space.

    The arm is planar: its links, ``link_lengths`` metres each from the first, turn about the
    mount's up axis, in the plane ``arm_height`` above the mount along that axis; at all joints
    zero they point along the mount's x axis (``yaw`` for a level mount). Missing joint angles
    count as zero and surplus ones are ignored, so a robot whose state has not arrived yet still
    has a shape.

    The effector is the end of the last link. Its positions, as the controller reports them and
    ``EFFECTOR_AXES`` names them, are its ``x`` and ``y`` in the floor plane (metres) and its
    heading (radians, counter-clockwise seen from above, not wrapped): for a mount standing level
    ``yaw`` plus the joints' sum, hung level (``roll`` pi) ``yaw`` less the sum, tilted the
    direction of the last link's shadow on the floor. An item held hangs from the effector, its
    top against the links' underside (``held_height``); an item's pose is its centre.
    """
    points, heading = _columns.forward_kinematics(mount.numbers(), link_lengths, joints)
    return Kinematics(points, heading)


def stand(mount: Mount, first: Point3) -> Tuple[Point3, ...]:
    """What holds an arm on ``mount`` up, as a line from its foot to its first joint ``first``: from
    the floor through the mount for one standing on a raised mount (a pedestal), from the mount for
    one standing on the floor or hung from above (a hanger)."""
    return tuple(_columns.stand(mount.numbers(), first))


# -- how deep cameras see --------------------------------------------------------------------

#: Metres a field of view is drawn when neither the camera nor the cell tells how deep.
_VIEW_RANGE = 1.0


def view_range(model: project_pb2.CameraModel, extent: float) -> float:
    """How deep a camera's field of view is drawn, in metres: its declared ``view_range``; else down
    to the floor from its height, at most ``extent`` (the cell's size)."""
    if model.HasField("view_range") and length_ok(model.view_range):
        return model.view_range
    return min((v for v in (model.base_pose.position.z, extent) if length_ok(v)), default=_VIEW_RANGE)


def extent(robots: Mapping[str, project_pb2.RobotModel], cameras: Mapping[str, project_pb2.CameraModel],
           items: Mapping[str, project_pb2.ItemModel]) -> float:
    """The cell's size: the longer side of the floor area its robots reach and its cameras and items
    stand on, in metres (0 when nothing can be placed)."""
    reaches = [(robot.base_pose, sum(robot.link_lengths) if links_ok(robot.link_lengths) else 0.0)
               for robot in robots.values()]
    reaches += [(camera.base_pose, 0.0) for camera in cameras.values()]
    reaches += [(item.base_pose, 0.0) for item in items.values()]
    xs: List[float] = []
    ys: List[float] = []
    for pose, reach in reaches:
        if pose_ok(pose):
            xs += (pose.position.x - reach, pose.position.x + reach)
            ys += (pose.position.y - reach, pose.position.y + reach)
    return max(max(xs) - min(xs), max(ys) - min(ys)) if xs else 0.0
