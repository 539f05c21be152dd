"""The native ``Replay``: a recorded run played back live, or into an MP4 movie (a C++ extension module)."""

from typing import Any, Dict, Optional, Protocol, type_check_only

from mirvane.data import Data
from mirvane.project import Project

_MOVIE_TMP_PNG_PATH: str
_MOVIE_EXT: str
__test__: Dict[str, Any]

# What play asks of a viewer (mirvane.viewer.WorkspaceViewer is one).
@type_check_only
class _Viewer(Protocol):
    def render(self) -> object: ...
    def screenshot(self, filename: str) -> object: ...

class Replay:
    """Replays a record of a recording in a project: ``setProject``, ``setData``, ``setViewer``, then ``play``."""

    def __init__(self) -> None: ...
    def setProject(self, project: Project) -> None:
        """The project whose cell the replay shows."""
    def setData(self, data: Data) -> None:
        """The recording to replay."""
    def setViewer(self, viewer: Optional[_Viewer]) -> None:
        """What draws each cycle's state (``mirvane.viewer.WorkspaceViewer`` is one)."""
    def play(self, index: int = -1, speed: float = 1.0, moviename: Optional[str] = None, fps: int = 10) -> None:
        """Replay record ``index`` (-1: the one that stopped last) at ``speed``, live, or into the movie
        ``moviename`` when given: one frame per playback cycle at ``fps``, in order, the movie replaced only
        once it is complete and the frames removed however ``play`` ends (also when it fails or is
        interrupted). ``speed`` and ``fps`` take any positive value."""
