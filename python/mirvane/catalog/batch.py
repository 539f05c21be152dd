"""Movies, clips and exports of a catalog's records, made by the workers into one folder.

Each output is named from its recording and record (``run_7-0.mp4``; a clip adds the event's
number, ``run_7-0-e12.mp4``; recordings of one name in several folders get their folders' names
in front, as few as tell them apart among the catalog's files). An output is written whole or
not at all, by what makes it: a movie or clip by ``mirvane.player.movie`` in the record's own
project, as ``mirvane replay --movie`` makes one, an export by ``mirvane.formats``. The folder's manifest
(``MANIFEST``) says what each output was made from (the input's fingerprint and how); an output
there, made from the same, is not made again: outputs are byte-stable. A failing output is
reported and the others go on.
"""

import contextlib
import functools
import hashlib
import json
import os
from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from .._atomic import remove_left, replacing
from ..analysis.events import product_events
from ..reasons import cannot_write, first_line
from . import query, scan
from .workers import Workers


class JobKind(str, Enum):
    """What an output is; its value is what recipes and messages call it."""
    MOVIE = "movie"
    CLIP = "clip"
    MCAP = "mcap"
    RRD = "rrd"

    def __str__(self) -> str:
        return self.value


MOVIE, CLIP, MCAP, RRD = JobKind.MOVIE, JobKind.CLIP, JobKind.MCAP, JobKind.RRD
EXTENSIONS = {MOVIE: ".mp4", CLIP: ".mp4", MCAP: ".mcap", RRD: ".rrd"}
#: What each output in a folder was made from, by its name.
MANIFEST = ".mirvane-render.json"


class RenderError(Exception):
    """A render refused or stopped as a whole: ``path`` is what it is about, ``reason`` why."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path, self.reason = path, reason


@dataclass(frozen=True)
class Job:
    """One output to make: its name in the folder, what it is made from (``recipe``) and how."""
    output: str
    recipe: str
    kind: JobKind
    file: str
    position: int
    fingerprint: str
    event: int = 0          # a clip's event, by its number in the record
    pad: float = 0.0        # and the seconds around it


@dataclass(frozen=True)
class Made:
    job: Job
    error: Optional[str] = None


@dataclass
class Rendered:
    """What a render did."""
    made: List[str] = field(default_factory=list)
    skipped: List[str] = field(default_factory=list)
    failed: List[Tuple[str, str]] = field(default_factory=list)   # (output, why)


def render(con: Any, where: Optional[str], kind: JobKind, folder: str, pad: float = 0.0,
           workers: Workers = Workers(), quiet: bool = False) -> Rendered:
    """Make the ``kind`` outputs of the records matching ``where`` into ``folder``, but those there
    already made from the same. Raises ``query.QueryError`` for a condition it cannot use, and
    ``RenderError`` for outputs that would share a name (before any is made) or a manifest it
    cannot write (the outputs made stay whole)."""
    chosen = query.records(con, where).dicts()
    names = output_names(row[0] for row in query.ask(con, "SELECT file FROM files").rows)
    errors: Dict[str, List[int]] = {}
    if kind == CLIP and chosen:
        for key, number in query.ask(con, "SELECT record_id, number FROM events WHERE severity = 'error' "
                                          "ORDER BY record_id, number").rows:
            errors.setdefault(key, []).append(number)
    jobs = [job for row in chosen for job in _jobs(row, kind, names[row["file"]], errors.get(row["record_id"], []),
                                                    pad)]
    outputs = {job.output.casefold(): job for job in jobs}
    if len(outputs) != len(jobs):
        clash = next(job for job in jobs if outputs[job.output.casefold()] is not job)
        raise RenderError(os.path.join(folder, clash.output), "two outputs would take this name; nothing was made; "
                          "move one recording and index again")
    manifest = _manifest(folder)
    done = Rendered()
    todo = []
    for job in jobs:
        if manifest.get(job.output) == job.recipe and os.path.isfile(os.path.join(folder, job.output)):
            done.skipped.append(job.output)
        else:
            todo.append((job, folder))
    # Workers stopped midway remove what they had begun; what one could not (stopped as it named an
    # output's temporary file, say) goes once they have ended.
    left = functools.partial(remove_left, folder)
    with contextlib.closing(workers.run(make, todo, "rendering", "output", quiet, left)) as results:
        for made in results:
            if made.error is not None:
                done.failed.append((made.job.output, made.error))
                continue
            done.made.append(made.job.output)
            manifest[made.job.output] = made.job.recipe
            try:
                _save_manifest(folder, manifest)
            except OSError as e:
                path = os.path.join(folder, MANIFEST)
                advice = (f"the {len(done.made)} output(s) made are whole; make room and render again "
                          "(it makes them again, to note them)")
                raise RenderError(path, cannot_write(path, e, advice=advice)[len(path) + 2:]) from None
    done.failed.sort()
    return done


def output_names(files: Iterable[str]) -> Dict[str, str]:
    """A name for each recording file's outputs, one for each file: its stem, after as few of its
    folders as tell it from the others (then its extension, for two of one stem in one folder);
    names that still clash (``a_b/c.rec`` and ``a_b_c.rec``, or a case apart) get a digest of
    their file's path after them."""
    parts = {file: _parts(file) for file in files}
    depth = dict.fromkeys(parts, 1)
    while True:
        named: Dict[str, List[str]] = {}
        for file, levels in parts.items():
            named.setdefault(levels[min(depth[file], len(levels)) - 1], []).append(file)
        clashing = [file for same in named.values() if len(same) > 1 for file in same
                    if depth[file] < len(parts[file])]
        if not clashing:
            break
        for file in clashing:
            depth[file] += 1
    names = {file: levels[min(depth[file], len(levels)) - 1] for file, levels in parts.items()}
    for same in _clashes(names).values():
        for file in same:
            names[file] += "_" + hashlib.sha256(os.fsencode(file)).hexdigest()[:10]
    return names


