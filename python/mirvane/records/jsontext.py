"""Every JSON mirvane writes, in one place: valid JSON, whatever numbers a record holds."""

import dataclasses
import json
import math
from typing import Any, Dict

from .events import Event
from .timebase import stamp_seconds


def json_text(value: Any, **options: Any) -> str:
    """``value`` as JSON text, with every number JSON has no word for (not a number, the
    infinities) as ``null``: a reader then sees a gap where a value was damaged, not a parse error.
    ``options`` go to ``json.dumps``."""
    return json.dumps(_finite(value), allow_nan=False, **options)


def event_fields(event: Event) -> Dict[str, Any]:
    """``event``'s fields as the JSON outputs list them, its times to the stamps' nanosecond."""
    fields = dataclasses.asdict(event)
    fields["time"], fields["end"] = stamp_seconds(event.time), stamp_seconds(event.end)
    return fields


def _finite(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value
