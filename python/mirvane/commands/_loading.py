"""The user's recordings and project files loaded, and the record chosen: every refusal is a
``UserError``."""

import os
import sys
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Tuple

from ..constants import MV_PROJECT_FILE_EXT
from ..rebinding import project_parser
from . import UserError, first_line
from ._paths import MAKE_ONE, note_newer, readable_file

# How long a growing record is waited for before it plays: one read by then is checked whole.
_WHOLE_AT_ONCE_S = 0.25

if TYPE_CHECKING:
    from dravik.api.data_pb2 import Product, Record

    from ..formats.productstream import ProductStream
    from ..formats.spooled import SpooledRecord
    from ..project import Project


def streamed_recording(path: str) -> "ProductStream":
    """The recording at ``path`` to be read a product at a time, within ``reading(path)``: the first
    of a recorder's split files reads the run they make (``formats.split``)."""
    from ..formats.split import run_stream

    readable_file(path, "recording")
    return run_stream(path)


@contextmanager
def reading(path: str) -> Iterator[None]:
    """Reading the recording at ``path`` in the block, what goes wrong refused as a ``UserError``."""
    from ..data import DataFileError, RecordIndexError, UnfinishedFileError

    try:
        yield
    except (UnfinishedFileError, RecordIndexError) as e:   # its message says what to do
        raise UserError(str(e)) from None
    except DataFileError as e:
        raise UserError(f"{first_line(e)}; check the file or {MAKE_ONE}") from None
    except ImportError:
        raise UserError(f"{path}: MCAP files need the mcap extra; run pip install 'mirvane[mcap]'") from None
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None


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
        with project_parser(parse):
            project.load(path)
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None
    except Exception as e:  # whatever the parser makes of a damaged file
        raise UserError(f"{path}: not a project file ({type(e).__name__}: {first_line(e)}); "
                        f"check the file or {MAKE_ONE}") from None
    note_newer(path, newer)
    return project


def spooled_choice(recording: str, index: int, *, growing: bool = False, follow: bool = False,
                   notes: Callable[[str], None] = lambda text: None) -> Tuple[int, "SpooledRecord"]:
    """The record ``index`` picks in ``recording``, once it is known to have something to show, read once with its products kept on disk (``formats.spooled``);
    ``growing``: given once its first product is in, the rest spooled behind (``growing_record``, which
    ``follow`` and ``notes`` are given to)."""
    from ..formats.spooled import growing_record, spooled_record
    from ..player.movie import CannotShow, check_showable

    readable_file(recording, "recording")
    if follow and not recording.endswith(".mcap"):
        raise UserError(f"{recording}: --follow watches an MCAP file a recorder is writing; give its .mcap file")
    with reading(recording):
        if growing or follow:
            position, record = growing_record(recording, index, follow=follow, notes=notes)
            if not follow:      # one read at once is checked whole, as one read before it plays would be
                record.wait(sys.maxsize, _WHOLE_AT_ONCE_S)
        else:
            position, record = spooled_record(recording, index)
    note_newer(recording, record.newer)
    try:
        check_showable(record, recording, position)  # type: ignore[arg-type]   # its products, spooled
    except CannotShow as e:
        record.close()
        raise UserError(e.reason) from None
    return position, record


class StreamedChoice:
    """The record ``index`` picks in ``recording``, read a product at a time and afresh at each call
    (within ``reading(recording)``): its position, header and products (``player.movie.Streamed``).
    The first reading also gathers the names its products use (``names``, for ``warn_lacking``)."""

    def __init__(self, recording: str, index: int) -> None:
        from ._lacking import RecordedNames

        readable_file(recording, "recording")
        self.recording, self.index = recording, index
        self.names = RecordedNames()
        self.position: Optional[int] = None
        self.header: Optional["Record"] = None
        self.newer = False

    def __call__(self) -> Tuple[int, "Record", Iterator["Product"]]:
        from ..formats.split import run_stream

        stream = run_stream(self.recording)
        position, header, products = stream.record(self.index if self.position is None else self.position)
        if self.position is None:
            self.position, self.header = position, header
            self.names.record(header)
            products = self._named(products, stream)
        return position, header, products

    def _named(self, products: Iterator["Product"], stream: "ProductStream") -> Iterator["Product"]:
        for product in products:
            self.names.product(product)
            yield product
        self.newer = stream.newer

    def project(self, path: Optional[str]) -> "Project":
        """The project file at ``path`` (warning of what it lacks of the record, once read), or
        without one the project the record carries."""
        assert self.header is not None, "read the record first"
        if path is None:
            from ..snapshots import project_from_snapshot

            return project_from_snapshot(self.header.project)
        from ._lacking import warn_lacking

        project = load_project(path)
        warn_lacking(project, self.names, path, self.recording)
        return project


def run_name(recording: str, position: int) -> str:
    """How the page, a caption and the terminal name a record."""
    return f"{os.path.basename(recording)} record {position}"
