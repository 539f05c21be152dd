"""What a recording's file name says about its format."""

import os

from ..records import PathLike

MCAP_EXT = ".mcap"


def is_mcap(path: PathLike) -> bool:
    """Whether ``path`` names an MCAP file rather than a recording file."""
    return os.fspath(path).lower().endswith(MCAP_EXT)
