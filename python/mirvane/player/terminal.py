"""Playback keys in the terminal: a thread reading single keys from standard input while a live replay plays.

Only when standard input is a terminal: pipes and CI are never read. The terminal is put in cbreak
mode (keys arrive one by one, unechoed; Ctrl-C still interrupts) and restored on the way out. Each key
sends a control of the JSON interface (``clock.apply``), as the page and scripts do.
"""

import contextlib
import functools
import os
import select
import sys
import threading
from typing import Any, Callable, Dict, Iterator, Tuple

from .clock import Clock, apply

# The keys, what the help calls them and says they do, and the control each sends (``clock.apply``'s).
_KEYS: Tuple[Tuple[str, str, Dict[bytes, Dict[str, Any]]], ...] = (
    ("Space", "pause/resume", {b" ": {"action": "toggle"}}),
    ("←/→", "±1 s", {b"\x1b[D": {"action": "jump", "seconds": -1}, b"\x1b[C": {"action": "jump", "seconds": 1}}),
    ("↑/↓", "rate up/down", {b"\x1b[A": {"action": "faster"}, b"\x1b[B": {"action": "slower"}}),
    (",/.", "previous/next product", {b",": {"action": "step", "products": -1},
                                      b".": {"action": "step", "products": 1}}),
    ("p/n", "previous/next event", {b"p": {"action": "event", "step": -1}, b"n": {"action": "event", "step": 1}}),
    ("q", "end", {b"q": {"action": "stop"}}),
)
#: Every key and what it does, for a line of its own above the progress line.
HELP = "Keys: " + " · ".join(f"{name} {does}" for name, does, _ in _KEYS)


def actions(clock: Clock) -> Dict[bytes, Callable[[], None]]:
    return {key: functools.partial(apply, clock, control) for _, _, table in _KEYS for key, control in table.items()}


@contextlib.contextmanager
def keys(clock: Clock) -> Iterator[bool]:
    """Read playback keys for ``clock`` within the block; yields whether it does (stdin is a terminal)."""
    try:
        fd = sys.stdin.fileno()
        interactive = os.isatty(fd)
    except (AttributeError, OSError, ValueError):
        interactive = False
    if not interactive:
        yield False
        return
    import termios
    import tty

    saved = termios.tcgetattr(fd)
    done = threading.Event()
    table = actions(clock)

    def read() -> None:
        pending = b""
        while not done.is_set():
            if not select.select([fd], [], [], 0.2)[0]:
                pending = b""
                continue
            pending += os.read(fd, 16)
            while pending:
                match = next((key for key in table if pending.startswith(key)), None)
                if match is not None:
                    table[match]()
                    pending = pending[len(match):]
                elif pending.startswith(b"\x1b") and len(pending) < 3:
                    break   # the rest of an arrow key is on its way
                else:
                    pending = pending[1:]

    tty.setcbreak(fd)
    reader = threading.Thread(target=read, name="mirvane-keys", daemon=True)
    reader.start()
    try:
        yield True
    finally:
        done.set()
        reader.join(1.0)
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)
