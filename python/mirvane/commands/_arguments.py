"""The argparse types and the checks of values the subcommands take: every refusal is an
``argparse.ArgumentTypeError`` (the parser's) or a ``UserError``."""

import argparse
import math
from typing import Callable, Optional, Tuple, TypeVar

from . import UserError


def positive_float(text: str) -> float:
    """An argparse type: a finite number above zero."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text!r}")
    return value


def positive_int(text: str) -> int:
    """An argparse type: a whole number above zero."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, not {text!r}")
    return value


def seconds(text: str) -> float:
    """An argparse type: a finite number of seconds, zero or more."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a number of seconds, zero or more, not {text!r}")
    return value


def chosen_span(start: Optional[float], end: Optional[float]) -> Tuple[float, float]:
    """``--from`` and ``--to`` as seconds into a record: by default its start and its end."""
    start = 0.0 if start is None else start
    end = math.inf if end is None else end
    if end < start:
        raise UserError(f"--to {end:g} is before --from {start:g}; give a span that ends after it starts")
    return start, end


def number_in(low: float, high: float) -> Callable[[str], float]:
    """An argparse type: a number from ``low`` to ``high``."""
    def number(text: str) -> float:
        value = positive_float(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low:g} to {high:g}, not {text!r}")
        return value
    return number


def whole_in(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: a whole number from ``low`` to ``high``."""
    def whole(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {text!r}")
        return value
    return whole


def parse_address(text: str, option: str = "--serve") -> Tuple[str, int]:
    """``[HOST:]PORT`` as (host, port); the host is loopback unless named."""
    from ..player.server import DEFAULT_HOST

    host, _, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not port.isdigit() or int(port) > 65535:
        raise UserError(f"{option} {text}: give [HOST:]PORT with a port from 0 to 65535, e.g. 8765")
    return host or DEFAULT_HOST, int(port)


Parsed = TypeVar("Parsed")


def parsed_by(parse: Callable[[str], Parsed]) -> Callable[[str], Parsed]:
    """An argparse type: what ``parse`` makes of the text, its ``ValueError`` the argument's error."""
    def parsed(text: str) -> Parsed:
        try:
            return parse(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return parsed
