"""What goes wrong reading a recording, each error naming the file (``path``) and saying why (``reason``)."""

import os
from typing import Any, Optional, Tuple, Union

PathLike = Union[str, "os.PathLike[str]"]


class _Located(Exception):
    """An error about the file at ``path``: ``reason`` says why, without naming it; the message names
    it first (``path: reason``) unless it is given whole."""

    def __init__(self, path: PathLike, reason: str, message: Optional[str] = None) -> None:
        self.path = os.fspath(path)
        self.reason = reason
        self._message = message
        super().__init__(f"{self.path}: {reason}" if message is None else message)

    def __reduce__(self) -> Tuple[Any, Tuple[str, str, Optional[str]]]:
        # Rebuilt from its parts in another process (a scan's worker), not from the message alone.
        return type(self), (self.path, self.reason, self._message)


class DataFileError(_Located, ValueError):
    """A file could not be read as a recording."""


class UnfinishedFileError(DataFileError):
    """A file its writer has not closed (stopped, or still writing); the message says how to recover it."""


class RecordIndexError(_Located, IndexError):
    """An index that names no record of a recording."""
