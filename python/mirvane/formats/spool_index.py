"""A spooled record's per-product index, kept on disk: bounded memory for a run of any length.

Each product's end (in the spool file) and stamp are written to unnamed temporary files, eight
bytes each; memory holds only each block's first stamp (``BLOCK`` products a block, some 2 bytes
a thousand products) and a few blocks recently read. ``Stamps`` reads the stamps as a sequence,
a block at a time, which ``records.StampTimes`` searches: what the clock and the windows need of
an hours-long run without holding it.
"""

import os
import tempfile
import threading
from collections import OrderedDict
from typing import Any, BinaryIO, List, Optional, Union

import numpy as np
import numpy.typing as npt


#: Products a block: one read of the index (32 KiB of stamps).
BLOCK = 4096
# Blocks kept once read, for each column.
_CACHED = 16

Values = npt.NDArray[np.int64]


class _OnDisk:
    """Eight-byte values appended to a file by one writer, read from any thread; whole blocks read
    are kept (the last ``_CACHED`` of them)."""

    def __init__(self, prefix: str, block: int) -> None:
        self.file: BinaryIO = tempfile.TemporaryFile(prefix=prefix)
        self.block_size = block
        self._cache: "OrderedDict[int, Values]" = OrderedDict()
        self._lock = threading.Lock()

    def write(self, values: Values, at: int) -> None:
        os.pwrite(self.file.fileno(), np.ascontiguousarray(values, dtype="<i8").tobytes(), 8 * at)

    def read(self, start: int, stop: int) -> Values:
        """Values ``start`` to ``stop``, all of them written."""
        if stop <= start:
            return np.zeros(0, dtype=np.int64)
        data = os.pread(self.file.fileno(), 8 * (stop - start), 8 * start)
        return np.frombuffer(data, dtype="<i8").astype(np.int64, copy=False)

    def block(self, number: int, count: int) -> Values:
        """Block ``number`` of the first ``count`` values (a last block not full is read anew)."""
        start = number * self.block_size
        stop = min(start + self.block_size, count)
        if stop - start < self.block_size:
            return self.read(start, stop)
        with self._lock:
            values = self._cache.get(number)
            if values is not None:
                self._cache.move_to_end(number)
                return values
        values = self.read(start, stop)
        with self._lock:
            self._cache[number] = values
            while len(self._cache) > _CACHED:
                self._cache.popitem(last=False)
        return values

    def at(self, positions: Values, count: int) -> Values:
        """The values at ``positions`` (each below ``count``), read by their blocks."""
        size = self.block_size
        return np.array([self.block(int(p) // size, count)[int(p) % size] for p in positions], dtype=np.int64)

    def close(self) -> None:
        self.file.close()


class _Firsts:
    """Each block's first stamp, appended by one writer; ``view`` gives the first ``count``, which
    later appends never change (a growth copies, leaving views as they were)."""

    def __init__(self) -> None:
        self._values: Values = np.empty(1024, dtype=np.int64)
        self.count = 0

    def append(self, values: Values) -> None:
        count = self.count + len(values)
        if count > len(self._values):
            grown = np.empty(max(2 * len(self._values), count), dtype=np.int64)
            grown[:self.count] = self._values[:self.count]
            self._values = grown
        self._values[self.count:count] = values
        self.count = count

    def view(self, count: int) -> Values:
        return self._values[:count]


class SpoolIndex:
    """Product ``n``'s bytes lie from ``ends(n, n + 1)[0]`` to ``[1]`` of the spool file; its stamp
    is ``stamps[n]``, for ``n`` below ``count``. Grown by one writer; read from any thread: what is
    counted never changes."""

    def __init__(self) -> None:
        self.block_size = BLOCK
        self._ends, self._stamps = _OnDisk("mirvane-ends-", BLOCK), _OnDisk("mirvane-stamps-", BLOCK)
        self._ends.write(np.zeros(1, dtype=np.int64), 0)
        self._end = 0
        self._firsts = _Firsts()
        self._last: Optional[int] = None
        #: Where the stamps first go back in time (None: nowhere so far).
        self.back: Optional[int] = None
        self.count = 0

    @property
    def end(self) -> int:
        """Where the last product's bytes end: the spool file's length."""
        return self._end

    def add(self, lengths: "npt.ArrayLike", stamps: "npt.ArrayLike") -> None:
        """Products of ``lengths`` bytes, stamped ``stamps``, after those in. ``count`` is raised
        by the caller's ``publish`` once their bytes are written too."""
        given = np.asarray(stamps, dtype=np.int64)
        ends = self._end + np.cumsum(np.asarray(lengths, dtype=np.int64))
        count = self.count
        self._ends.write(ends, count + 1)
        self._stamps.write(given, count)
        if len(given):
            if self.back is None:
                going = np.diff(given, prepend=given[0] if self._last is None else self._last)
                if np.any(going < 0):
                    self.back = count + int(np.argmax(going < 0))
            self._last = int(given[-1])
            self._firsts.append(given[np.arange(-count % self.block_size, len(given), self.block_size)])
            self._end = int(ends[-1])

    def publish(self, added: int) -> None:
        self.count += added

    def ends(self, start: int, stop: int) -> Values:
        """Where products ``start`` to ``stop`` begin, and where the last ends: ``stop - start + 1`` values."""
        return self._ends.read(start, stop + 1)

    def stamps(self, count: Optional[int] = None) -> "Stamps":
        return Stamps(self, self.count if count is None else count)

    def close(self) -> None:
        self._ends.close()
        self._stamps.close()


class StoredColumn:
    """Eight-byte values appended by one writer and kept on disk, read as a spooled record's
    stamps are (``Stamps``): a long column worked out once, such as two runs' times merged."""

    def __init__(self, prefix: str) -> None:
        self.block_size = BLOCK
        self._stamps, self._firsts = _OnDisk(prefix, BLOCK), _Firsts()
        self.back: Optional[int] = None     # written in order: none go back
        self.count = 0

    def add(self, values: Values) -> None:
        self._stamps.write(values, self.count)
        self._firsts.append(values[np.arange(-self.count % self.block_size, len(values), self.block_size)])
        self.count += len(values)

    def stamps(self) -> "Stamps":
        return Stamps(self, self.count)


class Stamps:
    """The stamps of a spooled record's first ``count`` products, read from its index when asked:
    a read-only sequence of int64 (by position, slice or array of positions), read a block at a
    time too, which ``records.StampTimes`` searches. ``np.asarray`` reads all of them (what a run
    whose stamps go back needs)."""

    def __init__(self, index: Union[SpoolIndex, StoredColumn], count: int) -> None:
        self._index, self._count = index, count
        self.block_size = index.block_size

    def __len__(self) -> int:
        return self._count

    @property
    def ordered(self) -> bool:
        """Whether these stamps never go back in time."""
        return self._index.back is None or self._index.back >= self._count

    def __getitem__(self, at: Union[int, slice, "npt.ArrayLike"]) -> Any:
        count, column = self._count, self._index._stamps
        if isinstance(at, slice):
            start, stop, step = at.indices(count)
            return column.read(start, stop) if step == 1 else np.asarray(self)[at]
        if isinstance(at, (int, np.integer)):
            position = int(at) + count if at < 0 else int(at)
            if not 0 <= position < count:
                raise IndexError(f"no stamp {at} of {count}")
            return column.block(position // self.block_size, count)[position % self.block_size]
        positions = np.asarray(at, dtype=np.int64)
        positions = np.where(positions < 0, positions + count, positions)
        if len(positions) and not (0 <= positions.min() and positions.max() < count):
            raise IndexError(f"stamps beyond the {count} there are")
        return column.at(positions, count)

    def __array__(self, dtype: Any = None, copy: Any = None) -> Values:
        values = self._index._stamps.read(0, self._count)
        return values if dtype is None else values.astype(dtype)

    def tolist(self) -> List[int]:
        return [int(stamp) for stamp in np.asarray(self)]

    def block_firsts(self) -> Values:
        """Each block's first stamp (block ``b``: products ``b * BLOCK`` on)."""
        return self._index._firsts.view(-(-self._count // self.block_size))

    def block(self, number: int) -> Values:
        return self._index._stamps.block(number, self._count)
