"""Products put back in stamp order: a device stamps a product when it takes it (a camera its frame)
and hands it over later, so products come out of step by their sources' delays. The recorder holds
them a while and writes them in stamp order."""

from typing import Any, Callable, List, Tuple

from .. import _columns

#: Products held at the most, whatever the window's seconds: a clock that stands still, or a source
#: stamping far ahead for good, would otherwise keep growing what is held.
MOST_PRODUCTS = 2 ** 16

#: An item held: its stamp, then whatever the writer needs of it (the recorder's: the product's bytes).
Item = Tuple[Any, ...]


class ReorderWindow:
    """Holds each item until the stamps coming in pass its own by ``window_ns``, then gives it to
    ``write`` with the others then due, in stamp order (those with the same stamp as they came);
    so items ``window_ns`` or less out of step are given in stamp order. One that comes later still
    is given at once and counted in ``late``.

    The window's clock is the median of the latest five stamps, not the greatest: one product stamped
    far ahead (a device's clock wrong once) would move the greatest on for good, giving at once all
    that is held and making every product after it late. The median moves only once most stamps
    agree, as they do when a clock is really stepped; the one stamped ahead waits for the stamps to
    reach it (or a flush, or the end), and so is still given in its place. The heap and the clock
    are native (``_columns.Reorder``): a batch of items is one call.
    """

    def __init__(self, window_ns: int, write: Callable[[List[Item]], None]) -> None:
        self._held = _columns.Reorder(min(window_ns, 2 ** 63 - 1), MOST_PRODUCTS)
        self._write = write

    @property
    def late(self) -> int:
        """Items given after one stamped later than them."""
        return int(self._held.late)

    def add(self, items: List[Item]) -> None:
        """Hold ``items`` ((stamp, ...), in the order they came), and give whatever the stamps have now
        passed by the window."""
        due = self._held.add(items)
        if due:
            self._write(due)

    def drain(self) -> None:
        """Give everything held, in stamp order."""
        due = self._held.drain()
        if due:
            self._write(due)
