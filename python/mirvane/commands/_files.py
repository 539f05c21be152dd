"""Checked access to the user's files and values for the subcommands: every refusal is a ``UserError``."""

import argparse
import os
from typing import TYPE_CHECKING, Sequence

from ..constants import MV_PROJECT_FILE_EXT
from . import UserError

if TYPE_CHECKING:
    from dravik.api.data_pb2 import Record

    from ..data import Data
    from ..project import Project

RECORDING_EXT = ".rec"
MOVIE_EXT = ".mp4"
MAKE_ONE = "make one with 'mirvane record'"


def positive_float(text: str) -> float:
    """An argparse type: a finite number above zero."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text!r}")
    return value


def positive_int(text: str) -> int:
    """An argparse type: a whole number above zero."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}")
    return value


def readable_file(path: str, kind: str, make_one: str = MAKE_ONE) -> None:
    """Refuse ``path`` unless it names a file this process may read."""
    if not os.path.exists(path):
        raise UserError(f"{path}: no such file; check the {kind} path or {make_one}")
    if not os.path.isfile(path):
        raise UserError(f"{path}: not a file; give the path of a {kind}")
    if not os.access(path, os.R_OK):
        raise UserError(f"{path}: not readable; check its permissions")


def writable_destination(path: str, extension: str, kind: str) -> None:
    """Refuse ``path`` as a new file unless its name and directory allow writing it."""
    if not path.lower().endswith(extension):
        raise UserError(f"{path}: the name of the {kind} must end in {extension}; choose one that does")
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UserError(f"{path}: is a directory; give a file name for the {kind}")
    if not os.path.exists(directory):
        raise UserError(f"{path}: directory {directory} does not exist; create it or choose another")
    if not os.path.isdir(directory):
        raise UserError(f"{path}: {directory} is not a directory; choose another place")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UserError(f"{path}: cannot write in {directory}; choose a writable directory")
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise UserError(f"{path}: is write-protected; choose another name or change its permissions")


def load_recording(path: str) -> "Data":
    """The recording file at ``path``."""
    from ..data import Data, DataFileError

    readable_file(path, "recording")
    try:
        return Data.fromFile(path)
    except DataFileError as e:
        raise UserError(f"{e}; check the file or {MAKE_ONE}") from None
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None


def chosen_position(index: int, records: Sequence["Record"], path: str) -> int:
    """The position of the record that ``--index`` names, as replay picks it."""
    from ..data import RecordIndexError, record_position

    try:
        return record_position(index, len(records), lambda: (r.stop_timestamp_ns for r in records), path)
    except RecordIndexError as e:
        raise UserError(str(e)) from None


def load_project(path: str) -> "Project":
    """The project file at ``path``."""
    from ..project import Project

    if not path.lower().endswith(MV_PROJECT_FILE_EXT):
        raise UserError(f"{path}: a project file must end in {MV_PROJECT_FILE_EXT}; give the project file")
    readable_file(path, "project file")
    project = Project()
    try:
        project.load(path)
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None
    except Exception as e:  # whatever the parser makes of a damaged file
        raise UserError(f"{path}: not a project file ({type(e).__name__}: {first_line(e)}); "
                        f"check the file or {MAKE_ONE}") from None
    return project


def first_line(error: Exception) -> str:
    """The start of the error's text, for a one-line message."""
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else "no details"
