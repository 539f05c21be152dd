"""An offscreen top-down view of a work cell, drawn with Pillow (no display needed)."""

import math
import struct
import zlib
from typing import Any, Dict, List, Optional, Set, Tuple

import numpy as np
from isal import isal_zlib
from PIL import Image, ImageDraw, ImageFont

from .geometry import arm_points, yaw_of

Color = Tuple[int, int, int]

_FLOOR: Color = (238, 238, 232)
_GRID_MINOR: Color = (224, 224, 217)
_GRID_MAJOR: Color = (200, 200, 192)
_AXIS: Color = (170, 170, 160)
_TEXT: Color = (40, 40, 40)
_ROBOT_BASE: Color = (60, 60, 70)
_ROBOT_LINK: Color = (52, 101, 164)
_ROBOT_JOINT: Color = (30, 50, 80)
_CAMERA: Color = (92, 53, 102)
_HELD: Color = (230, 80, 0)
_STATUS_BG: Color = (50, 50, 56)
_STATUS_TEXT: Color = (235, 235, 235)
_STATUS_HEIGHT = 16
_GRID_STEPS = (0.01, 0.02, 0.05, 0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0)


class WorkspaceViewer:
    """Draws a project's work cell from above into an image; ``screenshot`` saves it as PNG.

    ``project`` is anything with ``workspace()`` and ``system()`` methods, read
    at every ``render()``. The view fits the cell unless ``scale`` (pixels per
    metre) is given; the floor, grid and robot bases are drawn once per layout
    and only the moving parts are drawn per frame.
    """

    def __init__(self, project: Any, width: int = 640, height: int = 480,
                 scale: Optional[float] = None, camera_range: float = 0.6) -> None:
        if width < 32 or height < 32 + _STATUS_HEIGHT:
            raise ValueError("the view must be at least 32 pixels wide and tall")
        if scale is not None and not scale > 0.0:
            raise ValueError("scale must be positive")
        self._project = project
        self._width = int(width)
        self._height = int(height)
        self._fixed_scale = scale
        self._camera_range = camera_range    # metres of the field-of-view wedge
        self._font = _small_font()
        self._background: Optional[Image.Image] = None
        self._revision: Optional[int] = None     # layout revision the background shows
        self._frame: Optional[Image.Image] = None
        # Controller reports alternate between robots, so what each robot holds
        # is remembered across frames rather than read from the latest report only.
        self._holding: Dict[str, str] = {}
        self._status_text = ""
        self._status_image: Optional[Image.Image] = None
        # World-to-pixel mapping: u = _u0 + _scale * x, v = _v0 - _scale * y.
        self._scale = 1.0
        self._u0 = 0.0
        self._v0 = 0.0

    def size(self) -> Tuple[int, int]:
        """Image size in pixels, (width, height)."""
        return self._width, self._height

    def image(self) -> Optional[Image.Image]:
        """The last rendered frame (None before the first ``render``)."""
        return self._frame

    def render(self) -> None:
        """Draw the project's current state into a new frame."""
        workspace = self._project.workspace()
        system = self._project.system()
        system_state = system.state() if system is not None else None

        revision = getattr(workspace, "_revision", None)
        if self._background is None or revision != self._revision:
            self._background = self._drawBackground(workspace)
            self._revision = revision
        frame = self._background.copy()
        draw = ImageDraw.Draw(frame, "RGBA")

        held_pose: Dict[str, Any] = {}
        if system_state is None:
            self._holding.clear()
        elif system_state.HasField("controller"):
            controller = system_state.controller
            if controller.robot:
                self._holding[controller.robot] = controller.grasped_item
            if controller.grasped_item and controller.HasField("grasped_item_pose"):
                held_pose[controller.grasped_item] = controller.grasped_item_pose
        if workspace is not None:
            state = workspace.state()
            self._drawCameras(draw, workspace, state)
            self._drawItems(draw, workspace, state, set(self._holding.values()), held_pose)
            self._drawRobots(draw, workspace, state)
        frame.paste(self._statusBar(system_state), (0, self._height - _STATUS_HEIGHT))
        self._frame = frame

    def screenshot(self, filename: str) -> str:
        """Save the current frame as a PNG at ``filename`` (rendering one first if needed)."""
        if self._frame is None:
            self.render()
        assert self._frame is not None
        # Movies are made from many of these: see _png for why not Pillow's PNG.
        with open(filename, "wb") as f:
            f.write(_png(self._frame))
        return filename

    # -- mapping -------------------------------------------------------------

    def _px(self, x: float, y: float) -> Tuple[float, float]:
        return self._u0 + self._scale * x, self._v0 - self._scale * y

    def _fit(self, workspace: Any) -> None:
        xs: List[float] = []
        ys: List[float] = []

        def include(x: float, y: float, r: float) -> None:
            xs.extend((x - r, x + r))
            ys.extend((y - r, y + r))

        if workspace is not None:
            for robot in workspace.robots().values():
                p = robot.base_pose.position
                include(p.x, p.y, sum(robot.link_lengths) + 0.05)
            for camera in workspace.cameras().values():
                p = camera.base_pose.position
                include(p.x, p.y, 0.1)
            for item in workspace.items().values():
                p = item.base_pose.position
                include(p.x, p.y, max(item.size.x, item.size.y))
        if not xs:
            include(0.0, 0.0, 1.0)
        x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
        usable_h = self._height - _STATUS_HEIGHT
        if self._fixed_scale is not None:
            self._scale = self._fixed_scale
        else:
            self._scale = 0.92 * min(self._width / max(x1 - x0, 1e-3), usable_h / max(y1 - y0, 1e-3))
        self._u0 = self._width / 2.0 - self._scale * (x0 + x1) / 2.0
        self._v0 = usable_h / 2.0 + self._scale * (y0 + y1) / 2.0

    # -- static background ---------------------------------------------------

    def _drawBackground(self, workspace: Any) -> Image.Image:
        self._fit(workspace)
        image = Image.new("RGB", (self._width, self._height), _FLOOR)
        draw = ImageDraw.Draw(image)
        step = next((s for s in _GRID_STEPS if s * self._scale >= 12.0), _GRID_STEPS[-1])
        major = step * 5.0
        # World range covered by the image, to place grid lines at multiples of the step.
        wx0, wy1 = (-self._u0) / self._scale, self._v0 / self._scale
        wx1, wy0 = (self._width - self._u0) / self._scale, (self._v0 - self._height) / self._scale
        for i in range(math.floor(wx0 / step), math.ceil(wx1 / step) + 1):
            u = self._px(i * step, 0.0)[0]
            color = _AXIS if i == 0 else _GRID_MAJOR if i % 5 == 0 else _GRID_MINOR
            draw.line([(u, 0), (u, self._height)], fill=color)
        for j in range(math.floor(wy0 / step), math.ceil(wy1 / step) + 1):
            v = self._px(0.0, j * step)[1]
            color = _AXIS if j == 0 else _GRID_MAJOR if j % 5 == 0 else _GRID_MINOR
            draw.line([(0, v), (self._width, v)], fill=color)
        # Scale bar, one major grid spacing long.
        bar = major * self._scale
        if bar < self._width / 2:
            y = self._height - _STATUS_HEIGHT - 8
            draw.line([(8, y), (8 + bar, y)], fill=_TEXT, width=2)
            draw.text((12 + bar, y - 6), f"{major:g} m", fill=_TEXT, font=self._font)
        if workspace is not None:
            for name, robot in sorted(workspace.robots().items()):
                p = robot.base_pose.position
                u, v = self._px(p.x, p.y)
                r = max(4.0, 0.06 * self._scale)
                draw.rectangle([u - r, v - r, u + r, v + r], fill=_ROBOT_BASE)
                draw.text((u + r + 3, v + r), name, fill=_TEXT, font=self._font)
            for name, camera in sorted(workspace.cameras().items()):
                p = camera.base_pose.position
                u, v = self._px(p.x, p.y)
                draw.text((u + 7, v + 5), name, fill=_CAMERA, font=self._font)
        return image

    # -- moving parts ----------------------------------------------------------

    def _drawCameras(self, draw: ImageDraw.ImageDraw, workspace: Any, state: Any) -> None:
        cameras = state.cameras if state is not None else {}
        reach = self._camera_range * self._scale
        for name, camera in workspace.cameras().items():
            current = cameras.get(name)
            pose = current.base_pose if current is not None and current.HasField("base_pose") \
                else camera.base_pose
            u, v = self._px(pose.position.x, pose.position.y)
            yaw = yaw_of(pose)
            half = math.radians(min(camera.field_of_view_deg, 359.0)) / 2.0
            # Pillow measures angles clockwise in image space, hence the sign flip.
            start, end = math.degrees(-yaw - half), math.degrees(-yaw + half)
            draw.pieslice([u - reach, v - reach, u + reach, v + reach], start, end,
                          fill=_CAMERA + (40,), outline=_CAMERA + (120,))
            draw.regular_polygon((u, v, 6), 3, rotation=math.degrees(yaw) - 90.0, fill=_CAMERA)

    def _drawItems(self, draw: ImageDraw.ImageDraw, workspace: Any, state: Any,
                   held: Set[str], held_pose: Dict[str, Any]) -> None:
        items = state.items if state is not None else {}
        for name, item in workspace.items().items():
            pose = held_pose.get(name)
            if pose is None:
                current = items.get(name)
                pose = current.base_pose if current is not None and current.HasField("base_pose") \
                    else item.base_pose
            corners = self._box(pose, item.size.x, item.size.y)
            if name in held:
                draw.polygon(corners, fill=_HELD, outline=(120, 40, 0))
                u, v = self._px(pose.position.x, pose.position.y)
                r = 0.5 * math.hypot(item.size.x, item.size.y) * self._scale + 4
                draw.ellipse([u - r, v - r, u + r, v + r], outline=_HELD, width=2)
            else:
                draw.polygon(corners, fill=_item_color(name), outline=(90, 70, 40))

    def _drawRobots(self, draw: ImageDraw.ImageDraw, workspace: Any, state: Any) -> None:
        robots = state.robots if state is not None else {}
        width = max(3, int(0.04 * self._scale))
        r = width * 0.7
        for name, robot in workspace.robots().items():
            current = robots.get(name)
            joints = current.joint_positions.values if current is not None else ()
            base = robot.base_pose
            points, heading = arm_points(base.position.x, base.position.y, yaw_of(base),
                                         robot.link_lengths, joints)
            pixels = [self._px(x, y) for x, y in points]
            draw.line(pixels, fill=_ROBOT_LINK, width=width, joint="curve")
            for u, v in pixels[:-1]:
                draw.ellipse([u - r, v - r, u + r, v + r], fill=_ROBOT_JOINT)
            # A two-finger gripper across the effector heading.
            u, v = pixels[-1]
            g = max(4.0, 0.03 * self._scale)
            du, dv = -math.sin(heading) * g, -math.cos(heading) * g
            draw.line([(u + du, v + dv), (u - du, v - dv)], fill=_ROBOT_JOINT, width=max(2, width // 2))

    def _box(self, pose: Any, sx: float, sy: float) -> List[Tuple[float, float]]:
        yaw = yaw_of(pose)
        c, s = math.cos(yaw), math.sin(yaw)
        hx, hy = max(sx, 0.01) / 2.0, max(sy, 0.01) / 2.0
        x, y = pose.position.x, pose.position.y
        return [self._px(x + c * dx - s * dy, y + s * dx + c * dy)
                for dx, dy in ((hx, hy), (-hx, hy), (-hx, -hy), (hx, -hy))]

    def _statusBar(self, state: Any) -> Image.Image:
        text = _status(state, self._holding)
        if text != self._status_text or self._status_image is None:
            # The text changes only with the step, so it is drawn once per change.
            bar = Image.new("RGB", (self._width, _STATUS_HEIGHT), _STATUS_BG)
            ImageDraw.Draw(bar).text((6, 2), text, fill=_STATUS_TEXT, font=self._font)
            self._status_text, self._status_image = text, bar
        return self._status_image


def _status(state: Any, holding: Dict[str, str]) -> str:
    if state is None:
        return "no system state"
    parts = []
    if state.HasField("decision"):
        d = state.decision
        text = f"{d.behavior or '-'}: {d.step or '-'}"
        parts.append(text + (f" ({d.target_item})" if d.target_item else ""))
    if state.HasField("controller"):
        parts.append(f"controller {state.controller.robot or '-'}")
    held = [f"{robot} {item}" for robot, item in sorted(holding.items()) if item]
    if held:
        parts.append("holding " + ", ".join(held))
    return " | ".join(parts) if parts else "waiting for the system"


def _item_color(name: str) -> Color:
    # Stable across runs (unlike hash()), so the same item keeps its colour.
    h = zlib.crc32(name.encode())
    return 150 + h % 80, 120 + (h >> 8) % 70, 60 + (h >> 16) % 60


def _small_font() -> Any:
    # The bitmap font is much faster to draw than a TrueType one.
    loader = getattr(ImageFont, "load_default_imagefont", ImageFont.load_default)
    return loader()


def _png(image: Image.Image) -> bytes:
    """``image`` as an 8-bit RGB PNG, its rows unfiltered and deflated by ISA-L at
    its fastest level.

    Pillow tries every filter on every row and deflates with zlib. The viewer's
    flat drawings compress well unfiltered, ISA-L deflates several times faster
    than zlib's fastest level, and unfiltered rows also decode fastest.
    """
    pixels = np.asarray(image if image.mode == "RGB" else image.convert("RGB"))
    height, width = pixels.shape[:2]
    rows = np.zeros((height, 1 + 3 * width), np.uint8)  # each row: filter type 0 (None), then its pixels
    rows[:, 1:] = pixels.reshape(height, 3 * width)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8 bits per sample, RGB, not interlaced
    return b"".join((b"\x89PNG\r\n\x1a\n", _png_chunk(b"IHDR", header),
                     _png_chunk(b"IDAT", isal_zlib.compress(rows, 0)), _png_chunk(b"IEND", b"")))


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
