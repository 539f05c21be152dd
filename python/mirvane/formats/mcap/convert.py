"""Export, import and recovery of whole files: the MCAP module's public face."""

import functools
import itertools
import os
import tempfile
from contextlib import closing, contextmanager
from dataclasses import dataclass
from typing import Callable, Iterator, Optional, Tuple, Union

from tqdm import tqdm

from ..._atomic import replacing
from ...records import DataFileError, EventsOf, PathLike, RecordIndexError, UnfinishedFileError
from ..filenames import is_mcap
from ..productstream import ProductStream, Streamed, grouped
from ..recordstream import Counts, RecordReader, RecordWriter
from .bounded import McapRecords, Skipped
from .channels import McapError, Progress, file_size, opened
from .layout import RecordsWriter


def export_mcap(recording: PathLike, out: PathLike, index: Optional[int] = None, *,
                progress: Union[bool, Progress] = False, events: Optional[EventsOf] = None) -> Counts:
    """Write the records of a recording (a recording file, or an MCAP file) into the MCAP file ``out``.

    All records by default; ``index`` picks one as ``Replay.play`` does: by
    position, negative positions counting from the end, and -1 the record with
    the greatest stop time. ``progress`` is True for a progress bar on stderr,
    or a callback. ``events``, given a record's project, its products and its position, gives its events
    for ``/events`` (``mirvane.analysis.events.product_events`` gives those
    ``mirvane events`` lists); without it the file has no events' channels.
    ``out`` is replaced whole or not at all.

    Raises ``McapError`` when the recording cannot be read or exported;
    ``mirvane.records.RecordIndexError`` (an ``IndexError``) when ``index``
    names no record; ``OSError`` when ``out`` cannot be written.
    """
    recording, out = os.fspath(recording), os.fspath(out)
    _check_output(recording, out)
    if index is not None and (type(index) is not int):
        raise TypeError(f"index must be an int, not {type(index).__name__}")
    try:
        with _recording_file(recording) as source:
            with opened(source, RecordReader) as reader:
                size = reader.size
            stream = ProductStream(source)
            try:
                chosen = stream.spans(index)
            except RecordIndexError as e:     # named by the recording, not an MCAP file's import
                raise RecordIndexError(recording, e.reason, str(e).replace(stream.path, recording)) from None
            total = size if index is None else sum(length for _, _, length in chosen)
            with _progress(progress, total, f"export {os.path.basename(recording)}") as step, \
                    replacing(out) as temporary, open(temporary, "wb") as f, \
                    closing(RecordsWriter(f, recording, events)) as export:
                done = 0
                for position, offset, length in chosen:
                    export.add_blocks(lambda: stream.blocks_at(offset, length), position,
                                      lambda i, n: step(done + length * i // max(n, 1)))
                    done += length
                export.finish()
                step(total)
                return Counts(export.records, export.products, stream.newer)
    except (McapError, UnfinishedFileError):
        raise
    except DataFileError as e:
        raise McapError(e.path, e.reason) from None


@contextmanager
def imported_recording(path: PathLike) -> Iterator[str]:
    """A temporary recording file, for the block, of the records of the MCAP file at ``path``
    (of the run, for the first of a recorder's split files)."""
    from ..split import imported_run

    with imported_run(path) as run:
        if run is not None:
            yield run
            return
    with tempfile.TemporaryDirectory(prefix="mirvane-recording-") as scratch:
        imported = os.path.join(scratch, "imported.rec")
        import_mcap(path, imported)
        yield imported


@contextmanager
def _recording_file(path: str) -> Iterator[str]:
    """The recording file of the recording at ``path``: itself, or an MCAP file's records imported."""
    if not is_mcap(path):
        yield path
        return
    with imported_recording(path) as imported:
        yield imported


def import_mcap(source: PathLike, out: PathLike, *, progress: Union[bool, Progress] = False) -> Counts:
    """Read an MCAP file written by ``export_mcap`` or a ``Recorder`` (or with their channels)
    into the recording file ``out``.

    ``progress`` is True for a progress bar on stderr, or a callback. ``out``
    is replaced whole or not at all.

    Raises ``McapError`` when ``source`` is not such an MCAP file (not MCAP,
    unfinished, damaged, missing channels, schemas that do not match);
    ``OSError`` when ``out`` cannot be written.
    """
    source, out = os.fspath(source), os.fspath(out)
    _check_output(source, out)
    with _progress(progress, file_size(source), f"import {os.path.basename(source)}") as step:
        reading = McapRecords(source, progress=step)
        with replacing(out) as temporary, open(temporary, "wb") as f:
            writer = RecordWriter(f, out)
            for header, products in grouped(reading.streamed()):
                writer.write_streamed(header, products)
            step(reading.size)
            return Counts(reading.records, reading.products, reading.newer)


@dataclass(frozen=True)
class Recovery:
    """What ``recover_mcap`` kept: records and products, bytes read of the file's size (up to where
    reading stopped), why it stopped (empty when the file was whole) and the damaged bytes skipped."""
    records: int
    products: int
    kept_bytes: int
    size: int
    stopped: str
    skipped: Tuple[Skipped, ...] = ()


def recover_mcap(broken: PathLike, fixed: PathLike) -> Recovery:
    """Write into ``fixed`` a whole MCAP file of what ``broken`` holds up to where it stops
    being readable (an unfinished file's last flush): whole products, in order, those of every
    whole chunk after damage too.

    ``fixed`` appears only once it reads back whole with every record and
    product kept. Raises ``McapError`` when nothing can be recovered.
    """
    broken, fixed = os.fspath(broken), os.fspath(fixed)
    _check_output(broken, fixed)
    reading = McapRecords(broken, partial=True)
    count = sum(1 for _ in grouped(reading.streamed()))     # what it holds, and where it stops
    with replacing(fixed) as temporary:
        with open(temporary, "wb") as f, closing(RecordsWriter(f, broken)) as export:
            for position in range(count):
                export.add(functools.partial(_partial_record, broken, position), position, lambda i, n: None)
            if not export.records:
                raise McapError(broken, f"nothing to recover: {reading.stopped or 'it holds no records'}")
            export.finish()
        again = McapRecords(temporary)
        for _ in again.streamed():
            pass
        if (again.records, again.products) != (export.records, export.products):
            raise McapError(fixed, f"the recovered file reads back as {again.records} records and "
                            f"{again.products} products, not {export.records} and {export.products}")
    return Recovery(export.records, export.products, reading.kept_bytes, reading.size, reading.stopped,
                    tuple(reading.skipped))


def _partial_record(path: str, position: int) -> Streamed:
    """The record at ``position`` of what the MCAP file at ``path`` holds, read as far as it is readable,
    a product at a time."""
    return next(itertools.islice(grouped(McapRecords(path, partial=True).streamed()), position, None))


def _check_output(source: str, out: str) -> None:
    """Refuse an output that is the input itself or lies in no directory."""
    if os.path.exists(out) and os.path.exists(source) and os.path.samefile(source, out):
        raise McapError(out, "is the input itself; give another output name")
    if os.path.isdir(out):
        raise McapError(out, "is a directory; give a file name")
    directory = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(directory):
        raise McapError(out, f"cannot be written, there is no directory {directory}")


@contextmanager
def _progress(progress: Union[bool, Progress], total: int, label: str) -> Iterator[Callable[[int], None]]:
    """A function to report bytes done: to the callback, to a tqdm bar, or nowhere."""
    if callable(progress):
        callback = progress
        yield lambda done: callback(done, total)
    elif progress:
        with tqdm(total=total, unit="B", unit_scale=True, desc=label) as bar:
            def advance(done: int) -> None:
                bar.update(done - bar.n)
            yield advance
    else:
        yield lambda done: None
