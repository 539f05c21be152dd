"""The least and the greatest time stamp of a queue, kept as it changes: how the recorder's snapshot
mode knows that what it keeps lies within its seconds, however the stamps run."""

import collections
from typing import Deque, Tuple


class StampRange:
    """The least and the greatest stamp of a queue of items, as items join at the back and leave
    at the front, each in constant time (amortised): an item without a stamp joins by ``skip``."""

    def __init__(self) -> None:
        self._joined = self._left = 0           # items that have joined, and left
        self._least: Deque[Tuple[int, int]] = collections.deque()       # (item, stamp), rising stamps
        self._greatest: Deque[Tuple[int, int]] = collections.deque()    # falling stamps

    def add(self, stamp: int) -> None:
        least, greatest = self._least, self._greatest
        while least and least[-1][1] >= stamp:
            least.pop()
        while greatest and greatest[-1][1] <= stamp:
            greatest.pop()
        least.append((self._joined, stamp))
        greatest.append((self._joined, stamp))
        self._joined += 1

    def skip(self) -> None:
        self._joined += 1

    def drop(self) -> None:
        """The item at the front leaves."""
        for candidates in (self._least, self._greatest):
            if candidates and candidates[0][0] == self._left:
                candidates.popleft()
        self._left += 1

    def within(self, low: int, high: int) -> bool:
        """Whether every stamp lies from ``low`` to ``high``."""
        return not self._least or (low <= self._least[0][1] and self._greatest[0][1] <= high)
