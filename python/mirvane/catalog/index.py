"""A catalog brought up to date with the recording files under some paths.

A file whose size and modification and change times are as the catalog last found them is not
touched (``rehash`` hashes it all the same); any other is hashed and, if its content changed (or
it is new), read again by the workers (one task a file); a file the catalog has under the paths
and that is gone is dropped with its records. A file that could not be read is tried again each
time, and kept with its reason and its size and time.
The results are put into the database here as they arrive, those of a few seconds at a time: a
transaction a file would cost the calling process as much as a worker's reading.
"""

import time
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

from . import scan, store
from .workers import Workers

#: Seconds of results put into the database at once.
PUT_EVERY_S = 3.0


@dataclass
class Indexed:
    """What bringing a catalog up to date did."""
    read: int = 0               # files read anew
    records: int = 0            # records they hold
    events: int = 0
    unchanged: int = 0          # files as they were (touched ones whose content hashed the same too)
    removed: int = 0
    unreadable: List[Tuple[str, str]] = field(default_factory=list)     # (file, why)
    notes: List[Tuple[str, str]] = field(default_factory=list)          # (file, what of it)


def index(paths: Sequence[str], db: str, workers: Workers = Workers(), quiet: bool = False,
          rehash: bool = False) -> Indexed:
    """Bring the catalog ``db`` up to date with the recordings under ``paths``; with ``rehash``,
    hash every file, however unchanged its size and times look.

    Raises ``scan.PathError`` for a path that is no file or folder, ``store.CatalogError`` for a
    database it cannot write and ``workers.ClusterError`` for a cluster it cannot use.
    """
    found, refused = scan.find(paths)
    done = Indexed(unreadable=list(refused.items()))
    with store.connect(db, write=True) as con:
        known = store.files(con)
        gone = [file for file in known if file not in found and scan.under(scan.on_disk(file), paths)]
        store.drop(con, gone)
        done.removed = len(gone)
        tasks: List[Tuple[str, Optional[str]]] = []
        for file, times in found.items():
            was = known.get(file)
            if not rehash and was is not None and was.error is None \
                    and (was.size, was.mtime_ns, was.ctime_ns) == times:   # the change time tells a time put back
                done.unchanged += 1
            else:
                tasks.append((file, was.fingerprint if was is not None else None))
        arrived: List[store.Scanned] = []
        put = time.monotonic()
        for scanned in workers.run(scan.read, tasks, "indexing", "file", quiet):
            arrived.append(scanned)
            if time.monotonic() - put > PUT_EVERY_S:
                store.put(con, arrived)
                arrived, put = [], time.monotonic()
            if scanned.error is not None:
                done.unreadable.append((scanned.file, scanned.error))
            elif scanned.unchanged:
                done.unchanged += 1
            else:
                done.read += 1
                if scanned.note is not None:
                    done.notes.append((scanned.file, scanned.note))
                done.records += len(scanned.records)
                done.events += len(scanned.events)
        store.put(con, arrived)
    done.unreadable.sort()
    done.notes.sort()
    return done