def _clashes(names: Dict[str, str]) -> Dict[str, List[str]]:
    """The files whose names are one, on a file system that tells case apart or not."""
    by_name: Dict[str, List[str]] = {}
    for file, name in names.items():
        by_name.setdefault(name.casefold(), []).append(file)
    return {name: same for name, same in by_name.items() if len(same) > 1}


def _parts(file: str) -> List[str]:
    """The names a file may take, from the shortest: stem, folder_stem, ..., then with its extension."""
    folders = [part for part in os.path.dirname(file).split(os.sep) if part]
    stem, extension = os.path.splitext(os.path.basename(file))
    names = ["_".join(folders[len(folders) - k:] + [stem]) for k in range(len(folders) + 1)]
    return names + [f"{names[-1]}_{extension.lstrip('.')}"]


def _jobs(row: Dict[str, Any], kind: JobKind, name: str, errors: Sequence[int], pad: float) -> List[Job]:
    base = f"{name}-{row['position']}"
    made_from = dict(file=row["file"], position=row["position"], fingerprint=row["fingerprint"])
    if kind == CLIP:
        return [Job(f"{base}-e{number}.mp4", f"{row['fingerprint']} clip of event {number}, {pad:g} s around",
                    CLIP, **made_from, event=number, pad=pad) for number in errors]
    return [Job(base + EXTENSIONS[kind], f"{row['fingerprint']} {kind}", kind, **made_from)]


def make(task: Tuple[Job, str]) -> Made:
    """Make one output in its folder (where the work is: a worker process or a Ray task)."""
    job, folder = task
    out = os.path.join(folder, job.output)
    try:
        if scan.fingerprint(job.file) != job.fingerprint:
            return Made(job, f"{job.file} changed since it was indexed; run 'mirvane index' again")
        if job.kind in (MOVIE, CLIP):
            _movie(job, out)
        elif job.kind == MCAP:
            from ..formats.mcap import export_mcap

            export_mcap(scan.on_disk(job.file), out, index=job.position, events=product_events)
        else:
            from ..formats.rrd import export_rrd

            export_rrd(scan.on_disk(job.file), out, index=job.position, events=product_events)
    except OSError as e:
        return Made(job, f"cannot read or write ({e.strerror or e})")
    except Exception as e:  # noqa: BLE001 - whatever stops one output is that output's reason
        return Made(job, first_line(e, limit=None))
    return Made(job)


def _movie(job: Job, out: str) -> None:
    """A movie (or a clip) of a record in its own project, as ``mirvane replay --movie`` makes one.
    Raises ``CannotShow`` or ``CannotWrite``, whose reason is the output's."""
    from ..formats.filenames import is_mcap
    from ..formats.productstream import ProductStream
    from ..player.movie import EventSpan, MoviePlan, Span, make_movie
    from ..snapshots import project_from_snapshot

    span = EventSpan(job.event, job.pad) if job.kind == CLIP else Span()
    # Read from the file held open, which is refused unless regular: it may have become a pipe
    # since its fingerprint was taken. The record is read a product at a time, never whole.
    with scan.pinned(job.file) as file:
        def read() -> Any:
            return ProductStream(file.path, mcap=is_mcap(job.file)).record(job.position)
        plan = MoviePlan.streamed(read, job.file, span=span)
        make_movie(project_from_snapshot(read()[1].project), plan, out, quiet=True)


def _manifest(folder: str) -> Dict[str, str]:
    try:
        with open(os.path.join(folder, MANIFEST), encoding="utf-8") as f:
            found = json.load(f)
    except (OSError, ValueError):
        return {}
    return {str(k): str(v) for k, v in found.items()} if isinstance(found, dict) else {}


def _save_manifest(folder: str, manifest: Dict[str, str]) -> None:
    with replacing(os.path.join(folder, MANIFEST)) as temporary, open(temporary, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=0, sort_keys=True)
