"""Recording files found under paths, and one read into the catalog's rows.

``find`` walks the paths for recordings (``.rec``, and ``.mcap`` files, which are read as MCAP
recordings in the export's layout). ``read`` runs where the work is (a worker process or a Ray
task): it hashes the file and, unless the content is as indexed before, reads it a record at a
time, each record's events found in one pass, into ``store``'s rows. Hash, size, time and rows
all come from one open file (``pinned``), so a file replaced meanwhile never gets a mixed row.

The catalog names a file by its path as text: a name that is not valid UTF-8 is stored with its
undecodable bytes escaped (``\\xff``), and ``on_disk`` finds the file again from that.
"""

import contextlib
import dataclasses
import hashlib
import os
import re
import stat
from contextlib import contextmanager
from typing import Dict, Generator, Iterator, List, Optional, Sequence, Tuple

from dravik.api import data_pb2

from ..analysis.events import ERROR, WARNING, Event, numbered
from ..analysis.metrics import MetricsFold
from ..analysis.ordering import found_events
from ..records import DataFileError
from ..formats.filenames import is_mcap
from ..formats.productstream import ProductStream
from ..formats.recordings import MCAP_EXT
from ..formats.recordstream import RecordReader
from ..formats.split import SplitStream, run_files
from ..scene import KINDS as PRODUCT_KINDS
from . import store

RECORDING_EXTS = (".rec", MCAP_EXT)
_CHUNK = 1 << 20


class PathError(ValueError):
    """A path to index that is neither a file nor a folder; the text says so."""


class NotRegular(OSError):
    """A catalogued file that is no longer a regular file (a pipe, a device): reading it might never end."""


class ChangedWhileRead(OSError):
    """A file replaced or written to while it was read: what was read may mix two contents."""


def stored_name(path: str) -> str:
    """``path`` as the catalog stores and shows it: as it is, or, when it is not valid UTF-8 (the
    file system's bytes undecodable), with those bytes escaped as ``\\xNN`` and a backslash as two."""
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        return os.fsencode(path).replace(b"\\", b"\\\\").decode("utf-8", "backslashreplace")


def on_disk(name: str) -> str:
    """The path of the file the catalog stores as ``name`` (``stored_name``'s inverse)."""
    if "\\" not in name or os.path.lexists(name):
        return name
    return os.fsdecode(re.sub(rb"\\(\\|x[0-9a-f]{2})", _unescaped, name.encode("utf-8")))


def _unescaped(escape: "re.Match[bytes]") -> bytes:
    return b"\\" if escape[1] == b"\\" else bytes([int(escape[1][1:], 16)])


def find(paths: Sequence[str]) -> Tuple[Dict[str, Tuple[int, int, int]], Dict[str, str]]:
    """The recording files under ``paths`` (a file is taken as named, a folder walked for regular
    files), by absolute path as stored (``stored_name``) in sorted order, with their size and
    modification and change times in ns; and those that cannot be catalogued, with why.

    Raises ``PathError`` for a path that is neither a regular file nor a folder.
    """
    found: Dict[str, Tuple[int, int, int]] = {}
    refused: Dict[str, str] = {}
    for path in paths:
        if os.path.isdir(path):
            named = sorted(os.path.join(folder, name) for folder, _, names in os.walk(os.path.abspath(path))
                           for name in names if name.lower().endswith(RECORDING_EXTS))
        elif os.path.isfile(path):
            named = [os.path.abspath(part) for part in run_files(path)]
        else:
            raise PathError(f"{path}: {'not a file or folder' if os.path.exists(path) else 'no such file or folder'}"
                            "; give a recording or a folder of them")
        for file in named:
            try:
                status = os.stat(file)
            except OSError:
                continue    # gone while walking
            if not stat.S_ISREG(status.st_mode):    # a pipe would never end
                continue
            name = stored_name(file)
            if name != file and os.path.lexists(name):
                refused[name] = "its name, escaped, is another file's; rename it"
            else:
                found[name] = status.st_size, status.st_mtime_ns, status.st_ctime_ns
    return dict(sorted(_runs(found).items())), refused


