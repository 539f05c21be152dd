"""An offscreen top-down view of a work cell, drawn with Pillow (no display needed)."""

import math
import struct
import zlib
from typing import Dict, List, Mapping, Optional, Protocol, Sequence, Tuple, Union

import numpy as np
from isal import isal_zlib
from PIL import Image, ImageDraw, ImageFont

from dravik.api import geometry_pb2, project_pb2, system_pb2

from . import scene
from .scene import FAR, length_ok, links_ok, pose_ok, size_ok

Color = Tuple[int, int, int]
Pixel = Tuple[float, float]
Pose = geometry_pb2.Pose
Font = Union[ImageFont.ImageFont, ImageFont.FreeTypeFont]


class ViewedWorkspace(Protocol):
    """What the viewer reads of a workspace: its layout, its current state and the run that
    state belongs to (a new number where a new run starts)."""

    def robots(self) -> Mapping[str, project_pb2.RobotModel]: ...
    def cameras(self) -> Mapping[str, project_pb2.CameraModel]: ...
    def items(self) -> Mapping[str, project_pb2.ItemModel]: ...
    def state(self) -> Optional[system_pb2.WorkspaceState]: ...
    def run(self) -> int: ...


class ViewedSystem(Protocol):
    """What the viewer reads of a system: its current state."""

    def state(self) -> Optional[system_pb2.SystemState]: ...


class ViewedProject(Protocol):
    """What the viewer reads of a project, at every ``render()``."""

    def workspace(self) -> Optional[ViewedWorkspace]: ...
    def system(self) -> Optional[ViewedSystem]: ...


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
_BAD: Color = (210, 0, 0)
_STATUS_BG: Color = (50, 50, 56)
_STATUS_BAD_BG: Color = (120, 20, 20)
_STATUS_TEXT: Color = (235, 235, 235)
# The glow under a subject marked, by the severity it is marked with, and its opacity (of 255).
_MARKED: Dict[str, Color] = {"warning": (245, 165, 0), "error": (235, 30, 30)}
_GLOW_OPACITY = 130
_STATUS_HEIGHT = 16
_GRID_STEPS = (0.01, 0.02, 0.05, 0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0)
# Pillow draws circles in time proportional to their radius, so none gets bigger than this.
_MAX_RADIUS = 2048.0


def legend() -> Tuple[Tuple[str, str, Color], ...]:
    """What the picture's colours mean: (meaning, the mark's shape, colour) for a legend beside it.
    Shapes: line, dot, square, ring, wedge, cross, glow."""
    return (("arm", "line", _ROBOT_LINK), ("joint, gripper", "dot", _ROBOT_JOINT),
            ("robot base", "square", _ROBOT_BASE), ("box (a shade each)", "square", _item_color("box_1")),
            ("held box, ringed", "ring", _HELD), ("camera, field of view", "wedge", _CAMERA),
            ("value that cannot be drawn", "cross", _BAD), ("subject of a warning", "glow", _MARKED["warning"]),
            ("subject of an error", "glow", _MARKED["error"]))


