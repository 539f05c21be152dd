"""Products put back in stamp order: a device stamps a product when it takes it (a camera its frame)
and hands it over later, so products come out of step by their sources' delays. The recorder holds
them a while and writes them in stamp order."""

import collections
import heapq
from typing import Callable, Deque, List, Optional, Tuple

from dravik.api import data_pb2

#: Products held at the most, whatever the window's seconds: a clock that stands still, or a source
#: stamping far ahead for good, would otherwise keep growing what is held.
MOST_PRODUCTS = 2 ** 16

#: How many of the latest stamps the window's clock is the median of.
_RECENT = 5


class ReorderWindow:
    """Holds each product until the stamps coming in pass its own by ``window_ns``, then gives it to
    ``write``; so products ``window_ns`` or less out of step are given in stamp order (those with the
    same stamp as they came). One that comes later still is given at once and counted in ``late``."""

    def __init__(self, window_ns: int, write: Callable[[data_pb2.Product], None]) -> None:
        self._window_ns = window_ns
        self._write = write
        self._held: List[Tuple[int, int, data_pb2.Product]] = []     # a heap by (stamp, arrival)
        self._arrivals = 0
        self._recent: Deque[int] = collections.deque(maxlen=_RECENT)
        self._last: Optional[int] = None    # the stamp of the product given last
        #: Products given after one stamped later than them.
        self.late = 0

    def add(self, product: data_pb2.Product) -> None:
        """Hold ``product``, and give whatever the stamps have now passed by the window."""
        stamp = product.timestamp_ns
        held, recent = self._held, self._recent
        heapq.heappush(held, (stamp, self._arrivals, product))
        self._arrivals += 1
        # The window's clock is the median of the latest stamps, not the greatest: one product stamped
        # far ahead (a device's clock wrong once) would move the greatest on for good, giving at once
        # all that is held and making every product after it late. The median moves only once most
        # stamps agree, as they do when a clock is really stepped; the one stamped ahead waits for the
        # stamps to reach it (or a flush, or the end), and so is still given in its place.
        recent.append(stamp)
        due = sorted(recent)[len(recent) // 2] - self._window_ns
        while held and (held[0][0] <= due or len(held) > MOST_PRODUCTS or not self._window_ns):
            self._give()

    def drain(self) -> None:
        """Give everything held, in stamp order."""
        while self._held:
            self._give()

    def _give(self) -> None:
        stamp, _, product = heapq.heappop(self._held)
        if self._last is not None and stamp < self._last:
            self.late += 1
        self._last = stamp
        self._write(product)
