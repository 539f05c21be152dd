"""The work cell: the robots, cameras and items standing in it, and their current state."""

import itertools
import math
from typing import Mapping, Optional, Sequence

from dravik.api import geometry_pb2, project_pb2, system_pb2

from .geometry import set_pose, yaw_of
from .scene import ARM_HEIGHT, LINK_WIDTH, Mount, forward_kinematics, mount_of

# Layout revisions and runs are numbered across all workspaces, so a view can
# tell a changed or replaced layout, or a new run, from the one it last drew.
_revisions = itertools.count(1)
_runs = itertools.count(1)


class Workspace:
    """A work cell: its fixed layout (the model) and the state it is currently in.

    The layout holds each robot's base pose and link lengths, each camera's pose
    and field of view, and each item's starting pose and size. The state holds
    what moves: joint angles, camera poses and item poses. Names are unique
    across robots, cameras and items.
    """

    def __init__(self) -> None:
        # The model's own ``state`` field stays empty; the current state lives
        # apart so that playback can hand over a new one without copying.
        self._model = project_pb2.WorkspaceModel()
        self._state = system_pb2.WorkspaceState()
        self._revision = next(_revisions)
        self._run = next(_runs)

    # -- building a cell ----------------------------------------------------

    def addRobot(self, name: str, x: float, y: float, link_lengths: Sequence[float],
                 yaw: float = 0.0, joint_positions: Optional[Sequence[float]] = None, *, z: float = 0.0,
                 roll: float = 0.0, pitch: float = 0.0, arm_height: float = ARM_HEIGHT,
                 link_width: float = LINK_WIDTH) -> None:
        """Add a planar arm mounted at ``(x, y, z)`` facing ``yaw`` radians.

        ``link_lengths`` are metres, base first; ``joint_positions`` (radians,
        one per link, zeros by default) is its starting state. The mount stands
        on the floor by default; ``z`` raises it (a pedestal, a gantry) and
        ``roll``/``pitch`` tilt it (hung from a ceiling or gantry: ``roll=math.pi``).
        The links move in the plane ``arm_height`` metres from the mount along
        its up axis and are ``link_width`` metres thick
        (``mirvane.scene.forward_kinematics``).
        """
        self._checkNewName(name)
        lengths = [float(v) for v in link_lengths]
        if not lengths or any(not v > 0.0 for v in lengths):
            raise ValueError(f"robot {name!r}: link lengths must be positive and not empty")
        joints = [0.0] * len(lengths) if joint_positions is None else [float(v) for v in joint_positions]
        if len(joints) != len(lengths):
            raise ValueError(f"robot {name!r}: {len(joints)} joint positions for {len(lengths)} links")
        mount = Mount(x, y, float(z), float(roll), float(pitch), yaw, float(arm_height), float(link_width))
        if not (mount.arm_height >= 0.0 and mount.link_width > 0.0) or not all(
                math.isfinite(v) for v in (mount.z, mount.roll, mount.pitch, mount.arm_height, mount.link_width)):
            raise ValueError(f"robot {name!r}: give a finite z, roll and pitch, arm_height of 0 or more "
                             "and a positive link_width")
        robot = self._model.robots[name]
        set_pose(robot.base_pose, x, y, mount.z, yaw, roll=mount.roll, pitch=mount.pitch)
        robot.link_lengths.extend(lengths)
        # Only sizes not the default are written, so that older project files stay as they were.
        if mount.arm_height != ARM_HEIGHT:
            robot.arm_height = mount.arm_height
        if mount.link_width != LINK_WIDTH:
            robot.link_width = mount.link_width
        state = self._state.robots[name]
        state.joint_positions.values.extend(joints)
        arm = forward_kinematics(mount, lengths, joints)
        state.effector_positions.values.extend((arm.points[-1][0], arm.points[-1][1], arm.heading))
        self._revision = next(_revisions)

    def addCamera(self, name: str, x: float, y: float, yaw: float = 0.0,
                  field_of_view_deg: float = 60.0, z: float = 1.5, *, view_range: Optional[float] = None) -> None:
        """Add a camera at ``(x, y, z)`` looking along ``yaw`` radians.

        ``view_range`` is how far it sees, in metres: how deep its field of view is drawn. Left
        out, the drawings take a depth from the cell (``scene.view_range``): down to the floor
        from the camera's height, at most the cell's size.
        """
        self._checkNewName(name)
        if not 0.0 < field_of_view_deg < 360.0:
            raise ValueError(f"camera {name!r}: field of view must be within (0, 360) degrees")
        if view_range is not None and not 0.0 < view_range < math.inf:
            raise ValueError(f"camera {name!r}: view range must be a positive number of metres")
        camera = self._model.cameras[name]
        set_pose(camera.base_pose, x, y, z, yaw)
        camera.field_of_view_deg = field_of_view_deg
        if view_range is not None:     # written only when given: older project files save as they were
            camera.view_range = view_range
        self._state.cameras[name].base_pose.CopyFrom(camera.base_pose)
        self._revision = next(_revisions)

    def addItem(self, name: str, x: float, y: float, size: Sequence[float] = (0.06, 0.06, 0.06),
                yaw: float = 0.0) -> None:
        """Add a box of ``size`` (x, y, z metres) resting on the floor at ``(x, y)``, turned ``yaw`` radians.

        An item's pose, here and in every state and product, is where its centre is: a box
        resting on the floor has its pose ``size[2] / 2`` above it.
        """
        self._checkNewName(name)
        sx, sy, sz = (float(v) for v in size)
        if min(sx, sy, sz) <= 0.0:
            raise ValueError(f"item {name!r}: size must be positive")
        item = self._model.items[name]
        set_pose(item.base_pose, x, y, sz / 2.0, yaw)
        item.size.x, item.size.y, item.size.z = sx, sy, sz
        self._state.items[name].base_pose.CopyFrom(item.base_pose)
        self._revision = next(_revisions)

    def remove(self, name: str) -> None:
        """Remove the robot, camera or item called ``name``."""
        for kind in ("robots", "cameras", "items"):
            if name in getattr(self._model, kind):
                del getattr(self._model, kind)[name]
                states = getattr(self._state, kind)
                if name in states:
                    del states[name]
                self._revision = next(_revisions)
                return
        raise KeyError(name)

    # -- reading -------------------------------------------------------------

    def robots(self) -> Mapping[str, project_pb2.RobotModel]:
        """The robots by name (a live view: read, don't modify)."""
        return self._model.robots

    def cameras(self) -> Mapping[str, project_pb2.CameraModel]:
        """The cameras by name (a live view: read, don't modify)."""
        return self._model.cameras

    def items(self) -> Mapping[str, project_pb2.ItemModel]:
        """The items by name (a live view: read, don't modify)."""
        return self._model.items

    def state(self) -> system_pb2.WorkspaceState:
        """The current state: joint angles, camera poses and item poses."""
        return self._state

    def run(self) -> int:
        """The run the current state belongs to: a number no other run has, in any workspace.

        A run starts where playback places its starting state and where a snapshot
        is restored; the states of its cycles keep the number. A view forgets what
        the run before showed (what robots held) when the number changes.
        """
        return self._run

    def __repr__(self) -> str:
        m = self._model
        return f"<Workspace robots={len(m.robots)} cameras={len(m.cameras)} items={len(m.items)}>"

    def __str__(self) -> str:
        m, s = self._model, self._state
        if not (m.robots or m.cameras or m.items):
            return "  (empty)\n"
        lines = []
        if m.robots:
            lines.append("  Robots")
            for name in sorted(m.robots):
                robot = m.robots[name]
                state = s.robots.get(name)
                joints = list(state.joint_positions.values) if state is not None else []
                lines.append(f"    {name}: base {_place(robot.base_pose)}{_mounted(robot)}, "
                             f"links {_numbers(robot.link_lengths)} m, joints {_numbers(joints)} rad")
        if m.cameras:
            lines.append("  Cameras")
            for name in sorted(m.cameras):
                camera = m.cameras[name]
                seen = f", sees {camera.view_range:g} m" if camera.HasField("view_range") else ""
                lines.append(f"    {name}: at {_place(camera.base_pose)}, "
                             f"field of view {camera.field_of_view_deg:g} deg{seen}")
        if m.items:
            lines.append("  Items")
            for name in sorted(m.items):
                item = m.items[name]
                item_state = s.items.get(name)
                pose = item_state.base_pose if item_state is not None else item.base_pose
                size = item.size
                lines.append(f"    {name}: at {_place(pose)}, size {size.x:g} x {size.y:g} x {size.z:g} m")
        return "\n".join(lines) + "\n"

    def __format__(self, spec: str) -> str:
        if spec:
            raise TypeError(f"unsupported format string passed to Workspace.__format__: {spec!r}")
        return str(self)

    # -- package-internal: snapshots and playback ------------------------------

    def _getSnapshot(self) -> project_pb2.WorkspaceModel:
        """A new message describing the layout and the current state."""
        snapshot = project_pb2.WorkspaceModel()
        snapshot.CopyFrom(self._model)
        snapshot.state.CopyFrom(self._state)
        return snapshot

    def _setSnapshot(self, snapshot: project_pb2.WorkspaceModel) -> None:
        """Become what ``snapshot`` describes; it is copied, not kept."""
        if not isinstance(snapshot, project_pb2.WorkspaceModel):
            raise TypeError(f"expected a WorkspaceModel, got {type(snapshot).__name__}")
        state = system_pb2.WorkspaceState()
        state.CopyFrom(snapshot.state)
        self._model.CopyFrom(snapshot)
        self._model.ClearField("state")
        self._state = state
        self._revision = next(_revisions)
        self._run = next(_runs)

    def _setState(self, cycle: Optional[system_pb2.WorkspaceState] = None, /, *,
                  state: Optional[system_pb2.WorkspaceState] = None) -> None:
        """Take a state as the current one; kept by reference.

        Playback places a run's starting state as keyword ``state``, which starts
        a new run (see ``run``), and hands each cycle's state positionally.
        """
        if cycle is not None and state is not None:
            raise TypeError("_setState takes one state, by position or as keyword state")
        given = state if cycle is None else cycle
        if not isinstance(given, system_pb2.WorkspaceState):
            raise TypeError(f"expected a WorkspaceState, got {type(given).__name__}")
        if cycle is None:
            self._run = next(_runs)
        self._state = given

    def _checkNewName(self, name: str) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError("a name must be a non-empty string")
        m = self._model
        if name in m.robots or name in m.cameras or name in m.items:
            raise ValueError(f"name {name!r} is already used in this workspace")


def _place(pose: geometry_pb2.Pose) -> str:
    p = pose.position
    # Adding 0.0 turns -0.0 into 0.0, which reads better.
    return f"({p.x + 0.0:.3f}, {p.y + 0.0:.3f}) yaw {math.degrees(yaw_of(pose)) + 0.0:.1f} deg"


def _numbers(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v + 0.0:.3f}" for v in values) + "]"


def _mounted(robot: project_pb2.RobotModel) -> str:
    """How ``robot`` is mounted, where not as an arm on the floor is by default."""
    mount = mount_of(robot)
    parts = [f"z {mount.z + 0.0:.3f} m"] if mount.z else []
    # What rounds to no angle is none: an angle read back from a quaternion is seldom exactly 0.
    parts += [f"{what} {degrees + 0.0:.1f} deg" for what, degrees in (
        ("roll", math.degrees(mount.roll)), ("pitch", math.degrees(mount.pitch))) if round(degrees, 1)]
    parts += [f"{what} {value:.3f} m" for what, value, usual in (
        ("arm height", mount.arm_height, ARM_HEIGHT), ("link width", mount.link_width, LINK_WIDTH)) if value != usual]
    return "".join(", " + part for part in parts)
