"""Checked access to the user's files and values for the subcommands: every refusal is a ``UserError``."""

import argparse
import contextlib
import errno
import math
import os
import sys
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Sequence, Tuple, TypeVar

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


def seconds(text: str) -> float:
    """An argparse type: a finite number of seconds, zero or more."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a number of seconds, zero or more, not {text!r}")
    return value


def chosen_span(start: Optional[float], end: Optional[float]) -> Tuple[float, float]:
    """``--from`` and ``--to`` as seconds into a record: by default its start and its end."""
    start = 0.0 if start is None else start
    end = math.inf if end is None else end
    if end < start:
        raise UserError(f"--to {end:g} is before --from {start:g}; give a span that ends after it starts")
    return start, end


def number_in(low: float, high: float) -> Callable[[str], float]:
    """An argparse type: a number from ``low`` to ``high``."""
    def number(text: str) -> float:
        value = positive_float(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low:g} to {high:g}, not {text!r}")
        return value
    return number


def whole_in(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: a whole number from ``low`` to ``high``."""
    def whole(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {text!r}")
        return value
    return whole


def parse_address(text: str, option: str = "--serve") -> Tuple[str, int]:
    """``[HOST:]PORT`` as (host, port); the host is loopback unless named."""
    from ..player.server import DEFAULT_HOST

    host, _, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or int(port) > 65535:
        raise UserError(f"{option} {text}: give [HOST:]PORT with a port from 0 to 65535, e.g. 8765")
    return host or DEFAULT_HOST, int(port)


Parsed = TypeVar("Parsed")


def parsed_by(parse: Callable[[str], Parsed]) -> Callable[[str], Parsed]:
    """An argparse type: what ``parse`` makes of the text, its ``ValueError`` the argument's error."""
    def parsed(text: str) -> Parsed:
        try:
            return parse(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return parsed


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


#: What to do when writing fails, by the cause the system gives.
_WRITE_ADVICE = {
    errno.ENOSPC: "free some space or write elsewhere",
    errno.EDQUOT: "free some space or write elsewhere",
    errno.EFBIG: "write to a file system that takes larger files",
    errno.EROFS: "choose a writable file system",
    errno.EACCES: "choose a writable place or change its permissions",
    errno.EPERM: "choose a writable place or change its permissions",
    errno.ENAMETOOLONG: "choose a shorter name",
}


def write_failure(path: str, error: Exception, what: str = "it", advice: str = "") -> UserError:
    """The error to raise when writing ``path`` failed with ``error``.

    A writer that ran in another process (ffmpeg) only reports its cause in
    words, after what it led to here (a broken pipe): a cause of the table
    named in those words is the one given.
    """
    code = getattr(error, "errno", None)
    if code not in _WRITE_ADVICE:
        text = str(error)
        code = next((c for c in _WRITE_ADVICE if os.strerror(c) in text), code)
    cause = os.strerror(code) if isinstance(code, int) else first_line(error)
    advice = advice or (_WRITE_ADVICE.get(code, "choose another path") if isinstance(code, int)
                        else "choose another path")
    return UserError(f"{path}: cannot write {what} ({cause[:1].lower() + cause[1:]}); {advice}")


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
        print(f"mirvane: note: {path} was written by a newer version of mirvane; "
              "what this version does not know is kept as it is", file=sys.stderr)


@contextlib.contextmanager
def rebound(module: Any, name: str, value: Any) -> Iterator[None]:
    """``module.name`` is ``value`` for the block, then what it was."""
    old = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, old)


def has_records(path: str, otherwise: str) -> None:
    """Refuse the recording file at ``path`` if it holds no records (it is then empty)."""
    if os.path.getsize(path) == 0:
        raise UserError(f"{path}: holds no records, so {otherwise}; {MAKE_ONE}")


def load_recording(path: str) -> "Data":
    """The recording at ``path``: a recording file, or an MCAP file as export or a recorder writes it."""
    from ..data import Data, DataFileError, UnfinishedFileError

    readable_file(path, "recording")
    try:
        data = Data.fromFile(path)
    except UnfinishedFileError as e:   # its message says how to recover it
        raise UserError(str(e)) from None
    except DataFileError as e:
        raise UserError(f"{first_line(e)}; check the file or {MAKE_ONE}") from None
    except ImportError:
        raise UserError(f"{path}: MCAP files need the mcap extra; run pip install 'mirvane[mcap]'") from None
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None
    note_newer(path, data.newer)
    return data


def chosen_position(index: int, records: Sequence["Record"], path: str) -> int:
    """The position of the record that ``--index`` names, as replay picks it."""
    from ..data import RecordIndexError, record_position

    try:
        return record_position(index, len(records), lambda: (r.stop_timestamp_ns for r in records), path)
    except RecordIndexError as e:
        raise UserError(str(e)) from None


def load_project(path: str) -> "Project":
    """The project file at ``path``."""
    import mirvane.project
    from google.protobuf import json_format

    if not path.lower().endswith(MV_PROJECT_FILE_EXT):
        raise UserError(f"{path}: a project file must end in {MV_PROJECT_FILE_EXT}; give the project file")
    readable_file(path, "project file")
    newer = False

    def parse(text: str, snapshot: Any) -> Any:
        nonlocal newer
        try:
            return json_format.Parse(text, snapshot)
        except json_format.ParseError:
            snapshot.Clear()    # members a newer version writes are left out; anything else still fails
            parsed = json_format.Parse(text, snapshot, ignore_unknown_fields=True)
            newer = True
            return parsed

    project = mirvane.project.Project()
    try:
        with rebound(mirvane.project, "Parse", parse):
            project.load(path)
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None
    except Exception as e:  # whatever the parser makes of a damaged file
        raise UserError(f"{path}: not a project file ({type(e).__name__}: {first_line(e)}); "
                        f"check the file or {MAKE_ONE}") from None
    note_newer(path, newer)
    return project


def first_line(error: Exception) -> str:
    """The start of the error's text, for a one-line message."""
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else "no details"