def _runs(found: Dict[str, Tuple[int, int, int]]) -> Dict[str, Tuple[int, int, int]]:
    """``found`` with the files a recorder split a run into under the first's name (``formats.split``),
    with their sizes added up and their latest times, so that a change to any tells the run changed."""
    for name in list(found):
        parts = [stored_name(part) for part in run_files(on_disk(name))[1:]]
        for part in parts:
            if part in found:
                size, mtime_ns, ctime_ns = found.pop(part)
                first = found[name]
                found[name] = first[0] + size, max(first[1], mtime_ns), max(first[2], ctime_ns)
    return found


def under(file: str, paths: Sequence[str]) -> bool:
    """Whether ``file`` is one of ``paths`` or lies in one of them."""
    return any(file == root or file.startswith(root.rstrip(os.sep) + os.sep) for root in map(os.path.abspath, paths))


@dataclasses.dataclass(frozen=True)
class Pinned:
    """A regular file held open: ``status`` as it was opened, ``path`` a name reaching the same file."""
    fd: int
    status: os.stat_result
    path: str


@contextmanager
def pinned(name: str) -> Iterator[Pinned]:
    """The catalogued file ``name`` held open for the block, refused (``NotRegular``) unless it is a
    regular file, without waiting on a pipe; ``ChangedWhileRead`` at the end when it was written
    to or replaced meanwhile."""
    path = on_disk(name)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise NotRegular(0, "not a regular file any more (a pipe or a device?); replace it or index again")
        # Linux reopens the very file through its descriptor; elsewhere its name is checked after.
        through = f"/proc/self/fd/{fd}"
        yield Pinned(fd, status, through if os.path.exists(through) else path)
        if _identity(os.fstat(fd)) != _identity(status) or _identity(os.stat(path))[:2] != _identity(status)[:2]:
            raise ChangedWhileRead(0, "it changed while it was read; index again")
    finally:
        os.close(fd)


def _identity(status: os.stat_result) -> Tuple[int, ...]:
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns


def hashed(file: Pinned) -> str:
    """The content hash of a pinned file."""
    digest = hashlib.sha256()
    offset = 0
    while True:
        chunk = os.pread(file.fd, _CHUNK, offset)
        if not chunk:
            return digest.hexdigest()
        digest.update(chunk)
        offset += len(chunk)


def fingerprint(name: str) -> str:
    """The content hash of a catalogued file, which tells a changed file and names a render's input."""
    with pinned(name) as file:
        return hashed(file)


def record_id(file: str, position: int) -> str:
    """The key of the record at ``position`` of ``file``: the same file and position, the same key."""
    return hashlib.sha256(f"{file}\0{position}".encode()).hexdigest()[:16]


def records_of(name: str, file: Pinned) -> Generator[data_pb2.Record, None, None]:
    """The records of the pinned recording ``name``, one at a time (its name tells its format)."""
    if is_mcap(name):
        from ..formats.mcap import McapRecords

        yield from McapRecords(file.path)
        return
    with RecordReader(file.path) as reader:
        for _, record in reader.records():
            yield record


