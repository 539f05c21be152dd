"""Addresses a server of the player listens at: which are this machine's alone, and the names
other machines may reach it by."""

import contextlib
import ipaddress
import socket
from typing import List

LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]", "::1")


def is_loopback(host: str) -> bool:
    """Whether ``host`` names this machine only (then no token is needed to reach a server there)."""
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def bracketed(host: str) -> str:
    """``host`` as a URL names it: an IPv6 address in brackets."""
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def reachable(host: str, dual_stack: bool = False) -> List[str]:
    """``host``, or for a wildcard address (0.0.0.0, ::) the names other machines may know this one
    by: its own address on the route to the world for each family served (IPv4 too on ``::`` when
    ``dual_stack``), then its host name."""
    try:
        if not ipaddress.ip_address(host).is_unspecified:
            return [host]
    except ValueError:
        return [host]
    families = [(socket.AF_INET, "192.0.2.1")]   # documentation addresses: nothing is sent to them
    if ipaddress.ip_address(host).version == 6:
        families = [(socket.AF_INET6, "2001:db8::1"), *(families if dual_stack else [])]
    found = []
    for family, somewhere in families:
        with contextlib.suppress(OSError), socket.socket(family, socket.SOCK_DGRAM) as probe:
            probe.connect((somewhere, 9))   # a datagram socket only picks its route and source address
            found.append(str(probe.getsockname()[0]))
    return [*found, socket.gethostname()]
