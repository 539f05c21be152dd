"""The user's recordings and project files loaded, and the record chosen: every refusal is a
``UserError``."""

import os
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Iterator, Optional, Sequence, Tuple

from ..constants import MV_PROJECT_FILE_EXT
from ..rebinding import project_parser
from . import UserError, first_line
from ._paths import MAKE_ONE, note_newer, readable_file

if TYPE_CHECKING:
    from dravik.api.data_pb2 import Product, Record

    from ..data import Data
    from ..formats.productstream import ProductStream
    from ..formats.spooled import SpooledRecord
    from ..project import Project


def load_recording(path: str) -> "Data":
    """The recording at ``path``: a recording file, or an MCAP file as export or a recorder writes it."""
    from ..data import Data

    readable_file(path, "recording")
    with reading(path):
        data = Data.fromFile(path)
    note_newer(path, data.newer)
    return data


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
        with project_parser(parse):
            project.load(path)
    except OSError as e:
        raise UserError(f"{path}: cannot read it ({e.strerror})") from None
    except Exception as e:  # whatever the parser makes of a damaged file
        raise UserError(f"{path}: not a project file ({type(e).__name__}: {first_line(e)}); "
                        f"check the file or {MAKE_ONE}") from None
    note_newer(path, newer)
    return project


def chosen_record(recording: str, index: int) -> Tuple["Data", int, "Record"]:
    """The recording's data, and the position and record ``index`` picks, once it is known to have
    something to show."""
    from ..player.movie import CannotShow, check_showable

    data = load_recording(recording)
    records = data.records()
    position = chosen_position(index, records, recording)
    record = records[position]
    try:
        check_showable(record, recording, position)
    except CannotShow as e:
        raise UserError(e.reason) from None
    return data, position, record


def spooled_choice(recording: str, index: int) -> Tuple[int, "SpooledRecord"]:
    """As ``chosen_record``, the record read once with its products kept on disk (``formats.spooled``)."""
    from ..formats.spooled import spooled_record
    from ..player.movie import CannotShow, check_showable

    readable_file(recording, "recording")
    with reading(recording):
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
