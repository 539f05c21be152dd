"""Projects as records carry them: the project a record's snapshot stands for, and the snapshot of one.

The companions' snapshot methods (``Project._getSnapshot``, ``Workspace._getSnapshot``,
``Behavior._ToModel``, ...) are the native modules' interface; everything else in the
package goes through these functions.
"""

from typing import Iterable, Union

from dravik.api import project_pb2

from ._version import __version__
from .behavior import Behavior
from .project import Project
from .workspace import Workspace


def project_from_snapshot(snapshot: project_pb2.ProjectSnapshot) -> Project:
    """A new project holding what ``snapshot`` (a record's ``project``, say) holds."""
    project = Project()
    project._setSnapshot(snapshot)
    return project


def snapshot_of(project: Union[Project, project_pb2.ProjectSnapshot]) -> project_pb2.ProjectSnapshot:
    """The snapshot a record carries of ``project`` (a copy when it is a snapshot already), stamped
    with this version when it names none. Raises ``TypeError`` for anything else."""
    snapshot = project_pb2.ProjectSnapshot()
    if isinstance(project, project_pb2.ProjectSnapshot):
        snapshot.CopyFrom(project)
    elif hasattr(project, "_getSnapshot"):     # a Project
        snapshot.CopyFrom(project._getSnapshot())
    else:
        raise TypeError(f"expected a Project or a ProjectSnapshot, got {type(project).__name__}")
    snapshot.version = snapshot.version or __version__
    return snapshot


def snapshot_from_parts(workspace: Workspace, behaviors: Iterable[Behavior] = ()) -> project_pb2.ProjectSnapshot:
    """The snapshot of a project made of ``workspace`` (with its state) and ``behaviors``."""
    snapshot = project_pb2.ProjectSnapshot(version=__version__)
    snapshot.workspace.CopyFrom(workspace._getSnapshot())
    for behavior in behaviors:
        snapshot.behaviors[behavior.name()].CopyFrom(Behavior._ToModel(behavior))
    return snapshot
