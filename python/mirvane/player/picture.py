"""What a picture of a played record shows beyond the state ``Replay.play`` hands the viewer.

Each robot's latest report (``scene.Reports``), where perception last saw the items not held
(``sightings.Sightings``), the subjects of the warnings and errors under way
(marked) and, in movies, a caption line of the record time and the events under way: all worked
out from the record and its events and looked up by the time play shows, so that a picture is the
same however playback came to it (played through, sought, stepped, a clip or the whole movie).
"""

from typing import Dict, Optional, Sequence

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2, system_pb2

from ..analysis.events import ERROR, INFO, SEVERITIES, WARNING, Event, Severity
from ..records import EventTable
from ..scene import Reports
from ..sightings import ItemsSeen, Sightings
from ..viewer import WorkspaceViewer
from .times import nearest, product_times

#: Seconds of the record for which the picture marks the subject of a warning or error shown by
#: one product (a drop, a damaged value), and a caption names an event: long enough to be seen.
POINT_MARK_S = 1.0
# A little more than a movie's frame step, so that rounding cannot leave an event's reach
# between two frames.
_STEP_SLACK = 1.0 + 1e-9


class Picture:
    """What the pictures of ``record`` (with its ``events``) show beyond play's state; ``step`` is the
    record's seconds between a movie's frames (0 when live), within which every event is shown."""

    def __init__(self, record: data_pb2.Record, events: Sequence[Event], step: float = 0.0,
                 reports: Optional[Dict[str, system_pb2.Controller]] = None, seen: Optional[ItemsSeen] = None,
                 times: Optional["npt.NDArray[np.float64]"] = None) -> None:
        # For a record cut from a longer one (a window): ``reports`` and ``seen``, what came before
        # its products; ``times``, its products' on the axis play plays them on; ``events`` the
        # longer one's, on its time axis.
        self._times = product_times(record) if times is None else times
        self._reports = Reports(record, reports)
        self._sightings = Sightings(record, seen)
        self.found(events)
        self._reach = max(POINT_MARK_S, step * _STEP_SLACK)

    def found(self, events: Sequence[Event]) -> None:
        """The events to show from now on (those found so far while the record plays)."""
        self._events = EventTable.of(events)

    def tell(self, viewer: WorkspaceViewer, seconds: float, played: Optional[float] = None) -> None:
        """Tell ``viewer`` what its next picture, of the record at ``seconds``, shows: play shows the
        product of the time it read, ``played`` on its axis (by default ``seconds``)."""
        viewer.mark(marked(self._events, seconds, self._reach))
        shown = nearest(self._times, seconds if played is None else played)
        viewer.at(self._reports.at(shown), self.caption(seconds) if viewer.captioned else "", self._sightings.at(shown))

    def caption(self, seconds: float) -> str:
        """The record time and each event under way, the worst first, then the latest."""
        under_way = sorted(under_way_at(self._events, seconds, self._reach),
                           key=lambda event: (-SEVERITIES.index(event.severity), -event.number))
        return " | ".join([f"{seconds:.3f} s", *(f"event {event.number} {event.kind}: {event.text}"
                                                 for event in under_way)])


def under_way_at(events: EventTable, seconds: float, reach: float, least: Severity = INFO) -> EventTable:
    """The events of severity ``least`` or worse shown at ``seconds``: each from its time to its end, or
    ``reach`` past its time."""
    begins = events.column("time")
    shown = (begins <= seconds) & (seconds <= np.maximum(events.column("end"), begins + reach))
    return events.where(shown & (events.levels() >= SEVERITIES.index(least)))


def marked(events: EventTable, seconds: float, reach: float = POINT_MARK_S) -> Dict[str, str]:
    """The subjects of the warnings and errors among ``events`` under way at ``seconds`` (a point
    event for ``reach``), each with the worst severity of its events then."""
    subjects: Dict[str, str] = {}
    for event in under_way_at(events, seconds, reach, least=WARNING):
        for subject in event.subjects:
            if subjects.get(subject) != ERROR:
                subjects[subject] = event.severity
    return subjects
