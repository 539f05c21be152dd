"""Recording files found under paths, and one read into the catalog's rows.

``find`` walks the paths for recordings (``.rec``, and ``.mcap`` files, which are read as MCAP
recordings in the export's layout). ``read`` runs where the work is (a worker process or a Ray
task): it hashes the file and, unless the content is as indexed before, reads it a record at a
time, each record's events found in one pass, into ``store``'s rows.
"""

import dataclasses
import hashlib
import os
import stat
from typing import Dict, List, Optional, Sequence, Tuple

from dravik.api import data_pb2

from ..analysis.events import ERROR, WARNING, Event, record_events
from ..analysis.metrics import record_metrics
from ..records import DataFileError
from ..formats.recordings import MCAP_EXT, stream_records
from ..scene import KINDS as PRODUCT_KINDS
from . import store

RECORDING_EXTS = (".rec", MCAP_EXT)
_CHUNK = 1 << 20


class PathError(ValueError):
    """A path to index that is neither a file nor a folder; the text says so."""


def find(paths: Sequence[str]) -> Dict[str, Tuple[int, int]]:
    """The recording files under ``paths`` (a file is taken as named, a folder walked for regular
    files), by absolute path in sorted order, with their size and modification time in ns.

    Raises ``PathError`` for a path that is neither a regular file nor a folder.
    """
    found: Dict[str, Tuple[int, int]] = {}
    for path in paths:
        if os.path.isdir(path):
            named = sorted(os.path.join(folder, name) for folder, _, names in os.walk(os.path.abspath(path))
                           for name in names if name.lower().endswith(RECORDING_EXTS))
        elif os.path.isfile(path):
            named = [os.path.abspath(path)]
        else:
            raise PathError(f"{path}: {'not a file or folder' if os.path.exists(path) else 'no such file or folder'}"
                            "; give a recording or a folder of them")
        for file in named:
            try:
                status = os.stat(file)
            except OSError:
                continue    # gone while walking
            if stat.S_ISREG(status.st_mode):    # a pipe would never end
                found[file] = status.st_size, status.st_mtime_ns
    return dict(sorted(found.items()))


def under(file: str, paths: Sequence[str]) -> bool:
    """Whether ``file`` is one of ``paths`` or lies in one of them."""
    return any(file == root or file.startswith(root.rstrip(os.sep) + os.sep) for root in map(os.path.abspath, paths))


def fingerprint(path: str) -> str:
    """The content hash of a file, which tells a changed file and names a render's input."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def record_id(file: str, position: int) -> str:
    """The key of the record at ``position`` of ``file``: the same file and position, the same key."""
    return hashlib.sha256(f"{file}\0{position}".encode()).hexdigest()[:16]


def read(task: Tuple[str, Optional[str]]) -> store.Scanned:
    """The rows of the recording file ``task[0]``, or only its new size and time when its content
    hashes to ``task[1]``, the fingerprint indexed before; a file that cannot be read gives why,
    in one line."""
    file, known = task
    try:
        status = os.stat(file)
        size, mtime_ns = status.st_size, status.st_mtime_ns
        hashed = fingerprint(file)
        if hashed == known:
            return store.Scanned(file, size, mtime_ns, hashed, unchanged=True)
        records: List[store.Row] = []
        events: List[store.Row] = []
        for position, record in enumerate(stream_records(file)):
            found = record_events(record, position)
            key = record_id(file, position)
            records.append(record_row(key, file, hashed, position, record, found))
            events.extend({"record_id": key, **dataclasses.asdict(event)} for event in found)
    except Exception as e:  # noqa: BLE001 - whatever stops one file is that file's reason
        return store.Scanned(file, 0, 0, error=_reason(file, e))
    return store.Scanned(file, size, mtime_ns, hashed, tuple(records), tuple(events))


def record_row(key: str, file: str, hashed: str, position: int, record: data_pb2.Record,
               events: Sequence[Event]) -> store.Row:
    """A record's row of ``records``."""
    metrics = record_metrics(record, events)
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
    return f"{type(error).__name__}: {_first_line(str(error))[:_LINE].removeprefix(f'{file}: ')}"


#: The most of an error's first line a listing shows.
_LINE = 200


def _first_line(text: str) -> str:
    return (text.strip().splitlines() or ["no details"])[0]
