"""Records put together from an MCAP file's messages, in file order, their channels' schemas checked;
or, streamed, their products handed on one by one as each is complete."""

import functools
from typing import Callable, Dict, List, Optional, Tuple, cast

from google.protobuf import message as pb_message
from google.protobuf.descriptor import Descriptor
from mcap.records import Channel, Message, Schema
from mcap_protobuf.decoder import DecoderFactory
from dravik.api import data_pb2, export_pb2

from ...records import newer_fields
from .channels import CHANNELS, INT64, PART_OF, RECORD, SCENE, START, McapError

#: Streamed, products handed on before their holder is renewed.
_RENEW_EVERY = 256

#: Taken first among the messages of one log time: what opens a record.
_OPENING_RANK = {RECORD: 0, START: 1}


class RecordAssembly:
    """Gathers messages, in file order, into records and hands each on when it is complete.

    With ``product``, each product is handed on (with its record) as soon as a later one begins,
    so a record holds one product at a time; the record ``write`` then gets holds none. A part
    of a product already handed on (a file whose messages were re-sorted) is refused.
    """

    def __init__(self, path: str, write: Callable[[data_pb2.Record], None],
                 product: Optional[Callable[[data_pb2.Record, data_pb2.Product], None]] = None) -> None:
        self._path = path
        self._write = write
        self._hand = product
        self._handed = 0        # products of the open record handed on (and no longer held)
        self._swapped = 0       # ... when the products were last moved to a fresh holder
        # The open record's products in place: streamed, in a message of their own, renewed now and then,
        # as protobuf frees a removed product's memory only with the message that held it.
        self._products = data_pb2.Record().products
        self._latest: Optional[int] = None     # the greatest stamp among them
        self._extras: Dict[int, data_pb2.Product] = {}  # position: a newer version's fields of it
        self._kinds: Dict[int, Optional[str]] = {}      # channel id -> topic, None if not ours
        self._held: List[Tuple[str, Message]] = []      # messages of the latest log time, not yet taken
        self._record: Optional[data_pb2.Record] = None
        self._header: Optional[export_pb2.RecordHeader] = None
        self._offset = 0        # the open record's time offset
        self._started = False   # the open record has had its /workspace/start
        self._later: Dict[int, data_pb2.Product] = {}   # with a header: products come before their turn
        self._bare = 0          # the header's part-less products placed so far
        self._product: Optional[data_pb2.Product] = None  # one without: the product being gathered
        self._key = (0, 0)      # log time and sequence of self._product
        self._written = 0       # records handed on
        self._shift: Optional[int] = 0  # products of the open record lost to damage; None: not known yet
        self._damaged = False   # the open record lost products to damage
        self.newer = False      # whether a newer version wrote fields of some record

    def message(self, schema: Optional[Schema], channel: Channel, message: Message) -> None:
        if channel.id not in self._kinds:
            self._kinds[channel.id] = _check_channel(self._path, channel, schema)
        topic = self._kinds[channel.id]
        if topic is None or topic == SCENE:
            return
        if self._held and self._held[-1][1].log_time != message.log_time:
            self._take_held()
        self._held.append((topic, message))
        if self._hand is not None and self._record is not None and len(self._products) > 1:
            self._settle(self._record, self._handed + len(self._products) - 1)

    def gap(self) -> None:
        """Damaged bytes were skipped here: the products they held are lost, and a streamed record's
        products that follow take the places of those lost (its header counts none)."""
        self._take_held()
        self._product = None
        if self._record is not None:
            self._damaged = True
            if self._header is not None and self._header.streamed:
                self._shift = None

    def settle(self) -> None:
        """Streamed: the messages so far end between products (a chunk ended), so hand on every
        product in place, the open record's last too: a file read while written shows it at once."""
        self._take_held()
        if self._hand is not None and self._record is not None:
            if self._header is not None:
                self._place_bare(self._record, self._header)
            self._settle(self._record, self._placed(self._record))

    def finish(self, cut: bool = False) -> None:
        """Hand on the last record; ``cut``: the file stopped short, so it keeps what was read whole."""
        self._take_held()
        self._close(cut)

    def _take_held(self) -> None:
        held, self._held = self._held, []
        if len(held) > 1:
            held.sort(key=lambda item: _OPENING_RANK.get(item[0], 2))
        for topic, message in held:
            self._take(topic, message)

    def _take(self, topic: str, message: Message) -> None:
        if topic == RECORD:
            header = export_pb2.RecordHeader()
            _decode(self._path, topic, message, header)
            self._close()
            self._open(header, header.time_offset_ns)
        elif topic == START:
            # A record opened by its header has its starting state already.
            if self._header is None or self._started:
                self._close()
                record = self._open(None, 0)
                _decode(self._path, topic, message, record.project.workspace.state)
                record.start_timestamp_ns = self._time(message.log_time)
            self._started = True
        else:
            self._part(topic, message)

    def _open(self, header: Optional[export_pb2.RecordHeader], offset: int) -> data_pb2.Record:
        record = self._record = data_pb2.Record()
        if header is not None:
            record.CopyFrom(header.record)
            del record.products[:]
        self._header, self._offset, self._started = header, offset, False
        self._shift, self._damaged = 0, False
        self._later, self._bare, self._product = {}, 0, None
        self._handed, self._swapped, self._latest = 0, 0, None
        self._products = record.products if self._hand is None else data_pb2.Record().products
        self._extras = dict(zip(header.extra_positions, header.extras)) if header is not None else {}
        return record

    def _placed(self, record: data_pb2.Record) -> int:
        """How many products of the open record are in place, handed on or not."""
        return self._handed + len(self._products)

    def _settle(self, record: data_pb2.Record, upto: int) -> None:
        """Streamed: hand on the products in place before position ``upto``, a newer version's
        fields merged in."""
        assert self._hand is not None
        while self._handed < upto and self._products:
            product = self._products[0]
            extra = self._extras.get(self._handed)
            if extra is not None:
                product.MergeFrom(extra)
            try:
                self.newer |= newer_fields(product)
            except ValueError as e:
                raise McapError(self._path, f"record {self._count()}: {e}") from None
            del self._products[0]
            self._handed += 1
            self._latest = product.timestamp_ns if self._latest is None else max(self._latest, product.timestamp_ns)
            self._hand(record, product)
        if self._handed - self._swapped >= _RENEW_EVERY and self._products:     # at the end, all are freed
            fresh = data_pb2.Record().products
            for product in self._products:
                fresh.add().CopyFrom(product)
            self._products, self._swapped = fresh, self._handed
            if self._product is not None:      # the product being gathered, always the last
                self._product = fresh[-1]

    def _part(self, topic: str, message: Message) -> None:
        record = self._record
        if record is None:
            raise McapError(self._path, f"a {topic} message comes before any {RECORD} or {START} message")
        part = PART_OF[topic]
        time = self._time(message.log_time)
        if self._header is not None:
            if self._shift is None:     # the first product after damage: the next in the record
                self._place_bare(record, self._header)
                self._shift = max(0, message.sequence - self._placed(record))
            product = self._at(record, self._header, message.sequence - self._shift, time)
            if product.HasField(part) or product.timestamp_ns != time:
                raise McapError(self._path, f"record {self._count()} has two products at position "
                                f"{message.sequence}: the file is damaged")
        else:
            key = (message.log_time, message.sequence)
            gathered = self._product
            if gathered is None or key != self._key or gathered.HasField(part):
                gathered = self._product = self._products.add(timestamp_ns=time)
                self._key = key
            product = gathered
        _decode(self._path, topic, message, getattr(product, part))

    def _at(self, record: data_pb2.Record, header: export_pb2.RecordHeader, position: int,
            time: int) -> data_pb2.Product:
        """The product at ``position``: in the record when it is in its turn (as in a file in
        file order), else held until its turn comes."""
        products = self._products
        self._place_bare(record, header)
        if position < self._handed:
            raise McapError(self._path, f"record {self._count()} has a part of its product {position} after "
                            "later ones: its messages are out of order; 'mirvane import' it first")
        if position < self._placed(record):
            return products[position - self._handed]
        if position == self._placed(record) and not self._later:
            return products.add(timestamp_ns=time)
        product = self._later.get(position)
        if product is None:
            product = self._later[position] = data_pb2.Product(timestamp_ns=time)
        return product

    def _place_bare(self, record: data_pb2.Record, header: export_pb2.RecordHeader) -> None:
        """Put in place the header's part-less products, and those held, whose turn has come."""
        positions, products, later = header.bare_positions, self._products, self._later
        while True:
            placed = self._placed(record)
            if self._bare < len(positions) and positions[self._bare] == placed:
                products.append(header.record.products[self._bare])
                self._bare += 1
            elif placed in later:
                products.append(later.pop(placed))
            else:
                return

    def _close(self, cut: bool = False) -> None:
        record, header = self._record, self._header
        if record is None:
            return
        cut = cut or self._damaged
        if header is not None:
            self._place_bare(record, header)
            placed = self._placed(record)
            count = placed if header.streamed else header.product_count
            if (self._later or self._bare != len(header.bare_positions) or placed != count) and not cut:
                raise McapError(self._path, f"record {self._count()} has {placed} products in "
                                f"order where its {RECORD} message announces {count}: the file is damaged or "
                                "cut short")
            del self._products[max(0, count - self._handed):]
            if self._hand is None:
                for position, extra in zip(header.extra_positions, header.extras):
                    if position < len(self._products):
                        self._products[position].MergeFrom(extra)
        if self._hand is not None:
            self._settle(record, self._placed(record))
        if header is None or header.streamed or self._handed + len(self._products) < header.product_count:
            stamps = [p.timestamp_ns for p in self._products] + ([] if self._latest is None else [self._latest])
            record.stop_timestamp_ns = max(stamps, default=record.start_timestamp_ns)
        try:
            self.newer |= newer_fields(record)
        except ValueError as e:
            raise McapError(self._path, f"record {self._count()}: {e}") from None
        self._write(record)
        self._written += 1
        self._record = self._header = self._product = None
        self._later = {}

    def _count(self) -> int:
        """The position of the open record in the file."""
        return self._written

    def _time(self, log_time: int) -> int:
        time = log_time - self._offset
        if not -INT64 <= time < INT64:
            raise McapError(self._path, f"log time {log_time} does not fit a recording's time stamps")
        return time


