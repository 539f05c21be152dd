"""Fields a newer version wrote into a message: kept and written back as they came; messages
changed without end copied afresh."""

from typing import TypeVar

from google.protobuf import message as pb_message
from google.protobuf import unknown_fields  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it

_GROUP_WIRE_TYPES = (3, 4)
#: Products applied to a state message between fresh copies of it (``renewed``).
RENEW_EVERY = 5000

Message = TypeVar("Message", bound=pb_message.Message)


def renewed(message: Message) -> Message:
    """A copy of ``message``: a message keeps what its fields held before in its own memory until
    it goes, so a state changed product after product is copied afresh every ``RENEW_EVERY``."""
    fresh = type(message)()
    fresh.CopyFrom(message)
    return fresh


def newer_fields(message: pb_message.Message) -> bool:
    """Whether ``message`` holds fields this version does not know, as a newer version writes them.

    They are kept, and written back as they came. Raises ``ValueError`` for
    unknown content no newer version writes: a number this version knows, with
    another wire type, or a group (which the schemas' syntax never writes).
    """
    plain = type(message)()
    plain.CopyFrom(message)
    plain.DiscardUnknownFields()  # type: ignore[attr-defined, unused-ignore]  # older stubs lack it
    if plain.ByteSize() == message.ByteSize():     # the common case: checked in C, nothing to walk
        return False
    descriptor = message.DESCRIPTOR
    unknown = unknown_fields.UnknownFieldSet(message)
    for position in range(len(unknown)):
        field = unknown[position]
        if field.field_number in descriptor.fields_by_number or field.wire_type in _GROUP_WIRE_TYPES:
            raise ValueError(f"unexpected content in field {field.field_number} of a {descriptor.name}")
    for field, value in message.ListFields():
        kind = field.message_type
        if kind is None:
            continue
        if kind.GetOptions().map_entry:
            if kind.fields_by_name["value"].message_type is not None:
                for v in value.values():
                    newer_fields(v)
        elif field.is_repeated:
            for v in value:
                newer_fields(v)
        else:
            newer_fields(value)
    return True
