"""Checks of the user's paths before any work, and the failure to write one in words: every refusal
is a ``UserError``."""

import contextlib
import os
from typing import Iterator, Sequence

from ..reasons import cannot_write
from . import UserError, warn

RECORDING_EXT = ".rec"
MOVIE_EXT = ".mp4"
MAKE_ONE = "make one with 'mirvane record'"


def readable_file(path: str, kind: str, make_one: str = MAKE_ONE) -> None:
    """Refuse ``path`` unless it names a file this process may read."""
    if not os.path.exists(path):
        raise UserError(f"{path}: no such file; check the {kind} path or {make_one}")
    if not os.path.isfile(path):
        raise UserError(f"{path}: not a file; give the path of a {kind}")
    if not os.access(path, os.R_OK):
        raise UserError(f"{path}: not readable; check its permissions")


def writable_destination(path: str, extension: str, kind: str, inputs: Sequence[str] = ()) -> None:
    """Refuse ``path`` as a new file unless its name and directory allow writing it.

    A link is followed, as the file is replaced where it lies (``mirvane._atomic``),
    so the file it names must be one of the ``kind`` too, and none of ``inputs``.
    """
    if not path.lower().endswith(extension):
        raise UserError(f"{path}: the name of the {kind} must end in {extension}; choose one that does")
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise UserError(f"{path}: is a directory; give a file name for the {kind}")
    if os.path.exists(target) and any(os.path.exists(n) and os.path.samefile(n, target) for n in inputs):
        raise UserError(f"{path}: names the input itself; give another name for the {kind}")
    if target != os.path.abspath(path) and not target.lower().endswith(extension):
        raise UserError(f"{path}: is a link to {target}, which the {kind} would replace; "
                        f"give a name that is not a link to another kind of file")
    directory, name = os.path.split(target)
    if not os.path.exists(directory):
        raise UserError(f"{path}: directory {directory} does not exist; create it or choose another")
    if not os.path.isdir(directory):
        raise UserError(f"{path}: {directory} is not a directory; choose another place")
    name_max, path_max = (os.pathconf(directory, limit) for limit in ("PC_NAME_MAX", "PC_PATH_MAX"))
    if len(os.fsencode(name)) > name_max or len(os.fsencode(target)) >= path_max:
        raise UserError(f"{path}: the name is longer than this file system allows "
                        f"({name_max} bytes a name, {path_max - 1} a path); choose a shorter one")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UserError(f"{path}: cannot write in {directory}; choose a writable directory")
    if os.path.exists(target):
        if not os.path.isfile(target):
            raise UserError(f"{path}: is not a regular file, so it is not replaced; choose another name")
        if not os.access(target, os.W_OK):
            raise UserError(f"{path}: is write-protected; choose another name or change its permissions")


def write_failure(path: str, error: Exception, what: str = "it", advice: str = "") -> UserError:
    """The error to raise when writing ``path`` failed with ``error`` (``mirvane.reasons.cannot_write``)."""
    return UserError(cannot_write(path, error, what, advice))


@contextlib.contextmanager
def writing(path: str, what: str = "it", advice: str = "") -> Iterator[None]:
    """An ``OSError`` in the block is the failure to write ``path`` (``write_failure``)."""
    try:
        yield
    except OSError as e:
        raise write_failure(path, e, what, advice) from None


def note_newer(path: str, newer: bool) -> None:
    """Tell the user, once, that ``path`` holds what a newer version wrote."""
    if newer:
        warn(f"note: {path} was written by a newer version of mirvane; "
             "what this version does not know is kept as it is")


def note_read(path: str, newer: bool, notes: Sequence[str]) -> None:
    """Tell the user what reading ``path`` found worth knowing: a newer version's fields, and the
    reader's notes (a gap between split files)."""
    note_newer(path, newer)
    for note in notes:
        warn(f"note: {note}")


def has_records(path: str, otherwise: str) -> None:
    """Refuse the recording file at ``path`` if it holds no records (it is then empty)."""
    if os.path.getsize(path) == 0:
        raise UserError(f"{path}: holds no records, so {otherwise}; {MAKE_ONE}")
