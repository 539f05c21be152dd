"""Events held as columns: an hours-long run's tens of thousands of events in some 70 bytes each,
where as ``Event`` objects each takes about 500.

A table is read like a tuple of events, each made when it is read; what looks over all of them
(the clock's marks, the pictures' alarms) reads its columns instead.
"""

from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from .events import Event, Severity

_FLOATS = ("time", "end")
_INTS = ("stamp_ns", "record", "product", "number", "end_stamp_ns", "end_product")
_INT_TYPES = {"stamp_ns": np.uint64, "end_stamp_ns": np.uint64}     # a stamp is any 64-bit count
# Texts repeat (a run's events have a few dozen): each column holds codes into one list of them.
_TEXTS = ("kind", "severity", "subject", "text", "robot")
_COLUMNS = _FLOATS + _INTS + _TEXTS


class _Texts:
    """The texts of tables made from one another, each once; only ever added to, so a code a table
    holds stays valid while other threads add more."""

    def __init__(self) -> None:
        self.values: List[str] = []
        self._codes: Dict[str, int] = {}

    def code(self, value: str) -> int:
        code = self._codes.get(value)
        if code is None:
            code = self._codes[value] = len(self.values)
            self.values.append(value)
        return code


class EventTable(Sequence[Event]):
    """Events as columns, in the order given; immutable: ``numbered``, ``where`` and a slice make new tables."""

    def __init__(self, events: Iterable[Event] = (), *, _texts: Any = None, _columns: Any = None) -> None:
        self._texts: _Texts = _texts or _Texts()
        self._levels: Optional["npt.NDArray[np.int8]"] = None    # worked out once asked for
        if _columns is not None:
            self._columns: Dict[str, npt.NDArray[Any]] = _columns
            return
        rows = [_row(event) for event in events]
        code = self._texts.code
        fields = list(zip(*rows)) if rows else [()] * len(_COLUMNS)
        self._columns = {name: np.array(values, dtype=np.float64) for name, values in zip(_FLOATS, fields)}
        self._columns.update((name, np.array(values, dtype=_INT_TYPES.get(name, np.int64)))
                             for name, values in zip(_INTS, fields[len(_FLOATS):]))
        self._columns.update((name, np.array([code(value) for value in values], dtype=np.int32))
                             for name, values in zip(_TEXTS, fields[len(_FLOATS) + len(_INTS):]))

    @classmethod
    def of(cls, events: Iterable[Event]) -> "EventTable":
        """``events`` as a table (a table as it is)."""
        return events if isinstance(events, EventTable) else cls(events)

    def __len__(self) -> int:
        return len(self._columns["time"])

    @overload
    def __getitem__(self, index: int) -> Event: ...

    @overload
    def __getitem__(self, index: slice) -> "EventTable": ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Event, "EventTable"]:
        if isinstance(index, slice):
            return self._made({name: column[index] for name, column in self._columns.items()})
        n = range(len(self))[index]     # a position past the end is an IndexError, as a tuple's
        return next(self._events(slice(n, n + 1)))

    def __iter__(self) -> Iterator[Event]:
        return self._events(slice(None))

    def __repr__(self) -> str:
        return f"EventTable({len(self)} events)"

    def column(self, name: str) -> npt.NDArray[Any]:
        """One field of every event: numbers as they are, texts as an array of objects."""
        column = self._columns[name]
        if name in _TEXTS:
            return np.array(self._texts.values, dtype=object)[column] if len(column) else np.array([], dtype=object)
        return column

    def numbered(self, more: Iterable[Event] = ()) -> "EventTable":
        """These events, then ``more``, in record order (by the product each begins at, ties as they
        were), numbered from 1. Made a column at a time: a long run's events are not copied whole twice."""
        extra = EventTable(more, _texts=self._texts)._columns
        order = np.argsort(np.concatenate((self._columns["product"], extra["product"])), kind="stable")
        columns = {name: np.concatenate((column, extra[name]))[order]
                   for name, column in self._columns.items() if name != "number"}
        columns["number"] = np.arange(1, len(order) + 1, dtype=np.int64)
        return self._made(columns)

    @staticmethod
    def on_one_clock(tables: Sequence["EventTable"], shifts: Sequence[float]) -> "EventTable":
        """The events of runs placed on one clock, each run's moved by its shift (``tables[i]``'s by
        ``shifts[i]``), in time order (ties in the order given)."""
        texts = _Texts()
        parts = []
        for table, shift in zip(tables, shifts):
            recoded = np.array([texts.code(value) for value in table._texts.values] or [0], dtype=np.int32)
            parts.append({name: column + shift if name in ("time", "end") else
                          recoded[column] if name in _TEXTS else column for name, column in table._columns.items()})
        columns = {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}
        order = np.argsort(columns["time"], kind="stable")
        return EventTable(_texts=texts, _columns={name: column[order] for name, column in columns.items()})

    def where(self, keep: "npt.NDArray[np.bool_]") -> "EventTable":
        """The events ``keep`` marks, in order."""
        return self._made({name: column[keep] for name, column in self._columns.items()})

    def levels(self) -> "npt.NDArray[np.int8]":
        """Each event's severity as its place among ``Severity``'s, from the least (0: info)."""
        if self._levels is None:
            order = [str(level) for level in Severity]
            codes = self._columns["severity"]
            by_code = np.zeros(len(self._texts.values), dtype=np.int8)
            for code in np.unique(codes).tolist():
                by_code[code] = order.index(str(self._texts.values[code]))
            self._levels = by_code[codes]
        return self._levels

    def _made(self, columns: Dict[str, npt.NDArray[Any]]) -> "EventTable":
        return EventTable(_texts=self._texts, _columns=columns)

    def _events(self, part: slice) -> Iterator[Event]:
        values = self._texts.values
        floats = [self._columns[name][part].tolist() for name in _FLOATS]
        ints = [self._columns[name][part].tolist() for name in _INTS]
        texts = [[values[code] for code in self._columns[name][part].tolist()] for name in _TEXTS]
        for (time, end, stamp, record, product, number, end_stamp, end_product,
             kind, severity, subject, text, robot) in zip(*floats, *ints, *texts):
            yield Event(time, end, stamp, kind, severity, subject, text, record, product, number, robot,
                        end_stamp_ns=end_stamp, end_product=end_product)


def _row(event: Event) -> Tuple[Any, ...]:
    end_stamp, end_product = event.ends_at
    return (event.time, event.end, event.stamp_ns, event.record, event.product, event.number, end_stamp, end_product,
            event.kind, event.severity, event.subject, event.text, event.robot)