def read(task: Tuple[str, Optional[str]]) -> store.Scanned:
    """The rows of the recording file ``task[0]``, or only its new size and time when its content
    hashes to ``task[1]``, the fingerprint indexed before; a file that cannot be read gives why,
    in one line, with its size and time where they can be had."""
    file, known = task
    size, mtime_ns, ctime_ns = _times(file)
    notes: List[str] = []
    try:
        with contextlib.ExitStack() as held:
            # A run split into files is read as one, under its first file's name (``formats.split``).
            chain = run_files(on_disk(file))
            parts = [held.enter_context(pinned(part)) for part in [file, *chain[1:]]]
            size, mtime_ns, ctime_ns = (sum(part.status.st_size for part in parts),
                                        max(part.status.st_mtime_ns for part in parts),
                                        max(part.status.st_ctime_ns for part in parts))
            content = hashed(parts[0]) if len(parts) == 1 else \
                hashlib.sha256("".join(hashed(part) for part in parts).encode()).hexdigest()
            if content == known:
                return store.Scanned(file, size, mtime_ns, content, unchanged=True, ctime_ns=ctime_ns)
            records: List[store.Row] = []
            events: List[store.Row] = []
            stream = ProductStream(parts[0].path, mcap=is_mcap(file)) if len(parts) == 1 else \
                SplitStream([part.path for part in parts], chain)
            # A record at a time, its products read once, in blocks, for its events and its figures both.
            for position, (header, blocks) in enumerate(stream.blocks()):
                fold = MetricsFold()
                found = numbered(list(found_events(header.project, fold.folded(blocks, file), position)))
                key = record_id(file, position)
                records.append(record_row(key, file, content, position, header, found, fold))
                events.extend({"record_id": key, **dataclasses.asdict(event)} for event in found)
            notes = stream.notes
    except Exception as e:  # noqa: BLE001 - whatever stops one file is that file's reason
        return store.Scanned(file, size, mtime_ns, error=_reason(file, e), ctime_ns=ctime_ns)
    if size == 0:
        notes = ["empty (0 bytes): indexed as a recording of no records"]
    note = "; ".join(notes) or None
    return store.Scanned(file, size, mtime_ns, content, tuple(records), tuple(events), note=note, ctime_ns=ctime_ns)


def _times(file: str) -> Tuple[int, int, int]:
    """The size, modification and change times of ``file``; 0 where it cannot be looked at."""
    try:
        status = os.stat(on_disk(file))
    except OSError:
        return 0, 0, 0
    return status.st_size, status.st_mtime_ns, status.st_ctime_ns


def record_row(key: str, file: str, hashed: str, position: int, record: data_pb2.Record,
               events: Sequence[Event], fold: MetricsFold) -> store.Row:
    """A record's row of ``records``: ``record`` its header, its products gathered in ``fold``."""
    metrics = fold.metrics(record.project, events)
    layout = record.project.workspace
    row: store.Row = {
        "record_id": key, "file": file, "position": position, "fingerprint": hashed,
        "start_ns": record.start_timestamp_ns, "stop_ns": record.stop_timestamp_ns, "span_s": metrics.span_s,
        "products": metrics.products,
        **{f"{kind}_products": metrics.products_by_kind[kind] for kind in PRODUCT_KINDS},
        "robots": sorted(layout.robots), "items": sorted(layout.items), "cameras": sorted(layout.cameras),
        "behaviors": list(metrics.behaviors), "steps": metrics.steps, "cycles": metrics.cycles,
        "cycle_s": metrics.cycle_s, "items_moved": metrics.items_moved, "events": len(events),
        **{f"{severity}s": n for severity, n in metrics.severities.items()},
        **{store.kind_column(kind): n for kind, n in metrics.events.items()},
    }
    for severity in (WARNING, ERROR):
        first = next((event for event in events if event.severity == severity), None)
        row[f"first_{severity}_time"] = first.time if first else None
        row[f"first_{severity}"] = first.text if first else None
    return row


def _reason(file: str, error: Exception) -> str:
    """Why ``file`` could not be read, in one line without its name (the listing gives it)."""
    if isinstance(error, ImportError):
        return "MCAP files need the mcap extra: pip install 'mirvane[mcap]'"
    if isinstance(error, OSError):
        return f"cannot read it ({(error.strerror or str(error)).lower()})"
    if isinstance(error, DataFileError):
        # Kept as short as the line with the name would be.
        return _first_line(error.reason)[:_LINE - len(f"{error.path}: ")]
    text = re.sub(r"^(/proc/self/fd/\d+|" + re.escape(file) + "): ", "", _first_line(str(error)))
    return f"{type(error).__name__}: {text[:_LINE]}"


#: The most of an error's first line a listing shows.
_LINE = 200


def _first_line(text: str) -> str:
    return (text.strip().splitlines() or ["no details"])[0]
