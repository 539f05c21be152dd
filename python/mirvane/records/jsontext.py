"""Every JSON mirvane writes, in one place: valid JSON, whatever numbers a record holds."""

import json
import math
from typing import Any


def json_text(value: Any, **options: Any) -> str:
    """``value`` as JSON text, with every number JSON has no word for (not a number, the
    infinities) as ``null``: a reader then sees a gap where a value was damaged, not a parse error.
    ``options`` go to ``json.dumps``."""
    return json.dumps(_finite(value), allow_nan=False, **options)


def _finite(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value
