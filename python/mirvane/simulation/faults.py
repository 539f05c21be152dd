"""Faults the simulated cell can be made to suffer, so that runs go wrong as real ones do.

A user names the kinds (``Faults.parse("slip,stall")`` or ``"all"``) and a rate
per minute of run; ``Faults.place`` turns them into faults at times drawn
from the run's seed, on a random stream of their own, so that a run with
faults draws everything else as its fault-free twin does. The cell applies
each fault at its first chance from its time on (a slip needs a box being
carried) and logs what it did as ``Injected``.
"""

from dataclasses import dataclass
from typing import List, Tuple

import numpy as np

#: What can go wrong, as ``mirvane record --faults`` names it.
KINDS: Tuple[str, ...] = (
    "slip",             # a held box falls during the carry and lies where it fell
    "missed-grasp",     # the gripper closes on nothing; the behaviour grasps again
    "dropout",          # perception does not see one box for a while
    "bumped-camera",    # a camera's perceived pose jumps and stays
    "stall",            # one robot's controller stops reporting for a while
    "near-collision",   # both arms swing into the shared middle, passing a few centimetres apart
    "plan-overrun",     # a motion takes much longer than planned
    "damaged-value",    # a joint value that is not a number in one controller report
)
#: Faults a minute of run gets unless told otherwise.
DEFAULT_RATE = 4.0
#: Seconds at the start of a run without faults: the arms set out, the controllers' rates are known.
EARLIEST_S = 2.0
#: Seconds at the end of a run without faults: what one does (a stall, a dropout) shows within the run.
LAST_S = 2.0
# The faults' random stream: a child of the seed's (the cell's own stream is the seed's itself).
_STREAM = 1


@dataclass(frozen=True)
class Fault:
    """One fault placed in a run: its kind, from when it may strike, and two draws of its own
    in [0, 1): which robot, box or camera it strikes, and how much."""
    kind: str
    at_s: float
    which: float
    size: float

    def choose(self, names: Tuple[str, ...]) -> str:
        """The robot, box or camera of ``names`` the fault strikes (by its ``which`` draw)."""
        return names[int(self.which * len(names))]

    def scaled(self, low: float, high: float) -> float:
        """How much, between ``low`` and ``high`` (by its ``size`` draw)."""
        return low + (high - low) * self.size


@dataclass(frozen=True)
class Injected:
    """A fault as the cell applied it: ``shown_ns`` is the stamp of the product that shows it first,
    ``begins_ns`` the time from which the run differs from its fault-free twin."""
    kind: str
    subject: str
    shown_ns: int
    begins_ns: int


@dataclass(frozen=True)
class Faults:
    """The faults a user asks for: their kinds and how many a minute."""
    kinds: Tuple[str, ...]
    per_minute: float = DEFAULT_RATE

    @staticmethod
    def parse(text: str, per_minute: float = DEFAULT_RATE) -> "Faults":
        """``text`` is a comma list of ``KINDS`` or ``all``; raises ``ValueError`` naming the unknown."""
        names = KINDS if text.strip() == "all" else tuple(dict.fromkeys(n.strip() for n in text.split(",")))
        unknown = [n for n in names if n not in KINDS]
        if unknown or not names:
            raise ValueError(f"unknown fault {', '.join(map(repr, unknown)) or repr(text)}; "
                             f"give 'all' or some of {', '.join(KINDS)}, separated by commas")
        return Faults(names, per_minute)

    def place(self, duration_s: float, seed: int) -> List[Fault]:
        """The faults of a run of ``duration_s`` seconds: the rate times its minutes, rounded, at
        least one, at times drawn uniformly between its first ``EARLIEST_S`` and its last ``LAST_S``,
        the kinds taken in turn in an order drawn too. When the rate gives fewer faults than kinds,
        there is one of each kind, in the window's first half, so that what needs a robot's next grasp
        or carry still has one: each kind strikes where the run gives it a chance. A run no longer
        than ``EARLIEST_S`` and ``LAST_S`` together has none."""
        if duration_s <= EARLIEST_S + LAST_S or not self.kinds:
            return []
        rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(_STREAM,)))
        count = max(1, round(self.per_minute * duration_s / 60.0))
        order = [self.kinds[i] for i in rng.permutation(len(self.kinds))]
        until = duration_s - LAST_S
        if count < len(order):
            count, until = len(order), (EARLIEST_S + until) / 2.0
        times = np.sort(rng.uniform(EARLIEST_S, until, count))
        draws = rng.random((count, 2))
        return [Fault(order[i % len(order)], float(t), float(which), float(size))
                for i, (t, (which, size)) in enumerate(zip(times, draws))]

    def stream(self, seed: int) -> np.random.Generator:
        """The random stream the faults' own timings come from (a retried grasp's length, say)."""
        return np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(_STREAM, 1)))
