"""The native ``Project``: one workspace, one system and named behaviours (a C++ extension module)."""

from typing import Any, Dict

from dravik.api import project_pb2
from mirvane.behavior import Behavior
from mirvane.constants import MV_PROJECT_FILE_EXT as MV_PROJECT_FILE_EXT
from mirvane.system import System
from mirvane.workspace import Workspace

__test__: Dict[str, Any]

class Project:
    """A work cell's project: its workspace, its system and its behaviours by name.

    ``str()`` gives a summary (what ``mirvane show`` prints). A project file is JSON with the
    extension ``.mvproj``; the same project always gives the same bytes.
    """

    def __init__(self) -> None: ...
    def __str__(self) -> str: ...
    def setWorkspace(self, workspace: Workspace) -> None:
        """Make ``workspace`` the project's cell layout."""
    def workspace(self) -> Workspace:
        """The cell's layout: robots, items and cameras."""
    def addBehavior(self, behavior: Behavior) -> None:
        """Add ``behavior`` under its ``name()``."""
    def behaviors(self) -> Dict[str, Behavior]:
        """The behaviours by name."""
    def system(self) -> System:
        """The state the cell's robots, items and cameras are in."""
    def save(self, file: str) -> None:
        """Write the project file ``file`` (JSON, ``.mvproj``), replacing it whole or not at all; only a
        regular file is replaced."""
    def load(self, file: str) -> None:
        """Read the project file ``file``; a load that fails leaves the project as it was."""
    def validate(self) -> bool:
        """True: every project is valid (kept for callers that ask)."""
    def _getSnapshot(self) -> project_pb2.ProjectSnapshot: ...
    def _setSnapshot(self, snapshot: project_pb2.ProjectSnapshot) -> None: ...
