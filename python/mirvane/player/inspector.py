"""The state inspector's view of a ``SystemState``: a tree of plain values that a page can show and compare.

Every field is present, also those at their default, so that a value that changes to zero still
shows as a change; maps keep their keys, lists their order.
"""

from typing import Any, Dict, Optional

from google.protobuf import json_format
from google.protobuf.message import Message


def tree(state: Optional[Message]) -> Dict[str, Any]:
    """``state`` as nested dicts and lists of numbers, strings and booleans ({} for no state)."""
    if state is None:
        return {}
    return json_format.MessageToDict(state, preserving_proto_field_name=True,
                                     always_print_fields_with_no_presence=True)