class WorkspaceViewer:
    """Draws a project's work cell from above into an image; ``screenshot`` saves it as PNG.

    ``project`` is anything with ``workspace()`` and ``system()`` methods, read
    at every ``render()``. The view fits the cell unless ``scale`` (pixels per
    metre) is given; the floor, grid and robot bases are drawn once per layout
    and only the moving parts are drawn per frame. Whatever values it is given,
    it draws: a value that is not finite or out of all proportion is shown as a
    red marker where its owner stands and named in the status line.

    A picture is a function of what it is told for it alone (the project's state and what ``at``
    and ``mark`` say), never of earlier pictures: playback may reach a product any way. With
    ``captioned``, a caption line (``at``) tops the picture, as in movies.
    """

    def __init__(self, project: ViewedProject, width: int = 640, height: int = 480,
                 scale: Optional[float] = None, camera_range: Optional[float] = None, captioned: bool = False) -> None:
        if width < 32 or height < 32 + _STATUS_HEIGHT * (1 + captioned):
            raise ValueError("the view must be at least 32 pixels wide and tall")
        if scale is not None and not 0.0 < scale < math.inf:
            raise ValueError("scale must be positive and finite")
        if camera_range is not None and not 0.0 <= camera_range <= FAR:
            raise ValueError(f"camera_range must be within [0, {FAR:g}] metres")
        self._project = project
        self._width = int(width)
        self._height = int(height)
        self._fixed_scale = scale
        self._camera_range = camera_range    # metres of every field-of-view wedge; None: each camera's own
        self._font = _small_font()
        self._background: Optional[Image.Image] = None
        self._revision: Optional[int] = None     # layout revision the background shows
        self._frame: Optional[Image.Image] = None
        self._top = _STATUS_HEIGHT if captioned else 0     # the caption line's height
        # Each robot's latest report at the product shown, when told (``at``).
        self._reports: Mapping[str, system_pb2.Controller] = {}
        # Where perception last saw the items not held, at the product shown, when told (``at``).
        self._seen: Mapping[str, Pose] = {}
        self._caption = ""
        self._status_text = ""
        self._status_image: Optional[Image.Image] = None
        self._marked: Dict[str, str] = {}
        # World-to-pixel mapping: u = _u0 + _scale * x, v = _v0 - _scale * y.
        self._scale = 1.0
        self._u0 = 0.0
        self._v0 = 0.0

    def size(self) -> Tuple[int, int]:
        """Image size in pixels, (width, height)."""
        return self._width, self._height

    @property
    def captioned(self) -> bool:
        """Whether a caption line tops the picture."""
        return bool(self._top)

    def image(self) -> Optional[Image.Image]:
        """The last rendered frame (None before the first ``render``)."""
        return self._frame

    def status(self) -> str:
        """The text of the last rendered frame's status line, in full."""
        return self._status_text

    def mark(self, subjects: Mapping[str, str]) -> None:
        """Mark the robots, items and cameras named in ``subjects`` in the frames rendered from now
        on, each by its severity ("warning" or "error"): a glow in that severity's colour under it."""
        self._marked = dict(subjects)

    def at(self, reports: Mapping[str, system_pb2.Controller], caption: str = "",
           seen: Optional[Mapping[str, Pose]] = None) -> None:
        """What the pictures rendered from now on show beyond the project's state: each robot's latest
        controller report at the product shown (``scene.Reports``; the state alone has the last robot's
        only), where perception last saw the items no robot holds (``scene.Sightings``; the state follows
        the controllers only) and, when ``captioned``, the caption line's text."""
        self._reports = dict(reports)
        self._seen = dict(seen or {})
        self._caption = caption

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

        # The state's own report last: it is the latest of all.
        reports = [*self._reports.values()] if system_state is not None else []
        if system_state is not None and system_state.HasField("controller"):
            reports.append(system_state.controller)
        holding = {report.robot: report.grasped_item for report in reports if report.robot}
        held_pose = {report.grasped_item: report.grasped_item_pose for report in reports
                     if report.grasped_item and report.HasField("grasped_item_pose")}
        problems: List[str] = []
        if workspace is not None:
            cell = scene.cell(workspace.robots(), workspace.cameras(), workspace.items(), workspace.state(),
                              set(holding.values()), held_pose, self._seen)
            if self._marked:
                self._drawMarked(frame, cell)
            self._drawCameras(draw, cell.cameras)
            self._drawItems(draw, cell.items)
            self._drawRobots(draw, cell.robots)
            problems = cell.problems
        frame.paste(self._statusBar(system_state, holding, problems), (0, self._height - _STATUS_HEIGHT))
        if self._top:
            frame.paste(_band(self._caption, self._width, _STATUS_BG, self._font), (0, 0))
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

    def _px(self, x: float, y: float) -> Pixel:
        return self._u0 + self._scale * x, self._v0 - self._scale * y

    def _fit(self, workspace: Optional[ViewedWorkspace]) -> None:
        xs: List[float] = []
        ys: List[float] = []

        def include(pose: Pose, r: float) -> None:
            if pose_ok(pose) and length_ok(r):
                p = pose.position
                xs.extend((p.x - r, p.x + r))
                ys.extend((p.y - r, p.y + r))

        if workspace is not None:
            for robot in workspace.robots().values():
                links = list(robot.link_lengths)
                include(robot.base_pose, sum(links) + 0.05 if links_ok(links) else 0.05)
            for camera in workspace.cameras().values():
                include(camera.base_pose, 0.1)
            for item in workspace.items().values():
                size = item.size
                include(item.base_pose, max(size.x, size.y) if size_ok(size) else 0.05)
        if not xs:
            xs, ys = [-1.0, 1.0], [-1.0, 1.0]
        x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
        usable_h = self._height - _STATUS_HEIGHT - self._top
        if self._fixed_scale is not None:
            self._scale = self._fixed_scale
        else:
            self._scale = 0.92 * min(self._width / max(x1 - x0, 1e-3), usable_h / max(y1 - y0, 1e-3))
        self._u0 = self._width / 2.0 - self._scale * (x0 + x1) / 2.0
        self._v0 = self._top + usable_h / 2.0 + self._scale * (y0 + y1) / 2.0

    # -- static background ---------------------------------------------------

    def _drawBackground(self, workspace: Optional[ViewedWorkspace]) -> Image.Image:
        self._fit(workspace)
        image = Image.new("RGB", (self._width, self._height), _FLOOR)
        draw = ImageDraw.Draw(image)
        step = next((s for s in _GRID_STEPS if s * self._scale >= 12.0), None)
        if step is not None:   # else even the widest spacing would paint the floor grey
            self._drawGrid(draw, step)
        if workspace is not None:
            r = min(max(4.0, 0.06 * self._scale), 40.0)
            for name, robot in sorted(workspace.robots().items()):
                if pose_ok(robot.base_pose):
                    p = robot.base_pose.position
                    u, v = self._px(p.x, p.y)
                    draw.rectangle([u - r, v - r, u + r, v + r], fill=_ROBOT_BASE)
                    draw.text((u + r + 3, v + r), _label(name), fill=_TEXT, font=self._font)
            for name, camera in sorted(workspace.cameras().items()):
                if pose_ok(camera.base_pose):
                    p = camera.base_pose.position
                    u, v = self._px(p.x, p.y)
                    draw.text((u + 7, v + 5), _label(name), fill=_CAMERA, font=self._font)
        return image

    def _drawGrid(self, draw: ImageDraw.ImageDraw, step: float) -> None:
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

    # -- moving parts ----------------------------------------------------------

    def _drawCameras(self, draw: ImageDraw.ImageDraw, cameras: Sequence[scene.Camera]) -> None:
        for camera in cameras:
            self._drawMarkers(draw, camera)
            if not camera.drawable:
                continue
            reach = min((camera.reach if self._camera_range is None else self._camera_range) * self._scale,
                        _MAX_RADIUS)
            u, v = self._px(camera.pose.position.x, camera.pose.position.y)
            yaw, half = camera.yaw, camera.half_angle
            # Pillow measures angles clockwise in image space, hence the sign flip.
            start, end = math.degrees(-yaw - half), math.degrees(-yaw + half)
            draw.pieslice([u - reach, v - reach, u + reach, v + reach], start, end,
                          fill=_CAMERA + (40,), outline=_CAMERA + (120,))
            draw.regular_polygon((u, v, 6), 3, rotation=math.degrees(yaw) - 90.0, fill=_CAMERA)

    def _drawItems(self, draw: ImageDraw.ImageDraw, items: Sequence[scene.Item]) -> None:
        for n, item in enumerate(items):
            self._drawMarkers(draw, item)
            if not item.drawable:
                continue
            corners = [self._px(x, y) for x, y in item.corners()]
            if item.held:
                draw.polygon(corners, fill=_HELD, outline=(120, 40, 0))
                u, v = self._px(item.pose.position.x, item.pose.position.y)
                r = min(0.5 * math.hypot(item.size.x, item.size.y) * self._scale + 4, _MAX_RADIUS)
                draw.ellipse([u - r, v - r, u + r, v + r], outline=_HELD, width=2)
            else:
                draw.polygon(corners, fill=_item_color(item.name), outline=(90, 70, 40))
            # Its name, as the events name it: under it, every other box's over it, so that neighbours' names
            # do not run together.
            u, _ = self._px(item.pose.position.x, item.pose.position.y)
            rows = [corner[1] for corner in corners]
            above = n % 2 == 1
            draw.text((u, min(rows) - 2 if above else max(rows) + 2), _label(item.name), fill=_TEXT,
                      font=self._font, anchor="mb" if above else "mt")

    def _drawRobots(self, draw: ImageDraw.ImageDraw, robots: Sequence[scene.Robot]) -> None:
        # Seen from above: the higher arm over the lower, each as thick as its links.
        for robot in sorted(robots, key=lambda robot: max((z for _, _, z in robot.points_3d), default=0.0)):
            self._drawMarkers(draw, robot)
            if not robot.points:
                continue
            width = min(max(3, int(0.04 * self._scale * (robot.width / scene.LINK_WIDTH))), 40)
            r = width * 0.7
            pixels = [self._px(x, y) for x, y in robot.points]
            draw.line(pixels, fill=_ROBOT_LINK, width=width, joint="curve")
            for u, v in pixels[:-1]:
                draw.ellipse([u - r, v - r, u + r, v + r], fill=_ROBOT_JOINT)
            # A two-finger gripper across the effector heading.
            u, v = pixels[-1]
            g = min(max(4.0, 0.03 * self._scale), 30.0)
            du, dv = -math.sin(robot.heading) * g, -math.cos(robot.heading) * g
            draw.line([(u + du, v + dv), (u - du, v - dv)], fill=_ROBOT_JOINT, width=max(2, width // 2))

    def _drawMarked(self, frame: Image.Image, cell: scene.Cell) -> None:
        """A glow under each subject marked (where it is marked as damaged when it cannot be drawn),
        one layer per severity, so that what overlaps is no darker."""
        r = min(max(10.0, 0.06 * self._scale), 60.0)
        glows: Dict[str, Image.Image] = {}
        for shape in (*cell.cameras, *cell.items, *cell.robots):
            severity = self._marked.get(shape.name)
            if severity is None:
                continue
            glow = glows.setdefault(severity, Image.new("L", frame.size, 0))
            draw = ImageDraw.Draw(glow)
            spots = [(x, y, r) for x, y, _ in shape.markers]
            if isinstance(shape, scene.Robot) and shape.points:
                pixels = [self._px(x, y) for x, y in shape.points]
                draw.line(pixels, fill=_GLOW_OPACITY, width=int(2 * r), joint="curve")
                spots += [(x, y, r) for x, y in (shape.points[0], shape.points[-1])]
            elif isinstance(shape, scene.Item) and shape.drawable:
                p = shape.pose.position
                spots.append((p.x, p.y, min(0.5 * math.hypot(shape.size.x, shape.size.y) * self._scale + r / 2,
                                            _MAX_RADIUS)))
            elif isinstance(shape, scene.Camera) and shape.drawable:
                spots.append((shape.pose.position.x, shape.pose.position.y, r))
            for x, y, radius in spots:
                u, v = self._within(x, y, r)
                draw.ellipse([u - radius, v - radius, u + radius, v + radius], fill=_GLOW_OPACITY)
        for severity, glow in glows.items():
            frame.paste(_MARKED.get(severity, _MARKED["error"]), (0, 0, *frame.size), glow)

    def _drawMarkers(self, draw: ImageDraw.ImageDraw, shape: scene.Shape) -> None:
        """A red ring with a cross where something could not be drawn, kept inside the view.

        A place beyond the view is shown at its edge; one that is no number, in the corner.
        """
        r = 7.0
        for x, y, _ in shape.markers:
            u, v = self._within(x, y, r)
            draw.ellipse([u - r, v - r, u + r, v + r], outline=_BAD, width=2)
            draw.line([(u - r, v - r), (u + r, v + r)], fill=_BAD, width=2)
            draw.line([(u - r, v + r), (u + r, v - r)], fill=_BAD, width=2)

    def _within(self, x: float, y: float, r: float) -> Pixel:
        """The pixel of ``(x, y)`` moved inside the view by ``r`` and more: a place beyond the
        view at its edge, one that is no number in the corner."""
        u, v = self._px(x, y)
        u = r + 1 if math.isnan(u) else min(max(u, r + 1), self._width - r - 1)
        top, bottom = self._top + r + 1, self._height - _STATUS_HEIGHT - r - 1
        v = top if math.isnan(v) else min(max(v, top), bottom)
        return u, v

    def _statusBar(self, state: Optional[system_pb2.SystemState], holding: Dict[str, str],
                   problems: List[str]) -> Image.Image:
        text = _status(state, holding)
        if problems:
            # First, so that a narrow view still shows them.
            text = "bad values: " + ", ".join(sorted(set(problems))) + " | " + text
        if text != self._status_text or self._status_image is None:
            # The text changes only with the step, so it is drawn once per change.
            bar = _band(text, self._width, _STATUS_BAD_BG if problems else _STATUS_BG, self._font)
            self._status_text, self._status_image = text, bar
        return self._status_image


def _status(state: Optional[system_pb2.SystemState], holding: Dict[str, str]) -> str:
    if state is None:
        return "no system state"
    parts = []
    if state.HasField("decision"):
        parts.append(scene.decision_text(state.decision))
    if state.HasField("controller"):
        parts.append(f"controller {state.controller.robot or '-'}")
    held = [f"{robot} {item}" for robot, item in sorted(holding.items()) if item]
    if held:
        parts.append("holding " + ", ".join(held))
    return " | ".join(parts) if parts else "waiting for the system"


def caption(text: str, width: int) -> Image.Image:
    """A band ``width`` pixels wide naming what a picture beneath it shows, drawn as the status line is."""
    return _band(text, width, _STATUS_BG, _small_font())


def _band(text: str, width: int, background: Color, font: Font) -> Image.Image:
    """A line of text on a band of ``background``, as the status line is drawn."""
    band = Image.new("RGB", (width, _STATUS_HEIGHT), background)
    ImageDraw.Draw(band).text((6, 2), _label(text), fill=_STATUS_TEXT, font=font)
    return band


def _label(text: str) -> str:
    """``text`` as the bitmap font can draw it: Latin-1 on one line, at most 300 characters."""
    return "".join(c if " " <= c <= "\xff" and c != "\x7f" else "?" for c in text[:300])


def _item_color(name: str) -> Color:
    # Stable across runs (unlike hash()), so the same item keeps its colour.
    h = zlib.crc32(name.encode())
    return 150 + h % 80, 120 + (h >> 8) % 70, 60 + (h >> 16) % 60


def _small_font() -> Font:
    # The bitmap font is much faster to draw than a TrueType one.
    loader = getattr(ImageFont, "load_default_imagefont", ImageFont.load_default)
    font: Font = loader()
    return font


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
