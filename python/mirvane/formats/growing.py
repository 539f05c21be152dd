"""A column of numbers appended to in place, for the per-product index of a record read as it grows.

Room for ``RESERVED`` values is reserved at once: address space only, as memory never touched is
not held, so a column grows by filling that room, never by a copy (which would hold the old and
the new at once, doubling the peak of an hours-long run's index). Past it, it doubles and copies.
"""

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

#: Values a column has room for before it is first copied: 80 hours of the sample cell's
#: products, 512 MiB of address space for 8-byte values.
RESERVED = 1 << 26


class Column:
    """Values appended by one writer; ``view`` gives the first ``count`` as a view, which later
    appends never change (read from any thread: take ``count`` first, then the view)."""

    def __init__(self, dtype: "npt.DTypeLike", reserve: Optional[int] = None) -> None:
        # Empty, not zeroed: room not yet filled is never touched.
        self._values: npt.NDArray[Any] = np.empty(RESERVED if reserve is None else reserve, dtype)
        self.count = 0

    def append(self, values: "npt.ArrayLike") -> None:
        given = np.asarray(values)
        count = self.count + len(given)
        if count > len(self._values):
            grown = np.empty(max(2 * len(self._values), count), self._values.dtype)
            grown[:self.count] = self._values[:self.count]
            self._values = grown
        self._values[self.count:count] = given
        self.count = count

    def view(self, count: int = -1) -> "npt.NDArray[Any]":
        """The first ``count`` values (all, by default)."""
        return self._values[:self.count if count < 0 else count]
