"""A record read once from its recording, its products kept on disk rather than in memory.

A live replay of an hour's run needs each product many times (its keyframes, each window, its
events, a plot's series), but never all of them at once. ``spooled_record`` streams the chosen
record from the file once (``ProductStream``: an MCAP file's or a run of split files as well),
writing each product's bytes to an unnamed temporary file and keeping its offset and stamp (16
bytes a product). The ``SpooledRecord`` it gives stands in for a ``Record`` where a record's
products are read in turn or by position: ``products`` has a length, iterates, and gives one
product or a run of them (an iterator, never a list) by position, each parsed when read.
"""

import os
from array import array
import tempfile
from typing import Any, BinaryIO, Iterator, Tuple, Union

import numpy as np
import numpy.typing as npt
from dravik.api import data_pb2

from ..records import PathLike
from .split import run_stream

# Bytes read at a time when products are read in turn.
_BLOCK = 1 << 20

Positions = npt.NDArray[np.int64]


class SpooledProducts:
    """The products of a ``SpooledRecord``: read from ``spool`` (their bytes one after another,
    product ``n`` from ``ends[n]`` to ``ends[n + 1]``) when asked for; safe to read from many
    threads at once."""

    def __init__(self, spool: BinaryIO, ends: Positions) -> None:
        self._spool, self._ends = spool, ends

    def __len__(self) -> int:
        return len(self._ends) - 1

    def __iter__(self) -> Iterator[data_pb2.Product]:
        return self._between(0, len(self))

    def __getitem__(self, at: Union[int, slice]) -> Any:
        if isinstance(at, slice):
            start, stop, step = at.indices(len(self))
            if step != 1:
                raise ValueError("spooled products are read in order, without a step")
            return self._between(start, max(start, stop))
        position = at + len(self) if at < 0 else at
        if not 0 <= position < len(self):
            raise IndexError(f"no product {at} of {len(self)}")
        start, stop = int(self._ends[position]), int(self._ends[position + 1])
        return data_pb2.Product.FromString(os.pread(self._spool.fileno(), stop - start, start))

    def _between(self, start: int, stop: int) -> Iterator[data_pb2.Product]:
        """Products ``start`` to ``stop``, read a block of bytes at a time."""
        ends, fd = self._ends, self._spool.fileno()
        position = start
        while position < stop:
            base = int(ends[position])
            last = max(position + 1, int(np.searchsorted(ends, base + _BLOCK, side="right")) - 1)
            last = min(last, stop)
            block = os.pread(fd, int(ends[last]) - base, base)
            for n in range(position, last):
                yield data_pb2.Product.FromString(block[int(ends[n]) - base:int(ends[n + 1]) - base])
            position = last


class SpooledRecord:
    """A record's header (``project``, start and stop stamps: those of ``Record``), its products'
    ``stamps`` in memory and its ``products`` on disk (``SpooledProducts``). ``close`` removes them."""

    def __init__(self, header: data_pb2.Record, spool: BinaryIO, ends: Positions, stamps: Positions,
                 newer: bool) -> None:
        self.header, self._spool = header, spool
        self.project = header.project
        self.start_timestamp_ns, self.stop_timestamp_ns = header.start_timestamp_ns, header.stop_timestamp_ns
        self.products = SpooledProducts(spool, ends)
        #: Each product's stamp, in order.
        self.stamps = stamps
        #: Whether the file holds fields of a newer version.
        self.newer = newer

    def close(self) -> None:
        self._spool.close()


def spooled_record(path: PathLike, index: int) -> Tuple[int, SpooledRecord]:
    """The position of the record ``index`` names (as ``ProductStream.record`` picks it) in the
    recording at ``path``, and that record read once and spooled. Raises as ``ProductStream`` reads do."""
    stream = run_stream(path)
    position, header, products = stream.record(index)
    spool = tempfile.TemporaryFile(prefix="mirvane-products-")
    try:
        ends, stamps = _spool(products, spool)
    except BaseException:
        spool.close()
        raise
    return position, SpooledRecord(header, spool, ends, stamps, stream.newer)


def _spool(products: Iterator[data_pb2.Product], spool: BinaryIO) -> Tuple[Positions, Positions]:
    """Write ``products`` to ``spool``: their byte ends (from a 0) and stamps, as arrays."""
    ends, stamps = array("q", [0]), array("q")
    held = bytearray()
    at = 0
    for product in products:
        blob = product.SerializeToString()
        held += blob
        at += len(blob)
        ends.append(at)
        stamps.append(product.timestamp_ns)
        if len(held) >= _BLOCK:
            spool.write(held)
            held.clear()
    spool.write(held)
    spool.flush()
    return np.frombuffer(ends, dtype=np.int64), np.frombuffer(stamps, dtype=np.int64)