def _check_channel(path: str, channel: Channel, schema: Optional[Schema]) -> Optional[str]:
    """The channel's topic if it is one of ours and carries our schema; None if it is not ours."""
    cls = CHANNELS.get(channel.topic)
    if cls is None:
        return None
    expected = cls.DESCRIPTOR.full_name
    if channel.message_encoding != "protobuf" or schema is None or schema.encoding != "protobuf" \
            or schema.name != expected:
        found = schema.name if schema is not None and schema.name else "untyped"
        raise McapError(path, f"channel {channel.topic} carries {found} messages "
                        f"({channel.message_encoding or 'no encoding'}), expected protobuf {expected}")
    if channel.topic == SCENE:
        return SCENE
    problem = _schema_problem(channel.topic, schema.data)
    if problem:
        raise McapError(path, f"channel {channel.topic}: {problem}")
    return channel.topic


@functools.lru_cache(maxsize=64)
def _schema_problem(topic: str, data: bytes) -> str:
    """What is wrong with the embedded schema of one of our channels, empty if nothing; a file's
    schemas are those of the last files read, so each is checked once."""
    cls = CHANNELS[topic]
    try:
        decoder = DecoderFactory().decoder_for("protobuf", Schema(id=1, name=cls.DESCRIPTOR.full_name,
                                                                  encoding="protobuf", data=data))
        embedded = type(decoder(b"")).DESCRIPTOR if decoder is not None else None
    except Exception as e:
        return f"its schema cannot be read ({' '.join(str(e).split())})"   # a damaged name may hold line breaks
    # Either protobuf implementation's descriptors have the fields _shape reads.
    if embedded is None or _shape(cast(Descriptor, embedded)) != _shape(cast(Descriptor, cls.DESCRIPTOR)):
        return f"its schema {cls.DESCRIPTOR.full_name} differs from mirvane's"
    return ""


def _shape(descriptor: Descriptor) -> Dict[str, List[Tuple[int, str, int, bool, str]]]:
    """The fields of a message and of every message it holds, by full name."""
    shapes: Dict[str, List[Tuple[int, str, int, bool, str]]] = {}
    pending = [descriptor]
    while pending:
        d = pending.pop()
        if d.full_name in shapes:
            continue
        shapes[d.full_name] = sorted(
            (f.number, f.name, f.type, f.is_repeated, f.message_type.full_name if f.message_type else "")
            for f in d.fields)
        pending.extend(f.message_type for f in d.fields if f.message_type is not None)
    return shapes


def _decode(path: str, topic: str, message: Message, into: pb_message.Message) -> None:
    """Parse the message into ``into``, an empty message that becomes present even if this one is empty."""
    into.SetInParent()
    try:
        into.MergeFromString(message.data)
    except pb_message.DecodeError as e:
        raise McapError(path, f"a {topic} message at log time {message.log_time} cannot be decoded ({e})") \
            from None
