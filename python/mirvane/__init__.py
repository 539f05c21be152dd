"""mirvane: model robot work cells and replay recorded runs.

The native modules (``mirvane.project``, ``mirvane.replay``) and the viewer pull
in heavier dependencies, so nothing is imported here eagerly; import what you
need from its own module, e.g. ``from mirvane.project import Project``.
"""

from ._version import __version__

__all__ = ["__version__"]
