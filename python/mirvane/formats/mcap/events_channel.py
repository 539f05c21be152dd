"""The ``/events`` channel (``foxglove.Log``) and ``/events/spans`` (``foxglove.Event``, where installed):
events given to the export, each at its time and a range event also at its end."""

from typing import Any, Iterable, List, Tuple, cast

from foxglove_schemas_protobuf.Log_pb2 import Log

from ...records import Event, Severity, event_marks
from .channels import EVENT_SPANS, EVENTS, FOXGLOVE_EVENT

_LEVELS = {Severity.INFO: Log.INFO, Severity.WARNING: Log.WARNING, Severity.ERROR: Log.ERROR}

#: A message of the events' channels: (topic, log time, data, sequence).
EventMessage = Tuple[str, int, bytes, int]


def event_messages(events: Iterable[Event], offset: int) -> List[EventMessage]:
    """The messages of the events' channels for ``events``, those of one record whose log times are
    its time stamps plus ``offset``: (topic, log time, data, sequence), by log time."""
    messages: List[EventMessage] = []
    for event in events:
        shown = [(stamp + offset, text) for stamp, _, text in event_marks(event)]
        messages.extend((EVENTS, time, _log(event, time, text), event.number) for time, text in shown)
        if FOXGLOVE_EVENT is not None:
            messages.append((EVENT_SPANS, shown[0][0], _span(FOXGLOVE_EVENT(), event, shown[0][0], shown[-1][0]),
                             event.number))
    messages.sort(key=lambda message: message[1])
    return messages


def _log(event: Event, time: int, text: str) -> bytes:
    log = Log(level=_LEVELS[Severity(event.severity)], name=str(event.kind), message=text)
    log.timestamp.FromNanoseconds(time)
    return log.SerializeToString(deterministic=True)


def _span(span: Any, event: Event, start: int, end: int) -> bytes:
    """``event`` as a foxglove.Event ``span``, from ``start`` to ``end``."""
    span.start_time.FromNanoseconds(start)
    span.end_time.FromNanoseconds(end)
    for key in ("kind", "severity", "subject", "robot", "text", "number"):
        span.metadata.add(key=key, value=str(getattr(event, key)))
    return cast(bytes, span.SerializeToString(deterministic=True))
